#include "common/testing/debug_capture.h"

#include <mutex>

#include "common/strings.h"

namespace testing_support {
namespace {

constexpr DWORD kNarrowDebugText = 0x40010006;  // DBG_PRINTEXCEPTION_C
constexpr DWORD kWideDebugText = 0x4001000A;    // DBG_PRINTEXCEPTION_WIDE_C

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}
std::vector<std::wstring>& Store() {
  static std::vector<std::wstring> texts;
  return texts;
}

}  // namespace

DebugOutputCapture::DebugOutputCapture() {
  Clear();
  handler_ = AddVectoredExceptionHandler(1, &DebugOutputCapture::Handler);
}

DebugOutputCapture::~DebugOutputCapture() {
  if (handler_) RemoveVectoredExceptionHandler(handler_);
}

LONG CALLBACK DebugOutputCapture::Handler(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
  const auto length = static_cast<std::size_t>(record->ExceptionInformation[0]);
  const auto address = record->ExceptionInformation[1];
  std::wstring text;
  if (record->ExceptionCode == kWideDebugText) {
    text.assign(reinterpret_cast<const wchar_t*>(address), length);
  } else if (record->ExceptionCode == kNarrowDebugText) {
    text = WideFromAnsi(std::string_view(reinterpret_cast<const char*>(address), length));
  } else {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // The length counts the terminator.
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  {
    std::lock_guard<std::mutex> guard(Lock());
    Store().push_back(std::move(text));
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

std::vector<std::wstring> DebugOutputCapture::Texts() const {
  std::lock_guard<std::mutex> guard(Lock());
  return Store();
}

std::vector<std::wstring> DebugOutputCapture::Containing(const std::wstring& needle) const {
  std::vector<std::wstring> found;
  for (auto& text : Texts()) {
    if (text.find(needle) != std::wstring::npos) found.push_back(text);
  }
  return found;
}

void DebugOutputCapture::Clear() {
  std::lock_guard<std::mutex> guard(Lock());
  Store().clear();
}

}  // namespace testing_support

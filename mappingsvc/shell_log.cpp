#include "mappingsvc/shell_log.h"

#include <vector>

#include "common/format.h"
#include "common/module.h"
#include "mappingsvc/identity.h"
#include "mappingsvc/resource.h"

namespace mappingsvc {

const wchar_t* ServiceName() {
  static const std::wstring name = [] {
    wchar_t buffer[256] = {};
    const int n = LoadStringW(ThisModule(), IDS_SERVICENAME, buffer, 256);
    return n > 0 ? std::wstring(buffer, static_cast<size_t>(n)) : std::wstring(kServiceName);
  }();
  return name.c_str();
}

std::wstring ModulePath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return std::wstring(path.data(), n);
    path.resize(path.size() * 2);
  }
}

void LogEvent(WORD type, const wchar_t* text) {
  OutputDebugStringW(FormatW(L"%ls: %ls\n", ServiceName(), text).c_str());
  HANDLE source = RegisterEventSourceW(nullptr, ServiceName());
  if (!source) return;
  const wchar_t* strings[1] = {text};
  ReportEventW(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace mappingsvc

#include "mappingsvc/shell_log.h"

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

void LogEvent(WORD type, const wchar_t* text) {
  OutputDebugStringW(FormatW(L"%ls: %ls\n", ServiceName(), text).c_str());
  HANDLE source = RegisterEventSourceW(nullptr, ServiceName());
  if (!source) return;
  const wchar_t* strings[1] = {text};
  ReportEventW(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace mappingsvc

// Messages of the service shell. An unattended program shows no message box: each message goes
// to the event log under the service's name and to the debugger.
#pragma once

#include <windows.h>

#include <string>

namespace mappingsvc {

// The service name and display name: string 101 of this executable ("Quib Tovrel Service").
const wchar_t* ServiceName();

void LogEvent(WORD type, const wchar_t* text);
inline void LogInfo(const wchar_t* text) { LogEvent(EVENTLOG_INFORMATION_TYPE, text); }
inline void LogWarning(const wchar_t* text) { LogEvent(EVENTLOG_WARNING_TYPE, text); }
inline void LogError(const wchar_t* text) { LogEvent(EVENTLOG_ERROR_TYPE, text); }

}  // namespace mappingsvc

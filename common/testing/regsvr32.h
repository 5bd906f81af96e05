// Test support: runs the system's regsvr32 on a module, silently, as an installer would.
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace testing_support {

// "regsvr32.exe /s <arguments>" ("/u \"path\"" to unregister): its exit code (0 on success),
// the creation's error, or WAIT_TIMEOUT when it did not end within 30 s (it is then ended).
inline DWORD RunRegsvr32(const std::wstring& arguments) {
  std::wstring command = L"regsvr32.exe /s " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi))
    return GetLastError();
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    return WAIT_TIMEOUT;
  }
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  return code;
}

}  // namespace testing_support

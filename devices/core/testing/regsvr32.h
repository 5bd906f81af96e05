// Test support: runs "regsvr32.exe /s <arguments>" in the session and waits (bounded) for its
// exit code, as a host installing a module does.
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace testing_support {

// The exit code; the creation error, or WAIT_TIMEOUT when it did not end within 30 s.
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

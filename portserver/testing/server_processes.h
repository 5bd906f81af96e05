// The port server processes a test left behind. A server stays for its linger time after its
// last object left, and the test program's output stays open while it does (under Wine the
// server is started from the client process), so a case that used the server would last that
// much longer: the case ends its idle server instead, as the system asks a program to leave
// (WM_QUIT), and waits for it to be gone, so the next case starts with no server either way.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <utility>
#include <vector>

#include "common/handles.h"

namespace port_testing {

// The identifiers of the running VornPort.exe processes.
inline std::vector<DWORD> ServerProcesses() {
  std::vector<DWORD> pids;
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) {
    snapshot.release();
    return pids;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry))
    if (_wcsicmp(entry.szExeFile, L"VornPort.exe") == 0) pids.push_back(entry.th32ProcessID);
  return pids;
}

// Asks every VornPort.exe to leave (WM_QUIT to each of its threads: its message loop ends on
// it) and waits until each is gone, at most timeoutMs in all. Call it once the case has
// released its objects. False when a server stayed; that one is terminated.
inline bool EndServers(DWORD timeoutMs = 30000) {
  const std::vector<DWORD> pids = ServerProcesses();
  if (pids.empty()) return true;
  std::vector<UniqueHandle> processes;
  for (DWORD pid : pids) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    if (process) processes.push_back(std::move(process));
  }
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (snapshot && snapshot.get() != INVALID_HANDLE_VALUE) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snapshot.get(), &entry); ok; ok = Thread32Next(snapshot.get(), &entry))
      for (DWORD pid : pids)
        if (entry.th32OwnerProcessID == pid) PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0);
  } else {
    snapshot.release();
  }
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool allLeft = true;
  for (UniqueHandle& process : processes) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(process.get(), left) != WAIT_OBJECT_0) {
      allLeft = false;
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), 5000);
    }
  }
  return allLeft;
}

}  // namespace port_testing

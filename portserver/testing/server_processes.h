// The port server processes a test left behind. A server stays for its linger time after its
// last object left, and the test program's output stays open while it does (under Wine the
// server is started from the client process and inherits its standard handles), so a case
// that used the server would last that much longer: the case ends its idle server instead, as
// the system asks a program to leave (WM_QUIT), and waits for it to be gone, so the next case
// starts with no server either way.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <utility>
#include <vector>

#include "common/handles.h"

namespace port_testing {

// Every process of the session, as a snapshot gives them; empty when none can be taken.
inline std::vector<PROCESSENTRY32W> Processes() {
  std::vector<PROCESSENTRY32W> processes;
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Process32FirstW(snapshot.get(), &entry); ok; ok = Process32NextW(snapshot.get(), &entry))
    processes.push_back(entry);
  return processes;
}

inline bool IsServer(const PROCESSENTRY32W& entry) { return _wcsicmp(entry.szExeFile, L"VornPort.exe") == 0; }

// The identifiers of the running VornPort.exe processes.
inline std::vector<DWORD> ServerProcesses() {
  std::vector<DWORD> pids;
  for (const PROCESSENTRY32W& entry : Processes())
    if (IsServer(entry)) pids.push_back(entry.th32ProcessID);
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
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (snapshot) {
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Thread32First(snapshot.get(), &entry); ok; ok = Thread32Next(snapshot.get(), &entry))
      for (DWORD pid : pids)
        if (entry.th32OwnerProcessID == pid) PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0);
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

// Ends the port servers that this test program and its children started. A client killed while
// it holds the server leaves its reference there for good under Wine, and the server would keep
// ctest waiting for the test's time-out. Call it before killing such a child: the server is
// found through its parent process.
inline void EndServersStartedHere() {
  std::multimap<DWORD, PROCESSENTRY32W> byParent;
  for (const PROCESSENTRY32W& entry : Processes())
    if (entry.th32ProcessID != entry.th32ParentProcessID) byParent.emplace(entry.th32ParentProcessID, entry);
  std::vector<DWORD> parents = {GetCurrentProcessId()};
  for (std::size_t i = 0; i < parents.size(); ++i) {
    auto [first, last] = byParent.equal_range(parents[i]);
    for (auto it = first; it != last; ++it) {
      parents.push_back(it->second.th32ProcessID);
      if (!IsServer(it->second)) continue;
      UniqueHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, it->second.th32ProcessID));
      if (server && TerminateProcess(server.get(), 1)) WaitForSingleObject(server.get(), 5000);
    }
  }
}

}  // namespace port_testing

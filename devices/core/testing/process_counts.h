// Test support: this process's threads and handles, for leak checks. Wine answers 0 to
// GetProcessHandleCount, so handles are counted by probing the small handle values.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>

namespace testing_support {

inline unsigned ThreadCount() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  unsigned count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

inline unsigned HandleCount() {
  unsigned count = 0;
  DWORD flags = 0;
  for (std::uintptr_t value = 4; value < 4 * 8192; value += 4)
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  return count;
}

}  // namespace testing_support

// Test support: this process's threads and handles, for leak checks. Under Wine the thread
// snapshot lists one thread and GetProcessHandleCount answers 0: threads are counted from the
// system's process list, handles by probing the small handle values.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <vector>

namespace testing_support {

inline unsigned ThreadCount() {
  using QueryFn = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  std::vector<std::uint64_t> buffer(1 << 16);  // 512 KB, aligned for the records
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(buffer[0]));
    if (query(SystemProcessInformation, buffer.data(), size, &needed) >= 0) {
      const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
      for (;;) {
        const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(bytes);
        if (reinterpret_cast<std::uintptr_t>(process->UniqueProcessId) == GetCurrentProcessId())
          return process->NumberOfThreads;
        if (!process->NextEntryOffset) return 0;
        bytes += process->NextEntryOffset;
      }
    }
    buffer.resize(buffer.size() * 2);
  }
  return 0;
}

inline unsigned HandleCount() {
  unsigned count = 0;
  DWORD flags = 0;
  for (std::uintptr_t value = 4; value < 4 * 8192; value += 4)
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  return count;
}

}  // namespace testing_support

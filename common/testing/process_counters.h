// What a test process holds, counted in ways that work under Wine, which answers 0 for
// PrivateUsage and for GetProcessHandleCount.
#pragma once

#include <windows.h>

#include <cstdint>

namespace testing_support {

// The committed private pages of the process's address space (what PrivateUsage counts).
inline unsigned long long CommittedPrivateBytes() {
  unsigned long long total = 0;
  MEMORY_BASIC_INFORMATION info{};
  for (const BYTE* at = nullptr; VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
       at = static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize) {
    if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
    if (static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize < at) break;  // wrapped
  }
  return total;
}

}  // namespace testing_support

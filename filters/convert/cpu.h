// The processor features the converters' kernels choose by.
#pragma once

#include <windows.h>

namespace convert {

// SSE2 present (always on x86_64). Read once.
inline bool HasSse2() {
#if defined(_M_X64) || defined(__x86_64__)
  return true;
#else
  static const bool present = IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE) != FALSE;
  return present;
#endif
}

}  // namespace convert

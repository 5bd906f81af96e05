// The one factor for the time bounds of tests: where the test programs run much slower than the
// machine they were written on (the i686 build under user-mode emulation), the run sets
// VORN_TEST_TIME_FACTOR (a whole number, 1 to 50) and every bound that means "this hangs" is
// stretched by it: child processes, fuzz inputs, stall watches, and the waits of tests that ask
// for it. Bounds that measure the system itself (a delay kept, a time-out honoured) never scale.
#pragma once

#include <windows.h>

#include <cstdlib>

namespace testing_support {

inline DWORD TimeFactor() {
  static const DWORD factor = [] {
    char text[16] = {};
    const DWORD length = GetEnvironmentVariableA("VORN_TEST_TIME_FACTOR", text, sizeof(text));
    const long value = length > 0 && length < sizeof(text) ? std::strtol(text, nullptr, 10) : 1;
    return static_cast<DWORD>(value < 1 ? 1 : value > 50 ? 50 : value);
  }();
  return factor;
}

// `ms` stretched by the run's factor; INFINITE stays INFINITE and nothing overflows.
inline DWORD ScaledBound(DWORD ms) {
  if (ms == INFINITE) return INFINITE;
  const unsigned long long scaled = static_cast<unsigned long long>(ms) * TimeFactor();
  return scaled >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(scaled);
}

}  // namespace testing_support

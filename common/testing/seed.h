// Test support: the seed of a test program's random data. VORN_KERNEL_SEED=<n> repeats a run;
// without it the tick count is taken. The seed is printed once either way.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace testing_support {

inline unsigned TestSeed() {
  static const unsigned seed = [] {
    const char* text = std::getenv("VORN_KERNEL_SEED");
    const unsigned value = text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : GetTickCount();
    std::printf("test seed: %u (VORN_KERNEL_SEED=%u repeats it)\n", value, value);
    return value;
  }();
  return seed;
}

}  // namespace testing_support

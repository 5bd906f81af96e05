// The class that the loader test modules serve.
#pragma once

#include <windows.h>

namespace device_testing {

// {3F1B7C2E-8D44-4A6B-9E10-5C2D7A9B4E61}
inline constexpr CLSID kLoaderTestClass = {0x3f1b7c2e, 0x8d44, 0x4a6b, {0x9e, 0x10, 0x5c, 0x2d, 0x7a, 0x9b, 0x4e, 0x61}};

// The gate of the loader test modules (names formatted with the process identifier).
inline constexpr wchar_t kGateEntered[] = L"vorn_loadtest_gate_entered_%lu";
inline constexpr wchar_t kGateRelease[] = L"vorn_loadtest_gate_release_%lu";

}  // namespace device_testing

// Test support of the third family's graphs: the simulated card registered under the "TAVO"
// names, and readers of its property log and property values.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/card/sim_card_fixture.h"

namespace pex_testing {

using namespace simcard_testing;

class PexCardTest : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyPex, 0, TRUE));
  }
  // The card's accepted property writes of (set, id), oldest first.
  std::vector<SimCardKsWrite> Writes(const GUID& set, DWORD id) const {
    std::vector<SimCardKsWrite> all(256), found;
    UINT count = 0;
    EXPECT_EQ(S_OK, SimCard_GetKsLog(capturePath_.c_str(), all.data(), 256, &count));
    for (UINT i = 0; i < count; ++i)
      if (IsEqualGUID(all[i].set, set) && all[i].id == id) found.push_back(all[i]);
    return found;
  }
  // The 32-bit word a registration of `event` carries.
  static std::int32_t Word(HANDLE event) {
    return static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(event));
  }
};

// Waits (bounded) until `condition` holds.
template <class F>
bool WaitFor(F&& condition, DWORD timeoutMs = 5000) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(5);  // a bounded poll: nothing signals a reset
  }
  return true;
}

}  // namespace pex_testing

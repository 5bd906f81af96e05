// The second family's tests: the simulated card's numbered filters registered for card 0 (three
// tuners), the driver stand-in attached to the test program, and for the graphs the doubles of
// the outside filters loaded from the built modules' folder (standing for the device manager's).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/handles.h"
#include "common/testing/paths.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/outside_interfaces.h"

namespace rul_testing {

// Card 0 under the second family's names with three tuners, the driver stand-in attached.
class RulCardTest : public simcard_testing::SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    UINT patched = 0;
    ASSERT_EQ(S_OK, SimDriver_Attach(GetModuleHandleW(nullptr), &patched));
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyRul, 3, TRUE));
    ASSERT_TRUE(SUCCEEDED(SimDriver_AddCard(capturePath_.c_str(), &driverCard_)));
  }

  UINT driverCard_ = 0;
};

// And the outside filters' doubles.
class RulGraphTest : public RulCardTest {
 protected:
  void SetUp() override {
    RulCardTest::SetUp();
    doubles_.reset(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
    ASSERT_TRUE(doubles_);
  }

  UniqueModule doubles_;
};

}  // namespace rul_testing

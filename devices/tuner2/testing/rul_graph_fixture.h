// The second family's graph tests: the simulated card's numbered filters registered for card 0
// (two tuners), the driver stand-in attached to the test program, and the doubles of the
// outside filters loaded from the built modules' folder (standing for the device manager's).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/handles.h"
#include "common/testing/paths.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/outside_interfaces.h"

namespace rul_testing {

class RulGraphTest : public simcard_testing::SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    UINT patched = 0;
    ASSERT_EQ(S_OK, SimDriver_Attach(GetModuleHandleW(nullptr), &patched));
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyRul, 2, TRUE));
    ASSERT_TRUE(SUCCEEDED(SimDriver_AddCard(capturePath_.c_str(), &driverCard_)));
    doubles_.reset(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
    ASSERT_TRUE(doubles_);
  }

  UINT driverCard_ = 0;
  UniqueModule doubles_;
};

}  // namespace rul_testing

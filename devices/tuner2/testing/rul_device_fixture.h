// Test support of the second family's device object: the card, the driver stand-in and the
// outside filters' doubles of the graph tests, and the host's item class registered (the object
// makes channel and setting items of it).
#pragma once

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"

namespace rul_testing {

class RulDeviceTest : public RulGraphTest {
 protected:
  using RegFn = HRESULT(STDAPICALLTYPE*)();
  void SetUp() override {
    RulGraphTest::SetUp();
    items_.reset(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
    auto reg = GetProcAs<RegFn>(items_.get(), "DllRegisterServer");
    ASSERT_TRUE(reg && reg() == S_OK);
  }
  void TearDown() override {
    if (auto unreg = GetProcAs<RegFn>(items_.get(), "DllUnregisterServer")) unreg();
    RulGraphTest::TearDown();
  }

  UniqueModule items_;
};

}  // namespace rul_testing

// rulDevice.dll as a host meets it: the device-manager module cases (module_test_kit.h) and the
// facade's answers once the object is bound to a card.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "devices/core/testing/module_test_kit.h"
#include "devices/idl/device_manager.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"

using Microsoft::WRL::ComPtr;
using device_module_kit::DeviceModuleTest;

namespace {

INSTANTIATE_TEST_SUITE_P(Family, DeviceModuleTest, ::testing::Values(&device_module_kit::kRul),
                         device_module_kit::RowName);

class RulObjectTest : public rul_testing::RulCardTest {
 protected:
  void SetUp() override {
    RulCardTest::SetUp();
    ASSERT_TRUE(module_.valid());
    UINT patched = 0;
    ASSERT_EQ(SimDriver_Attach(module_.handle(), &patched), S_OK);
    object_ = module_.Create();
    ASSERT_TRUE(object_);
  }
  void TearDown() override {
    object_.Reset();
    SimDriver_Detach(module_.handle());
    RulCardTest::TearDown();
  }

  HRESULT Bind(LONG tuner) {
    ComPtr<IDeviceSetup> setup;
    EXPECT_EQ(object_.As(&setup), S_OK);
    return setup->SetDeviceInfo(rul_testing::MakeItem({{8, tuner}, {9, 2}}, {{7, capturePath_}}).Get());
  }

  device_module_kit::ModuleObject module_{device_module_kit::kRul};
  ComPtr<IUnknown> object_;
};

// GetInterface once bound: the device object's refusal passes through, an interface it does not
// offer is E_NOTIMPL, an offered one comes from QueryInterface.
TEST_F(RulObjectTest, FacadeAnswersTheInterfaceQuestionsOnceBound) {
  ASSERT_EQ(Bind(1), S_OK);
  ComPtr<IDevice> device;
  ASSERT_EQ(object_.As(&device), S_OK);
  const struct {
    const IID* iid;
    HRESULT expected;
  } cases[] = {
      {&IID_IAutoScan, errors::kNoScanCapability},  // the scan belongs to tuner 0
      {&IID_IPreview2, E_NOTIMPL},
      {&IID_ISound, E_NOTIMPL},
      {&IID_IInputSwitch, S_OK},
  };
  for (const auto& c : cases) {
    void* out = nullptr;
    EXPECT_EQ(device->GetInterface(*c.iid, &out), c.expected);
    EXPECT_EQ(out != nullptr, c.expected == S_OK);
    if (out) static_cast<IUnknown*>(out)->Release();
  }
  ComPtr<IInputSwitch> input;
  ASSERT_EQ(object_.As(&input), S_OK);
  ComPtr<IInputQualityControl> quality;
  EXPECT_EQ(input->GetInputQualityControl(quality.GetAddressOf()), S_OK);
  EXPECT_TRUE(quality);
}

}  // namespace

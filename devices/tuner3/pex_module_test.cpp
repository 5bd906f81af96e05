// pexDevice.dll as a host meets it: the device-manager module cases (module_test_kit.h) and what
// this family's facade hands to its device object.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "common/errors.h"
#include "devices/core/testing/module_test_kit.h"
#include "devices/idl/device_manager.h"

using Microsoft::WRL::ComPtr;
using device_module_kit::DeviceModuleTest;

namespace {

INSTANTIATE_TEST_SUITE_P(Family, DeviceModuleTest, ::testing::Values(&device_module_kit::kPex),
                         device_module_kit::RowName);

// Pointer arguments reach the device object, which refuses what it cannot write through.
TEST(PexObject, PointerArgumentsReachTheDeviceObject) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  {
    device_module_kit::ModuleObject module(device_module_kit::kPex);
    ComPtr<IUnknown> object = module.Create();
    ASSERT_TRUE(object);
    ComPtr<IDevice> device;
    ComPtr<IDeviceInfoDetail> detail;
    ASSERT_EQ(object.As(&device), S_OK);
    ASSERT_EQ(object.As(&detail), S_OK);
    EXPECT_EQ(E_POINTER, device->CanUseInterface(IID_IPreview, nullptr));
    EXPECT_EQ(errors::kDeviceNotSet, device->GetInfo(0, nullptr));
    EXPECT_EQ(E_INVALIDARG, detail->GetInputAudioModeVariety(nullptr, nullptr));
  }
  CoUninitialize();
}

}  // namespace

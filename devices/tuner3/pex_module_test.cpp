// pexDevice.dll as a host meets it: the device-manager module cases (module_test_kit.h).
#include <gtest/gtest.h>

#include "devices/core/testing/module_test_kit.h"

using device_module_kit::DeviceModuleTest;

namespace {

INSTANTIATE_TEST_SUITE_P(Family, DeviceModuleTest, ::testing::Values(&device_module_kit::kPex),
                         device_module_kit::RowName);

}  // namespace

// The first family's setup under the mutation driver: whatever the encoder link's driver answers
// to the two information blocks, the device is bound with exactly the driver's facts, or the
// setup fails with the driver's code (no base channel for a device without inputs) and keeps
// nothing.
#include <gtest/gtest.h>

#include "devices/core/testing/setup_reply_fuzz.h"
#include "devices/tuner1/testing/device_object_fixture.h"

namespace {

class TamDeviceFuzz : public tuner1_test::DeviceObjectTest {};

TEST_F(TamDeviceFuzz, SetupTakesTheDriverFactsOrKeepsNothing) {
  ASSERT_TRUE(driver_replies::ReplyHook::Install());
  fuzzing::Target target = driver_replies::SetupTarget(
      "tam_driver_information",
      [&]() -> std::unique_ptr<DeviceObjectCore> {
        auto object = std::make_unique<DeviceManagerImpl>(tableSection_.c_str(), tableMutex_.c_str());
        if (FAILED(object->Initialize())) return nullptr;
        return object;
      },
      [&] { return tuner1_test::DeviceItemFor(path_); }, errors::kLinkFailure);
  target.defaultRuns = 2000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

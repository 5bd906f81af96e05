#include "devices/tuner3/device_control_channel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_test;

namespace {

class DeviceControlChannelTest : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    HRESULT hr = E_FAIL;
    channel_ = std::make_unique<DeviceControlChannel>(identity_, &hr);
    ASSERT_EQ(S_OK, hr);
  }
  std::unique_ptr<DeviceControlChannel> channel_;
};

TEST_F(DeviceControlChannelTest, DescriptionRecordsComeBackWhole) {
  const std::uint32_t a[3] = {0xA0A0A0A0, 0x45, 0xC0};
  const std::uint32_t b[8] = {1, 2, 3, 4, 5, 6, 7, 0xFFFFFFFF};
  ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, a, b));
  DeviceControlChannel::DescriptionA recordA{9, 9, 9};
  DeviceControlChannel::DescriptionB recordB{};
  const UINT from = LogNext();
  ASSERT_EQ(S_OK, channel_->GetDescriptionA(&recordA));
  ASSERT_EQ(S_OK, channel_->GetDescriptionB(&recordB));
  EXPECT_EQ(0, std::memcmp(a, recordA.data(), sizeof(a)));
  EXPECT_EQ(0, std::memcmp(b, recordB.data(), sizeof(b)));
  const auto log = LogSince(from);
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ(0x220190u, log[0].code);
  EXPECT_EQ(12u, log[0].outSize);
  EXPECT_EQ(0x220194u, log[1].code);
  EXPECT_EQ(32u, log[1].outSize);
  EXPECT_EQ(0u, log[0].inSize + log[1].inSize);
  EXPECT_EQ(E_POINTER, channel_->GetDescriptionA(nullptr));
}

TEST_F(DeviceControlChannelTest, OnlyTheVersionByteSurvivesTheNoise) {
  for (DWORD version : {2u, 4u, 3u, 0xFFu, 0u}) {
    SCOPED_TRACE(version);
    ASSERT_EQ(S_OK, SimDriver_SetHardwareVersion(card_, version));
    for (int query = 0; query < 4; ++query) {
      std::uint32_t answer = 0xDEADBEEF;
      ASSERT_EQ(S_OK, channel_->GetHardwareVersion(&answer));
      EXPECT_EQ(version << 16, answer);
    }
  }
  const SimDriverFault fault{0x223028, {}, 0xFFFFFFFFu, 0, ERROR_IO_DEVICE};
  ASSERT_EQ(S_OK, SimDriver_InjectFault(card_, &fault));
  std::uint32_t answer = 0x77;
  EXPECT_EQ(HRESULT(0x8007045D), channel_->GetHardwareVersion(&answer));
  EXPECT_EQ(0x77u, answer);  // not written on failure
  EXPECT_EQ(E_POINTER, channel_->GetHardwareVersion(nullptr));
}

TEST_F(DeviceControlChannelTest, FirmwareBlockLayoutAndArguments) {
  const std::vector<std::uint8_t> image = {1, 2, 3, 4, 5, 6, 7};
  const UINT from = LogNext();
  ASSERT_EQ(S_OK, channel_->DownloadFirmwareBlock(image.data(), 7, 0x21105));
  ASSERT_EQ(S_OK, channel_->DownloadFirmwareBlock(nullptr, 0, 0));  // the empty block
  EXPECT_EQ(E_INVALIDARG, channel_->DownloadFirmwareBlock(image.data(), 0, 1));
  EXPECT_EQ(E_POINTER, channel_->DownloadFirmwareBlock(nullptr, 7, 1));

  const std::vector<std::uint8_t> first = {0, 0, 0, 0, 0x05, 0x11, 0x02, 0, 7, 0, 0, 0,
                                           1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0};
  const std::vector<std::uint8_t> empty(16, 0);
  const auto log = LogSince(from);
  ASSERT_EQ(2u, log.size());  // the refused calls send nothing
  EXPECT_EQ(0x22302Cu, log[0].code);
  EXPECT_EQ(first, std::vector<std::uint8_t>(log[0].packet, log[0].packet + log[0].inSize));
  EXPECT_EQ(empty, std::vector<std::uint8_t>(log[1].packet, log[1].packet + log[1].inSize));
  EXPECT_EQ(0u, log[0].outSize + log[1].outSize);

  SimDriverFirmwareBlock blocks[2] = {};
  UINT count = 0;
  ASSERT_EQ(S_OK, SimDriver_ReadFirmwareBlocks(card_, blocks, 2, &count));
  ASSERT_EQ(2u, count);
  EXPECT_EQ(SimDriver_HashBytes(image.data(), 7), blocks[0].hash);
  EXPECT_EQ(0u, blocks[0].trailing);
}

TEST_F(DeviceControlChannelTest, ASecondAttemptFollowsAFailedFirst) {
  const std::uint8_t image[4] = {9, 8, 7, 6};
  const SimDriverFault fault{0x22302C, {}, 0xFFFFFFFFu, 0, ERROR_IO_DEVICE};
  ASSERT_EQ(S_OK, SimDriver_InjectFaults(card_, &fault, 1));
  UINT from = LogNext();
  EXPECT_EQ(S_OK, channel_->DownloadFirmwareBlock(image, 4, 0x40001));
  EXPECT_EQ(2u, LogSince(from).size());

  ASSERT_EQ(S_OK, SimDriver_InjectFaults(card_, &fault, 2));
  from = LogNext();
  EXPECT_EQ(HRESULT(0x8007E000), channel_->DownloadFirmwareBlock(image, 4, 0x40001));
  EXPECT_EQ(2u, LogSince(from).size());  // two attempts, no more
}

TEST_F(DeviceControlChannelTest, AMissingInterfaceLeavesTheChannelClosed) {
  HRESULT hr = S_OK;
  DeviceControlChannel missing(DeviceIdentity(CardPath(testing_support::UniqueName(L"99_")).c_str()), &hr);
  EXPECT_EQ(HRESULT(0x80070002), hr);
  EXPECT_FALSE(missing.IsOpen());
  std::uint32_t version = 0;
  EXPECT_EQ(HRESULT(0x80041002), missing.GetHardwareVersion(&version));
  EXPECT_EQ(HRESULT(0x80041002), missing.DownloadFirmwareBlock(nullptr, 0, 0));
  DeviceControlChannel::DescriptionA a{};
  EXPECT_EQ(HRESULT(0x80070006), missing.GetDescriptionA(&a));  // the request itself fails

  // The channel never speaks the command-packet code, and the driver refuses it there.
  channel_.reset();
  EXPECT_EQ(0u, CardState(card_).openHandles);
  DeviceHandle raw;
  ASSERT_EQ(S_OK, raw.Open(identity_, DeviceControlChannel::kDeviceSuffix));
  std::uint8_t packet[32] = {};
  EXPECT_EQ(HRESULT(0x80070001), raw.IoControl(0x220000, packet, 32, packet, 32, nullptr, nullptr));
}

}  // namespace

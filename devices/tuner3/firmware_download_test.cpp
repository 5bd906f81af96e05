#include "devices/tuner3/firmware_download.h"

#include <gtest/gtest.h>

#include <cstring>

#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_test;

namespace {

// The placeholder images are linked into this test program, as into the device manager.
struct Image {
  const void* bytes = nullptr;
  DWORD size = 0;
};
Image ResourceImage(WORD id) {
  HMODULE self = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(self, MAKEINTRESOURCEW(id), L"FIRMWARE");
  if (!info) return {};
  return {LockResource(LoadResource(self, info)), SizeofResource(self, info)};
}

class FirmwareDownloadTest : public SimCardTest {
 protected:
  std::vector<SimDriverFirmwareBlock> Blocks() {
    std::vector<SimDriverFirmwareBlock> blocks(kSimDriverMaxFirmwareBlocks);
    UINT count = 0;
    SimDriver_ReadFirmwareBlocks(card_, blocks.data(), static_cast<UINT>(blocks.size()), &count);
    blocks.resize(count);
    return blocks;
  }
};

TEST_F(FirmwareDownloadTest, TheVersionChoosesTheImage) {
  const Image image202 = ResourceImage(202), image204 = ResourceImage(204);
  ASSERT_EQ(28140u, image202.size);
  ASSERT_EQ(9980u, image204.size);
  const SimDriverFault failedQuery{0x223028, {}, 0xFFFFFFFFu, 0, ERROR_IO_DEVICE};
  const struct {
    DWORD version;
    bool queryFails;
    std::uint32_t parameter;
    Image image;
  } cases[] = {
      {2, false, 0x21105, image202},
      {4, false, 0x40001, image204},
      {3, false, 0, {}},
      {2, true, 0, {}},  // a failed query reads as version 0: the empty block, setup goes on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version * 10 + c.queryFails);
    ASSERT_EQ(S_OK, SimDriver_SetHardwareVersion(card_, c.version));
    if (c.queryFails) {
      ASSERT_EQ(S_OK, SimDriver_InjectFault(card_, &failedQuery));
    }
    FirmwareSetup setup;
    ASSERT_EQ(S_OK, DownloadFirmware(identity_, GetModuleHandleW(nullptr), &setup));
    EXPECT_TRUE(setup.channel && setup.channel->IsOpen());
    const SimDriverFirmwareBlock block = Blocks().back();
    EXPECT_EQ(c.parameter, block.parameter);
    EXPECT_EQ(c.image.size, block.length);
    EXPECT_EQ(SimDriver_HashBytes(c.image.bytes, c.image.size), block.hash);
    EXPECT_EQ(0u, block.trailing);  // the padding goes out zeroed
  }
}

TEST_F(FirmwareDownloadTest, DescriptionRecordsAreStoredAsTheDriverGaveThem) {
  const std::uint32_t a[3] = {0x12345678, 0xFFFFFFFF, 0};
  const std::uint32_t b[8] = {8, 7, 6, 5, 4, 3, 2, 0x80000000};
  ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, a, b));
  FirmwareSetup setup;
  ASSERT_EQ(S_OK, DownloadFirmware(identity_, GetModuleHandleW(nullptr), &setup));
  EXPECT_EQ(0, std::memcmp(a, setup.descriptionA.data(), sizeof(a)));
  EXPECT_EQ(0, std::memcmp(b, setup.descriptionB.data(), sizeof(b)));
}

TEST_F(FirmwareDownloadTest, FailuresDeleteTheChannel) {
  const SimDriverFault download{0x22302C, {}, 0xFFFFFFFFu, 0, ERROR_IO_DEVICE};
  const SimDriverFault description{0x220194, {}, 0xFFFFFFFFu, 0, ERROR_NOT_READY};
  const struct {
    const SimDriverFault* fault;
    UINT times;
    HRESULT expected;
  } cases[] = {
      {&download, 1, S_OK},  // the second attempt succeeds
      {&download, 2, HRESULT(0x8007E000)},
      {&description, 1, HRESULT(0x80070015)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.times);
    ASSERT_EQ(S_OK, SimDriver_InjectFaults(card_, c.fault, c.times));
    FirmwareSetup setup;
    EXPECT_EQ(c.expected, DownloadFirmware(identity_, GetModuleHandleW(nullptr), &setup));
    EXPECT_EQ(SUCCEEDED(c.expected), setup.channel != nullptr);
    setup.channel.reset();
    EXPECT_EQ(0u, CardState(card_).openHandles);
  }

  FirmwareSetup setup;
  const DeviceIdentity missing(CardPath(testing_support::UniqueName(L"99_")).c_str());
  EXPECT_EQ(HRESULT(0x80070002), DownloadFirmware(missing, GetModuleHandleW(nullptr), &setup));
  EXPECT_EQ(nullptr, setup.channel);
  EXPECT_EQ(E_POINTER, DownloadFirmware(identity_, GetModuleHandleW(nullptr), nullptr));
}

}  // namespace

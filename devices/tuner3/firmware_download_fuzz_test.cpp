// The firmware block under the mutation driver: images of any size and content go out whole
// through the control channel, and blocks whose header lies about the length are refused by
// the driver's reading of them, never read past their end.
#include <gtest/gtest.h>

#include <vector>

#include "common/testing/fuzz_driver.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/tuner3/device_control_channel.h"

using namespace driver_test;

namespace {

constexpr std::size_t kHeader = 12;  // 0, parameter, length
constexpr std::size_t kTrailer = 4;

class FirmwareBlockFuzz : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    HRESULT hr = E_FAIL;
    channel_ = std::make_unique<DeviceControlChannel>(identity_, &hr);
    ASSERT_EQ(S_OK, hr);
  }

  // The block the driver took last, or false when it holds none beyond `expected` blocks.
  bool Newest(SimDriverFirmwareBlock* block) {
    SimDriverFirmwareBlock blocks[kSimDriverMaxFirmwareBlocks] = {};
    UINT count = 0;
    if (FAILED(SimDriver_ReadFirmwareBlocks(card_, blocks, kSimDriverMaxFirmwareBlocks, &count)) || count == 0)
      return false;
    *block = blocks[count - 1];
    return true;
  }

  std::string Check(const std::uint8_t* data, std::size_t size) {
    // As an image: the whole of it behind the header, the trailer zero.
    const std::uint32_t parameter = size >= 4 ? fuzzing::ReadLe(data, 4) : 0x21105;
    const HRESULT sent = channel_->DownloadFirmwareBlock(size ? data : nullptr, static_cast<std::uint32_t>(size), parameter);
    if (sent != S_OK) return "image refused: " + std::to_string(sent);
    SimDriverFirmwareBlock block{};
    if (!Newest(&block)) return "image not taken";
    if (block.length != size || block.hash != SimDriver_HashBytes(data, static_cast<UINT>(size)) ||
        block.parameter != parameter || block.trailing != 0) {
      return "image arrived changed";
    }

    // As a block as it is: taken exactly when its header tells its true length.
    const bool honest = size >= kHeader + kTrailer && fuzzing::ReadLe(data, 4) == 0 &&
                        fuzzing::ReadLe(data + 8, 4) == size - kHeader - kTrailer;
    UINT before = 0;
    SimDriverFirmwareBlock ignored[kSimDriverMaxFirmwareBlocks];
    SimDriver_ReadFirmwareBlocks(card_, ignored, kSimDriverMaxFirmwareBlocks, &before);
    DWORD returned = 0;
    const HRESULT raw = channel_->IoControl(DeviceControlChannel::kFirmwareBlockCode, const_cast<std::uint8_t*>(data),
                                            static_cast<DWORD>(size), nullptr, 0, &returned, nullptr);
    if (SUCCEEDED(raw) != honest) return honest ? "an honest block refused" : "a block with a lying length taken";
    if (honest) {
      const std::size_t length = size - kHeader - kTrailer;
      if (!Newest(&block) || block.length != length ||
          block.hash != SimDriver_HashBytes(data + kHeader, static_cast<UINT>(length)) ||
          block.parameter != fuzzing::ReadLe(data + 4, 4) || block.trailing != fuzzing::ReadLe(data + kHeader + length, 4)) {
        return "block arrived changed";
      }
    }
    return {};
  }

  std::unique_ptr<DeviceControlChannel> channel_;
};

TEST_F(FirmwareBlockFuzz, ImagesGoOutWholeAndLyingBlocksAreRefused) {
  fuzzing::Target target;
  target.name = "firmware_block";
  const fuzzing::Bytes first = {0, 0, 0, 0, 0x05, 0x11, 0x02, 0, 7, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0};
  target.seeds = {first, fuzzing::Bytes(16, 0), {9, 8, 7, 6}, fuzzing::Bytes(1024 + 16, 0xA5)};
  fuzzing::WriteLe(target.seeds[3].data(), 4, 0);
  fuzzing::WriteLe(target.seeds[3].data() + 8, 4, 1024);
  target.sizeFields = [](const fuzzing::Bytes&) { return std::vector<fuzzing::SizeField>{{8, 4}, {0, 4}}; };
  target.check = [this](const std::uint8_t* data, std::size_t size) { return Check(data, size); };
  target.maxSize = 8192;
  target.defaultRuns = 3000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

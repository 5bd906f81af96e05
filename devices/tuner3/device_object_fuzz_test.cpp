// The third family's setup under the mutation driver: whatever the driver answers to the requests
// of SetDeviceInfo (the hardware version, the firmware block and its one retry, the two device
// description records), the setup either binds the device with exactly the driver's facts, or
// fails with a clear code (the failed description read's own, 0x8007E000 for a firmware block
// refused twice, "no base channel" for a device without inputs) and keeps nothing; the same
// object's next setup, with the driver answering as it should, then binds. Nothing faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/testing/fuzz_driver.h"
#include "devices/core/base_channel_list.h"
#include "devices/core/testing/driver_reply_hook.h"
#include "devices/tuner3/device_control_channel.h"
#include "devices/tuner3/testing/pex_device_fixture.h"

using namespace pex_testing;
using driver_replies::Reply;
using driver_replies::WordAt;

namespace {

// Up to five requests: version, two firmware attempts, records A and B. Each reply of the input
// has room for the largest record, so that any reply can answer any request.
constexpr std::size_t kReplies = 5;
constexpr std::size_t kSegment = driver_replies::kReplyHeader + 32;

struct Request {
  DWORD code;
  DWORD inSize;
  DWORD outSize;
};

DWORD ImageSize(WORD id) {
  const HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"FIRMWARE");
  return info ? SizeofResource(module, info) : 0;
}

// One reply of a seed: outcome (0 success, 192.. failure), the claimed count and its words.
void PutReply(fuzzing::Bytes& input, std::size_t index, std::uint8_t outcome, DWORD claimed,
              const std::vector<std::uint32_t>& words, std::uint32_t rawError = 0) {
  std::uint8_t* at = input.data() + index * kSegment;
  at[1] = outcome;
  fuzzing::WriteLe(at + 2, 4, rawError);
  fuzzing::WriteLe(at + 6, 4, claimed);
  for (std::size_t i = 0; i < words.size(); ++i) fuzzing::WriteLe(at + driver_replies::kReplyHeader + 4 * i, 4, words[i]);
}

class PexDeviceFuzz : public PexDeviceTest {};

TEST_F(PexDeviceFuzz, SetupTakesTheDriverFactsOrKeepsNothing) {
  ASSERT_TRUE(driver_replies::ReplyHook::Install());
  const DWORD image2 = ImageSize(202), image4 = ImageSize(204);
  ASSERT_NE(0u, image2);
  ASSERT_NE(0u, image4);
  const std::vector<std::uint32_t> recordA(std::begin(kRecordA), std::end(kRecordA));
  const std::vector<std::uint32_t> recordB(std::begin(kRecordB), std::end(kRecordB));
  constexpr std::uint8_t kOk = 0, kFail = 200, kRawFail = 255;

  fuzzing::Target target;
  target.name = "pex_setup_replies";
  const fuzzing::Bytes blank(kReplies * kSegment, 0);
  const auto seed = [&](std::uint32_t version, bool retried) {
    fuzzing::Bytes input = blank;
    PutReply(input, 0, kOk, 12, {0, version, 0});
    std::size_t at = 1;
    if (retried) PutReply(input, at++, kFail, 0, {});
    PutReply(input, at++, kOk, 0, {});
    PutReply(input, at++, kOk, 12, recordA);
    PutReply(input, at, kOk, 32, recordB);
    return input;
  };
  target.seeds = {seed(0x020000, false), seed(0x040000, true), seed(0x7F0000, false)};
  fuzzing::Bytes s = seed(0x020000, false);
  PutReply(s, 0, kRawFail, 0, {}, ERROR_IO_DEVICE);  // no version: the empty block
  target.seeds.push_back(s);
  s = seed(0x020000, true);
  PutReply(s, 2, kFail, 0, {});  // refused twice
  target.seeds.push_back(s);
  s = seed(0x040000, false);
  PutReply(s, 2, 250, 0, {}, 0);  // record A failed without an error code
  target.seeds.push_back(s);
  s = seed(0x020000, false);
  PutReply(s, 2, kOk, 12, {0, 0, 0xC0});  // no input
  target.seeds.push_back(s);
  s = seed(0x020000, false);
  PutReply(s, 3, 230, 4, {1});  // record B failed, bytes left behind
  target.seeds.push_back(s);
  s = seed(0x040000, false);
  PutReply(s, 0, kOk, 4, {0x11});  // short answers
  PutReply(s, 2, kOk, 8, {0, 1});
  s.resize(3 * kSegment + driver_replies::kReplyHeader + 12);
  target.seeds.push_back(s);
  target.sizeFields = [](const fuzzing::Bytes& input) {
    std::vector<fuzzing::SizeField> fields;
    for (std::size_t at = 0; at + driver_replies::kReplyHeader <= input.size(); at += kSegment) {
      fields.push_back({at + 6, 4});
      fields.push_back({at + 2, 4});
    }
    return fields;
  };
  target.maxSize = kReplies * kSegment;
  target.defaultRuns = 400;

  int bound = 0, refused = 0;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    std::vector<Reply> replies;
    for (std::size_t i = 0; i < kReplies; ++i) {
      const std::size_t from = std::min(size, i * kSegment);
      replies.push_back(driver_replies::ReplyOfInput(data + from, std::min(kSegment, size - from)));
    }
    std::unique_ptr<pex::DeviceManagerImpl> object = NewObject();
    if (!object) return "no object";
    struct Ended {
      pex::DeviceManagerImpl& object;
      ~Ended() { object.Shutdown(); }
    } ended{*object};
    HRESULT hr = E_FAIL;
    {
      driver_replies::ArmedReply armed(replies);
      hr = object->SetDeviceInfo(Item().Get());
    }
    const std::vector<driver_replies::Request> seen = driver_replies::ReplyHook::Requests();

    // The requests the setup owes the driver's answers, and the code it owes.
    std::vector<Request> owed = {{DeviceControlChannel::kHardwareVersionCode, 0, 12}};
    HRESULT expected = S_OK;
    std::vector<std::uint8_t> blockA, blockB;
    const auto after = [&](std::size_t n) {
      return n < seen.size() ? driver_replies::After(seen[n], replies[n]) : std::vector<std::uint8_t>{};
    };
    const std::uint32_t version = replies[0].fail ? 0 : WordAt(after(0), 4) & 0x00FF0000;
    const DWORD image = (version >> 16) == 2 ? image2 : (version >> 16) == 4 ? image4 : 0;
    owed.push_back({DeviceControlChannel::kFirmwareBlockCode, image + DeviceControlChannel::kBlockOverhead, 0});
    std::size_t next = 2;
    if (replies[1].fail) {
      owed.push_back(owed.back());
      next = 3;
      if (replies[2].fail) expected = errors::kFirmwareDownloadFailed;
    }
    if (expected == S_OK) {
      owed.push_back({DeviceControlChannel::kDescriptionACode, 0, 12});
      if (replies[next].fail) {
        expected = driver_replies::ExpectedCode(replies[next], errors::kLinkFailure);
      } else {
        blockA = after(next);
        owed.push_back({DeviceControlChannel::kDescriptionBCode, 0, 32});
        if (replies[next + 1].fail) {
          expected = driver_replies::ExpectedCode(replies[next + 1], errors::kLinkFailure);
        } else {
          blockB = after(next + 1);
          if ((WordAt(blockA, 4) & 7) == 0) expected = errors::kNoBaseChannel;
        }
      }
    }
    if (seen.size() != owed.size()) return "the setup made " + std::to_string(seen.size()) + " requests";
    for (std::size_t n = 0; n < owed.size(); ++n) {
      if (seen[n].code != owed[n].code || seen[n].inSize != owed[n].inSize || seen[n].outSize != owed[n].outSize)
        return "request " + std::to_string(n) + " of the wrong code or size";
    }
    if (hr != expected) return "the setup answered " + std::to_string(hr) + " for " + std::to_string(expected);

    ULONG count = 0;
    _SHAL_BASECH* channels = nullptr;
    HRESULT listed = object->GetAvailableBaseChannel(kBaseChannelRegion, kBaseChannelTvFormat, &count, &channels);
    CoTaskMemFree(channels);
    channels = nullptr;
    ULONG low = 0, high = 0, step = 0;
    if (SUCCEEDED(hr)) {
      ++bound;
      const std::uint32_t inputs = WordAt(blockA, 4);
      const ULONG owedChannels = ((inputs & 1) ? 2u : 0u) + ((inputs & 2) ? 1u : 0u) + ((inputs & 4) ? 1u : 0u);
      if (!object->bound() || !object->controlChannel()) return "a setup that succeeded kept no device";
      if (FAILED(listed) || count != owedChannels) return "base channels not as the driver's inputs";
      if (FAILED(object->GetAvailableFrequencyInfo(&low, &high, &step)) || low != WordAt(blockB, 4) ||
          high != WordAt(blockB, 8) || step != WordAt(blockB, 12)) {
        return "the frequency range is not the driver's";
      }
      return {};
    }
    ++refused;
    if (object->bound() || object->controlChannel()) return "a failed setup kept the device";
    if (SUCCEEDED(listed) && count != 0) return "a failed setup kept base channels";

    // The driver answers as it should again: the same object binds.
    hr = object->SetDeviceInfo(Item().Get());
    if (hr != S_OK) return "the next setup answered " + std::to_string(hr);
    listed = object->GetAvailableBaseChannel(kBaseChannelRegion, kBaseChannelTvFormat, &count, &channels);
    CoTaskMemFree(channels);
    if (FAILED(listed) || count != 4) return "the next setup has other base channels";
    if (FAILED(object->GetAvailableFrequencyInfo(&low, &high, &step)) || low != kRecordB[1] || high != kRecordB[2] ||
        step != kRecordB[3]) {
      return "the next setup has another frequency range";
    }
    return {};
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(bound, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace

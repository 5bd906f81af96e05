// Test support: a family's device-object setup under fuzzed driver replies. The setup reads two
// information blocks from the driver (12 bytes, word 1 the input bits; 32 bytes, words 1-3 the
// frequency range and step); whatever the driver answers to the two requests (driver_replies'
// layout, one reply after the other in the input), the setup either binds the device with exactly
// the driver's facts, or fails with the driver's code ("no base channel" for a device without
// inputs) and keeps nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/errors.h"
#include "devices/core/device_object_core.h"
#include "devices/core/testing/driver_reply_hook.h"

namespace driver_replies {

inline constexpr std::size_t kFirstReply = kReplyHeader + 12;
inline constexpr std::size_t kSecondReply = kReplyHeader + 32;

// `make` gives a fresh object (initialised, nothing bound), `item` the device item of the setup.
inline fuzzing::Target SetupTarget(const char* name, std::function<std::unique_ptr<DeviceObjectCore>()> make,
                                   std::function<Microsoft::WRL::ComPtr<IHalItem>()> item, HRESULT noCode) {
  fuzzing::Target target;
  target.name = name;
  auto seed = [](std::uint8_t outcomeA, std::uint32_t inputs, std::uint8_t outcomeB) {
    fuzzing::Bytes bytes(kFirstReply + kSecondReply);
    bytes[1] = outcomeA;
    fuzzing::WriteLe(bytes.data() + 6, 4, 12);
    fuzzing::WriteLe(bytes.data() + kReplyHeader + 4, 4, inputs);
    fuzzing::WriteLe(bytes.data() + kReplyHeader + 8, 4, 0xC0);
    std::uint8_t* b = bytes.data() + kFirstReply;
    b[1] = outcomeB;
    fuzzing::WriteLe(b + 6, 4, 32);
    const std::uint32_t words[8] = {1, 55250000, 801250000, 62500, 1, 62, 1, 125};
    for (int i = 0; i < 8; ++i) fuzzing::WriteLe(b + kReplyHeader + 4 * i, 4, words[i]);
    return bytes;
  };
  target.seeds = {seed(0, 7, 0), seed(0, 0, 0), seed(0, 4, 200), seed(255, 7, 0), seed(0, 2, 0)};
  fuzzing::Bytes cut = seed(0, 1, 0);  // the second block cut short
  cut.resize(kFirstReply + kReplyHeader + 14);
  target.seeds.push_back(cut);
  target.sizeFields = [](const fuzzing::Bytes& input) {
    std::vector<fuzzing::SizeField> fields;
    for (const std::size_t at : {std::size_t{0}, kFirstReply})
      if (input.size() >= at + kReplyHeader) fields.push_back({at + 6, 4});
    return fields;
  };
  target.maxSize = kFirstReply + kSecondReply;
  target.check = [make, item, noCode](const std::uint8_t* data, std::size_t size) -> std::string {
    const std::size_t first = std::min(size, kFirstReply);
    const std::vector<Reply> replies = {ReplyOfInput(data, first), ReplyOfInput(data + first, size - first)};
    std::unique_ptr<DeviceObjectCore> object = make();
    if (!object) return "no object";
    HRESULT hr = E_FAIL;
    {
      ArmedReply armed(replies);
      hr = object->SetDeviceInfo(item().Get());
    }
    const std::vector<Request> requests = ReplyHook::Requests();
    struct Ended {
      DeviceObjectCore& object;
      ~Ended() { object.Shutdown(); }
    } ended{*object};

    // What the driver left, and the answer it owes.
    if (requests.empty()) return "no driver request";
    HRESULT expected = S_OK;
    const std::vector<std::uint8_t> blockA = After(requests[0], replies[0]);
    std::vector<std::uint8_t> blockB;
    if (replies[0].fail) {
      expected = ExpectedCode(replies[0], noCode);
    } else if (requests.size() < 2) {
      return "the second block not asked";
    } else {
      blockB = After(requests[1], replies[1]);
      if (replies[1].fail) {
        expected = ExpectedCode(replies[1], noCode);
      } else if ((WordAt(blockA, 4) & 7) == 0) {
        expected = errors::kNoBaseChannel;
      }
    }
    if (hr != expected) return "the setup answered " + std::to_string(hr);
    if (requests.size() > (replies[0].fail ? 1u : 2u)) return "more driver requests than the setup makes";

    ULONG count = 0;
    _SHAL_BASECH* channels = nullptr;
    const HRESULT listed = object->GetAvailableBaseChannel(0, 0, &count, &channels);
    if (channels) CoTaskMemFree(channels);
    if (FAILED(hr)) {
      if (object->bound()) return "a failed setup kept the device";
      if (SUCCEEDED(listed) && count != 0) return "a failed setup kept base channels";
      return {};
    }
    // The facts are the driver's words.
    ULONG low = 0, high = 0, step = 0;
    if (FAILED(object->GetAvailableFrequencyInfo(&low, &high, &step)) || low != WordAt(blockB, 4) ||
        high != WordAt(blockB, 8) || step != WordAt(blockB, 12)) {
      return "the frequency range is not the driver's";
    }
    const std::uint32_t inputs = WordAt(blockA, 4);
    const ULONG channelsExpected = ((inputs & 1) ? 2u : 0u) + ((inputs & 2) ? 1u : 0u) + ((inputs & 4) ? 1u : 0u);
    if (FAILED(listed) || count != channelsExpected) return "base channels not as the driver's inputs";
    return {};
  };
  return target;
}

}  // namespace driver_replies

// The control channel's reads under the mutation driver: whatever bytes, count and outcome the
// driver answers, a description record holds exactly what the reply left in the zeroed record,
// and the hardware version is word 1 of the reply masked, written only on success. On a failure
// a description record holds whatever the driver left (its callers drop it with the failure).
#include "devices/tuner3/device_control_channel.h"

#include <gtest/gtest.h>

#include "devices/core/testing/driver_reply_hook.h"
#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_replies;

namespace {

class ControlChannelFuzz : public driver_test::SimCardTest {};

TEST_F(ControlChannelFuzz, ReadsReportOnlyWhatTheReplyLeft) {
  ASSERT_TRUE(ReplyHook::Install());
  HRESULT opened = E_FAIL;
  DeviceControlChannel channel(identity_, &opened);
  ASSERT_EQ(S_OK, opened);

  const auto record = [](HRESULT hr, const auto& words) {
    return Outcome{hr, SUCCEEDED(hr) ? std::vector<std::uint32_t>(words.begin(), words.end()) : std::vector<std::uint32_t>{}};
  };
  const std::vector<Operation> operations = {
      {DeviceControlChannel::kDescriptionACode, 0, 12,
       [&] { DeviceControlChannel::DescriptionA a; a.fill(kUntouched);
             const HRESULT hr = channel.GetDescriptionA(&a); return record(hr, a); },
       Words(0, 3)},
      {DeviceControlChannel::kDescriptionBCode, 0, 32,
       [&] { DeviceControlChannel::DescriptionB b; b.fill(kUntouched);
             const HRESULT hr = channel.GetDescriptionB(&b); return record(hr, b); },
       Words(0, 8)},
      {DeviceControlChannel::kHardwareVersionCode, 0, 12,
       [&] { std::uint32_t version = kUntouched;
             const HRESULT hr = channel.GetHardwareVersion(&version); return Outcome{hr, {version}}; },
       [](const std::vector<std::uint8_t>& after) {
         return std::vector<std::uint32_t>{WordAt(after, 4) & DeviceControlChannel::kVersionMask};
       }},
  };
  fuzzing::Target target = ReplyTarget("control_channel_replies", operations, errors::kLinkFailure);
  target.defaultRuns = 3000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

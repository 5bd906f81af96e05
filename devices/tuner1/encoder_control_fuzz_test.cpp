// The encoder link's requests under the mutation driver: whatever bytes, count and outcome the
// driver answers, a read reports exactly the words its buffer holds after the reply (the signal
// level only as 1 to 4, else 0) and writes nothing on a failure, whose code is the driver's.
#include "devices/tuner1/encoder_control.h"

#include <gtest/gtest.h>

#include "devices/core/link/testing/link_test_support.h"
#include "devices/core/testing/driver_reply_hook.h"
#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_replies;

namespace {

class EncoderControlFuzz : public driver_test::SimCardTest {};

TEST_F(EncoderControlFuzz, ReadsReportOnlyWhatTheReplyLeft) {
  ASSERT_TRUE(ReplyHook::Install());
  HRESULT opened = E_FAIL;
  EncoderControl control(identity_, &opened);
  ASSERT_EQ(S_OK, opened);

  constexpr DWORD kProperty = EncoderControl::kPropertyCode;
  const auto nothing = [](const std::vector<std::uint8_t>&) { return std::vector<std::uint32_t>{}; };
  const std::vector<Operation> operations = {
      {kProperty, 32, 32, [&] { std::uint32_t f = kUntouched, m = kUntouched;
                                return Outcome{control.GetFrequency(&f, &m), {f, m}}; }, Words(24, 2)},
      {kProperty, 32, 32, [&] { std::uint32_t f = kUntouched;
                                return Outcome{control.GetFrequency(&f, nullptr), {f}}; }, Words(24, 1)},
      {kProperty, 28, 28, [&] { std::uint32_t l = kUntouched;
                                return Outcome{control.GetSignalLevel(&l), {l}}; },
       [](const std::vector<std::uint8_t>& after) {
         const std::uint32_t code = WordAt(after, 24);
         return std::vector<std::uint32_t>{code >= 1 && code <= 4 ? code : 0};
       }},
      {kProperty, 28, 28, [&] { std::uint32_t v = kUntouched;
                                return Outcome{control.GetCaptureSwitch(&v), {v}}; }, Words(24, 1)},
      {EncoderControl::kDeviceInfo12Code, 12, 12, [&] { DeviceInfo12 w; w.fill(kUntouched);
         const HRESULT hr = control.ReadDeviceInfo12(&w); return Outcome{hr, {w.begin(), w.end()}}; }, Words(0, 3)},
      {EncoderControl::kDeviceInfo32Code, 32, 32, [&] { DeviceInfo32 w; w.fill(kUntouched);
         const HRESULT hr = control.ReadDeviceInfo32(&w); return Outcome{hr, {w.begin(), w.end()}}; }, Words(0, 8)},
      {kProperty, 32, 32, [&] { return Outcome{link_testing::Thrown([&] { control.SetFrequency(91250000, 1); }), {}}; },
       nothing},
      {kProperty, 76, 76, [&] { return Outcome{link_testing::Thrown([&] { control.SetEncoderParameters({}); }), {}}; },
       nothing},
  };
  fuzzing::Target target = ReplyTarget("encoder_link_replies", operations, errors::kLinkFailure);
  target.defaultRuns = 3000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

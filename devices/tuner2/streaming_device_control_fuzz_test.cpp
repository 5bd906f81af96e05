// The streaming device's requests under the mutation driver: whatever bytes, count and outcome
// the driver answers, a get fills exactly the words its comment names from the buffer as the
// reply left it (the key stays the caller's), and a failure throws the driver's code with the
// caller's record untouched.
#include "devices/tuner2/streaming_device_control.h"

#include <gtest/gtest.h>

#include <cstring>

#include "devices/core/link/testing/link_test_support.h"
#include "devices/core/testing/driver_reply_hook.h"
#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_replies;
using link_testing::Thrown;

namespace {

using Control = StreamingDeviceControl;

// The words of a record (every one kUntouched before) as a read left it, or as it stood when the
// read threw.
template <std::size_t N>
Outcome Read(std::array<std::uint32_t, N> record, const std::function<void(std::array<std::uint32_t, N>*)>& read) {
  const HRESULT hr = Thrown([&] { read(&record); });
  return Outcome{hr, {record.begin(), record.end()}};
}

class StreamingControlFuzz : public driver_test::SimCardTest {};

TEST_F(StreamingControlFuzz, GetsFillOnlyTheirWordsFromTheReply) {
  ASSERT_TRUE(ReplyHook::Install());
  HRESULT opened = E_FAIL;
  Control control(identity_, &opened);
  ASSERT_EQ(S_OK, opened);

  constexpr DWORD kProperty = Control::kPropertyCode;
  // A value record keyed with kUntouched, so that a failure leaves every word kUntouched.
  const auto value = [&](void (Control::*get)(Control::ValueRecord*)) {
    return [&control, get] {
      return Read<2>({kUntouched, kUntouched}, [&](Control::ValueRecord* r) { (control.*get)(r); });
    };
  };
  const auto keyAndWord = [](std::size_t at) {
    return [at](const std::vector<std::uint8_t>& after) {
      return std::vector<std::uint32_t>{kUntouched, WordAt(after, at)};
    };
  };
  const std::vector<Operation> operations = {
      {Control::kHardwareInfoCode, 12, 12,
       [&] { return Read<3>({kUntouched, kUntouched, kUntouched}, [&](Control::HardwareInfo* i) { control.GetHardwareInfo(i); }); },
       Words(0, 3)},
      {Control::kTunerInfoCode, 32, 32,
       [&] {
         Control::TunerInfo info;
         info.fill(kUntouched);
         return Read<8>(info, [&](Control::TunerInfo* i) { control.GetTunerInfo(i); });
       },
       Words(0, 8)},
      {kProperty, 36, 36,
       [&] {
         return Read<3>({kUntouched, kUntouched, kUntouched},
                        [&](Control::FrequencyRecord* r) { control.GetTunedFrequency(r); });
       },
       [](const std::vector<std::uint8_t>& after) {
         return std::vector<std::uint32_t>{kUntouched, WordAt(after, 28), kUntouched};
       }},
      {kProperty, 32, 32, value(&Control::GetSignalLevel), keyAndWord(28)},
      {kProperty, 32, 32, value(&Control::GetCaptureSwitch0), keyAndWord(28)},
      {kProperty, 32, 32, value(&Control::GetCaptureSwitch1), keyAndWord(28)},
      // The encoder record as 78 bytes in words of one byte each: the key (bytes 0-3) stays, the
      // rest is the packed form of the aligned record the reply left behind its header.
      {kProperty, 108, 108,
       [&] {
         Control::EncoderParameters record;
         record.fill(0xA5);
         const HRESULT hr = Thrown([&] { control.GetEncoderParameters(&record); });
         Outcome outcome{hr, {}};
         for (const std::uint8_t byte : record) outcome.values.push_back(FAILED(hr) && byte == 0xA5 ? kUntouched : byte);
         return outcome;
       },
       [](const std::vector<std::uint8_t>& after) {
         driver_packets::AlignedEncoderRecord aligned{};
         std::memcpy(&aligned, after.data() + 24, sizeof(aligned));
         const Control::EncoderParameters packed = driver_packets::PackEncoderRecord(aligned);
         std::vector<std::uint32_t> values(4, 0xA5);
         values.insert(values.end(), packed.begin() + 4, packed.end());
         return values;
       }},
      {kProperty, 36, 36, [&] { return Outcome{Thrown([&] { control.Tune(1, 91250000, 1); }), {}}; },
       [](const std::vector<std::uint8_t>&) { return std::vector<std::uint32_t>{}; }},
  };
  fuzzing::Target target = ReplyTarget("streaming_link_replies", operations, errors::kLinkFailure);
  target.defaultRuns = 3000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

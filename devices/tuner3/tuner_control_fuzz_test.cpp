// The third family's tuner control under the mutation driver, against what its card's filters
// answer: the support each driver property reports, the values a Get reads, the byte count a
// Get returns, and a failure of any KS call (the error and how many calls it lasts). Every call
// either succeeds with exactly the driver's value (the signal code as one of the five levels),
// answers the property's own code when the needed support is missing, refuses a Get whose reply
// ends before its value, or passes the driver's failure on; nothing faults.
#include "devices/tuner3/tuner_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/errors.h"
#include "common/testing/fuzz_driver.h"
#include "sim/card/sim_card_fixture.h"

using namespace simcard_testing;

namespace {

struct Property {
  const GUID* set;
  DWORD id;
  DWORD recordSize;
};
// Scan mode, frequency, signal level, switching flag, capture switches A and B.
const Property kProperties[] = {{&kSimKsTunerSet, 0, 28},     {&kSimKsTunerSet, 1, 32},
                                {&kSimKsTunerSet, 2, 28},     {&kSimKsSwitchingSet, 2, 28},
                                {&kSimKsCaptureSet, 4, 28},   {&kSimKsCaptureSet, 3, 28}};
constexpr std::size_t kPropertyBytes = 13;  // support, value 1, value 2, the count a Get returns
constexpr std::size_t kReturnedAt = 9;
constexpr DWORD kValueEnd = 28;  // a reply must reach the end of the first value
constexpr std::size_t kFailureAt = std::size(kProperties) * kPropertyBytes;
constexpr std::size_t kInputBytes = kFailureAt + 6;  // method, error, times
const char* const kMethods[] = {"KsGet", "KsSet", "QuerySupported"};

class PexTunerControlFuzz : public SimCardTest {
 protected:
  void SetUp() override {
    SimCardTest::SetUp();
    ASSERT_EQ(S_OK, SimCard_RegisterFamilyCard(0, kSimFamilyPex, 0, TRUE));
    control_ = std::make_unique<pex::TunerControl>();
    ASSERT_EQ(S_OK, control_->Build(DeviceIdentity(capturePath_.c_str())));
  }
  void TearDown() override {
    control_.reset();
    SimCardTest::TearDown();
  }
  std::unique_ptr<pex::TunerControl> control_;
};

TEST_F(PexTunerControlFuzz, EveryPropertyCallTakesTheDriversAnswerOrItsOwnCode) {
  fuzzing::Target target;
  target.name = "pex_tuner_properties";
  fuzzing::Bytes seed(kInputBytes, 0);
  for (std::size_t p = 0; p < std::size(kProperties); ++p) {
    seed[p * kPropertyBytes] = 3;
    fuzzing::WriteLe(seed.data() + p * kPropertyBytes + 1, 4, 100 + static_cast<std::uint32_t>(p));
    fuzzing::WriteLe(seed.data() + p * kPropertyBytes + kReturnedAt, 4, kProperties[p].recordSize);
  }
  target.seeds = {seed};
  fuzzing::Bytes shortReplies = seed;
  for (std::size_t p = 0; p < std::size(kProperties); ++p)
    fuzzing::WriteLe(shortReplies.data() + p * kPropertyBytes + kReturnedAt, 4, 24 + static_cast<std::uint32_t>(p));
  target.seeds.push_back(shortReplies);
  seed[kFailureAt] = 0;
  fuzzing::WriteLe(seed.data() + kFailureAt + 1, 4, static_cast<std::uint32_t>(E_ACCESSDENIED));
  seed[kFailureAt + 5] = 1;
  target.seeds.push_back(seed);
  target.sizeFields = [](const fuzzing::Bytes&) {
    std::vector<fuzzing::SizeField> fields;
    for (std::size_t p = 0; p < std::size(kProperties); ++p) {
      fields.push_back({p * kPropertyBytes + 1, 4});
      fields.push_back({p * kPropertyBytes + kReturnedAt, 4});
    }
    fields.push_back({kFailureAt + 1, 4});
    return fields;
  };
  target.maxSize = kInputBytes;
  target.defaultRuns = 1000;
  int taken = 0;    // calls that took the driver's answer
  int refused = 0;  // calls answered with the property's own code
  int cut = 0;      // Gets refused for a short reply
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    fuzzing::Bytes input(data, data + size);
    input.resize(kInputBytes, 0);
    const wchar_t* path = capturePath_.c_str();
    for (std::size_t p = 0; p < std::size(kProperties); ++p) {
      const std::uint8_t* at = input.data() + p * kPropertyBytes;
      SimCard_SetKsSupport(path, kProperties[p].set, kProperties[p].id, at[0] & 3);
      SimCard_SetKsValues(path, kProperties[p].set, kProperties[p].id, static_cast<LONG>(fuzzing::ReadLe(at + 1, 4)),
                          static_cast<LONG>(fuzzing::ReadLe(at + 5, 4)));
      SimCard_SetKsReturned(path, kProperties[p].set, kProperties[p].id, fuzzing::ReadLe(at + kReturnedAt, 4));
    }
    const char* method = kMethods[input[kFailureAt] % std::size(kMethods)];
    // A failure code only: the high bit set whatever the input says.
    const HRESULT error = static_cast<HRESULT>(fuzzing::ReadLe(input.data() + kFailureAt + 1, 4) | 0x80000000u);
    const UINT times = input[kFailureAt + 5] % 4;
    SimCard_InjectFailure(path, method, error, times);

    pex::TunerControl& c = *control_;
    const auto support = [&](std::size_t p) { return input[p * kPropertyBytes] & 3; };
    const auto value = [&](std::size_t p) { return static_cast<int>(fuzzing::ReadLe(input.data() + p * kPropertyBytes + 1, 4)); };
    // What a Get of the card reports as returned (the whole record for the card's own mark).
    const auto returned = [&](std::size_t p) {
      const DWORD count = fuzzing::ReadLe(input.data() + p * kPropertyBytes + kReturnedAt, 4);
      return count == kSimKsReturnedWhole ? kProperties[p].recordSize : count;
    };
    std::string failure;
    // A Get: the driver's value, its own code, or a failure the card was told to give.
    const auto get = [&](const char* name, std::size_t p, HRESULT (pex::TunerControl::*call)(int*), HRESULT unsupported) {
      int got = 0x5A5A5A5A;
      const HRESULT hr = (c.*call)(&got);
      taken += hr == S_OK;
      refused += hr == unsupported;
      cut += hr == errors::kInvalidData;
      if (!failure.empty()) return;
      if (hr == S_OK && p != 2 && got != value(p))
        failure = std::string(name) + " read " + std::to_string(got) + " for the driver's " + std::to_string(value(p));
      else if (hr == S_OK && p == 2 && got != -128 && got != -64 && got != 0 && got != 63 && got != 127)
        failure = "a signal level of " + std::to_string(got);
      else if (hr == S_OK && !(support(p) & KSPROPERTY_SUPPORT_GET))
        failure = std::string(name) + " succeeded without get support";
      else if (hr == S_OK && returned(p) < kValueEnd)
        failure = std::string(name) + " took a reply of " + std::to_string(returned(p)) + " bytes";
      else if (hr == errors::kInvalidData && hr != error && returned(p) >= kValueEnd)
        failure = std::string(name) + " refused a reply of " + std::to_string(returned(p)) + " bytes";
      else if (FAILED(hr) && got != 0x5A5A5A5A)
        failure = std::string(name) + " wrote its value on a failure";
      else if (FAILED(hr) && hr != unsupported && hr != error && hr != errors::kInvalidData)
        failure = std::string(name) + " answered " + std::to_string(hr);
    };
    const auto set = [&](const char* name, std::size_t p, HRESULT hr, HRESULT unsupported) {
      taken += hr == S_OK;
      refused += hr == unsupported;
      if (!failure.empty()) return;
      if (hr == S_OK && !(support(p) & KSPROPERTY_SUPPORT_SET))
        failure = std::string(name) + " succeeded without set support";
      else if (FAILED(hr) && hr != unsupported && hr != error)
        failure = std::string(name) + " answered " + std::to_string(hr);
    };
    get("GetFrequency", 1, &pex::TunerControl::GetFrequency, errors::kKsFrequencyUnsupported);
    get("GetSignalLevel", 2, &pex::TunerControl::GetSignalLevel, errors::kKsSignalLevelUnsupported);
    get("GetCaptureSwitchA", 4, &pex::TunerControl::GetCaptureSwitchA, errors::kKsCaptureSwitchAUnsupported);
    get("GetCaptureSwitchB", 5, &pex::TunerControl::GetCaptureSwitchB, errors::kKsCaptureSwitchBUnsupported);
    set("SetFrequency", 1, c.SetFrequency(value(1), input[0] & 1), errors::kKsFrequencyUnsupported);
    set("SetSwitchingFlag", 3, c.SetSwitchingFlag(value(3)), errors::kKsSwitchingFlagUnsupported);
    set("SetCaptureSwitchA", 4, c.SetCaptureSwitchA(value(4)), errors::kKsCaptureSwitchAUnsupported);
    set("SetCaptureSwitchB", 5, c.SetCaptureSwitchB(value(5)), errors::kKsCaptureSwitchBUnsupported);
    SimCard_InjectFailure(path, method, error, 0);  // nothing left for the next input
    return failure;
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(taken, 0);
  EXPECT_GT(refused, 0);
  EXPECT_GT(cut, 0);
}

}  // namespace

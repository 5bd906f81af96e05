// The crossbar router under the mutation driver: the card's crossbar answers pin counts, pin
// information, routing results and the routed input as the input says (its counts may lie and
// it may answer for pins it does not have). Attach keeps exactly the pins with a related pin, or
// refuses counts past what a crossbar can have, in bounded time; routing and the band read back
// ask the crossbar only about pins it listed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <wrl/client.h>

#include "common/hresult.h"
#include "common/testing/fuzz_driver.h"
#include "devices/core/tuning/crossbar_router.h"
#include "filters/base/unknown.h"

using Microsoft::WRL::ComPtr;

namespace {

// Input layout (little-endian): output count, input count (4 bytes each), a mode byte, the
// routed input, the type and ordinal to route, the split of the pin table between inputs and
// outputs, then the table: a related index (one signed byte, -1 none) and a type byte a pin.
constexpr std::size_t kOutputCount = 0, kInputCount = 4, kMode = 8, kRouted = 9, kRouteType = 10, kOrdinal = 11,
                      kSplit = 12, kPins = 13;
constexpr long kTypes[] = {PhysConn_Video_Tuner, PhysConn_Video_AUX, PhysConn_Video_SVideo,
                           PhysConn_Video_Composite, PhysConn_Video_VideoDecoder, PhysConn_Audio_Tuner,
                           PhysConn_Audio_Line, PhysConn_Audio_AudioDecoder};
constexpr HRESULT kRouteAnswers[] = {S_OK, S_FALSE, E_FAIL, static_cast<HRESULT>(0x00040260)};

struct Script {
  long outputs = 0, inputs = 0;
  bool answersEveryIndex = false;  // a lying driver answers any index from its table
  HRESULT canRoute = S_OK, route = S_OK;
  long routedTo = -1;
  long routeType = 0;
  std::uint32_t ordinal = 0;
  std::vector<std::pair<long, long>> inputPins, outputPins;  // {related, type}
};

Script ScriptOf(const std::uint8_t* data, std::size_t size) {
  Script s;
  s.outputs = static_cast<long>(fuzzing::ReadLe(data + kOutputCount, 4));
  s.inputs = static_cast<long>(fuzzing::ReadLe(data + kInputCount, 4));
  const std::uint8_t mode = data[kMode];
  s.answersEveryIndex = mode & 1;
  s.canRoute = kRouteAnswers[(mode >> 1) & 3];
  s.route = kRouteAnswers[(mode >> 3) & 3];
  s.routedTo = static_cast<std::int8_t>(data[kRouted]);
  s.routeType = kTypes[data[kRouteType] % std::size(kTypes)];
  s.ordinal = data[kOrdinal] % 4;
  const std::size_t pins = (size - kPins) / 2;
  const std::size_t split = pins ? data[kSplit] % (pins + 1) : 0;
  for (std::size_t i = 0; i < pins; ++i) {
    const std::uint8_t* pin = data + kPins + 2 * i;
    // Mostly the types a card has; now and then any value.
    const long type = pin[1] < 0xF0 ? kTypes[pin[1] % std::size(kTypes)] : pin[1];
    (i < split ? s.inputPins : s.outputPins).emplace_back(static_cast<std::int8_t>(pin[0]), type);
  }
  return s;
}

class ScriptedCrossbar final : public CUnknown, public IAMCrossbar {
 public:
  explicit ScriptedCrossbar(const Script& script) : CUnknown(L"Scripted crossbar", nullptr), s_(script) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IAMCrossbar) return GetInterface(static_cast<IAMCrossbar*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }
  STDMETHODIMP get_PinCounts(long* outputs, long* inputs) override {
    *outputs = s_.outputs;
    *inputs = s_.inputs;
    return S_OK;
  }
  STDMETHODIMP get_CrossbarPinInfo(BOOL isInput, long index, long* related, long* type) override {
    const auto& pins = isInput ? s_.inputPins : s_.outputPins;
    if (index < 0 || pins.empty()) return E_INVALIDARG;
    const auto at = static_cast<std::size_t>(index);
    if (at >= pins.size() && !s_.answersEveryIndex) return E_INVALIDARG;
    *related = pins[at % pins.size()].first;
    *type = pins[at % pins.size()].second;
    return S_OK;
  }
  STDMETHODIMP CanRoute(long output, long input) override {
    asked.emplace_back(output, input);
    return s_.canRoute;
  }
  STDMETHODIMP Route(long output, long input) override {
    asked.emplace_back(output, input);
    return s_.route;
  }
  STDMETHODIMP get_IsRoutedTo(long output, long* input) override {
    routedAsked.push_back(output);
    *input = s_.routedTo;
    return S_OK;
  }

  std::vector<std::pair<long, long>> asked;  // {output, input} of CanRoute and Route
  std::vector<long> routedAsked;

 private:
  Script s_;
};

// What Attach must keep of a script: the pins with a related pin, in order; false (refused or a
// failed pin read) when it must keep nothing.
bool ExpectedPins(const Script& s, std::vector<CrossbarRouter::Pin>* inputs, std::vector<CrossbarRouter::Pin>* outputs,
                  HRESULT* expected) {
  *expected = S_OK;
  if (s.inputs < 0 || s.outputs < 0 || s.inputs > static_cast<long>(CrossbarRouter::kMaxPins) ||
      s.outputs > static_cast<long>(CrossbarRouter::kMaxPins)) {
    *expected = errors::kInvalidData;
    return false;
  }
  for (const bool isInput : {true, false}) {
    const auto& pins = isInput ? s.inputPins : s.outputPins;
    for (long i = 0; i < (isInput ? s.inputs : s.outputs); ++i) {
      const auto at = static_cast<std::size_t>(i);
      if (pins.empty() || (at >= pins.size() && !s.answersEveryIndex)) {
        *expected = E_INVALIDARG;
        return false;
      }
      const auto& pin = pins[at % pins.size()];
      if (pin.first == -1) continue;
      (isInput ? inputs : outputs)->push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(pin.first),
                                               static_cast<std::uint32_t>(pin.second)});
    }
  }
  return true;
}

bool SamePins(const std::vector<CrossbarRouter::Pin>& a, const std::vector<CrossbarRouter::Pin>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].index != b[i].index || a[i].related != b[i].related || a[i].type != b[i].type) return false;
  return true;
}

std::string CheckCrossbar(const std::uint8_t* data, std::size_t size) {
  if (size < kPins) return {};
  const Script script = ScriptOf(data, size);
  ComPtr<ScriptedCrossbar> crossbar;
  crossbar.Attach(new ScriptedCrossbar(script));
  crossbar->NonDelegatingAddRef();

  CrossbarRouter router;
  std::vector<CrossbarRouter::Pin> inputs, outputs;
  HRESULT expected = S_OK;
  const bool keeps = ExpectedPins(script, &inputs, &outputs, &expected);
  const HRESULT attached = router.Attach(crossbar.Get());
  if (attached != expected) return "Attach answered " + std::to_string(attached);
  if (!keeps) {
    if (router.attached() || !router.inputs().empty() || !router.outputs().empty()) return "a refused crossbar kept";
    return {};
  }
  if (!SamePins(router.inputs(), inputs) || !SamePins(router.outputs(), outputs)) return "pins not as answered";

  // Routing asks only about listed pins: a video pin and then its related pin.
  const HRESULT routed = router.RouteInput(script.routeType, script.ordinal);
  for (const auto& [output, input] : crossbar->asked) {
    bool listed = false;
    for (const auto& o : outputs) {
      if (static_cast<std::uint32_t>(output) != o.index && static_cast<std::uint32_t>(output) != o.related) continue;
      for (const auto& i : inputs)
        listed |= static_cast<std::uint32_t>(input) == i.index || static_cast<std::uint32_t>(input) == i.related;
    }
    if (!listed) return "routing asked about a pin not listed";
  }
  // A warning of the crossbar's ends the routing and is its answer, as it came.
  if (routed != S_OK && routed != errors::kNoSuchInput && routed != script.canRoute && routed != script.route)
    return "routing answered " + std::to_string(routed);

  std::uint32_t band = 0xEEEEEEEE;
  const HRESULT read = router.CurrentBand(PhysConn_Video_AUX, &band, script.ordinal & 1);
  for (const long output : crossbar->routedAsked) {
    bool decoder = false;
    for (const auto& o : outputs)
      decoder |= static_cast<std::uint32_t>(output) == o.index && o.type == PhysConn_Video_VideoDecoder;
    if (!decoder) return "the routed input asked of a pin not listed as a decoder output";
  }
  if (read == S_OK) {
    const bool external = (band & 0xF00FFFFF) == CrossbarRouter::kFurtherExternalBand ||
                           band == CrossbarRouter::kFirstExternalBand || band == CrossbarRouter::kSecondExternalBand;
    if (band != 1 && !external) return "a band that is neither tuner nor external";
  } else if (read != errors::kNoRoutedInput && read != errors::kRoutedInputUnsupported) {
    return "the band read answered " + std::to_string(read);
  } else if (band != 0xEEEEEEEE) {
    return "a failed band read wrote the band";
  }
  return {};
}

fuzzing::Bytes Seed(long outputs, long inputs, std::uint8_t mode, std::vector<std::pair<std::int8_t, std::uint8_t>> pins,
                    std::uint8_t split) {
  fuzzing::Bytes bytes(kPins);
  fuzzing::WriteLe(bytes.data() + kOutputCount, 4, static_cast<std::uint32_t>(outputs));
  fuzzing::WriteLe(bytes.data() + kInputCount, 4, static_cast<std::uint32_t>(inputs));
  bytes[kMode] = mode;
  bytes[kRouted] = 1;
  bytes[kRouteType] = 1;
  bytes[kSplit] = split;
  for (const auto& [related, type] : pins) {
    bytes.push_back(static_cast<std::uint8_t>(related));
    bytes.push_back(type);
  }
  return bytes;
}

TEST(CrossbarRouterFuzz, PinsAreKeptAsAnsweredAndCountsThatLieAreRefused) {
  fuzzing::Target target;
  target.name = "crossbar_router";
  // Type bytes index kTypes: 0 tuner, 1 AUX, 2 S-Video, 4 decoder, 5 audio tuner, 6 line, 7 audio decoder.
  const std::vector<std::pair<std::int8_t, std::uint8_t>> card = {{4, 0}, {5, 1}, {-1, 1}, {5, 2}, {0, 5}, {1, 6},
                                                                  {1, 4}, {0, 7}};
  // The last three: counts that lie (the largest a driver can claim, one past the most a crossbar
  // lists, one below 0), each answered for every pin.
  target.seeds = {Seed(2, 6, 0, card, 6), Seed(2, 6, 1, card, 6), Seed(2, 0x7FFFFFFF, 1, card, 6),
                  Seed(CrossbarRouter::kMaxPins + 1, 6, 1, card, 6), Seed(2, -1, 1, card, 6)};
  target.sizeFields = [](const fuzzing::Bytes&) {
    return std::vector<fuzzing::SizeField>{{kOutputCount, 4}, {kInputCount, 4}, {kSplit, 1}};
  };
  target.check = CheckCrossbar;
  target.maxSize = kPins + 64;
  target.defaultRuns = 4000;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

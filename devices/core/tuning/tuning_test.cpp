#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include <wrl/client.h>

#include "devices/core/tuning/crossbar_router.h"
#include "devices/core/tuning/proc_amp.h"
#include "filters/base/unknown.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr long kTuner = PhysConn_Video_Tuner;
constexpr long kAux = PhysConn_Video_AUX;
constexpr long kComposite = PhysConn_Video_Composite;
constexpr long kSVideo = PhysConn_Video_SVideo;
constexpr long kDecoder = PhysConn_Video_VideoDecoder;
constexpr long kAudioTuner = PhysConn_Audio_Tuner;
constexpr long kAudioLine = PhysConn_Audio_Line;
constexpr long kAudioDecoder = PhysConn_Audio_AudioDecoder;

// A crossbar of a given pin table that remembers its routes.
class FakeCrossbar final : public CUnknown, public IAMCrossbar {
 public:
  struct PinInfo {
    long related;
    long type;
  };
  FakeCrossbar(std::vector<PinInfo> inputs, std::vector<PinInfo> outputs)
      : CUnknown(L"Fake crossbar", nullptr), inputs_(std::move(inputs)), outputs_(std::move(outputs)) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IAMCrossbar) return GetInterface(static_cast<IAMCrossbar*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }

  STDMETHODIMP get_PinCounts(long* outputs, long* inputs) override {
    *outputs = claimedOutputs.value_or(static_cast<long>(outputs_.size()));
    *inputs = claimedInputs.value_or(static_cast<long>(inputs_.size()));
    return S_OK;
  }
  STDMETHODIMP CanRoute(long output, long input) override {
    calls.push_back({output, input, true});
    return canRoute;
  }
  STDMETHODIMP Route(long output, long input) override {
    calls.push_back({output, input, false});
    routed[output] = input;
    return S_OK;
  }
  STDMETHODIMP get_IsRoutedTo(long output, long* input) override {
    const auto it = routed.find(output);
    *input = it == routed.end() ? -1 : it->second;
    return S_OK;
  }
  STDMETHODIMP get_CrossbarPinInfo(BOOL isInput, long index, long* related, long* type) override {
    // Past its table it answers for the pins again, as a driver whose count lies may.
    const auto& pins = isInput ? inputs_ : outputs_;
    const PinInfo& pin = pins.at(static_cast<size_t>(index) % pins.size());
    *related = pin.related;
    *type = pin.type;
    return S_OK;
  }

  struct Call {
    long output, input;
    bool canRoute;
    bool operator==(const Call& o) const { return output == o.output && input == o.input && canRoute == o.canRoute; }
  };
  std::vector<Call> calls;
  std::map<long, long> routed;
  HRESULT canRoute = S_OK;
  std::optional<long> claimedOutputs, claimedInputs;  // counts that lie

 private:
  std::vector<PinInfo> inputs_, outputs_;
};

template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  ComPtr<T> object;
  object.Attach(new T(std::forward<Args>(args)...));
  object->NonDelegatingAddRef();
  return object;
}

// Inputs: 0 tuner video, 1 AUX, 2 S-Video, 3 AUX, 4 AUX without a related pin, 5 AUX, then the
// audio pins 6-9; outputs: 0 video decoder (related 1), 1 audio decoder.
ComPtr<FakeCrossbar> TwoAuxCrossbar() {
  return Make<FakeCrossbar>(
      std::vector<FakeCrossbar::PinInfo>{{6, kTuner}, {7, kAux}, {8, kSVideo}, {9, kAux}, {-1, kAux}, {9, kAux},
                                         {0, kAudioTuner}, {1, kAudioLine}, {2, kAudioLine}, {3, kAudioLine}},
      std::vector<FakeCrossbar::PinInfo>{{1, kDecoder}, {0, kAudioDecoder}});
}

TEST(CrossbarRouter, RoutesTheChosenInputAndItsRelatedPin) {
  const struct {
    std::uint32_t band;
    long routedVideo, routedAudio;
  } cases[] = {
      {1, 0, 6},
      {2, 0, 6},
      {CrossbarRouter::kFirstExternalBand, 1, 7},
      {CrossbarRouter::kSecondExternalBand, 3, 9},  // the related-less pin 4 is invisible
      {0x00200020, 5, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.band);
    auto crossbar = TwoAuxCrossbar();
    CrossbarRouter router;
    ASSERT_EQ(S_OK, router.Attach(crossbar.Get()));
    LONG type = 0;
    std::uint32_t ordinal = 0;
    CrossbarRouter::InputOfBand(c.band, kAux, &type, &ordinal);
    ASSERT_EQ(S_OK, router.RouteInput(type, ordinal));
    const std::vector<FakeCrossbar::Call> expected = {
        {0, c.routedVideo, true}, {0, c.routedVideo, false}, {1, c.routedAudio, true}, {1, c.routedAudio, false}};
    EXPECT_EQ(expected, crossbar->calls);
    std::uint32_t band = 0;
    ASSERT_EQ(S_OK, router.CurrentBand(kAux, &band));
    // The band read back routes the same input again (the third AUX reads as 0x20, or numbered).
    EXPECT_EQ(c.band == 2 ? 1u : c.band == 0x00200020 ? 0x20u : c.band, band);
    ASSERT_EQ(S_OK, router.CurrentBand(kAux, &band, true));
    EXPECT_EQ(c.band == 2 ? 1u : c.band, band);
  }
}

TEST(CrossbarRouter, FailuresOfRoutingAndReading) {
  auto crossbar = TwoAuxCrossbar();
  CrossbarRouter router;
  std::uint32_t band = 77;
  EXPECT_EQ(E_UNEXPECTED, router.RouteInput(kTuner, 0));
  ASSERT_EQ(S_OK, router.Attach(crossbar.Get()));
  EXPECT_EQ(HRESULT(0x80072403), router.CurrentBand(kAux, &band));  // nothing routed yet
  EXPECT_EQ(HRESULT(0x80072405), router.RouteInput(kAux, 3));
  EXPECT_EQ(HRESULT(0x80072405), router.RouteInput(kComposite, 0));
  EXPECT_TRUE(crossbar->calls.empty());

  crossbar->canRoute = E_INVALIDARG;  // a refusal stops before Route
  EXPECT_EQ(E_INVALIDARG, router.RouteInput(kTuner, 0));
  EXPECT_EQ(1u, crossbar->calls.size());
  crossbar->calls.clear();
  crossbar->canRoute = HRESULT(0x00040260);  // a warning also stops before Route
  EXPECT_EQ(HRESULT(0x00040260), router.RouteInput(kTuner, 0));
  EXPECT_EQ(1u, crossbar->calls.size());
  crossbar->canRoute = S_FALSE;  // S_FALSE goes on
  EXPECT_EQ(S_OK, router.RouteInput(kSVideo, 0));
  EXPECT_EQ(HRESULT(0x80072402), router.CurrentBand(kAux, &band));
  EXPECT_EQ(77u, band);

  // Without a decoder output nothing can be routed.
  auto noDecoder = Make<FakeCrossbar>(std::vector<FakeCrossbar::PinInfo>{{1, kTuner}, {0, kAudioTuner}},
                                      std::vector<FakeCrossbar::PinInfo>{{0, kAudioDecoder}});
  ASSERT_EQ(S_OK, router.Attach(noDecoder.Get()));
  EXPECT_EQ(HRESULT(0x80072405), router.RouteInput(kTuner, 0));
}

// Pin counts a crossbar cannot have are refused before any pin is read, and nothing is kept; the
// largest count allowed is read whole.
TEST(CrossbarRouter, CountsPastWhatACrossbarHasAreRefused) {
  constexpr long kMax = static_cast<long>(CrossbarRouter::kMaxPins);
  const struct {
    long outputs, inputs;
    HRESULT expected;
  } cases[] = {
      {2, kMax + 1, errors::kInvalidData},
      {kMax + 1, 10, errors::kInvalidData},
      {2, 0x2F06, errors::kInvalidData},  // the count the mutation case found
      {2, 0x7FFFFFFF, errors::kInvalidData},
      {2, -1, errors::kInvalidData},
      {-5, 10, errors::kInvalidData},
      {kMax, kMax, S_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inputs);
    auto crossbar = TwoAuxCrossbar();
    crossbar->claimedOutputs = c.outputs;
    crossbar->claimedInputs = c.inputs;
    CrossbarRouter router;
    ASSERT_EQ(S_OK, router.Attach(TwoAuxCrossbar().Get()));
    EXPECT_EQ(c.expected, router.Attach(crossbar.Get()));
    EXPECT_EQ(SUCCEEDED(c.expected), router.attached());
    if (FAILED(c.expected)) {
      EXPECT_TRUE(router.inputs().empty() && router.outputs().empty());
    }
  }
}

TEST(CrossbarRouter, TheLastDecoderOutputWins) {
  auto crossbar = Make<FakeCrossbar>(
      std::vector<FakeCrossbar::PinInfo>{{2, kTuner}, {3, kAux}, {0, kAudioTuner}, {1, kAudioLine}},
      std::vector<FakeCrossbar::PinInfo>{{2, kDecoder}, {3, kDecoder}, {0, kAudioDecoder}, {1, kAudioDecoder}});
  crossbar->routed = {{0, 0}, {1, 1}};
  CrossbarRouter router;
  ASSERT_EQ(S_OK, router.Attach(crossbar.Get()));
  std::uint32_t band = 0;
  ASSERT_EQ(S_OK, router.CurrentBand(kAux, &band));
  EXPECT_EQ(CrossbarRouter::kFirstExternalBand, band);
}

// A proc-amp that records its last call.
class FakeProcAmp final : public CUnknown, public IAMVideoProcAmp {
 public:
  FakeProcAmp() : CUnknown(L"Fake proc-amp", nullptr) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IAMVideoProcAmp) return GetInterface(static_cast<IAMVideoProcAmp*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }
  STDMETHODIMP GetRange(long property, long* minimum, long* maximum, long* step, long* def, long* caps) override {
    lastProperty = property;
    *minimum = -10;
    *maximum = 10;
    *step = 1;
    *def = 0;
    *caps = capsFlags;
    return S_OK;
  }
  STDMETHODIMP Set(long property, long value, long flags) override {
    lastProperty = property;
    lastValue = value;
    lastFlags = flags;
    return S_OK;
  }
  STDMETHODIMP Get(long property, long* value, long* flags) override {
    lastProperty = property;
    *value = 42;
    *flags = VideoProcAmp_Flags_Auto;
    return S_OK;
  }
  long lastProperty = -99, lastValue = 0, lastFlags = 0, capsFlags = VideoProcAmp_Flags_Auto;
};

TEST(ProcAmp, MaskChoosesThePropertyAndFlagsAreMapped) {
  const struct {
    std::uint32_t mask;
    long property;
  } masks[] = {{1, 0}, {2, 1}, {8, 3}, {0x200, 9}, {0x400, -1}, {3, -1}, {0, -1}};
  for (const auto& m : masks) EXPECT_EQ(m.property, proc_amp::PropertyOfMask(m.mask)) << m.mask;

  auto amp = Make<FakeProcAmp>();
  long minimum = 0, maximum = 0, step = 0, def = 0, automatic = 7;
  ASSERT_EQ(S_OK, proc_amp::GetRange(amp.Get(), 4, &minimum, &maximum, &step, &def, &automatic));
  EXPECT_EQ(2, amp->lastProperty);
  EXPECT_EQ(1, automatic);
  amp->capsFlags = VideoProcAmp_Flags_Auto | VideoProcAmp_Flags_Manual;  // not exactly "auto"
  ASSERT_EQ(S_OK, proc_amp::GetRange(amp.Get(), 4, &minimum, &maximum, &step, &def, &automatic));
  EXPECT_EQ(0, automatic);
  ASSERT_EQ(S_OK, proc_amp::Set(amp.Get(), 6, -3));
  EXPECT_EQ(-1, amp->lastProperty);  // two bits
  EXPECT_EQ(VideoProcAmp_Flags_Manual, amp->lastFlags);
  long value = 0;
  ASSERT_EQ(S_OK, proc_amp::Get(amp.Get(), 1, &value));
  EXPECT_EQ(42, value);
  EXPECT_EQ(E_POINTER, proc_amp::Get(amp.Get(), 1, nullptr));
  EXPECT_EQ(E_POINTER, proc_amp::Set(nullptr, 1, 0));
}

TEST(ProcAmp, StateMapClampsAndKeepsTheFirstRange) {
  StateMap map;
  map.Insert(2, -20, 20);
  map.Insert(2, 0, 1);  // ignored
  EXPECT_EQ(-20, map.Clamp(2, -50));
  EXPECT_EQ(5, map.Clamp(2, 5));
  EXPECT_EQ(20, map.Clamp(2, 21));
  EXPECT_EQ(0, map.Clamp(4, 9));  // no range: 0
  map.Clear();
  EXPECT_EQ(0, map.Clamp(2, 5));
}

}  // namespace

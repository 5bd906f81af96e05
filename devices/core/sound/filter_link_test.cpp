#include <gtest/gtest.h>

#include "devices/core/sound/audio_input_selector.h"
#include "devices/core/sound/filter_link.h"
#include "devices/core/sound/sound_test_support.h"
#include "common/registry.h"
#include "filters/include/filter_interfaces.h"

using Microsoft::WRL::ComPtr;
using sound_testing::ScratchRegistryKey;
using sound_testing::SoundGraphTest;

namespace {

constexpr wchar_t kPacerName[] = L"Zarn Live Audio Sync Filter";

class FilterLinkTest : public SoundGraphTest {
 protected:
  // The graph's reference clock, as its identity.
  ComPtr<IUnknown> GraphClock() {
    ComPtr<IMediaFilter> filter;
    EXPECT_EQ(S_OK, graph_.As(&filter));
    ComPtr<IReferenceClock> clock;
    if (filter) filter->GetSyncSource(&clock);
    ComPtr<IUnknown> identity;
    if (clock) clock.As(&identity);
    return identity;
  }
  static ComPtr<IUnknown> Identity(IUnknown* object) {
    ComPtr<IUnknown> identity;
    object->QueryInterface(IID_PPV_ARGS(&identity));
    return identity;
  }

  ScratchRegistryKey boardType7_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                 L"Software\\Zarn Corporation\\TunerBrdInfo\\BoardType7"};
};

TEST_F(FilterLinkTest, AnyKindButLiveSyncHoldsNothingAndHandsTheCapturePinOn) {
  FilterLink link(module_);
  ASSERT_EQ(S_OK, link.Create(0, Graph(), 7, 0));
  EXPECT_EQ(nullptr, link.pacer());
  EXPECT_FALSE(HasFilter(kPacerName));
  EXPECT_EQ(E_INVALIDARG, link.Create(FilterLink::kLiveSyncKind, nullptr, 7, 0));

  EXPECT_EQ(E_INVALIDARG, link.Attach(nullptr));
  ASSERT_EQ(S_OK, link.Attach(audioPin_.Get()));
  EXPECT_EQ(audioPin_.Get(), link.OutputPin());
  EXPECT_EQ(E_FAIL, link.Attach(audioPin_.Get()));
  link.Detach();
  EXPECT_EQ(nullptr, link.OutputPin());
}

TEST_F(FilterLinkTest, PacerTakesTheBoardsSettingsOrTheDefaultsAndClocksTheGraph) {
  struct Case {
    const wchar_t* label;
    bool key;
    LONG buffers, delay, hwTimeStamp;
  };
  for (const Case& c : {Case{L"no key: defaults", false, 0, 300, 1}, Case{L"the board's values", true, 4, 120, 0}}) {
    SCOPED_TRACE(c.label);
    if (c.key) {
      const std::wstring sub = L"Tuner1\\LiveAVSyncParams";  // tuner number 0
      ASSERT_TRUE(boardType7_.SetDword(L"audio alloc buffers", c.buffers, sub));
      ASSERT_TRUE(boardType7_.SetDword(L"audio delay", c.delay, sub));
      ASSERT_TRUE(boardType7_.SetDword(L"use hardware timestamp", c.hwTimeStamp, sub));
    }
    {
      FilterLink link(module_);
      ASSERT_EQ(S_OK, link.Create(FilterLink::kLiveSyncKind, Graph(), 7, 0));
      ASSERT_TRUE(link.pacer());
      EXPECT_TRUE(HasFilter(kPacerName));
      ComPtr<IPacerSettings> settings;
      ASSERT_EQ(S_OK, link.pacer()->QueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(settings.GetAddressOf())));
      EXPECT_EQ(c.buffers, settings->GetAllocatorBuffers());
      EXPECT_EQ(c.delay, settings->GetDelay());
      EXPECT_EQ(c.hwTimeStamp, settings->GetHwTimeStamp());
      EXPECT_EQ(Identity(link.pacer()).Get(), GraphClock().Get());
      EXPECT_EQ(E_FAIL, link.Create(FilterLink::kLiveSyncKind, Graph(), 7, 0));
    }
    EXPECT_FALSE(HasFilter(kPacerName));  // removed with the link
  }
}

TEST_F(FilterLinkTest, BoardType19ClocksTheGraphWithTheSystemClock) {
  FilterLink link(module_);
  ASSERT_EQ(S_OK, link.Create(FilterLink::kLiveSyncKind, Graph(), FilterLink::kSystemClockBoardType, 0));
  ComPtr<IUnknown> clock = GraphClock();
  ASSERT_TRUE(clock);
  EXPECT_NE(Identity(link.pacer()).Get(), clock.Get());
  ComPtr<IReferenceClock> system;
  ASSERT_EQ(S_OK, clock.As(&system));
  REFERENCE_TIME now = 0;
  EXPECT_EQ(S_OK, system->GetTime(&now));
}

TEST_F(FilterLinkTest, BufferWatchSettingsAreRewrittenUnlessTheLimitIs100) {
  struct Case {
    const wchar_t* label;
    bool stored;
    DWORD limit, timer;
    DWORD expectedTimer;
  };
  for (const Case& c : {Case{L"none stored", false, 0, 0, 0xFFFFFFFF}, Case{L"limit 50", true, 50, 1000, 0xFFFFFFFF},
                        Case{L"limit 100", true, 100, 7, 7}}) {
    SCOPED_TRACE(c.label);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, sound_registry::kAudioBufferKey);
    if (c.stored) {
      ASSERT_TRUE(audioBuffer_.SetDword(L"Buffer Limit", c.limit));
      ASSERT_TRUE(audioBuffer_.SetDword(L"Watch Timer", c.timer));
    }
    FilterLink link(module_);
    ASSERT_EQ(S_OK, link.Create(FilterLink::kLiveSyncKind, Graph(), 7, 0));
    const RegistryKeyPath key(L"HKEY_LOCAL_MACHINE\\" + std::wstring(sound_registry::kAudioBufferKey));
    EXPECT_EQ(100u, key.ReadDwordValue(L"buffer limit", 0));
    EXPECT_EQ(c.expectedTimer, key.ReadDwordValue(L"watch timer", 0));
  }
}

// The whole sound road of the preview: the card's audio pin, the pacer, the sound selector and
// the audio renderer, with the pacer's clock driving the graph.
TEST_F(FilterLinkTest, CardAudioReachesTheRendererThroughThePacerInRealTime) {
  FilterLink link(module_);
  ASSERT_EQ(S_OK, link.Create(FilterLink::kLiveSyncKind, Graph(), 7, 0));
  ASSERT_EQ(S_OK, link.Attach(audioPin_.Get()));
  ComPtr<IPin> pacerInput;
  ASSERT_EQ(S_OK, audioPin_->ConnectedTo(&pacerInput));
  PIN_INFO info{};
  ASSERT_EQ(S_OK, pacerInput->QueryPinInfo(&info));
  EXPECT_EQ(Identity(link.pacer()).Get(), Identity(info.pFilter).Get());
  info.pFilter->Release();
  ASSERT_NE(audioPin_.Get(), link.OutputPin());

  AudioInputSelector selector(module_);
  ASSERT_EQ(S_OK, selector.Build(doubles::kClsidSimSound, 0, 0, Graph()));
  ASSERT_EQ(S_OK, selector.Start(link.OutputPin()));
  const ULONGLONG started = GetTickCount64();
  ASSERT_TRUE(SUCCEEDED(control_->Run()));
  ASSERT_TRUE(WaitForSoundSamples(25, 5000));  // 500 ms of sound
  EXPECT_GE(GetTickCount64() - started, 400u);  // played out over time, not at once
  EXPECT_GE(doubles::Journal::Instance().Value(doubles::kValueSoundBytes), 25 * 3840);

  ASSERT_EQ(S_OK, control_->Stop());
  ASSERT_EQ(S_OK, selector.Stop());
  link.Detach();
  EXPECT_EQ(VFW_E_NOT_CONNECTED, audioPin_->ConnectedTo(&pacerInput));
}

}  // namespace

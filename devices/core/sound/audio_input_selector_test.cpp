#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>

#include "common/handles.h"
#include "devices/core/sound/audio_input_selector.h"
#include "devices/core/sound/sound_test_support.h"
#include "sim/doubles/outside_interfaces.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;
using sound_testing::SoundGraphTest;

namespace {

// A selector that tells the test about each fullness check of its watch.
class WatchedSelector final : public AudioInputSelector {
 public:
  using AudioInputSelector::AudioInputSelector;
  ~WatchedSelector() override { Teardown(); }  // the worker ends before this object does

  UniqueHandle quiet{CreateEventW(nullptr, FALSE, FALSE, nullptr)};      // a check without restart
  UniqueHandle restarted{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // a check that restarted
  UniqueHandle restarting{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // a restart has begun
  std::atomic<int> restarts{0};

 protected:
  void OnWatched(bool restartedGraph) override {
    if (restartedGraph) ++restarts;
    SetEvent(restartedGraph ? restarted.get() : quiet.get());
  }
  void OnRestarting() override { SetEvent(restarting.get()); }
};

class SelectorTest : public SoundGraphTest {
 protected:
  void SetWatch(DWORD timerMs, DWORD limit) {
    ASSERT_TRUE(audioBuffer_.SetDword(L"Watch Timer", timerMs));
    ASSERT_TRUE(audioBuffer_.SetDword(L"Buffer Limit", limit));
  }
  static void SetFullness(int percent) { Journal::Instance().SetValue(doubles::kValueSoundFullness, percent); }
  // The next check that reads a fullness below the limit: no restart is in flight after it.
  static bool WaitQuiet(WatchedSelector& s) {
    ResetEvent(s.quiet.get());
    return WaitForSingleObject(s.quiet.get(), 5000) == WAIT_OBJECT_0;
  }
};

// The renderer is the DirectSound device below the audio filter driver exactly when the TV
// audio is not let through the driver and the driver is the preferred playback device.
TEST_F(SelectorTest, BypassPicksTheDirectSoundDeviceOnlyWhenTheRegistrySaysSo) {
  struct Case {
    const wchar_t* label;
    const wchar_t* enableTvLive;
    const wchar_t* filterDriver;
    const wchar_t* playback;
    const wchar_t* soundDriver;
    const wchar_t* renderer;  // its name in the graph; null: Build fails
  };
  const Case cases[] = {
      {L"driver is the playback device", nullptr, L"Belvane Audio", L"BELVANE AUDIO", L"SimSound",
       L"DirectSound: SimSound"},
      {L"TV audio not let through", L"0", L"Belvane Audio", L"Belvane Audio", L"SimSound", L"DirectSound: SimSound"},
      {L"TV audio let through", L"1", L"Belvane Audio", L"Belvane Audio", L"SimSound", L"Audio Renderer"},
      {L"another playback device", nullptr, L"Belvane Audio", L"Speakers", L"SimSound", L"Audio Renderer"},
      {L"no driver name", nullptr, nullptr, L"Belvane Audio", L"SimSound", L"Audio Renderer"},
      {L"no playback device", nullptr, L"Belvane Audio", nullptr, L"SimSound", L"Audio Renderer"},
      {L"no sound driver", nullptr, L"Belvane Audio", L"Belvane Audio", nullptr, L"Audio Renderer"},
      {L"sound driver without a device", nullptr, L"Belvane Audio", L"Belvane Audio", L"NoSuchCard", nullptr},
  };
  // A value written, or taken away (the key stays).
  auto set = [](HKEY root, const wchar_t* key, const wchar_t* name, const wchar_t* value) {
    if (value) {
      ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(root, key, name, REG_SZ, value,
                                               static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))));
    } else {
      RegDeleteKeyValueW(root, key, name);
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    set(HKEY_LOCAL_MACHINE, sound_registry::kFilterDriverKey, L"EnableTVLive", c.enableTvLive);
    set(HKEY_LOCAL_MACHINE, sound_registry::kFilterDriverKey, L"FilterDriverName", c.filterDriver);
    set(HKEY_CURRENT_USER, sound_registry::kSoundMapperKey, L"Playback", c.playback);
    set(HKEY_CURRENT_USER, sound_registry::kFilterDriverSettingsKey, L"SoundDriver", c.soundDriver);
    Journal::Instance().Reset();
    {
      AudioInputSelector selector(module_);
      const HRESULT hr = selector.Build(doubles::kClsidSimSound, 0, 0, Graph());
      if (!c.renderer) {
        EXPECT_EQ(VFW_E_NOT_FOUND, hr);
        continue;
      }
      ASSERT_EQ(S_OK, hr);
      EXPECT_TRUE(HasFilter(c.renderer));
      EXPECT_TRUE(HasFilter(L"Sound Selector"));
      const auto select = Journal::Instance().Calls("SoundSelector", "Select");
      ASSERT_EQ(1u, select.size());
      EXPECT_EQ(1, select[0].args[0]);
      EXPECT_EQ(1, select[0].args[1]);
    }
    EXPECT_FALSE(HasFilter(c.renderer));  // torn down with the object
    EXPECT_FALSE(HasFilter(L"Sound Selector"));
  }
}

TEST_F(SelectorTest, WatchRestartsOnlyAtTheLimitAndAPausedGraphEndsPaused) {
  WatchedSelector selector(module_);
  ASSERT_EQ(S_OK, selector.Build(doubles::kClsidSimSound, 0, 0, Graph()));
  SetWatch(1, 50);  // read at Start
  SetFullness(49);
  ASSERT_EQ(S_OK, selector.Start(audioPin_.Get()));
  EXPECT_EQ(1u, selector.watchTimer());
  EXPECT_EQ(50u, selector.bufferLimit());
  ASSERT_TRUE(SUCCEEDED(control_->Run()));
  ASSERT_EQ(State_Running, State());
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(WaitQuiet(selector));
  EXPECT_EQ(0, selector.restarts);

  SetFullness(50);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(selector.restarted.get(), 5000));
  SetFullness(0);
  ASSERT_TRUE(WaitQuiet(selector));
  EXPECT_EQ(State_Running, State());

  ASSERT_TRUE(SUCCEEDED(control_->Pause()));
  ASSERT_EQ(State_Paused, State());
  SetFullness(80);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(selector.restarted.get(), 5000));
  SetFullness(0);
  ASSERT_TRUE(WaitQuiet(selector));
  EXPECT_EQ(State_Paused, State());

  // A stopped graph is left alone, and the watch is off once the path is stopped.
  const int before = selector.restarts;
  SetFullness(100);
  selector.SuspendWatch();
  ASSERT_EQ(S_OK, control_->Stop());
  ASSERT_EQ(S_OK, selector.Stop());
  EXPECT_EQ(0, selector.started());
  selector.Teardown();
  EXPECT_EQ(before, selector.restarts);
  EXPECT_EQ(State_Stopped, State());
}

// The host's stop: the preview switches the watch off, then stops the graph. It lands while a
// restart is under way; that restart has ended before the graph is stopped and none starts
// afterwards: the graph stays stopped.
TEST_F(SelectorTest, HostStopDuringRestartsLeavesTheGraphStopped) {
  SetWatch(1, 10);
  SetFullness(100);
  for (int i = 0; i < 100; ++i) {
    SCOPED_TRACE(i);
    WatchedSelector selector(module_);
    ASSERT_EQ(S_OK, selector.Build(doubles::kClsidSimSound, 0, 0, Graph()));
    ASSERT_EQ(S_OK, selector.Start(audioPin_.Get()));
    ASSERT_TRUE(SUCCEEDED(control_->Run()));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(selector.restarting.get(), 5000));

    selector.SuspendWatch();
    ASSERT_EQ(S_OK, control_->Stop());
    ASSERT_EQ(S_OK, selector.Stop());
    selector.Teardown();  // the worker has ended: anything it did is done
    ASSERT_EQ(State_Stopped, State());
  }
}

// A restart whose start the card refuses (its capture filter's pause) leaves no filter of the
// graph paused behind the stopped graph: the selector's pins come free and the host's next run
// carries the sound again.
TEST_F(SelectorTest, ARestartTheCardRefusesLeavesEveryFilterStopped) {
  WatchedSelector selector(module_);
  ASSERT_EQ(S_OK, selector.Build(doubles::kClsidSimSound, 0, 0, Graph()));
  SetWatch(1, 50);
  SetFullness(0);
  ASSERT_EQ(S_OK, selector.Start(audioPin_.Get()));
  ASSERT_TRUE(SUCCEEDED(control_->Run()));
  ASSERT_EQ(State_Running, State());
  ASSERT_EQ(S_OK, SimCard_InjectFailure(capturePath_.c_str(), "Pause", E_ACCESSDENIED, 1));
  SetFullness(100);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(selector.restarted.get(), 5000));
  selector.SuspendWatch();  // the restart has ended
  ComPtr<IEnumFilters> filters;
  ASSERT_EQ(S_OK, graph_->EnumFilters(&filters));
  ComPtr<IBaseFilter> filter;
  while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
    FILTER_INFO info{};
    filter->QueryFilterInfo(&info);
    if (info.pGraph) info.pGraph->Release();
    FILTER_STATE state = State_Running;
    filter->GetState(0, &state);
    EXPECT_EQ(State_Stopped, state) << testing::PrintToString(std::wstring(info.achName));
  }
  const std::int64_t before = Journal::Instance().Value(doubles::kValueSoundSamples);
  ASSERT_TRUE(SUCCEEDED(control_->Run()));
  EXPECT_TRUE(WaitForSoundSamples(before + 3, 5000)) << "no sound after the host's run";
  ASSERT_EQ(S_OK, control_->Stop());
  ASSERT_EQ(S_OK, selector.Stop());
  EXPECT_EQ(State_Stopped, State());
}

TEST_F(SelectorTest, VolumeAndBalanceAreClampedOnTheirWayToTheRenderer) {
  AudioInputSelector selector(module_);
  LONG value = 0;
  EXPECT_EQ(E_POINTER, selector.SetVolume(0));  // not built: no renderer
  EXPECT_EQ(E_POINTER, selector.GetBalance(&value));
  ASSERT_EQ(S_OK, selector.Build(doubles::kClsidSimSound, 0, 0, Graph()));
  EXPECT_EQ(E_POINTER, selector.GetVolume(nullptr));

  struct Case {
    bool volume;
    LONG given;
    LONG sent;
  };
  for (const Case& c : {Case{true, -20000, -10000}, Case{true, 500, 0}, Case{true, -2500, -2500},
                        Case{false, -20000, -10000}, Case{false, 20000, 10000}, Case{false, -300, -300}}) {
    Journal::Instance().Reset();
    ASSERT_EQ(S_OK, c.volume ? selector.SetVolume(c.given) : selector.SetBalance(c.given));
    const auto calls = Journal::Instance().Calls("SimSound", c.volume ? "put_Volume" : "put_Balance");
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(c.sent, calls[0].args[0]) << c.given;
    ASSERT_EQ(S_OK, c.volume ? selector.GetVolume(&value) : selector.GetBalance(&value));
    EXPECT_EQ(c.sent, value);
  }
  Journal::Instance().InjectFailure("SimSound", "put_Volume", E_ACCESSDENIED, 1);
  EXPECT_EQ(E_ACCESSDENIED, selector.SetVolume(-100));
  Journal::Instance().InjectFailure("SimSound", "get_Balance", E_UNEXPECTED, 1);
  EXPECT_EQ(E_UNEXPECTED, selector.GetBalance(&value));
}

// The rate adapter puts the rate-matching filter in front of the selector.
TEST_F(SelectorTest, RateAdapterCarriesTheCardsAudioThroughBothFiltersToTheRenderer) {
  AudioRateAdapter adapter(module_);
  ASSERT_EQ(S_OK, adapter.Build(doubles::kClsidSimSound, 0, 0, Graph()));
  EXPECT_TRUE(HasFilter(L"Zarn Rate Matching Filter"));
  ASSERT_EQ(S_OK, adapter.Start(audioPin_.Get()));
  ComPtr<IPin> peer;
  ASSERT_EQ(S_OK, audioPin_->ConnectedTo(&peer));
  PIN_INFO info{};
  ASSERT_EQ(S_OK, peer->QueryPinInfo(&info));
  ComPtr<IBaseFilter> rate(info.pFilter);
  info.pFilter->Release();
  CLSID clsid{};
  rate->GetClassID(&clsid);
  EXPECT_EQ(doubles::kClsidRateMatcher, clsid);

  ASSERT_TRUE(SUCCEEDED(control_->Run()));
  EXPECT_TRUE(WaitForSoundSamples(3, 5000));  // the card's audio reached the renderer
  ASSERT_EQ(S_OK, control_->Stop());
  ASSERT_EQ(S_OK, adapter.Stop());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, audioPin_->ConnectedTo(&peer));
  adapter.Teardown();
  EXPECT_FALSE(HasFilter(L"Zarn Rate Matching Filter"));
  EXPECT_FALSE(HasFilter(L"Audio Renderer"));
}

}  // namespace

// Test support of the sound path's graph cases: the simulated card's capture filter in a graph
// of Wine's filter graph manager (its "AUDIO Out" pin is the upstream pin), the platform doubles
// registered (the audio renderer "DirectSound: SimSound" among them) with a fresh journal, the
// module beside which the outside filters' doubles and the audio pacer lie, and the registry
// keys the sound path reads, cleared before and after each case.
#pragma once

#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/sound/sound_path.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/platform_doubles_testing.h"

namespace sound_testing {

using Microsoft::WRL::ComPtr;
using testing_support::ScratchRegistryKey;

class SoundGraphTest : public simcard_testing::SimCardGraphTest {
 protected:
  void SetUp() override {
    SimCardGraphTest::SetUp();
    doubles::Journal::Instance().Reset();
    ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
    module_ = LoadLibraryW(testing_support::BinPath(L"filterdoubles.dll").c_str());  // stays loaded
    ASSERT_TRUE(module_);
    audioPin_ = simcard_testing::PinNamed(capture_.Get(), L"AUDIO Out");
    ASSERT_TRUE(audioPin_);
    ASSERT_EQ(S_OK, graph_.As(&control_));
  }
  void TearDown() override {
    if (control_) control_->Stop();
    control_.Reset();
    audioPin_.Reset();
    EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
    SimCardGraphTest::TearDown();
  }

  // The graph's state once it has settled (at most 5 s).
  OAFilterState State() {
    OAFilterState state = State_Stopped;
    control_->GetState(5000, &state);
    return state;
  }
  bool HasFilter(const wchar_t* name) {
    ComPtr<IBaseFilter> filter;
    return SUCCEEDED(graph_->FindFilterByName(name, &filter));
  }
  IFilterGraph* Graph() { return graph_.Get(); }
  // Waits (bounded) until the audio renderer has consumed `count` samples.
  static bool WaitForSoundSamples(std::int64_t count, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (doubles::Journal::Instance().Value(doubles::kValueSoundSamples) < count) {
      if (GetTickCount64() > end) return false;
      Sleep(10);
    }
    return true;
  }

  HMODULE module_ = nullptr;
  ComPtr<IPin> audioPin_;
  ComPtr<IMediaControl> control_;
  ScratchRegistryKey app_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kFilterDriverKey};
  ScratchRegistryKey settings_{HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", sound_registry::kFilterDriverSettingsKey};
  ScratchRegistryKey mapper_{HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", sound_registry::kSoundMapperKey};
  ScratchRegistryKey audioBuffer_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kAudioBufferKey};
};

}  // namespace sound_testing

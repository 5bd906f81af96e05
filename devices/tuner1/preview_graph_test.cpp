// The first family's preview graph around the simulated card: built from the card's filters,
// the chain from the capture pin to the system renderer's stand-in, run and stopped, its watch
// thread turning the driver's audio-mode signal and the capture filter's error events into the
// host's events, and torn down without leaving a named event or thread behind.
#include "devices/tuner1/preview_graph.h"

#include <gtest/gtest.h>

#include <utility>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/module.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/sound/sound_path.h"
#include "devices/core/device_objects.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/hal_item.h"
#include "sim/doubles/platform_doubles_testing.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kWaitMs = 5000;

HMODULE FilterDoubles() {
  static HMODULE module = LoadLibraryW(testing_support::BinPath(L"filterdoubles.dll").c_str());
  return module;
}

HRESULT FilterDoublesEntry(const char* name) {
  auto entry = FilterDoubles() ? GetProcAs<HRESULT(STDAPICALLTYPE*)()>(FilterDoubles(), name) : nullptr;
  return entry ? entry() : E_NOINTERFACE;
}

// A device item with board type (2), capabilities (4) and tuner number (8); `missing` leaves
// that value out.
ComPtr<IHalItem> DeviceItem(long capabilities, long missing = -1) {
  static UniqueModule module(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  ComPtr<IClassFactory> factory;
  ComPtr<IHalItem> item;
  if (auto get = GetProcAs<GetClassObjectFn>(module.get(), "DllGetClassObject"))
    if (SUCCEEDED(get(kClsidHalItem, IID_PPV_ARGS(factory.GetAddressOf()))))
      factory->CreateInstance(nullptr, IID_IHalItem, reinterpret_cast<void**>(item.GetAddressOf()));
  if (item) {
    for (const auto& [type, value] : {std::pair<long, long>{2, 0}, {4, capabilities}, {8, 0}}) {
      if (type == missing) continue;
      VARIANT v;
      VariantInit(&v);
      v.vt = VT_I4;
      v.lVal = value;
      item->SetInfo(type, v);
    }
  }
  return item;
}

bool Signalled(HANDLE event, DWORD ms = 0) { return event && WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

// Waits (bounded) until the manual-reset event is no longer signalled.
bool BecomesReset(HANDLE event) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 10) {
    if (!Signalled(event)) return true;
    Sleep(10);
  }
  return false;
}

class PreviewGraphTest : public simcard_testing::SimCardTest {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_TRUE(driver_test::AttachStandIn(simcard_testing::StateName()));
    CoUninitialize();
  }
  void SetUp() override {
    SimCardTest::SetUp();
    doubles::Journal::Instance().Reset();
    ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
    ASSERT_EQ(S_OK, FilterDoublesEntry("DllRegisterServer"));
    ASSERT_TRUE(SUCCEEDED(SimDriver_AddCard(capturePath_.c_str(), &card_)));
    identity_ = DeviceIdentity(capturePath_.c_str());
    settings_.module = FilterDoubles();
    preview_ = std::make_unique<PreviewGraph>(settings_, FilterDoubles());
    preview_->SetStopTimeout(kWaitMs);
    ComPtr<IHalItem> item = DeviceItem(0x200);  // the system renderer
    ASSERT_TRUE(item);
    ASSERT_EQ(S_OK, preview_->KeepDeviceItem(item.Get()));
  }
  void TearDown() override {
    preview_.reset();
    EXPECT_EQ(S_OK, FilterDoublesEntry("DllUnregisterServer"));
    EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
    SimCardTest::TearDown();
  }
  HRESULT BuildPreview() {
    return GuardHr(E_FAIL, [&] { preview_->Build(identity_, 0); });
  }
  std::wstring EventName(NotifyEvent which) const { return DeviceObjectNames(identity_, 0).Event(which); }
  static std::int64_t Frames() { return doubles::Journal::Instance().Value(doubles::kValueVideoFrames); }
  static bool WaitForFrames(std::int64_t count) {
    for (DWORD waited = 0; waited < kWaitMs; waited += 10) {
      if (Frames() >= count) return true;
      Sleep(10);
    }
    return false;
  }

  ChainSettings settings_;
  DeviceIdentity identity_;
  UINT card_ = 0;
  std::unique_ptr<PreviewGraph> preview_;
};

TEST_F(PreviewGraphTest, RunsTheCapturePinIntoTheRendererAndTearsDownCompletely) {
  EXPECT_EQ(errors::kPreviewNotBuilt, preview_->Run());
  ASSERT_EQ(S_OK, BuildPreview());
  EXPECT_EQ(S_OK, BuildPreview());  // built already
  ASSERT_TRUE(preview_->videoPin() && preview_->audioPin() && preview_->vbiPin());
  HANDLE handle = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(errors::kPreviewInvalidArg, preview_->GetNotifyEvent(3, &handle));
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(errors::kPreviewNoChain, preview_->Run());

  ASSERT_EQ(S_OK, preview_->CreateVideoChain(0));
  ASSERT_EQ(S_OK, preview_->Run());
  // Running already: the chain is left as it is, the same filters joined the same way.
  const auto joined = [&] {
    std::vector<std::pair<IBaseFilter*, IPin*>> pairs;
    ComPtr<IEnumFilters> filters;
    if (FAILED(preview_->graph()->EnumFilters(&filters))) return pairs;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
      ComPtr<IEnumPins> pins;
      if (FAILED(filter->EnumPins(&pins))) continue;
      ComPtr<IPin> pin, peer;
      while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK)
        pairs.emplace_back(filter.Get(), SUCCEEDED(pin->ConnectedTo(peer.ReleaseAndGetAddressOf())) ? peer.Get() : nullptr);
    }
    return pairs;
  };
  const auto first = joined();
  EXPECT_EQ(S_OK, preview_->Run());
  EXPECT_EQ(first, joined());
  const std::int64_t before = Frames();
  const ULONGLONG started = GetTickCount64();
  ASSERT_EQ(S_OK, preview_->RunGraph());
  ASSERT_TRUE(WaitForFrames(before + 1)) << Frames();
  // A figure, not a limit: the time from the graph's run to the first frame at the renderer.
  std::printf("first frame at the renderer after %llu ms\n", GetTickCount64() - started);
  EXPECT_TRUE(WaitForFrames(before + 3)) << Frames();
  _SHAL_INPUT_AUDIOMODE input{};
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card_, 0x32));
  EXPECT_EQ(S_OK, preview_->GetCurrentInputAudioMode(&input));
  EXPECT_EQ(4u, input.mainL);
  EXPECT_EQ(8u, input.mainR);

  ASSERT_EQ(S_OK, preview_->StopGraph());
  EXPECT_EQ(VFW_E_NOT_RUNNING, preview_->GetCurrentInputAudioMode(&input));
  EXPECT_EQ(S_OK, preview_->Stop());
  ComPtr<IPin> peer;
  EXPECT_EQ(VFW_E_NOT_CONNECTED, preview_->videoPin()->ConnectedTo(&peer));
  EXPECT_EQ(S_OK, preview_->ReleaseVideoChain());

  const ULONGLONG start = GetTickCount64();
  preview_->Teardown();
  EXPECT_LT(GetTickCount64() - start, 2000u);
  EXPECT_FALSE(preview_->IsReady());
  for (NotifyEvent which : {NotifyEvent::LiveInputAudio, NotifyEvent::LiveOutputAudio, NotifyEvent::ExternalInput}) {
    UniqueHandle left(OpenEventW(SYNCHRONIZE, FALSE, EventName(which).c_str()));
    EXPECT_FALSE(left) << static_cast<int>(which);
  }
  // No filter of the card is left alive.
  const auto canUnload = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(GetModuleHandleW(L"simcard.dll"), "DllCanUnloadNow");
  ASSERT_NE(nullptr, canUnload);
  EXPECT_EQ(S_OK, canUnload());
}

// The on-screen-display filter joins the next chain as its custom filter, made from its module
// file beside the device manager; a chain made before it has no custom filter.
TEST_F(PreviewGraphTest, TheOsdFilterJoinsTheNextChainAsItsCustomFilter) {
  ASSERT_EQ(S_OK, BuildPreview());
  const auto customClass = [&] {
    CLSID clsid = GUID_NULL;
    ComPtr<IBaseFilter> custom;
    if (SUCCEEDED(preview_->graph()->FindFilterByName(L"CUSTOM FILTER", &custom))) custom->GetClassID(&clsid);
    return clsid;
  };
  ASSERT_EQ(S_OK, preview_->CreateVideoChain(0));
  EXPECT_EQ(GUID_NULL, customClass());
  ASSERT_EQ(S_OK, preview_->ReleaseVideoChain());
  ASSERT_EQ(S_OK, preview_->InsertOsdFilter());
  ASSERT_EQ(S_OK, preview_->CreateVideoChain(0));
  constexpr CLSID kOsd = {0x694C8F29, 0xA6EE, 0x4587, {0x82, 0x64, 0x13, 0xC5, 0x88, 0x6D, 0x71, 0x40}};
  EXPECT_EQ(kOsd, customClass());
  ASSERT_EQ(S_OK, preview_->Run());
  ComPtr<IPin> peer;
  EXPECT_EQ(S_OK, preview_->videoPin()->ConnectedTo(&peer));
  EXPECT_EQ(S_OK, preview_->Stop());
  EXPECT_EQ(S_OK, preview_->ReleaseVideoChain());
}

// The board type is read when the item is kept, the tuner number, board type and capabilities
// when the chain is made: a value the item lacks fails that step with the item's answer instead
// of choosing the chain for a board 0 without capabilities.
TEST_F(PreviewGraphTest, ADeviceItemValueThatCannotBeReadFailsItsStep) {
  struct Case {
    long missing;
    bool failsKeep;
  };
  for (const Case& c : {Case{2, true}, Case{4, false}, Case{8, false}}) {
    SCOPED_TRACE(c.missing);
    ComPtr<IHalItem> item = DeviceItem(0x200, c.missing);
    ASSERT_TRUE(item);
    const HRESULT kept = GuardHr(E_FAIL, [&] { return preview_->KeepDeviceItem(item.Get()); });
    if (c.failsKeep) {
      EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, kept);
      continue;
    }
    ASSERT_EQ(S_OK, kept);
    ASSERT_EQ(S_OK, BuildPreview());
    EXPECT_EQ(TYPE_E_ELEMENTNOTFOUND, preview_->CreateVideoChain(0));
    preview_->Teardown();
  }
}

TEST_F(PreviewGraphTest, WatchThreadTurnsDriverAndGraphSignalsIntoTheHostsEvents) {
  ASSERT_EQ(S_OK, BuildPreview());
  ASSERT_EQ(S_OK, preview_->CreateVideoChain(0));
  ASSERT_EQ(S_OK, preview_->Run());
  ASSERT_EQ(S_OK, preview_->RunGraph());
  HANDLE error = nullptr, liveIn = nullptr, liveOut = nullptr;
  ASSERT_EQ(S_OK, preview_->GetNotifyEvent(PreviewGraph::kGraphError, &error));
  ASSERT_EQ(S_OK, preview_->GetNotifyEvent(PreviewGraph::kLiveInputAudio, &liveIn));
  ASSERT_EQ(S_OK, preview_->GetNotifyEvent(PreviewGraph::kLiveOutputAudio, &liveOut));
  UniqueHandle hostLiveIn(OpenEventW(SYNCHRONIZE, FALSE, EventName(NotifyEvent::LiveInputAudio).c_str()));
  ASSERT_TRUE(hostLiveIn);

  // A broadcast mode change reaches the host's named events, and the driver's event is reset.
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card_, 0x21));
  EXPECT_TRUE(Signalled(hostLiveIn.get(), kWaitMs));
  EXPECT_TRUE(Signalled(liveOut, kWaitMs));
  EXPECT_TRUE(BecomesReset(preview_->audioModeEvent()));

  // With an external input selected the change is consumed without a live-audio signal.
  ResetEvent(liveIn);
  ResetEvent(liveOut);
  SetEvent(preview_->externalInputEvent());
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card_, 0x32));
  EXPECT_TRUE(BecomesReset(preview_->audioModeEvent()));
  EXPECT_FALSE(Signalled(liveIn));
  EXPECT_FALSE(Signalled(liveOut));
  _SHAL_OUTPUT_AUDIOMODE output{};
  EXPECT_EQ(S_OK, preview_->GetCurrentOutputAudioMode(&output));
  EXPECT_EQ(1u, output.lineL);
  EXPECT_EQ(1u, output.lineR);
  ResetEvent(preview_->externalInputEvent());

  // An error event of the capture filter: the error event and its first parameter.
  EXPECT_FALSE(Signalled(error));
  ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), EC_ERROR_STILLPLAYING, 0x8007001F, 0));
  EXPECT_TRUE(Signalled(error, kWaitMs));
  EXPECT_EQ(static_cast<HRESULT>(0x8007001F), preview_->GetLastGraphError());
  // Code 3 (EC_ERRORABORT) is an error too.
  ResetEvent(error);
  ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), EC_ERRORABORT, 0x80040266, 0));
  EXPECT_TRUE(Signalled(error, kWaitMs));
  EXPECT_EQ(static_cast<HRESULT>(0x80040266), preview_->GetLastGraphError());

  // Torn down while running: the watch thread ends promptly.
  const ULONGLONG start = GetTickCount64();
  preview_.reset();
  EXPECT_LT(GetTickCount64() - start, 3000u);
}

// The DirectSound device below the audio filter driver (the driver is the playback device):
// the simulated sound card's stand-in renders the preview's sound.
TEST_F(PreviewGraphTest, CaptionsAndSoundRunWithThePicture) {
  using testing_support::ScratchRegistryKey;
  ScratchRegistryKey app(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kFilterDriverKey);
  ScratchRegistryKey driverSettings(HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", sound_registry::kFilterDriverSettingsKey);
  ScratchRegistryKey mapper(HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", sound_registry::kSoundMapperKey);
  ScratchRegistryKey buffer(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", sound_registry::kAudioBufferKey);
  const auto set = [](HKEY root, const wchar_t* key, const wchar_t* name, const wchar_t* value) {
    return RegSetKeyValueW(root, key, name, REG_SZ, value, static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(ERROR_SUCCESS, set(HKEY_LOCAL_MACHINE, sound_registry::kFilterDriverKey, L"FilterDriverName", L"Belvane Audio"));
  ASSERT_EQ(ERROR_SUCCESS, set(HKEY_CURRENT_USER, sound_registry::kSoundMapperKey, L"Playback", L"Belvane Audio"));
  ASSERT_EQ(ERROR_SUCCESS, set(HKEY_CURRENT_USER, sound_registry::kFilterDriverSettingsKey, L"SoundDriver", L"SimSound"));

  ComPtr<IHalItem> item = DeviceItem(0x280);  // captions, the system renderer
  ASSERT_EQ(S_OK, preview_->KeepDeviceItem(item.Get()));
  ASSERT_EQ(S_OK, BuildPreview());
  LONG volume = 0;
  EXPECT_EQ(errors::kPreviewNullPointer, preview_->soundControls().GetVolume(&volume));
  ASSERT_EQ(S_OK, preview_->AddAudioRenderer());
  ASSERT_EQ(S_OK, preview_->CreateVideoChain(0x10));
  ASSERT_EQ(S_OK, preview_->Run());
  ComPtr<IPin> peer;
  EXPECT_EQ(S_OK, preview_->vbiPin()->ConnectedTo(&peer));
  ASSERT_EQ(S_OK, preview_->RunGraph());
  EXPECT_TRUE(WaitForFrames(3)) << Frames();
  bool sound = false;
  for (DWORD waited = 0; !sound && waited < kWaitMs; waited += 10) {
    sound = doubles::Journal::Instance().Value(doubles::kValueSoundSamples) > 0;
    if (!sound) Sleep(10);
  }
  EXPECT_TRUE(sound);
  EXPECT_EQ(S_OK, preview_->soundControls().SetVolume(-600));
  EXPECT_EQ(S_OK, preview_->soundControls().GetVolume(&volume));
  EXPECT_EQ(-600, volume);

  ASSERT_EQ(S_OK, preview_->StopGraph());
  EXPECT_EQ(S_OK, preview_->Stop());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, preview_->audioPin()->ConnectedTo(&peer));

  // A Run whose capture audio pin cannot reach the link (here: the pin is taken) fails and keeps
  // nothing: once the pin is free, the next Run goes through without a Stop in between.
  ComPtr<IBaseFilter> taker;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&taker)));
  ASSERT_EQ(S_OK, preview_->graph()->AddFilter(taker.Get(), L"taker"));
  ComPtr<IEnumPins> pins;
  ComPtr<IPin> takerIn;
  ASSERT_EQ(S_OK, taker->EnumPins(&pins));
  ASSERT_EQ(S_OK, pins->Next(1, &takerIn, nullptr));
  ASSERT_EQ(S_OK, preview_->graph()->ConnectDirect(preview_->audioPin(), takerIn.Get(), nullptr));
  EXPECT_TRUE(FAILED(preview_->Run()));
  ASSERT_EQ(S_OK, preview_->graph()->Disconnect(preview_->audioPin()));
  ASSERT_EQ(S_OK, preview_->graph()->Disconnect(takerIn.Get()));
  EXPECT_EQ(S_OK, preview_->Run());
  EXPECT_EQ(S_OK, preview_->Stop());
  EXPECT_EQ(S_OK, preview_->graph()->RemoveFilter(taker.Get()));

  EXPECT_EQ(S_OK, preview_->RemoveAudioRenderer());
  EXPECT_EQ(S_OK, preview_->ReleaseVideoChain());
}

}  // namespace

// The first family's facade over a scripted device object: its interface table, pointer and error
// policy, and the serialisation of two threads by the device lock (aggregation: the module kit).
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/handles.h"
#include "common/trace.h"
#include "devices/core/testing/scripted_operations.h"
#include "devices/tuner1/tam_traits.h"

using Microsoft::WRL::ComPtr;

// The test program's own trace context (never switched on here).
ReleaseTrace& ModuleTrace() {
  static ReleaseTrace context(L"HKEY_CURRENT_USER\\Software\\VornTests\\NoTrace");
  return context;
}

namespace {

OperationScript* g_script = nullptr;

std::unique_ptr<DeviceManagerOperations> MakeScripted() {
  return std::make_unique<ScriptedOperations>(g_script);
}
std::unique_ptr<DeviceManagerOperations> MakeNothing() { return nullptr; }

using Tam = DeviceManagerObject<TamTraits>;

class TamFacade : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = &script_;
    ASSERT_EQ(Tam::Create(nullptr, IID_IUnknown, reinterpret_cast<void**>(unknown_.GetAddressOf()),
                          &MakeScripted),
              S_OK);
  }
  void TearDown() override {
    if (unknown_) {
      EXPECT_EQ(unknown_.Detach()->Release(), 0u);
    }
    EXPECT_EQ(script_.destroyed, 1);
  }
  template <class I>
  ComPtr<I> Get() {
    ComPtr<I> p;
    EXPECT_EQ(unknown_.As(&p), S_OK);
    return p;
  }

  OperationScript script_;
  ComPtr<IUnknown> unknown_;
};

TEST_F(TamFacade, AnswersItsFifteenInterfacesWithOneIdentity) {
  for (const DmInterface itf : TamTraits::kInterfaceMap) {
    ComPtr<IUnknown> p;
    ASSERT_EQ(unknown_->QueryInterface(InterfaceId(itf), reinterpret_cast<void**>(p.GetAddressOf())), S_OK);
    ComPtr<IUnknown> identity;
    ASSERT_EQ(p.As(&identity), S_OK);
    EXPECT_EQ(identity.Get(), unknown_.Get());
  }
  // Extended interfaces share their base's table.
  EXPECT_EQ(static_cast<IPreview*>(Get<IPreview2>().Get()), Get<IPreview>().Get());
  EXPECT_EQ(static_cast<IAutoScan*>(Get<IAutoScan2>().Get()), Get<IAutoScan>().Get());
  // The separate window interfaces are separate tables.
  EXPECT_NE(static_cast<void*>(Get<IPreviewWindow>().Get()), static_cast<void*>(Get<IPreviewWindow2>().Get()));

  for (const IID& iid : {IID_IOutputDataCB, IID_IHalItem, IID_IClassFactory, IID_IDispatch}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(unknown_->QueryInterface(iid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
}

// Every method whose pointer argument is missing answers 0x8007F044 without reaching the
// device object (which would answer E_NOTIMPL or count the call).
TEST_F(TamFacade, MissingPointersAreRefusedBeforeTheDeviceObject) {
  auto setup = Get<IDeviceSetup>();
  auto dev = Get<IDevice>();
  auto info = Get<IDeviceInfoDetail>();
  auto input = Get<IInputSwitch>();
  auto quality = Get<IInputQualityControl>();
  auto pv = Get<IPreview2>();
  auto w1 = Get<IPreviewWindow>();
  auto w2 = Get<IPreviewWindow2>();
  auto c1 = Get<ICustomPreviewWindow>();
  auto c2 = Get<ICustomPreviewWindow2>();
  auto snd = Get<ISound>();
  auto out = Get<IOutputData>();
  auto scan = Get<IAutoScan2>();
  long l = 0;
  ULONG u = 0;
  GUID* g = nullptr;
  ULONG* pu = nullptr;
  BYTE* bytes = nullptr;
  RECT r{0, 0, 10, 10};
  _SHAL_BASECH ch{};
  void* pv0 = nullptr;
  HRESULT hr0 = S_OK;

  const std::vector<std::pair<const char*, std::function<HRESULT()>>> calls = {
      {"SetDeviceInfo", [&] { return setup->SetDeviceInfo(nullptr); }},
      {"GetAvailableInterface", [&] { return dev->GetAvailableInterface(nullptr, &g); }},
      {"GetAvailableInterface2", [&] { return dev->GetAvailableInterface(&l, nullptr); }},
      {"GetInterface", [&] { return dev->GetInterface(IID_IPreview, nullptr); }},
      {"CanUseInterface", [&] { return dev->CanUseInterface(IID_IPreview, nullptr); }},
      {"GetInfo", [&] { return dev->GetInfo(7, nullptr); }},
      {"GetAvailableCountryCode", [&] { return info->GetAvailableCountryCode(nullptr, &pu); }},
      {"GetAvailableTVFormat", [&] { return info->GetAvailableTVFormat(81, &u, nullptr); }},
      {"GetAvailableBaseChannel", [&] { return info->GetAvailableBaseChannel(81, 0, nullptr, nullptr); }},
      {"GetAvailableTunerFunction", [&] { return info->GetAvailableTunerFunction(nullptr, &u); }},
      {"GetAvailableChannelInfo", [&] { return info->GetAvailableChannelInfo(&ch, &u, nullptr); }},
      {"GetAvailableFrequencyInfo", [&] { return info->GetAvailableFrequencyInfo(&u, nullptr, &u); }},
      {"GetInputAudioModeVariety", [&] { return info->GetInputAudioModeVariety(&u, nullptr); }},
      {"GetOutputAudioModeVariety", [&] { return info->GetOutputAudioModeVariety(nullptr, nullptr); }},
      {"GetChannel", [&] { return input->GetChannel(nullptr); }},
      {"SetChannel", [&] { return input->SetChannel(nullptr); }},
      {"GetAvailableAudioFunction", [&] { return input->GetAvailableAudioFunction(&l, nullptr); }},
      {"GetAudioFunction", [&] { return input->GetAudioFunction(nullptr); }},
      {"GetInputQualityControl", [&] { return input->GetInputQualityControl(nullptr); }},
      {"GetAvailableVidProcAmp", [&] { return quality->GetAvailableVidProcAmp(nullptr); }},
      {"GetVidProcAmpRange", [&] { return quality->GetVidProcAmpRange(1, &l, &l, &l, &l, nullptr); }},
      {"GetVidProcAmpParam", [&] { return quality->GetVidProcAmpParam(1, nullptr); }},
      {"IPreview_GetNotifyEvent", [&] { return pv->GetNotifyEvent(1, nullptr); }},
      {"IPreview_GetLastError", [&] { return pv->GetLastError(&hr0, nullptr); }},
      {"IPreview_GetCurrentInputAudioMode", [&] { return pv->GetCurrentInputAudioMode(nullptr); }},
      {"IPreview_GetCurrentOutputAudioMode", [&] { return pv->GetCurrentOutputAudioMode(nullptr); }},
      {"GetAvailableVideoModeInterface", [&] { return pv->GetAvailableVideoModeInterface(nullptr, &g); }},
      {"GetVideoModeInterface", [&] { return pv->GetVideoModeInterface(IID_IPreview, nullptr); }},
      {"GetVideoDataInfo", [&] { return pv->GetVideoDataInfo(nullptr); }},
      {"GetAvailableSoundModeInterface", [&] { return pv->GetAvailableSoundModeInterface(&l, nullptr); }},
      {"GetSoundModeInterface", [&] { return pv->GetSoundModeInterface(IID_ISound, nullptr); }},
      {"GetSoundDataInfo", [&] { return pv->GetSoundDataInfo(nullptr); }},
      {"IPreview_GetState", [&] { return pv->GetState(nullptr); }},
      {"IPreview2_GetMuteStatus", [&] { return pv->GetMuteStatus(nullptr); }},
      {"IPreviewWindow_SetVideoPosition", [&] { return w1->SetVideoPosition(&r, nullptr); }},
      {"IPreviewWindow_GetColorKey", [&] { return w1->GetColorKey(&u, &u, nullptr, &u); }},
      {"IPreviewWindow_GetCurrentImage", [&] { return w1->GetCurrentImage(&u, nullptr); }},
      {"IPreviewWindow2_SetVideoPosition", [&] { return w2->SetVideoPosition(nullptr, nullptr); }},
      {"IPreviewWindow2_GetColorKey", [&] { return w2->GetColorKey(nullptr, &u, &u, &u); }},
      {"IPreviewWindow2_GetCurrentImage", [&] { return w2->GetCurrentImage(nullptr, &bytes); }},
      {"IPreviewWindow2_GetZoomMode", [&] { return w2->GetZoomMode(nullptr); }},
      {"ICustomPreviewWindow_QueryInterfaceFromCustomFilter",
       [&] { return c1->QueryInterfaceFromCustomFilter(IID_IUnknown, nullptr); }},
      {"ICustomPreviewWindow_SetVideoPosition", [&] { return c1->SetVideoPosition(&r, nullptr); }},
      {"ICustomPreviewWindow_GetColorKey", [&] { return c1->GetColorKey(&u, nullptr, &u, &u); }},
      {"ICustomPreviewWindow_GetCurrentImage", [&] { return c1->GetCurrentImage(nullptr, nullptr); }},
      {"ICustomPreviewWindow2_QueryInterfaceFromCustomFilter",
       [&] { return c2->QueryInterfaceFromCustomFilter(IID_IUnknown, nullptr); }},
      {"ICustomPreviewWindow2_SetVideoPosition", [&] { return c2->SetVideoPosition(nullptr, nullptr); }},
      {"ICustomPreviewWindow2_GetColorKey", [&] { return c2->GetColorKey(&u, &u, &u, nullptr); }},
      {"ICustomPreviewWindow2_GetCurrentImage", [&] { return c2->GetCurrentImage(&u, nullptr); }},
      {"ICustomPreviewWindow2_GetZoomMode", [&] { return c2->GetZoomMode(nullptr); }},
      {"ISound_GetAvailableSoundMode", [&] { return snd->GetAvailableSoundMode(nullptr, &pu); }},
      {"ISound_GetSoundMode", [&] { return snd->GetSoundMode(nullptr); }},
      {"ISound_GetMix", [&] { return snd->GetMix(nullptr); }},
      {"ISound_SetMix", [&] { return snd->SetMix(nullptr); }},
      {"ISound_GetBalance", [&] { return snd->GetBalance(nullptr); }},
      {"ISound_GetVolume", [&] { return snd->GetVolume(nullptr); }},
      {"IOutputData_GetNotifyEvent", [&] { return out->GetNotifyEvent(1, nullptr); }},
      {"IOutputData_GetLastError", [&] { return out->GetLastError(nullptr, &u); }},
      {"IOutputData_GetCurrentInputAudioMode", [&] { return out->GetCurrentInputAudioMode(nullptr); }},
      {"IOutputData_GetCurrentOutputAudioMode", [&] { return out->GetCurrentOutputAudioMode(nullptr); }},
      {"GetAvailableOutputDataType", [&] { return out->GetAvailableOutputDataType(&l, nullptr); }},
      {"GetAvailableOutputDataSubType", [&] { return out->GetAvailableOutputDataSubType(1, nullptr, &pu); }},
      {"SetOutputDataType", [&] { return out->SetOutputDataType(nullptr, nullptr); }},
      {"GetOutputDataType", [&] { return out->GetOutputDataType(nullptr, nullptr); }},
      {"GetOutputDataInfo", [&] { return out->GetOutputDataInfo(1, 0, nullptr); }},
      {"GetChannelFreqLevel", [&] { return scan->GetChannelFreqLevel(&ch, 0, nullptr, &u); }},
      {"IAutoScan2_GetAutoScanSetting", [&] { return scan->GetAutoScanSetting(nullptr); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), errors::kDmNullPointer) << name;
  (void)pv0;
  EXPECT_EQ(script_.runCalls, 0);
}

TEST_F(TamFacade, ValueArgumentsAndOptionalPointersReachTheDeviceObject) {
  // Methods without pointers go through (the scripted object answers E_NOTIMPL for them).
  EXPECT_EQ(Get<IInputSwitch>()->Initialize(0), E_NOTIMPL);
  EXPECT_EQ(Get<ISound>()->SetVolume(-100), E_NOTIMPL);
  EXPECT_EQ(Get<IOutputData>()->Stop(1), E_NOTIMPL);
  // SetOutputDataType takes a null callback; SetVideoPosition a null source (the whole source).
  _SHAL_OUTPUTDTATA_TYPE type{1, 0};
  EXPECT_EQ(Get<IOutputData>()->SetOutputDataType(&type, nullptr), E_NOTIMPL);
  RECT dst{0, 0, 320, 240};
  EXPECT_EQ(Get<IPreviewWindow>()->SetVideoPosition(nullptr, &dst), S_OK);
  EXPECT_TRUE(script_.sourceWasNull);
  EXPECT_EQ(Get<ICustomPreviewWindow2>()->SetVideoPosition(&dst, &dst), S_OK);
  EXPECT_FALSE(script_.sourceWasNull);
  // The device object completes the overlay mode before the window is initialised.
  EXPECT_EQ(Get<IPreviewWindow2>()->Initialize(0x1), S_OK);
  EXPECT_EQ(script_.windowMode, 0x21u);
}

TEST_F(TamFacade, GetInterfaceAsksTheDeviceFirst) {
  ComPtr<ISound> sound;
  auto dev = Get<IDevice>();
  EXPECT_EQ(dev->GetInterface(IID_ISound, reinterpret_cast<void**>(sound.GetAddressOf())), S_OK);
  EXPECT_EQ(sound.Get(), Get<ISound>().Get());

  script_.canUse = 0;  // cannot be used with this device: not implemented, not "no interface"
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(dev->GetInterface(IID_ISound, &p), E_NOTIMPL);
  EXPECT_EQ(p, nullptr);

  script_.canUse = 1;
  script_.canUseResult = errors::kNoScanCapability;
  EXPECT_EQ(dev->GetInterface(IID_IAutoScan, &p), errors::kNoScanCapability);

  // Asked for through the preview, any interface of the object is handed out by QueryInterface.
  script_.canUseResult = S_OK;
  ComPtr<IInputQualityControl> quality;
  EXPECT_EQ(Get<IInputSwitch>()->GetInputQualityControl(quality.GetAddressOf()), S_OK);
  EXPECT_EQ(Get<IPreview>()->GetVideoModeInterface(IID_IHalItem, &p), E_NOINTERFACE);
}

TEST_F(TamFacade, EscapingExceptionsBecomeTheFailureCode) {
  auto preview = Get<IPreview>();
  script_.run = OperationScript::RunBehaviour::ThrowOther;
  EXPECT_EQ(preview->Run(0), errors::kDmFailure);
  // A thrown failure code is the device's own answer and comes back as it is.
  script_.run = OperationScript::RunBehaviour::ThrowCode;
  script_.thrownCode = errors::kPreviewNotInit;
  EXPECT_EQ(preview->Run(0), errors::kPreviewNotInit);
  // A thrown success code is no answer.
  script_.thrownCode = S_FALSE;
  EXPECT_EQ(preview->Run(0), errors::kDmFailure);
  EXPECT_EQ(script_.runCalls, 3);
}

TEST_F(TamFacade, TwoThreadsOnOneObjectRunOneAfterTheOther) {
  UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  script_.run = OperationScript::RunBehaviour::Block;
  script_.runEntered = entered.get();
  script_.runRelease = release.get();
  auto preview = Get<IPreview>();

  HRESULT first = E_FAIL, second = E_FAIL;
  std::thread a([&] { first = preview->Run(0); });
  ASSERT_EQ(WaitForSingleObject(entered.get(), 5000), WAIT_OBJECT_0);
  ResetEvent(entered.get());
  std::thread b([&] { second = preview->Run(0); });
  // While the first call holds the device lock the second never enters the operation.
  EXPECT_EQ(WaitForSingleObject(entered.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(script_.runCalls, 1);
  SetEvent(release.get());
  a.join();
  b.join();
  EXPECT_EQ(first, S_OK);
  EXPECT_EQ(second, S_OK);
  EXPECT_EQ(script_.runCalls, 2);
  EXPECT_EQ(script_.maxInRun, 1);
}

TEST(TamFacadeLock, AWaitThatTimesOutFailsTheCallInsteadOfRunningUnlocked) {
  OperationScript script;
  script.lockTimeout = 100;
  g_script = &script;
  ComPtr<IPreview> preview;
  ASSERT_EQ(Tam::Create(nullptr, IID_IPreview, reinterpret_cast<void**>(preview.GetAddressOf()), &MakeScripted), S_OK);
  UniqueHandle entered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  script.run = OperationScript::RunBehaviour::Block;
  script.runEntered = entered.get();
  script.runRelease = release.get();

  HRESULT first = E_FAIL;
  std::thread a([&] { first = preview->Run(0); });
  ASSERT_EQ(WaitForSingleObject(entered.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(preview->Stop(0), HRESULT_FROM_WIN32(WAIT_TIMEOUT));
  EXPECT_EQ(script.stopCalls, 0);
  SetEvent(release.get());
  a.join();
  EXPECT_EQ(first, S_OK);
  EXPECT_EQ(preview->Stop(0), S_OK);  // free again
  EXPECT_EQ(script.maxInRun, 1);
  EXPECT_EQ(preview.Detach()->Release(), 0u);
}

TEST(TamFacadeLifetime, FinalConstructAndFinalRelease) {
  OperationScript script;
  g_script = &script;
  // A device object that cannot be made: out of memory.
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(Tam::Create(nullptr, IID_IUnknown, &p, &MakeNothing), errors::kDmOutOfMemory);
  EXPECT_EQ(p, nullptr);
  // An initialisation that fails fails the creation; the object is shut down and deleted.
  script.initializeResult = errors::kDmFailure;
  EXPECT_EQ(Tam::Create(nullptr, IID_IUnknown, &p, &MakeScripted), errors::kDmFailure);
  EXPECT_EQ(script.shutdowns, 1);
  EXPECT_EQ(script.destroyed, 1);
  // Aggregated creation answers only IUnknown.
  script.initializeResult = S_OK;
  EXPECT_EQ(Tam::Create(reinterpret_cast<IUnknown*>(&script), IID_IPreview, &p, &MakeScripted),
            CLASS_E_NOAGGREGATION);
}

}  // namespace

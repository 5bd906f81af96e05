// tamDevice.dll as a host meets it: registration with regsvr32, creation by class identifier,
// calls through the proxies from another apartment, and the trace records of its facade.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/debug_capture.h"
#include "common/testing/paths.h"
#include "common/testing/regsvr32.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/registrar.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/tuner1/tam_traits.h"
#include "sim/doubles/hal_item.h"

using Microsoft::WRL::ComPtr;
using testing_support::BinPath;
using testing_support::KeyExists;
using testing_support::ReadString;
using testing_support::RunRegsvr32;

namespace {

using RegFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

const std::wstring kClassKey = L"CLSID\\{DFD021C0-14CE-47DD-9792-ACE51354850D}";

TEST(TamModule, ExportsTheServerEntryPoints) {
  UniqueModule m(LoadLibraryW(BinPath(L"tamDevice.dll").c_str()));
  ASSERT_TRUE(m.valid()) << GetLastError();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(GetProcAddress(m.get(), name), nullptr) << name;
}

TEST(TamModule, Regsvr32WritesAndRemovesEveryKey) {
  const std::wstring dll = BinPath(L"tamDevice.dll");
  ASSERT_EQ(RunRegsvr32(L"\"" + dll + L"\""), 0u);

  EXPECT_EQ(ReadString(kClassKey, nullptr), L"tamDeviceManager Class");
  EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", nullptr), dll);
  EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(ReadString(kClassKey + L"\\ProgID", nullptr), L"tamDevice.tamDeviceManager.1");
  EXPECT_EQ(ReadString(kClassKey + L"\\VersionIndependentProgID", nullptr), L"tamDevice.tamDeviceManager");
  EXPECT_EQ(ReadString(kClassKey + L"\\TypeLib", nullptr), L"{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}");
  EXPECT_EQ(ReadString(L"tamDevice.tamDeviceManager.1\\CLSID", nullptr), L"{DFD021C0-14CE-47DD-9792-ACE51354850D}");
  EXPECT_EQ(ReadString(L"tamDevice.tamDeviceManager\\CLSID", nullptr), L"{DFD021C0-14CE-47DD-9792-ACE51354850D}");
  EXPECT_EQ(ReadString(L"tamDevice.tamDeviceManager\\CurVer", nullptr), L"tamDevice.tamDeviceManager.1");
  EXPECT_TRUE(KeyExists(L"TypeLib\\{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}\\1.0"));
  // Every custom interface is marshalled by the proxies in this module.
  const std::wstring ps = ReadString(L"Interface\\{15C05966-6784-4604-96F0-0B6A641C843A}\\ProxyStubClsid32", nullptr);
  EXPECT_NE(ps, L"<none>");
  EXPECT_EQ(ReadString(L"Interface\\{66F2082F-4FAB-420F-A5BE-EE12C2857597}\\ProxyStubClsid32", nullptr), ps);
  EXPECT_EQ(ReadString(L"CLSID\\" + ps + L"\\InprocServer32", nullptr), dll);
  CLSID progClsid{};
  EXPECT_EQ(CLSIDFromProgID(L"tamDevice.tamDeviceManager", &progClsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(progClsid, kClsidTamDeviceManager));

  ASSERT_EQ(RunRegsvr32(L"/u \"" + dll + L"\""), 0u);
  for (const std::wstring& key :
       {kClassKey, std::wstring(L"tamDevice.tamDeviceManager.1"), std::wstring(L"tamDevice.tamDeviceManager"),
        std::wstring(L"TypeLib\\{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}"),
        std::wstring(L"Interface\\{15C05966-6784-4604-96F0-0B6A641C843A}"), L"CLSID\\" + ps})
    EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
}

// Registers tamDevice.dll and the item double for the scope.
class Registered {
 public:
  Registered() {
    for (const wchar_t* name : {L"tamDevice.dll", L"vorn_halitem.dll"}) {
      modules_[count_].reset(LoadLibraryW(BinPath(name).c_str()));
      auto reg = GetProcAs<RegFn>(modules_[count_].get(), "DllRegisterServer");
      ok_ = ok_ && reg && reg() == S_OK;
      ++count_;
    }
  }
  ~Registered() {
    for (auto& m : modules_)
      if (auto unreg = GetProcAs<RegFn>(m.get(), "DllUnregisterServer")) unreg();
  }
  bool ok() const { return ok_; }

 private:
  UniqueModule modules_[2];
  int count_ = 0;
  bool ok_ = true;
};

// The object lives in the multi-threaded apartment; a single-threaded apartment uses it through
// the global interface table, that is through the module's proxies.
TEST(TamModule, WorksThroughTheProxiesFromAnotherApartment) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    Registered registered;
    ASSERT_TRUE(registered.ok());
    // The device is a simulated card, reached through the driver stand-in attached to the module.
    UINT patched = 0, card = 0;
    const HMODULE tam = GetModuleHandleW(L"tamDevice.dll");
    ASSERT_TRUE(SUCCEEDED(SimDriver_Connect(driver_test::StateName().c_str())));
    ASSERT_EQ(SimDriver_Attach(tam, &patched), S_OK);
    struct Detach {
      HMODULE module;
      ~Detach() { SimDriver_Detach(module); }
    } detach{tam};
    const std::wstring cardPath = driver_test::CardPath(testing_support::UniqueName(L"48_"));
    ASSERT_EQ(SimDriver_AddCard(cardPath.c_str(), &card), S_OK);
    ComPtr<IGlobalInterfaceTable> git;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(git.GetAddressOf())), S_OK);
    UniqueHandle created(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD cookie = 0;
    void* raw = nullptr;
    HRESULT createResult = E_FAIL;
    std::thread mta([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      {
        ComPtr<IDevice> device;
        createResult = CoCreateInstance(kClsidTamDeviceManager, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(device.GetAddressOf()));
        if (SUCCEEDED(createResult)) {
          raw = device.Get();
          createResult = git->RegisterInterfaceInGlobal(device.Get(), IID_IDevice, &cookie);
        }
        SetEvent(created.get());
        WaitForSingleObject(done.get(), 30000);
      }  // the last reference: the object releases its clone of the item, in the other apartment
      SetEvent(released.get());
      CoUninitialize();
    });
    ASSERT_EQ(WaitForSingleObject(created.get(), 30000), WAIT_OBJECT_0);
    ASSERT_EQ(createResult, S_OK);

    {
      ComPtr<IDevice> device;
      ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_PPV_ARGS(device.GetAddressOf())), S_OK);
      EXPECT_NE(static_cast<void*>(device.Get()), raw);  // a proxy

      // An item of the host's class crosses as an interface; the object keeps a clone of it.
      ComPtr<IHalItem> item;
      ASSERT_EQ(CoCreateInstance(kClsidHalItem, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(item.GetAddressOf())), S_OK);
      VARIANT path;
      VariantInit(&path);
      path.vt = VT_BSTR;
      path.bstrVal = SysAllocString(cardPath.c_str());
      ASSERT_EQ(item->SetInfo(7, path), S_OK);
      ComPtr<IDeviceSetup> setup;
      ASSERT_EQ(device.As(&setup), S_OK);
      EXPECT_EQ(setup->SetDeviceInfo(item.Get()), S_OK);
      ASSERT_EQ(item->Clear(), S_OK);  // the object holds its own copy

      VARIANT got;
      VariantInit(&got);
      EXPECT_EQ(device->GetInfo(7, &got), S_OK);
      ASSERT_EQ(got.vt, VT_BSTR);
      EXPECT_STREQ(got.bstrVal, path.bstrVal);
      VariantClear(&got);
      VariantClear(&path);
      EXPECT_EQ(device->GetInfo(99, &got), kHalItemNoValue);

      // A counted array comes back whole.
      long count = 0;
      GUID* iids = nullptr;
      ASSERT_EQ(device->GetAvailableInterface(&count, &iids), S_OK);
      ASSERT_EQ(count, 7);
      EXPECT_TRUE(IsEqualIID(iids[3], IID_IPreview));
      EXPECT_TRUE(IsEqualIID(iids[6], IID_IAutoScan2));
      CoTaskMemFree(iids);

      ComPtr<IPreview2> preview;
      EXPECT_EQ(device->GetInterface(IID_IPreview2, reinterpret_cast<void**>(preview.GetAddressOf())), S_OK);
      ASSERT_TRUE(preview);
      EXPECT_EQ(preview->Run(0), errors::kPreviewNotInit);
      void* none = nullptr;
      EXPECT_EQ(device->GetInterface(IID_IHalItem, &none), E_NOTIMPL);
      EXPECT_EQ(none, nullptr);
    }
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    SetEvent(done.get());
    // Serve the calls that the object's release makes into this apartment while waiting.
    DWORD index = 0;
    HANDLE wait = released.get();
    EXPECT_EQ(CoWaitForMultipleHandles(0, 30000, 1, &wait, &index), S_OK);
    mta.join();
  }
  CoUninitialize();
}

// The records the facade leaves in the release trace, read from the debugger output of a child
// process (the trace reads its settings once per process): every method of every interface
// opens its scope under its own name, whether it is refused at the facade (missing pointer) or
// reaches the device object.
VORN_CHILD(TraceTamCalls) {
  testing_support::DebugOutputCapture capture;
  UniqueModule m(LoadLibraryW(BinPath(L"tamDevice.dll").c_str()));
  auto getClassObject = GetProcAs<GetClassObjectFn>(m.get(), "DllGetClassObject");
  if (!getClassObject) return 10;
  ComPtr<IClassFactory> factory;
  if (getClassObject(kClsidTamDeviceManager, IID_PPV_ARGS(factory.GetAddressOf())) != S_OK) return 11;
  ComPtr<IPreview2> preview;
  if (factory->CreateInstance(nullptr, IID_PPV_ARGS(preview.GetAddressOf())) != S_OK) return 12;
  if (preview->Run(0) != errors::kPreviewNotInit) return 13;
  if (preview->GetState(nullptr) != errors::kDmNullPointer) return 14;

  ComPtr<IDeviceSetup> setup;
  ComPtr<IDevice> dev;
  ComPtr<IDeviceInfoDetail> info;
  ComPtr<IInputSwitch> input;
  ComPtr<IInputQualityControl> quality;
  ComPtr<IPreviewWindow> w1;
  ComPtr<IPreviewWindow2> w2;
  ComPtr<ICustomPreviewWindow> c1;
  ComPtr<ICustomPreviewWindow2> c2;
  ComPtr<ISound> snd;
  ComPtr<IOutputData> out;
  ComPtr<IAutoScan2> scan;
  if (preview.As(&setup) != S_OK || preview.As(&dev) != S_OK || preview.As(&info) != S_OK ||
      preview.As(&input) != S_OK || preview.As(&quality) != S_OK || preview.As(&w1) != S_OK ||
      preview.As(&w2) != S_OK || preview.As(&c1) != S_OK || preview.As(&c2) != S_OK ||
      preview.As(&snd) != S_OK || preview.As(&out) != S_OK || preview.As(&scan) != S_OK)
    return 15;

  // Pointer arguments are null (refused at the facade), values reach the device object.
  const CLSID none{};
  const std::pair<const wchar_t*, std::function<HRESULT()>> calls[] = {
      {L"SetDeviceInfo", [&] { return setup->SetDeviceInfo(nullptr); }},
      {L"GetAvailableInterface", [&] { return dev->GetAvailableInterface(nullptr, nullptr); }},
      {L"GetInterface", [&] { return dev->GetInterface(IID_ISound, nullptr); }},
      {L"CanUseInterface", [&] { return dev->CanUseInterface(IID_ISound, nullptr); }},
      {L"GetInfo", [&] { return dev->GetInfo(7, nullptr); }},
      {L"GetAvailableCountryCode", [&] { return info->GetAvailableCountryCode(nullptr, nullptr); }},
      {L"GetAvailableTVFormat", [&] { return info->GetAvailableTVFormat(0, nullptr, nullptr); }},
      {L"GetAvailableBaseChannel", [&] { return info->GetAvailableBaseChannel(0, 0, nullptr, nullptr); }},
      {L"GetAvailableTunerFunction", [&] { return info->GetAvailableTunerFunction(nullptr, nullptr); }},
      {L"GetAvailableChannelInfo", [&] { return info->GetAvailableChannelInfo(nullptr, nullptr, nullptr); }},
      {L"GetAvailableFrequencyInfo", [&] { return info->GetAvailableFrequencyInfo(nullptr, nullptr, nullptr); }},
      {L"GetInputAudioModeVariety", [&] { return info->GetInputAudioModeVariety(nullptr, nullptr); }},
      {L"GetOutputAudioModeVariety", [&] { return info->GetOutputAudioModeVariety(nullptr, nullptr); }},
      {L"IInputSwitch_Initialize", [&] { return input->Initialize(0); }},
      {L"GetChannel", [&] { return input->GetChannel(nullptr); }},
      {L"SetChannel", [&] { return input->SetChannel(nullptr); }},
      {L"GetAvailableAudioFunction", [&] { return input->GetAvailableAudioFunction(nullptr, nullptr); }},
      {L"GetAudioFunction", [&] { return input->GetAudioFunction(nullptr); }},
      {L"SetAudioFunction", [&] { return input->SetAudioFunction(0); }},
      {L"GetInputQualityControl", [&] { return input->GetInputQualityControl(nullptr); }},
      {L"IInputSwitch_Uninitialize", [&] { return input->Uninitialize(0); }},
      {L"GetAvailableVidProcAmp", [&] { return quality->GetAvailableVidProcAmp(nullptr); }},
      {L"GetVidProcAmpRange",
       [&] { return quality->GetVidProcAmpRange(0, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {L"GetVidProcAmpParam", [&] { return quality->GetVidProcAmpParam(0, nullptr); }},
      {L"SetVidProcAmpParam", [&] { return quality->SetVidProcAmpParam(0, 0); }},
      {L"IPreview_Initialize", [&] { return preview->Initialize(0); }},
      {L"IPreview_GetNotifyEvent", [&] { return preview->GetNotifyEvent(0, nullptr); }},
      {L"IPreview_GetLastError", [&] { return preview->GetLastError(nullptr, nullptr); }},
      {L"IPreview_GetCurrentInputAudioMode", [&] { return preview->GetCurrentInputAudioMode(nullptr); }},
      {L"IPreview_GetCurrentOutputAudioMode", [&] { return preview->GetCurrentOutputAudioMode(nullptr); }},
      {L"GetAvailableVideoModeInterface", [&] { return preview->GetAvailableVideoModeInterface(nullptr, nullptr); }},
      {L"GetVideoModeInterface", [&] { return preview->GetVideoModeInterface(IID_ISound, nullptr); }},
      {L"GetVideoDataInfo", [&] { return preview->GetVideoDataInfo(nullptr); }},
      {L"GetAvailableSoundModeInterface", [&] { return preview->GetAvailableSoundModeInterface(nullptr, nullptr); }},
      {L"GetSoundModeInterface", [&] { return preview->GetSoundModeInterface(IID_ISound, nullptr); }},
      {L"GetSoundDataInfo", [&] { return preview->GetSoundDataInfo(nullptr); }},
      {L"IPreview_Run", [&] { return preview->Run(0); }},
      {L"IPreview_Pause", [&] { return preview->Pause(0); }},
      {L"IPreview_Stop", [&] { return preview->Stop(0); }},
      {L"IPreview_GetState", [&] { return preview->GetState(nullptr); }},
      {L"IPreview_Uninitialize", [&] { return preview->Uninitialize(0); }},
      {L"IPreview2_GetMuteStatus", [&] { return preview->GetMuteStatus(nullptr); }},
      {L"IPreviewWindow_Initialize", [&] { return w1->Initialize(0); }},
      {L"IPreviewWindow_SetVideoClippingWindow", [&] { return w1->SetVideoClippingWindow(nullptr); }},
      {L"IPreviewWindow_SetVideoPosition", [&] { return w1->SetVideoPosition(nullptr, nullptr); }},
      {L"IPreviewWindow_GetColorKey", [&] { return w1->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
      {L"IPreviewWindow_RePaint", [&] { return w1->RePaint(nullptr, nullptr); }},
      {L"IPreviewWindow_DisplayModeChanged", [&] { return w1->DisplayModeChanged(nullptr); }},
      {L"IPreviewWindow_GetCurrentImage", [&] { return w1->GetCurrentImage(nullptr, nullptr); }},
      {L"IPreviewWindow_Uninitialize", [&] { return w1->Uninitialize(0); }},
      {L"IPreviewWindow2_Initialize", [&] { return w2->Initialize(0); }},
      {L"IPreviewWindow2_SetVideoClippingWindow", [&] { return w2->SetVideoClippingWindow(nullptr); }},
      {L"IPreviewWindow2_SetVideoPosition", [&] { return w2->SetVideoPosition(nullptr, nullptr); }},
      {L"IPreviewWindow2_GetColorKey", [&] { return w2->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
      {L"IPreviewWindow2_RePaint", [&] { return w2->RePaint(nullptr, nullptr); }},
      {L"IPreviewWindow2_DisplayModeChanged", [&] { return w2->DisplayModeChanged(nullptr); }},
      {L"IPreviewWindow2_GetCurrentImage", [&] { return w2->GetCurrentImage(nullptr, nullptr); }},
      {L"IPreviewWindow2_SetZoomMode", [&] { return w2->SetZoomMode(0); }},
      {L"IPreviewWindow2_GetZoomMode", [&] { return w2->GetZoomMode(nullptr); }},
      {L"IPreviewWindow2_Uninitialize", [&] { return w2->Uninitialize(0); }},
      {L"ICustomPreviewWindow_Initialize", [&] { return c1->Initialize(0, none, nullptr); }},
      {L"ICustomPreviewWindow_QueryInterfaceFromCustomFilter",
       [&] { return c1->QueryInterfaceFromCustomFilter(IID_IUnknown, nullptr); }},
      {L"ICustomPreviewWindow_SetVideoClippingWindow", [&] { return c1->SetVideoClippingWindow(nullptr); }},
      {L"ICustomPreviewWindow_SetVideoPosition", [&] { return c1->SetVideoPosition(nullptr, nullptr); }},
      {L"ICustomPreviewWindow_GetColorKey", [&] { return c1->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
      {L"ICustomPreviewWindow_RePaint", [&] { return c1->RePaint(nullptr, nullptr); }},
      {L"ICustomPreviewWindow_DisplayModeChanged", [&] { return c1->DisplayModeChanged(nullptr); }},
      {L"ICustomPreviewWindow_GetCurrentImage", [&] { return c1->GetCurrentImage(nullptr, nullptr); }},
      {L"ICustomPreviewWindow_Uninitialize", [&] { return c1->Uninitialize(0); }},
      {L"ICustomPreviewWindow2_Initialize", [&] { return c2->Initialize(0, none, nullptr); }},
      {L"ICustomPreviewWindow2_QueryInterfaceFromCustomFilter",
       [&] { return c2->QueryInterfaceFromCustomFilter(IID_IUnknown, nullptr); }},
      {L"ICustomPreviewWindow2_SetVideoClippingWindow", [&] { return c2->SetVideoClippingWindow(nullptr); }},
      {L"ICustomPreviewWindow2_SetVideoPosition", [&] { return c2->SetVideoPosition(nullptr, nullptr); }},
      {L"ICustomPreviewWindow2_GetColorKey", [&] { return c2->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
      {L"ICustomPreviewWindow2_RePaint", [&] { return c2->RePaint(nullptr, nullptr); }},
      {L"ICustomPreviewWindow2_DisplayModeChanged", [&] { return c2->DisplayModeChanged(nullptr); }},
      {L"ICustomPreviewWindow2_GetCurrentImage", [&] { return c2->GetCurrentImage(nullptr, nullptr); }},
      {L"ICustomPreviewWindow2_SetZoomMode", [&] { return c2->SetZoomMode(0); }},
      {L"ICustomPreviewWindow2_GetZoomMode", [&] { return c2->GetZoomMode(nullptr); }},
      {L"ICustomPreviewWindow2_Uninitialize", [&] { return c2->Uninitialize(0); }},
      {L"ISound_Initialize", [&] { return snd->Initialize(0); }},
      {L"ISound_GetAvailableSoundMode", [&] { return snd->GetAvailableSoundMode(nullptr, nullptr); }},
      {L"ISound_GetSoundMode", [&] { return snd->GetSoundMode(nullptr); }},
      {L"ISound_SetSoundMode", [&] { return snd->SetSoundMode(0); }},
      {L"ISound_GetMix", [&] { return snd->GetMix(nullptr); }},
      {L"ISound_SetMix", [&] { return snd->SetMix(nullptr); }},
      {L"ISound_GetBalance", [&] { return snd->GetBalance(nullptr); }},
      {L"ISound_SetBalance", [&] { return snd->SetBalance(0); }},
      {L"ISound_GetVolume", [&] { return snd->GetVolume(nullptr); }},
      {L"ISound_SetVolume", [&] { return snd->SetVolume(0); }},
      {L"ISound_Uninitialize", [&] { return snd->Uninitialize(0); }},
      {L"IOutputData_Initialize", [&] { return out->Initialize(0); }},
      {L"IOutputData_GetNotifyEvent", [&] { return out->GetNotifyEvent(0, nullptr); }},
      {L"IOutputData_GetLastError", [&] { return out->GetLastError(nullptr, nullptr); }},
      {L"IOutputData_Start", [&] { return out->Start(0); }},
      {L"IOutputData_Stop", [&] { return out->Stop(0); }},
      {L"IOutputData_GetCurrentInputAudioMode", [&] { return out->GetCurrentInputAudioMode(nullptr); }},
      {L"IOutputData_GetCurrentOutputAudioMode", [&] { return out->GetCurrentOutputAudioMode(nullptr); }},
      {L"GetAvailableOutputDataType", [&] { return out->GetAvailableOutputDataType(nullptr, nullptr); }},
      {L"GetAvailableOutputDataSubType", [&] { return out->GetAvailableOutputDataSubType(0, nullptr, nullptr); }},
      {L"SetOutputDataType", [&] { return out->SetOutputDataType(nullptr, nullptr); }},
      {L"GetOutputDataType", [&] { return out->GetOutputDataType(nullptr, nullptr); }},
      {L"GetOutputDataInfo", [&] { return out->GetOutputDataInfo(0, 0, nullptr); }},
      {L"IOutputData_Uninitialize", [&] { return out->Uninitialize(0); }},
      {L"IAutoScan_Initialize", [&] { return scan->Initialize(0); }},
      {L"GetChannelFreqLevel", [&] { return scan->GetChannelFreqLevel(nullptr, 0, nullptr, nullptr); }},
      {L"IAutoScan_Uninitialize", [&] { return scan->Uninitialize(0); }},
      {L"IAutoScan2_GetAutoScanSetting", [&] { return scan->GetAutoScanSetting(nullptr); }},
  };
  static_assert(sizeof(calls) / sizeof(calls[0]) == 108, "every method of the fifteen interfaces");
  int failures = 0;
  // The creation's records, and the entry record before the exit record of the same call.
  const std::wstring construct = L"\"CTamDeviceManager::FinalConstruct()\",";
  if (capture.Containing(construct + L"[IN]").size() != 1 || capture.Containing(construct + L"[OUT]").size() != 1)
    ++failures;
  const auto texts = capture.Texts();
  size_t in = texts.size(), leave = texts.size();
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].find(L"\"CTamDeviceManager::IPreview_Run()\",[IN]") != std::wstring::npos) in = i;
    if (texts[i].find(L"\"CTamDeviceManager::IPreview_Run()\",[OUT]") != std::wstring::npos) leave = i;
  }
  if (!(in < leave && leave < texts.size())) ++failures;
  for (const auto& [name, call] : calls) {
    // Only the call's own records count: a method that traced under another's name would
    // leave this one's missing.
    capture.Clear();
    const HRESULT hr = call();
    const std::wstring quoted = std::wstring(L"\"CTamDeviceManager::") + name + L"()\",";
    if (capture.Containing(quoted + L"[IN]").size() != 1 || capture.Containing(quoted + L"[OUT]").size() != 1 ||
        capture.Containing(L"[IN]").size() != 1) {
      std::printf("%ls: not traced under its own name alone (0x%08lX)\n", name, static_cast<unsigned long>(hr));
      ++failures;
    }
  }
  setup.Reset();
  dev.Reset();
  info.Reset();
  input.Reset();
  quality.Reset();
  w1.Reset();
  w2.Reset();
  c1.Reset();
  c2.Reset();
  snd.Reset();
  out.Reset();
  scan.Reset();
  capture.Clear();
  if (preview.Detach()->Release() != 0) return 17;
  if (capture.Containing(L"\"CTamDeviceManager::FinalRelease()\",[OUT]").size() != 1) ++failures;
  return failures == 0 ? 0 : 20 + failures;
}

TEST(TamModule, TraceRecordsCarryTheFacadeNames) {
  testing_support::ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                          L"SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace");
  ASSERT_TRUE(key.SetDword(L"trace", 1));
  EXPECT_EQ(testing_support::RunChild("TraceTamCalls"), 0u);
}

}  // namespace

// pexDevice.dll as a host meets it: registration with regsvr32 beside the first family's module,
// the class's interface map and its forwarding rules, aggregation and the unload check.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "common/errors.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/debug_capture.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "common/testing/regsvr32.h"
#include "devices/core/output_session.h"
#include "devices/tuner3/pex_traits.h"

using Microsoft::WRL::ComPtr;
using testing_support::BinPath;
using testing_support::KeyExists;
using testing_support::ReadString;
using testing_support::RunRegsvr32;

namespace {

using RegFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

const std::wstring kClassKey = L"CLSID\\{ABB1B82E-1C49-4213-A0EF-60A37AADF05C}";
const std::wstring kTamClassKey = L"CLSID\\{DFD021C0-14CE-47DD-9792-ACE51354850D}";

TEST(PexModule, Regsvr32WritesAndRemovesOnlyItsOwnKeys) {
  const std::wstring pex = L"\"" + BinPath(L"pexDevice.dll") + L"\"";
  const std::wstring tam = L"\"" + BinPath(L"tamDevice.dll") + L"\"";
  const std::wstring interfaceKey = L"Interface\\{15C05966-6784-4604-96F0-0B6A641C843A}";
  // The marshalling proxies are one registration shared by the device-manager modules: it names
  // the module registered last, and it stays with the first family's module, whichever order.
  for (bool pexLast : {false, true}) {
    SCOPED_TRACE(pexLast ? "pexDevice registered last" : "tamDevice registered last");
    ASSERT_EQ(RunRegsvr32(pexLast ? tam : pex), 0u);
    ASSERT_EQ(RunRegsvr32(pexLast ? pex : tam), 0u);

    EXPECT_EQ(ReadString(kClassKey, nullptr), L"pexDeviceManager Class");
    EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", nullptr), BinPath(L"pexDevice.dll"));
    EXPECT_EQ(ReadString(kClassKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(ReadString(kClassKey + L"\\ProgID", nullptr), L"pexDevice.pexDeviceManager.1");
    EXPECT_EQ(ReadString(kClassKey + L"\\VersionIndependentProgID", nullptr), L"pexDevice.pexDeviceManager");
    EXPECT_EQ(ReadString(kClassKey + L"\\TypeLib", nullptr), L"{B789DBEA-CB8E-466E-BB03-26557F82BB70}");
    EXPECT_EQ(ReadString(L"pexDevice.pexDeviceManager.1", nullptr), L"pexDeviceManager Class");
    EXPECT_EQ(ReadString(L"pexDevice.pexDeviceManager.1\\CLSID", nullptr), L"{ABB1B82E-1C49-4213-A0EF-60A37AADF05C}");
    EXPECT_EQ(ReadString(L"pexDevice.pexDeviceManager\\CurVer", nullptr), L"pexDevice.pexDeviceManager.1");
    EXPECT_TRUE(KeyExists(L"TypeLib\\{B789DBEA-CB8E-466E-BB03-26557F82BB70}\\1.0"));
    CLSID progClsid{};
    EXPECT_EQ(CLSIDFromProgID(L"pexDevice.pexDeviceManager", &progClsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(progClsid, kClsidPexDeviceManager));

    ASSERT_EQ(RunRegsvr32(L"/u " + pex), 0u);
    for (const std::wstring& key : {kClassKey, std::wstring(L"pexDevice.pexDeviceManager.1"),
                                    std::wstring(L"pexDevice.pexDeviceManager"),
                                    std::wstring(L"TypeLib\\{B789DBEA-CB8E-466E-BB03-26557F82BB70}")})
      EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
    // The first family's registration, its proxies included, stays whole.
    EXPECT_EQ(ReadString(kTamClassKey + L"\\InprocServer32", nullptr), BinPath(L"tamDevice.dll"));
    const std::wstring ps = ReadString(interfaceKey + L"\\ProxyStubClsid32", nullptr);
    ASSERT_FALSE(ps.empty()) << "the interface keys went with pexDevice";
    EXPECT_EQ(ReadString(L"CLSID\\" + ps + L"\\InprocServer32", nullptr), BinPath(L"tamDevice.dll"));
    ASSERT_EQ(RunRegsvr32(L"/u " + tam), 0u);
    EXPECT_FALSE(KeyExists(kTamClassKey));
    EXPECT_FALSE(KeyExists(interfaceKey)) << "the proxies go with the last device-manager module";
  }
}

// The module's own version, "1.0.0.1", is what the MPEG analyzer is told when recording starts.
TEST(PexModule, CarriesTheVersionTheAnalyzerIsTold) {
  EXPECT_EQ(output_data::ReadFileVersion(BinPath(L"pexDevice.dll").c_str()), 100000001u);
}

// An outer object that counts its references and hands every interface to the inner one.
struct Outer final : IUnknown {
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner->QueryInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  IUnknown* inner = nullptr;
  ULONG refs = 1;
};

class PexObject : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    module_.reset(LoadLibraryW(BinPath(L"pexDevice.dll").c_str()));
    ASSERT_TRUE(module_.valid());
    auto get = GetProcAs<GetClassObjectFn>(module_.get(), "DllGetClassObject");
    ASSERT_TRUE(get);
    ASSERT_EQ(get(kClsidPexDeviceManager, IID_PPV_ARGS(factory_.GetAddressOf())), S_OK);
    canUnload_ = GetProcAs<RegFn>(module_.get(), "DllCanUnloadNow");
    ASSERT_TRUE(canUnload_);
  }
  void TearDown() override {
    factory_.Reset();
    CoUninitialize();
  }
  UniqueModule module_;
  ComPtr<IClassFactory> factory_;
  RegFn canUnload_ = nullptr;
};

TEST_F(PexObject, AnswersItsTwelveInterfacesAndForwardsByTheFamilysRules) {
  ComPtr<IUnknown> object;
  ASSERT_EQ(factory_->CreateInstance(nullptr, IID_PPV_ARGS(object.GetAddressOf())), S_OK);
  EXPECT_EQ(S_FALSE, canUnload_());
  const struct {
    const IID* iid;
    HRESULT expected;
  } map[] = {
      {&IID_IDeviceSetup, S_OK},          {&IID_IDevice, S_OK},         {&IID_IDeviceInfoDetail, S_OK},
      {&IID_IInputSwitch, S_OK},          {&IID_IInputQualityControl, S_OK}, {&IID_IPreview, S_OK},
      {&IID_IPreviewWindow, S_OK},        {&IID_ICustomPreviewWindow, S_OK}, {&IID_ISound, S_OK},
      {&IID_IOutputData, S_OK},           {&IID_IAutoScan, S_OK},       {&IID_IAutoScan2, S_OK},
      {&IID_IPreview2, E_NOINTERFACE},    {&IID_IPreviewWindow2, E_NOINTERFACE},
      {&IID_ICustomPreviewWindow2, E_NOINTERFACE},
  };
  for (const auto& m : map) {
    ComPtr<IUnknown> itf;
    EXPECT_EQ(m.expected, object->QueryInterface(*m.iid, reinterpret_cast<void**>(itf.GetAddressOf())));
  }

  ComPtr<IDevice> device;
  ComPtr<IPreview> preview;
  ASSERT_EQ(object.As(&device), S_OK);
  ASSERT_EQ(object.As(&preview), S_OK);
  ComPtr<IUnknown> itf;
  // Window interfaces are not in the device's list, but the preview hands them out.
  EXPECT_EQ(E_NOTIMPL, device->GetInterface(IID_IPreviewWindow, reinterpret_cast<void**>(itf.GetAddressOf())));
  EXPECT_EQ(S_OK, preview->GetVideoModeInterface(IID_IPreviewWindow, reinterpret_cast<void**>(itf.GetAddressOf())));
  itf.Reset();
  // Before setup the scan support reads 0.
  EXPECT_EQ(errors::kNoScanCapability, device->GetInterface(IID_IAutoScan, reinterpret_cast<void**>(itf.GetAddressOf())));
  EXPECT_EQ(S_OK, device->GetInterface(IID_IInputSwitch, reinterpret_cast<void**>(itf.GetAddressOf())));
  itf.Reset();
  // Pointer arguments reach the device object, which refuses what it cannot write through.
  EXPECT_EQ(E_POINTER, device->CanUseInterface(IID_IPreview, nullptr));
  EXPECT_EQ(errors::kDeviceNotSet, device->GetInfo(0, nullptr));
  ComPtr<IDeviceInfoDetail> detail;
  ASSERT_EQ(object.As(&detail), S_OK);
  EXPECT_EQ(E_INVALIDARG, detail->GetInputAudioModeVariety(nullptr, nullptr));

  device.Reset();
  preview.Reset();
  detail.Reset();
  object.Reset();
  EXPECT_EQ(S_OK, canUnload_());
}

TEST_F(PexObject, AnAggregatedObjectDelegatesToItsOuterObject) {
  Outer outer;
  ComPtr<IUnknown> inner;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory_->CreateInstance(&outer, IID_IDevice, reinterpret_cast<void**>(inner.GetAddressOf())));
  ASSERT_EQ(factory_->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  ComPtr<ISound> sound;
  ASSERT_EQ(outer.QueryInterface(IID_ISound, reinterpret_cast<void**>(sound.GetAddressOf())), S_OK);
  EXPECT_EQ(outer.refs, 2u);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(sound.As(&identity), S_OK);
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
  identity.Reset();
  sound.Reset();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(S_FALSE, canUnload_());
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(S_OK, canUnload_());
}

// The facade's release-trace records, read from the debugger output of a child process (the
// trace reads its settings once per process): one call for each naming rule, with null
// pointers, which this family hands to its device object.
VORN_CHILD(TracePexCalls) {
  testing_support::DebugOutputCapture capture;
  if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) != S_OK) return 9;
  UniqueModule m(LoadLibraryW(BinPath(L"pexDevice.dll").c_str()));
  auto getClassObject = GetProcAs<GetClassObjectFn>(m.get(), "DllGetClassObject");
  if (!getClassObject) return 10;
  ComPtr<IClassFactory> factory;
  if (getClassObject(kClsidPexDeviceManager, IID_PPV_ARGS(factory.GetAddressOf())) != S_OK) return 11;
  ComPtr<IPreview> preview;
  if (factory->CreateInstance(nullptr, IID_PPV_ARGS(preview.GetAddressOf())) != S_OK) return 12;
  ComPtr<IDeviceSetup> setup;
  ComPtr<IInputSwitch> input;
  ComPtr<ICustomPreviewWindow> custom;
  ComPtr<ISound> sound;
  ComPtr<IOutputData> out;
  ComPtr<IAutoScan2> scan;
  if (preview.As(&setup) != S_OK || preview.As(&input) != S_OK || preview.As(&custom) != S_OK ||
      preview.As(&sound) != S_OK || preview.As(&out) != S_OK || preview.As(&scan) != S_OK)
    return 13;
  const std::pair<const wchar_t*, std::function<HRESULT()>> calls[] = {
      {L"SetDeviceInfo", [&] { return setup->SetDeviceInfo(nullptr); }},
      {L"IInputSwitch_Initialize", [&] { return input->Initialize(0); }},
      {L"GetChannel", [&] { return input->GetChannel(nullptr); }},
      {L"GetInputQualityControl", [&] { return input->GetInputQualityControl(nullptr); }},
      {L"IPreview_Run", [&] { return preview->Run(0); }},
      {L"GetVideoModeInterface", [&] { return preview->GetVideoModeInterface(IID_ISound, nullptr); }},
      {L"ICustomPreviewWindow_SetVideoPosition", [&] { return custom->SetVideoPosition(nullptr, nullptr); }},
      {L"ISound_GetVolume", [&] { return sound->GetVolume(nullptr); }},
      {L"IOutputData_Start", [&] { return out->Start(0); }},
      {L"GetOutputDataInfo", [&] { return out->GetOutputDataInfo(1, 0, nullptr); }},
      {L"IAutoScan2_GetAutoScanSetting", [&] { return scan->GetAutoScanSetting(nullptr); }},
  };
  int failures = 0;
  for (const auto& [name, call] : calls) {
    capture.Clear();
    const HRESULT hr = call();
    const std::wstring quoted = std::wstring(L"\"CPexDeviceManager::") + name + L"()\",";
    if (capture.Containing(quoted + L"[IN]").size() != 1 || capture.Containing(quoted + L"[OUT]").size() != 1 ||
        capture.Containing(L"[IN]").size() != 1) {
      std::printf("%ls: not traced under its own name alone (0x%08lX)\n", name, static_cast<unsigned long>(hr));
      ++failures;
    }
  }
  setup.Reset();
  input.Reset();
  custom.Reset();
  sound.Reset();
  out.Reset();
  scan.Reset();
  capture.Clear();
  if (preview.Detach()->Release() != 0) return 14;
  if (capture.Containing(L"\"CPexDeviceManager::FinalRelease()\",[OUT]").size() != 1) ++failures;
  return failures == 0 ? 0 : 20 + failures;
}

TEST(PexModule, TraceRecordsCarryTheClassAndMethodNames) {
  testing_support::ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                          L"SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace");
  ASSERT_TRUE(key.SetDword(L"trace", 1));
  EXPECT_EQ(testing_support::RunChild("TracePexCalls"), 0u);
}

}  // namespace

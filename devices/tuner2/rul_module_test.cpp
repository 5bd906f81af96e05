// rulDevice.dll as a host meets it: registration with regsvr32 beside the first family's module,
// creation by class identifier, the interface map, the facade's own answers and its trace names.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/debug_capture.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "common/testing/regsvr32.h"
#include "devices/idl/device_manager.h"
#include "devices/core/output_session.h"
#include "devices/tuner2/rul_traits.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"

using Microsoft::WRL::ComPtr;
using testing_support::BinPath;
using testing_support::KeyExists;
using testing_support::ReadString;
using testing_support::RunRegsvr32;

namespace {

using RegFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

const std::wstring kRulClass = L"CLSID\\{95405826-AFA1-439B-942A-039C7C3909B2}";
const std::wstring kRulLib = L"TypeLib\\{6FD80A8D-6448-47DA-9FD5-B34419134195}";
const std::wstring kTamClass = L"CLSID\\{DFD021C0-14CE-47DD-9792-ACE51354850D}";
const std::wstring kTamLib = L"TypeLib\\{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}";
const std::wstring kIDeviceKey = L"Interface\\{66F2082F-4FAB-420F-A5BE-EE12C2857597}";

// The first family's module is registered before and after this one's: removing this one takes
// only its own keys, and the interface keys that the first family registered last stay its own.
TEST(RulModule, Regsvr32WritesAndRemovesItsOwnKeysOnly) {
  const std::wstring rul = BinPath(L"rulDevice.dll");
  const std::wstring tam = BinPath(L"tamDevice.dll");
  ASSERT_EQ(RunRegsvr32(L"\"" + rul + L"\""), 0u);
  EXPECT_EQ(ReadString(kRulClass, nullptr), L"rulDeviceManager Class");
  EXPECT_EQ(ReadString(kRulClass + L"\\InprocServer32", nullptr), rul);
  EXPECT_EQ(ReadString(kRulClass + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(ReadString(kRulClass + L"\\ProgID", nullptr), L"rulDevice.rulDeviceManager.1");
  EXPECT_EQ(ReadString(kRulClass + L"\\VersionIndependentProgID", nullptr), L"rulDevice.rulDeviceManager");
  EXPECT_EQ(ReadString(kRulClass + L"\\TypeLib", nullptr), L"{6FD80A8D-6448-47DA-9FD5-B34419134195}");
  EXPECT_EQ(ReadString(L"rulDevice.rulDeviceManager\\CurVer", nullptr), L"rulDevice.rulDeviceManager.1");
  EXPECT_TRUE(KeyExists(kRulLib + L"\\1.0"));
  const std::wstring ps = ReadString(kIDeviceKey + L"\\ProxyStubClsid32", nullptr);
  EXPECT_EQ(ReadString(L"CLSID\\" + ps + L"\\InprocServer32", nullptr), rul);
  CLSID progClsid{};
  EXPECT_EQ(CLSIDFromProgID(L"rulDevice.rulDeviceManager", &progClsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(progClsid, kClsidRulDeviceManager));

  ASSERT_EQ(RunRegsvr32(L"\"" + tam + L"\""), 0u);
  ASSERT_EQ(RunRegsvr32(L"/u \"" + rul + L"\""), 0u);
  for (const std::wstring& key : {kRulClass, std::wstring(L"rulDevice.rulDeviceManager.1"),
                                  std::wstring(L"rulDevice.rulDeviceManager"), kRulLib})
    EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
  EXPECT_EQ(ReadString(kTamClass + L"\\InprocServer32", nullptr), tam);
  EXPECT_TRUE(KeyExists(kTamLib + L"\\1.0"));
  EXPECT_EQ(ReadString(L"CLSID\\" + ReadString(kIDeviceKey + L"\\ProxyStubClsid32", nullptr) + L"\\InprocServer32",
                       nullptr),
            tam);
  ASSERT_EQ(RunRegsvr32(L"/u \"" + tam + L"\""), 0u);
  EXPECT_FALSE(KeyExists(kTamClass));
  EXPECT_FALSE(KeyExists(kIDeviceKey));
}

// The module's own version, "1.0.0.1", is what the MPEG analyzer is told when recording starts.
TEST(RulModule, CarriesTheVersionTheAnalyzerIsTold) {
  EXPECT_EQ(output_data::ReadFileVersion(BinPath(L"rulDevice.dll").c_str()), 100000001u);
}

// The object made through the module's class object (no registration needed).
ComPtr<IUnknown> CreateObject(HMODULE module) {
  auto getClassObject = GetProcAs<GetClassObjectFn>(module, "DllGetClassObject");
  ComPtr<IClassFactory> factory;
  ComPtr<IUnknown> object;
  if (getClassObject && getClassObject(kClsidRulDeviceManager, IID_PPV_ARGS(factory.GetAddressOf())) == S_OK)
    factory->CreateInstance(nullptr, IID_PPV_ARGS(object.GetAddressOf()));
  return object;
}

class RulObjectTest : public rul_testing::RulCardTest {
 protected:
  void SetUp() override {
    RulCardTest::SetUp();
    module_.reset(LoadLibraryW(BinPath(L"rulDevice.dll").c_str()));
    ASSERT_TRUE(module_.valid());
    UINT patched = 0;
    ASSERT_EQ(SimDriver_Attach(module_.get(), &patched), S_OK);
    object_ = CreateObject(module_.get());
    ASSERT_TRUE(object_);
  }
  void TearDown() override {
    object_.Reset();
    SimDriver_Detach(module_.get());
    RulCardTest::TearDown();
  }

  HRESULT Bind(LONG tuner) {
    ComPtr<IDeviceSetup> setup;
    EXPECT_EQ(object_.As(&setup), S_OK);
    return setup->SetDeviceInfo(rul_testing::MakeItem({{8, tuner}, {9, 2}}, {{7, capturePath_}}).Get());
  }

  UniqueModule module_;
  ComPtr<IUnknown> object_;
};

TEST_F(RulObjectTest, AnswersItsInterfaceMapOnly) {
  const struct {
    const IID* iid;
    HRESULT expected;
  } cases[] = {
      {&IID_IDeviceSetup, S_OK},       {&IID_IDevice, S_OK},           {&IID_IDeviceInfoDetail, S_OK},
      {&IID_IInputSwitch, S_OK},       {&IID_IInputQualityControl, S_OK}, {&IID_IPreview, S_OK},
      {&IID_IPreviewWindow, S_OK},     {&IID_IPreviewWindow2, S_OK},   {&IID_ICustomPreviewWindow, S_OK},
      {&IID_ICustomPreviewWindow2, S_OK}, {&IID_ISound, S_OK},          {&IID_IOutputData, S_OK},
      {&IID_IAutoScan, S_OK},          {&IID_IAutoScan2, S_OK},        {&IID_IPreview2, E_NOINTERFACE},
      {&IID_IHalItem, E_NOINTERFACE},
  };
  for (const auto& c : cases) {
    ComPtr<IUnknown> itf;
    EXPECT_EQ(object_->QueryInterface(*c.iid, reinterpret_cast<void**>(itf.GetAddressOf())), c.expected);
    EXPECT_EQ(itf != nullptr, c.expected == S_OK);
  }
  ComPtr<IAutoScan> scan;
  ComPtr<IAutoScan2> scan2;
  ASSERT_EQ(object_.As(&scan), S_OK);
  ASSERT_EQ(object_.As(&scan2), S_OK);
  EXPECT_EQ(static_cast<void*>(scan.Get()), static_cast<void*>(scan2.Get()));
}

// GetInterface: the device object's refusal passes through, an interface it does not offer is
// E_NOTIMPL, an offered one comes from QueryInterface; GetVideoModeInterface is QueryInterface.
TEST_F(RulObjectTest, FacadeAnswersTheInterfaceQuestions) {
  ASSERT_EQ(Bind(1), S_OK);
  ComPtr<IDevice> device;
  ASSERT_EQ(object_.As(&device), S_OK);
  const struct {
    const IID* iid;
    HRESULT expected;
  } cases[] = {
      {&IID_IAutoScan, errors::kNoScanCapability},  // the scan belongs to tuner 0
      {&IID_IPreview2, E_NOTIMPL},
      {&IID_ISound, E_NOTIMPL},
      {&IID_IInputSwitch, S_OK},
  };
  for (const auto& c : cases) {
    void* out = nullptr;
    EXPECT_EQ(device->GetInterface(*c.iid, &out), c.expected);
    EXPECT_EQ(out != nullptr, c.expected == S_OK);
    if (out) static_cast<IUnknown*>(out)->Release();
  }
  ComPtr<IPreview> preview;
  ASSERT_EQ(object_.As(&preview), S_OK);
  void* out = nullptr;
  EXPECT_EQ(preview->GetVideoModeInterface(IID_IPreview2, &out), E_NOINTERFACE);
  EXPECT_EQ(preview->GetVideoModeInterface(IID_IPreviewWindow2, &out), S_OK);
  static_cast<IUnknown*>(out)->Release();
  ComPtr<IInputSwitch> input;
  ASSERT_EQ(object_.As(&input), S_OK);
  ComPtr<IInputQualityControl> quality;
  EXPECT_EQ(input->GetInputQualityControl(quality.GetAddressOf()), S_OK);
  EXPECT_TRUE(quality);
}

// IPreview's own questions reach the device object: the pause step (refused before
// IPreview::Initialize, as Run and Stop are) and the lists of window and sound interfaces, the
// second windows only for a device whose capabilities name them.
TEST_F(RulObjectTest, PreviewAnswersPauseAndItsModeInterfaceLists) {
  ASSERT_EQ(Bind(0), S_OK);
  ComPtr<IPreview> preview;
  ASSERT_EQ(object_.As(&preview), S_OK);
  EXPECT_EQ(preview->Pause(0), errors::kPreviewNotInit);
  const auto listed = [](HRESULT hr, long count, GUID* iids) {
    std::vector<GUID> list(iids, iids + (SUCCEEDED(hr) ? count : 0));
    CoTaskMemFree(iids);
    return list;
  };
  long count = 0;
  GUID* iids = nullptr;
  HRESULT hr = preview->GetAvailableVideoModeInterface(&count, &iids);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(listed(hr, count, iids), (std::vector<GUID>{IID_IPreviewWindow, IID_ICustomPreviewWindow}));
  hr = preview->GetAvailableSoundModeInterface(&count, &iids);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(listed(hr, count, iids), std::vector<GUID>{IID_ISound});
  EXPECT_EQ(preview->GetAvailableSoundModeInterface(nullptr, &iids), E_POINTER);
}

// The release trace of a child process: the class's own name, the interface-prefixed names, one
// entry and one exit record per call whether it succeeds or fails.
VORN_CHILD(TraceRulCalls) {
  testing_support::DebugOutputCapture capture;
  UniqueModule m(LoadLibraryW(BinPath(L"rulDevice.dll").c_str()));
  ComPtr<IUnknown> object = CreateObject(m.get());
  ComPtr<IPreview> preview;
  ComPtr<ICustomPreviewWindow2> custom;
  ComPtr<IAutoScan2> scan;
  ComPtr<IDeviceInfoDetail> info;
  if (!object || object.As(&preview) != S_OK || object.As(&custom) != S_OK || object.As(&scan) != S_OK ||
      object.As(&info) != S_OK)
    return 10;
  ULONG count = 0;
  ULONG* formats = nullptr;
  const std::pair<const wchar_t*, std::function<HRESULT()>> calls[] = {
      {L"IPreview_Run", [&] { return preview->Run(0); }},
      {L"ICustomPreviewWindow2_SetZoomMode", [&] { return custom->SetZoomMode(0); }},
      {L"IAutoScan2_GetAutoScanSetting", [&] { return scan->GetAutoScanSetting(nullptr); }},
      {L"GetAvailableTVFormat", [&] { return info->GetAvailableTVFormat(0, &count, &formats); }},
  };
  int failures = 0;
  for (const auto& [name, call] : calls) {
    capture.Clear();
    call();
    const std::wstring quoted = std::wstring(L"\"CRulDeviceManager::") + name + L"()\",";
    if (capture.Containing(quoted + L"[IN]").size() != 1 || capture.Containing(quoted + L"[OUT]").size() != 1 ||
        capture.Containing(L"[IN]").size() != 1)
      ++failures;
  }
  CoTaskMemFree(formats);
  return failures;
}

TEST(RulModule, TraceRecordsCarryTheClassAndInterfaceNames) {
  testing_support::ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                          L"SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace");
  ASSERT_TRUE(key.SetDword(L"trace", 1));
  EXPECT_EQ(testing_support::RunChild("TraceRulCalls"), 0u);
}

}  // namespace

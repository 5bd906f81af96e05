// The device-manager modules as a host meets them: the cases of module_test_kit.h and the row of
// each family.
#include "devices/core/testing/module_test_kit.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

#include "common/errors.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/debug_capture.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "common/testing/regsvr32.h"
#include "devices/core/output_session.h"
#include "devices/idl/device_manager.h"

using Microsoft::WRL::ComPtr;
using testing_support::BinPath;
using testing_support::KeyExists;
using testing_support::ReadString;
using testing_support::RunRegsvr32;

namespace device_module_kit {

// Each family's interface map is the fifteen interfaces but those it refuses.
const DeviceModule kTam = {
    L"tamDevice.dll", L"{DFD021C0-14CE-47DD-9792-ACE51354850D}", L"tamDeviceManager Class",
    L"tamDevice.tamDeviceManager.1", L"tamDevice.tamDeviceManager", L"{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}",
    L"CTamDeviceManager",
    {},
    {{&IID_IAutoScan, &IID_IAutoScan2}, {&IID_IPreview, &IID_IPreview2}},
    {},
    {{&IID_IPreviewWindow2, S_OK}, {&IID_IHalItem, E_NOINTERFACE}},
    {},
};

const DeviceModule kRul = {
    L"rulDevice.dll", L"{95405826-AFA1-439B-942A-039C7C3909B2}", L"rulDeviceManager Class",
    L"rulDevice.rulDeviceManager.1", L"rulDevice.rulDeviceManager", L"{6FD80A8D-6448-47DA-9FD5-B34419134195}",
    L"CRulDeviceManager",
    {&IID_IPreview2},
    {{&IID_IAutoScan, &IID_IAutoScan2}},
    {},
    {{&IID_IPreview2, E_NOINTERFACE}, {&IID_IPreviewWindow2, S_OK}},
    {},
};

const DeviceModule kPex = {
    L"pexDevice.dll", L"{ABB1B82E-1C49-4213-A0EF-60A37AADF05C}", L"pexDeviceManager Class",
    L"pexDevice.pexDeviceManager.1", L"pexDevice.pexDeviceManager", L"{B789DBEA-CB8E-466E-BB03-26557F82BB70}",
    L"CPexDeviceManager",
    {&IID_IPreview2, &IID_IPreviewWindow2, &IID_ICustomPreviewWindow2},
    {{&IID_IAutoScan, &IID_IAutoScan2}},
    // Window interfaces are not in the device's list, but the preview hands them out; before
    // setup the scan support reads 0.
    {{&IID_IPreviewWindow, E_NOTIMPL}, {&IID_IAutoScan, errors::kNoScanCapability}, {&IID_IInputSwitch, S_OK}},
    {{&IID_IPreviewWindow, S_OK}},
    {},
};

namespace {

using RegFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// The marshalling proxies are one registration shared by the device-manager modules.
const std::wstring kIDeviceKey = L"Interface\\{66F2082F-4FAB-420F-A5BE-EE12C2857597}";
const std::wstring kOtherInterfaceKey = L"Interface\\{15C05966-6784-4604-96F0-0B6A641C843A}";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string IidText(const IID& iid) {
  wchar_t text[40] = {};
  StringFromGUID2(iid, text, 40);
  return Narrow(text);
}

std::wstring Quoted(const DeviceModule& m) { return L"\"" + BinPath(m.file) + L"\""; }

std::vector<std::wstring> OwnKeys(const DeviceModule& m) {
  return {std::wstring(L"CLSID\\") + m.clsid, m.progId, m.versionIndependentProgId,
          std::wstring(L"TypeLib\\") + m.typeLib};
}

void ExpectRegistered(const DeviceModule& m) {
  const std::wstring classKey = std::wstring(L"CLSID\\") + m.clsid;
  const std::wstring progId = m.progId, current = m.versionIndependentProgId;
  EXPECT_EQ(ReadString(classKey, nullptr), m.className);
  EXPECT_EQ(ReadString(classKey + L"\\InprocServer32", nullptr), BinPath(m.file));
  EXPECT_EQ(ReadString(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(ReadString(classKey + L"\\ProgID", nullptr), progId);
  EXPECT_EQ(ReadString(classKey + L"\\VersionIndependentProgID", nullptr), current);
  EXPECT_EQ(ReadString(classKey + L"\\TypeLib", nullptr), m.typeLib);
  EXPECT_EQ(ReadString(progId, nullptr), m.className);
  EXPECT_EQ(ReadString(progId + L"\\CLSID", nullptr), m.clsid);
  EXPECT_EQ(ReadString(current + L"\\CLSID", nullptr), m.clsid);
  EXPECT_EQ(ReadString(current + L"\\CurVer", nullptr), progId);
  EXPECT_TRUE(KeyExists(std::wstring(L"TypeLib\\") + m.typeLib + L"\\1.0"));
  CLSID expected{}, fromProgId{};
  ASSERT_EQ(CLSIDFromString(m.clsid, &expected), S_OK);
  EXPECT_EQ(CLSIDFromProgID(m.versionIndependentProgId, &fromProgId), S_OK);
  EXPECT_TRUE(IsEqualCLSID(fromProgId, expected));
}

// Every custom interface is marshalled by the proxies of the named module; their class key.
std::wstring ExpectProxiesIn(const DeviceModule& m) {
  const std::wstring ps = ReadString(kIDeviceKey + L"\\ProxyStubClsid32", nullptr);
  EXPECT_NE(ps, L"<none>") << "no proxies registered";
  EXPECT_EQ(ReadString(kOtherInterfaceKey + L"\\ProxyStubClsid32", nullptr), ps);
  EXPECT_EQ(ReadString(L"CLSID\\" + ps + L"\\InprocServer32", nullptr), BinPath(m.file));
  return L"CLSID\\" + ps;
}

void ExpectGone(const std::vector<std::wstring>& keys) {
  for (const std::wstring& key : keys) EXPECT_FALSE(KeyExists(key)) << Narrow(key);
}

}  // namespace

ModuleObject::ModuleObject(const DeviceModule& row) : module_(LoadLibraryW(BinPath(row.file).c_str())) {
  CLSID clsid{};
  auto get = GetProcAs<GetClassObjectFn>(module_.get(), "DllGetClassObject");
  if (get && CLSIDFromString(row.clsid, &clsid) == S_OK) get(clsid, IID_PPV_ARGS(factory_.GetAddressOf()));
}

ComPtr<IUnknown> ModuleObject::Create() const {
  ComPtr<IUnknown> object;
  if (factory_) factory_->CreateInstance(nullptr, IID_PPV_ARGS(object.GetAddressOf()));
  return object;
}

HRESULT ModuleObject::CanUnloadNow() const {
  auto canUnload = GetProcAs<RegFn>(module_.get(), "DllCanUnloadNow");
  return canUnload ? canUnload() : E_NOTIMPL;
}

std::string RowName(const ::testing::TestParamInfo<const DeviceModule*>& info) {
  const std::wstring file = info.param->file;
  return Narrow(file.substr(0, file.find(L'.')));
}

void DeviceModuleTest::SetUp() { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
void DeviceModuleTest::TearDown() { CoUninitialize(); }

// The entry points, and the module's version ("1.0.0.1"), which the MPEG analyzer is told when
// recording starts.
TEST_P(DeviceModuleTest, ExportsTheServerEntryPointsAndCarriesItsVersion) {
  UniqueModule m(LoadLibraryW(BinPath(row().file).c_str()));
  ASSERT_TRUE(m.valid()) << GetLastError();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(GetProcAddress(m.get(), name), nullptr) << name;
  EXPECT_EQ(output_data::ReadFileVersion(BinPath(row().file).c_str()), 100000001u);
}

// The proxies name the module registered last; removing a later family's module takes only its
// own keys, whichever order, and the proxies stay with the first family's module; they go with
// the last device-manager module.
TEST_P(DeviceModuleTest, Regsvr32WritesAndRemovesOnlyItsOwnKeys) {
  const DeviceModule& first = kTam;
  const bool isFirst = &row() == &first;
  for (bool last : isFirst ? std::vector<bool>{true} : std::vector<bool>{false, true}) {
    SCOPED_TRACE(last ? "registered last" : "registered before the first family's module");
    if (!isFirst && last) {
      ASSERT_EQ(RunRegsvr32(Quoted(first)), 0u);
    }
    ASSERT_EQ(RunRegsvr32(Quoted(row())), 0u);
    ExpectRegistered(row());
    std::vector<std::wstring> proxyKeys = {kIDeviceKey, kOtherInterfaceKey, ExpectProxiesIn(row())};
    if (!isFirst && !last) {
      ASSERT_EQ(RunRegsvr32(Quoted(first)), 0u);
    }

    ASSERT_EQ(RunRegsvr32(L"/u " + Quoted(row())), 0u);
    ExpectGone(OwnKeys(row()));
    if (!isFirst) {
      ExpectRegistered(first);
      proxyKeys.push_back(ExpectProxiesIn(first));
      ASSERT_EQ(RunRegsvr32(L"/u " + Quoted(first)), 0u);
      ExpectGone(OwnKeys(first));
    }
    ExpectGone(proxyKeys);
  }
}

TEST_P(DeviceModuleTest, AnswersItsInterfaceMapAndUnloadsWhenTheLastObjectGoes) {
  ModuleObject module(row());
  ASSERT_TRUE(module.valid());
  ComPtr<IUnknown> object = module.Create();
  ASSERT_TRUE(object);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  // The fifteen device-manager interfaces, and the host's item interface, which none answers.
  const IID* const asked[] = {&IID_IDeviceSetup, &IID_IDevice, &IID_IDeviceInfoDetail, &IID_IInputSwitch,
                              &IID_IInputQualityControl, &IID_IPreview, &IID_IPreview2, &IID_IPreviewWindow,
                              &IID_IPreviewWindow2, &IID_ICustomPreviewWindow, &IID_ICustomPreviewWindow2,
                              &IID_ISound, &IID_IOutputData, &IID_IAutoScan, &IID_IAutoScan2, &IID_IHalItem};
  for (const IID* iid : asked) {
    const auto& refused = row().refused;
    const HRESULT expected =
        iid == &IID_IHalItem || std::find(refused.begin(), refused.end(), iid) != refused.end() ? E_NOINTERFACE : S_OK;
    ComPtr<IUnknown> itf;
    EXPECT_EQ(object->QueryInterface(*iid, reinterpret_cast<void**>(itf.GetAddressOf())), expected) << IidText(*iid);
    EXPECT_EQ(itf != nullptr, expected == S_OK) << IidText(*iid);
  }
  for (const auto& [a, b] : row().sharedTables) {
    void* pa = nullptr;
    void* pb = nullptr;
    ASSERT_EQ(object->QueryInterface(*a, &pa), S_OK);
    ASSERT_EQ(object->QueryInterface(*b, &pb), S_OK);
    EXPECT_EQ(pa, pb) << IidText(*a) << " and " << IidText(*b);
    static_cast<IUnknown*>(pa)->Release();
    static_cast<IUnknown*>(pb)->Release();
  }
  object.Reset();
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

// GetInterface: the device object's refusal passes through, an interface it does not offer is
// E_NOTIMPL, an offered one comes from QueryInterface; GetVideoModeInterface is QueryInterface.
TEST_P(DeviceModuleTest, FacadeAnswersTheInterfaceQuestions) {
  ModuleObject module(row());
  ComPtr<IUnknown> object = module.Create();
  ASSERT_TRUE(object);
  ComPtr<IDevice> device;
  ComPtr<IPreview> preview;
  ASSERT_EQ(object.As(&device), S_OK);
  ASSERT_EQ(object.As(&preview), S_OK);
  const std::pair<const std::vector<InterfaceAnswer>*, std::function<HRESULT(REFIID, void**)>> questions[] = {
      {&row().getInterface, [&](REFIID iid, void** out) { return device->GetInterface(iid, out); }},
      {&row().videoModeInterface, [&](REFIID iid, void** out) { return preview->GetVideoModeInterface(iid, out); }},
  };
  for (const auto& [answers, ask] : questions) {
    for (const InterfaceAnswer& c : *answers) {
      void* out = nullptr;
      EXPECT_EQ(ask(*c.iid, &out), c.expected) << IidText(*c.iid);
      EXPECT_EQ(out != nullptr, c.expected == S_OK) << IidText(*c.iid);
      if (out) static_cast<IUnknown*>(out)->Release();
    }
  }
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

TEST_P(DeviceModuleTest, AnAggregatedObjectDelegatesToItsOuterObject) {
  ModuleObject module(row());
  ASSERT_TRUE(module.valid());
  Outer outer;
  ComPtr<IUnknown> inner;
  EXPECT_EQ(module.factory()->CreateInstance(&outer, IID_IDevice, reinterpret_cast<void**>(inner.GetAddressOf())),
            CLASS_E_NOAGGREGATION);
  ASSERT_EQ(module.factory()->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  ComPtr<ISound> sound;
  ASSERT_EQ(outer.QueryInterface(IID_ISound, reinterpret_cast<void**>(sound.GetAddressOf())), S_OK);
  EXPECT_EQ(outer.refs, 2u);
  ComPtr<IUnknown> identity;
  ASSERT_EQ(sound.As(&identity), S_OK);
  EXPECT_EQ(identity.Get(), static_cast<IUnknown*>(&outer));
  identity.Reset();
  sound.Reset();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(module.CanUnloadNow(), S_OK);
}

namespace {

struct Interfaces {
  ComPtr<IDeviceSetup> setup;
  ComPtr<IDevice> dev;
  ComPtr<IDeviceInfoDetail> info;
  ComPtr<IInputSwitch> input;
  ComPtr<IInputQualityControl> quality;
  ComPtr<IPreview> preview;
  ComPtr<IPreview2> preview2;
  ComPtr<IPreviewWindow> w1;
  ComPtr<IPreviewWindow2> w2;
  ComPtr<ICustomPreviewWindow> c1;
  ComPtr<ICustomPreviewWindow2> c2;
  ComPtr<ISound> snd;
  ComPtr<IOutputData> out;
  ComPtr<IAutoScan2> scan;

  // An interface the object does not answer stays null: its methods are not called.
  explicit Interfaces(const ComPtr<IUnknown>& o) {
    for (HRESULT hr :
         {o.As(&setup), o.As(&dev), o.As(&info), o.As(&input), o.As(&quality), o.As(&preview), o.As(&preview2),
          o.As(&w1), o.As(&w2), o.As(&c1), o.As(&c2), o.As(&snd), o.As(&out), o.As(&scan)})
      (void)hr;
  }
};

struct CallGroup {
  IUnknown* itf;
  std::vector<std::pair<const wchar_t*, std::function<HRESULT()>>> calls;
};

// The index of the only text that holds `needle`, or -1.
long OnlyIndex(const std::vector<std::wstring>& texts, const std::wstring& needle) {
  long found = -1;
  for (size_t k = 0; k < texts.size(); ++k) {
    if (texts[k].find(needle) == std::wstring::npos) continue;
    if (found >= 0) return -1;
    found = static_cast<long>(k);
  }
  return found;
}

// One entry record before one exit record under the name.
bool TracedOnce(const testing_support::DebugOutputCapture& capture, const std::wstring& quoted) {
  const auto texts = capture.Texts();
  const long in = OnlyIndex(texts, quoted + L"[IN]"), leave = OnlyIndex(texts, quoted + L"[OUT]");
  return in >= 0 && in < leave;
}

}  // namespace

// The records the facade leaves in the release trace, read from the debugger output of a child
// process (the trace reads its settings once per process): every method of every interface
// opens its scope under its own name, whether it is refused at the facade (missing pointer) or
// reaches the device object. Its argument: the module's file name.
VORN_CHILD(TraceDeviceManagerCalls) {
  const DeviceModule* row = nullptr;
  for (const DeviceModule* m : {&kTam, &kRul, &kPex})
    if (!args.empty() && args[0] == m->file) row = m;
  if (!row) return 9;
  testing_support::DebugOutputCapture capture;
  if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) != S_OK) return 10;
  int failures = 0;
  {
    ModuleObject module(*row);
    ComPtr<IUnknown> object = module.Create();
    if (!object) return 11;
    const std::wstring prefix = std::wstring(L"\"") + row->traceClass + L"::";
    if (!TracedOnce(capture, prefix + L"FinalConstruct()\",")) ++failures;

    size_t total = 0, called = 0;
    {
      Interfaces i(object);
      const CLSID none{};
      const CallGroup groups[] = {
          {i.setup.Get(), {{L"SetDeviceInfo", [&] { return i.setup->SetDeviceInfo(nullptr); }}}},
          {i.dev.Get(),
           {{L"GetAvailableInterface", [&] { return i.dev->GetAvailableInterface(nullptr, nullptr); }},
            {L"GetInterface", [&] { return i.dev->GetInterface(IID_ISound, nullptr); }},
            {L"CanUseInterface", [&] { return i.dev->CanUseInterface(IID_ISound, nullptr); }},
            {L"GetInfo", [&] { return i.dev->GetInfo(7, nullptr); }}}},
          {i.info.Get(),
           {{L"GetAvailableCountryCode", [&] { return i.info->GetAvailableCountryCode(nullptr, nullptr); }},
            {L"GetAvailableTVFormat", [&] { return i.info->GetAvailableTVFormat(0, nullptr, nullptr); }},
            {L"GetAvailableBaseChannel", [&] { return i.info->GetAvailableBaseChannel(0, 0, nullptr, nullptr); }},
            {L"GetAvailableTunerFunction", [&] { return i.info->GetAvailableTunerFunction(nullptr, nullptr); }},
            {L"GetAvailableChannelInfo", [&] { return i.info->GetAvailableChannelInfo(nullptr, nullptr, nullptr); }},
            {L"GetAvailableFrequencyInfo",
             [&] { return i.info->GetAvailableFrequencyInfo(nullptr, nullptr, nullptr); }},
            {L"GetInputAudioModeVariety", [&] { return i.info->GetInputAudioModeVariety(nullptr, nullptr); }},
            {L"GetOutputAudioModeVariety", [&] { return i.info->GetOutputAudioModeVariety(nullptr, nullptr); }}}},
          {i.input.Get(),
           {{L"IInputSwitch_Initialize", [&] { return i.input->Initialize(0); }},
            {L"GetChannel", [&] { return i.input->GetChannel(nullptr); }},
            {L"SetChannel", [&] { return i.input->SetChannel(nullptr); }},
            {L"GetAvailableAudioFunction", [&] { return i.input->GetAvailableAudioFunction(nullptr, nullptr); }},
            {L"GetAudioFunction", [&] { return i.input->GetAudioFunction(nullptr); }},
            {L"SetAudioFunction", [&] { return i.input->SetAudioFunction(0); }},
            {L"GetInputQualityControl", [&] { return i.input->GetInputQualityControl(nullptr); }},
            {L"IInputSwitch_Uninitialize", [&] { return i.input->Uninitialize(0); }}}},
          {i.quality.Get(),
           {{L"GetAvailableVidProcAmp", [&] { return i.quality->GetAvailableVidProcAmp(nullptr); }},
            {L"GetVidProcAmpRange",
             [&] { return i.quality->GetVidProcAmpRange(0, nullptr, nullptr, nullptr, nullptr, nullptr); }},
            {L"GetVidProcAmpParam", [&] { return i.quality->GetVidProcAmpParam(0, nullptr); }},
            {L"SetVidProcAmpParam", [&] { return i.quality->SetVidProcAmpParam(0, 0); }}}},
          {i.preview.Get(),
           {{L"IPreview_Initialize", [&] { return i.preview->Initialize(0); }},
            {L"IPreview_GetNotifyEvent", [&] { return i.preview->GetNotifyEvent(0, nullptr); }},
            {L"IPreview_GetLastError", [&] { return i.preview->GetLastError(nullptr, nullptr); }},
            {L"IPreview_GetCurrentInputAudioMode", [&] { return i.preview->GetCurrentInputAudioMode(nullptr); }},
            {L"IPreview_GetCurrentOutputAudioMode", [&] { return i.preview->GetCurrentOutputAudioMode(nullptr); }},
            {L"GetAvailableVideoModeInterface",
             [&] { return i.preview->GetAvailableVideoModeInterface(nullptr, nullptr); }},
            {L"GetVideoModeInterface", [&] { return i.preview->GetVideoModeInterface(IID_ISound, nullptr); }},
            {L"GetVideoDataInfo", [&] { return i.preview->GetVideoDataInfo(nullptr); }},
            {L"GetAvailableSoundModeInterface",
             [&] { return i.preview->GetAvailableSoundModeInterface(nullptr, nullptr); }},
            {L"GetSoundModeInterface", [&] { return i.preview->GetSoundModeInterface(IID_ISound, nullptr); }},
            {L"GetSoundDataInfo", [&] { return i.preview->GetSoundDataInfo(nullptr); }},
            {L"IPreview_Run", [&] { return i.preview->Run(0); }},
            {L"IPreview_Pause", [&] { return i.preview->Pause(0); }},
            {L"IPreview_Stop", [&] { return i.preview->Stop(0); }},
            {L"IPreview_GetState", [&] { return i.preview->GetState(nullptr); }},
            {L"IPreview_Uninitialize", [&] { return i.preview->Uninitialize(0); }}}},
          {i.preview2.Get(), {{L"IPreview2_GetMuteStatus", [&] { return i.preview2->GetMuteStatus(nullptr); }}}},
          {i.w1.Get(),
           {{L"IPreviewWindow_Initialize", [&] { return i.w1->Initialize(0); }},
            {L"IPreviewWindow_SetVideoClippingWindow", [&] { return i.w1->SetVideoClippingWindow(nullptr); }},
            {L"IPreviewWindow_SetVideoPosition", [&] { return i.w1->SetVideoPosition(nullptr, nullptr); }},
            {L"IPreviewWindow_GetColorKey", [&] { return i.w1->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
            {L"IPreviewWindow_RePaint", [&] { return i.w1->RePaint(nullptr, nullptr); }},
            {L"IPreviewWindow_DisplayModeChanged", [&] { return i.w1->DisplayModeChanged(nullptr); }},
            {L"IPreviewWindow_GetCurrentImage", [&] { return i.w1->GetCurrentImage(nullptr, nullptr); }},
            {L"IPreviewWindow_Uninitialize", [&] { return i.w1->Uninitialize(0); }}}},
          {i.w2.Get(),
           {{L"IPreviewWindow2_Initialize", [&] { return i.w2->Initialize(0); }},
            {L"IPreviewWindow2_SetVideoClippingWindow", [&] { return i.w2->SetVideoClippingWindow(nullptr); }},
            {L"IPreviewWindow2_SetVideoPosition", [&] { return i.w2->SetVideoPosition(nullptr, nullptr); }},
            {L"IPreviewWindow2_GetColorKey", [&] { return i.w2->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
            {L"IPreviewWindow2_RePaint", [&] { return i.w2->RePaint(nullptr, nullptr); }},
            {L"IPreviewWindow2_DisplayModeChanged", [&] { return i.w2->DisplayModeChanged(nullptr); }},
            {L"IPreviewWindow2_GetCurrentImage", [&] { return i.w2->GetCurrentImage(nullptr, nullptr); }},
            {L"IPreviewWindow2_SetZoomMode", [&] { return i.w2->SetZoomMode(0); }},
            {L"IPreviewWindow2_GetZoomMode", [&] { return i.w2->GetZoomMode(nullptr); }},
            {L"IPreviewWindow2_Uninitialize", [&] { return i.w2->Uninitialize(0); }}}},
          {i.c1.Get(),
           {{L"ICustomPreviewWindow_Initialize", [&] { return i.c1->Initialize(0, none, nullptr); }},
            {L"ICustomPreviewWindow_QueryInterfaceFromCustomFilter",
             [&] { return i.c1->QueryInterfaceFromCustomFilter(IID_IUnknown, nullptr); }},
            {L"ICustomPreviewWindow_SetVideoClippingWindow", [&] { return i.c1->SetVideoClippingWindow(nullptr); }},
            {L"ICustomPreviewWindow_SetVideoPosition", [&] { return i.c1->SetVideoPosition(nullptr, nullptr); }},
            {L"ICustomPreviewWindow_GetColorKey",
             [&] { return i.c1->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
            {L"ICustomPreviewWindow_RePaint", [&] { return i.c1->RePaint(nullptr, nullptr); }},
            {L"ICustomPreviewWindow_DisplayModeChanged", [&] { return i.c1->DisplayModeChanged(nullptr); }},
            {L"ICustomPreviewWindow_GetCurrentImage", [&] { return i.c1->GetCurrentImage(nullptr, nullptr); }},
            {L"ICustomPreviewWindow_Uninitialize", [&] { return i.c1->Uninitialize(0); }}}},
          {i.c2.Get(),
           {{L"ICustomPreviewWindow2_Initialize", [&] { return i.c2->Initialize(0, none, nullptr); }},
            {L"ICustomPreviewWindow2_QueryInterfaceFromCustomFilter",
             [&] { return i.c2->QueryInterfaceFromCustomFilter(IID_IUnknown, nullptr); }},
            {L"ICustomPreviewWindow2_SetVideoClippingWindow", [&] { return i.c2->SetVideoClippingWindow(nullptr); }},
            {L"ICustomPreviewWindow2_SetVideoPosition", [&] { return i.c2->SetVideoPosition(nullptr, nullptr); }},
            {L"ICustomPreviewWindow2_GetColorKey",
             [&] { return i.c2->GetColorKey(nullptr, nullptr, nullptr, nullptr); }},
            {L"ICustomPreviewWindow2_RePaint", [&] { return i.c2->RePaint(nullptr, nullptr); }},
            {L"ICustomPreviewWindow2_DisplayModeChanged", [&] { return i.c2->DisplayModeChanged(nullptr); }},
            {L"ICustomPreviewWindow2_GetCurrentImage", [&] { return i.c2->GetCurrentImage(nullptr, nullptr); }},
            {L"ICustomPreviewWindow2_SetZoomMode", [&] { return i.c2->SetZoomMode(0); }},
            {L"ICustomPreviewWindow2_GetZoomMode", [&] { return i.c2->GetZoomMode(nullptr); }},
            {L"ICustomPreviewWindow2_Uninitialize", [&] { return i.c2->Uninitialize(0); }}}},
          {i.snd.Get(),
           {{L"ISound_Initialize", [&] { return i.snd->Initialize(0); }},
            {L"ISound_GetAvailableSoundMode", [&] { return i.snd->GetAvailableSoundMode(nullptr, nullptr); }},
            {L"ISound_GetSoundMode", [&] { return i.snd->GetSoundMode(nullptr); }},
            {L"ISound_SetSoundMode", [&] { return i.snd->SetSoundMode(0); }},
            {L"ISound_GetMix", [&] { return i.snd->GetMix(nullptr); }},
            {L"ISound_SetMix", [&] { return i.snd->SetMix(nullptr); }},
            {L"ISound_GetBalance", [&] { return i.snd->GetBalance(nullptr); }},
            {L"ISound_SetBalance", [&] { return i.snd->SetBalance(0); }},
            {L"ISound_GetVolume", [&] { return i.snd->GetVolume(nullptr); }},
            {L"ISound_SetVolume", [&] { return i.snd->SetVolume(0); }},
            {L"ISound_Uninitialize", [&] { return i.snd->Uninitialize(0); }}}},
          {i.out.Get(),
           {{L"IOutputData_Initialize", [&] { return i.out->Initialize(0); }},
            {L"IOutputData_GetNotifyEvent", [&] { return i.out->GetNotifyEvent(0, nullptr); }},
            {L"IOutputData_GetLastError", [&] { return i.out->GetLastError(nullptr, nullptr); }},
            {L"IOutputData_Start", [&] { return i.out->Start(0); }},
            {L"IOutputData_Stop", [&] { return i.out->Stop(0); }},
            {L"IOutputData_GetCurrentInputAudioMode", [&] { return i.out->GetCurrentInputAudioMode(nullptr); }},
            {L"IOutputData_GetCurrentOutputAudioMode", [&] { return i.out->GetCurrentOutputAudioMode(nullptr); }},
            {L"GetAvailableOutputDataType", [&] { return i.out->GetAvailableOutputDataType(nullptr, nullptr); }},
            {L"GetAvailableOutputDataSubType",
             [&] { return i.out->GetAvailableOutputDataSubType(0, nullptr, nullptr); }},
            {L"SetOutputDataType", [&] { return i.out->SetOutputDataType(nullptr, nullptr); }},
            {L"GetOutputDataType", [&] { return i.out->GetOutputDataType(nullptr, nullptr); }},
            {L"GetOutputDataInfo", [&] { return i.out->GetOutputDataInfo(1, 0, nullptr); }},
            {L"IOutputData_Uninitialize", [&] { return i.out->Uninitialize(0); }}}},
          {i.scan.Get(),
           {{L"IAutoScan_Initialize", [&] { return i.scan->Initialize(0); }},
            {L"GetChannelFreqLevel", [&] { return i.scan->GetChannelFreqLevel(nullptr, 0, nullptr, nullptr); }},
            {L"IAutoScan_Uninitialize", [&] { return i.scan->Uninitialize(0); }},
            {L"IAutoScan2_GetAutoScanSetting", [&] { return i.scan->GetAutoScanSetting(nullptr); }}}},
      };
      for (const CallGroup& group : groups) {
        total += group.calls.size();
        if (!group.itf) continue;
        for (const auto& [name, call] : group.calls) {
          if (!row->traced.empty() &&
              std::none_of(row->traced.begin(), row->traced.end(), [&](const wchar_t* n) { return !wcscmp(n, name); }))
            continue;
          // Only the call's own records count: a method that traced under another's name would
          // leave this one's missing.
          capture.Clear();
          const HRESULT hr = call();
          ++called;
          if (!TracedOnce(capture, prefix + name + L"()\",") || capture.Containing(L"[IN]").size() != 1) {
            std::printf("%ls: not traced under its own name alone (0x%08lX)\n", name, static_cast<unsigned long>(hr));
            ++failures;
          }
        }
      }
    }
    if (total != 108) return 12;  // every method of the fifteen interfaces
    if (!row->traced.empty() && called != row->traced.size()) return 13;
    capture.Clear();
    if (object.Detach()->Release() != 0) return 14;
    if (capture.Containing(prefix + L"FinalRelease()\",[OUT]").size() != 1) ++failures;
  }
  CoUninitialize();
  return failures == 0 ? 0 : 20 + failures;
}

TEST_P(DeviceModuleTest, TraceRecordsCarryTheClassAndMethodNames) {
  testing_support::ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                          L"SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace");
  ASSERT_TRUE(key.SetDword(L"trace", 1));
  EXPECT_EQ(testing_support::RunChild("TraceDeviceManagerCalls", {row().file}), 0u);
}

}  // namespace device_module_kit

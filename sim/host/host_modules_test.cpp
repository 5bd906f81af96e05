// The system's modules and the doubles as a host meets them with the environment in place: the
// simulated cards in the device categories, tamDeviceManager given a card's device item, the
// registered stand-in classes, the file modules beside tamDevice.dll and its settings file.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <strmif.h>
#include <uuids.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/module.h"
#include "common/path.h"
#include "common/testing/child.h"
#include "filters/pacers/pacer_ids.h"
#include "sim/doubles/outside_interfaces.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/sim_environment.h"

namespace {

using Microsoft::WRL::ComPtr;

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
constexpr CLSID kClsidTamDeviceManager = {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
// {B1E39656-ABCE-4B23-A6FB-6776C7399B1E}: the system's video renderer (its stand-in for now).
constexpr CLSID kClsidVideoRenderer = {0xb1e39656, 0xabce, 0x4b23, {0xa6, 0xfb, 0x67, 0x76, 0xc7, 0x39, 0x9b, 0x1e}};
// {B03C30D4-2DDB-44EC-9275-ACD280029252}: the deinterlacing filter of "QfaTesk.ax".
constexpr CLSID kClsidTesk = {0xb03c30d4, 0x2ddb, 0x44ec, {0x92, 0x75, 0xac, 0xd2, 0x80, 0x02, 0x92, 0x52}};

// One driver state for the program: the stand-in connects to one name per process.
const std::wstring& StateName() {
  static const std::wstring name = testing_support::UniqueName(L"Local\\VornHostTest_");
  return name;
}

struct Entry {
  std::wstring name, path;
  ComPtr<IMoniker> moniker;
};

// The device enumerator's entries of a category, with their friendly names and device paths.
std::vector<Entry> Entries(REFGUID category) {
  std::vector<Entry> entries;
  ComPtr<ICreateDevEnum> devices;
  ComPtr<IEnumMoniker> monikers;
  if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                              reinterpret_cast<void**>(devices.GetAddressOf()))) ||
      devices->CreateClassEnumerator(category, &monikers, 0) != S_OK)
    return entries;
  for (ComPtr<IMoniker> moniker; monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK;) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                      reinterpret_cast<void**>(bag.GetAddressOf()))))
      continue;
    Entry entry{{}, {}, moniker};
    for (auto [property, out] : {std::pair{L"FriendlyName", &entry.name}, std::pair{L"DevicePath", &entry.path}}) {
      VARIANT v;
      VariantInit(&v);
      if (SUCCEEDED(bag->Read(property, &v, nullptr)) && v.vt == VT_BSTR) *out = v.bstrVal;
      VariantClear(&v);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

HRESULT BindNamed(REFGUID category, const std::wstring& name, ComPtr<IBaseFilter>* filter) {
  for (const Entry& entry : Entries(category))
    if (entry.name == name)
      return entry.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                         reinterpret_cast<void**>(filter->GetAddressOf()));
  return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

std::wstring VariantText(const VARIANT& v) { return v.vt == VT_BSTR && v.bstrVal ? v.bstrVal : L"<not a string>"; }

class HostModules : public ::testing::Test {
 protected:
  void SetUp() override {
    // Before the card's filters first reach the stand-in, which would connect them to the
    // machine's default state.
    ASSERT_TRUE(SUCCEEDED(SimDriver_Connect(StateName().c_str())));
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    com_ = true;
    ASSERT_EQ(S_OK, env_.Install({0, 1})) << testing::PrintToString(env_.error());
  }
  void TearDown() override {
    EXPECT_EQ(S_OK, env_.Remove()) << testing::PrintToString(env_.error());
    if (com_) CoUninitialize();
  }

  bool com_ = false;
  sim_host::SimEnvironment env_;
};

TEST_F(HostModules, EnumeratorFindsEachCardsFiveFiltersByPath) {
  const struct {
    UINT role;
    const GUID* category;
    const wchar_t* name;
  } roles[] = {{kSimRoleTuner, &kCategoryTvTuner, SIM_CARD_TUNER_NAME},
               {kSimRoleCrossbar, &kCategoryCrossbar, SIM_CARD_CROSSBAR_NAME},
               {kSimRoleTvAudio, &kCategoryTvAudio, SIM_CARD_TVAUDIO_NAME},
               {kSimRoleCapture, &kCategoryVideoInput, SIM_CARD_CAPTURE_NAME},
               {kSimRoleEncoder, &kCategoryEncoder, SIM_CARD_ENCODER_NAME}};
  for (const auto& r : roles) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.name)));
    const std::wstring card0 = env_.DevicePath(0, r.role), card1 = env_.DevicePath(1, r.role);
    ASSERT_FALSE(card0.empty());
    EXPECT_NE(card0, card1);
    int found0 = 0, found1 = 0;
    for (const Entry& entry : Entries(*r.category)) {
      if (entry.name != r.name) continue;
      if (entry.path == card1) ++found1;
      if (entry.path != card0) continue;
      ++found0;
      ComPtr<IBaseFilter> filter;
      EXPECT_EQ(S_OK, entry.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                  reinterpret_cast<void**>(filter.GetAddressOf())));
    }
    EXPECT_EQ(1, found0);
    EXPECT_EQ(1, found1);
  }
}

TEST_F(HostModules, DeviceManagerTakesTheCardsItemAndHandsOutItsInterfaces) {
  ComPtr<IDeviceSetup> setup;
  ASSERT_EQ(S_OK, CoCreateInstance(kClsidTamDeviceManager, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                   reinterpret_cast<void**>(setup.GetAddressOf())));
  UINT patched = 0;
  ASSERT_EQ(S_OK, env_.AttachDriver(StateName().c_str(), &patched)) << testing::PrintToString(env_.error());
  EXPECT_GT(patched, 0u);
  UINT card0 = 0, card1 = 0;
  EXPECT_EQ(S_OK, SimDriver_FindCard(env_.DevicePath(0).c_str(), &card0));
  EXPECT_EQ(S_OK, SimDriver_FindCard(env_.DevicePath(1).c_str(), &card1));
  EXPECT_NE(card0, card1);

  sim_host::DeviceItemValues values;
  values.devicePath = env_.DevicePath(0);
  values.boardType = 18;
  values.capabilities = 0x210;
  values.functions = 3;
  ComPtr<IHalItem> item;
  ASSERT_EQ(S_OK, sim_host::MakeDeviceItem(values, &item));
  ASSERT_EQ(S_OK, setup->SetDeviceInfo(item.Get()));

  ComPtr<IDevice> device;
  ASSERT_EQ(S_OK, setup.As(&device));
  // The device keeps the item's values with their types.
  for (const long id : {sim_host::kItemDevicePath, sim_host::kItemName}) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, device->GetInfo(id, &v));
    EXPECT_EQ(values.devicePath, VariantText(v)) << id;
    VariantClear(&v);
  }
  const std::pair<long, long> integers[] = {{sim_host::kItemBoardType, 18},
                                            {sim_host::kItemCapabilities, 0x210},
                                            {sim_host::kItemFunctions, 3},
                                            {sim_host::kItemTunerNumber, 0}};
  for (const auto& [id, expected] : integers) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, device->GetInfo(id, &v));
    EXPECT_EQ(VT_I4, v.vt) << id;
    EXPECT_EQ(expected, v.lVal) << id;
  }

  long count = 0;
  GUID* iids = nullptr;
  ASSERT_EQ(S_OK, device->GetAvailableInterface(&count, &iids));
  EXPECT_GT(count, 0);
  ComPtr<IUnknown> manager;
  ASSERT_EQ(S_OK, device.As(&manager));
  // Every interface it offers is handed out, all of one object.
  for (long i = 0; i < count; ++i) {
    ComPtr<IUnknown> itf, identity;
    EXPECT_EQ(S_OK, device->GetInterface(iids[i], reinterpret_cast<void**>(itf.GetAddressOf()))) << i;
    if (itf && SUCCEEDED(itf.As(&identity))) {
      EXPECT_EQ(manager.Get(), identity.Get()) << i;
    }
  }
  CoTaskMemFree(iids);
  ComPtr<IUnknown> none;
  EXPECT_EQ(E_NOTIMPL, device->GetInterface(IID_IHalItem, reinterpret_cast<void**>(none.GetAddressOf())));
}

TEST_F(HostModules, RegisteredStandInsAreCreated) {
  ComPtr<IUnknown> preview, line21, renderer;
  EXPECT_EQ(S_OK, CoCreateInstance(doubles::kClsidPreviewControl, nullptr, CLSCTX_INPROC_SERVER, IID_IPreviewControl,
                                   reinterpret_cast<void**>(preview.GetAddressOf())));
  EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Line21Decoder, nullptr, CLSCTX_INPROC_SERVER, IID_IAMLine21Decoder,
                                   reinterpret_cast<void**>(line21.GetAddressOf())));
  EXPECT_EQ(S_OK, CoCreateInstance(kClsidVideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(renderer.GetAddressOf())));
  ComPtr<IBaseFilter> sound, vbi;
  EXPECT_EQ(S_OK, BindNamed(CLSID_AudioRendererCategory, DOUBLES_SOUND_FRIENDLY_NAME, &sound));
  EXPECT_EQ(S_OK, BindNamed(doubles::kCategoryVbiCodec, DOUBLES_VBI_CODEC_NAME, &vbi));
}

TEST_F(HostModules, FileModulesBesideTheDeviceManagerGiveTheirClassObjects) {
  const CLSID* classes[] = {&doubles::kClsidCallbackFilter, &doubles::kClsidMpegAnalyzer, &doubles::kClsidSoundSelector,
                            &doubles::kClsidRateMatcher,    &doubles::kClsidOsd,         &doubles::kClsidDeinterlace,
                            &doubles::kClsidMorDeinterlace, &doubles::kClsidVideoInfo,   &doubles::kClsidCaptionMixer1,
                            &doubles::kClsidCaptionMixer2,  &CLSID_VideoPacer,           &CLSID_AudioPacer,
                            &kClsidTesk};
  static_assert(std::size(classes) == std::size(sim_host::kFileModules));
  const PathString folder = ModulePath::OfModule(env_.tamModule()).GetFolder();
  for (size_t i = 0; i < std::size(classes); ++i) {
    const std::wstring path = PathString::Combine(folder, WideString(sim_host::kFileModules[i])).str();
    SCOPED_TRACE(testing::PrintToString(path));
    UniqueModule module(LoadLibraryW(path.c_str()));
    ASSERT_TRUE(module);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto get = GetProcAs<GetClassObjectFn>(module.get(), "DllGetClassObject");
    ASSERT_TRUE(get);
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, get(*classes[i], IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())));
  }
}

TEST_F(HostModules, TheDeviceManagersSettingsReaderFindsTheEnvironmentsValues) {
  // The device manager finds "<module>.ini" beside itself through SettingsFile::ForModule: the
  // environment's settings, changed or not, must be what that reader gives.
  const SettingsFile product = SettingsFile::ForModule(env_.tamModule());
  ASSERT_EQ(S_OK, env_.SetSetting(L"AutoScan", L"Start", L"4"));
  EXPECT_EQ(100, product.ReadInt(L"SetChannel", L"Interval", 0));
  EXPECT_EQ(100, product.ReadInt(L"REC", L"minimum REC time", 0));
  EXPECT_EQ(4, product.ReadInt(L"AutoScan", L"Start", 9));
}

}  // namespace

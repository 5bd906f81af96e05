// QfaTesk.ax as a file: each of its three filter classes gives the filter and each page class
// its page without the registry; registration writes the class keys and the mapper records (the
// setup record's name, merit and pins) that unregistration takes away again, leaving the
// field-order page alone once another module has registered it.
#include <gtest/gtest.h>

#include <ocidl.h>

#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "common/dshow.h"
#include "filters/base/testkit/mapper_record.h"
#include "filters/deinterlace/tesk_filter.h"

using graph_testkit::Describe;
using graph_testkit::ReadMapperRecord;
using testing_support::BinPath;

namespace {

using DllFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

const CLSID* const kFilters[] = {&deinterlace::CLSID_QfaTesk, &deinterlace::CLSID_QfaTeskRv30,
                                 &deinterlace::CLSID_QfaTeskRv35};
const CLSID* const kPages[] = {&deinterlace::CLSID_TeskModePage,      &deinterlace::CLSID_TeskMmxModePage,
                               &deinterlace::CLSID_TeskContrastPage,  &deinterlace::CLSID_TeskSharpnessPage,
                               &deinterlace::CLSID_TeskMenuBackPage,  &deinterlace::CLSID_TeskFieldOrderPage};

std::wstring Text(REFCLSID clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return text;
}

std::wstring ServerOf(REFCLSID clsid) {
  wchar_t value[512] = {};
  DWORD bytes = sizeof(value) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Text(clsid) + L"\\InprocServer32").c_str(), nullptr,
                   RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
    return L"<none>";
  }
  return value;
}

class TeskModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    path_ = BinPath(L"deinterlace\\QfaTesk.ax");
    module_.reset(LoadLibraryW(path_.c_str()));
    ASSERT_TRUE(module_);
  }
  void TearDown() override {
    module_.reset();
    CoUninitialize();
  }
  template <class Fn>
  Fn Entry(const char* name) {
    return GetProcAs<Fn>(module_.get(), name);
  }
  std::wstring path_;
  UniqueModule module_;
};

TEST_F(TeskModule, EveryClassGivesTheFilter) {
  for (const CLSID* clsid : kFilters) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(Entry<GetClassObjectFn>("DllGetClassObject")(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    ITeskSettings* settings = nullptr;
    EXPECT_EQ(filter->QueryInterface(IID_ITeskSettings, reinterpret_cast<void**>(&settings)), S_OK);
    if (settings) settings->Release();
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(filter->Release(), 0u);
  }
  for (const CLSID* clsid : kPages) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(Entry<GetClassObjectFn>("DllGetClassObject")(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    IPropertyPage* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    PROPPAGEINFO info{};
    ASSERT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_GT(info.size.cx, 0);
    EXPECT_NE(info.pszTitle[0], L'\0');
    CoTaskMemFree(info.pszTitle);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(page->Release(), 0u);
  }
  EXPECT_EQ(Entry<DllFn>("DllCanUnloadNow")(), S_OK);
}

TEST_F(TeskModule, RegistersAndUnregistersItsFilters) {
  ASSERT_EQ(Entry<DllFn>("DllRegisterServer")(), S_OK);
  // One record for the three: its name, merit 0x200000, an input and an output of any video.
  const std::wstring record = Describe(L"Zarn (Qfa) Tesk Filter", 0x200000,
                                       {{0, {{MEDIATYPE_Video, GUID_NULL}}},
                                        {REG_PINFLAG_B_OUTPUT, {{MEDIATYPE_Video, GUID_NULL}}}});
  for (const CLSID* clsid : kFilters) {
    EXPECT_EQ(_wcsicmp(ServerOf(*clsid).c_str(), path_.c_str()), 0);
    EXPECT_EQ(Describe(ReadMapperRecord(*clsid)), record);
  }
  for (const CLSID* clsid : kPages) EXPECT_EQ(_wcsicmp(ServerOf(*clsid).c_str(), path_.c_str()), 0);
  // The planar converter's module registers the shared field-order page after us.
  const std::wstring shared = L"CLSID\\" + Text(deinterlace::CLSID_TeskFieldOrderPage) + L"\\InprocServer32";
  UniqueRegKey server;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, shared.c_str(), 0, KEY_SET_VALUE, server.put()), ERROR_SUCCESS);
  const wchar_t other[] = L"C:\\elsewhere\\PlanarPack.ax";
  RegSetValueExW(server.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof(other));

  ASSERT_EQ(Entry<DllFn>("DllUnregisterServer")(), S_OK);
  for (const CLSID* clsid : kFilters) {
    EXPECT_EQ(ServerOf(*clsid), L"<none>");
    EXPECT_FALSE(ReadMapperRecord(*clsid).found);
  }
  for (const CLSID* clsid : kPages) {
    EXPECT_EQ(ServerOf(*clsid), *clsid == deinterlace::CLSID_TeskFieldOrderPage ? std::wstring(other) : L"<none>");
  }
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Text(deinterlace::CLSID_TeskFieldOrderPage)).c_str());
}

}  // namespace

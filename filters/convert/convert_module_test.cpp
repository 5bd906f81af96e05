// The converters' module files: their filters come out of the class objects without the
// registry, registration writes the class keys, and unregistration leaves the field-order page
// alone once another module has registered it again.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/handles.h"
#include "common/testing/com_module.h"
#include "common/testing/registry_fixture.h"
#include "common/dshow.h"
#include "filters/base/testkit/mapper_record.h"
#include "filters/convert/color_convert_filter.h"
#include "filters/convert/planar_pack_filter.h"

using testing_support::ClassKey;
using testing_support::ReadString;

namespace {

std::wstring ServerOf(REFCLSID clsid) { return ReadString(ClassKey(clsid) + L"\\InprocServer32", nullptr); }

class ConverterModule : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    module_.emplace(GetParam());
    ASSERT_TRUE(module_->valid());
  }
  void TearDown() override {
    module_.reset();
    CoUninitialize();
  }
  std::optional<testing_support::ComModule> module_;
};

TEST_P(ConverterModule, CreatesItsFilterFromTheFile) {
  const CLSID clsid = std::wstring(GetParam()) == L"PlanarPack.ax" ? convert::CLSID_PlanarPack : convert::CLSID_QfaCfc;
  IClassFactory* factory = nullptr;
  ASSERT_EQ(module_->GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IBaseFilter* filter = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
  EXPECT_EQ(module_->CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(filter->Release(), 0u);
  EXPECT_EQ(module_->CanUnloadNow(), S_OK);
}

TEST_P(ConverterModule, RegistersAndUnregistersItsClasses) {
  const bool planar = std::wstring(GetParam()) == L"PlanarPack.ax";
  const CLSID filter = planar ? convert::CLSID_PlanarPack : convert::CLSID_QfaCfc;
  ASSERT_EQ(module_->Register(), S_OK);
  EXPECT_EQ(_wcsicmp(ServerOf(filter).c_str(), module_->path().c_str()), 0);
  // The planar converter registers no pins (it is only ever added by class identifier).
  EXPECT_EQ(graph_testkit::Describe(graph_testkit::ReadMapperRecord(filter)),
            planar ? graph_testkit::Describe(L"Zarn (Qfa) Planar-to-YUY2 Converter Filter", 0x200000, {})
                   : graph_testkit::Describe(L"Zarn (Qfa) Color Format Converter", 0x600000,
                                             {{0, {{MEDIATYPE_Video, MEDIASUBTYPE_IYUV}}},
                                              {REG_PINFLAG_B_OUTPUT, {{MEDIATYPE_Video, MEDIASUBTYPE_YUY2}}}}));
  if (planar) {
    EXPECT_EQ(_wcsicmp(ServerOf(convert::CLSID_PlanarFieldOrderPage).c_str(), module_->path().c_str()), 0);
    // The deinterlacing filter's module registers the same page class after us.
    UniqueRegKey server;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, (ClassKey(convert::CLSID_PlanarFieldOrderPage) + L"\\InprocServer32").c_str(),
                            0, KEY_SET_VALUE, server.put()),
              ERROR_SUCCESS);
    const wchar_t other[] = L"C:\\elsewhere\\other.ax";
    RegSetValueExW(server.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other), sizeof(other));
  }
  ASSERT_EQ(module_->Unregister(), S_OK);
  EXPECT_EQ(ServerOf(filter), L"<none>");
  if (planar) {
    EXPECT_EQ(ServerOf(convert::CLSID_PlanarFieldOrderPage), L"C:\\elsewhere\\other.ax");
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(convert::CLSID_PlanarFieldOrderPage).c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ConverterModule, ::testing::Values(L"PlanarPack.ax", L"QfaCfc.ax"));

}  // namespace

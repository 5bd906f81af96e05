// A filter module built on the base library: entry points, class factory, registration with
// the filter mapper and unregistration, under Wine's COM and filter mapper.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/testing/com_module.h"
#include "common/testing/registry_fixture.h"
#include "common/dshow.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testmodule/basetest_ids.h"

using graph_testkit::AggregatingOuter;
using testing_support::ClassKey;
using testing_support::KeyExists;
using testing_support::ReadString;

namespace {

// The registered filters that take MEDIATYPE_VornBaseTest on an input pin, by class.
int CountMatchingFilters() {
  IFilterMapper2* mapper = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                              reinterpret_cast<void**>(&mapper)))) {
    return -1;
  }
  const GUID types[2] = {MEDIATYPE_VornBaseTest, GUID_NULL};
  IEnumMoniker* found = nullptr;
  int count = 0;
  const HRESULT hr = mapper->EnumMatchingFilters(&found, 0, TRUE, MERIT_DO_NOT_USE, TRUE, 1, types, nullptr,
                                                 nullptr, FALSE, FALSE, 0, nullptr, nullptr, nullptr);
  if (SUCCEEDED(hr) && found) {
    IMoniker* moniker = nullptr;
    while (found->Next(1, &moniker, nullptr) == S_OK) {
      IPropertyBag* bag = nullptr;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
        VARIANT v;
        VariantInit(&v);
        if (SUCCEEDED(bag->Read(L"CLSID", &v, nullptr)) && v.vt == VT_BSTR) {
          CLSID clsid{};
          if (SUCCEEDED(CLSIDFromString(v.bstrVal, &clsid)) && clsid == CLSID_VornBaseTestFilter) ++count;
        }
        VariantClear(&v);
        bag->Release();
      }
      moniker->Release();
    }
    found->Release();
  }
  mapper->Release();
  return count;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    module_.emplace(L"vorn_basetest.ax");
    ASSERT_TRUE(module_->valid());
  }
  void TearDown() override {
    if (module_) module_->Unregister();
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey(CLSID_VornBaseTestPage).c_str());
    module_.reset();
    CoUninitialize();
  }
  std::optional<testing_support::ComModule> module_;
};

TEST_F(ModuleTest, RegisteredFilterIsFoundAndCreatedAndUnregistrationRemovesIt) {
  ASSERT_EQ(CountMatchingFilters(), 0);
  ASSERT_EQ(module_->Register(), S_OK);
  EXPECT_EQ(CountMatchingFilters(), 1);
  const std::wstring key = ClassKey(CLSID_VornBaseTestFilter);
  EXPECT_EQ(ReadString(key, nullptr), L"Vorn Base Test Filter");
  EXPECT_EQ(ReadString(key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(_wcsicmp(ReadString(key + L"\\InprocServer32", nullptr).c_str(), module_->path().c_str()), 0);

  IBaseFilter* filter = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_VornBaseTestFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&filter)), S_OK);
  CLSID clsid{};
  EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_VornBaseTestFilter);
  IPin* pin = nullptr;
  EXPECT_EQ(filter->FindPin(L"In", &pin), S_OK);
  pin->Release();
  EXPECT_EQ(module_->CanUnloadNow(), S_FALSE);
  EXPECT_EQ(filter->Release(), 0u);
  EXPECT_EQ(module_->CanUnloadNow(), S_OK);

  ASSERT_EQ(module_->Unregister(), S_OK);
  EXPECT_EQ(CountMatchingFilters(), 0);
  EXPECT_FALSE(KeyExists(key));
  EXPECT_FALSE(KeyExists(ClassKey(CLSID_VornBaseTestPage)));
  EXPECT_EQ(CoCreateInstance(CLSID_VornBaseTestFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&filter)), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(module_->Unregister(), S_OK);  // twice is harmless
}

TEST_F(ModuleTest, AClassKeyRegisteredAgainByAnotherModuleSurvivesUnregistration) {
  ASSERT_EQ(module_->Register(), S_OK);
  const std::wstring page = ClassKey(CLSID_VornBaseTestPage) + L"\\InprocServer32";
  const wchar_t other[] = L"C:\\windows\\other\\SharedPages.ax";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, page.c_str(), nullptr, REG_SZ, other, sizeof(other)), ERROR_SUCCESS);
  ASSERT_EQ(module_->Unregister(), S_OK);
  EXPECT_EQ(ReadString(page, nullptr), other);  // the other module's page stays registered
  EXPECT_FALSE(KeyExists(ClassKey(CLSID_VornBaseTestFilter)));
}

TEST_F(ModuleTest, ClassFactoryCreatesAggregatesAndLocks) {
  IClassFactory* factory = nullptr;
  EXPECT_EQ(module_->GetClassObject(CLSID_NULL, IID_IClassFactory, reinterpret_cast<void**>(&factory)), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(module_->GetClassObject(CLSID_VornBaseTestFilter, IID_IBaseFilter, reinterpret_cast<void**>(&factory)), E_NOINTERFACE);
  EXPECT_EQ(module_->GetClassObject(CLSID_VornBaseTestFilter, IID_IClassFactory, nullptr), E_POINTER);
  ASSERT_EQ(module_->GetClassObject(CLSID_VornBaseTestFilter, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IUnknown* p = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(factory->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&p)), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(module_->CanUnloadNow(), S_FALSE);  // a factory held keeps the module

  // Aggregation: only IUnknown may be asked for; the inner object's interfaces then delegate.
  AggregatingOuter outer;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IBaseFilter, reinterpret_cast<void**>(&p)), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  IBaseFilter* filter = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
  EXPECT_EQ(outer.refs, 2);
  IUnknown* identity = nullptr;
  ASSERT_EQ(filter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  filter->Release();
  EXPECT_EQ(outer.inner->Release(), 0u);

  IPersist* page = nullptr;
  IClassFactory* pageFactory = nullptr;
  ASSERT_EQ(module_->GetClassObject(CLSID_VornBaseTestPage, IID_IClassFactory, reinterpret_cast<void**>(&pageFactory)), S_OK);
  ASSERT_EQ(pageFactory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&page)), S_OK);
  IBaseFilter* none = nullptr;
  EXPECT_EQ(page->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  EXPECT_EQ(page->Release(), 0u);
  EXPECT_EQ(pageFactory->Release(), 0u);

  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(module_->CanUnloadNow(), S_FALSE);  // locked
  // A second factory object unlocks it (the count is the module's).
  ASSERT_EQ(module_->GetClassObject(CLSID_VornBaseTestFilter, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
  IClassFactory* cf = nullptr;
  ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
  cf->LockServer(FALSE);
  cf->LockServer(FALSE);  // unbalanced: ignored
  cf->Release();
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(module_->CanUnloadNow(), S_OK);
}

}  // namespace

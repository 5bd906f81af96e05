// A filter module built on the base library, for the tests of the class factory, the module
// entry points and registration: a one-pin filter with setup data, and a helper class without.
#include <memory>

#include "filters/base/factory.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"
#include "filters/base/testmodule/basetest_ids.h"

namespace {

class TestFilter;

class TestInputPin final : public CBaseInputPin {
 public:
  TestInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
      : CBaseInputPin(L"Test input", filter, lock, phr, L"In") {}
  HRESULT CheckMediaType(const CMediaType* type) override {
    return type && *type->Type() == MEDIATYPE_VornBaseTest ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
};

class TestFilter final : public CBaseFilter {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr) {
    auto* filter = new (std::nothrow) TestFilter(outer, phr);
    if (!filter && phr) *phr = E_OUTOFMEMORY;
    return filter;
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin_.get() : nullptr; }

 private:
  TestFilter(IUnknown* outer, HRESULT* phr)
      : CBaseFilter(L"Base test filter", outer, &lock_, CLSID_VornBaseTestFilter, phr),
        pin_(std::make_unique<TestInputPin>(this, &lock_, phr)) {}

  CCritSec lock_;
  std::unique_ptr<TestInputPin> pin_;
};

// Answers IPersist only; stands for a property page shared by two modules.
class TestPage final : public CUnknown, public IPersist {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr) {
    auto* page = new (std::nothrow) TestPage(outer);
    if (!page && phr) *phr = E_OUTOFMEMORY;
    return page;
  }
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IPersist) return GetInterface(static_cast<IPersist*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    if (!clsid) return E_POINTER;
    *clsid = CLSID_VornBaseTestPage;
    return S_OK;
  }

 private:
  explicit TestPage(IUnknown* outer) : CUnknown(L"Base test page", outer) {}
};

const AMOVIESETUP_MEDIATYPE kPinTypes[] = {{&MEDIATYPE_VornBaseTest, &MEDIASUBTYPE_NULL}};
const AMOVIESETUP_PIN kPins[] = {
    {L"In", TRUE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, kPinTypes},
};
const AMOVIESETUP_FILTER kFilterSetup = {&CLSID_VornBaseTestFilter, L"Vorn Base Test Filter",
                                         MERIT_NORMAL, 1, kPins};

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Vorn Base Test Filter", &CLSID_VornBaseTestFilter, &TestFilter::CreateInstance, nullptr, &kFilterSetup},
    {L"Vorn Base Test Page", &CLSID_VornBaseTestPage, &TestPage::CreateInstance, nullptr, nullptr},
};
VORN_FILTER_MODULE_ENTRY_POINTS()

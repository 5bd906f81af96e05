// A property-page site for page tests: records the status changes a page reports.
#pragma once

#include <vector>

#include <ocidl.h>

#include "filters/base/lock.h"
#include "filters/base/unknown.h"

namespace graph_testkit {

class StubPropertyPageSite : public CUnknown, public IPropertyPageSite {
 public:
  static StubPropertyPageSite* Create();  // one reference for the caller

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IPropertyPageSite
  STDMETHODIMP OnStatusChange(DWORD flags) override;
  STDMETHODIMP GetLocaleID(LCID* locale) override;
  STDMETHODIMP GetPageContainer(IUnknown** container) override;
  STDMETHODIMP TranslateAccelerator(MSG* msg) override;

  std::vector<DWORD> StatusChanges() const;

 private:
  StubPropertyPageSite();
  mutable CCritSec lock_;
  std::vector<DWORD> changes_;
};

}  // namespace graph_testkit

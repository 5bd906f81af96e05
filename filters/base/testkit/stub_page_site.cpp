#include "filters/base/testkit/stub_page_site.h"

namespace graph_testkit {

StubPropertyPageSite::StubPropertyPageSite() : CUnknown(L"Stub page site", nullptr) {}

StubPropertyPageSite* StubPropertyPageSite::Create() {
  auto* site = new StubPropertyPageSite;
  site->NonDelegatingAddRef();
  return site;
}

STDMETHODIMP StubPropertyPageSite::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPropertyPageSite) return GetInterface(static_cast<IPropertyPageSite*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP StubPropertyPageSite::OnStatusChange(DWORD flags) {
  CAutoLock lock(&lock_);
  changes_.push_back(flags);
  return S_OK;
}

STDMETHODIMP StubPropertyPageSite::GetLocaleID(LCID* locale) {
  if (!locale) return E_POINTER;
  *locale = LOCALE_USER_DEFAULT;
  return S_OK;
}

STDMETHODIMP StubPropertyPageSite::GetPageContainer(IUnknown** container) {
  if (container) *container = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP StubPropertyPageSite::TranslateAccelerator(MSG*) { return S_FALSE; }

std::vector<DWORD> StubPropertyPageSite::StatusChanges() const {
  CAutoLock lock(&lock_);
  return changes_;
}

}  // namespace graph_testkit

#include "filters/pacers/property_page_list.h"

#include <cstring>

#include "common/hresult.h"

PropertyPageList::PropertyPageList(const wchar_t* objectName, IUnknown* owner, HRESULT* phr)
    : CUnknown(objectName, owner, phr) {}

STDMETHODIMP PropertyPageList::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_ISpecifyPropertyPages) {
    return GetInterface(static_cast<ISpecifyPropertyPages*>(this), out);
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP PropertyPageList::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = nullptr;
  CAutoLock lock(&lock_);
  if (pages_.empty()) return S_OK;
  auto* elems = static_cast<GUID*>(CoTaskMemAlloc(pages_.size() * sizeof(GUID)));
  if (!elems) return E_OUTOFMEMORY;
  std::memcpy(elems, pages_.data(), pages_.size() * sizeof(GUID));
  pages->cElems = static_cast<ULONG>(pages_.size());
  pages->pElems = elems;
  return S_OK;
}

HRESULT PropertyPageList::AddPage(REFCLSID clsid) {
  CAutoLock lock(&lock_);
  return GuardHr(E_OUTOFMEMORY, [&] { pages_.push_back(clsid); });
}

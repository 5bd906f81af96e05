// The list of property pages a pacer names through ISpecifyPropertyPages: a sub-object of the
// filter (its IUnknown is the filter's) that answers that one interface.
#pragma once

#include <ocidl.h>

#include <vector>

#include "filters/base/lock.h"
#include "filters/base/unknown.h"

class PropertyPageList : public CUnknown, public ISpecifyPropertyPages {
 public:
  // `owner` is the filter's outer unknown (not referenced: the filter owns the list).
  PropertyPageList(const wchar_t* objectName, IUnknown* owner, HRESULT* phr);

  DECLARE_IUNKNOWN
  // ISpecifyPropertyPages only; every other identifier (IUnknown included) is refused, so the
  // list never hands out an identity of its own.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // ISpecifyPropertyPages: the listed identifiers in list order, in task memory the caller
  // frees (a null array for an empty list).
  STDMETHODIMP GetPages(CAUUID* pages) override;

  // Appends a copy of `clsid` to the list ("CLSID List"). E_OUTOFMEMORY.
  HRESULT AddPage(REFCLSID clsid);

 private:
  mutable CCritSec lock_;
  std::vector<CLSID> pages_;
};

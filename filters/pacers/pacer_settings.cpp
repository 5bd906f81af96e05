#include "filters/pacers/pacer_settings.h"

#include <new>

#include "filters/pacers/pacer_ids.h"

PacerSettings::PacerSettings(const wchar_t* objectName, IUnknown* owner, HRESULT* phr)
    : CUnknown(objectName, owner, phr) {}

STDMETHODIMP PacerSettings::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPacerSettings) return GetInterface(static_cast<IPacerSettings*>(this), out);
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(void) PacerSettings::SetAllocatorBuffers(LONG buffers) { allocatorBuffers_.Set(buffers); }
STDMETHODIMP_(LONG) PacerSettings::GetAllocatorBuffers() { return allocatorBuffers_.Get(); }
STDMETHODIMP_(void) PacerSettings::SetDelay(LONG milliseconds) { delay_.Set(milliseconds); }
STDMETHODIMP_(LONG) PacerSettings::GetDelay() { return delay_.Get(); }
STDMETHODIMP_(void) PacerSettings::SetTimeStamping(LONG on) { timeStamping_.Set(on); }
STDMETHODIMP_(LONG) PacerSettings::GetTimeStamping() { return timeStamping_.Get(); }
STDMETHODIMP_(void) PacerSettings::SetHwTimeStamp(LONG on) { hwTimeStamp_.Set(on); }
STDMETHODIMP_(LONG) PacerSettings::GetHwTimeStamp() { return hwTimeStamp_.Get(); }

HRESULT CreatePacerParts(IUnknown* owner, std::unique_ptr<PacerSettings>* settings,
                         std::unique_ptr<PropertyPageList>* pages) {
  HRESULT hr = S_OK;
  settings->reset(new (std::nothrow) PacerSettings(L"LiveSync", owner, &hr));
  if (!*settings && SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  pages->reset(new (std::nothrow) PropertyPageList(L"SpecifyPropertyPages", owner, &hr));
  if (!*pages && SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
  if (FAILED(hr)) return hr;
  return (*pages)->AddPage(CLSID_LiveSyncPage);
}

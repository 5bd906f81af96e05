// The base of the simulated card's filters: IBaseFilter plus IPersistPropertyBag, through which
// the device enumerator's BindToObject hands the filter its "DevicePath"; the filter then binds
// to the state of its card. Until then the card-dependent methods answer E_UNEXPECTED.
//
// Lock order: the filter lock, then the binding lock or the card state's lock (both leaves). The
// live pins' streaming threads take the leaves only, never the filter lock: the filter stops those
// threads (and waits for them) while it holds the filter lock.
#pragma once

#include <memory>
#include <new>
#include <string>

#include "common/dshow.h"
#include "filters/base/filter.h"
#include "sim/card/card_state.h"

namespace simcard {

class CardFilter : public CBaseFilter, public IPersistPropertyBag {
 public:
  CardFilter(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IPersist (shared by IBaseFilter and IPersistPropertyBag)
  STDMETHODIMP GetClassID(CLSID* clsid) override { return CBaseFilter::GetClassID(clsid); }

  // IPersistPropertyBag
  STDMETHODIMP InitNew() override { return S_OK; }
  // Reads "DevicePath"; E_INVALIDARG when it is missing or names no card.
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  // Writes "DevicePath" (E_UNEXPECTED before Load).
  STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

  // IMediaFilter: a start (stopped to paused) can be made to fail, on whichever filter of the
  // card the graph pauses first: SimCard_InjectFailure(path, "Pause").
  STDMETHODIMP Pause() override;

  const std::wstring& devicePath() const { return devicePath_; }
  // The frequency the card's driver is tuned to (0 when unknown): what its picture shows.
  DWORD TunedFrequency() const { return Frequency(); }
  // The card (null before Load).
  std::shared_ptr<CardState> card() const;

 protected:
  // Called once a card is bound (under the filter lock).
  virtual void OnBound() {}
  // A card-dependent method's entry: the injected failure for `method`, E_UNEXPECTED without a
  // card, else S_OK with the card in `card`.
  HRESULT Enter(const char* method, std::shared_ptr<CardState>* card) const;
  // Runs `f` on the card's kernel-streaming properties after Enter(method).
  template <class F>
  HRESULT WithKs(const char* method, F&& f) const {
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter(method, &card);
    return FAILED(hr) ? hr : f(card->ks());
  }
  // The tuned frequency from the driver stand-in (0 when unknown).
  DWORD Frequency() const;
  bool DriverCard(UINT* card) const;

  mutable CCritSec lock_;  // the filter lock

 private:
  mutable CCritSec bindLock_;  // the binding lock: devicePath_ and card_
  std::wstring devicePath_;
  std::shared_ptr<CardState> card_;
};

// Makes a filter of class T (E_OUTOFMEMORY in *phr when it cannot be allocated).
template <class T>
CUnknown* CreateCardFilter(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) T(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

// The three control filters: no pins, one interface each.
CUnknown* CreateTunerFilter(IUnknown* outer, HRESULT* phr);
CUnknown* CreateCrossbarFilter(IUnknown* outer, HRESULT* phr);
CUnknown* CreateTvAudioFilter(IUnknown* outer, HRESULT* phr);
CUnknown* CreateCaptureFilter(IUnknown* outer, HRESULT* phr);
CUnknown* CreateEncoderFilter(IUnknown* outer, HRESULT* phr);
// The second family's numbered capture and encoder (their own pin layouts).
CUnknown* CreateRulCaptureFilter(IUnknown* outer, HRESULT* phr);
CUnknown* CreateRulEncoderFilter(IUnknown* outer, HRESULT* phr);
// The third family's preview source and stand-alone encoder (pex_filters.cpp).
CUnknown* CreatePexPreviewFilter(IUnknown* outer, HRESULT* phr);
CUnknown* CreatePexEncoderFilter(IUnknown* outer, HRESULT* phr);

// Posts a graph event from every capture filter of the card `key` that sits in a graph;
// S_FALSE when none did.
HRESULT PostCaptureEvent(const std::wstring& key, long code, LONG_PTR param1, LONG_PTR param2);

}  // namespace simcard

// The pacers' settings object: four 32-bit values held in memory for the filter's life, each
// behind a lock of its own, reached through IPacerSettings. A sub-object of the filter: its
// IUnknown methods go to the filter, and it answers nothing but IPacerSettings itself.
#pragma once

#include <memory>

#include "filters/base/lock.h"
#include "filters/base/unknown.h"
#include "filters/include/filter_interfaces.h"
#include "filters/pacers/property_page_list.h"

class PacerSettings : public CUnknown, public IPacerSettings {
 public:
  // `owner` is the filter's outer unknown (not referenced: the filter owns the settings).
  PacerSettings(const wchar_t* objectName, IUnknown* owner, HRESULT* phr);

  DECLARE_IUNKNOWN
  // IPacerSettings only (E_NOINTERFACE for IUnknown too: the filter's identity is the filter's).
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IPacerSettings: no range checks; every access takes only its own value's lock.
  STDMETHODIMP_(void) SetAllocatorBuffers(LONG buffers) override;
  STDMETHODIMP_(LONG) GetAllocatorBuffers() override;
  STDMETHODIMP_(void) SetDelay(LONG milliseconds) override;
  STDMETHODIMP_(LONG) GetDelay() override;
  STDMETHODIMP_(void) SetTimeStamping(LONG on) override;
  STDMETHODIMP_(LONG) GetTimeStamping() override;
  STDMETHODIMP_(void) SetHwTimeStamp(LONG on) override;
  STDMETHODIMP_(LONG) GetHwTimeStamp() override;

 private:
  // One value and its lock: a reader always sees a whole value; no lock spans two values.
  class Value {
   public:
    explicit Value(LONG initial) : value_(initial) {}
    void Set(LONG v) {
      CAutoLock lock(&lock_);
      value_ = v;
    }
    LONG Get() const {
      CAutoLock lock(&lock_);
      return value_;
    }

   private:
    mutable CCritSec lock_;
    LONG value_;
  };

  Value allocatorBuffers_{0};  // buffers the video pacer asks of upstream; 0: no request
  Value delay_{0};             // ms added to every time stamp (may be negative)
  Value timeStamping_{1};      // the pacer writes time stamps
  Value hwTimeStamp_{0};       // stamps start from the sample's own (hardware) times
};

// The sub-objects both pacers carry, made in their constructors: the settings ("LiveSync") and
// the page list ("SpecifyPropertyPages") naming the live sync page, each with the filter's
// outer unknown `owner`. The first failure (E_OUTOFMEMORY, a sub-object's) is returned; what
// was made stays for the destructor.
HRESULT CreatePacerParts(IUnknown* owner, std::unique_ptr<PacerSettings>* settings,
                         std::unique_ptr<PropertyPageList>* pages);

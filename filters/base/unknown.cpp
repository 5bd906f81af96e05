#include "filters/base/unknown.h"

namespace {
std::atomic<long> g_liveObjects{0};

// This thread's innermost deferral, in a slot of the system's thread-local storage of this
// module's own (the compiler's thread_local goes through the threads library, which may make a
// kernel object of its own on first use).
class DeferralSlot {
 public:
  DeferralSlot() : index_(TlsAlloc()) {}
  ~DeferralSlot() {
    if (index_ != TLS_OUT_OF_INDEXES) TlsFree(index_);
  }
  LastReleaseDeferral* Get() const {
    return index_ == TLS_OUT_OF_INDEXES ? nullptr : static_cast<LastReleaseDeferral*>(TlsGetValue(index_));
  }
  bool Set(LastReleaseDeferral* deferral) const {
    return index_ != TLS_OUT_OF_INDEXES && TlsSetValue(index_, deferral);
  }

 private:
  const DWORD index_;
};

// Made as the module loads (no object of this module exists before), freed as it unloads.
const DeferralSlot g_slot;
const DeferralSlot& Slot() { return g_slot; }
}  // namespace

CUnknown::CUnknown(const wchar_t* objectName, IUnknown* outer, HRESULT*)
    : name_(objectName),
      owner_(outer ? outer
                   : reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this))) {
  ++g_liveObjects;
}

CUnknown::~CUnknown() { --g_liveObjects; }

long CUnknown::ObjectCount() noexcept { return g_liveObjects.load(); }

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown) {
    return GetInterface(reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(this)), out);
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() {
  return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  const long left = --m_cRef;
  if (left == 0 && !LastReleaseDeferral::Defer(this)) DestroyReleased();
  return static_cast<ULONG>(left);
}

void CUnknown::DestroyReleased() {
  m_cRef = 1;
  delete this;
}

LastReleaseDeferral::LastReleaseDeferral(CUnknown* object) : object_(object), outer_(Slot().Get()) {
  Slot().Set(this);
}

LastReleaseDeferral::~LastReleaseDeferral() {
  Slot().Set(outer_);
  if (released_) object_->DestroyReleased();
}

bool LastReleaseDeferral::Released() noexcept {
  const LastReleaseDeferral* deferral = Slot().Get();
  return deferral && deferral->released_;
}

bool LastReleaseDeferral::Defer(CUnknown* object) noexcept {
  for (LastReleaseDeferral* deferral = Slot().Get(); deferral; deferral = deferral->outer_) {
    if (deferral->object_ == object) {
      deferral->released_ = true;
      return true;
    }
  }
  return false;
}

HRESULT GetInterface(IUnknown* p, void** out) {
  if (!out) return E_POINTER;
  *out = p;
  p->AddRef();
  return S_OK;
}

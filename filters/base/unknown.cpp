#include "filters/base/unknown.h"

namespace {
std::atomic<long> g_liveObjects{0};
thread_local LastReleaseDeferral* t_deferral = nullptr;  // this thread's innermost deferral
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

LastReleaseDeferral::LastReleaseDeferral(CUnknown* object) : object_(object), outer_(t_deferral) {
  t_deferral = this;
}

LastReleaseDeferral::~LastReleaseDeferral() {
  t_deferral = outer_;
  if (released_) object_->DestroyReleased();
}

bool LastReleaseDeferral::Released() noexcept { return t_deferral && t_deferral->released_; }

bool LastReleaseDeferral::Defer(CUnknown* object) noexcept {
  for (LastReleaseDeferral* deferral = t_deferral; deferral; deferral = deferral->outer_) {
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

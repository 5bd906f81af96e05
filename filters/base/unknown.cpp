#include "filters/base/unknown.h"

namespace {
std::atomic<long> g_liveObjects{0};
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
  if (left == 0) {
    // A destructor that hands out and drops a reference to itself must not delete twice.
    m_cRef = 1;
    delete this;
  }
  return static_cast<ULONG>(left);
}

HRESULT GetInterface(IUnknown* p, void** out) {
  if (!out) return E_POINTER;
  *out = p;
  p->AddRef();
  return S_OK;
}

#include "filters/base/filter.h"

#include <cwchar>
#include <new>

#include "filters/base/pin.h"

namespace {

// IEnumPins over CBaseFilter::GetPin. Holds a reference on the filter.
class CEnumPins final : public SingleInterfaceObject<CEnumPins, IEnumPins, IID_IEnumPins> {
 public:
  CEnumPins(CBaseFilter* filter, int position, long version)
      : filter_(filter), position_(position), version_(version) {
    filter_->GetOwner()->AddRef();
  }
  ~CEnumPins() { filter_->GetOwner()->Release(); }

  STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override {
    if (!pins) return E_POINTER;
    if (!fetched && count != 1) return E_INVALIDARG;
    if (fetched) *fetched = 0;
    if (OutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG got = 0;
    while (got < count) {
      CBasePin* pin = position_ < filter_->GetPinCount() ? filter_->GetPin(position_) : nullptr;
      if (!pin) break;
      ++position_;
      pins[got] = pin;
      pin->AddRef();
      ++got;
    }
    if (fetched) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    if (OutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    const int left = filter_->GetPinCount() - position_;
    if (static_cast<long long>(count) > left) {
      position_ += left;
      return S_FALSE;
    }
    position_ += static_cast<int>(count);
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    version_ = filter_->GetPinVersion();
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumPins** copy) override {
    if (!copy) return E_POINTER;
    *copy = nullptr;
    if (OutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    auto* e = new (std::nothrow) CEnumPins(filter_, position_, version_);
    if (!e) return E_OUTOFMEMORY;
    *copy = e;
    return S_OK;
  }

 private:
  bool OutOfSync() const { return version_ != filter_->GetPinVersion(); }

  CBaseFilter* const filter_;
  int position_;
  long version_;
};

}  // namespace

CBaseFilter::CBaseFilter(const wchar_t* objectName, IUnknown* outer, CCritSec* lock, REFCLSID clsid,
                         HRESULT* phr)
    : CUnknown(objectName, outer, phr), m_clsid(clsid), m_pLock(lock) {}

CBaseFilter::~CBaseFilter() {
  if (m_pClock) m_pClock->Release();
}

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IBaseFilter) return GetInterface(static_cast<IBaseFilter*>(this), out);
  if (iid == IID_IMediaFilter) return GetInterface(static_cast<IMediaFilter*>(this), out);
  if (iid == IID_IPersist) return GetInterface(static_cast<IPersist*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CBaseFilter::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = m_clsid;
  return S_OK;
}

STDMETHODIMP CBaseFilter::Stop() {
  CAutoLock lock(m_pLock);
  HRESULT result = S_OK;
  if (m_State != State_Stopped) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        const HRESULT hr = pin->Inactive();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
      }
    }
  }
  m_State = State_Stopped;
  return result;
}

STDMETHODIMP CBaseFilter::Pause() {
  CAutoLock lock(m_pLock);
  if (m_State == State_Stopped) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        const HRESULT hr = pin->Active();
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_State = State_Paused;
  return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME tStart) {
  CAutoLock lock(m_pLock);
  m_tStart = tStart;
  if (m_State == State_Stopped) {
    const HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (m_State != State_Running) {
    const int count = GetPinCount();
    for (int i = 0; i < count; ++i) {
      CBasePin* pin = GetPin(i);
      if (pin && pin->IsConnected()) {
        const HRESULT hr = pin->Run(tStart);
        if (FAILED(hr)) return hr;
      }
    }
  }
  m_State = State_Running;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
  if (!state) return E_POINTER;
  *state = m_State;
  return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* clock) {
  CAutoLock lock(m_pLock);
  CAutoLock clockLock(&m_clockLock);
  if (clock) clock->AddRef();
  if (m_pClock) m_pClock->Release();
  m_pClock = clock;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** clock) {
  if (!clock) return E_POINTER;
  CAutoLock lock(&m_clockLock);
  *clock = m_pClock;
  if (m_pClock) m_pClock->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** pins) {
  if (!pins) return E_POINTER;
  *pins = new (std::nothrow) CEnumPins(this, 0, GetPinVersion());
  return *pins ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR id, IPin** pin) {
  if (!id || !pin) return E_POINTER;
  *pin = nullptr;
  CAutoLock lock(m_pLock);
  const int count = GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin* candidate = GetPin(i);
    if (!candidate) continue;
    LPWSTR candidateId = nullptr;
    if (SUCCEEDED(candidate->QueryId(&candidateId)) && candidateId) {
      const bool same = wcscmp(candidateId, id) == 0;
      CoTaskMemFree(candidateId);
      if (same) {
        *pin = candidate;
        candidate->AddRef();
        return S_OK;
      }
    }
  }
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
  if (!info) return E_POINTER;
  CAutoLock lock(m_pLock);
  const size_t n = m_pName.size() < MAX_FILTER_NAME - 1 ? m_pName.size() : MAX_FILTER_NAME - 1;
  wmemcpy(info->achName, m_pName.c_str(), n);
  info->achName[n] = L'\0';
  info->pGraph = m_pGraph;
  if (m_pGraph) m_pGraph->AddRef();  // the caller's reference, released by the caller
  return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  CAutoLock lock(m_pLock);
  m_pGraph = graph;
  m_pSink = nullptr;
  if (graph) {
    IMediaEventSink* sink = nullptr;
    if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) && sink) {
      m_pSink = sink;
      sink->Release();  // weak, as the graph itself
    }
    m_pName = name ? name : L"";
  } else {
    m_pName.clear();
  }
  return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR* vendorInfo) {
  if (vendorInfo) *vendorInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT CBaseFilter::NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2) {
  IMediaEventSink* sink = m_pSink;
  if (!sink) return E_NOTIMPL;
  if (code == EC_COMPLETE && param2 == 0) param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
  return sink->Notify(code, param1, param2);
}

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& now) {
  IReferenceClock* clock = nullptr;
  {
    CAutoLock lock(&m_clockLock);
    clock = m_pClock;
    if (clock) clock->AddRef();
  }
  if (!clock) return VFW_E_NO_CLOCK;
  REFERENCE_TIME t = 0;
  const HRESULT hr = clock->GetTime(&t);
  clock->Release();
  if (FAILED(hr)) return hr;
  now = t - m_tStart;
  return S_OK;
}

#include "filters/base/pin.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace {

// IEnumMediaTypes over CBasePin::GetMediaType. Holds a reference on the pin (its filter).
class CEnumMediaTypes final
    : public SingleInterfaceObject<CEnumMediaTypes, IEnumMediaTypes, IID_IEnumMediaTypes> {
 public:
  CEnumMediaTypes(CBasePin* pin, int position, long version)
      : pin_(pin), position_(position), version_(version) {
    pin_->AddRef();
  }
  ~CEnumMediaTypes() { pin_->Release(); }

  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
    if (!types) return E_POINTER;
    if (!fetched && count != 1) return E_INVALIDARG;
    if (fetched) *fetched = 0;
    if (OutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    ULONG got = 0;
    while (got < count) {
      CMediaType type;
      if (pin_->GetMediaType(position_, &type) != S_OK) break;
      AM_MEDIA_TYPE* copy = CreateMediaType(&type);
      if (!copy) {
        for (ULONG i = 0; i < got; ++i) {
          DeleteMediaType(types[i]);
          types[i] = nullptr;
        }
        return E_OUTOFMEMORY;
      }
      types[got++] = copy;
      ++position_;
    }
    if (fetched) *fetched = got;
    return got == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    if (OutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    for (ULONG i = 0; i < count; ++i) {
      CMediaType type;
      if (pin_->GetMediaType(position_, &type) != S_OK) return S_FALSE;
      ++position_;
    }
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    version_ = pin_->GetMediaTypeVersion();
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumMediaTypes** copy) override {
    if (!copy) return E_POINTER;
    *copy = nullptr;
    if (OutOfSync()) return VFW_E_ENUM_OUT_OF_SYNC;
    auto* e = new (std::nothrow) CEnumMediaTypes(pin_, position_, version_);
    if (!e) return E_OUTOFMEMORY;
    *copy = e;
    return S_OK;
  }

 private:
  bool OutOfSync() const { return version_ != pin_->GetMediaTypeVersion(); }

  CBasePin* const pin_;
  int position_;
  long version_;
};

// Where a connection attempt failed: the peer as such, the type, or the set-up afterwards.
enum class AttemptFailure { None, Peer, Type, Setup };

bool IsTypeRefusal(HRESULT hr) { return SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG; }

}  // namespace

CBasePin::CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr,
                   const wchar_t* pinName, PIN_DIRECTION direction)
    : CUnknown(objectName, nullptr, phr),
      m_pName(pinName ? pinName : L""),
      m_dir(direction),
      m_pLock(lock),
      m_pFilter(filter) {}

CBasePin::~CBasePin() {
  if (m_Connected) m_Connected->Release();
}

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPin) return GetInterface(static_cast<IPin*>(this), out);
  if (iid == IID_IQualityControl) return GetInterface(static_cast<IQualityControl*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() { return m_pFilter->GetOwner()->AddRef(); }

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() { return m_pFilter->GetOwner()->Release(); }

STDMETHODIMP CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) {
  if (!receivePin) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  if (!type) return AgreeMediaType(receivePin, nullptr);
  HRESULT hr = S_OK;
  CMediaType partial(*type, &hr);
  if (FAILED(hr)) return hr;
  return AgreeMediaType(receivePin, &partial);
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const CMediaType* partial) {
  if (partial && !partial->IsPartiallySpecified()) return AttemptConnection(receivePin, partial);

  // Our own types first, then the peer's; a refusal of the peer itself ends the search.
  bool peerRefused = false;
  HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
  IEnumMediaTypes* mine = nullptr;
  if (SUCCEEDED(EnumMediaTypes(&mine)) && mine) {
    result = TryMediaTypes(receivePin, partial, mine, &peerRefused);
    mine->Release();
    if (SUCCEEDED(result) || peerRefused) return result;
  }
  IEnumMediaTypes* theirs = nullptr;
  if (SUCCEEDED(receivePin->EnumMediaTypes(&theirs)) && theirs) {
    const HRESULT hr = TryMediaTypes(receivePin, partial, theirs, &peerRefused);
    theirs->Release();
    // A set-up failure with our types says more than "no type fitted" with theirs.
    if (SUCCEEDED(hr) || peerRefused || hr != VFW_E_NO_ACCEPTABLE_TYPES) result = hr;
  }
  return result;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const CMediaType* partial, IEnumMediaTypes* types,
                                bool* peerRefused) {
  HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
  bool resetOnce = false;
  for (;;) {
    AM_MEDIA_TYPE* next = nullptr;
    ULONG fetched = 0;
    const HRESULT hr = types->Next(1, &next, &fetched);
    if (hr == VFW_E_ENUM_OUT_OF_SYNC && !resetOnce) {
      resetOnce = true;
      types->Reset();
      continue;
    }
    if (hr != S_OK || fetched != 1 || !next) break;
    HRESULT copied = S_OK;
    CMediaType candidate(*next, &copied);
    DeleteMediaType(next);
    if (FAILED(copied)) return copied;
    if (partial && !candidate.MatchesPartial(partial)) continue;
    const HRESULT attempt = AttemptConnection(receivePin, &candidate, peerRefused);
    if (SUCCEEDED(attempt) || *peerRefused) return attempt;
    if (attempt == VFW_E_NO_ACCEPTABLE_TYPES || attempt == VFW_E_TYPE_NOT_ACCEPTED) continue;
    result = attempt;  // a set-up failure: remembered, the next type may still work
  }
  return result;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType* type, bool* peerRefused) {
  HRESULT hr = CheckConnect(receivePin);
  if (FAILED(hr)) {
    BreakConnect();
    if (peerRefused) *peerRefused = true;
    return hr;
  }
  hr = CheckMediaType(type);
  if (hr != S_OK) {
    BreakConnect();
    return IsTypeRefusal(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
  }
  m_Connected = receivePin;
  m_Connected->AddRef();
  AttemptFailure failure = AttemptFailure::None;
  hr = SetMediaType(type);
  if (FAILED(hr)) {
    failure = AttemptFailure::Setup;
  } else {
    hr = receivePin->ReceiveConnection(static_cast<IPin*>(this), type);
    if (FAILED(hr)) {
      failure = AttemptFailure::Type;
    } else {
      hr = CompleteConnect(receivePin);
      if (FAILED(hr)) {
        failure = AttemptFailure::Setup;
        receivePin->Disconnect();  // the peer had accepted
      }
    }
  }
  if (failure == AttemptFailure::None) return S_OK;
  BreakConnect();
  DisconnectInternal();
  return failure == AttemptFailure::Type ? VFW_E_TYPE_NOT_ACCEPTED : hr;
}

void CBasePin::DisconnectInternal() {
  if (m_Connected) {
    m_Connected->Release();
    m_Connected = nullptr;
  }
  m_mt = CMediaType();
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  if (!connector || !type) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  HRESULT hr = CheckConnect(connector);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  CMediaType mt(*type, &hr);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  hr = CheckMediaType(&mt);
  if (hr != S_OK) {
    BreakConnect();
    return IsTypeRefusal(hr) ? VFW_E_TYPE_NOT_ACCEPTED : hr;
  }
  m_Connected = connector;
  m_Connected->AddRef();
  hr = SetMediaType(&mt);
  if (SUCCEEDED(hr)) hr = CompleteConnect(connector);
  if (FAILED(hr)) {
    BreakConnect();
    DisconnectInternal();
    return hr;
  }
  return S_OK;
}

STDMETHODIMP CBasePin::Disconnect() {
  CAutoLock lock(m_pLock);
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  if (!m_Connected) return S_FALSE;
  const HRESULT hr = BreakConnect();
  if (FAILED(hr)) return hr;
  DisconnectInternal();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectedTo(IPin** pin) {
  if (!pin) return E_POINTER;
  CAutoLock lock(m_pLock);
  *pin = m_Connected;
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  m_Connected->AddRef();
  return S_OK;
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (!m_Connected) {
    *type = AM_MEDIA_TYPE{};
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(type, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* info) {
  if (!info) return E_POINTER;
  info->pFilter = static_cast<IBaseFilter*>(m_pFilter);
  info->pFilter->AddRef();
  const size_t n = m_pName.size() < MAX_PIN_NAME - 1 ? m_pName.size() : MAX_PIN_NAME - 1;
  wmemcpy(info->achName, m_pName.c_str(), n);
  info->achName[n] = L'\0';
  info->dir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* direction) {
  if (!direction) return E_POINTER;
  *direction = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR* id) {
  if (!id) return E_POINTER;
  const size_t bytes = (m_pName.size() + 1) * sizeof(wchar_t);
  *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (!*id) return E_OUTOFMEMORY;
  std::memcpy(*id, m_pName.c_str(), bytes);
  return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  HRESULT hr = S_OK;
  CMediaType mt(*type, &hr);
  if (FAILED(hr)) return hr;
  hr = CheckMediaType(&mt);
  return hr == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return E_POINTER;
  *types = new (std::nothrow) CEnumMediaTypes(this, 0, GetMediaTypeVersion());
  return *types ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin** pins, ULONG* count) {
  (void)pins;
  (void)count;
  return E_NOTIMPL;
}

STDMETHODIMP CBasePin::EndOfStream() { return S_OK; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  m_tStart = start;
  m_tStop = stop;
  m_dRate = rate;
  return S_OK;
}

STDMETHODIMP CBasePin::Notify(IBaseFilter* sender, Quality q) {
  IQualityControl* sink = m_pQSink;
  return sink ? sink->Notify(sender, q) : E_NOTIMPL;
}

STDMETHODIMP CBasePin::SetSink(IQualityControl* sink) {
  m_pQSink = sink;
  return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin* pin) {
  PIN_DIRECTION direction = PINDIR_INPUT;
  const HRESULT hr = pin->QueryDirection(&direction);
  if (FAILED(hr)) return hr;
  return direction == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::SetMediaType(const CMediaType* type) { return m_mt.Set(*type); }

HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }

HRESULT CBasePin::BreakConnect() { return S_OK; }

HRESULT CBasePin::GetMediaType(int, CMediaType*) { return VFW_S_NO_MORE_ITEMS; }

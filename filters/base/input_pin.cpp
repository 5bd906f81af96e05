#include "filters/base/pin.h"

#include <new>

CBaseInputPin::CBaseInputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock,
                             HRESULT* phr, const wchar_t* pinName)
    : CBasePin(objectName, filter, lock, phr, pinName, PINDIR_INPUT) {}

CBaseInputPin::~CBaseInputPin() {
  if (m_pAllocator) m_pAllocator->Release();
}

STDMETHODIMP CBaseInputPin::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IMemInputPin) return GetInterface(static_cast<IMemInputPin*>(this), out);
  return CBasePin::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  *allocator = nullptr;
  CAutoLock lock(m_pLock);
  if (!m_pAllocator) {
    HRESULT hr = S_OK;
    auto* created = new (std::nothrow) CMemAllocator(L"Input pin allocator", nullptr, &hr);
    if (!created) return E_OUTOFMEMORY;
    if (FAILED(hr)) {
      delete created;
      return hr;
    }
    created->NonDelegatingAddRef();
    hr = created->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&m_pAllocator));
    created->NonDelegatingRelease();
    if (FAILED(hr)) return hr;
  }
  *allocator = m_pAllocator;
  m_pAllocator->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
  if (!allocator) return E_POINTER;
  CAutoLock lock(m_pLock);
  allocator->AddRef();
  if (m_pAllocator) m_pAllocator->Release();
  m_pAllocator = allocator;
  m_bReadOnly = readOnly != FALSE;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT CBaseInputPin::CheckStreaming() {
  if (!IsConnected()) return VFW_E_NOT_CONNECTED;
  if (IsStopped()) return VFW_E_WRONG_STATE;
  if (m_bFlushing) return S_FALSE;
  if (m_bRunTimeError) return VFW_E_RUNTIME_ERROR;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;

  IMediaSample2* sample2 = nullptr;
  if (SUCCEEDED(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2))) && sample2) {
    hr = sample2->GetProperties(sizeof(m_SampleProps), reinterpret_cast<BYTE*>(&m_SampleProps));
    sample2->Release();
    if (FAILED(hr)) return hr;
  } else {
    // A sample without IMediaSample2: the same record from IMediaSample. Its type is not kept
    // (GetMediaType hands out a copy); only the flag is, the check below asks again.
    m_SampleProps = AM_SAMPLE2_PROPERTIES{};
    m_SampleProps.cbData = sizeof(m_SampleProps);
    m_SampleProps.lActual = sample->GetActualDataLength();
    m_SampleProps.cbBuffer = sample->GetSize();
    sample->GetPointer(&m_SampleProps.pbBuffer);
    const HRESULT timeHr = sample->GetTime(&m_SampleProps.tStart, &m_SampleProps.tStop);
    if (SUCCEEDED(timeHr)) {
      m_SampleProps.dwSampleFlags |= AM_SAMPLE_TIMEVALID;
      if (timeHr == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_STOPVALID;
    }
    if (sample->IsSyncPoint() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_SPLICEPOINT;
    if (sample->IsPreroll() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_PREROLL;
    if (sample->IsDiscontinuity() == S_OK) m_SampleProps.dwSampleFlags |= AM_SAMPLE_DATADISCONTINUITY;
  }

  // A length the buffer cannot hold is a broken sample: no filter of ours reads it.
  if (m_SampleProps.lActual < 0 || m_SampleProps.lActual > m_SampleProps.cbBuffer) return VFW_E_BUFFER_OVERFLOW;

  // A changed type must be one we accept. With IMediaSample2 the record points at the sample's
  // own type (valid while the caller holds the sample); otherwise we ask for a copy.
  AM_MEDIA_TYPE* copy = nullptr;
  const AM_MEDIA_TYPE* changed = nullptr;
  if (m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) changed = m_SampleProps.pMediaType;
  if ((!sample2 || ((m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && !changed)) &&
      sample->GetMediaType(&copy) == S_OK && copy) {
    changed = copy;
    m_SampleProps.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
  }
  if (!sample2) m_SampleProps.pMediaType = nullptr;  // never points at the copy freed below
  if (m_SampleProps.dwSampleFlags & AM_SAMPLE_TYPECHANGED) {
    HRESULT accepted = E_POINTER;
    if (changed) {
      accepted = S_OK;
      CMediaType mt(*changed, &accepted);
      if (SUCCEEDED(accepted)) accepted = CheckMediaType(&mt);
    }
    DeleteMediaType(copy);
    if (accepted != S_OK) {
      // A type we cannot take in the middle of the stream ends it.
      m_bRunTimeError = true;
      EndOfStream();
      m_pFilter->NotifyEvent(EC_ERRORABORT, VFW_E_TYPE_NOT_ACCEPTED, 0);
      return VFW_E_INVALIDMEDIATYPE;
    }
  } else {
    DeleteMediaType(copy);
  }
  return S_OK;
}

STDMETHODIMP CBaseInputPin::ReceiveMultiple(IMediaSample** samples, long count, long* processed) {
  if (!samples || !processed) return E_POINTER;
  *processed = 0;
  HRESULT hr = S_OK;
  for (long i = 0; i < count; ++i) {
    hr = Receive(samples[i]);
    if (hr != S_OK) break;
    ++*processed;
  }
  return hr;
}

STDMETHODIMP CBaseInputPin::ReceiveCanBlock() {
  // We block when a downstream pin of ours may block; a filter without outputs (a renderer)
  // may block itself.
  int outputs = 0;
  const int count = m_pFilter->GetPinCount();
  for (int i = 0; i < count; ++i) {
    CBasePin* pin = m_pFilter->GetPin(i);
    PIN_DIRECTION direction = PINDIR_INPUT;
    if (!pin || FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) continue;
    ++outputs;
    IPin* peer = nullptr;
    if (FAILED(pin->ConnectedTo(&peer)) || !peer) continue;
    IMemInputPin* input = nullptr;
    HRESULT hr = peer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
    peer->Release();
    if (FAILED(hr) || !input) continue;
    hr = input->ReceiveCanBlock();
    input->Release();
    if (hr != S_FALSE) return S_OK;
  }
  return outputs == 0 ? S_OK : S_FALSE;
}

STDMETHODIMP CBaseInputPin::BeginFlush() {
  CAutoLock lock(m_pLock);
  m_bFlushing = true;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::EndFlush() {
  CAutoLock lock(m_pLock);
  m_bFlushing = false;
  m_bRunTimeError = false;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::EndOfStream() { return CheckStreaming(); }

HRESULT CBaseInputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  m_bReadOnly = false;
  return S_OK;
}

HRESULT CBaseInputPin::Inactive() {
  m_bRunTimeError = false;
  m_bFlushing = false;
  return m_pAllocator ? m_pAllocator->Decommit() : S_OK;
}

#include "filters/base/transform.h"

#include <cstddef>
#include <new>
#include <optional>

HRESULT CopySampleProperties(IMediaSample* in, const AM_SAMPLE2_PROPERTIES& props, bool discontinuity,
                             IMediaSample* out) {
  if (!in || !out) return E_POINTER;
  const bool timeValid = (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) != 0;
  const bool stopValid = (props.dwSampleFlags & AM_SAMPLE_STOPVALID) != 0;
  REFERENCE_TIME start = props.tStart;
  REFERENCE_TIME stop = props.tStop;
  // Everything is set explicitly: a recycled buffer keeps nothing of the sample it carried.
  HRESULT hr = out->SetTime(timeValid ? &start : nullptr, timeValid && stopValid ? &stop : nullptr);
  LONGLONG mediaStart = 0, mediaStop = 0;
  if (SUCCEEDED(hr)) {
    if (in->GetMediaTime(&mediaStart, &mediaStop) == S_OK) {
      hr = out->SetMediaTime(&mediaStart, &mediaStop);
    } else {
      hr = out->SetMediaTime(nullptr, nullptr);
    }
  }
  if (SUCCEEDED(hr)) hr = out->SetSyncPoint((props.dwSampleFlags & AM_SAMPLE_SPLICEPOINT) != 0);
  if (SUCCEEDED(hr)) hr = out->SetPreroll((props.dwSampleFlags & AM_SAMPLE_PREROLL) != 0);
  if (SUCCEEDED(hr)) {
    hr = out->SetDiscontinuity((props.dwSampleFlags & AM_SAMPLE_DATADISCONTINUITY) != 0 || discontinuity);
  }
  if (FAILED(hr)) return hr;
  IMediaSample2* out2 = nullptr;
  if (FAILED(out->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&out2))) || !out2) return S_OK;
  AM_SAMPLE2_PROPERTIES outProps{};
  hr = out2->GetProperties(sizeof(outProps), reinterpret_cast<BYTE*>(&outProps));
  if (SUCCEEDED(hr) && (outProps.dwTypeSpecificFlags != props.dwTypeSpecificFlags ||
                        outProps.dwStreamId != props.dwStreamId)) {
    outProps.dwTypeSpecificFlags = props.dwTypeSpecificFlags;
    outProps.dwStreamId = props.dwStreamId;
    // The buffer fields are read-only: only the record up to them is written.
    const DWORD writable = offsetof(AM_SAMPLE2_PROPERTIES, pbBuffer);
    outProps.cbData = writable;
    hr = out2->SetProperties(writable, reinterpret_cast<const BYTE*>(&outProps));
  }
  out2->Release();
  return hr;
}

// --- Input pin -----------------------------------------------------------------------------------

CTransformInputPin::CTransformInputPin(const wchar_t* objectName, CTransformFilter* filter, HRESULT* phr,
                                       const wchar_t* pinName)
    : CBaseInputPin(objectName, filter, filter->pStateLock(), phr, pinName), m_pTransformFilter(filter) {}

STDMETHODIMP CTransformInputPin::Receive(IMediaSample* sample) {
  CAutoLock lock(m_pTransformFilter->ReceiveLock());
  CTransformOutputPin* output = m_pTransformFilter->OutputPin();
  if (!output || !output->IsConnected()) return VFW_E_NOT_CONNECTED;
  HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return m_pTransformFilter->Receive(sample);
}

STDMETHODIMP CTransformInputPin::EndOfStream() {
  CAutoLock lock(m_pTransformFilter->ReceiveLock());
  const HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  return m_pTransformFilter->EndOfStream();
}

STDMETHODIMP CTransformInputPin::BeginFlush() {
  CAutoLock lock(m_pLock);
  CTransformOutputPin* output = m_pTransformFilter->OutputPin();
  if (!IsConnected() || !output || !output->IsConnected()) return VFW_E_NOT_CONNECTED;
  // Receive refuses from here on; the flush downstream releases a Receive blocked there.
  const HRESULT hr = CBaseInputPin::BeginFlush();
  if (FAILED(hr)) return hr;
  return m_pTransformFilter->BeginFlush();
}

STDMETHODIMP CTransformInputPin::EndFlush() {
  CAutoLock lock(m_pLock);
  CTransformOutputPin* output = m_pTransformFilter->OutputPin();
  if (!IsConnected() || !output || !output->IsConnected()) return VFW_E_NOT_CONNECTED;
  // A Receive that was under way when the flush began has returned before the flush ends, so
  // nothing of the old stream reaches downstream after its EndFlush.
  CAutoLock receive(m_pTransformFilter->ReceiveLock());
  const HRESULT hr = m_pTransformFilter->EndFlush();
  if (FAILED(hr)) return hr;
  return CBaseInputPin::EndFlush();
}

STDMETHODIMP CTransformInputPin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  CBasePin::NewSegment(start, stop, rate);
  return m_pTransformFilter->NewSegment(start, stop, rate);
}

HRESULT CTransformInputPin::CheckConnect(IPin* pin) {
  const HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_INPUT, pin);
  if (FAILED(hr)) return hr;
  return CBaseInputPin::CheckConnect(pin);
}

HRESULT CTransformInputPin::BreakConnect() {
  m_pTransformFilter->BreakConnect(PINDIR_INPUT);
  return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* receivePin) {
  const HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, receivePin);
  if (FAILED(hr)) return hr;
  return CBaseInputPin::CompleteConnect(receivePin);
}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  HRESULT hr = m_pTransformFilter->CheckInputType(type);
  if (hr != S_OK) return hr;
  CTransformOutputPin* output = m_pTransformFilter->OutputPin();
  if (output && output->IsConnected()) hr = m_pTransformFilter->CheckTransform(type, &output->CurrentMediaType());
  return hr;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* type) {
  const HRESULT hr = CBaseInputPin::SetMediaType(type);
  if (FAILED(hr)) return hr;
  return m_pTransformFilter->SetMediaType(PINDIR_INPUT, type);
}

// --- Output pin ----------------------------------------------------------------------------------

CTransformOutputPin::CTransformOutputPin(const wchar_t* objectName, CTransformFilter* filter, HRESULT* phr,
                                         const wchar_t* pinName)
    : CBaseOutputPin(objectName, filter, filter->pStateLock(), phr, pinName), m_pTransformFilter(filter) {}

HRESULT CTransformOutputPin::CheckConnect(IPin* pin) {
  CTransformInputPin* input = m_pTransformFilter->InputPin();
  if (!input || !input->IsConnected()) return E_UNEXPECTED;
  const HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_OUTPUT, pin);
  if (FAILED(hr)) return hr;
  return CBaseOutputPin::CheckConnect(pin);
}

HRESULT CTransformOutputPin::BreakConnect() {
  m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
  return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* receivePin) {
  const HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, receivePin);
  if (FAILED(hr)) return hr;
  return CBaseOutputPin::CompleteConnect(receivePin);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  CTransformInputPin* input = m_pTransformFilter->InputPin();
  if (!input || !input->IsConnected()) return E_UNEXPECTED;
  return m_pTransformFilter->CheckTransform(&input->CurrentMediaType(), type);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* type) {
  const HRESULT hr = CBaseOutputPin::SetMediaType(type);
  if (FAILED(hr)) return hr;
  return m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, type);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* type) {
  CTransformInputPin* input = m_pTransformFilter->InputPin();
  if (!input || !input->IsConnected()) return VFW_S_NO_MORE_ITEMS;
  return m_pTransformFilter->GetMediaType(position, type);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  return m_pTransformFilter->DecideBufferSize(allocator, request);
}

STDMETHODIMP CTransformOutputPin::Notify(IBaseFilter* sender, Quality q) {
  (void)sender;
  const HRESULT hr = m_pTransformFilter->AlterQuality(q);
  if (hr != S_FALSE) return hr;
  // Not handled here: upstream, to the input pin's peer. Without the filter's lock: a renderer
  // may send this from within the Receive that a Stop holding that lock waits for, and the
  // connection cannot change while samples flow.
  CTransformInputPin* input = m_pTransformFilter->InputPin();
  if (!input) return E_FAIL;
  IQualityControl* sink = nullptr;
  if (IPin* peer = input->GetConnected()) peer->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&sink));
  if (!sink) return VFW_E_NOT_FOUND;
  const HRESULT result = sink->Notify(static_cast<IBaseFilter*>(m_pTransformFilter), q);
  sink->Release();
  return result;
}

// --- Filter --------------------------------------------------------------------------------------

CTransformFilter::CTransformFilter(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, HRESULT* phr)
    : CBaseFilter(objectName, outer, &m_csFilter, clsid, phr) {}

CTransformFilter::~CTransformFilter() {
  delete m_pInput;
  delete m_pOutput;
}

CTransformInputPin* CTransformFilter::CreateInputPin(HRESULT* phr) {
  return new (std::nothrow) CTransformInputPin(L"Transform input pin", this, phr, L"XForm In");
}

CTransformOutputPin* CTransformFilter::CreateOutputPin(HRESULT* phr) {
  return new (std::nothrow) CTransformOutputPin(L"Transform output pin", this, phr, L"XForm Out");
}

CBasePin* CTransformFilter::GetPin(int n) {
  {
    CAutoLock lock(&m_csFilter);
    if (!m_pInput || !m_pOutput) {
      HRESULT hr = S_OK;
      if (!m_pInput) m_pInput = CreateInputPin(&hr);
      if (m_pInput && SUCCEEDED(hr) && !m_pOutput) m_pOutput = CreateOutputPin(&hr);
      if (!m_pInput || !m_pOutput || FAILED(hr)) {
        // Both pins or neither.
        delete m_pInput;
        delete m_pOutput;
        m_pInput = nullptr;
        m_pOutput = nullptr;
        return nullptr;
      }
      // No new pin version: the filter always counts two pins, creating them on first use
      // changes nothing an enumerator has seen.
    }
  }
  if (n == 0) return m_pInput;
  if (n == 1) return m_pOutput;
  return nullptr;
}

STDMETHODIMP CTransformFilter::Stop() {
  CAutoLock lock(&m_csFilter);
  if (m_State == State_Stopped) return S_OK;
  if (!m_pInput || !m_pInput->IsConnected() || !m_pOutput->IsConnected()) {
    m_State = State_Stopped;
    m_bEOSDelivered = false;
    return S_OK;
  }
  // The input side first: its allocator is decommitted, so upstream gets no new buffers and a
  // Receive blocked downstream is released when downstream stops (it stops before us).
  m_pInput->Inactive();
  CAutoLock receive(&m_csReceive);
  m_pOutput->Inactive();
  const HRESULT hr = StopStreaming();
  if (SUCCEEDED(hr)) {
    m_State = State_Stopped;
    m_bEOSDelivered = false;
  }
  return hr;
}

STDMETHODIMP CTransformFilter::Pause() {
  CAutoLock lock(&m_csFilter);
  if (m_State == State_Paused) return S_OK;
  GetPin(0);  // the pins exist from here on
  if (!m_pInput || !m_pOutput) return E_OUTOFMEMORY;
  if (!m_pInput->IsConnected()) {
    // Nothing will ever come in: downstream hears the end of the stream at once, so that a
    // graph with an unconnected branch can still complete.
    if (m_pOutput->IsConnected() && !m_bEOSDelivered) {
      m_pOutput->DeliverEndOfStream();
      m_bEOSDelivered = true;
    }
    m_State = State_Paused;
    return S_OK;
  }
  if (!m_pOutput->IsConnected()) {
    m_State = State_Paused;
    return S_OK;
  }
  const bool starting = m_State == State_Stopped;
  if (starting) {
    CAutoLock receive(&m_csReceive);
    m_bSampleSkipped = false;
    m_bQualityChanged = false;
    const HRESULT hr = StartStreaming();
    if (FAILED(hr)) return hr;
  }
  const HRESULT hr = CBaseFilter::Pause();
  if (FAILED(hr) && starting) {
    // The pins could not become active (an allocator refused to commit): undo the start.
    m_pInput->Inactive();
    m_pOutput->Inactive();
    CAutoLock receive(&m_csReceive);
    StopStreaming();
    m_State = State_Stopped;
  }
  return hr;
}

HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) { return E_UNEXPECTED; }

void CTransformFilter::NoteSkippedSample() {
  m_bSampleSkipped = true;
  if (!m_bQualityChanged) {
    m_bQualityChanged = true;
    NotifyEvent(EC_QUALITY_CHANGE, 0, 0);
  }
}

HRESULT CTransformFilter::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  // Samples of another stream (control data) pass unchanged.
  if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->Deliver(sample);

  IMediaSample* out = nullptr;
  HRESULT hr = InitializeOutputSample(sample, &out);
  if (FAILED(hr)) return hr;
  hr = ReceiveTypeChanges(out);
  if (SUCCEEDED(hr)) hr = Transform(sample, out);
  if (hr == S_OK) {
    hr = m_pOutput->Deliver(out);
    m_bSampleSkipped = false;
  } else if (hr == S_FALSE) {
    // Skipped by agreement: not an end of stream for upstream.
    NoteSkippedSample();
    hr = S_OK;
  }
  out->Release();
  return hr;
}

HRESULT CTransformFilter::ReceiveTypeChanges(IMediaSample* out) {
  const AM_MEDIA_TYPE* in = m_pInput->SampleProps()->pMediaType;
  AM_MEDIA_TYPE* attached = nullptr;
  if (out->GetMediaType(&attached) != S_OK) attached = nullptr;
  if (!in && !attached) return S_OK;
  std::optional<CMediaType> upstream, downstream;
  if (in) upstream.emplace(*in);
  if (attached) {
    downstream.emplace(*attached);
    DeleteMediaType(attached);
  }
  return StreamTypeChange(upstream ? &*upstream : nullptr, downstream ? &*downstream : nullptr);
}

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* in, IMediaSample** out) {
  if (!in || !out) return E_POINTER;
  *out = nullptr;
  const AM_SAMPLE2_PROPERTIES& props = *m_pInput->SampleProps();
  const bool timeValid = (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) != 0;
  const bool stopValid = (props.dwSampleFlags & AM_SAMPLE_STOPVALID) != 0;
  REFERENCE_TIME start = props.tStart;
  REFERENCE_TIME stop = props.tStop;

  DWORD flags = m_bSampleSkipped ? AM_GBF_PREVFRAMESKIPPED : 0;
  if (!(props.dwSampleFlags & AM_SAMPLE_SPLICEPOINT)) flags |= AM_GBF_NOTASYNCPOINT;
  IMediaSample* sample = nullptr;
  HRESULT hr = m_pOutput->GetDeliveryBuffer(&sample, timeValid ? &start : nullptr,
                                            timeValid && stopValid ? &stop : nullptr, flags);
  if (FAILED(hr)) return hr;
  if (!sample) return E_UNEXPECTED;

  hr = CopySampleProperties(in, props, m_bSampleSkipped, sample);
  if (FAILED(hr)) {
    sample->Release();
    return hr;
  }
  *out = sample;
  return S_OK;
}

HRESULT CTransformFilter::EndOfStream() { return m_pOutput ? m_pOutput->DeliverEndOfStream() : E_UNEXPECTED; }

HRESULT CTransformFilter::BeginFlush() { return m_pOutput ? m_pOutput->DeliverBeginFlush() : E_UNEXPECTED; }

HRESULT CTransformFilter::EndFlush() { return m_pOutput ? m_pOutput->DeliverEndFlush() : E_UNEXPECTED; }

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  return m_pOutput ? m_pOutput->DeliverNewSegment(start, stop, rate) : E_UNEXPECTED;
}

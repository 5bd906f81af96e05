#include "filters/base/transinplace.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A new memory allocator with one reference for the caller.
HRESULT CreateOwnAllocator(IMemAllocator** allocator) {
  *allocator = nullptr;
  HRESULT hr = S_OK;
  auto* created = new (std::nothrow) CMemAllocator(L"In-place output allocator", nullptr, &hr);
  if (!created) return E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete created;
    return hr;
  }
  created->NonDelegatingAddRef();
  hr = created->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(allocator));
  created->NonDelegatingRelease();
  return hr;
}

// Sizes `target` at least like `model` (count, size, alignment); E_FAIL when it grants less.
HRESULT MatchProperties(IMemAllocator* model, IMemAllocator* target) {
  ALLOCATOR_PROPERTIES wanted{};
  HRESULT hr = model->GetProperties(&wanted);
  if (FAILED(hr)) return hr;
  wanted.cBuffers = std::max<LONG>(wanted.cBuffers, 1);
  wanted.cbAlign = std::max<LONG>(wanted.cbAlign, 1);
  ALLOCATOR_PROPERTIES actual{};
  hr = target->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  if (actual.cBuffers < wanted.cBuffers || actual.cbBuffer < wanted.cbBuffer || actual.cbAlign < wanted.cbAlign) {
    return E_FAIL;
  }
  return S_OK;
}

}  // namespace

// --- Input pin -----------------------------------------------------------------------------------

CTransInPlaceInputPin::CTransInPlaceInputPin(const wchar_t* objectName, CTransInPlaceFilter* filter, HRESULT* phr,
                                             const wchar_t* pinName)
    : CTransformInputPin(objectName, filter, phr, pinName), m_pTIPFilter(filter) {}

STDMETHODIMP CTransInPlaceInputPin::GetAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  *allocator = nullptr;
  CAutoLock lock(m_pLock);
  CTransInPlaceOutputPin* output = m_pTIPFilter->InPlaceOutput();
  if (output && output->IsConnected() && output->ConnectedIMemInputPin()) {
    // Upstream fills downstream's buffers directly.
    if (SUCCEEDED(output->ConnectedIMemInputPin()->GetAllocator(allocator)) && *allocator) return S_OK;
    *allocator = nullptr;
  }
  return CBaseInputPin::GetAllocator(allocator);
}

STDMETHODIMP CTransInPlaceInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
  if (!allocator) return E_POINTER;
  CAutoLock lock(m_pLock);
  CTransInPlaceOutputPin* output = m_pTIPFilter->InPlaceOutput();
  IMemInputPin* downstream = output && output->IsConnected() ? output->ConnectedIMemInputPin() : nullptr;
  if (!downstream) return CBaseInputPin::NotifyAllocator(allocator, readOnly);

  // Downstream shares the allocator unless we would write into read-only buffers.
  HRESULT hr = E_FAIL;
  if (!(readOnly && m_pTIPFilter->ModifiesData())) {
    hr = downstream->NotifyAllocator(allocator, readOnly);
    if (SUCCEEDED(hr)) output->SetAllocator(allocator);
  }
  if (FAILED(hr)) {
    // Every sample will be copied: the output needs buffers of its own, as large as upstream's.
    IMemAllocator* own = output->Allocator();
    if (own && own != allocator) {
      own->AddRef();
    } else {
      own = nullptr;
      if (FAILED(downstream->GetAllocator(&own)) || own == allocator) {
        if (own) own->Release();
        own = nullptr;
        hr = CreateOwnAllocator(&own);
        if (FAILED(hr)) return hr;
      }
    }
    hr = MatchProperties(allocator, own);
    if (SUCCEEDED(hr)) hr = downstream->NotifyAllocator(own, FALSE);
    if (SUCCEEDED(hr)) output->SetAllocator(own);
    own->Release();
    if (FAILED(hr)) return hr;
  }
  return CBaseInputPin::NotifyAllocator(allocator, readOnly);
}

STDMETHODIMP CTransInPlaceInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
  if (!props) return E_POINTER;
  CTransInPlaceOutputPin* output = m_pTIPFilter->InPlaceOutput();
  IMemInputPin* downstream = output && output->IsConnected() ? output->ConnectedIMemInputPin() : nullptr;
  return downstream ? downstream->GetAllocatorRequirements(props) : E_NOTIMPL;
}

STDMETHODIMP CTransInPlaceInputPin::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return E_POINTER;
  *types = nullptr;
  CTransInPlaceOutputPin* output = m_pTIPFilter->InPlaceOutput();
  IPin* peer = output ? output->GetConnected() : nullptr;
  if (!peer) return VFW_E_NOT_CONNECTED;
  return peer->EnumMediaTypes(types);
}

HRESULT CTransInPlaceInputPin::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  const HRESULT hr = m_pTIPFilter->CheckInputType(type);
  if (hr != S_OK) return hr;
  CTransInPlaceOutputPin* output = m_pTIPFilter->InPlaceOutput();
  IPin* peer = output ? output->GetConnected() : nullptr;
  if (peer && peer->QueryAccept(type) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

// --- Output pin ----------------------------------------------------------------------------------

CTransInPlaceOutputPin::CTransInPlaceOutputPin(const wchar_t* objectName, CTransInPlaceFilter* filter,
                                               HRESULT* phr, const wchar_t* pinName)
    : CTransformOutputPin(objectName, filter, phr, pinName), m_pTIPFilter(filter) {}

STDMETHODIMP CTransInPlaceOutputPin::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return E_POINTER;
  *types = nullptr;
  CTransInPlaceInputPin* input = m_pTIPFilter->InPlaceInput();
  IPin* peer = input ? input->GetConnected() : nullptr;
  if (!peer) return VFW_E_NOT_CONNECTED;
  return peer->EnumMediaTypes(types);
}

HRESULT CTransInPlaceOutputPin::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  // Copying while active: the buffers were sized for the current type.
  if (!IsStopped() && m_pTIPFilter->UsingDifferentAllocators()) {
    return *type == CurrentMediaType() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  const HRESULT hr = m_pTIPFilter->CheckInputType(type);
  if (hr != S_OK) return hr;
  CTransInPlaceInputPin* input = m_pTIPFilter->InPlaceInput();
  IPin* peer = input ? input->GetConnected() : nullptr;
  if (peer && peer->QueryAccept(type) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CTransInPlaceOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
  if (!pin || !allocator) return E_POINTER;
  *allocator = nullptr;
  CTransInPlaceInputPin* input = m_pTIPFilter->InPlaceInput();
  IMemAllocator* upstream = input ? input->PeekAllocator() : nullptr;
  const bool mustCopy = input && input->IsReadOnly() && m_pTIPFilter->ModifiesData();
  if (upstream && !mustCopy && SUCCEEDED(pin->NotifyAllocator(upstream, input->IsReadOnly()))) {
    *allocator = upstream;
    upstream->AddRef();
    return S_OK;
  }
  HRESULT hr = CBaseOutputPin::DecideAllocator(pin, allocator);
  if (FAILED(hr) || !mustCopy || *allocator != upstream) return hr;
  // Downstream handed back upstream's read-only allocator: copies need other buffers.
  (*allocator)->Release();
  *allocator = nullptr;
  hr = CreateOwnAllocator(allocator);
  if (SUCCEEDED(hr)) hr = MatchProperties(upstream, *allocator);
  if (SUCCEEDED(hr)) hr = pin->NotifyAllocator(*allocator, FALSE);
  if (FAILED(hr) && *allocator) {
    (*allocator)->Release();
    *allocator = nullptr;
  }
  return hr;
}

void CTransInPlaceOutputPin::SetAllocator(IMemAllocator* allocator) {
  if (allocator) allocator->AddRef();
  if (m_pAllocator) m_pAllocator->Release();
  m_pAllocator = allocator;
}

// --- Filter --------------------------------------------------------------------------------------

CTransInPlaceFilter::CTransInPlaceFilter(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, HRESULT* phr,
                                         bool modifiesData)
    : CTransformFilter(objectName, outer, clsid, phr), m_bModifiesData(modifiesData) {}

CTransformInputPin* CTransInPlaceFilter::CreateInputPin(HRESULT* phr) {
  return new (std::nothrow) CTransInPlaceInputPin(L"In-place input pin", this, phr, L"Input");
}

CTransformOutputPin* CTransInPlaceFilter::CreateOutputPin(HRESULT* phr) {
  return new (std::nothrow) CTransInPlaceOutputPin(L"In-place output pin", this, phr, L"Output");
}

bool CTransInPlaceFilter::UsingDifferentAllocators() const {
  if (!m_pInput || !m_pOutput) return false;
  IMemAllocator* in = m_pInput->PeekAllocator();
  IMemAllocator* out = m_pOutput->Allocator();
  return in && out && in != out;
}

HRESULT CTransInPlaceFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  ALLOCATOR_PROPERTIES wanted = *request;
  ALLOCATOR_PROPERTIES upstream{};
  IMemAllocator* in = m_pInput ? m_pInput->PeekAllocator() : nullptr;
  if (in && SUCCEEDED(in->GetProperties(&upstream))) {
    wanted.cBuffers = std::max(wanted.cBuffers, upstream.cBuffers);
    wanted.cbBuffer = std::max(wanted.cbBuffer, upstream.cbBuffer);
    wanted.cbAlign = std::max(wanted.cbAlign, upstream.cbAlign);
  } else if (m_pInput) {
    wanted.cbBuffer = std::max<LONG>(wanted.cbBuffer, static_cast<LONG>(m_pInput->CurrentMediaType().GetSampleSize()));
  }
  wanted.cBuffers = std::max<LONG>(wanted.cBuffers, 1);
  wanted.cbBuffer = std::max<LONG>(wanted.cbBuffer, 1);
  wanted.cbAlign = std::max<LONG>(wanted.cbAlign, 1);
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = allocator->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  return actual.cBuffers >= wanted.cBuffers && actual.cbBuffer >= wanted.cbBuffer ? S_OK : E_FAIL;
}

HRESULT CTransInPlaceFilter::CompleteConnect(PIN_DIRECTION direction, IPin*) {
  if (!m_pInput || !m_pOutput) return E_UNEXPECTED;
  if (direction == PINDIR_OUTPUT) {
    if (m_pInput->IsConnected() && m_pInput->CurrentMediaType() != m_pOutput->CurrentMediaType()) {
      return ReconnectPin(m_pInput, &m_pOutput->CurrentMediaType());
    }
  } else if (m_pOutput->IsConnected() && m_pInput->CurrentMediaType() != m_pOutput->CurrentMediaType()) {
    return ReconnectPin(m_pOutput, &m_pInput->CurrentMediaType());
  }
  return S_OK;
}

HRESULT CTransInPlaceFilter::ReconnectPin(IPin* pin, const AM_MEDIA_TYPE* type) {
  IFilterGraph* graph = GetFilterGraph();
  if (!graph) return VFW_E_NOT_IN_GRAPH;
  IFilterGraph2* graph2 = nullptr;
  if (SUCCEEDED(graph->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&graph2))) && graph2) {
    const HRESULT hr = graph2->ReconnectEx(pin, type);
    graph2->Release();
    return hr;
  }
  return graph->Reconnect(pin);
}

HRESULT CTransInPlaceFilter::Copy(IMediaSample* source, IMediaSample** copy) {
  if (!source || !copy) return E_POINTER;
  *copy = nullptr;
  const AM_SAMPLE2_PROPERTIES& props = *m_pInput->SampleProps();
  const bool timeValid = (props.dwSampleFlags & AM_SAMPLE_TIMEVALID) != 0;
  const bool stopValid = (props.dwSampleFlags & AM_SAMPLE_STOPVALID) != 0;
  REFERENCE_TIME start = props.tStart;
  REFERENCE_TIME stop = props.tStop;
  DWORD flags = (props.dwSampleFlags & AM_SAMPLE_SPLICEPOINT) ? 0 : AM_GBF_NOTASYNCPOINT;
  IMediaSample* sample = nullptr;
  HRESULT hr = m_pOutput->GetDeliveryBuffer(&sample, timeValid ? &start : nullptr,
                                            timeValid && stopValid ? &stop : nullptr, flags);
  if (FAILED(hr)) return hr;
  if (!sample) return E_UNEXPECTED;

  const LONG length = source->GetActualDataLength();
  BYTE* from = nullptr;
  BYTE* to = nullptr;
  if (length < 0 || length > sample->GetSize()) {
    hr = VFW_E_BUFFER_OVERFLOW;
  } else {
    hr = source->GetPointer(&from);
    if (SUCCEEDED(hr)) hr = sample->GetPointer(&to);
  }
  if (SUCCEEDED(hr) && length > 0) {
    if (from && to) {
      std::memcpy(to, from, static_cast<size_t>(length));
    } else {
      hr = E_POINTER;
    }
  }
  if (SUCCEEDED(hr)) hr = sample->SetActualDataLength(length);
  if (SUCCEEDED(hr)) hr = CopySampleProperties(source, props, false, sample);
  if (SUCCEEDED(hr)) {
    // A type change travels with the copy; without one the buffer keeps what its allocator
    // gave it (downstream's own request, or nothing).
    AM_MEDIA_TYPE* type = nullptr;
    if (source->GetMediaType(&type) == S_OK && type) {
      hr = sample->SetMediaType(type);
      DeleteMediaType(type);
    }
  }
  if (FAILED(hr)) {
    sample->Release();
    return hr;
  }
  *copy = sample;
  return S_OK;
}

HRESULT CTransInPlaceFilter::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  if (m_pInput->SampleProps()->dwStreamId != AM_STREAM_MEDIA) return m_pOutput->Deliver(sample);

  const bool copy = UsingDifferentAllocators() || (m_pInput->IsReadOnly() && m_bModifiesData);
  IMediaSample* work = sample;
  if (copy) {
    const HRESULT hr = Copy(sample, &work);
    if (FAILED(hr)) return hr;
  }
  HRESULT hr = Transform(work);
  if (hr == S_OK) {
    hr = m_pOutput->Deliver(work);
  } else if (hr == S_FALSE) {
    NoteSkippedSample();
    hr = S_OK;
  }
  if (copy) work->Release();
  return hr;
}

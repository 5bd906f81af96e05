#include "filters/base/pin.h"

#include <new>

CBaseOutputPin::CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock,
                               HRESULT* phr, const wchar_t* pinName)
    : CBasePin(objectName, filter, lock, phr, pinName, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() {
  if (m_pAllocator) m_pAllocator->Release();
  if (m_pInputPin) m_pInputPin->Release();
}

HRESULT CBaseOutputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  IMemInputPin* input = nullptr;
  hr = pin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
  if (FAILED(hr) || !input) return VFW_E_NO_TRANSPORT;
  if (m_pInputPin) m_pInputPin->Release();
  m_pInputPin = input;
  return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*) {
  if (!m_pInputPin) return VFW_E_NO_TRANSPORT;
  return DecideAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
  if (!pin || !allocator) return E_POINTER;
  *allocator = nullptr;
  ALLOCATOR_PROPERTIES required{};
  if (FAILED(pin->GetAllocatorRequirements(&required))) required = ALLOCATOR_PROPERTIES{};
  if (required.cbAlign == 0) required.cbAlign = 1;

  // The peer's allocator first (some renderers, VMR-9 among them, offer none).
  HRESULT hr = pin->GetAllocator(allocator);
  if (SUCCEEDED(hr) && *allocator) {
    ALLOCATOR_PROPERTIES props = required;
    hr = DecideBufferSize(*allocator, &props);
    if (SUCCEEDED(hr)) hr = pin->NotifyAllocator(*allocator, FALSE);
    if (SUCCEEDED(hr)) return S_OK;
  }
  if (*allocator) {
    (*allocator)->Release();
    *allocator = nullptr;
  }

  hr = InitAllocator(allocator);
  if (FAILED(hr)) return hr;
  ALLOCATOR_PROPERTIES props = required;
  hr = DecideBufferSize(*allocator, &props);
  if (SUCCEEDED(hr)) hr = pin->NotifyAllocator(*allocator, FALSE);
  if (FAILED(hr)) {
    (*allocator)->Release();
    *allocator = nullptr;
  }
  return hr;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  *allocator = nullptr;
  HRESULT hr = S_OK;
  auto* created = new (std::nothrow) CMemAllocator(L"Output pin allocator", nullptr, &hr);
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

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start,
                                          REFERENCE_TIME* stop, DWORD flags) {
  if (!sample) return E_POINTER;
  *sample = nullptr;
  IMemAllocator* allocator = m_pAllocator;
  if (!allocator) return VFW_E_NOT_CONNECTED;
  return allocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
  IMemInputPin* input = m_pInputPin;
  if (!input) return VFW_E_NOT_CONNECTED;
  return input->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
  IPin* peer = m_Connected;
  return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
  IPin* peer = m_Connected;
  return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
  IPin* peer = m_Connected;
  return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  IPin* peer = m_Connected;
  return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

HRESULT CBaseOutputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pAllocator->Release();
    m_pAllocator = nullptr;
  }
  if (m_pInputPin) {
    m_pInputPin->Release();
    m_pInputPin = nullptr;
  }
  return S_OK;
}

HRESULT CBaseOutputPin::Active() {
  return m_pAllocator ? m_pAllocator->Commit() : VFW_E_NO_ALLOCATOR;
}

HRESULT CBaseOutputPin::Inactive() {
  return m_pAllocator ? m_pAllocator->Decommit() : S_OK;
}

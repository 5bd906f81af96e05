#include "filters/source/source_filter.h"

#include <wrl/client.h>

#include <atomic>
#include <new>

#include "filters/base/bitmap_dump.h"
#include "filters/base/registry_value.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/trace.h"
#include "filters/source/transmit_frame.h"

using Microsoft::WRL::ComPtr;

namespace vsrc {

namespace {

// Dump file numbers: counted per module, back to 0 whenever the dump switch mutex is gone.
std::atomic<int> g_dumpCounter{0};

// The registry type is not looked at: four bytes are the switch.
DWORD ReadDumpSetting() {
  return ReadFourByteValue(RegistryKeyPath(WideString(kSourceSettingsKey)), kOutputBitmapValue, 0);
}

// A platform type handed to us by value (its blocks are ours to free) into a CMediaType.
HRESULT AdoptType(AM_MEDIA_TYPE& given, CMediaType* target) {
  const HRESULT hr = target->Set(given);
  FreeMediaType(given);
  return hr;
}

}  // namespace

// ---- KelvTransmit ------------------------------------------------------------------------------

KelvTransmit::KelvTransmit(VideoOutputPin* pin, HRESULT* phr)
    : CUnknown(L"KelvTransmit", pin->GetOwner(), phr), pin_(pin), dumpSetting_(ReadDumpSetting()) {
  const HRESULT hr = MakeDefaultTransmitType(&transmitType_);
  if (FAILED(hr) && phr && SUCCEEDED(*phr)) *phr = hr;
}

STDMETHODIMP KelvTransmit::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IKelvTransmit) return GetInterface(static_cast<IKelvTransmit*>(this), out);
  *out = nullptr;
  return E_NOINTERFACE;
}

HRESULT KelvTransmit::GetTransmitType(CMediaType* type) const {
  if (!type) return E_POINTER;
  CAutoLock lock(&typeLock_);
  return type->Set(transmitType_);
}

STDMETHODIMP KelvTransmit::SetMediaType(const AM_MEDIA_TYPE* type) {
  TraceScope scope(ModuleTrace(), L"KelvTransmit::SetMediaType()");
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    CAutoLock lock(&lock_);
    if (!type) return E_POINTER;
    CMediaType derived;
    CMediaType fallback;
    {
      CAutoLock typeLock(&typeLock_);
      RETURN_IF_FAILED(derived.Set(transmitType_));
    }
    // The type returns to the default first: a refused type leaves the default behind.
    RETURN_IF_FAILED(MakeDefaultTransmitType(&fallback));
    {
      CAutoLock typeLock(&typeLock_);
      RETURN_IF_FAILED(transmitType_.Set(fallback));
    }
    RETURN_IF_FAILED(DeriveOutputType(*type, &derived));
    CAutoLock typeLock(&typeLock_);
    return transmitType_.Set(derived);
  });
}

STDMETHODIMP KelvTransmit::Transmit(IMediaSample* sample) {
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    CAutoLock lock(&lock_);
    ComPtr<IPin> peer;
    ComPtr<IMemAllocator> allocator;
    ComPtr<IMemInputPin> input;
    RETURN_IF_FAILED(pin_->StreamingPeers(&peer, &allocator, &input));
    AM_MEDIA_TYPE given{};
    RETURN_IF_FAILED(peer->ConnectionMediaType(&given));
    CMediaType connection;
    RETURN_IF_FAILED(AdoptType(given, &connection));
    CMediaType transmit;
    RETURN_IF_FAILED(GetTransmitType(&transmit));

    ComPtr<IMediaSample> buffer;
    HRESULT hr = allocator->GetBuffer(&buffer, nullptr, nullptr, AM_GBF_NOWAIT);
    if (hr == VFW_E_TIMEOUT) return S_FALSE;  // the renderer never waits: the frame is dropped
    RETURN_IF_FAILED(hr);
    if (!buffer) return E_POINTER;

    RETURN_IF_FAILED(CopyProperties(sample, buffer.Get(), &connection));
    RETURN_IF_FAILED(CopyPixels(sample, buffer.Get(), transmit, connection));
    RETURN_IF_FAILED(buffer->SetTime(nullptr, nullptr));
    RETURN_IF_FAILED(input->Receive(buffer.Get()));
    DumpFrame(buffer.Get(), connection);
    return S_OK;
  });
}

HRESULT KelvTransmit::CopyProperties(IMediaSample* input, IMediaSample* output, CMediaType* connection) {
  if (!output || !connection) return E_POINTER;
  AM_SAMPLE2_PROPERTIES in{};
  AM_SAMPLE2_PROPERTIES out{};
  ComPtr<IMediaSample2> input2;
  ComPtr<IMediaSample2> output2;
  if (input) {
    RETURN_IF_FAILED(input->QueryInterface(IID_PPV_ARGS(&input2)));
    RETURN_IF_FAILED(input2->GetProperties(sizeof(in), reinterpret_cast<BYTE*>(&in)));
  }
  RETURN_IF_FAILED(output->QueryInterface(IID_PPV_ARGS(&output2)));
  RETURN_IF_FAILED(output2->GetProperties(sizeof(out), reinterpret_cast<BYTE*>(&out)));

  // A type on the buffer is the downstream's format change: the frame is written for it.
  const bool outputCarriesType = out.pMediaType != nullptr;
  if (outputCarriesType) RETURN_IF_FAILED(connection->Set(*out.pMediaType));
  if (!input) return S_OK;

  out.dwTypeSpecificFlags = in.dwTypeSpecificFlags;
  out.dwSampleFlags = in.dwSampleFlags & ~AM_SAMPLE_TYPECHANGED;
  if (in.pMediaType && SUCCEEDED(DeriveOutputType(*in.pMediaType, connection))) {
    // The renderer's type changed: downstream learns the new rate and aspect with this frame.
    RETURN_IF_FAILED(attachedType_.Set(*connection));
    out.pMediaType = &attachedType_;
    out.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
  } else if (outputCarriesType) {
    out.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
  } else {
    out.pMediaType = nullptr;
  }
  out.cbData = sizeof(out);
  return output2->SetProperties(sizeof(out), reinterpret_cast<const BYTE*>(&out));
}

HRESULT KelvTransmit::CopyPixels(IMediaSample* input, IMediaSample* output, const CMediaType& transmit,
                                 const CMediaType& connection) {
  if (!output) return E_POINTER;
  FrameCopy copy;
  copy.inHeader = GetBitmapInfoHeader(&transmit);
  copy.outHeader = GetBitmapInfoHeader(&connection);
  if (!copy.inHeader || !copy.outHeader) return VFW_E_INVALIDMEDIATYPE;
  if (input) {
    ComPtr<IMediaSample2> input2;
    AM_SAMPLE2_PROPERTIES props{};
    RETURN_IF_FAILED(input->QueryInterface(IID_PPV_ARGS(&input2)));
    RETURN_IF_FAILED(input2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)));
    copy.dropFirstRow = (props.dwTypeSpecificFlags & AM_VIDEO_FLAG_FIELD1FIRST) != 0;
    BYTE* source = nullptr;
    RETURN_IF_FAILED(input->GetPointer(&source));
    const LONG actual = input->GetActualDataLength();
    const LONG size = input->GetSize();
    copy.source = source;
    copy.sourceBytes = static_cast<std::size_t>(std::max<LONG>(0, std::min(actual, size)));
    if (!copy.source) return E_POINTER;
  }
  BYTE* destination = nullptr;
  RETURN_IF_FAILED(output->GetPointer(&destination));
  copy.destination = destination;
  copy.destinationBytes = static_cast<std::size_t>(std::max<LONG>(0, output->GetSize()));
  LONG rows = 0;
  RETURN_IF_FAILED(CopyFrameRows(copy, &rows));
  const LONG outPitch = copy.outHeader->biWidth > 0 ? copy.outHeader->biWidth * 2 : 0;
  return output->SetActualDataLength(outPitch * rows);
}

void KelvTransmit::DumpFrame(IMediaSample* output, const CMediaType& connection) {
  if (dumpSetting_ == 0 || !output) return;
  NamedMutex probe(kDumpMutexName);
  if (!probe.AlreadyExists()) {
    g_dumpCounter = 0;
    return;
  }
  BitmapDump::WriteFrame(output, &connection, kDumpFolder, kDumpPrefix, g_dumpCounter++);
}

// ---- VideoOutputPin ----------------------------------------------------------------------------

VideoOutputPin::VideoOutputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
    : CBaseOutputPin(L"VideoOutputPin", filter, lock, phr, L"Video Output"), transmit_(this, phr) {}

VideoOutputPin::~VideoOutputPin() = default;

STDMETHODIMP VideoOutputPin::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IKelvTransmit) return transmit_.NonDelegatingQueryInterface(iid, out);
  return CBaseOutputPin::NonDelegatingQueryInterface(iid, out);
}

HRESULT VideoOutputPin::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return transmit_.GetTransmitType(type);
}

HRESULT VideoOutputPin::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  CMediaType mine;
  RETURN_IF_FAILED(transmit_.GetTransmitType(&mine));
  if (*type->Type() != *mine.Type()) return VFW_E_INVALIDMEDIATYPE;
  if (*type->Subtype() != *mine.Subtype()) return VFW_E_INVALIDSUBTYPE;
  if (*type->FormatType() != *mine.FormatType()) return VFW_E_NO_ACCEPTABLE_TYPES;
  return S_OK;
}

HRESULT VideoOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  CMediaType mine;
  RETURN_IF_FAILED(transmit_.GetTransmitType(&mine));
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&mine);
  if (!header) return VFW_E_NO_ACCEPTABLE_TYPES;
  ALLOCATOR_PROPERTIES wanted = *request;
  wanted.cBuffers = request->cBuffers >= 2 ? request->cBuffers : 2;
  wanted.cbBuffer = std::max<LONG>(request->cbBuffer, static_cast<LONG>(header->biSizeImage));
  ALLOCATOR_PROPERTIES actual{};
  return allocator->SetProperties(&wanted, &actual);
}

HRESULT VideoOutputPin::CompleteConnect(IPin* receivePin) {
  TraceScope scope(ModuleTrace(), L"VideoOutputPin::CompleteConnect()");
  return CBaseOutputPin::CompleteConnect(receivePin);
}

HRESULT VideoOutputPin::BreakConnect() {
  TraceScope scope(ModuleTrace(), L"VideoOutputPin::BreakConnect()");
  return CBaseOutputPin::BreakConnect();
}

STDMETHODIMP VideoOutputPin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

HRESULT VideoOutputPin::StreamingPeers(IPin** peer, IMemAllocator** allocator, IMemInputPin** input) {
  if (!peer || !allocator || !input) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (!m_Connected || !m_pAllocator || !m_pInputPin) return VFW_E_NOT_CONNECTED;
  (*peer = m_Connected)->AddRef();
  (*allocator = m_pAllocator)->AddRef();
  (*input = m_pInputPin)->AddRef();
  return S_OK;
}

// ---- SourceFilter ------------------------------------------------------------------------------

SourceFilter::SourceFilter(IUnknown* outer, HRESULT* phr)
    : CBaseFilter(L"SourceFilter", outer, &lock_, CLSID_VornSourceFilter, phr) {
  TraceScope scope(ModuleTrace(), L"SourceFilter::SourceFilter()");
}

SourceFilter::~SourceFilter() {
  TraceScope scope(ModuleTrace(), L"SourceFilter::~SourceFilter()");
  pin_.reset();
}

CUnknown* SourceFilter::CreateInstance(IUnknown* outer, HRESULT* phr) {
  TraceScope scope(ModuleTrace(), L"SourceFilter::CreateInstance()");
  auto* filter = new (std::nothrow) SourceFilter(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

CBasePin* SourceFilter::GetPin(int n) {
  CAutoLock lock(&lock_);
  if (!pin_) {
    HRESULT hr = S_OK;
    auto pin = std::unique_ptr<VideoOutputPin>(new (std::nothrow) VideoOutputPin(this, &lock_, &hr));
    if (pin && SUCCEEDED(hr)) pin_ = std::move(pin);
  }
  return n == 0 ? pin_.get() : nullptr;
}

STDMETHODIMP SourceFilter::Stop() {
  TraceScope scope(ModuleTrace(), L"SourceFilter::Stop()");
  CAutoLock lock(&lock_);
  return CBaseFilter::Stop();
}

STDMETHODIMP SourceFilter::Pause() {
  TraceScope scope(ModuleTrace(), L"SourceFilter::Pause()");
  CAutoLock lock(&lock_);
  return CBaseFilter::Pause();
}

STDMETHODIMP SourceFilter::Run(REFERENCE_TIME start) {
  TraceScope scope(ModuleTrace(), L"SourceFilter::Run", L"%I64d", static_cast<long long>(start));
  CAutoLock lock(&lock_);
  return CBaseFilter::Run(start);
}

}  // namespace vsrc

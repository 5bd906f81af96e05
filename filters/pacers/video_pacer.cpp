#include "filters/pacers/video_pacer.h"

#include <wrl/client.h>

#include <cstring>
#include <new>

#include "common/hresult.h"
#include "common/trace.h"
#include "filters/include/field_video.h"
#include "filters/pacers/pacer_ids.h"
#include "filters/pacers/pacer_timing.h"

// --- Input pin -------------------------------------------------------------------------------

VideoInputPin::VideoInputPin(VideoPacer* filter, HRESULT* phr)
    : CTransInPlaceInputPin(L"VideoInput", filter, phr, L"Video Input"), pacer_(filter) {}

STDMETHODIMP VideoInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
  if (!props) return E_POINTER;
  const LONG buffers = pacer_->Settings()->GetAllocatorBuffers();
  if (buffers > 0) props->cBuffers = buffers;
  return props->cBuffers != 0 ? S_OK : E_NOTIMPL;
}

STDMETHODIMP VideoInputPin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  if (!connector) return E_POINTER;
  bool offered = false;
  Microsoft::WRL::ComPtr<IEnumMediaTypes> types;
  if (SUCCEEDED(connector->EnumMediaTypes(types.GetAddressOf())) && types) {
    for (;;) {
      AM_MEDIA_TYPE* next = nullptr;
      ULONG fetched = 0;
      const HRESULT hr = types->Next(1, &next, &fetched);
      if (hr == VFW_E_ENUM_OUT_OF_SYNC) {
        types->Reset();
        continue;
      }
      if (hr != S_OK || fetched != 1 || !next) {
        if (next) DeleteMediaType(next);
        break;
      }
      if (next->formattype == FORMAT_VideoInfo2) offered = true;
      DeleteMediaType(next);
    }
  }
  pacer_->SetVideoInfo2Offered(offered);
  return CTransInPlaceInputPin::ReceiveConnection(connector, type);
}

STDMETHODIMP VideoInputPin::QueryId(LPWSTR* id) {
  if (!id) return E_POINTER;
  static constexpr wchar_t kId[] = L"In";
  *id = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(kId)));
  if (!*id) return E_OUTOFMEMORY;
  std::memcpy(*id, kId, sizeof(kId));
  return S_OK;
}

STDMETHODIMP VideoInputPin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

// --- Filter ------------------------------------------------------------------------------------

CUnknown* VideoPacer::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) VideoPacer(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

VideoPacer::VideoPacer(IUnknown* outer, HRESULT* phr)
    : CTransInPlaceFilter(nullptr, outer, CLSID_VideoPacer, phr, true) {
  TraceScope scope(ModuleTrace(), L"VideoPacer::VideoPacer()");
  if (phr && FAILED(*phr)) return;
  const HRESULT hr = CreatePacerParts(GetOwner(), &settings_, &pages_);
  if (FAILED(hr) && phr) *phr = hr;
}

VideoPacer::~VideoPacer() {
  TraceScope scope(ModuleTrace(), L"VideoPacer::~VideoPacer()");
  pacer_.reset();  // the thread ends before the pins and settings it uses go
  pages_.reset();
  settings_.reset();
}

STDMETHODIMP VideoPacer::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPacerSettings && settings_) return settings_->NonDelegatingQueryInterface(iid, out);
  if (iid == IID_ISpecifyPropertyPages && pages_) return pages_->NonDelegatingQueryInterface(iid, out);
  return CTransInPlaceFilter::NonDelegatingQueryInterface(iid, out);
}

CTransformInputPin* VideoPacer::CreateInputPin(HRESULT* phr) {
  if (!settings_) return nullptr;  // construction failed: no pins
  return new (std::nothrow) VideoInputPin(this, phr);
}

CBasePin* VideoPacer::GetPin(int n) {
  CBasePin* pin = CTransInPlaceFilter::GetPin(n);
  CAutoLock lock(&m_csFilter);
  if (!pacer_ && m_pOutput) {
    HRESULT hr = S_OK;
    pacer_.reset(new (std::nothrow) FramePacer(this, m_pOutput, &hr));
    if (pacer_ && FAILED(hr)) pacer_.reset();  // Transform reports it: no frame would leave
  }
  return pin;
}

STDMETHODIMP VideoPacer::Run(REFERENCE_TIME tStart) {
  TraceScope scope(ModuleTrace(), L"VideoPacer::Run()");
  return CTransInPlaceFilter::Run(tStart);
}

STDMETHODIMP VideoPacer::Pause() {
  TraceScope scope(ModuleTrace(), L"VideoPacer::Pause()");
  return CTransInPlaceFilter::Pause();
}

STDMETHODIMP VideoPacer::Stop() {
  TraceScope scope(ModuleTrace(), L"VideoPacer::Stop()");
  CAutoLock lock(&m_csFilter);
  const HRESULT hr = CTransInPlaceFilter::Stop();
  if (pacer_) {
    pacer_->Flush();
    pacer_->SetFlushing(false);  // a flush that never saw its EndFlush ends with the stream
  }
  return hr;
}

HRESULT VideoPacer::EndOfStream() {
  // Called under the streaming lock, so it only queues: Stop takes that lock (holding the filter
  // lock), and a wait here for the queue to drain would hold Stop up behind the renderer.
  const HRESULT hr = pacer_ ? pacer_->QueueEndOfStream() : E_UNEXPECTED;
  if (hr != E_UNEXPECTED) return hr;
  return CTransInPlaceFilter::EndOfStream();
}

HRESULT VideoPacer::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  // Only queues, as EndOfStream does: downstream applies a segment to the frames that follow
  // it, so it must not overtake frames of the old segment still waiting in the queue.
  const HRESULT hr = pacer_ ? pacer_->QueueNewSegment(start, stop, rate) : E_UNEXPECTED;
  if (hr != E_UNEXPECTED && hr != S_FALSE) return hr;
  return CTransInPlaceFilter::NewSegment(start, stop, rate);
}

HRESULT VideoPacer::BeginFlush() {
  // The delivery thread stops delivering first: the delivery the flush releases downstream is
  // the last one of the old stream (no queued frame or end of stream slips in behind it).
  if (pacer_) pacer_->SetFlushing(true);
  // Downstream next: a delivery blocked in a paused renderer returns, so the queue's flush
  // (which waits for that delivery) cannot hang.
  const HRESULT hr = CTransInPlaceFilter::BeginFlush();
  if (pacer_) pacer_->Flush();
  return hr;
}

HRESULT VideoPacer::EndFlush() {
  if (pacer_) {
    pacer_->Flush();
    pacer_->SetFlushing(false);  // the input still refuses samples until the base's EndFlush
  }
  return CTransInPlaceFilter::EndFlush();
}

HRESULT VideoPacer::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  if (*in->Type() == MEDIATYPE_FieldVideo && *in->Subtype() == MEDIASUBTYPE_FieldPlanar420) {
    return *in->FormatType() == FORMAT_FieldVideoNtsc && in->FormatLength() == sizeof(field_video::FieldVideoFormat)
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (*in->Type() == MEDIATYPE_Video && (*in->Subtype() == MEDIASUBTYPE_YUY2 || *in->Subtype() == MEDIASUBTYPE_Tiled420)) {
    if (!vi2Offered_) return S_OK;
    return *in->FormatType() == FORMAT_VideoInfo2 ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT VideoPacer::Transform(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  Microsoft::WRL::ComPtr<IReferenceClock> clock;
  {
    CAutoLock lock(&m_clockLock);  // SetSyncSource(null) may come at any time
    clock = m_pClock;
  }
  if (clock) {
    const HRESULT hr = Stamp(sample, clock.Get());
    if (FAILED(hr)) return hr;
  }
  // Without a delivery thread no frame would ever leave: say so instead of swallowing it.
  if (!pacer_) return E_UNEXPECTED;
  RETURN_IF_FAILED(pacer_->Queue(sample));
  return S_FALSE;
}

namespace {

// AvgTimePerFrame lies at the same offset in VIDEOINFOHEADER and VIDEOINFOHEADER2.
static_assert(offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == offsetof(VIDEOINFOHEADER2, AvgTimePerFrame));
constexpr ULONG kAvgTimePerFrameEnd = offsetof(VIDEOINFOHEADER, AvgTimePerFrame) + sizeof(REFERENCE_TIME);

}  // namespace

HRESULT VideoPacer::Stamp(IMediaSample* sample, IReferenceClock* clock) {
  // Not ConnectedTo: it waits for the state lock, which a Stop holds while it waits for this
  // delivery (the connection cannot change during one).
  IPin* upstream = InputPin()->GetConnected();
  if (!upstream) return VFW_E_NOT_CONNECTED;
  AM_MEDIA_TYPE type{};
  HRESULT hr = upstream->ConnectionMediaType(&type);
  if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;

  // Frame duration, and the field-video header when there is one.
  LONGLONG duration = 0;
  BYTE* header = nullptr;
  hr = E_UNEXPECTED;
  if (type.majortype == MEDIATYPE_Video &&
      (type.subtype == MEDIASUBTYPE_YUY2 || type.subtype == MEDIASUBTYPE_Tiled420) &&
      (type.formattype == FORMAT_VideoInfo || type.formattype == FORMAT_VideoInfo2) && type.pbFormat &&
      type.cbFormat >= kAvgTimePerFrameEnd) {
    std::memcpy(&duration, type.pbFormat + offsetof(VIDEOINFOHEADER, AvgTimePerFrame), sizeof(duration));
    hr = S_OK;
  } else if (type.majortype == MEDIATYPE_FieldVideo) {
    // The duration and the start live in the frame's header: it must really be there.
    BYTE* data = nullptr;
    if (SUCCEEDED(sample->GetPointer(&data)) && data &&
        sample->GetActualDataLength() >= static_cast<LONG>(sizeof(field_video::FieldFrameHeader))) {
      header = data;
      std::memcpy(&duration, header + offsetof(field_video::FieldFrameHeader, duration), sizeof(duration));
      hr = S_OK;
    }
  }
  FreeMediaType(type);
  if (FAILED(hr)) return hr;

  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  REFERENCE_TIME* startPtr = &start;
  REFERENCE_TIME* stopPtr = &stop;
  if (settings_->GetTimeStamping() == 1) {
    const LONGLONG delay = static_cast<LONGLONG>(settings_->GetDelay()) * pacer::kUnitsPerMs;
    if (settings_->GetHwTimeStamp() == 1) {
      hr = sample->GetTime(&start, &stop);
      if (hr == VFW_E_SAMPLE_TIME_NOT_SET) {
        startPtr = nullptr;
        stopPtr = nullptr;
      } else if (hr == VFW_S_NO_STOP_TIME) {
        stopPtr = nullptr;
      } else if (FAILED(hr)) {
        return hr;
      }
      start += delay;
      stop += delay;
    } else {
      REFERENCE_TIME now = 0;
      RETURN_IF_FAILED(clock->GetTime(&now));
      const REFERENCE_TIME streamStart = m_tStart;
      if (sample->IsDiscontinuity() == S_OK) {
        // The discontinuity frame keeps its own start; the frames after it advance with the
        // clock from there.
        REFERENCE_TIME ownStart = 0;
        REFERENCE_TIME ownStop = 0;
        streamBase_ = SUCCEEDED(sample->GetTime(&ownStart, &ownStop)) ? ownStart + streamStart - now : 0;
      }
      start = now - streamStart + streamBase_ + delay;
      stop = start + duration;
    }
  } else {
    startPtr = nullptr;
    stopPtr = nullptr;
  }

  if (header) {
    const LONGLONG written = startPtr ? start : 0;
    std::memcpy(header + offsetof(field_video::FieldFrameHeader, startTime), &written, sizeof(written));
  }
  return sample->SetTime(startPtr, stopPtr);
}

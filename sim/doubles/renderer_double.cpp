// The common part of the renderer stand-ins: the input pin, the waits of the receive path and the
// end of stream.
#include "sim/doubles/renderer_double.h"

namespace doubles {
namespace {

// The longest single wait for a sample's time: a sample further ahead is waited for in steps.
constexpr DWORD kMaxWaitMs = 200;

}  // namespace

RendererInput::RendererInput(const wchar_t* objectName, RendererDouble* filter, CCritSec* lock, HRESULT* phr,
                             const wchar_t* pinName)
    : CBaseInputPin(objectName, filter, lock, phr, pinName), owner_(filter) {}

HRESULT RendererInput::CheckMediaType(const CMediaType* type) { return owner_->CheckInputType(*type); }

STDMETHODIMP RendererInput::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return owner_->Render(sample);
}

STDMETHODIMP RendererInput::BeginFlush() {
  const HRESULT hr = CBaseInputPin::BeginFlush();
  owner_->Wake();
  owner_->ClearEndOfStream();
  return hr;
}

STDMETHODIMP RendererInput::EndOfStream() {
  const HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  return owner_->EndOfStream();
}

RendererDouble::RendererDouble(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid,
                               const wchar_t* pinObjectName, const wchar_t* pinName, HRESULT* phr,
                               REFERENCE_TIME buffer)
    : CBaseFilter(objectName, outer, &lock_, clsid, phr),
      wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      input_(pinObjectName, this, &lock_, phr, pinName),
      buffer_(buffer) {
  if (!wake_ && phr) *phr = E_OUTOFMEMORY;
}

RendererDouble::~RendererDouble() {
  if (wake_) CloseHandle(wake_);
}

STDMETHODIMP RendererDouble::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), out);
  return CBaseFilter::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP RendererDouble::Stop() {
  const HRESULT hr = CBaseFilter::Stop();
  Wake();
  ClearEndOfStream();
  return hr;
}

STDMETHODIMP RendererDouble::Pause() {
  const HRESULT hr = CBaseFilter::Pause();
  Wake();
  return hr;
}

STDMETHODIMP RendererDouble::Run(REFERENCE_TIME start) {
  const HRESULT hr = CBaseFilter::Run(start);
  Wake();
  CAutoLock lock(&lock_);
  if (SUCCEEDED(hr) && eosPending_) SendComplete();
  return hr;
}

HRESULT RendererDouble::WaitRunningUntil(const REFERENCE_TIME* due) {
  for (;;) {
    if (input_.IsFlushing()) return S_FALSE;
    const FILTER_STATE state = m_State.load();
    if (state == State_Stopped) return VFW_E_WRONG_STATE;
    if (state == State_Paused) {
      ResetEvent(wake_);
      if (m_State.load() == State_Paused && !input_.IsFlushing()) WaitForSingleObject(wake_, kMaxWaitMs);
      continue;
    }
    REFERENCE_TIME now = 0;
    if (!due || StreamTime(now) != S_OK || *due <= now) return S_OK;
    const REFERENCE_TIME ahead = (*due - now) / 10000;
    // Reset before the state is read again: a Stop or flush after this point sets it anew.
    ResetEvent(wake_);
    if (m_State.load() != State_Running || input_.IsFlushing()) continue;
    WaitForSingleObject(wake_, ahead > kMaxWaitMs ? kMaxWaitMs : static_cast<DWORD>(ahead) + 1);
  }
}

HRESULT RendererDouble::Render(IMediaSample* sample) {
  Arrived(sample);
  REFERENCE_TIME start = 0, stop = 0;
  const bool timed = SUCCEEDED(sample->GetTime(&start, &stop));
  const REFERENCE_TIME due = start - buffer_;
  const HRESULT hr = WaitRunningUntil(timed ? &due : nullptr);
  if (hr != S_OK) return hr;
  if (timed && buffer_ > 0) {
    buffered_ = true;
    playedOut_ = stop > start ? stop : start;
  }
  return Consume(sample);
}

void RendererDouble::Wake() { SetEvent(wake_); }

HRESULT RendererDouble::EndOfStream() {
  // A running renderer completes once what its buffer holds has played.
  if (buffered_ && m_State.load() == State_Running) {
    const HRESULT hr = WaitRunningUntil(&playedOut_);
    if (hr == S_FALSE) return S_OK;  // flushed: the end of stream is dropped
    if (hr != S_OK) return hr;
  }
  CAutoLock lock(&lock_);
  if (m_State == State_Stopped) return VFW_E_WRONG_STATE;
  eosPending_ = true;
  if (m_State == State_Running) SendComplete();
  return S_OK;
}

void RendererDouble::ClearEndOfStream() {
  CAutoLock lock(&lock_);
  eosPending_ = false;
  eosSent_ = false;
  buffered_ = false;
}

void RendererDouble::SendComplete() {
  if (eosSent_) return;
  eosSent_ = true;
  eosPending_ = false;
  NotifyEvent(EC_COMPLETE, S_OK, 0);
}

}  // namespace doubles

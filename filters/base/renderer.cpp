// The renderer bases: the input pin, the schedule of the receive path, the end of stream and
// the video renderer's counters.
#include "filters/base/renderer.h"

#include <new>

namespace {

// The longest single wait of the receive path: a paused renderer looks again this often.
constexpr DWORD kMaxWaitMs = 200;

}  // namespace

// --- CRendererInputPin --------------------------------------------------------------------------

CRendererInputPin::CRendererInputPin(CBaseRenderer* renderer, HRESULT* phr, const wchar_t* pinName)
    : CBaseInputPin(L"Renderer input pin", renderer, renderer->pStateLock(), phr, pinName),
      m_pRenderer(renderer) {}

HRESULT CRendererInputPin::CheckMediaType(const CMediaType* type) { return m_pRenderer->CheckMediaType(type); }

HRESULT CRendererInputPin::SetMediaType(const CMediaType* type) { return m_pRenderer->SetMediaType(type); }

HRESULT CRendererInputPin::CompleteConnect(IPin* receivePin) {
  const HRESULT hr = CBaseInputPin::CompleteConnect(receivePin);
  if (FAILED(hr)) return hr;
  return m_pRenderer->CompleteConnect(receivePin);
}

HRESULT CRendererInputPin::BreakConnect() {
  const HRESULT hr = m_pRenderer->BreakConnect();
  if (FAILED(hr)) return hr;
  return CBaseInputPin::BreakConnect();
}

STDMETHODIMP CRendererInputPin::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return m_pRenderer->Receive(sample);
}

STDMETHODIMP CRendererInputPin::EndOfStream() {
  const HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  return m_pRenderer->EndOfStream();
}

STDMETHODIMP CRendererInputPin::BeginFlush() {
  const HRESULT hr = CBaseInputPin::BeginFlush();
  m_pRenderer->BeginFlush();
  return hr;
}

STDMETHODIMP CRendererInputPin::EndFlush() {
  m_pRenderer->EndFlush();
  return CBaseInputPin::EndFlush();
}

// --- CBaseRenderer -----------------------------------------------------------------------------

CBaseRenderer::CBaseRenderer(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, CCritSec* lock,
                             HRESULT* phr)
    : CBaseFilter(objectName, outer, lock, clsid, phr),
      m_wake(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_advise(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if ((!m_wake || !m_advise) && phr && SUCCEEDED(*phr)) *phr = E_OUTOFMEMORY;
}

CBaseRenderer::~CBaseRenderer() { delete m_pInputPin; }

STDMETHODIMP CBaseRenderer::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), out);
  return CBaseFilter::NonDelegatingQueryInterface(iid, out);
}

CRendererInputPin* CBaseRenderer::CreateInputPin(HRESULT* phr) {
  return new (std::nothrow) CRendererInputPin(this, phr, L"In");
}

CBasePin* CBaseRenderer::GetPin(int n) {
  if (n != 0) return nullptr;
  CAutoLock lock(pStateLock());
  if (!m_pInputPin) {
    HRESULT hr = S_OK;
    CRendererInputPin* pin = CreateInputPin(&hr);
    if (pin && FAILED(hr)) {
      delete pin;
      pin = nullptr;
    }
    m_pInputPin = pin;
    if (pin) IncrementPinVersion();
  }
  return m_pInputPin;
}

CRendererInputPin* CBaseRenderer::InputPin() { return static_cast<CRendererInputPin*>(GetPin(0)); }

HRESULT CBaseRenderer::SetMediaType(const CMediaType* type) {
  CRendererInputPin* pin = InputPin();
  return pin ? pin->BaseSetMediaType(type) : E_UNEXPECTED;
}

HRESULT CBaseRenderer::CompleteConnect(IPin*) { return S_OK; }

HRESULT CBaseRenderer::BreakConnect() { return S_OK; }

STDMETHODIMP CBaseRenderer::Stop() {
  CAutoLock lock(pStateLock());
  const bool wasActive = IsActive();
  const HRESULT hr = CBaseFilter::Stop();
  Wake();
  m_eosPending = false;
  m_eosSent = false;
  if (wasActive) Inactive();
  return hr;
}

STDMETHODIMP CBaseRenderer::Pause() {
  CAutoLock lock(pStateLock());
  const bool wasStopped = IsStopped();
  const HRESULT hr = CBaseFilter::Pause();
  Wake();
  if (SUCCEEDED(hr) && wasStopped) Active();
  return hr;
}

STDMETHODIMP CBaseRenderer::Run(REFERENCE_TIME start) {
  CAutoLock lock(pStateLock());
  const bool wasStopped = IsStopped();
  const HRESULT hr = CBaseFilter::Run(start);
  Wake();
  if (SUCCEEDED(hr) && wasStopped) Active();
  if (SUCCEEDED(hr) && m_eosPending) SendComplete();
  return hr;
}

HRESULT CBaseRenderer::ShouldDrawSampleNow(IMediaSample*, REFERENCE_TIME*, REFERENCE_TIME*) { return S_FALSE; }

HRESULT CBaseRenderer::WaitForSample(IMediaSample* sample) {
  CRendererInputPin* pin = m_pInputPin;
  for (;;) {
    if (pin->IsFlushing()) return S_FALSE;
    const FILTER_STATE state = m_State.load();
    if (state == State_Stopped) return VFW_E_WRONG_STATE;
    ResetEvent(m_wake.get());
    if (state == State_Paused) {
      // Reset before the state is read again: a change after this point sets it anew.
      if (m_State.load() == State_Paused && !pin->IsFlushing()) WaitForSingleObject(m_wake.get(), kMaxWaitMs);
      continue;
    }
    REFERENCE_TIME start = 0, end = 0;
    const HRESULT times = sample->GetTime(&start, &end);
    if (times == VFW_E_SAMPLE_TIME_NOT_SET) return S_OK;
    if (times == VFW_S_NO_STOP_TIME) end = start;
    const HRESULT schedule = ShouldDrawSampleNow(sample, &start, &end);
    if (schedule == S_OK) return S_OK;
    if (FAILED(schedule)) return S_FALSE;
    IReferenceClock* clock = nullptr;
    REFERENCE_TIME base = 0;
    {
      CAutoLock clockLock(&m_clockLock);
      clock = m_pClock;
      if (clock) clock->AddRef();
      base = m_tStart;
    }
    if (!clock) return S_OK;
    DWORD_PTR cookie = 0;
    const HRESULT advise =
        clock->AdviseTime(base, start, reinterpret_cast<HEVENT>(m_advise.get()), &cookie);
    if (FAILED(advise)) {
      clock->Release();
      return S_OK;
    }
    const HANDLE handles[] = {m_advise.get(), m_wake.get()};
    DWORD woke = WAIT_TIMEOUT;
    if (m_State.load() == State_Running && !pin->IsFlushing()) {
      woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    clock->Unadvise(cookie);
    clock->Release();
    if (woke == WAIT_OBJECT_0) return S_OK;
    ResetEvent(m_advise.get());
  }
}

HRESULT CBaseRenderer::Receive(IMediaSample* sample) {
  const HRESULT wait = WaitForSample(sample);
  if (FAILED(wait)) return wait;
  if (wait == S_FALSE) {
    if (!m_pInputPin->IsFlushing() && !IsStopped()) {
      REFERENCE_TIME now = 0, start = 0, end = 0;
      REFERENCE_TIME lateness = 0;
      if (StreamTime(now) == S_OK && SUCCEEDED(sample->GetTime(&start, &end))) lateness = now - start;
      OnDropSample(sample, lateness);
    }
    return S_OK;
  }
  CAutoLock lock(&m_RendererLock);
  const HRESULT hr = DoRenderSample(sample);
  if (SUCCEEDED(hr)) OnRenderSample(sample);
  return hr;
}

HRESULT CBaseRenderer::EndOfStream() {
  CAutoLock lock(pStateLock());
  if (IsStopped()) return VFW_E_WRONG_STATE;
  m_eosPending = true;
  if (m_State == State_Running) SendComplete();
  return S_OK;
}

HRESULT CBaseRenderer::BeginFlush() {
  Wake();
  ClearEndOfStream();
  return S_OK;
}

HRESULT CBaseRenderer::EndFlush() { return S_OK; }

void CBaseRenderer::ClearEndOfStream() {
  CAutoLock lock(pStateLock());
  m_eosPending = false;
  m_eosSent = false;
}

void CBaseRenderer::SendComplete() {
  if (m_eosSent) return;
  m_eosSent = true;
  m_eosPending = false;
  NotifyEvent(EC_COMPLETE, S_OK, 0);
}

// --- CBaseVideoRenderer ------------------------------------------------------------------------

CBaseVideoRenderer::CBaseVideoRenderer(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid,
                                       CCritSec* lock, HRESULT* phr)
    : CBaseRenderer(objectName, outer, clsid, lock, phr) {}

STDMETHODIMP CBaseVideoRenderer::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IQualProp) return GetInterface(static_cast<IQualProp*>(this), out);
  return CBaseRenderer::NonDelegatingQueryInterface(iid, out);
}

HRESULT CBaseVideoRenderer::Active() {
  m_framesDrawn = 0;
  m_framesDropped = 0;
  m_firstDrawTick = 0;
  return S_OK;
}

HRESULT CBaseVideoRenderer::ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start,
                                                REFERENCE_TIME* end) {
  REFERENCE_TIME now = 0;
  if (StreamTime(now) != S_OK) return S_OK;  // no clock: at once
  if (*start > now) return S_FALSE;
  const REFERENCE_TIME duration = *end - *start;
  const REFERENCE_TIME limit = duration > kLateDropLimit ? duration : kLateDropLimit;
  // A discontinuity is drawn however late: it starts a new run of frames.
  if (now - *start > limit && sample->IsDiscontinuity() != S_OK) return E_FAIL;
  return S_OK;
}

void CBaseVideoRenderer::OnDropSample(IMediaSample*, REFERENCE_TIME lateness) {
  ++m_framesDropped;
  // Tell the upstream filter that we run late, so it may send fewer frames.
  IPin* peer = m_pInputPin ? m_pInputPin->GetConnected() : nullptr;
  if (!peer) return;
  IQualityControl* quality = nullptr;
  if (FAILED(peer->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&quality)))) return;
  Quality q{};
  q.Type = Famine;
  q.Proportion = 500;
  q.Late = lateness;
  StreamTime(q.TimeStamp);
  quality->Notify(this, q);
  quality->Release();
}

void CBaseVideoRenderer::OnRenderSample(IMediaSample*) {
  if (m_framesDrawn.fetch_add(1) == 0) m_firstDrawTick = GetTickCount();
}

STDMETHODIMP CBaseVideoRenderer::get_FramesDroppedInRenderer(int* frames) {
  if (!frames) return E_POINTER;
  *frames = m_framesDropped.load();
  return S_OK;
}

STDMETHODIMP CBaseVideoRenderer::get_FramesDrawn(int* frames) {
  if (!frames) return E_POINTER;
  *frames = m_framesDrawn.load();
  return S_OK;
}

STDMETHODIMP CBaseVideoRenderer::get_AvgFrameRate(int* rate) {
  if (!rate) return E_POINTER;
  // Frames per 100 seconds since the first one drawn.
  const DWORD elapsed = GetTickCount() - m_firstDrawTick.load();
  const int drawn = m_framesDrawn.load();
  *rate = (drawn > 1 && elapsed > 0) ? static_cast<int>(static_cast<long long>(drawn - 1) * 100000 / elapsed) : 0;
  return S_OK;
}

STDMETHODIMP CBaseVideoRenderer::get_Jitter(int* jitter) {
  if (!jitter) return E_POINTER;
  *jitter = 0;
  return S_OK;
}

STDMETHODIMP CBaseVideoRenderer::get_AvgSyncOffset(int* offset) {
  if (!offset) return E_POINTER;
  *offset = 0;
  return S_OK;
}

STDMETHODIMP CBaseVideoRenderer::get_DevSyncOffset(int* deviation) {
  if (!deviation) return E_POINTER;
  *deviation = 0;
  return S_OK;
}

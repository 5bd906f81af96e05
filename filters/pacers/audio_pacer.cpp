#include "filters/pacers/audio_pacer.h"

#include <mmreg.h>
#include <wrl/client.h>

#include <cstddef>
#include <new>

#include "common/hresult.h"
#include "common/trace.h"
#include "filters/pacers/pacer_ids.h"
#include "filters/pacers/pacer_registry.h"
#include "filters/pacers/pacer_timing.h"

CUnknown* AudioPacer::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) AudioPacer(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

AudioPacer::AudioPacer(IUnknown* outer, HRESULT* phr)
    : CTransInPlaceFilter(nullptr, outer, CLSID_AudioPacer, phr, true) {
  TraceScope scope(ModuleTrace(), L"AudioPacer::AudioPacer()");
  if (phr && FAILED(*phr)) return;
  correctTimestamp_ = pacer::ReadBoardValue(pacer::kCorrectTimestampValue, 0) != 0;

  HRESULT hr = S_OK;
  clock_.reset(new (std::nothrow) AudioRefClock(L"RefClock", GetOwner(), &hr));
  if (!clock_ && SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = CreatePacerParts(GetOwner(), &settings_, &pages_);
  if (FAILED(hr) && phr) *phr = hr;
}

AudioPacer::~AudioPacer() {
  TraceScope scope(ModuleTrace(), L"AudioPacer::~AudioPacer()");
  pages_.reset();
  settings_.reset();
  clock_.reset();
}

STDMETHODIMP AudioPacer::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IReferenceClock && clock_) return clock_->NonDelegatingQueryInterface(iid, out);
  if (iid == IID_IPacerSettings && settings_) return settings_->NonDelegatingQueryInterface(iid, out);
  if (iid == IID_ISpecifyPropertyPages && pages_) return pages_->NonDelegatingQueryInterface(iid, out);
  return CTransInPlaceFilter::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP AudioPacer::Stop() {
  TraceScope scope(ModuleTrace(), L"AudioPacer::Stop()");
  CAutoLock lock(&m_csFilter);
  const HRESULT hr = CTransInPlaceFilter::Stop();
  CAutoLock receive(&m_csReceive);
  byteCount_ = 0;
  firstSample_ = true;
  previousStop_ = 0;
  return hr;
}

HRESULT AudioPacer::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  if (*in->Type() == MEDIATYPE_Audio && *in->Subtype() == MEDIASUBTYPE_PCM) return S_OK;
  return VFW_E_TYPE_NOT_ACCEPTED;
}

bool AudioPacer::HasClock() {
  CAutoLock lock(&m_clockLock);
  return m_pClock != nullptr;
}

HRESULT AudioPacer::UpstreamByteRate(DWORD* rate) {
  *rate = 0;
  // On the streaming thread: the connection cannot change during a delivery (a disconnect needs
  // the filter stopped, and Stop waits for the streaming lock), and ConnectedTo would wait for
  // the state lock, which a Stop holds while it waits for this delivery.
  IPin* upstream = InputPin()->GetConnected();
  if (!upstream) return VFW_E_NOT_CONNECTED;
  AM_MEDIA_TYPE type{};
  HRESULT hr = upstream->ConnectionMediaType(&type);
  if (FAILED(hr)) return hr;
  // nAvgBytesPerSec lies within the first 16 bytes (a PCMWAVEFORMAT block is enough).
  constexpr ULONG kNeeded = offsetof(WAVEFORMATEX, nAvgBytesPerSec) + sizeof(DWORD);
  if (type.formattype == FORMAT_WaveFormatEx && type.pbFormat && type.cbFormat >= kNeeded) {
    *rate = reinterpret_cast<const WAVEFORMATEX*>(type.pbFormat)->nAvgBytesPerSec;
  }
  FreeMediaType(type);
  // Without a rate there is no way to turn bytes into time.
  return *rate != 0 ? S_OK : E_UNEXPECTED;
}

HRESULT AudioPacer::Transform(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  if (!HasClock()) return S_OK;  // no graph clock: the sample passes as it came

  DWORD rate = 0;
  RETURN_IF_FAILED(UpstreamByteRate(&rate));

  const LONG length = sample->GetActualDataLength();
  bool hasData = length > 0;
  const LONGLONG duration = pacer::AudioDuration(length, rate);
  const bool hw = settings_->GetHwTimeStamp() != 0;
  const bool stamping = settings_->GetTimeStamping() != 0;
  const bool discontinuity = sample->IsDiscontinuity() == S_OK;

  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  REFERENCE_TIME* startPtr = &start;
  REFERENCE_TIME* stopPtr = &stop;
  LONGLONG position = 0;
  if (hw) {
    const HRESULT hr = sample->GetTime(&start, &stop);
    if (hr == VFW_E_SAMPLE_TIME_NOT_SET) {
      hasData = false;
      startPtr = nullptr;
      stopPtr = nullptr;
    } else if (hr == VFW_S_NO_STOP_TIME) {
      stopPtr = nullptr;
    } else if (FAILED(hr)) {
      return hr;
    }
    position = startPtr ? start : 0;
  } else {
    if (discontinuity) {
      REFERENCE_TIME ownStart = 0;
      REFERENCE_TIME ownStop = 0;
      discontinuityBase_ = SUCCEEDED(sample->GetTime(&ownStart, &ownStop)) ? ownStart : 0;
    }
    position = pacer::AudioPosition(byteCount_, rate);
  }

  if (stamping) {
    const LONGLONG delay = static_cast<LONGLONG>(settings_->GetDelay()) * pacer::kUnitsPerMs;
    if (hw) {
      start += delay;
      stop += delay;
    } else {
      start = discontinuityBase_ + delay + position;
      stop = start + duration;
    }
  } else {
    startPtr = nullptr;
    stopPtr = nullptr;
  }

  // Correct-timestamp mode: stamped samples follow each other without gaps or overlaps.
  if (correctTimestamp_ && startPtr && stopPtr) {
    if (firstSample_) {
      firstSample_ = false;
    } else {
      start = previousStop_;
    }
    previousStop_ = stop;
  }

  RETURN_IF_FAILED(sample->SetTime(startPtr, stopPtr));
  if (!hasData) return S_OK;

  const REFERENCE_TIME streamStart = m_tStart;
  bool reanchor = true;
  if (!hw) {
    if (discontinuity) {
      clockOffset_ = clock_->GetPrivateTime() - streamStart;
    } else {
      const LONGLONG lead = clock_->GetPrivateTime() - clockOffset_ - streamStart - position;
      if (pacer::SkipReanchor(lead, duration, skipCount_)) {
        ++skipCount_;
        reanchor = false;
      }
    }
  }
  if (reanchor) {
    clock_->SetAnchor(streamStart + clockOffset_ + position);
    skipCount_ = 0;
  }
  byteCount_ += length;
  return S_OK;
}

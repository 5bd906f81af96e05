#include "filters/pacers/audio_ref_clock.h"

#include "filters/pacers/pacer_timing.h"

AudioRefClock::AudioRefClock(const wchar_t* objectName, IUnknown* owner, HRESULT* phr)
    : CBaseReferenceClock(objectName, owner, phr), anchorTick_(timeGetTime()) {}

AudioRefClock::~AudioRefClock() { StopAdviseThread(); }

REFERENCE_TIME AudioRefClock::GetPrivateTime() {
  CAutoLock lock(&anchorLock_);
  return pacer::AnchoredTime(anchor_, anchorTick_, tick_());
}

void AudioRefClock::SetAnchor(REFERENCE_TIME anchor) {
  {
    CAutoLock lock(&anchorLock_);
    anchor_ = anchor;
    anchorTick_ = tick_();
  }
  TriggerThread();  // advises may be due earlier (or later) now
}

void AudioRefClock::SetTickSource(TickSource source) {
  CAutoLock lock(&anchorLock_);
  tick_ = source ? source : &timeGetTime;
  anchorTick_ = tick_();
}

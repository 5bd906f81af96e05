// The audio pacer's reference clock: the base clock (monotonic GetTime, advise thread) over a
// private time that runs with the millisecond timer from an anchor that the pacer keeps moving
// to the audio stream's position.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "filters/base/refclock.h"

class AudioRefClock : public CBaseReferenceClock {
 public:
  using TickSource = DWORD(WINAPI*)();

  // `owner` is the filter's outer unknown: the clock is a sub-object of the filter.
  AudioRefClock(const wchar_t* objectName, IUnknown* owner, HRESULT* phr);
  ~AudioRefClock() override;

  // anchor + (now − anchor tick) in reference time; the tick difference is taken modulo 2^32,
  // so it stays right across the counter's wrap and never goes negative.
  REFERENCE_TIME GetPrivateTime() override;
  // The clock reads `anchor` now and runs on from there.
  void SetAnchor(REFERENCE_TIME anchor);

  // The millisecond counter (timeGetTime unless a test supplies its own); also re-reads the
  // anchor tick from it.
  void SetTickSource(TickSource source);

 private:
  // Inside m_csClock when reached through GetTime (the base's order), alone from SetAnchor.
  mutable CCritSec anchorLock_;
  REFERENCE_TIME anchor_ = 0;
  DWORD anchorTick_ = 0;
  TickSource tick_ = &timeGetTime;
};

// A live output pin: while its filter runs, a thread of the pin delivers one sample per period,
// paced by a time base of its own (the card's crystal, not the graph's clock: an audio pacer
// anchors that clock to the very times this pin stamps). Each Run sets that time base to the
// graph's stream time (counted from the run when the graph gave no clock). The card captures
// from the moment the pin first runs, before the graph's start time too: sample n carries the
// times [s + n * period, s + (n + 1) * period), where s is the stream time the pin first ran at
// (negative before the start time). Paused, a live pin delivers nothing; when delivery falls more
// than four periods behind, the count jumps to now and the sample is marked as a discontinuity.
//
// The thread takes no filter lock: it reads the state and the time base from atomics. It is
// started when the pin becomes active and stopped after the allocator is decommitted, so a
// blocked GetDeliveryBuffer returns first.
#pragma once

#include <atomic>
#include <memory>

#include "common/thread.h"
#include "filters/base/pin.h"

namespace simcard {

class LivePin : public CBaseOutputPin {
 public:
  LivePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* pinName,
          REFERENCE_TIME period);
  ~LivePin() override;

  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT Run(REFERENCE_TIME start) override;

  REFERENCE_TIME period() const { return period_; }
  // The wait of a stop for the thread before it is terminated, for pins made after the call
  // (SimCard_SetPumpStopTimeout).
  static void SetStopTimeout(DWORD ms);

 protected:
  // Fills sample `index` (data and actual length). S_OK delivers it; anything else skips it.
  virtual HRESULT FillSample(IMediaSample* sample, LONGLONG index) = 0;
  // A sample was delivered.
  virtual void Delivered() {}
  // Sets the period (before the pin becomes active).
  void SetPeriod(REFERENCE_TIME period) { period_ = period; }

 private:
  class Pump;
  DWORD Loop(HANDLE stop);
  // The graph's stream time for the start time `start`; false without a clock.
  bool GraphStreamTime(REFERENCE_TIME start, REFERENCE_TIME* now);
  // The stream time by the pin's own time base.
  REFERENCE_TIME StreamNow() const;

  REFERENCE_TIME period_;
  // The last Run: the stream time then, and the own time base's reading then.
  std::atomic<REFERENCE_TIME> runStream_{0};
  std::atomic<REFERENCE_TIME> runCrystal_{0};
  std::unique_ptr<Pump> pump_;
};

}  // namespace simcard

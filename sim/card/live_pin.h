// A live output pin: while its filter runs, a thread of the pin delivers one sample per period
// with the times [n * period, (n + 1) * period) in stream time, paced by the graph's clock (or
// the tick count when the graph gave none). Paused, a live pin delivers nothing; when delivery
// falls more than four periods behind, the count jumps to now and the sample is marked as a
// discontinuity.
//
// The thread takes no filter lock: it reads the state and the start time from atomics. It is
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
  bool StreamNow(REFERENCE_TIME* now);

  REFERENCE_TIME period_;
  std::atomic<REFERENCE_TIME> start_{0};
  std::atomic<ULONGLONG> runTick_{0};
  std::unique_ptr<Pump> pump_;
};

}  // namespace simcard

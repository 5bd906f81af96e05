// A reference clock that moves only when the test says so. Advises fire when the time set
// reaches them (an advise already due fires at once).
#pragma once

#include <vector>

#include "common/dshow.h"
#include "filters/base/lock.h"
#include "filters/base/unknown.h"

namespace graph_testkit {

class ManualClock : public CUnknown, public IReferenceClock {
 public:
  static ManualClock* Create(REFERENCE_TIME start = 0);  // one reference for the caller

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IReferenceClock
  STDMETHODIMP GetTime(REFERENCE_TIME* time) override;
  STDMETHODIMP AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                          DWORD_PTR* cookie) override;
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME period, HSEMAPHORE semaphore,
                              DWORD_PTR* cookie) override;
  STDMETHODIMP Unadvise(DWORD_PTR cookie) override;

  void SetTime(REFERENCE_TIME now);
  void Advance(REFERENCE_TIME delta);
  size_t PendingAdvises() const;

 private:
  explicit ManualClock(REFERENCE_TIME start);
  void FireDue();  // with lock_ held

  struct Advise {
    DWORD_PTR cookie;
    REFERENCE_TIME due;
    REFERENCE_TIME period;  // 0: one-shot (event), else periodic (semaphore)
    HANDLE handle;
  };
  mutable CCritSec lock_;
  REFERENCE_TIME now_;
  std::vector<Advise> advises_;
  DWORD_PTR nextCookie_ = 1;
};

}  // namespace graph_testkit

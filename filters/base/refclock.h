// The reference clock base: IReferenceClock over a private time that a derived class supplies
// (GetPrivateTime; by default the multimedia timer), with the rule that GetTime never returns
// less than it returned before (a private time that steps back holds the clock still until it
// passes the last value again), and an advise thread that sets events (AdviseTime) and releases
// semaphores (AdvisePeriodic) when their times come.
//
// The advise thread starts with the first advise and never waits longer than kMaxAdviseWaitMs
// at a time, so a private time that runs faster or slower than the system timer, or jumps, is
// followed within that time. A derived class whose time jumps calls TriggerThread to have the
// advises looked at at once.
//
// A derived class whose GetPrivateTime reads members of its own calls StopAdviseThread in its
// destructor (the base destructor stops the thread too, but by then the derived part is gone).
#pragma once

#include <vector>

#include "common/handles.h"
#include "common/thread.h"
#include "common/dshow.h"
#include "filters/base/lock.h"
#include "filters/base/unknown.h"

class CBaseReferenceClock : public CUnknown, public IReferenceClock {
 public:
  static constexpr DWORD kMaxAdviseWaitMs = 50;

  CBaseReferenceClock(const wchar_t* objectName, IUnknown* outer, HRESULT* phr = nullptr);
  ~CBaseReferenceClock() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IReferenceClock
  // S_OK when the time moved on since the last call, S_FALSE when it held still.
  STDMETHODIMP GetTime(REFERENCE_TIME* time) override;
  // Sets `event` once the clock reaches baseTime + streamTime (at once when it has).
  STDMETHODIMP AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                          DWORD_PTR* cookie) override;
  // Releases `semaphore` at startTime and every period after it.
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME period, HSEMAPHORE semaphore,
                              DWORD_PTR* cookie) override;
  // S_OK, or S_FALSE for a cookie that is not (or no longer) advised.
  STDMETHODIMP Unadvise(DWORD_PTR cookie) override;

  // The time source; the default runs with timeGetTime from 0 at construction.
  virtual REFERENCE_TIME GetPrivateTime();

  // The advise thread looks at the advises now (after the private time jumped).
  void TriggerThread();
  void StopAdviseThread();
  size_t PendingAdvises() const;

 protected:
  // The clock's own lock: the last time returned and the advise list. GetPrivateTime is called
  // with it held, so a derived clock's lock is taken inside it, never the other way round.
  mutable CCritSec m_csClock;

 private:
  class AdviseThread;
  friend class AdviseThread;

  struct Advise {
    DWORD_PTR cookie;
    REFERENCE_TIME due;
    REFERENCE_TIME period;  // 0: one-shot (event), else periodic (semaphore)
    HANDLE handle;
  };

  // GetTime's rule, with m_csClock held.
  REFERENCE_TIME MonotonicTime();
  // Fires what is due; returns the wait until the next advise in milliseconds (INFINITE when
  // none is left). With m_csClock held.
  DWORD FireDue();
  HRESULT AddAdvise(const Advise& advise, DWORD_PTR* cookie);

  REFERENCE_TIME m_rtLastGotTime = 0;
  REFERENCE_TIME m_rtPrivateTime = 0;  // the default private time
  DWORD m_dwPrevSystemTime = 0;
  std::vector<Advise> m_advises;
  DWORD_PTR m_nextCookie = 1;
  UniqueHandle m_wake;  // auto-reset: the advise list or the time changed
  AdviseThread* m_pThread = nullptr;  // owned; made with the first advise
};

#include "filters/base/refclock.h"

#include <mmsystem.h>

#include <algorithm>
#include <new>

#include "common/hresult.h"

namespace {
constexpr REFERENCE_TIME kMaxTime = 0x7FFFFFFFFFFFFFFFLL;
constexpr REFERENCE_TIME kUnitsPerMs = 10000;
// A periodic advise that fell far behind (the private time jumped ahead) is released this many
// times at most, then moved on to its next time after now.
constexpr int kMaxCatchUpReleases = 16;
}  // namespace

// The advise thread: waits for the next due advise (at most kMaxAdviseWaitMs), a change of the
// advise list, or the stop event. It sets events and releases semaphores only, never a COM
// reference: the clock's last release never comes on it, so the clock's destructor always stops
// it from another thread (a join, never the signal-only stop of a thread by itself).
class CBaseReferenceClock::AdviseThread final : public StoppableThread {
 public:
  explicit AdviseThread(CBaseReferenceClock* clock) : clock_(clock) {}
  ~AdviseThread() override { Stop(); }

 private:
  DWORD Run() override {
    const HANDLE handles[2] = {stopEvent(), clock_->m_wake.get()};
    DWORD wait = 0;
    for (;;) {
      const DWORD result = WaitForMultipleObjects(2, handles, FALSE, wait);
      if (result == WAIT_OBJECT_0) return 0;
      if (result == WAIT_FAILED) return 1;
      CAutoLock lock(&clock_->m_csClock);
      wait = clock_->FireDue();
      if (wait != INFINITE) wait = std::min(wait, kMaxAdviseWaitMs);
    }
  }

  CBaseReferenceClock* const clock_;  // owns us
};

CBaseReferenceClock::CBaseReferenceClock(const wchar_t* objectName, IUnknown* outer, HRESULT* phr)
    : CUnknown(objectName, outer, phr),
      m_dwPrevSystemTime(timeGetTime()),
      m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (!m_wake && phr) *phr = E_OUTOFMEMORY;
}

CBaseReferenceClock::~CBaseReferenceClock() { StopAdviseThread(); }

void CBaseReferenceClock::StopAdviseThread() {
  AdviseThread* thread = nullptr;
  {
    CAutoLock lock(&m_csClock);
    thread = m_pThread;
    m_pThread = nullptr;
  }
  delete thread;  // stops it; it takes m_csClock, so not under it
}

STDMETHODIMP CBaseReferenceClock::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

REFERENCE_TIME CBaseReferenceClock::GetPrivateTime() {
  CAutoLock lock(&m_csClock);
  // Unsigned difference: correct across the 49.7-day wrap of the millisecond counter.
  const DWORD now = timeGetTime();
  m_rtPrivateTime += static_cast<REFERENCE_TIME>(static_cast<DWORD>(now - m_dwPrevSystemTime)) * kUnitsPerMs;
  m_dwPrevSystemTime = now;
  return m_rtPrivateTime;
}

REFERENCE_TIME CBaseReferenceClock::MonotonicTime() {
  const REFERENCE_TIME now = GetPrivateTime();
  if (now > m_rtLastGotTime) m_rtLastGotTime = now;
  return m_rtLastGotTime;
}

STDMETHODIMP CBaseReferenceClock::GetTime(REFERENCE_TIME* time) {
  if (!time) return E_POINTER;
  CAutoLock lock(&m_csClock);
  const REFERENCE_TIME before = m_rtLastGotTime;
  *time = MonotonicTime();
  return *time > before ? S_OK : S_FALSE;
}

HRESULT CBaseReferenceClock::AddAdvise(const Advise& advise, DWORD_PTR* cookie) {
  CAutoLock lock(&m_csClock);
  if (!m_pThread) {
    m_pThread = new (std::nothrow) AdviseThread(this);
    if (!m_pThread) return E_OUTOFMEMORY;
  }
  const HRESULT hr = m_pThread->Start();
  if (FAILED(hr)) return hr;
  Advise entry = advise;
  entry.cookie = m_nextCookie;
  // The list may fail to grow: that is E_OUTOFMEMORY, never an exception out of the COM method.
  RETURN_IF_FAILED(GuardHr(E_OUTOFMEMORY, [&] { m_advises.push_back(entry); }));
  ++m_nextCookie;
  *cookie = entry.cookie;
  SetEvent(m_wake.get());
  return S_OK;
}

STDMETHODIMP CBaseReferenceClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                                             DWORD_PTR* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!event) return E_INVALIDARG;
  // Reference times are never negative; a sum that overflows is no time at all.
  if (baseTime < 0 || streamTime < 0 || baseTime > kMaxTime - streamTime) return E_INVALIDARG;
  const REFERENCE_TIME due = baseTime + streamTime;
  if (due <= 0 || due == kMaxTime) return E_INVALIDARG;
  return AddAdvise({0, due, 0, reinterpret_cast<HANDLE>(event)}, cookie);
}

STDMETHODIMP CBaseReferenceClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME period,
                                                 HSEMAPHORE semaphore, DWORD_PTR* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!semaphore || startTime <= 0 || period <= 0 || startTime == kMaxTime) return E_INVALIDARG;
  return AddAdvise({0, startTime, period, reinterpret_cast<HANDLE>(semaphore)}, cookie);
}

STDMETHODIMP CBaseReferenceClock::Unadvise(DWORD_PTR cookie) {
  CAutoLock lock(&m_csClock);
  const auto it = std::find_if(m_advises.begin(), m_advises.end(),
                               [cookie](const Advise& a) { return a.cookie == cookie; });
  if (it == m_advises.end()) return S_FALSE;
  m_advises.erase(it);
  return S_OK;
}

void CBaseReferenceClock::TriggerThread() { SetEvent(m_wake.get()); }

size_t CBaseReferenceClock::PendingAdvises() const {
  CAutoLock lock(&m_csClock);
  return m_advises.size();
}

DWORD CBaseReferenceClock::FireDue() {
  if (m_advises.empty()) return INFINITE;
  const REFERENCE_TIME now = MonotonicTime();
  REFERENCE_TIME next = kMaxTime;
  for (auto it = m_advises.begin(); it != m_advises.end();) {
    if (it->due <= now) {
      if (it->period == 0) {
        SetEvent(it->handle);
        it = m_advises.erase(it);
        continue;
      }
      int releases = 0;
      while (it->due <= now && releases < kMaxCatchUpReleases) {
        ReleaseSemaphore(it->handle, 1, nullptr);
        it->due += it->period;
        ++releases;
      }
      if (it->due <= now) it->due += ((now - it->due) / it->period + 1) * it->period;
    }
    next = std::min(next, it->due);
    ++it;
  }
  if (next == kMaxTime) return INFINITE;
  // Round up: waking a little late is better than spinning on an advise that is not yet due.
  const REFERENCE_TIME ms = (next - now + kUnitsPerMs - 1) / kUnitsPerMs;
  return static_cast<DWORD>(std::min<REFERENCE_TIME>(ms, kMaxAdviseWaitMs));
}

#include "filters/base/testkit/manual_clock.h"

#include <algorithm>

namespace graph_testkit {

ManualClock::ManualClock(REFERENCE_TIME start) : CUnknown(L"Manual clock", nullptr), now_(start) {}

ManualClock* ManualClock::Create(REFERENCE_TIME start) {
  auto* clock = new ManualClock(start);
  clock->NonDelegatingAddRef();
  return clock;
}

STDMETHODIMP ManualClock::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP ManualClock::GetTime(REFERENCE_TIME* time) {
  if (!time) return E_POINTER;
  CAutoLock lock(&lock_);
  *time = now_;
  return S_OK;
}

STDMETHODIMP ManualClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT event,
                                     DWORD_PTR* cookie) {
  if (!cookie) return E_POINTER;
  if (!event) return E_INVALIDARG;
  CAutoLock lock(&lock_);
  *cookie = nextCookie_++;
  advises_.push_back({*cookie, baseTime + streamTime, 0, reinterpret_cast<HANDLE>(event)});
  FireDue();
  return S_OK;
}

STDMETHODIMP ManualClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME period,
                                         HSEMAPHORE semaphore, DWORD_PTR* cookie) {
  if (!cookie) return E_POINTER;
  if (!semaphore || period <= 0) return E_INVALIDARG;
  CAutoLock lock(&lock_);
  *cookie = nextCookie_++;
  advises_.push_back({*cookie, startTime, period, reinterpret_cast<HANDLE>(semaphore)});
  FireDue();
  return S_OK;
}

STDMETHODIMP ManualClock::Unadvise(DWORD_PTR cookie) {
  CAutoLock lock(&lock_);
  const auto it = std::find_if(advises_.begin(), advises_.end(), [&](const Advise& a) { return a.cookie == cookie; });
  if (it == advises_.end()) return S_FALSE;
  advises_.erase(it);
  return S_OK;
}

void ManualClock::SetTime(REFERENCE_TIME now) {
  CAutoLock lock(&lock_);
  now_ = now;
  FireDue();
}

void ManualClock::Advance(REFERENCE_TIME delta) {
  CAutoLock lock(&lock_);
  now_ += delta;
  FireDue();
}

size_t ManualClock::PendingAdvises() const {
  CAutoLock lock(&lock_);
  return advises_.size();
}

void ManualClock::FireDue() {
  for (auto it = advises_.begin(); it != advises_.end();) {
    if (it->due > now_) {
      ++it;
    } else if (it->period == 0) {
      SetEvent(it->handle);
      it = advises_.erase(it);
    } else {
      while (it->due <= now_) {
        ReleaseSemaphore(it->handle, 1, nullptr);
        it->due += it->period;
      }
      ++it;
    }
  }
}

}  // namespace graph_testkit

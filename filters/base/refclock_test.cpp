// The reference clock base: GetTime never goes backwards, advises fire when their time comes
// (within a tolerance of the system timer), periodic advises repeat until unadvised, and the
// clock's COM identity; an allocation failure inside an advise is E_OUTOFMEMORY.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "common/handles.h"
#include "filters/base/refclock.h"
#include "filters/base/testkit/com_checks.h"

using namespace graph_testkit;

namespace {

// Allocation failure on demand: while armed, the allocation after `allocationsBeforeFailure`
// more made on the armed thread throws std::bad_alloc (the nothrow form then returns null).
std::atomic<DWORD> g_failingThread{0};
std::atomic<int> g_allocationsBeforeFailure{0};

}  // namespace

void* operator new(std::size_t size) {
  if (g_failingThread.load() == GetCurrentThreadId() && g_allocationsBeforeFailure.fetch_sub(1) == 0) {
    g_failingThread = 0;
    throw std::bad_alloc();
  }
  if (void* p = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// Arms the failure of the n-th allocation (from 0) this thread makes until the scope ends.
class FailingAllocation {
 public:
  explicit FailingAllocation(int n) {
    g_allocationsBeforeFailure = n;
    g_failingThread = GetCurrentThreadId();
  }
  ~FailingAllocation() { g_failingThread = 0; }
  // The armed allocation was made (and failed).
  bool Happened() const { return g_allocationsBeforeFailure.load() < 0; }
};

// A clock whose private time the test sets; it follows the system timer while not set.
class SettableClock : public CBaseReferenceClock {
 public:
  explicit SettableClock(IUnknown* outer = nullptr) : CBaseReferenceClock(L"Settable clock", outer) {}
  ~SettableClock() override { StopAdviseThread(); }

  REFERENCE_TIME GetPrivateTime() override {
    const REFERENCE_TIME real = CBaseReferenceClock::GetPrivateTime();
    return manual_ ? set_.load() : real;
  }
  void Set(REFERENCE_TIME t) {
    set_ = t;
    manual_ = true;
    TriggerThread();
  }

 private:
  std::atomic<bool> manual_{false};
  std::atomic<REFERENCE_TIME> set_{0};
};

IReferenceClock* Clock(SettableClock* c) { return static_cast<IReferenceClock*>(c); }

SettableClock* NewClock() {
  auto* clock = new SettableClock;
  clock->NonDelegatingAddRef();
  return clock;
}

TEST(ReferenceClock, GetTimeHoldsStillWhileThePrivateTimeStepsBack) {
  SettableClock* clock = NewClock();
  REFERENCE_TIME t = 0;
  clock->Set(5000000);
  EXPECT_EQ(Clock(clock)->GetTime(&t), S_OK);
  EXPECT_EQ(t, 5000000);
  clock->Set(2000000);  // backwards
  EXPECT_EQ(Clock(clock)->GetTime(&t), S_FALSE);
  EXPECT_EQ(t, 5000000);
  clock->Set(4999999);
  EXPECT_EQ(Clock(clock)->GetTime(&t), S_FALSE);
  EXPECT_EQ(t, 5000000);
  clock->Set(5000001);
  EXPECT_EQ(Clock(clock)->GetTime(&t), S_OK);
  EXPECT_EQ(t, 5000001);
  EXPECT_EQ(Clock(clock)->GetTime(nullptr), E_POINTER);
  EXPECT_EQ(Clock(clock)->Release(), 0u);
}

TEST(ReferenceClock, TheDefaultTimeFollowsTheSystemTimer) {
  SettableClock* clock = NewClock();
  REFERENCE_TIME a = 0, b = 0;
  Clock(clock)->GetTime(&a);
  Sleep(100);
  Clock(clock)->GetTime(&b);
  EXPECT_GE(b - a, 80 * 10000);
  EXPECT_LT(b - a, 2000 * 10000);
  EXPECT_EQ(Clock(clock)->Release(), 0u);
}

TEST(ReferenceClock, AdviseTimeFiresWhenItsTimeComes) {
  SettableClock* clock = NewClock();
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  REFERENCE_TIME now = 0;
  Clock(clock)->GetTime(&now);
  DWORD_PTR cookie = 0;
  const ULONGLONG before = GetTickCount64();
  ASSERT_EQ(Clock(clock)->AdviseTime(now, 150 * 10000, reinterpret_cast<HEVENT>(event.get()), &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  ASSERT_EQ(WaitForSingleObject(event.get(), 3000), WAIT_OBJECT_0);
  const ULONGLONG elapsed = GetTickCount64() - before;
  EXPECT_GE(elapsed, 130u);
  EXPECT_LT(elapsed, 1000u);
  EXPECT_EQ(clock->PendingAdvises(), 0u);  // one-shot
  EXPECT_EQ(Clock(clock)->Unadvise(cookie), S_FALSE);

  // Already due: at once.
  ResetEvent(event.get());
  Clock(clock)->GetTime(&now);
  ASSERT_EQ(Clock(clock)->AdviseTime(1, 0, reinterpret_cast<HEVENT>(event.get()), &cookie), S_OK);
  EXPECT_EQ(WaitForSingleObject(event.get(), 1000), WAIT_OBJECT_0);

  // A private time that jumps ahead fires a far advise without waiting for the timer.
  ResetEvent(event.get());
  Clock(clock)->GetTime(&now);
  ASSERT_EQ(Clock(clock)->AdviseTime(now, 3600LL * 10000000, reinterpret_cast<HEVENT>(event.get()), &cookie), S_OK);
  EXPECT_EQ(WaitForSingleObject(event.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
  clock->Set(now + 3601LL * 10000000);
  EXPECT_EQ(WaitForSingleObject(event.get(), 1000), WAIT_OBJECT_0);
  EXPECT_EQ(Clock(clock)->Release(), 0u);
}

TEST(ReferenceClock, PeriodicAdvisesRepeatUntilUnadvised) {
  SettableClock* clock = NewClock();
  UniqueHandle semaphore(CreateSemaphoreW(nullptr, 0, 1000, nullptr));
  REFERENCE_TIME now = 0;
  Clock(clock)->GetTime(&now);
  DWORD_PTR cookie = 0;
  ASSERT_EQ(Clock(clock)->AdvisePeriodic(now + 50 * 10000, 50 * 10000, reinterpret_cast<HSEMAPHORE>(semaphore.get()),
                                         &cookie), S_OK);
  const ULONGLONG start = GetTickCount64();
  int releases = 0;
  while (releases < 4 && WaitForSingleObject(semaphore.get(), 2000) == WAIT_OBJECT_0) ++releases;
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_EQ(releases, 4);
  EXPECT_GE(elapsed, 150u);
  EXPECT_LT(elapsed, 1500u);
  EXPECT_EQ(Clock(clock)->Unadvise(cookie), S_OK);
  while (WaitForSingleObject(semaphore.get(), 0) == WAIT_OBJECT_0) {
  }
  EXPECT_EQ(WaitForSingleObject(semaphore.get(), 250), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(clock->PendingAdvises(), 0u);

  // A huge jump ahead releases a bounded number of times, not once per missed period.
  Clock(clock)->GetTime(&now);
  ASSERT_EQ(Clock(clock)->AdvisePeriodic(now + 10000, 10000, reinterpret_cast<HSEMAPHORE>(semaphore.get()), &cookie),
            S_OK);
  clock->Set(now + 3600LL * 10000000);
  ASSERT_EQ(WaitForSingleObject(semaphore.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(Clock(clock)->Unadvise(cookie), S_OK);
  LONG count = 0;  // the releases after the first one
  ReleaseSemaphore(semaphore.get(), 1, &count);
  EXPECT_LT(count + 1, 100);
  EXPECT_EQ(Clock(clock)->Release(), 0u);
}

TEST(ReferenceClock, BadAdvisesAreRefused) {
  SettableClock* clock = NewClock();
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const auto h = reinterpret_cast<HEVENT>(event.get());
  const auto s = reinterpret_cast<HSEMAPHORE>(event.get());
  DWORD_PTR cookie = 7;
  EXPECT_EQ(Clock(clock)->AdviseTime(0, 10, h, nullptr), E_POINTER);
  EXPECT_EQ(Clock(clock)->AdviseTime(0, 10, 0, &cookie), E_INVALIDARG);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(Clock(clock)->AdviseTime(0, 0, h, &cookie), E_INVALIDARG);
  EXPECT_EQ(Clock(clock)->AdviseTime(-5, 1, h, &cookie), E_INVALIDARG);
  EXPECT_EQ(Clock(clock)->AdviseTime(0x7FFFFFFFFFFFFFF0LL, 0x100, h, &cookie), E_INVALIDARG);  // overflow
  EXPECT_EQ(Clock(clock)->AdvisePeriodic(10, 0, s, &cookie), E_INVALIDARG);
  EXPECT_EQ(Clock(clock)->AdvisePeriodic(0, 10, s, &cookie), E_INVALIDARG);
  EXPECT_EQ(Clock(clock)->AdvisePeriodic(10, 10, 0, &cookie), E_INVALIDARG);
  EXPECT_EQ(Clock(clock)->Unadvise(12345), S_FALSE);
  EXPECT_EQ(clock->PendingAdvises(), 0u);
  EXPECT_EQ(Clock(clock)->Release(), 0u);
}

TEST(ReferenceClock, AnAllocationFailureInAnAdviseIsOutOfMemoryAndTheClockGoesOn) {
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle semaphore(CreateSemaphoreW(nullptr, 0, 1000, nullptr));
  // Both kinds of advise are due at once; each allocation the first advise of a clock makes
  // (its advise thread, the advise list) fails in turn.
  const struct {
    const char* name;
    HRESULT (*advise)(IReferenceClock*, HANDLE, DWORD_PTR*);
    HANDLE handle;
  } advises[] = {
      {"AdviseTime",
       [](IReferenceClock* c, HANDLE h, DWORD_PTR* cookie) { return c->AdviseTime(1, 0, reinterpret_cast<HEVENT>(h), cookie); },
       event.get()},
      {"AdvisePeriodic",
       [](IReferenceClock* c, HANDLE h, DWORD_PTR* cookie) {
         return c->AdvisePeriodic(1, 10000000, reinterpret_cast<HSEMAPHORE>(h), cookie);
       },
       semaphore.get()},
  };
  for (const auto& a : advises) {
    int failures = 0;
    for (int n = 0; n < 20; ++n) {
      SCOPED_TRACE(testing::Message() << a.name << ", allocation " << n << " fails");
      SettableClock* clock = NewClock();
      DWORD_PTR cookie = 7;
      HRESULT hr = E_FAIL;
      bool failed = false;
      {
        FailingAllocation failing(n);
        hr = a.advise(Clock(clock), a.handle, &cookie);
        failed = failing.Happened();
      }
      if (!failed) {  // past the advise's last allocation
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(Clock(clock)->Release(), 0u);
        break;
      }
      ++failures;
      EXPECT_EQ(hr, E_OUTOFMEMORY);
      EXPECT_EQ(cookie, 0u);
      EXPECT_EQ(clock->PendingAdvises(), 0u);
      // Nothing is lost: the next advise works and fires.
      ResetEvent(event.get());
      ASSERT_EQ(a.advise(Clock(clock), a.handle, &cookie), S_OK);
      EXPECT_NE(cookie, 0u);
      EXPECT_EQ(WaitForSingleObject(a.handle, 2000), WAIT_OBJECT_0);
      EXPECT_EQ(Clock(clock)->Release(), 0u);
    }
    EXPECT_GE(failures, 2) << a.name;
  }
}

TEST(ReferenceClock, ComIdentityAndAggregation) {
  SettableClock* clock = NewClock();
  ExpectInterfaces(Clock(clock), {&IID_IUnknown}, {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPin, &IID_IMemAllocator});
  EXPECT_EQ(Clock(clock)->QueryInterface(IID_IReferenceClock, nullptr), E_POINTER);
  EXPECT_EQ(Clock(clock)->Release(), 0u);

  // Aggregated: IReferenceClock counts on the outer object and answers the outer identity.
  AggregatingOuter outer;
  auto* aggregated = new SettableClock(&outer);
  outer.Aggregate(aggregated);
  IReferenceClock* rc = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&rc)), S_OK);
  EXPECT_EQ(outer.refs, 2);
  IUnknown* identity = nullptr;
  ASSERT_EQ(rc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  rc->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(aggregated->NonDelegatingRelease(), 0u);
}

}  // namespace

#include "common/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "common/handles.h"

namespace {

class Counter final : public PeriodicThread {
 public:
  ~Counter() override { Stop(); }
  std::atomic<int> ticks{0};
  std::atomic<DWORD> tickSleep{0};
  std::atomic<bool> stopFromTick{false};
  std::atomic<DWORD> stopFromTickMs{0};
  UniqueHandle tickEntered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set by every tick

 protected:
  void Tick() override {
    ++ticks;
    SetEvent(tickEntered.get());
    if (stopFromTick) {
      const DWORD t0 = GetTickCount();
      Stop();
      stopFromTickMs = GetTickCount() - t0;
      stopFromTick = false;
    }
    if (tickSleep) Sleep(tickSleep);
  }
};

// Waits (bounded) until the counter has ticked `count` times; returns the milliseconds waited.
DWORD WaitForTicks(const Counter& c, int count) {
  const DWORD t0 = GetTickCount();
  while (c.ticks < count && GetTickCount() - t0 < 10000) Sleep(5);
  return GetTickCount() - t0;
}

}  // namespace

TEST(PeriodicThread, TicksUntilStoppedAndResetsThePeriod) {
  Counter c;
  const DWORD t0 = GetTickCount();
  ASSERT_EQ(c.Start(10), S_OK);
  EXPECT_EQ(c.Start(500), S_OK);  // running: the first period stays
  EXPECT_EQ(c.period(), 10u);
  WaitForTicks(c, 5);
  c.Stop();
  const DWORD elapsed = GetTickCount() - t0;
  const int ticks = c.ticks;
  EXPECT_GE(ticks, 5);
  EXPECT_LE(ticks, static_cast<int>(elapsed / 10) + 2);  // never faster than the period
  EXPECT_EQ(c.period(), 1000u);
  EXPECT_FALSE(c.IsRunning());
  Sleep(50);
  EXPECT_EQ(c.ticks, ticks);  // no tick after Stop
}

TEST(PeriodicThread, StopWithoutStartIsHarmlessAndRestartWorks) {
  Counter c;
  c.Stop();
  ASSERT_EQ(c.Start(5), S_OK);
  c.Stop();
  ASSERT_EQ(c.Start(5), S_OK);
  WaitForTicks(c, 1);
  c.Stop();
  EXPECT_GT(c.ticks, 0);
}

TEST(PeriodicThread, StuckTickIsTerminatedAfterTheStopTimeout) {
  Counter c;
  c.SetStopTimeout(100);
  c.tickSleep = 60000;
  ASSERT_EQ(c.Start(1), S_OK);
  ASSERT_EQ(WaitForSingleObject(c.tickEntered.get(), 10000), WAIT_OBJECT_0);  // the first tick sleeps
  const DWORD t0 = GetTickCount();
  c.Stop();
  EXPECT_LT(GetTickCount() - t0, 5000u);
  EXPECT_FALSE(c.IsRunning());
  EXPECT_EQ(c.period(), 1000u);
}

TEST(PeriodicThread, StopFromTickReturnsAtOnceAndEndsTheThread) {
  Counter c;
  c.stopFromTick = true;
  ASSERT_EQ(c.Start(1), S_OK);
  for (int i = 0; i < 200 && c.IsRunning(); ++i) Sleep(10);
  EXPECT_FALSE(c.IsRunning());
  EXPECT_LT(c.stopFromTickMs.load(), 1000u);
  EXPECT_EQ(c.ticks, 1);
  // The object is usable again.
  ASSERT_EQ(c.Start(5), S_OK);
  c.Stop();
}

// A Start racing a Stop: the starter calls Start(7) without pause until the stop has returned,
// then once more, so that one of its calls meets the moment the old thread has ended and the
// stop has not yet finished. Whichever call starts the new thread, that thread ticks at 7 ms:
// the stop's reset to 1000 belongs to the thread it ended.
TEST(PeriodicThread, AStartRacingAStopKeepsItsOwnPeriod) {
  struct Race {
    Counter* counter;
    HANDLE go;
    std::atomic<bool> stopped{false};
  };
  struct Starter {
    static DWORD WINAPI Entry(void* p) {
      auto* race = static_cast<Race*>(p);
      WaitForSingleObject(race->go, 10000);
      while (!race->stopped) race->counter->Start(7);
      return static_cast<DWORD>(race->counter->Start(7));
    }
  };
  for (int round = 0; round < 200; ++round) {
    Counter c;
    ASSERT_EQ(c.Start(50), S_OK);
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    Race race{&c, go.get()};
    UniqueHandle starter(CreateThread(nullptr, 0, &Starter::Entry, &race, 0, nullptr));
    ASSERT_TRUE(starter);
    SetEvent(go.get());
    c.Stop();
    race.stopped = true;
    ASSERT_EQ(WaitForSingleObject(starter.get(), 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(starter.get(), &code);
    ASSERT_EQ(static_cast<HRESULT>(code), S_OK);
    ASSERT_TRUE(c.IsRunning());
    ASSERT_EQ(c.period(), 7u) << "round " << round;
  }
}

namespace {
class ComProbe final : public StoppableThread {
 public:
  using StoppableThread::StoppableThread;
  ~ComProbe() override { Stop(); }
  std::atomic<HRESULT> seen{E_FAIL};

 protected:
  DWORD Run() override {
    // Already initialised by the entry: a second multithreaded init answers S_FALSE.
    seen = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(seen)) CoUninitialize();
    WaitForSingleObject(stopEvent(), INFINITE);
    return 5;
  }
};
}  // namespace

TEST(StoppableThread, InitialisesComPerThreadWhenAsked) {
  ComProbe t(StoppableThread::ComApartment::MultiThreaded);
  ASSERT_EQ(t.Start(), S_OK);
  for (int i = 0; i < 200 && t.seen == E_FAIL; ++i) Sleep(5);
  EXPECT_EQ(t.seen.load(), S_FALSE);
  t.Stop();
  EXPECT_EQ(t.threadHandle(), nullptr);
}

// The device lock: re-entrant on one thread, bounded for the others, abandoned counts as held.
#include <gtest/gtest.h>

#include <thread>

#include "common/hresult.h"
#include "devices/core/device_lock.h"

namespace {

TEST(DeviceLock, ReentrantOnItsThreadAndBoundedForOthers) {
  DeviceLock lock;
  ASSERT_EQ(lock.Create(), S_OK);
  lock.SetTimeout(50);
  ScopedDeviceLock outer(&lock);
  ASSERT_EQ(outer.status(), S_OK);
  {
    ScopedDeviceLock inner(&lock);  // the shutdown calls other operations of its object
    EXPECT_EQ(inner.status(), S_OK);
  }
  HRESULT other = S_OK;
  std::thread([&] {
    ScopedDeviceLock second(&lock);
    other = second.status();
  }).join();
  EXPECT_EQ(other, HRESULT_FROM_WIN32(WAIT_TIMEOUT));
}

TEST(DeviceLock, ReleasedAtTheEndOfTheScope) {
  DeviceLock lock;
  ASSERT_EQ(lock.Create(), S_OK);
  lock.SetTimeout(50);
  { ScopedDeviceLock scope(&lock); }
  HRESULT other = E_FAIL;
  std::thread([&] {
    ScopedDeviceLock second(&lock);
    other = second.status();
  }).join();
  EXPECT_EQ(other, S_OK);
}

TEST(DeviceLock, AnAbandonedLockIsTakenOver) {
  DeviceLock lock;
  ASSERT_EQ(lock.Create(), S_OK);
  lock.SetTimeout(1000);
  // The owner thread ends without releasing.
  std::thread([&] { lock.object().Acquire(0); }).join();
  ScopedDeviceLock scope(&lock);
  EXPECT_EQ(scope.status(), S_OK);
}

TEST(DeviceLock, NoLockObjectMeansNoWait) {
  ScopedDeviceLock scope(nullptr);
  EXPECT_EQ(scope.status(), S_OK);
  DeviceLock never;  // not created: the wait fails and says so
  ScopedDeviceLock failed(&never);
  EXPECT_TRUE(FAILED(failed.status()));
}

}  // namespace

namespace {

// The gap lets go only of a lock this thread holds, so that another thread gets it meanwhile,
// and takes it back; a thread that holds nothing takes nothing.
TEST(DeviceLockGap, LetsGoOnlyOfALockTheThreadHolds) {
  DeviceLock lock;
  ASSERT_EQ(lock.Create(), S_OK);
  lock.SetTimeout(5000);
  auto otherThreadTakes = [&] {
    bool taken = false;
    std::thread other([&] {
      ScopedDeviceLock held(&lock);
      taken = held.status() == S_OK;
    });
    other.join();
    return taken;
  };
  {
    DeviceLockGap idle(lock);  // not held here: nothing happens
    EXPECT_EQ(idle.Retake(), S_OK);
  }
  EXPECT_TRUE(otherThreadTakes());
  {
    ScopedDeviceLock held(&lock);
    ASSERT_EQ(held.status(), S_OK);
    lock.SetTimeout(0);
    EXPECT_FALSE(otherThreadTakes());
    lock.SetTimeout(5000);
    {
      DeviceLockGap gap(lock);
      EXPECT_TRUE(otherThreadTakes());
      EXPECT_EQ(gap.Retake(), S_OK);
      lock.SetTimeout(0);
      EXPECT_FALSE(otherThreadTakes());
      lock.SetTimeout(5000);
    }
  }
  EXPECT_TRUE(otherThreadTakes());
}

}  // namespace

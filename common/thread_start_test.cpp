#include "common/thread_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/hresult.h"
#include "common/testing/process_counters.h"
#include "common/testing/time_scale.h"
#include "common/thread.h"

namespace {

DWORD Answer(void* value) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(value)); }
DWORD Throws(void*) { throw std::runtime_error("out of the routine"); }

// A thread that uses what the runtimes keep per thread (errno, the random seed, strerror's
// buffer, the C++ exception globals) before it waits for its stop.
class RuntimeUser final : public StoppableThread {
 public:
  ~RuntimeUser() override { Stop(); }

 private:
  DWORD Run() override {
    errno = 0;
    std::srand(GetCurrentThreadId());
    used_ = std::rand() + static_cast<int>(std::strlen(std::strerror(EINVAL)));
    try {
      throw std::runtime_error("caught on the thread");
    } catch (const std::exception& e) {
      used_ = used_ + static_cast<int>(std::strlen(e.what()));
    }
    WaitForSingleObject(stopEvent(), INFINITE);
    return 0;
  }
  std::atomic<int> used_{0};
};

// Open handles. Wine answers 0 to GetProcessHandleCount: the handle values are probed then
// (Wine hands out the lowest free value, so the probe ends well past the last one in use).
unsigned OpenHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count) return count;
  constexpr uintptr_t kPastLast = 4 * 4096;
  DWORD flags = 0;
  uintptr_t last = 0;
  for (uintptr_t value = 4; value < last + kPastLast; value += 4) {
    if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) continue;
    last = value;
    ++count;
  }
  return count;
}

}  // namespace

TEST(StartModuleThread, EndsWithTheRoutinesResultAndRefusesNoRoutine) {
  struct Row {
    ThreadRoutine routine;
    void* parameter;
    DWORD exitCode;
  };
  const Row rows[] = {
      {&Answer, reinterpret_cast<void*>(uintptr_t{42}), 42},
      {&Throws, nullptr, static_cast<DWORD>(E_UNEXPECTED)},  // the exception stays on the thread
  };
  for (const Row& row : rows) {
    UniqueHandle thread;
    DWORD id = 0;
    ASSERT_EQ(StartModuleThread(row.routine, row.parameter, thread, &id), S_OK);
    ASSERT_TRUE(thread);
    EXPECT_EQ(GetThreadId(thread.get()), id);
    ASSERT_EQ(WaitForSingleObject(thread.get(), testing_support::ScaledBound(10000)), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, row.exitCode);
  }
  UniqueHandle none;
  EXPECT_EQ(StartModuleThread(nullptr, nullptr, none), E_POINTER);
  EXPECT_FALSE(none);
}

// Each thread takes a module reference and ends in FreeLibraryAndExitThread, so the runtime's
// end of a thread (_endthreadex) never runs: whatever the runtimes keep per thread must go with
// the thread all the same. A thousand cycles of start and stop leave the handles and the
// committed private memory where they were (a leak of 300 bytes a thread would not fit).
TEST(StartModuleThread, AThousandStartStopCyclesLeaveNoGrowth) {
  constexpr int kCycles = 1000;
  RuntimeUser thread;
  const auto cycles = [&thread](int count) {
    for (int i = 0; i < count; ++i) {
      if (FAILED(thread.Start())) return false;
      thread.Stop();
    }
    return true;
  };
  ASSERT_TRUE(cycles(50));  // the runtimes' one-time allocations come first
  const unsigned handlesBefore = OpenHandles();
  const unsigned long long bytesBefore = testing_support::CommittedPrivateBytes();
  ASSERT_TRUE(cycles(kCycles));
  const long long handleGrowth = static_cast<long long>(OpenHandles()) - handlesBefore;
  const long long byteGrowth = static_cast<long long>(testing_support::CommittedPrivateBytes() - bytesBefore);
  std::printf("%d start/stop cycles: handles %+lld (of %u), committed private bytes %+lld (of %llu)\n",
              kCycles, handleGrowth, handlesBefore, byteGrowth, bytesBefore);
  EXPECT_LE(handleGrowth, 10);
  EXPECT_LE(byteGrowth, 256 * 1024) << "about " << byteGrowth / kCycles << " bytes a cycle";
}

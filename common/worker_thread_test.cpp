#include "common/worker_thread.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <atomic>

namespace {

struct Worker {
  UniqueHandle exit{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  std::atomic<int> runs{0};
  std::atomic<HRESULT> comOnThread{E_FAIL};
  bool ignoreExit = false;
  bool stopItself = false;
  UniqueHandle go{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // the slot holds the thread
  std::atomic<HRESULT> selfStop{E_FAIL};

  static DWORD Loop(void* self) {
    auto* w = static_cast<Worker*>(self);
    ++w->runs;
    // CoInitialize again answers S_FALSE when the entry already initialised COM here.
    const HRESULT again = CoInitialize(nullptr);
    w->comOnThread = again;
    if (SUCCEEDED(again)) CoUninitialize();
    SetEvent(w->started.get());
    if (w->stopItself) {
      WaitForSingleObject(w->go.get(), 10000);
      w->selfStop = WorkerThread::StopWorker(w->thread, w->exit.get(), 10000);
      return 7;
    }
    if (w->ignoreExit) {
      Sleep(INFINITE);
    }
    WaitForSingleObject(w->exit.get(), 10000);
    return 42;
  }
};

}  // namespace

TEST(WorkerThread, RunsTheLoopWithComAndEndsWithItsResult) {
  Worker w;
  ASSERT_EQ(WorkerThread::Start(&w, w.thread, &Worker::Loop), S_OK);
  ASSERT_TRUE(w.thread);
  const HANDLE first = w.thread.get();
  // A slot that holds a thread is left alone.
  EXPECT_EQ(WorkerThread::Start(&w, w.thread, &Worker::Loop), S_OK);
  EXPECT_EQ(w.thread.get(), first);

  SetEvent(w.exit.get());
  ASSERT_EQ(WaitForSingleObject(w.thread.get(), 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(w.thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(w.runs, 1);
  EXPECT_EQ(w.comOnThread.load(), S_FALSE);
  EXPECT_EQ(WorkerThread::StopWorker(w.thread, w.exit.get(), 1000), S_OK);
  EXPECT_FALSE(w.thread);
}

TEST(WorkerThread, StopSignalsWaitsAndClearsTheSlot) {
  Worker w;
  ASSERT_EQ(WorkerThread::Start(&w, w.thread, &Worker::Loop), S_OK);
  // Stopped once it runs: on a busy machine the stop wait could otherwise expire during the
  // thread's start-up, and a thread terminated there can hang the process's exit.
  ASSERT_EQ(WaitForSingleObject(w.started.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WorkerThread::StopWorker(w.thread, w.exit.get(), 10000), S_OK);
  EXPECT_FALSE(w.thread);
  EXPECT_EQ(WaitForSingleObject(w.exit.get(), 0), WAIT_OBJECT_0);
  // Without a thread there is nothing to do.
  EXPECT_EQ(WorkerThread::StopWorker(w.thread, w.exit.get(), 10), S_OK);
}

TEST(WorkerThread, AThreadThatIgnoresTheExitEventIsTerminatedAfterTheTimeout) {
  Worker w;
  w.ignoreExit = true;
  ASSERT_EQ(WorkerThread::Start(&w, w.thread, &Worker::Loop), S_OK);
  // Terminated only once it sleeps: a thread cut off inside COM's start-up would leave the
  // loader's lock taken and hang the process's exit.
  ASSERT_EQ(WaitForSingleObject(w.started.get(), 10000), WAIT_OBJECT_0);
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_EQ(WorkerThread::StopWorker(w.thread, w.exit.get(), 100), S_FALSE);
  EXPECT_LT(GetTickCount64() - t0, 5000u);
  EXPECT_FALSE(w.thread);
}

TEST(WorkerThread, AThreadThatStoppedItselfIsCollectedByTheNextStart) {
  Worker w;
  w.stopItself = true;
  ASSERT_EQ(WorkerThread::Start(&w, w.thread, &Worker::Loop), S_OK);
  SetEvent(w.go.get());
  ASSERT_EQ(WaitForSingleObject(w.thread.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(w.selfStop.load(), S_FALSE);
  ASSERT_TRUE(w.thread);  // kept: its own thread cannot wait for itself
  // The ended thread does not block a new start.
  w.stopItself = false;
  ResetEvent(w.exit.get());
  ResetEvent(w.started.get());
  ASSERT_EQ(WorkerThread::Start(&w, w.thread, &Worker::Loop), S_OK);
  ASSERT_EQ(WaitForSingleObject(w.started.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WorkerThread::StopWorker(w.thread, w.exit.get(), 10000), S_OK);
  EXPECT_EQ(w.runs, 2);
  EXPECT_FALSE(w.thread);
}

TEST(WorkerThread, NullLoopIsRefused) {
  UniqueHandle slot;
  EXPECT_EQ(WorkerThread::Start(nullptr, slot, nullptr), E_POINTER);
  EXPECT_FALSE(slot);
}

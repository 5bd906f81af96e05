// Win32 worker threads with a stop event. Derived classes that override Run (or Tick) call
// Stop() in their own destructor: the base destructor stops too, but by then the derived part
// is gone.
//
// Threads start through StartModuleThread (thread_start.h): each holds its module until it
// has ended. Termination on time-out (TerminateThread) can leave a lock the thread held taken
// forever, the heap lock included; it is the last resort after the stop time-out, never the plan.
#pragma once

#include <windows.h>

#include "common/handles.h"
#include "common/locks.h"
#include "common/timeouts.h"

class StoppableThread {
 public:
  enum class ComApartment { None, SingleThreaded, MultiThreaded };

  explicit StoppableThread(ComApartment com = ComApartment::None) : com_(com) {}
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;
  virtual ~StoppableThread() { Stop(); }

  // Starts the thread; S_OK without change when it runs already.
  HRESULT Start();
  // Signals the stop event, waits up to the stop time-out, terminates the thread with the wait's
  // result when it did not end, and closes the handles. Called from the thread itself it only
  // signals and returns: an owner destroyed on its own thread then frees what Run runs on, so
  // such a destruction waits until Run has let go of it (LastReleaseDeferral,
  // filters/base/unknown.h, for an owner whose last release can come on the thread).
  void Stop();

  bool IsRunning() const;
  bool OnThread() const noexcept { return GetCurrentThreadId() == threadId_; }
  HANDLE stopEvent() const noexcept { return stop_.get(); }
  HANDLE threadHandle() const noexcept { return thread_.get(); }
  bool StopRequested() const noexcept {
    return stop_ && WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0;
  }
  // The wait before termination (timeouts::kWorkerStop unless a test shortens it).
  void SetStopTimeout(DWORD ms) noexcept { stopTimeout_ = ms; }
  DWORD stopTimeout() const noexcept { return stopTimeout_; }

 protected:
  // Start, with `prepare()` called under the start lock just before a new thread is created
  // (never when one runs already): what the new thread reads is set after any Stop has finished.
  template <class Prepare>
  HRESULT StartWith(Prepare&& prepare) {
    LockGuard guard(lock_, INFINITE);
    if (IsRunning()) return S_OK;
    prepare();
    return StartLocked();
  }

  // The thread's work; returns when stopEvent() is signalled. Its result is the exit code.
  // Exceptions do not leave it (the entry swallows them and exits with E_UNEXPECTED).
  virtual DWORD Run() = 0;
  // Called by Stop after the thread has ended or been terminated.
  virtual void OnStopped() {}

 private:
  static DWORD Entry(void* self);
  HRESULT StartLocked();  // under lock_, no thread running

  const ComApartment com_;
  CriticalSection lock_;  // Start and Stop from several threads
  UniqueHandle thread_;
  UniqueHandle stop_;
  volatile DWORD threadId_ = 0;
  DWORD stopTimeout_ = timeouts::kWorkerStop;
};

// A worker that calls Tick every `period` ms until stopped. The period is the pause between
// ticks: a long tick delays the next one.
class PeriodicThread : public StoppableThread {
 public:
  static constexpr DWORD kDefaultPeriod = 1000;

  PeriodicThread() = default;
  ~PeriodicThread() override { Stop(); }

  // Starts ticking; S_OK without change (the first period stays) when running already. The
  // period is stored under the start lock, so a Start racing another Start or a Stop cannot
  // leave the new thread with another caller's period or the stop's 1000.
  HRESULT Start(DWORD periodMs);
  using StoppableThread::Stop;
  DWORD period() const noexcept { return period_; }

 protected:
  virtual void Tick() = 0;

 private:
  using StoppableThread::Start;
  DWORD Run() final;
  void OnStopped() final { period_ = kDefaultPeriod; }

  volatile DWORD period_ = kDefaultPeriod;
};

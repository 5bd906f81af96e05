// Worker threads with a thread message queue, shared by the renderer, the preview control and
// the board control: `MessageThread` (a queue, a stop event, a wait time-out that doubles as a
// timer, and synchronous calls through `Send`) and the registered messages they exchange.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <unordered_map>

#include "common/locks.h"
#include "common/thread.h"
#include "common/timeouts.h"

// Registered window messages, registered once per module on first use.
UINT WorkerCallMessage();  // "{ADA0C3CE-...}": a `Send` call to a message thread
UINT VideoMuteMessage();   // "{FEEFB2CA-36CD-400c-...}": wParam = mute flag
UINT MuteTimerMessage();   // "{FEEFB2CA-36CD-400d-...}": one character away from the one above
UINT GraphEventMessage();  // "{559AB99D-...}": the internal graph's event notification

class MessageThread : private StoppableThread {
 public:
  using StoppableThread::ComApartment;
  explicit MessageThread(ComApartment com = ComApartment::None) : StoppableThread(com) {}
  // Derived classes that override Run stop the thread in their own destructor.
  ~MessageThread() override;

  // Starts the thread and waits for it to become ready. S_OK when running (also when it was
  // running already); the failing Run's exit code as an HRESULT when the thread ended first
  // (E_FAIL for an exit code that is no failure); 0x80070102 after the start time-out (the
  // thread is terminated).
  virtual HRESULT Start();
  // Stops the thread (terminated after the stop time-out) and closes the events. Never from the
  // thread itself.
  virtual void Stop();

  // Posts a thread message to the worker.
  virtual HRESULT Post(UINT message, WPARAM wParam, LPARAM lParam);
  // Runs OnMessage(message, wParam, lParam) on the worker and waits for it to be done:
  // S_OK, the failed post, or 0x80070102 after the call time-out. Each call has its own packet
  // and done event: concurrent callers each wait for their own call, and a timed-out call is
  // withdrawn (it never runs later, and the worker never touches the caller's memory).
  virtual HRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendCall(message, wParam, lParam, nullptr);
  }

  // The loop's wait time-out (INFINITE by default), read anew before every wait: a handler may
  // change it to arm or disarm OnTimeout.
  void SetWaitTimeout(DWORD ms) noexcept { waitTimeout_ = ms; }
  DWORD waitTimeout() const noexcept { return waitTimeout_; }

  // The waits of Start and Send (timeouts::kMessageCall unless a test shortens them) and of
  // Stop before termination.
  void SetStartTimeout(DWORD ms) noexcept { startTimeout_ = ms; }
  void SetCallTimeout(DWORD ms) noexcept { callTimeout_ = ms; }
  using StoppableThread::SetStopTimeout;

  using StoppableThread::IsRunning;
  using StoppableThread::OnThread;
  DWORD threadId() const noexcept { return threadId_; }

 protected:
  // The thread's work: forces the queue, signals ready and runs the loop. Its result is the
  // thread's exit code (an HRESULT or a Win32 code).
  DWORD Run() override { return RunLoop(); }
  // Forces the thread's queue, signals ready, then waits for the stop event or input until
  // stopped (returns 0); a failed wait returns its error.
  DWORD RunLoop();

  // Send, with an object that lParam points into kept alive until the worker is done with the
  // call, also when the caller's wait timed out first.
  HRESULT SendCall(UINT message, WPARAM wParam, LPARAM lParam, std::shared_ptr<void> keepAlive);

  // Handlers, on the worker thread; exceptions never leave them.
  virtual void OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnTimeout() {}

 private:
  struct Call;
  void HandleThreadMessage(const MSG& msg);
  std::shared_ptr<Call> TakeCall(LPARAM packet);

  UniqueHandle ready_;
  std::atomic<DWORD> waitTimeout_{INFINITE};
  std::atomic<DWORD> threadId_{0};
  DWORD startTimeout_ = timeouts::kMessageCall;
  DWORD callTimeout_ = timeouts::kMessageCall;
  CriticalSection callsLock_;  // the calls posted and not yet taken; never held with another lock
  std::unordered_map<const Call*, std::shared_ptr<Call>> calls_;
};

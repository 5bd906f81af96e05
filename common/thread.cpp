#include "common/thread.h"

#include <objbase.h>

#include "common/hresult.h"
#include "common/thread_start.h"

bool StoppableThread::IsRunning() const {
  return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT;
}

HRESULT StoppableThread::Start() {
  LockGuard guard(lock_, INFINITE);
  if (IsRunning()) return S_OK;
  return StartLocked();
}

HRESULT StoppableThread::StartLocked() {
  if (thread_) {  // ended on its own (or stopped itself): collect it
    thread_.reset();
    threadId_ = 0;
  }
  if (!stop_) {
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_) return HResultFromLastError();
  }
  ResetEvent(stop_.get());
  DWORD id = 0;
  RETURN_IF_FAILED(StartModuleThread(&StoppableThread::Entry, this, thread_, &id));
  threadId_ = id;
  return S_OK;
}

void StoppableThread::Stop() {
  if (OnThread()) {  // from the worker itself: waiting would wait on ourselves
    if (stop_) SetEvent(stop_.get());
    return;
  }
  LockGuard guard(lock_, INFINITE);
  if (thread_) {
    if (stop_) SetEvent(stop_.get());
    const DWORD wait = WaitForSingleObject(thread_.get(), stopTimeout_);
    if (wait != WAIT_OBJECT_0) TerminateThread(thread_.get(), wait);
    thread_.reset();
    threadId_ = 0;
    OnStopped();
  }
  stop_.reset();
}

DWORD StoppableThread::Entry(void* param) {
  auto* self = static_cast<StoppableThread*>(param);
  bool comInitialised = false;
  if (self->com_ != ComApartment::None) {
    const DWORD model = self->com_ == ComApartment::SingleThreaded ? COINIT_APARTMENTTHREADED
                                                                   : COINIT_MULTITHREADED;
    comInitialised = SUCCEEDED(CoInitializeEx(nullptr, model));
  }
  DWORD result = static_cast<DWORD>(E_UNEXPECTED);
  GuardNoThrow([&] { result = self->Run(); });
  if (comInitialised) CoUninitialize();
  return result;
}

HRESULT PeriodicThread::Start(DWORD periodMs) {
  return StartWith([this, periodMs] { period_ = periodMs; });
}

DWORD PeriodicThread::Run() {
  const HANDLE stop = stopEvent();
  for (;;) {
    switch (WaitForSingleObject(stop, period_)) {
      case WAIT_TIMEOUT:
        GuardNoThrow([this] { Tick(); });
        break;
      case WAIT_OBJECT_0:
        return 0;
      case WAIT_FAILED:
        return 1;  // a broken stop event would otherwise spin
      default:
        break;
    }
  }
}

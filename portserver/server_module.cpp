#include "portserver/server_module.h"

#include <objbase.h>

ServerModule& ServerModule::Instance() {
  static ServerModule module;
  return module;
}

void ServerModule::Lock() {
  InterlockedIncrement(&count_);
  CoAddRefServerProcess();
}

void ServerModule::Unlock() {
  // COM's count falls with ours; at zero it has suspended the class objects already.
  CoReleaseServerProcess();
  if (InterlockedDecrement(&count_) == 0) {
    InterlockedExchange64(&idleSince_, static_cast<LONGLONG>(GetTickCount64()));
    // Wakes the loop so that it starts counting the linger time now.
    if (loopThread_) PostThreadMessageW(loopThread_, WM_NULL, 0, 0);
  }
}

LONG ServerModule::count() const { return InterlockedCompareExchange(const_cast<LONG*>(&count_), 0, 0); }

bool ServerModule::stopping() const {
  return InterlockedCompareExchange(const_cast<LONG*>(&stopping_), 0, 0) != 0;
}

namespace {

// Dispatches the thread's waiting messages; false once WM_QUIT came.
bool DispatchWaitingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) return false;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

}  // namespace

void ServerModule::Run(DWORD lingerMs) {
  InterlockedExchange(&stopping_, 0);
  loopThread_ = GetCurrentThreadId();
  InterlockedExchange64(&idleSince_, static_cast<LONGLONG>(GetTickCount64()));
  for (;;) {
    if (!DispatchWaitingMessages()) break;
    DWORD wait = INFINITE;
    if (count() == 0) {
      const ULONGLONG idle = GetTickCount64() - static_cast<ULONGLONG>(idleSince_);
      if (idle >= lingerMs) break;
      wait = static_cast<DWORD>(lingerMs - idle);
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  // Set on the loop's own thread, where the class objects' calls arrive: every call from here
  // on sees it.
  InterlockedExchange(&stopping_, 1);
  loopThread_ = 0;
}

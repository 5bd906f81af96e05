#include "common/window/message_thread.h"

#include "common/hresult.h"

namespace {

UINT Register(const wchar_t* name) noexcept { return RegisterWindowMessageW(name); }

}  // namespace

UINT WorkerCallMessage() {
  static const UINT message = Register(L"{ADA0C3CE-A7D6-4b62-9194-347E528A342F}");
  return message;
}
UINT VideoMuteMessage() {
  static const UINT message = Register(L"{FEEFB2CA-36CD-400c-B364-B5E15FA60499}");
  return message;
}
UINT MuteTimerMessage() {
  static const UINT message = Register(L"{FEEFB2CA-36CD-400d-B364-B5E15FA60499}");
  return message;
}
UINT GraphEventMessage() {
  static const UINT message = Register(L"{559AB99D-D756-42f3-9BCB-75D04FEE141D}");
  return message;
}

// One `Send`: the caller's message and its own done event. Shared between the caller and the
// worker, so whichever lets go last frees it.
struct MessageThread::Call {
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<void> keepAlive;  // what lParam points into, when the caller passed it
  UniqueHandle done;
};

MessageThread::~MessageThread() { Stop(); }

HRESULT MessageThread::Start() {
  if (IsRunning()) return S_OK;
  if (!ready_) {
    ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ready_) return HResultFromLastError();
  }
  ResetEvent(ready_.get());
  RETURN_IF_FAILED(StoppableThread::Start());
  threadId_ = GetThreadId(threadHandle());

  const HANDLE waits[] = {threadHandle(), ready_.get()};
  const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, startTimeout_);
  if (wait == WAIT_OBJECT_0 + 1) return S_OK;

  HRESULT hr = HResultFromWin32(WAIT_TIMEOUT);
  if (wait == WAIT_OBJECT_0) {  // Run ended before it was ready: its result
    DWORD code = 0;
    hr = GetExitCodeThread(threadHandle(), &code) ? HResultFromWin32(code) : HResultFromLastError();
    if (SUCCEEDED(hr)) hr = E_FAIL;
  } else {
    if (wait == WAIT_FAILED) hr = HResultFromLastError();
    TerminateThread(threadHandle(), static_cast<DWORD>(hr));
  }
  StoppableThread::Stop();  // collects the ended thread
  threadId_ = 0;
  return hr;
}

void MessageThread::Stop() {
  if (OnThread()) {  // from a handler: only ask the loop to end
    StoppableThread::Stop();
    return;
  }
  StoppableThread::Stop();
  threadId_ = 0;
  ready_.reset();
  LockGuard guard(callsLock_, INFINITE);
  calls_.clear();  // calls the thread never took: their callers are waiting out their time-out
}

HRESULT MessageThread::Post(UINT message, WPARAM wParam, LPARAM lParam) {
  const DWORD id = threadId_;
  if (!id) return HResultFromWin32(ERROR_INVALID_THREAD_ID);  // not running
  if (!PostThreadMessageW(id, message, wParam, lParam)) return HResultFromLastError();
  return S_OK;
}

HRESULT MessageThread::SendCall(UINT message, WPARAM wParam, LPARAM lParam,
                                std::shared_ptr<void> keepAlive) {
  auto call = std::make_shared<Call>();
  call->message = message;
  call->wParam = wParam;
  call->lParam = lParam;
  call->keepAlive = std::move(keepAlive);
  call->done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!call->done) return HResultFromLastError();
  {
    LockGuard guard(callsLock_, INFINITE);
    calls_[call.get()] = call;
  }
  const HRESULT posted = Post(WorkerCallMessage(), 0, reinterpret_cast<LPARAM>(call.get()));
  DWORD wait = WAIT_FAILED;
  if (SUCCEEDED(posted)) wait = WaitForSingleObject(call->done.get(), callTimeout_);
  if (wait == WAIT_OBJECT_0) return S_OK;
  const DWORD error = GetLastError();
  // Withdrawn unless the worker has taken it already (then its reference keeps it alive).
  TakeCall(reinterpret_cast<LPARAM>(call.get()));
  if (FAILED(posted)) return posted;
  return wait == WAIT_TIMEOUT ? HResultFromWin32(WAIT_TIMEOUT) : (error ? HResultFromWin32(error) : E_FAIL);
}

std::shared_ptr<MessageThread::Call> MessageThread::TakeCall(LPARAM packet) {
  LockGuard guard(callsLock_, INFINITE);
  const auto it = calls_.find(reinterpret_cast<const Call*>(packet));
  if (it == calls_.end()) return nullptr;
  auto call = std::move(it->second);
  calls_.erase(it);
  return call;
}

void MessageThread::OnMessage(UINT, WPARAM, LPARAM) {}

void MessageThread::HandleThreadMessage(const MSG& msg) {
  if (msg.message == WorkerCallMessage()) {
    // Only a packet still registered is read: a withdrawn call's memory is never touched.
    const auto call = TakeCall(msg.lParam);
    if (!call) return;
    GuardNoThrow([&] { OnMessage(call->message, call->wParam, call->lParam); });
    SetEvent(call->done.get());
    return;
  }
  GuardNoThrow([&] { OnMessage(msg.message, msg.wParam, msg.lParam); });
}

DWORD MessageThread::RunLoop() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // forces the thread's queue
  SetEvent(ready_.get());
  const HANDLE stop = stopEvent();
  for (;;) {
    const DWORD wait = MsgWaitForMultipleObjects(1, &stop, FALSE, waitTimeout_, QS_ALLINPUT);
    if (wait == WAIT_OBJECT_0) return 0;
    if (wait == WAIT_OBJECT_0 + 1) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!msg.hwnd) HandleThreadMessage(msg);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    } else if (wait == WAIT_TIMEOUT) {
      GuardNoThrow([this] { OnTimeout(); });
    } else if (wait == WAIT_FAILED) {
      return GetLastError() ? GetLastError() : static_cast<DWORD>(E_FAIL);
    }
  }
}

#include "common/window/message_window_thread.h"

#include "common/hresult.h"
#include "common/module.h"

const wchar_t MessageWindowThread::kWindowClassName[] = L"{A27BC3D1-6D74-023b-9343-7DFB794BD0B6}";

namespace {

// The class belongs to this module: its procedure lives in this image, so the class must go
// when the image goes (a reloaded module would otherwise find a class whose procedure points
// into the unloaded one). The static's destructor runs when the module unloads.
class WindowClassRegistration {
 public:
  HRESULT Ensure(WNDPROC proc) {
    LockGuard guard(lock_, INFINITE);
    if (registered_) return S_OK;
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = ThisModule();
    wc.lpszClassName = MessageWindowThread::kWindowClassName;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
      return HResultFromLastError();
    registered_ = true;
    return S_OK;
  }
  ~WindowClassRegistration() {
    if (registered_) UnregisterClassW(MessageWindowThread::kWindowClassName, ThisModule());
  }

 private:
  CriticalSection lock_;
  bool registered_ = false;
};

WindowClassRegistration& Registration() {
  static WindowClassRegistration registration;
  return registration;
}

}  // namespace

MessageWindowThread::~MessageWindowThread() { Stop(); }

HRESULT MessageWindowThread::RegisterWindowClass() { return Registration().Ensure(&StaticWindowProc); }

HRESULT MessageWindowThread::Start() {
  RETURN_IF_FAILED(RegisterWindowClass());
  return MessageThread::Start();
}

DWORD MessageWindowThread::Run() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  if (!window_) {
    window_ = CreateWindowExW(0, kWindowClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              ThisModule(), nullptr);
    if (!window_) return static_cast<DWORD>(HResultFromLastError());
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  const DWORD result = RunLoop();
  DestroyWindow(window_);
  window_ = nullptr;
  return result;
}

LRESULT CALLBACK MessageWindowThread::StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<MessageWindowThread*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  LRESULT result = 0;
  GuardNoThrow([&] { result = self->WindowProc(hwnd, message, wParam, lParam); });
  return result;
}

LRESULT MessageWindowThread::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  OnWindowMessage(message, wParam, lParam);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HRESULT MessageWindowThread::PostWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!PostMessageW(window_, message, wParam, lParam)) return HResultFromLastError();
  return S_OK;
}

HRESULT MessageWindowThread::SendWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  SetLastError(0);
  if (SendMessageW(window_, message, wParam, lParam) == 0) return HResultFromLastError();
  return S_OK;
}

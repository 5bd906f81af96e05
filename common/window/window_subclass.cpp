#include "common/window/window_subclass.h"

#include <vector>

#include "common/hresult.h"
#include "common/locks.h"

// The chain link of one subclass on one window. While its object is attached it forwards to
// the object; after a detach that could not unhook (another procedure above ours) it forwards
// to the previous procedure only.
struct WindowSubclass::Hook {
  WindowSubclass* owner = nullptr;  // null once left as a pass-through
  WNDPROC previous = nullptr;
  WNDPROC proc = nullptr;           // ours, as installed in the chain
  const wchar_t* property = nullptr;
  HWND hwnd = nullptr;
};

namespace {

// Pass-throughs left in chains by this module, so that they can be taken out once they are on
// top again or their window is destroyed.
CriticalSection& PassThroughLock() {
  static CriticalSection lock;
  return lock;
}
std::vector<WindowSubclass::Hook*>& PassThroughs() {
  static std::vector<WindowSubclass::Hook*> hooks;
  return hooks;
}

void ForgetPassThrough(WindowSubclass::Hook* hook) {
  LockGuard guard(PassThroughLock(), INFINITE);
  auto& hooks = PassThroughs();
  for (auto it = hooks.begin(); it != hooks.end(); ++it) {
    if (*it == hook) {
      hooks.erase(it);
      return;
    }
  }
}

WNDPROC CurrentProc(HWND hwnd) {
  return reinterpret_cast<WNDPROC>(GetWindowLongPtrW(hwnd, GWLP_WNDPROC));
}

// Unhooks pass-throughs of this module that are now on top of hwnd's chain.
void UnwindPassThroughs(HWND hwnd) {
  for (;;) {
    WindowSubclass::Hook* top = nullptr;
    {
      LockGuard guard(PassThroughLock(), INFINITE);
      const WNDPROC current = CurrentProc(hwnd);
      for (auto* hook : PassThroughs()) {
        if (hook->hwnd == hwnd && hook->proc == current) top = hook;
      }
    }
    if (!top) return;
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(top->previous));
    RemovePropW(hwnd, top->property);
    ForgetPassThrough(top);
    delete top;
  }
}

}  // namespace

WindowSubclass::~WindowSubclass() { Detach(); }

HRESULT WindowSubclass::Attach(HWND hwnd) {
  if (!hwnd || !IsWindow(hwnd)) return E_INVALIDARG;
  if (hook_) return E_UNEXPECTED;
  auto* hook = new (std::nothrow) Hook;
  if (!hook) return E_OUTOFMEMORY;
  hook->owner = this;
  hook->proc = staticProc_;
  hook->property = propertyName_;
  hook->hwnd = hwnd;
  if (!SetPropW(hwnd, propertyName_, hook)) {
    const HRESULT hr = HResultFromLastError();
    delete hook;
    return hr;
  }
  SetLastError(0);
  hook->previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(staticProc_)));
  if (!hook->previous) {
    const HRESULT hr = HResultFromLastError();
    RemovePropW(hwnd, propertyName_);
    delete hook;
    return hr;
  }
  hwnd_ = hwnd;
  hook_ = hook;
  return S_OK;
}

void WindowSubclass::Detach() {
  Hook* hook = hook_;
  const HWND hwnd = hwnd_;
  hook_ = nullptr;
  hwnd_ = nullptr;
  if (!hook) return;
  if (!IsWindow(hwnd) || GetPropW(hwnd, propertyName_) != hook) {  // the window is gone
    delete hook;
    return;
  }
  if (CurrentProc(hwnd) == staticProc_) {
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(hook->previous));
    RemovePropW(hwnd, propertyName_);
    delete hook;
    UnwindPassThroughs(hwnd);
    return;
  }
  // Another procedure sits above ours and calls it as its previous one: stay as a pass-through.
  hook->owner = nullptr;
  LockGuard guard(PassThroughLock(), INFINITE);
  PassThroughs().push_back(hook);
}

LRESULT WindowSubclass::CallPrevious(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const Hook* hook = hook_;
  if (!hook) return DefWindowProcW(hwnd, message, wParam, lParam);
  return CallWindowProcW(hook->previous, hwnd, message, wParam, lParam);
}

LRESULT WindowSubclass::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return CallPrevious(hwnd, message, wParam, lParam);
}

LRESULT WindowSubclass::Dispatch(const wchar_t* propertyName, HWND hwnd, UINT message,
                                 WPARAM wParam, LPARAM lParam) {
  auto* hook = static_cast<Hook*>(GetPropW(hwnd, propertyName));
  if (!hook) return 0;
  if (hook->owner) {
    LRESULT result = 0;
    GuardNoThrow([&] { result = hook->owner->WindowProc(hwnd, message, wParam, lParam); });
    return result;
  }
  const WNDPROC previous = hook->previous;
  if (message == WM_NCDESTROY) {  // the last message: the pass-through goes with the window
    RemovePropW(hwnd, propertyName);
    ForgetPassThrough(hook);
    delete hook;
  }
  return CallWindowProcW(previous, hwnd, message, wParam, lParam);
}

HRESULT DisplayChangeHook::Attach(HWND hwnd) {
  if (!hwnd || !IsWindow(hwnd)) return E_INVALIDARG;
  HWND top = hwnd;
  while (GetWindowLongPtrW(top, GWL_STYLE) & WS_CHILD) {
    top = reinterpret_cast<HWND>(GetWindowLongPtrW(top, GWLP_HWNDPARENT));
    if (!top || !IsWindow(top)) return HResultFromLastError();
  }
  return WindowSubclass::Attach(top);
}

LRESULT DisplayChangeHook::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DISPLAYCHANGE && owner_) owner_->OnDisplayChange();
  return CallPrevious(hwnd, message, wParam, lParam);
}

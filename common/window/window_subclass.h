// Window subclasses that share a window with others: each kind keeps its object in a window
// property of its own name and its own static procedure in the chain. Detaching a subclass
// that another one has been stacked on leaves a pass-through in the chain, so the later one
// keeps receiving messages; the pass-through goes when the window is destroyed, or when the
// subclasses above it have gone (within this module).
//
// Attach and Detach belong on the window's thread, or at a time no message reaches the window.
#pragma once

#include <windows.h>

class WindowSubclass {
 public:
  WindowSubclass(const WindowSubclass&) = delete;
  WindowSubclass& operator=(const WindowSubclass&) = delete;
  virtual ~WindowSubclass();

  // E_INVALIDARG for a null or dead window, E_UNEXPECTED when attached already; else hooks the
  // window (the last error as an HRESULT when that fails, and no property is left behind).
  virtual HRESULT Attach(HWND hwnd);
  virtual void Detach();

  HWND window() const noexcept { return hwnd_; }
  const wchar_t* propertyName() const noexcept { return propertyName_; }

 protected:
  WindowSubclass(const wchar_t* propertyName, WNDPROC staticProc)
      : propertyName_(propertyName), staticProc_(staticProc) {}

  // By default the previous procedure of the chain.
  virtual LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT CallPrevious(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // The body of every concrete kind's static procedure.
  static LRESULT Dispatch(const wchar_t* propertyName, HWND hwnd, UINT message, WPARAM wParam,
                          LPARAM lParam);

 public:
  struct Hook;  // the chain link kept in the window property

 private:
  const wchar_t* const propertyName_;
  const WNDPROC staticProc_;
  HWND hwnd_ = nullptr;
  Hook* hook_ = nullptr;
};

// A kind of subclass: Derived names its property in `kPropertyName` and gets a static
// procedure of its own.
template <class Derived>
class WindowSubclassOf : public WindowSubclass {
 protected:
  WindowSubclassOf() : WindowSubclass(Derived::kPropertyName, &Proc) {}

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return Dispatch(Derived::kPropertyName, hwnd, message, wParam, lParam);
  }
};

// What a display-change hook reports to.
class DisplayChangeOwner {
 public:
  virtual HRESULT OnDisplayChange() = 0;

 protected:
  ~DisplayChangeOwner() = default;
};

// Hooks the top-level window above a window and tells its owner about WM_DISPLAYCHANGE.
class DisplayChangeHook final : public WindowSubclassOf<DisplayChangeHook> {
 public:
  static constexpr wchar_t kPropertyName[] = L"{7631149C-FB48-49cb-8740-C74B715E4BD2}";

  explicit DisplayChangeHook(DisplayChangeOwner* owner) : owner_(owner) {}  // not owned
  ~DisplayChangeHook() override { Detach(); }

  // Climbs from hwnd to the first ancestor without WS_CHILD and hooks that one.
  HRESULT Attach(HWND hwnd) override;

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  DisplayChangeOwner* const owner_;
};

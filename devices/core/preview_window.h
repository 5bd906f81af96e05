// What every family's device object keeps of the host's window side between its calls: the
// clipping window and video position last given (applied again each time the preview runs, so
// that a chain made after them still shows where the host wants it), and the rule that completes
// the overlay mode a window interface is initialised with.
#pragma once

#include <windows.h>
#include <vfwmsgs.h>

#include "common/errors.h"

// Capability bits (device item value 4) that make a window without a mode of its own use the
// mixing renderer 7: the overlay board and the system renderer.
inline constexpr ULONG kOverlayCompletionCaps = 0x10 | 0x200;
inline constexpr ULONG kOverlayRendererBits = 0xFF0;
inline constexpr ULONG kOverlayCompletedMode = 0x20;

// Adds mode 0x20 to a mode that names no renderer (no bit in 0xFF0), for a device whose
// capability has bit 0x10 or 0x200; without a device item the mode stays as it is.
inline ULONG CompleteOverlayMode(ULONG mode, bool hasItem, ULONG capability) noexcept {
  if ((mode & kOverlayRendererBits) == 0 && hasItem && (capability & kOverlayCompletionCaps) != 0)
    mode |= kOverlayCompletedMode;
  return mode;
}

// Whether a renderer's answer to a clipping window given again leaves the picture on that
// window: success; the preview control's "not initialised" (the board takes the window once it
// is); and VFW_E_WRONG_STATE from a mixing renderer that takes its clipping window only while
// its stream is not set up, and holds the one it was given when it joined the chain (the
// platform's mixing renderers 7 and 9 do so).
inline bool ClipWindowHeld(HRESULT hr) noexcept {
  return SUCCEEDED(hr) || hr == errors::kPreviewControlNotInit || hr == VFW_E_WRONG_STATE;
}

// A host's clipping window that a renderer may take: none (null) or a window that exists. A
// handle that names no window is refused before anything keeps it (E_INVALIDARG): the platform's
// mixing renderers store any handle, and the preview would then run on no window.
inline HRESULT CheckClippingWindow(HWND window) noexcept {
  return window && !IsWindow(window) ? E_INVALIDARG : S_OK;
}

class RememberedWindow {
 public:
  void Clear() noexcept { *this = RememberedWindow(); }

  void RememberClippingWindow(HWND window) noexcept {
    clipSet_ = true;
    clip_ = window;
  }
  // A null source means the whole source; a null destination is refused before this.
  void RememberPosition(const RECT* source, const RECT& destination) noexcept {
    positionSet_ = true;
    wholeSource_ = source == nullptr;
    source_ = source ? *source : RECT{};
    destination_ = destination;
  }

  // Gives what is remembered to the window side as the preview runs: `clip(HWND)` and
  // `position(RECT* source, RECT* destination)` (a null source for the whole source). The first failure is returned after both were tried. Two answers to the clipping
  // window are no refusal (ClipWindowHeld).
  template <class Clip, class Position>
  HRESULT Apply(Clip&& clip, Position&& position) {
    HRESULT first = S_OK;
    if (clipSet_) {
      const HRESULT hr = clip(clip_);
      first = ClipWindowHeld(hr) ? S_OK : hr;
    }
    if (positionSet_) {
      RECT source = source_, destination = destination_;
      const HRESULT hr = position(wholeSource_ ? nullptr : &source, &destination);
      if (SUCCEEDED(first)) first = hr;
    }
    return first;
  }

  bool clipSet() const noexcept { return clipSet_; }
  bool positionSet() const noexcept { return positionSet_; }

 private:
  bool clipSet_ = false;
  HWND clip_ = nullptr;
  bool positionSet_ = false;
  bool wholeSource_ = false;
  RECT source_{};
  RECT destination_{};
};

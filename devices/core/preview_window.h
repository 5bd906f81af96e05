// The families' preview window side: the host's window calls on their way to the video chain
// the preview graph holds (PreviewWindowSide, each family's device object has one), the
// clipping window and video position last given (applied again each time the preview runs, so
// that a chain made after them still shows where the host wants it), the rule that completes
// the overlay mode a window interface is initialised with, and the stopped-graph check that
// window and sound changes wait for. Where the families answer differently stands in their
// rules (PreviewWindowRules, in each family's traits).
#pragma once

#include <windows.h>
#include <vfwmsgs.h>

#include <functional>
#include <utility>

#include "common/device/filter_graph_holder.h"
#include "common/errors.h"
#include "devices/core/video_chain_builder.h"

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

// S_OK while the preview graph is stopped, 0x80072605 while it is not, the code of a state read
// that fails (E_POINTER without a graph, as the read of a graph never built answers).
HRESULT PreviewStopped(FilterGraphHolder* graph);

// What the preview gives again, as it runs, of the clipping window the host gave last.
enum class ClipReapply {
  Any,      // the window, a null one too
  NotNull,  // a window, not a null one
  None,     // nothing: the renderer keeps the window it was given
};

// Where the families' window sides answer differently.
struct PreviewWindowRules {
  HRESULT noChain;              // a window call while the preview graph holds no video chain
  bool controlNotInitSucceeds;  // the preview control's "not initialised" is a clipping window taken
  ClipReapply clipAgain;        // what Run gives again of the clipping window
  bool successIsOk;             // a chain's success answers S_OK (else the chain's own code)
};

// One family's window side. `chain` answers the video chain the preview graph holds now (null
// without one). Not locked: the device object's lock serialises the calls; the chain has a lock
// of its own.
class PreviewWindowSide {
 public:
  PreviewWindowSide(const PreviewWindowRules& rules, std::function<VideoChainBuilder*()> chain)
      : rules_(rules), chain_(std::move(chain)) {}

  // Forgets the clipping window and position (a window interface is initialised anew).
  void Forget() noexcept { remembered_.Clear(); }

  // The host's clipping window: refused (E_INVALIDARG) when it names no window, else remembered
  // and forwarded. The preview control's "not initialised" counts as taken where the rules say
  // so: the window is kept and reaches the control once its board is up.
  HRESULT SetClippingWindow(HWND window);
  // The host's position (a null source for the whole source; the destination is not null):
  // remembered, and forwarded while the preview runs. Before that the renderer may not take a
  // position: ApplyRemembered gives it.
  HRESULT SetPosition(RECT* source, RECT* destination, bool running);
  // What is remembered, given to the chain as the preview runs (RememberedWindow::Apply, the
  // clipping window as the rules say): the first refusal.
  HRESULT ApplyRemembered();

  // The forwards to the chain: rules.noChain without one.
  HRESULT SetVideoClippingWindow(HWND window);
  HRESULT SetVideoPosition(RECT* source, RECT* destination);
  HRESULT GetColorKey(DWORD* type, DWORD* paletteIndex, DWORD* low, DWORD* high);
  HRESULT RePaint(HWND window, HDC dc);
  HRESULT DisplayModeChanged();
  HRESULT GetCurrentImage(DWORD* size, BYTE** image);
  HRESULT SetZoomMode(DWORD mode);
  HRESULT GetZoomMode(DWORD* mode);
  HRESULT QueryInterfaceFromCustomFilter(REFIID iid, void** out);

  const RememberedWindow& remembered() const noexcept { return remembered_; }

 private:
  template <class F>
  HRESULT Forward(F&& call);

  const PreviewWindowRules rules_;
  const std::function<VideoChainBuilder*()> chain_;
  RememberedWindow remembered_;
};

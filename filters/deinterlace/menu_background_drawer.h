// The menu background drawer: translucent black rectangles blended into the packed input
// pictures (so that an on-screen menu drawn over the video stands on a dark background), each
// with its own weight and a fade that advances with the tick count; the latest input sample
// kept for frame capture; the blackout flag.
//
// Weight: the fraction of the picture that remains, in 1/256 (256: untouched, not drawn).
// A pixel pair (Y, C) becomes Y' = (Y * w) >> 8 and C' = (((C - 128) * w) >> 8) + 128.
//
// The drawer is a part of the filter: its four interfaces answer IUnknown with the filter's
// (the owner given at construction), so they share its identity and lifetime.
//
// Lock: lock_ serialises every command, draw and capture; nothing else is taken while it is
// held (it is the innermost lock of the filter).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "filters/base/lock.h"
#include "filters/deinterlace/drawer_interfaces.h"

namespace deinterlace {

// Where the drawer reads the time in milliseconds; tests put their own in.
class TickSource {
 public:
  virtual DWORD Now() = 0;

 protected:
  ~TickSource() = default;
};

// One rectangle. Placed geometry in pixels (px < 0: not placed); the blend's row layout,
// clipped to the frame, is computed whenever the geometry or the pitches change.
struct MenuRect {
  std::int32_t x = 0, y = 0, w = 0, h = 0;  // the caller's units
  std::int32_t px = -1, py = -1, pw = -1, ph = -1;
  std::int32_t target = 256, start = 256, end = 256, current = 256;
  std::int32_t fadeTime = 0;
  std::int32_t sourceOffset = 0, destinationOffset = 0;
  std::int32_t lead = 0, tail = 0, blocks = 0;  // pixels one by one, 8-pixel blocks, pixels
  std::int32_t rows = 0;                        // rows inside the frame
  std::int32_t sourcePitch = 0, destinationPitch = 0;
  DWORD fadeStart = 0;
  std::int32_t fadeDone = 0;
};

// Blends `pixels` YUY2 pixels of `source` into `destination` (which may be the same row).
using BlendPixelsFn = void (*)(const std::uint8_t* source, std::uint8_t* destination, int pixels, int weight);
void BlendPixels(const std::uint8_t* source, std::uint8_t* destination, int pixels, int weight);
// The same, eight pixels (16 bytes) at a time with SSE2 and any alignment; same bytes.
void BlendPixelsSse2(const std::uint8_t* source, std::uint8_t* destination, int pixels, int weight);

class MenuBackgroundDrawer {
 public:
  // The largest table SetCount gives; a larger count fails as an allocation would.
  static constexpr LONG kMaxRects = 1024;

  // `owner` answers IUnknown for the four interfaces (not referenced: it owns the drawer).
  // `vectorBlend`: the blocks of a row go through BlendPixelsSse2 (the processor has SSE2).
  MenuBackgroundDrawer(IUnknown* owner, bool vectorBlend);
  ~MenuBackgroundDrawer();
  MenuBackgroundDrawer(const MenuBackgroundDrawer&) = delete;
  MenuBackgroundDrawer& operator=(const MenuBackgroundDrawer&) = delete;

  // The four interfaces for QueryInterface (a reference on the owner), else E_NOINTERFACE.
  HRESULT QueryDrawerInterface(REFIID iid, void** out);

  // IMenuBackground
  HRESULT MenuBackground_SetCount(LONG count);
  HRESULT MenuBackground_ResetAll();
  HRESULT MenuBackground_SetRect(LONG index, LONG x, LONG y, LONG w, LONG h, DWORD alpha);
  HRESULT MenuBackground_Fade(LONG index, LONG show, LONG timeMs);
  HRESULT MenuBackground_FadeAll(LONG show, LONG timeMs);
  HRESULT MenuBackground_SetFade(LONG index, DWORD alpha1, DWORD alpha2, LONG timeMs);
  // IMenuBackgroundScaled
  HRESULT MenuBackgroundScaled_SetCount(LONG count);
  HRESULT MenuBackgroundScaled_SetRect(LONG index, LONG x, LONG y, LONG w, LONG h);
  HRESULT MenuBackgroundScaled_SetFade(LONG index, LONG startWeight, LONG endWeight, LONG timeMs);
  // IFrameCapture
  HRESULT FrameCapture_SetCaptureEnabled(LONG on);
  HRESULT FrameCapture_GetFrameInfo(LONG* width, LONG* height, LONG* size);
  HRESULT FrameCapture_GetFrame(BYTE* buffer);
  // IVideoBlackout
  HRESULT VideoBlackout_SetBlackout(LONG on);

  // --- The filter's side ---------------------------------------------------------------------
  // After a media type is accepted: destination pitch in bytes, source pitch (0: 2 x width at
  // the next draw), width (pixels per row) and height.
  void SetGeometry(int destinationPitch, int sourcePitch, int width, int height);
  // Blends every rectangle into the picture; `size` bytes of `source` may be read.
  void Draw(const BYTE* source, BYTE* destination, long size);
  // Releases the held sample and, while capture is on, holds `sample` in its place.
  void HoldSample(IMediaSample* sample);
  void ReleaseSample();
  bool Blackout();
  void SetTickSource(TickSource* source);  // null: GetTickCount

  // For tests: a copy of a rectangle (false for a bad index).
  bool Rect(LONG index, MenuRect* rect);

 private:
  template <class Interface>
  class Part : public Interface {
   public:
    explicit Part(MenuBackgroundDrawer* drawer) : drawer_(drawer) {}
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return drawer_->owner_->QueryInterface(iid, out); }
    STDMETHODIMP_(ULONG) AddRef() override { return drawer_->owner_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return drawer_->owner_->Release(); }

   protected:
    MenuBackgroundDrawer* const drawer_;  // contains us
  };
  class MenuBackgroundPart;
  class ScaledPart;
  class CapturePart;
  class BlackoutPart;

  HRESULT SetCount(LONG count, bool reset);
  MenuRect* At(LONG index);
  HRESULT StartFade(LONG index, int startWeight, int endWeight, LONG timeMs);
  void Layout(MenuRect* rect) const;
  void SetPitches(MenuRect* rect, int sourcePitch, int destinationPitch) const;
  void BlendRect(MenuRect* rect, DWORD now, const BYTE* source, BYTE* destination, long size);
  DWORD Now();

  IUnknown* const owner_;
  const bool vectorBlend_;
  CCritSec lock_;
  bool hasTable_ = false;
  std::vector<MenuRect> rects_;
  int destinationPitch_ = 0;
  int sourcePitch_ = 0;
  int width_ = 0;
  int height_ = 0;
  LONG capture_ = 1;
  LONG capturedLength_ = 0;
  LONG blackout_ = 0;
  IMediaSample* held_ = nullptr;  // one reference while held
  TickSource* ticks_ = nullptr;

  std::unique_ptr<MenuBackgroundPart> menuBackgroundPart_;
  std::unique_ptr<ScaledPart> scaledPart_;
  std::unique_ptr<CapturePart> capturePart_;
  std::unique_ptr<BlackoutPart> blackoutPart_;
};

// The weight of an opacity in the value's top byte: 256 - (alpha >> 24).
constexpr int AlphaToWeight(DWORD alpha) { return 256 - static_cast<int>(alpha >> 24); }

}  // namespace deinterlace

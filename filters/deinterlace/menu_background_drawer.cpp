#include "filters/deinterlace/menu_background_drawer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace deinterlace {

namespace {

int ClampWeight(LONG weight) { return weight < 0 ? 0 : (weight > 256 ? 256 : static_cast<int>(weight)); }

}  // namespace

void BlendPixels(const std::uint8_t* source, std::uint8_t* destination, int pixels, int weight) {
  for (int i = 0; i < pixels; ++i) {
    const int y = source[2 * i];
    const int c = source[2 * i + 1];
    destination[2 * i] = static_cast<std::uint8_t>((y * weight) >> 8);
    destination[2 * i + 1] = static_cast<std::uint8_t>((((c - 128) * weight) >> 8) + 128);
  }
}

// ---- The interfaces ---------------------------------------------------------------------------

class MenuBackgroundDrawer::MenuBackgroundPart final : public Part<IMenuBackground> {
 public:
  using Part::Part;
  STDMETHODIMP SetCount(LONG count) override { return drawer_->MenuBackground_SetCount(count); }
  STDMETHODIMP ResetAll() override { return drawer_->MenuBackground_ResetAll(); }
  STDMETHODIMP SetRect(LONG index, LONG x, LONG y, LONG w, LONG h, DWORD alpha) override {
    return drawer_->MenuBackground_SetRect(index, x, y, w, h, alpha);
  }
  STDMETHODIMP Fade(LONG index, LONG show, LONG timeMs) override {
    return drawer_->MenuBackground_Fade(index, show, timeMs);
  }
  STDMETHODIMP FadeAll(LONG show, LONG timeMs) override { return drawer_->MenuBackground_FadeAll(show, timeMs); }
  STDMETHODIMP SetFade(LONG index, DWORD alpha1, DWORD alpha2, LONG timeMs) override {
    return drawer_->MenuBackground_SetFade(index, alpha1, alpha2, timeMs);
  }
};

class MenuBackgroundDrawer::ScaledPart final : public Part<IMenuBackgroundScaled> {
 public:
  using Part::Part;
  STDMETHODIMP SetCount(LONG count) override { return drawer_->MenuBackgroundScaled_SetCount(count); }
  STDMETHODIMP SetRect(LONG index, LONG x, LONG y, LONG w, LONG h) override {
    return drawer_->MenuBackgroundScaled_SetRect(index, x, y, w, h);
  }
  STDMETHODIMP SetFade(LONG index, LONG startWeight, LONG endWeight, LONG timeMs) override {
    return drawer_->MenuBackgroundScaled_SetFade(index, startWeight, endWeight, timeMs);
  }
};

class MenuBackgroundDrawer::CapturePart final : public Part<IFrameCapture> {
 public:
  using Part::Part;
  STDMETHODIMP SetCaptureEnabled(LONG on) override { return drawer_->FrameCapture_SetCaptureEnabled(on); }
  STDMETHODIMP GetFrameInfo(LONG* width, LONG* height, LONG* size) override {
    return drawer_->FrameCapture_GetFrameInfo(width, height, size);
  }
  STDMETHODIMP GetFrame(BYTE* buffer) override { return drawer_->FrameCapture_GetFrame(buffer); }
};

class MenuBackgroundDrawer::BlackoutPart final : public Part<IVideoBlackout> {
 public:
  using Part::Part;
  STDMETHODIMP SetBlackout(LONG on) override { return drawer_->VideoBlackout_SetBlackout(on); }
};

MenuBackgroundDrawer::MenuBackgroundDrawer(IUnknown* owner, bool vectorBlend)
    : owner_(owner),
      vectorBlend_(vectorBlend),
      menuBackgroundPart_(new MenuBackgroundPart(this)),
      scaledPart_(new ScaledPart(this)),
      capturePart_(new CapturePart(this)),
      blackoutPart_(new BlackoutPart(this)) {}

MenuBackgroundDrawer::~MenuBackgroundDrawer() {
  ReleaseSample();
}

HRESULT MenuBackgroundDrawer::QueryDrawerInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  IUnknown* part = nullptr;
  if (iid == IID_IMenuBackground) part = menuBackgroundPart_.get();
  else if (iid == IID_IMenuBackgroundScaled) part = scaledPart_.get();
  else if (iid == IID_IFrameCapture) part = capturePart_.get();
  else if (iid == IID_IVideoBlackout) part = blackoutPart_.get();
  if (!part) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  part->AddRef();
  *out = part;
  return S_OK;
}

// ---- Rectangles -------------------------------------------------------------------------------

MenuRect* MenuBackgroundDrawer::At(LONG index) {
  if (!hasTable_ || index < 0 || index >= static_cast<LONG>(rects_.size())) return nullptr;
  return &rects_[static_cast<std::size_t>(index)];
}

// The rows of the rectangle inside the frame and their split into lead pixels (up to the next
// 16-pixel boundary), 8-pixel blocks and tail pixels; nothing outside the frame is drawn.
// A negative px marks a rectangle that is not placed: it is never drawn, whatever its other
// fields (rows above the frame and columns past its right edge are clipped instead).
void MenuBackgroundDrawer::Layout(MenuRect* rect) const {
  rect->sourceOffset = rect->destinationOffset = 0;
  rect->lead = rect->tail = rect->blocks = rect->rows = 0;
  if (rect->px < 0) return;
  if (rect->sourcePitch == 0 || width_ <= 0 || height_ <= 0) return;
  const std::int64_t x0 = rect->px;
  const std::int64_t y0 = std::max<std::int64_t>(rect->py, 0);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{rect->px} + rect->pw, width_);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{rect->py} + rect->ph, height_);
  if (x1 <= x0 || y1 <= y0) return;
  const int width = static_cast<int>(x1 - x0);
  rect->sourceOffset = static_cast<std::int32_t>(y0 * rect->sourcePitch + 2 * x0);
  rect->destinationOffset = static_cast<std::int32_t>(2 * x0 + y0 * rect->destinationPitch);
  rect->lead = std::min(static_cast<int>((16 - x0) & 15), width);
  const int rest = width - rect->lead;
  rect->blocks = (rest & ~15) >> 3;
  rect->tail = rest & 15;
  rect->rows = static_cast<std::int32_t>(y1 - y0);
}

void MenuBackgroundDrawer::SetPitches(MenuRect* rect, int sourcePitch, int destinationPitch) const {
  rect->sourcePitch = sourcePitch;
  rect->destinationPitch = destinationPitch;
  Layout(rect);
}

HRESULT MenuBackgroundDrawer::SetCount(LONG count, bool reset) {
  if (count < 0) return E_INVALIDARG;
  CAutoLock guard(&lock_);
  hasTable_ = false;
  rects_.clear();
  // A table the drawer will not hold is an allocation failure: no table is left.
  if (count > kMaxRects) return E_OUTOFMEMORY;
  try {
    rects_.resize(static_cast<std::size_t>(count));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  hasTable_ = true;
  for (MenuRect& rect : rects_) {
    if (reset) SetPitches(&rect, sourcePitch_, destinationPitch_);
    else if (sourcePitch_ != 0) SetPitches(&rect, sourcePitch_, destinationPitch_);
  }
  return S_OK;
}

HRESULT MenuBackgroundDrawer::MenuBackground_SetCount(LONG count) { return SetCount(count, true); }
HRESULT MenuBackgroundDrawer::MenuBackgroundScaled_SetCount(LONG count) { return SetCount(count, false); }

HRESULT MenuBackgroundDrawer::MenuBackground_ResetAll() {
  CAutoLock guard(&lock_);
  if (!hasTable_) return E_FAIL;
  for (MenuRect& rect : rects_) {
    rect = MenuRect{};
    SetPitches(&rect, sourcePitch_, destinationPitch_);
  }
  return S_OK;
}

HRESULT MenuBackgroundDrawer::MenuBackground_SetRect(LONG index, LONG x, LONG y, LONG w, LONG h, DWORD alpha) {
  CAutoLock guard(&lock_);
  MenuRect* rect = At(index);
  if (!rect) return E_FAIL;
  rect->x = rect->px = x;
  rect->y = rect->py = y;
  rect->w = rect->pw = w;
  rect->h = rect->ph = h;
  rect->target = AlphaToWeight(alpha);
  Layout(rect);
  return S_OK;
}

HRESULT MenuBackgroundDrawer::MenuBackgroundScaled_SetRect(LONG index, LONG x, LONG y, LONG w, LONG h) {
  CAutoLock guard(&lock_);
  MenuRect* rect = At(index);
  if (!rect) return E_FAIL;
  rect->x = x;
  rect->y = y;
  rect->w = w;
  rect->h = h;
  rect->px = rect->py = rect->pw = rect->ph = -1;
  if (width_ > 0) {
    rect->px = static_cast<std::int32_t>(std::int64_t{x} * width_ / 1024);
    rect->py = static_cast<std::int32_t>(std::int64_t{y} * height_ / 1024);
    rect->pw = static_cast<std::int32_t>(std::int64_t{w} * width_ / 1024);
    rect->ph = static_cast<std::int32_t>(std::int64_t{h} * height_ / 1024);
  }
  Layout(rect);
  return S_OK;
}

HRESULT MenuBackgroundDrawer::StartFade(LONG index, int startWeight, int endWeight, LONG timeMs) {
  MenuRect* rect = At(index);
  if (!rect) return E_FAIL;
  rect->start = startWeight;
  rect->end = endWeight;
  rect->fadeTime = timeMs > 0 ? timeMs : 0;
  rect->current = startWeight;
  rect->fadeStart = Now();
  rect->fadeDone = rect->fadeTime == 0 ? 1 : 0;
  if (rect->fadeDone) rect->current = endWeight;
  return S_OK;
}

HRESULT MenuBackgroundDrawer::MenuBackground_Fade(LONG index, LONG show, LONG timeMs) {
  CAutoLock guard(&lock_);
  const MenuRect* rect = At(index);
  if (!rect) return E_FAIL;
  const int target = rect->target;
  return show ? StartFade(index, 256, target, timeMs) : StartFade(index, target, 256, timeMs);
}

HRESULT MenuBackgroundDrawer::MenuBackground_FadeAll(LONG show, LONG timeMs) {
  LONG count = 0;
  {
    CAutoLock guard(&lock_);
    if (!hasTable_) return E_FAIL;
    count = static_cast<LONG>(rects_.size());
  }
  for (LONG i = 0; i < count; ++i) MenuBackground_Fade(i, show, timeMs);
  return S_OK;
}

HRESULT MenuBackgroundDrawer::MenuBackground_SetFade(LONG index, DWORD alpha1, DWORD alpha2, LONG timeMs) {
  CAutoLock guard(&lock_);
  return StartFade(index, AlphaToWeight(alpha1), AlphaToWeight(alpha2), timeMs);
}

HRESULT MenuBackgroundDrawer::MenuBackgroundScaled_SetFade(LONG index, LONG startWeight, LONG endWeight,
                                                           LONG timeMs) {
  CAutoLock guard(&lock_);
  return StartFade(index, ClampWeight(startWeight), ClampWeight(endWeight), timeMs);
}

// ---- Capture and blackout -----------------------------------------------------------------------

HRESULT MenuBackgroundDrawer::FrameCapture_SetCaptureEnabled(LONG on) {
  CAutoLock guard(&lock_);
  capture_ = on;
  return S_OK;
}

HRESULT MenuBackgroundDrawer::FrameCapture_GetFrameInfo(LONG* width, LONG* height, LONG* size) {
  if (!width || !height || !size) return E_POINTER;
  CAutoLock guard(&lock_);
  if (!held_) return E_FAIL;
  capturedLength_ = held_->GetActualDataLength();
  *size = capturedLength_;
  *width = width_;
  *height = height_;
  return S_OK;
}

HRESULT MenuBackgroundDrawer::FrameCapture_GetFrame(BYTE* buffer) {
  if (!buffer) return E_FAIL;
  CAutoLock guard(&lock_);
  BYTE* data = nullptr;
  if (!held_ || FAILED(held_->GetPointer(&data)) || !data) return E_FAIL;
  // The sample held now may be shorter than the one GetFrameInfo measured.
  const LONG length = std::min(capturedLength_, held_->GetActualDataLength());
  if (length > 0) std::memcpy(buffer, data, static_cast<std::size_t>(length));
  return S_OK;
}

HRESULT MenuBackgroundDrawer::VideoBlackout_SetBlackout(LONG on) {
  CAutoLock guard(&lock_);
  blackout_ = on;
  return S_OK;
}

bool MenuBackgroundDrawer::Blackout() {
  CAutoLock guard(&lock_);
  return blackout_ != 0;
}

void MenuBackgroundDrawer::HoldSample(IMediaSample* sample) {
  IMediaSample* released = nullptr;
  {
    CAutoLock guard(&lock_);
    released = held_;
    held_ = nullptr;
    if (capture_ && sample) {
      sample->AddRef();
      held_ = sample;
    }
  }
  // Outside the lock: the last release returns the sample to its allocator.
  if (released) released->Release();
}

void MenuBackgroundDrawer::ReleaseSample() { HoldSample(nullptr); }

// ---- Drawing --------------------------------------------------------------------------------------

void MenuBackgroundDrawer::SetTickSource(TickSource* source) {
  CAutoLock guard(&lock_);
  ticks_ = source;
}

DWORD MenuBackgroundDrawer::Now() { return ticks_ ? ticks_->Now() : GetTickCount(); }

void MenuBackgroundDrawer::SetGeometry(int destinationPitch, int sourcePitch, int width, int height) {
  CAutoLock guard(&lock_);
  destinationPitch_ = destinationPitch;
  sourcePitch_ = sourcePitch;
  width_ = width;
  height_ = height;
}

bool MenuBackgroundDrawer::Rect(LONG index, MenuRect* rect) {
  CAutoLock guard(&lock_);
  const MenuRect* found = At(index);
  if (!found || !rect) return false;
  *rect = *found;
  return true;
}

void MenuBackgroundDrawer::Draw(const BYTE* source, BYTE* destination, long size) {
  CAutoLock guard(&lock_);
  if (!hasTable_ || !source || !destination || size <= 0) return;
  const DWORD now = Now();
  if (sourcePitch_ == 0) {
    sourcePitch_ = 2 * width_;
    for (MenuRect& rect : rects_) SetPitches(&rect, sourcePitch_, destinationPitch_);
  }
  for (MenuRect& rect : rects_) BlendRect(&rect, now, source, destination, size);
}

void MenuBackgroundDrawer::BlendRect(MenuRect* rect, DWORD now, const BYTE* source, BYTE* destination, long size) {
  if (rect->sourcePitch == 0) return;
  int weight = rect->current;
  if (!rect->fadeDone) {
    const DWORD elapsed = now - rect->fadeStart;  // the tick count may wrap
    if (elapsed < static_cast<DWORD>(rect->fadeTime)) {
      const std::int64_t time = rect->fadeTime;
      weight = static_cast<int>(((time - elapsed) * rect->start + std::int64_t{elapsed} * rect->end) / time);
    } else {
      weight = rect->end;
      rect->fadeDone = 1;
    }
    rect->current = weight;
  }
  if (weight >= 256 || rect->rows < 1) return;
  const int pixels = rect->lead + 8 * rect->blocks + rect->tail;
  const BlendPixelsFn blocks = vectorBlend_ ? &BlendPixelsSse2 : &BlendPixels;
  std::int64_t sourceRow = rect->sourceOffset;
  std::int64_t destinationRow = rect->destinationOffset;
  for (int row = 0; row < rect->rows; ++row) {
    // A row is drawn only when all of it lies within the sample.
    if (sourceRow + 2 * pixels > size || destinationRow + 2 * pixels > size) break;
    const BYTE* in = source + sourceRow;
    BYTE* out = destination + destinationRow;
    BlendPixels(in, out, rect->lead, weight);
    blocks(in + 2 * rect->lead, out + 2 * rect->lead, 8 * rect->blocks, weight);
    const int done = rect->lead + 8 * rect->blocks;
    BlendPixels(in + 2 * done, out + 2 * done, rect->tail, weight);
    sourceRow += rect->sourcePitch;
    destinationRow += rect->destinationPitch;
  }
}

}  // namespace deinterlace

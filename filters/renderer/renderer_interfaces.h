// The renderer's configuration sub-objects: the VMR-7 style filter configuration and windowless
// control that the device managers drive it with, its field order (VideoConfig, and KivraNtsc2
// as the device managers call it), the board's zoom mode and wide-zoom mapping, and the list
// of its property pages. Each delegates IUnknown to the renderer and runs under the renderer's
// filter lock; VideoConfig, VMRFilterConfig and VMRWindowlessControl keep their fields under a
// lock of their own as well (taken after the filter lock, never around a call out).
#pragma once

#include "common/dshow.h"

#include <ocidl.h>
#include <strmif.h>

#include <vector>

#include "filters/base/lock.h"
#include "filters/base/unknown.h"
#include "filters/include/filter_interfaces.h"

// Field order 0 auto, 1 top field first, 2 bottom field first; any value is kept as given.
DECLARE_INTERFACE_(IVideoConfig, IUnknown) {
  STDMETHOD(SetFieldOrder)(THIS_ LONG order) PURE;
  STDMETHOD(GetFieldOrder)(THIS_ LONG* order) PURE;
};
// {0BFCDB05-E318-4887-A206-362B0BB5A7DF}
VORN_DECLARE_IID(IVideoConfig, 0x0bfcdb05, 0xe318, 0x4887, 0xa2, 0x06, 0x36, 0x2b, 0x0b, 0xb5, 0xa7, 0xdf)

// The picture board's non-linear (wide zoom) rectangle for a linear one.
DECLARE_INTERFACE_(IKelvUtil, IUnknown) {
  STDMETHOD(GetWideZoomRect)(THIS_ RECT* linear, RECT* result) PURE;
};
// {C7B22CE0-DBAF-45CD-B53E-9D05D4FBFA3D}
VORN_DECLARE_IID(IKelvUtil, 0xc7b22ce0, 0xdbaf, 0x45cd, 0xb5, 0x3e, 0x9d, 0x05, 0xd4, 0xfb, 0xfa, 0x3d)

namespace vren {

enum RenderingMode : DWORD { kWindowed = 1, kWindowless = 2, kRenderless = 4 };

class VideoRenderer;
class PreviewController;

// A sub-object of the renderer: IUnknown goes to the renderer.
class RendererPart : public CUnknown {
 protected:
  RendererPart(const wchar_t* name, VideoRenderer* renderer);
  VideoRenderer* const renderer_;
};

class VMRFilterConfig final : public RendererPart, public IVMRFilterConfig {
 public:
  explicit VMRFilterConfig(VideoRenderer* renderer) : RendererPart(L"VMRFilterConfig", renderer) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  STDMETHODIMP SetImageCompositor(IVMRImageCompositor*) override { return E_NOTIMPL; }
  STDMETHODIMP SetNumberOfStreams(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetNumberOfStreams(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetRenderingPrefs(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetRenderingPrefs(DWORD*) override { return E_NOTIMPL; }
  // Once, while windowed, unconnected and not fixed; windowless deletes the video window.
  STDMETHODIMP SetRenderingMode(DWORD mode) override;
  STDMETHODIMP GetRenderingMode(DWORD* mode) override;

  DWORD Mode() const;
  // From now on the mode stays as it is.
  void Fix();

 private:
  mutable CCritSec lock_;
  DWORD mode_ = kWindowed;
  bool fixed_ = false;
};

class VMRWindowlessControl final : public RendererPart, public IVMRWindowlessControl {
 public:
  VMRWindowlessControl(VideoRenderer* renderer, PreviewController* preview)
      : RendererPart(L"VMRWindowlessControl", renderer), preview_(preview) {}
  DECLARE_IUNKNOWN
  // Answered only in windowless mode.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  STDMETHODIMP GetNativeVideoSize(LONG* width, LONG* height, LONG* aspectX, LONG* aspectY) override;
  STDMETHODIMP GetMinIdealVideoSize(LONG*, LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP GetMaxIdealVideoSize(LONG*, LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP SetVideoPosition(const LPRECT source, const LPRECT destination) override;
  STDMETHODIMP GetVideoPosition(RECT* source, RECT* destination) override;
  STDMETHODIMP GetAspectRatioMode(DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP SetAspectRatioMode(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP SetVideoClippingWindow(HWND window) override;
  STDMETHODIMP RepaintVideo(HWND window, HDC dc) override;
  STDMETHODIMP DisplayModeChanged() override;
  STDMETHODIMP GetCurrentImage(BYTE**) override { return E_NOTIMPL; }
  STDMETHODIMP SetBorderColor(COLORREF) override { return E_NOTIMPL; }
  STDMETHODIMP GetBorderColor(COLORREF*) override { return E_NOTIMPL; }
  STDMETHODIMP SetColorKey(COLORREF key) override;
  STDMETHODIMP GetColorKey(COLORREF* key) override;

  // What CompleteConnect places the video with: the window (null unless alive) and the
  // rectangles, an empty one standing for the whole picture.
  void Placement(LONG width, LONG height, HWND* window, RECT* source, RECT* destination) const;

 private:
  bool Windowless() const;

  PreviewController* const preview_;
  mutable CCritSec lock_;
  HWND window_ = nullptr;
  RECT source_ = {};
  RECT destination_ = {};
};

class VideoConfig final : public RendererPart, public IVideoConfig {
 public:
  explicit VideoConfig(VideoRenderer* renderer) : RendererPart(L"VideoConfig", renderer) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP SetFieldOrder(LONG order) override;
  STDMETHODIMP GetFieldOrder(LONG* order) override;
  // The setting, read for every frame (no filter lock).
  DWORD FieldOrder() const;

 private:
  mutable CCritSec lock_;
  LONG order_ = 0;
};

// KivraNtsc2, and the older KivraNtsc whose methods are all unimplemented.
class KivraNtsc2Object final : public RendererPart, public KivraNtsc2 {
 public:
  KivraNtsc2Object(VideoRenderer* renderer, VideoConfig* config)
      : RendererPart(L"KivraNtsc2", renderer), config_(config) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP Unused3() override { return E_NOTIMPL; }
  STDMETHODIMP Unused4() override { return E_NOTIMPL; }
  STDMETHODIMP Unused5() override { return E_NOTIMPL; }
  STDMETHODIMP Unused6() override { return E_NOTIMPL; }
  STDMETHODIMP Unused7() override { return E_NOTIMPL; }
  STDMETHODIMP Unused8() override { return E_NOTIMPL; }
  STDMETHODIMP Unused9() override { return E_NOTIMPL; }
  STDMETHODIMP Unused10() override { return E_NOTIMPL; }
  // Only 0, 1 and 2 (E_INVALIDARG otherwise); a stored value beyond them reads as E_UNEXPECTED.
  STDMETHODIMP SetFieldOrder(LONG order) override;
  STDMETHODIMP GetFieldOrder(LONG* order) override;

 private:
  VideoConfig* const config_;
};

class KivraNtscZoomObject final : public RendererPart, public KivraNtscZoom {
 public:
  KivraNtscZoomObject(VideoRenderer* renderer, PreviewController* preview)
      : RendererPart(L"KivraNtscZoom", renderer), preview_(preview) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP SetZoomMode(LONG mode) override;
  STDMETHODIMP GetZoomMode(LONG* mode) override;

 private:
  PreviewController* const preview_;
};

class KelvUtil final : public RendererPart, public IKelvUtil {
 public:
  KelvUtil(VideoRenderer* renderer, PreviewController* preview) : RendererPart(L"KelvUtil", renderer), preview_(preview) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP GetWideZoomRect(RECT* linear, RECT* result) override;

 private:
  PreviewController* const preview_;
};

class PropertyPageList final : public RendererPart, public ISpecifyPropertyPages {
 public:
  explicit PropertyPageList(VideoRenderer* renderer) : RendererPart(L"PropertyPageList", renderer) {}
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP GetPages(CAUUID* pages) override;
  void Add(const CLSID& page);

 private:
  CCritSec lock_;
  std::vector<CLSID> pages_;  // the "CLSID List"
};

}  // namespace vren

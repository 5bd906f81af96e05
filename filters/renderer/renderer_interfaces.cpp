#include "filters/renderer/renderer_interfaces.h"

#include <cstring>

#include "common/hresult.h"
#include "common/trace.h"
#include "filters/base/mediatype.h"
#include "filters/renderer/preview_controller.h"
#include "filters/renderer/video_renderer.h"

namespace vren {

namespace {

const wchar_t* ModeName(DWORD mode) {
  return mode == kWindowed ? L"Windowed" : mode == kWindowless ? L"Windowless" : L"Renderless";
}

RECT Or(const RECT* rect) { return rect ? *rect : RECT{}; }

unsigned HandleBits(const void* handle) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)); }

bool Empty(const RECT& rect) { return rect.right - rect.left < 1 || rect.bottom - rect.top < 1; }

}  // namespace

RendererPart::RendererPart(const wchar_t* name, VideoRenderer* renderer)
    : CUnknown(name, static_cast<IBaseFilter*>(renderer)), renderer_(renderer) {}

// --- VMRFilterConfig ----------------------------------------------------------------------------

STDMETHODIMP VMRFilterConfig::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IVMRFilterConfig) return GetInterface(static_cast<IVMRFilterConfig*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP VMRFilterConfig::SetRenderingMode(DWORD mode) {
  TraceScope scope(ModuleTrace(), L"VMRFilterConfig::SetRenderingMode", L"%ls", ModeName(mode));
  if (mode == kRenderless) return E_NOTIMPL;
  CAutoLock filter(renderer_->FilterLock());
  {
    CAutoLock lock(&lock_);
    if (mode_ != kWindowed || fixed_ || renderer_->Input()->IsConnected()) return VFW_E_WRONG_STATE;
  }
  if (mode == kWindowless) renderer_->DeleteVideoWindow();
  CAutoLock lock(&lock_);
  mode_ = mode;
  fixed_ = true;
  return S_OK;
}

STDMETHODIMP VMRFilterConfig::GetRenderingMode(DWORD* mode) {
  TraceScope scope(ModuleTrace(), L"VMRFilterConfig::GetRenderingMode()");
  if (!mode) return E_POINTER;
  *mode = Mode();
  return S_OK;
}

DWORD VMRFilterConfig::Mode() const {
  CAutoLock lock(&lock_);
  return mode_;
}

void VMRFilterConfig::Fix() {
  CAutoLock lock(&lock_);
  fixed_ = true;
}

// --- VMRWindowlessControl -----------------------------------------------------------------------

STDMETHODIMP VMRWindowlessControl::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IVMRWindowlessControl) {
    if (!Windowless()) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    return GetInterface(static_cast<IVMRWindowlessControl*>(this), out);
  }
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

bool VMRWindowlessControl::Windowless() const { return renderer_->FilterConfig()->Mode() == kWindowless; }

STDMETHODIMP VMRWindowlessControl::GetNativeVideoSize(LONG* width, LONG* height, LONG* aspectX, LONG* aspectY) {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::GetNativeVideoSize()");
  if (!width || !height || !aspectX || !aspectY) return E_POINTER;
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  *width = *height = *aspectX = *aspectY = 0;
  CMediaType type;
  if (!renderer_->Input()->ConnectionType(&type)) return S_OK;
  const SIZE native = renderer_->NativeSize();
  *width = native.cx;
  *height = native.cy;
  *aspectX = 4;
  *aspectY = 3;
  if (*type.FormatType() == FORMAT_VideoInfo2 && type.FormatLength() >= sizeof(VIDEOINFOHEADER2)) {
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER2*>(type.Format());
    if (!Empty(info->rcSource)) {
      *width = info->rcSource.right - info->rcSource.left;
      *height = info->rcSource.bottom - info->rcSource.top;
    }
    if (info->dwControlFlags & AMCONTROL_PAD_TO_16x9) {
      *aspectX = 16;
      *aspectY = 9;
    } else if (!(info->dwControlFlags & AMCONTROL_PAD_TO_4x3)) {
      *aspectX = static_cast<LONG>(info->dwPictAspectRatioX);
      *aspectY = static_cast<LONG>(info->dwPictAspectRatioY);
    }
  } else if (*type.FormatType() == FORMAT_VideoInfo && type.FormatLength() >= sizeof(VIDEOINFOHEADER)) {
    const RECT& source = reinterpret_cast<const VIDEOINFOHEADER*>(type.Format())->rcSource;
    if (!Empty(source)) {
      *width = source.right - source.left;
      *height = source.bottom - source.top;
    }
  }
  return S_OK;
}

STDMETHODIMP VMRWindowlessControl::SetVideoPosition(const LPRECT source, const LPRECT destination) {
  const RECT s = Or(source), d = Or(destination);
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::SetVideoPosition", L"Src(%d,%d,%d,%d),Dst(%d,%d,%d,%d)",
                   s.left, s.top, s.right, s.bottom, d.left, d.top, d.right, d.bottom);
  if (!destination) return E_POINTER;
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  {
    CAutoLock lock(&lock_);
    const SIZE native = renderer_->NativeSize();
    source_ = source ? *source : RECT{0, 0, native.cx, native.cy};
    destination_ = *destination;
  }
  if (!preview_->IsInitialized()) return S_OK;
  return preview_->SetVideoPosition(source, destination);
}

STDMETHODIMP VMRWindowlessControl::GetVideoPosition(RECT* source, RECT* destination) {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::GetVideoPosition()");
  if (!source || !destination) return E_POINTER;
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  {
    CAutoLock lock(&lock_);
    *source = source_;
    *destination = destination_;
  }
  if (!preview_->IsInitialized()) return S_OK;
  return preview_->GetVideoPosition(source, destination);
}

STDMETHODIMP VMRWindowlessControl::SetVideoClippingWindow(HWND window) {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::SetVideoClippingWindow", L"0x%08x", HandleBits(window));
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  {
    CAutoLock lock(&lock_);
    window_ = window;
  }
  if (!preview_->IsInitialized()) return S_OK;
  return preview_->SetVideoClippingWindow(window);
}

STDMETHODIMP VMRWindowlessControl::RepaintVideo(HWND window, HDC dc) {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::RepaintVideo", L"hwnd=0x%08x,hdc=%08x", HandleBits(window),
                   HandleBits(dc));
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  return preview_->RepaintVideo(window, dc);
}

STDMETHODIMP VMRWindowlessControl::DisplayModeChanged() {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::DisplayModeChanged()");
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  return preview_->DisplayModeChanged();
}

STDMETHODIMP VMRWindowlessControl::SetColorKey(COLORREF key) {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::SetColorKey", L"0x%08x", static_cast<unsigned>(key));
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  return preview_->SetColorKey(key);
}

STDMETHODIMP VMRWindowlessControl::GetColorKey(COLORREF* key) {
  TraceScope scope(ModuleTrace(), L"VMRWindowlessControl::GetColorKey()");
  if (!key) return E_POINTER;
  CAutoLock filter(renderer_->FilterLock());
  if (!Windowless()) return VFW_E_WRONG_STATE;
  ULONG value = 0;
  const HRESULT hr = preview_->GetColorKey(&value);
  if (SUCCEEDED(hr)) *key = value;
  return hr;
}

void VMRWindowlessControl::Placement(LONG width, LONG height, HWND* window, RECT* source, RECT* destination) const {
  CAutoLock lock(&lock_);
  *window = window_ && IsWindow(window_) ? window_ : nullptr;
  const RECT whole = {0, 0, width, height};
  *source = Empty(source_) ? whole : source_;
  *destination = Empty(destination_) ? whole : destination_;
}

// --- VideoConfig, KivraNtsc2 ---------------------------------------------------------------------

STDMETHODIMP VideoConfig::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IVideoConfig) return GetInterface(static_cast<IVideoConfig*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP VideoConfig::SetFieldOrder(LONG order) {
  TraceScope scope(ModuleTrace(), L"VideoConfig::SetFieldOrder", L"%ls",
                   order == 0 ? L"AUTO" : order == 1 ? L"TOP FIRST" : L"BOTTOM FIRST");
  CAutoLock lock(&lock_);
  order_ = order;
  return S_OK;
}

STDMETHODIMP VideoConfig::GetFieldOrder(LONG* order) {
  TraceScope scope(ModuleTrace(), L"VideoConfig::GetFieldOrder()");
  if (!order) return E_POINTER;
  CAutoLock lock(&lock_);
  *order = order_;
  return S_OK;
}

DWORD VideoConfig::FieldOrder() const {
  CAutoLock lock(&lock_);
  return static_cast<DWORD>(order_);
}

STDMETHODIMP KivraNtsc2Object::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_KivraNtsc || iid == IID_KivraNtsc2) return GetInterface(static_cast<KivraNtsc2*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP KivraNtsc2Object::SetFieldOrder(LONG order) {
  TraceScope scope(ModuleTrace(), L"KivraNtsc2::SetFieldOrder", L"%ls",
                   order == 0 ? L"Auto" : order == 1 ? L"Top First" : L"Bottom First");
  if (order < 0 || order > 2) return E_INVALIDARG;
  CAutoLock filter(renderer_->FilterLock());
  return config_->SetFieldOrder(order);
}

STDMETHODIMP KivraNtsc2Object::GetFieldOrder(LONG* order) {
  TraceScope scope(ModuleTrace(), L"KivraNtsc2::GetFieldOrder()");
  if (!order) return E_POINTER;
  CAutoLock filter(renderer_->FilterLock());
  LONG stored = 0;
  RETURN_IF_FAILED(config_->GetFieldOrder(&stored));
  if (stored < 0 || stored > 2) return E_UNEXPECTED;
  *order = stored;
  return S_OK;
}

// --- KivraNtscZoom, KelvUtil ----------------------------------------------------------------------

STDMETHODIMP KivraNtscZoomObject::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_KivraNtscZoom) return GetInterface(static_cast<KivraNtscZoom*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP KivraNtscZoomObject::SetZoomMode(LONG mode) {
  TraceScope scope(ModuleTrace(), L"KivraNtscZoom::SetZoomMode", L"%ls", mode == 0 ? L"Normal" : L"Wide");
  CAutoLock filter(renderer_->FilterLock());
  return preview_->SetZoomMode(mode);
}

STDMETHODIMP KivraNtscZoomObject::GetZoomMode(LONG* mode) {
  TraceScope scope(ModuleTrace(), L"KivraNtscZoom::GetZoomMode()");
  CAutoLock filter(renderer_->FilterLock());
  return preview_->GetZoomMode(mode);
}

STDMETHODIMP KelvUtil::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IKelvUtil) return GetInterface(static_cast<IKelvUtil*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP KelvUtil::GetWideZoomRect(RECT* linear, RECT* result) {
  const RECT l = Or(linear);
  TraceScope scope(ModuleTrace(), L"KelvUtil::GetWideZoomRect", L"Linear(%d,%d,%d,%d)", l.left, l.top, l.right,
                   l.bottom);
  CAutoLock filter(renderer_->FilterLock());
  SIZE size = {};
  RETURN_IF_FAILED(preview_->GetVideoSize(&size));
  RECT source = {}, destination = {};
  RETURN_IF_FAILED(preview_->GetVideoPosition(&source, &destination));
  return preview_->GetWideZoomRect(&size, &source, linear, result);
}

// --- PropertyPageList ---------------------------------------------------------------------------

STDMETHODIMP PropertyPageList::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP PropertyPageList::GetPages(CAUUID* pages) {
  CAutoLock lock(&lock_);
  if (!pages) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(pages_.size() * sizeof(GUID)));
  if (!pages->pElems) return E_OUTOFMEMORY;
  std::memcpy(pages->pElems, pages_.data(), pages_.size() * sizeof(GUID));
  pages->cElems = static_cast<ULONG>(pages_.size());
  return S_OK;
}

void PropertyPageList::Add(const CLSID& page) {
  CAutoLock lock(&lock_);
  pages_.push_back(page);
}

}  // namespace vren

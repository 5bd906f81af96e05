// The video renderer stand-in (class {B1E39656-ABCE-4B23-A6FB-6776C7399B1E}, created by class
// identifier and in no category): one video input "Video Input" that consumes its frames and
// counts them (those that arrived, and those whose time came; the start time's lead over the
// graph's clock at each Run goes to the journal too), and the configuration interfaces a device
// manager drives: IVMRFilterConfig (the rendering mode), IVMRWindowlessControl (answered only
// in windowless mode), KivraNtscZoom, and KivraNtsc2 with its older KivraNtsc. Nothing is
// drawn: what the windowless control is given is kept, so that a later Get returns it, and every
// call goes to the journal ("SimVideoRenderer"), where a test can make any method fail.
//
// Accepted input: MEDIATYPE_Video YUY2 or RGB32 with FORMAT_VideoInfo or FORMAT_VideoInfo2 and
// a positive height, and the cards' field-planar type.
#include <cstdlib>
#include <new>
#include <type_traits>

#include "filters/include/field_video.h"
#include "filters/include/filter_interfaces.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_filters.h"
#include "sim/doubles/renderer_double.h"

namespace {

using doubles::Journal;

constexpr char kObject[] = "SimVideoRenderer";
constexpr COLORREF kDefaultColorKey = RGB(16, 0, 16);

std::int64_t Handle(const void* handle) { return static_cast<std::int64_t>(reinterpret_cast<uintptr_t>(handle)); }

// The picture size and aspect ratio of an accepted type; false for any other type.
struct PictureSize {
  LONG width = 0;
  LONG height = 0;
  LONG aspectX = 4;
  LONG aspectY = 3;
};

bool ReadPictureSize(const CMediaType& type, PictureSize* size) {
  if (*type.Type() == MEDIATYPE_FieldVideo) {
    if (*type.Subtype() != MEDIASUBTYPE_FieldPlanar420 ||
        (*type.FormatType() != FORMAT_FieldVideoNtsc && *type.FormatType() != FORMAT_FieldVideoPal) ||
        !type.Format() || type.FormatLength() < sizeof(field_video::FieldVideoFormat)) {
      return false;
    }
    const auto* format = reinterpret_cast<const field_video::FieldVideoFormat*>(type.Format());
    size->width = format->bmiHeader.biWidth;
    size->height = std::abs(format->bmiHeader.biHeight);
    return size->width > 0 && size->height > 0;
  }
  if (*type.Type() != MEDIATYPE_Video ||
      (*type.Subtype() != MEDIASUBTYPE_YUY2 && *type.Subtype() != MEDIASUBTYPE_RGB32)) {
    return false;
  }
  // Null unless the format is VideoInfo or VideoInfo2 and long enough for the header.
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&type);
  if (!header || header->biWidth <= 0 || header->biHeight <= 0) return false;
  // Both format blocks start with the source rectangle; an empty one stands for the picture.
  const RECT& source = reinterpret_cast<const VIDEOINFOHEADER*>(type.Format())->rcSource;
  const bool useSource = source.right > source.left && source.bottom > source.top;
  size->width = useSource ? source.right - source.left : header->biWidth;
  size->height = useSource ? source.bottom - source.top : header->biHeight;
  if (*type.FormatType() == FORMAT_VideoInfo2) {
    const auto* info = reinterpret_cast<const VIDEOINFOHEADER2*>(type.Format());
    if (info->dwPictAspectRatioX && info->dwPictAspectRatioY) {
      size->aspectX = static_cast<LONG>(info->dwPictAspectRatioX);
      size->aspectY = static_cast<LONG>(info->dwPictAspectRatioY);
    }
  }
  return true;
}

class VideoRenderer final : public doubles::RendererDouble,
                            public IVMRFilterConfig,
                            public IVMRWindowlessControl,
                            public KivraNtsc2,
                            public KivraNtscZoom {
 public:
  VideoRenderer(IUnknown* outer, HRESULT* phr)
      : RendererDouble(L"Sim video renderer", outer, doubles::kClsidSimVideoRenderer, L"Sim video input",
                       L"Video Input", phr) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IVMRFilterConfig) return GetInterface(static_cast<IVMRFilterConfig*>(this), out);
    if (iid == IID_IVMRWindowlessControl) {
      // Like the platform's renderers: the windowless control exists in windowless mode only.
      if (Mode() != VMRMode_Windowless) {
        *out = nullptr;
        return E_NOINTERFACE;
      }
      return GetInterface(static_cast<IVMRWindowlessControl*>(this), out);
    }
    if (iid == IID_KivraNtsc2 || iid == IID_KivraNtsc) return GetInterface(static_cast<KivraNtsc2*>(this), out);
    if (iid == IID_KivraNtscZoom) return GetInterface(static_cast<KivraNtscZoom*>(this), out);
    return RendererDouble::NonDelegatingQueryInterface(iid, out);
  }

  // --- IVMRFilterConfig ---------------------------------------------------------------------------
  STDMETHODIMP SetImageCompositor(IVMRImageCompositor* compositor) override {
    return NotImplemented(Record("SetImageCompositor", compositor ? 1 : 0));
  }
  STDMETHODIMP SetNumberOfStreams(DWORD streams) override {
    return NotImplemented(Record("SetNumberOfStreams", streams));
  }
  STDMETHODIMP GetNumberOfStreams(DWORD* streams) override {
    return streams ? NotImplemented(Record("GetNumberOfStreams")) : E_POINTER;
  }
  STDMETHODIMP SetRenderingPrefs(DWORD prefs) override { return NotImplemented(Record("SetRenderingPrefs", prefs)); }
  STDMETHODIMP GetRenderingPrefs(DWORD* prefs) override {
    return prefs ? NotImplemented(Record("GetRenderingPrefs")) : E_POINTER;
  }
  // Windowed (1) or windowless (2), chosen before the input connects; renderless is not offered.
  STDMETHODIMP SetRenderingMode(DWORD mode) override {
    const HRESULT hr = Record("SetRenderingMode", mode);
    if (FAILED(hr)) return hr;
    if (mode == VMRMode_Renderless) return E_NOTIMPL;
    if (mode != VMRMode_Windowed && mode != VMRMode_Windowless) return E_INVALIDARG;
    CAutoLock lock(FilterLock());
    if (Input().IsConnected()) return VFW_E_WRONG_STATE;
    CAutoLock settings(&settingsLock_);
    mode_ = mode;
    return S_OK;
  }
  STDMETHODIMP GetRenderingMode(DWORD* mode) override {
    if (!mode) return E_POINTER;
    const HRESULT hr = Record("GetRenderingMode");
    if (SUCCEEDED(hr)) *mode = Mode();
    return hr;
  }

  // --- IVMRWindowlessControl ----------------------------------------------------------------------
  // The connected picture's size (zeros while unconnected) and its aspect ratio.
  STDMETHODIMP GetNativeVideoSize(LONG* width, LONG* height, LONG* aspectX, LONG* aspectY) override {
    if (!width || !height || !aspectX || !aspectY) return E_POINTER;
    HRESULT hr = Windowless("GetNativeVideoSize");
    if (FAILED(hr)) return hr;
    const PictureSize size = Native();
    *width = size.width;
    *height = size.height;
    *aspectX = size.width ? size.aspectX : 0;
    *aspectY = size.width ? size.aspectY : 0;
    return S_OK;
  }
  STDMETHODIMP GetMinIdealVideoSize(LONG* width, LONG* height) override {
    return width && height ? NotImplemented(Windowless("GetMinIdealVideoSize")) : E_POINTER;
  }
  STDMETHODIMP GetMaxIdealVideoSize(LONG* width, LONG* height) override {
    return width && height ? NotImplemented(Windowless("GetMaxIdealVideoSize")) : E_POINTER;
  }
  // Recorded with the destination (as the preview control double records it); a null source
  // stands for the whole native picture. GetVideoPosition returns both.
  STDMETHODIMP SetVideoPosition(const LPRECT source, const LPRECT destination) override {
    if (!destination) return E_POINTER;
    const HRESULT hr = Windowless("SetVideoPosition", destination->left, destination->top, destination->right,
                                  destination->bottom);
    if (FAILED(hr)) return hr;
    RECT whole{};
    if (!source) {
      const PictureSize size = Native();
      whole = {0, 0, size.width, size.height};
    }
    CAutoLock lock(&settingsLock_);
    source_ = source ? *source : whole;
    destination_ = *destination;
    return S_OK;
  }
  STDMETHODIMP GetVideoPosition(LPRECT source, LPRECT destination) override {
    if (!source || !destination) return E_POINTER;
    const HRESULT hr = Windowless("GetVideoPosition");
    if (FAILED(hr)) return hr;
    CAutoLock lock(&settingsLock_);
    *source = source_;
    *destination = destination_;
    return S_OK;
  }
  STDMETHODIMP GetAspectRatioMode(DWORD* mode) override { return Fetch(mode, aspectMode_, "GetAspectRatioMode"); }
  STDMETHODIMP SetAspectRatioMode(DWORD mode) override {
    const HRESULT hr = Windowless("SetAspectRatioMode", mode);
    if (FAILED(hr)) return hr;
    if (mode != VMR_ARMODE_NONE && mode != VMR_ARMODE_LETTER_BOX) return E_INVALIDARG;
    return Store(hr, aspectMode_, mode);
  }
  STDMETHODIMP SetVideoClippingWindow(HWND window) override {
    return Store(Windowless("SetVideoClippingWindow", Handle(window)), clippingWindow_, window);
  }
  STDMETHODIMP RepaintVideo(HWND window, HDC dc) override {
    return Windowless("RepaintVideo", Handle(window), Handle(dc));
  }
  STDMETHODIMP DisplayModeChanged() override { return Windowless("DisplayModeChanged"); }
  STDMETHODIMP GetCurrentImage(BYTE** image) override {
    if (!image) return E_POINTER;
    *image = nullptr;
    return NotImplemented(Windowless("GetCurrentImage"));
  }
  STDMETHODIMP SetBorderColor(COLORREF color) override {
    return Store(Windowless("SetBorderColor", color), borderColor_, color);
  }
  STDMETHODIMP GetBorderColor(COLORREF* color) override { return Fetch(color, borderColor_, "GetBorderColor"); }
  STDMETHODIMP SetColorKey(COLORREF key) override { return Store(Windowless("SetColorKey", key), colorKey_, key); }
  STDMETHODIMP GetColorKey(COLORREF* key) override { return Fetch(key, colorKey_, "GetColorKey"); }

  // --- KivraNtsc: the older interface, nothing implemented ----------------------------------------
  STDMETHODIMP Unused3() override { return NotImplemented(Record("Unused3")); }
  STDMETHODIMP Unused4() override { return NotImplemented(Record("Unused4")); }
  STDMETHODIMP Unused5() override { return NotImplemented(Record("Unused5")); }
  STDMETHODIMP Unused6() override { return NotImplemented(Record("Unused6")); }
  STDMETHODIMP Unused7() override { return NotImplemented(Record("Unused7")); }
  STDMETHODIMP Unused8() override { return NotImplemented(Record("Unused8")); }
  STDMETHODIMP Unused9() override { return NotImplemented(Record("Unused9")); }
  STDMETHODIMP Unused10() override { return NotImplemented(Record("Unused10")); }

  // --- KivraNtsc2: field order 0 auto, 1 top first, 2 bottom first --------------------------------
  STDMETHODIMP SetFieldOrder(LONG order) override {
    const HRESULT hr = Record("SetFieldOrder", order);
    if (FAILED(hr)) return hr;
    if (order < 0 || order > 2) return E_INVALIDARG;
    return Store(hr, fieldOrder_, order);
  }
  STDMETHODIMP GetFieldOrder(LONG* order) override { return Fetch(order, fieldOrder_, "GetFieldOrder", false); }

  // --- KivraNtscZoom: 0 normal, any other value wide ----------------------------------------------
  STDMETHODIMP SetZoomMode(LONG mode) override { return Store(Record("SetZoomMode", mode), zoomMode_, mode); }
  STDMETHODIMP GetZoomMode(LONG* mode) override { return Fetch(mode, zoomMode_, "GetZoomMode", false); }

  // Records how far the start time lies ahead of the graph's clock: how long stream time 0 is
  // away when the renderer runs.
  STDMETHODIMP Run(REFERENCE_TIME start) override {
    const HRESULT hr = RendererDouble::Run(start);
    REFERENCE_TIME now = 0;
    if (SUCCEEDED(hr) && StreamTime(now) == S_OK) Journal::Instance().SetValue(doubles::kValueVideoStartLead, -now);
    return hr;
  }

 protected:
  HRESULT CheckInputType(const CMediaType& type) override {
    PictureSize size;
    return ReadPictureSize(type, &size) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  // Counts the frame; nothing is drawn.
  HRESULT Consume(IMediaSample*) override {
    Journal& journal = Journal::Instance();
    journal.SetValue(doubles::kValueVideoFrames, journal.Value(doubles::kValueVideoFrames) + 1);
    return S_OK;
  }
  void Arrived(IMediaSample*) override {
    Journal& journal = Journal::Instance();
    journal.SetValue(doubles::kValueVideoArrivals, journal.Value(doubles::kValueVideoArrivals) + 1);
  }

 private:
  static HRESULT Record(const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0, std::int64_t a2 = 0,
                        std::int64_t a3 = 0) {
    return Journal::Instance().Record(kObject, method, a0, a1, a2, a3);
  }
  // After a recorded call: E_NOTIMPL unless the journal failed it.
  static HRESULT NotImplemented(HRESULT recorded) { return FAILED(recorded) ? recorded : E_NOTIMPL; }
  // After a recorded call: keeps `value` in the setting.
  template <class T>
  HRESULT Store(HRESULT recorded, T& setting, std::type_identity_t<T> value) {
    if (FAILED(recorded)) return recorded;
    CAutoLock lock(&settingsLock_);
    setting = value;
    return S_OK;
  }
  // A reading of a setting: E_POINTER without `out`, then the call recorded (a windowless-control
  // call by default).
  template <class T>
  HRESULT Fetch(T* out, const T& setting, const char* method, bool windowless = true) {
    if (!out) return E_POINTER;
    const HRESULT hr = windowless ? Windowless(method) : Record(method);
    if (FAILED(hr)) return hr;
    CAutoLock lock(&settingsLock_);
    *out = setting;
    return S_OK;
  }
  // Records a windowless-control call; VFW_E_WRONG_STATE outside windowless mode.
  HRESULT Windowless(const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0, std::int64_t a2 = 0,
                     std::int64_t a3 = 0) {
    const HRESULT hr = Record(method, a0, a1, a2, a3);
    if (FAILED(hr)) return hr;
    return Mode() == VMRMode_Windowless ? S_OK : VFW_E_WRONG_STATE;
  }
  DWORD Mode() {
    CAutoLock lock(&settingsLock_);
    return mode_;
  }
  PictureSize Native() {
    PictureSize size;
    CAutoLock lock(FilterLock());
    if (!Input().IsConnected() || !ReadPictureSize(Input().CurrentMediaType(), &size)) return PictureSize{0, 0, 0, 0};
    return size;
  }

  CCritSec settingsLock_;  // the settings below; a leaf, taken after the filter lock
  DWORD mode_ = VMRMode_Windowed;
  HWND clippingWindow_ = nullptr;  // kept only, never used
  RECT source_{};
  RECT destination_{};
  DWORD aspectMode_ = VMR_ARMODE_LETTER_BOX;
  COLORREF borderColor_ = 0;
  COLORREF colorKey_ = kDefaultColorKey;
  LONG fieldOrder_ = 0;
  LONG zoomMode_ = 0;
};

}  // namespace

CUnknown* CreateSimVideoRenderer(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) VideoRenderer(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

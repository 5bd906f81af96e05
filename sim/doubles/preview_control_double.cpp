// The preview control's double (preview_control_double.h): keeps what it is told (video size,
// clipping window, rectangles, colour key, zoom mode) and answers with it, so a test sees both
// the calls and their effect.
#include "sim/doubles/preview_control_double.h"

#include <new>

#include "board/VornConEx.h"
#include "filters/base/factory.h"
#include "sim/doubles/double_journal.h"

namespace {

using doubles::Journal;

std::int64_t Handle(const void* handle) { return static_cast<std::int64_t>(reinterpret_cast<uintptr_t>(handle)); }
std::int64_t Pack(LONG low, LONG high) {
  return (static_cast<std::int64_t>(high) << 32) | static_cast<std::uint32_t>(low);
}

class PreviewControl2Double final : public CUnknown,
                                    public IPreviewControl2,
                                    public IPreviewMode2,
                                    public IPreviewInfo {
 public:
  explicit PreviewControl2Double(IUnknown* outer) : CUnknown(L"Preview control 2 double", outer) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == __uuidof(IPreviewControl) || iid == __uuidof(IPreviewControl2)) {
      return GetInterface(static_cast<IPreviewControl2*>(this), out);
    }
    if (iid == __uuidof(IPreviewMode) || iid == __uuidof(IPreviewMode2)) {
      return GetInterface(static_cast<IPreviewMode2*>(this), out);
    }
    if (iid == __uuidof(IPreviewInfo)) return GetInterface(static_cast<IPreviewInfo*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }

  // IPreviewControl2
  STDMETHODIMP Initialize(LONG reserve) override { return Record("Initialize", reserve); }
  STDMETHODIMP SetVideoSize(SIZE* size) override {
    if (!size) return E_POINTER;
    const HRESULT hr = Record("SetVideoSize", size->cx, size->cy);
    if (SUCCEEDED(hr)) size_ = *size;
    return hr;
  }
  STDMETHODIMP SetVideoClippingWindow(HWND window) override {
    const HRESULT hr = Record("SetVideoClippingWindow", Handle(window));
    if (SUCCEEDED(hr)) window_ = window;
    return hr;
  }
  // args: source (left, top), (right, bottom) packed, destination likewise; a null source is 0, 0.
  STDMETHODIMP SetVideoPosition(RECT* source, RECT* destination) override {
    const RECT s = source ? *source : RECT{};
    const RECT d = destination ? *destination : RECT{};
    const HRESULT hr = Record("SetVideoPosition", Pack(s.left, s.top), Pack(s.right, s.bottom), Pack(d.left, d.top),
                              Pack(d.right, d.bottom));
    if (SUCCEEDED(hr)) {
      if (source) source_ = s;
      if (destination) destination_ = d;
    }
    return hr;
  }
  STDMETHODIMP GetVideoPosition(RECT* source, RECT* destination) override {
    const HRESULT hr = Record("GetVideoPosition");
    if (SUCCEEDED(hr)) {
      if (source) *source = source_;
      if (destination) *destination = destination_;
    }
    return hr;
  }
  STDMETHODIMP SetColorKey(ULONG key) override { return Record("SetColorKey", key); }
  STDMETHODIMP GetColorKey(ULONG* key) override {
    if (!key) return E_POINTER;
    const HRESULT hr = Record("GetColorKey");
    const std::int64_t set = Journal::Instance().Value(doubles::kPreviewColorKey);
    if (SUCCEEDED(hr)) *key = set ? static_cast<ULONG>(set) : 0x00100010;
    return hr;
  }
  STDMETHODIMP RepaintVideo(HWND window, HDC dc) override {
    return Record("RepaintVideo", Handle(window), Handle(dc));
  }
  STDMETHODIMP DisplayModeChanged() override { return Record("DisplayModeChanged"); }
  STDMETHODIMP SetZoomMode(LONG mode) override {
    const HRESULT hr = Record("SetZoomMode", mode);
    if (SUCCEEDED(hr)) zoom_ = mode;
    return hr;
  }
  STDMETHODIMP GetZoomMode(LONG* mode) override {
    if (!mode) return E_POINTER;
    const HRESULT hr = Record("GetZoomMode");
    if (SUCCEEDED(hr)) *mode = zoom_;
    return hr;
  }
  STDMETHODIMP Uninitialize(LONG reserve) override { return Record("Uninitialize", reserve); }
  STDMETHODIMP GetVideoSize(SIZE* size) override {
    if (!size) return E_POINTER;
    const HRESULT hr = Record("GetVideoSize");
    if (SUCCEEDED(hr)) *size = size_;
    return hr;
  }
  STDMETHODIMP GetVideoClippingWindow(HWND* window) override {
    if (!window) return E_POINTER;
    const HRESULT hr = Record("GetVideoClippingWindow");
    if (SUCCEEDED(hr)) *window = window_;
    return hr;
  }
  STDMETHODIMP SetMuteTimer(ULONG timeout) override { return Record("SetMuteTimer", timeout); }

  // IPreviewMode2
  STDMETHODIMP GetColorFormat(LONG* format) override {
    if (!format) return E_POINTER;
    const HRESULT hr = Record("GetColorFormat");
    if (SUCCEEDED(hr)) *format = format_;
    return hr;
  }
  STDMETHODIMP SetColorFormat(LONG format) override {
    const HRESULT hr = Record("SetColorFormat", format);
    if (SUCCEEDED(hr)) format_ = format;
    return hr;
  }
  STDMETHODIMP GetAvailableDestSize(SIZE* minimum, SIZE* maximum) override {
    if (!minimum || !maximum) return E_POINTER;
    const HRESULT hr = Record("GetAvailableDestSize");
    if (SUCCEEDED(hr)) {
      const Journal& journal = Journal::Instance();
      *minimum = SIZE{320, 240};
      *maximum = SIZE{Or(journal.Value(doubles::kPreviewMaxWidth), 640), Or(journal.Value(doubles::kPreviewMaxHeight), 480)};
    }
    return hr;
  }
  // args: video size packed, source (right, bottom) packed, linear (left, top), (right, bottom)
  // packed; the answer is the linear rectangle moved right by the source's left edge.
  STDMETHODIMP GetWideZoomRect(SIZE* videoSize, RECT* source, RECT* linear, RECT* result) override {
    if (!videoSize || !source || !linear || !result) return E_POINTER;
    const HRESULT hr = Record("GetWideZoomRect", Pack(videoSize->cx, videoSize->cy), Pack(source->right, source->bottom),
                              Pack(linear->left, linear->top), Pack(linear->right, linear->bottom));
    if (SUCCEEDED(hr)) *result = RECT{linear->left + source->left, linear->top, linear->right + source->left, linear->bottom};
    return hr;
  }

  // IPreviewInfo
  STDMETHODIMP GetDisplayPanelId(unsigned char* id) override {
    if (!id) return E_POINTER;
    const HRESULT hr = Record("GetDisplayPanelId");
    if (SUCCEEDED(hr)) *id = 1;
    return hr;
  }
  STDMETHODIMP GetDisplayPanelSize(SIZE* size) override {
    if (!size) return E_POINTER;
    const HRESULT hr = Record("GetDisplayPanelSize");
    if (SUCCEEDED(hr)) *size = SIZE{1024, 768};
    return hr;
  }

 private:
  static LONG Or(std::int64_t value, LONG fallback) { return value ? static_cast<LONG>(value) : fallback; }
  static HRESULT Record(const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0, std::int64_t a2 = 0,
                        std::int64_t a3 = 0) {
    return Journal::Instance().Record(doubles::kPreviewControlObject, method, a0, a1, a2, a3);
  }

  SIZE size_ = {};
  HWND window_ = nullptr;
  RECT source_ = {};
  RECT destination_ = {};
  LONG zoom_ = 0;
  LONG format_ = 0;
};

CUnknown* CreatePreviewControl2(IUnknown* outer, HRESULT* phr) {
  auto* control = new (std::nothrow) PreviewControl2Double(outer);
  if (!control && phr) *phr = E_OUTOFMEMORY;
  return control;
}

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Preview Control 2 double", &doubles::kClsidPreviewControl2, &CreatePreviewControl2, nullptr, nullptr},
};
VORN_FILTER_MODULE_ENTRY_POINTS()

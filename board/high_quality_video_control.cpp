#include "board/high_quality_video_control.h"

#include <new>

#include "common/hresult.h"
#include "common/trace.h"

namespace board {

// {B71C13AA-78B0-411C-A96C-0C4F85D08B50}
const CLSID kHighQualityVideoControlClass = {
    0xB71C13AA, 0x78B0, 0x411C, {0xA9, 0x6C, 0x0C, 0x4F, 0x85, 0xD0, 0x8B, 0x50}};

std::atomic<long> CHighQualityVideoControl::objects_{0};

namespace {

const wchar_t* FormatName(long format) {
  switch (format) {
    case kYuv422: return L"YUV422";
    case kYuv444: return L"YUV444";
    case kRgb: return L"RGB";
    default: return L"UNKNOWN";
  }
}

// A rectangle as the trace writes it; a missing one as zeros.
#define VORN_RECT_ARGS(r)                                                                      \
  (r) ? static_cast<int>((r)->left) : 0, (r) ? static_cast<int>((r)->top) : 0,                  \
      (r) ? static_cast<int>((r)->right) : 0, (r) ? static_cast<int>((r)->bottom) : 0,          \
      (r) ? static_cast<int>((r)->right - (r)->left) : 0, (r) ? static_cast<int>((r)->bottom - (r)->top) : 0
constexpr const wchar_t kRectFormat[] = L"l=%d,t=%d,r=%d,b=%d(w=%d,h=%d)";

}  // namespace

CHighQualityVideoControl::CHighQualityVideoControl(IUnknown* outer, ControllerSetup setup)
    : outer_(outer ? outer : &inner_), controller_(std::move(setup)) {
  ++objects_;
}

CHighQualityVideoControl::~CHighQualityVideoControl() {
  TraceScope scope(ModuleTrace(), L"CHighQualityVideoControl::FinalRelease");
  controller_.Release();
  --objects_;
}

HRESULT CHighQualityVideoControl::Create(IUnknown* outer, REFIID iid, void** out, ControllerSetup setup) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    auto* object = new (std::nothrow) CHighQualityVideoControl(outer, std::move(setup));
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr;
    {
      TraceScope scope(ModuleTrace(), L"CHighQualityVideoControl::FinalConstruct");
      hr = object->controller_.Construct();
    }
    if (SUCCEEDED(hr)) hr = object->inner_.QueryInterface(iid, out);
    object->inner_.Release();  // the creation reference: the object goes when nothing else holds it
    return hr;
  });
}

STDMETHODIMP CHighQualityVideoControl::Inner::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown) *out = static_cast<IUnknown*>(this);
  else if (iid == __uuidof(IVideoView)) *out = static_cast<IVideoView*>(static_cast<VideoViewSlots*>(self_));
  else if (iid == __uuidof(IVideoProperty)) *out = static_cast<IVideoProperty*>(static_cast<VideoPropertySlots*>(self_));
  else if (iid == __uuidof(IScreenMode)) *out = static_cast<IScreenMode*>(self_);
  else if (iid == __uuidof(IHardwareInfo)) *out = static_cast<IHardwareInfo*>(self_);
  else if (iid == __uuidof(IDirectControl)) *out = static_cast<IDirectControl*>(self_);
  else return E_NOINTERFACE;
  static_cast<IUnknown*>(*out)->AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) CHighQualityVideoControl::Inner::Release() {
  const long left = --self_->refs_;
  if (left == 0) delete self_;
  return static_cast<ULONG>(left);
}

// --- IVideoView ---------------------------------------------------------------------------------

HRESULT CHighQualityVideoControl::InitializeOf(IVideoView*, long reserve) {
  TraceScope scope(ModuleTrace(), L"IVideoView::Initialize", L"%d", static_cast<int>(reserve));
  return GuardHr(E_FAIL, [&] { return controller_.InitializeView(); });
}
STDMETHODIMP CHighQualityVideoControl::ShowView(long show) {
  TraceScope scope(ModuleTrace(), L"IVideoView::ShowView", L"%d", static_cast<int>(show));
  return GuardHr(E_FAIL, [&] { return controller_.ShowView(show); });
}
STDMETHODIMP CHighQualityVideoControl::IsShowView(long* show) {
  TraceScope scope(ModuleTrace(), L"IVideoView::IsShowView", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.IsShowView(show); });
}
STDMETHODIMP CHighQualityVideoControl::SetColorKey(unsigned long color) {
  TraceScope scope(ModuleTrace(), L"IVideoView::SetColorKey", L"0x%08X", static_cast<unsigned>(color));
  return GuardHr(E_FAIL, [&] { return controller_.SetColorKey(color); });
}
STDMETHODIMP CHighQualityVideoControl::GetColorKey(unsigned long* color) {
  TraceScope scope(ModuleTrace(), L"IVideoView::GetColorKey", L"...");
  return GuardHr(E_FAIL, [&] {
    DWORD value = 0;
    const HRESULT hr = controller_.GetColorKey(color ? &value : nullptr);
    if (SUCCEEDED(hr)) *color = value;
    return hr;
  });
}
STDMETHODIMP CHighQualityVideoControl::SetSrcSize(RECT* rect) {
  TraceScope scope(ModuleTrace(), L"IVideoView::SetSrcSize", kRectFormat, VORN_RECT_ARGS(rect));
  return GuardHr(E_FAIL, [&] { return controller_.SetSrcSize(rect); });
}
STDMETHODIMP CHighQualityVideoControl::GetSrcSize(RECT* rect) {
  TraceScope scope(ModuleTrace(), L"IVideoView::GetSrcSize", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetSrcSize(rect); });
}
STDMETHODIMP CHighQualityVideoControl::GetSrcPosition(RECT* rect) {
  TraceScope scope(ModuleTrace(), L"IVideoView::GetSrcPosition", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetSrcPosition(rect); });
}
STDMETHODIMP CHighQualityVideoControl::SetSrcPosition(RECT* rect) {
  TraceScope scope(ModuleTrace(), L"IVideoView::SetSrcPosition", kRectFormat, VORN_RECT_ARGS(rect));
  return GuardHr(E_FAIL, [&] { return controller_.SetSrcPosition(rect); });
}
STDMETHODIMP CHighQualityVideoControl::GetViewPosition(RECT* rect) {
  TraceScope scope(ModuleTrace(), L"IVideoView::GetViewPosition", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetViewPosition(rect); });
}
STDMETHODIMP CHighQualityVideoControl::SetViewPosition(RECT* rect) {
  TraceScope scope(ModuleTrace(), L"IVideoView::SetViewPosition", kRectFormat, VORN_RECT_ARGS(rect));
  return GuardHr(E_FAIL, [&] { return controller_.SetViewPosition(rect); });
}
STDMETHODIMP CHighQualityVideoControl::GetZoomMode(long* mode) {
  TraceScope scope(ModuleTrace(), L"IVideoView::GetZoomMode", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetZoomMode(mode); });
}
STDMETHODIMP CHighQualityVideoControl::SetZoomMode(long mode) {
  TraceScope scope(ModuleTrace(), L"IVideoView::SetZoomMode", L"%d", static_cast<int>(mode));
  return GuardHr(E_FAIL, [&] { return controller_.SetZoomMode(mode); });
}
HRESULT CHighQualityVideoControl::UninitializeOf(IVideoView*, long reserve) {
  TraceScope scope(ModuleTrace(), L"IVideoView::Uninitialize", L"%d", static_cast<int>(reserve));
  return GuardHr(E_FAIL, [&] { return controller_.UninitializeView(); });
}

// --- IVideoProperty -----------------------------------------------------------------------------

HRESULT CHighQualityVideoControl::InitializeOf(IVideoProperty*, long reserve) {
  TraceScope scope(ModuleTrace(), L"IVideoProperty::Initialize", L"%d", static_cast<int>(reserve));
  return GuardHr(E_FAIL, [&] { return controller_.InitializeProperty(); });
}
HRESULT CHighQualityVideoControl::UninitializeOf(IVideoProperty*, long reserve) {
  TraceScope scope(ModuleTrace(), L"IVideoProperty::Uninitialize", L"%d", static_cast<int>(reserve));
  return GuardHr(E_FAIL, [&] { return controller_.UninitializeProperty(); });
}

STDMETHODIMP CHighQualityVideoControl::GetAvailableProcAmpControl(long* property) {
  TraceScope scope(ModuleTrace(), L"IVideoProperty::GetAvailableProcAmpControl", L"...");
  return BoardController::GetAvailableProcAmpControl(property);
}
STDMETHODIMP CHighQualityVideoControl::GetProcAmpControlRange(long property, long* minimum, long* maximum, long*) {
  TraceScope scope(ModuleTrace(), L"IVideoProperty::GetProcAmpControlRange", L"prop=%d,...", static_cast<int>(property));
  return BoardController::GetProcAmpControlRange(property, minimum, maximum);
}
STDMETHODIMP CHighQualityVideoControl::GetProcAmpControl(long property, long* value, long flush) {
  TraceScope scope(ModuleTrace(), L"IVideoProperty::GetProcAmpControl", L"prop=%d,...,flush=%d",
                   static_cast<int>(property), static_cast<int>(flush));
  return GuardHr(E_FAIL, [&] { return controller_.GetProcAmpControl(property, value, flush); });
}
STDMETHODIMP CHighQualityVideoControl::SetProcAmpControl(long property, long value, long flush) {
  TraceScope scope(ModuleTrace(), L"IVideoProperty::SetProcAmpControl", L"prop=%d,value=%d,flush=%d",
                   static_cast<int>(property), static_cast<int>(value), static_cast<int>(flush));
  return GuardHr(E_FAIL, [&] { return controller_.SetProcAmpControl(property, value, flush); });
}

// --- IScreenMode, IHardwareInfo, IDirectControl -------------------------------------------------

STDMETHODIMP CHighQualityVideoControl::SetColorFormat(long format) {
  TraceScope scope(ModuleTrace(), L"IScreenMode::SetColorFormat", L"%ls", FormatName(format));
  return GuardHr(E_FAIL, [&] { return controller_.SetColorFormat(format); });
}
STDMETHODIMP CHighQualityVideoControl::GetColorFormat(long* format) {
  TraceScope scope(ModuleTrace(), L"IScreenMode::GetColorFormat", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetColorFormat(format); });
}
STDMETHODIMP CHighQualityVideoControl::SetRegistry(long read) {
  TraceScope scope(ModuleTrace(), L"IScreenMode::SetRegistry", L"%d", static_cast<int>(read));
  return E_NOTIMPL;
}
STDMETHODIMP CHighQualityVideoControl::GetAvailableDestSize(SIZE* minimum, SIZE* maximum) {
  TraceScope scope(ModuleTrace(), L"IScreenMode::GetAvailableDestSize", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetAvailableDestSize(minimum, maximum); });
}
STDMETHODIMP CHighQualityVideoControl::GetDisplayPanelId(unsigned char* id) {
  TraceScope scope(ModuleTrace(), L"IHardwareInfo::GetDisplayPanelId", L"...");
  return controller_.GetDisplayPanelId(id);
}
STDMETHODIMP CHighQualityVideoControl::GetDisplayPanelSize(long* height, long* width) {
  TraceScope scope(ModuleTrace(), L"IHardwareInfo::GetDisplayPanelSize", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.GetDisplayPanelSize(height, width); });
}
STDMETHODIMP CHighQualityVideoControl::ResetOstrel(long reserve) {
  TraceScope scope(ModuleTrace(), L"IDirectControl::ResetOstrel", L"%d", static_cast<int>(reserve));
  return GuardHr(E_FAIL, [&] { return controller_.ResetOstrel(); });
}
STDMETHODIMP CHighQualityVideoControl::MuteTv(long enable) {
  TraceScope scope(ModuleTrace(), L"IDirectControl::MuteTv", L"%d", static_cast<int>(enable));
  return GuardHr(E_FAIL, [&] { return controller_.MuteTv(enable); });
}
STDMETHODIMP CHighQualityVideoControl::IsMuteTv(long* enable) {
  TraceScope scope(ModuleTrace(), L"IDirectControl::IsMuteTv", L"...");
  return GuardHr(E_FAIL, [&] { return controller_.IsMuteTv(enable); });
}

}  // namespace board

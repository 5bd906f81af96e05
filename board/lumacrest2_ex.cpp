#include "board/lumacrest2_ex.h"

#include <new>

#include "board/board_controller.h"
#include "board/wide_zoom_mapping.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "common/trace.h"

namespace board {

// {191331D4-D4C8-43D5-BAE9-D239B73E10B8}
const CLSID kLumacrest2ExClass = {0x191331D4, 0xD4C8, 0x43D5, {0xBA, 0xE9, 0xD2, 0x39, 0xB7, 0x3E, 0x10, 0xB8}};

std::atomic<long> Lumacrest2Ex::objects_{0};

namespace {

#define VORN_PREVIEW_RECTS(s, d)                                                               \
  (s) ? static_cast<int>((s)->left) : 0, (s) ? static_cast<int>((s)->top) : 0,                  \
      (s) ? static_cast<int>((s)->right) : 0, (s) ? static_cast<int>((s)->bottom) : 0,          \
      (d) ? static_cast<int>((d)->left) : 0, (d) ? static_cast<int>((d)->top) : 0,              \
      (d) ? static_cast<int>((d)->right) : 0, (d) ? static_cast<int>((d)->bottom) : 0
constexpr wchar_t kRectsFormat[] = L"Src(%d,%d,%d,%d),Dst(%d,%d,%d,%d)";

}  // namespace

HRESULT PreviewExclusion::Acquire() {
  if (initialized_) return errors::kPreviewAlreadyInit;
  const HRESULT hr = mutex_.CreateExclusive();
  if (hr == S_FALSE) return errors::kPreviewHeldElsewhere;  // nothing kept
  if (FAILED(hr)) return errors::kPreviewMutexNotOpened;
  initialized_ = true;
  return S_OK;
}

HRESULT PreviewExclusion::Release() {
  if (!initialized_) return errors::kPreviewControlNotInit;
  initialized_ = false;
  mutex_.Close();
  return S_OK;
}

Lumacrest2Ex::Lumacrest2Ex(const PreviewNames& names, const std::wstring& directory)
    : callMutex_(names.callMutex), properties_(board_, directory), control_(names.controlExclusion), property_(names.propertyExclusion) {
  ++objects_;
}

Lumacrest2Ex::~Lumacrest2Ex() {
  {
    TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::FinalRelease()", L"");
    LockGuard call(callMutex_, INFINITE);
    if (control_.initialized()) {
      engine_.Uninitialize(0);
      control_.Release();
    }
    if (property_.initialized()) {
      properties_.Uninitialize(0);
      property_.Release();
    }
    board_.Reset();
  }
  --objects_;
}

HRESULT Lumacrest2Ex::FinalConstruct(const std::wstring& directory) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::FinalConstruct()", L"");
  if (!callMutex_.Create()) return HResultFromLastError();
  LockGuard call(callMutex_, INFINITE);
  const HRESULT hr = board_.Bind(directory);
  if (FAILED(hr)) board_.Reset();
  return hr;
}

HRESULT Lumacrest2Ex::Create(REFIID iid, void** out, const std::wstring& directory, PreviewNames names) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    auto* object = new (std::nothrow) Lumacrest2Ex(names, directory);
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->FinalConstruct(directory);
    if (SUCCEEDED(hr)) hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  });
}

STDMETHODIMP Lumacrest2Ex::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == __uuidof(IPreviewControl) || iid == __uuidof(IPreviewControl2))
    *out = static_cast<IPreviewControl2*>(this);
  else if (iid == __uuidof(IPreviewProperty))
    *out = static_cast<IPreviewProperty*>(this);
  else if (iid == __uuidof(IPreviewProperty2))
    *out = static_cast<IPreviewProperty2*>(this);
  else if (iid == __uuidof(IPreviewMode) || iid == __uuidof(IPreviewMode2))
    *out = static_cast<IPreviewMode2*>(this);
  else if (iid == __uuidof(IPreviewInfo))
    *out = static_cast<IPreviewInfo*>(this);
  else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) Lumacrest2Ex::Release() {
  const long left = --refs_;
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

template <class F>
HRESULT Lumacrest2Ex::Controlled(F f) {
  LockGuard call(callMutex_, INFINITE);
  if (!control_.initialized()) return errors::kPreviewControlNotInit;
  return GuardHr(E_FAIL, f);
}

// --- IPreviewControl2 ----------------------------------------------------------------------

HRESULT Lumacrest2Ex::InitializeOf(IPreviewControl2*, long reserve) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_Initialize()", L"%d", static_cast<int>(reserve));
  LockGuard call(callMutex_, INFINITE);
  RETURN_IF_FAILED(control_.Acquire());
  const HRESULT hr = GuardHr(E_FAIL, [&] { return engine_.Initialize(reserve); });
  if (FAILED(hr)) {
    GuardHr(E_FAIL, [&] { return engine_.Uninitialize(0); });
    control_.Release();
  }
  return hr;
}

HRESULT Lumacrest2Ex::UninitializeOf(IPreviewControl2*, long reserve) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_Uninitialize()", L"%d", static_cast<int>(reserve));
  return Controlled([&] {
    engine_.Uninitialize(reserve);
    return control_.Release();
  });
}

STDMETHODIMP Lumacrest2Ex::SetVideoSize(SIZE* size) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_SetVideoSize()", L"(%d,%d)",
                   size ? static_cast<int>(size->cx) : 0, size ? static_cast<int>(size->cy) : 0);
  return Controlled([&] { return engine_.SetVideoSize(size); });
}

STDMETHODIMP Lumacrest2Ex::GetVideoSize(SIZE* size) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl2_GetVideoSize()", L"");
  return Controlled([&] { return engine_.GetVideoSize(size); });
}

STDMETHODIMP Lumacrest2Ex::SetVideoClippingWindow(HWND window) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_SetVideoClippingWindow()", L"0x%08x",
                   static_cast<unsigned>(reinterpret_cast<UINT_PTR>(window)));
  return Controlled([&] { return engine_.SetVideoClippingWindow(window); });
}

STDMETHODIMP Lumacrest2Ex::GetVideoClippingWindow(HWND* window) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl2_GetVideoClippingWindow()", L"");
  return Controlled([&] { return engine_.GetVideoClippingWindow(window); });
}

STDMETHODIMP Lumacrest2Ex::SetVideoPosition(RECT* source, RECT* destination) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_SetVideoPosition()", kRectsFormat,
                   VORN_PREVIEW_RECTS(source, destination));
  return Controlled([&] { return engine_.SetVideoPosition(source, destination); });
}

STDMETHODIMP Lumacrest2Ex::GetVideoPosition(RECT* source, RECT* destination) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_GetVideoPosition()", L"");
  return Controlled([&] { return engine_.GetVideoPosition(source, destination); });
}

STDMETHODIMP Lumacrest2Ex::SetColorKey(unsigned long key) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_SetColorKey()",
                   L"0x%08x", static_cast<unsigned>(key));
  return Controlled([&] { return engine_.SetColorKey(key); });
}

STDMETHODIMP Lumacrest2Ex::GetColorKey(unsigned long* key) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_GetColorKey()", L"");
  return Controlled([&] {
    DWORD value = 0;
    if (!key) return E_POINTER;
    RETURN_IF_FAILED(engine_.GetColorKey(&value));
    *key = value;
    return S_OK;
  });
}

STDMETHODIMP Lumacrest2Ex::RepaintVideo(HWND window, HDC dc) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_RepaintVideo()", L"hWnd=0x%08x,hDc=0x%08x",
                   static_cast<unsigned>(reinterpret_cast<UINT_PTR>(window)),
                   static_cast<unsigned>(reinterpret_cast<UINT_PTR>(dc)));
  return Controlled([&] { return engine_.RepaintVideo(window, dc); });
}

STDMETHODIMP Lumacrest2Ex::DisplayModeChanged() {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_DisplayModeChanged()", L"");
  return Controlled([&] { return engine_.DisplayModeChanged(); });
}

STDMETHODIMP Lumacrest2Ex::SetZoomMode(long mode) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_SetZoomMode()",
                   L"%ls", mode == 1 ? L"Wide" : L"Normal");
  return Controlled([&] { return engine_.SetZoomMode(mode); });
}

STDMETHODIMP Lumacrest2Ex::GetZoomMode(long* mode) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl_GetZoomMode()", L"");
  return Controlled([&] { return engine_.GetZoomMode(mode); });
}

STDMETHODIMP Lumacrest2Ex::SetMuteTimer(unsigned long timeout) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewControl2_SetMuteTimer()", L"%d", static_cast<int>(timeout));
  return Controlled([&] { return engine_.SetMuteTimer(timeout); });
}

// --- IPreviewProperty2 ------------------------------------------------------------------------

HRESULT Lumacrest2Ex::InitializeOf(IPreviewProperty2*, long reserve) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty_Initialize()", L"%d", static_cast<int>(reserve));
  LockGuard call(callMutex_, INFINITE);
  RETURN_IF_FAILED(property_.Acquire());
  const HRESULT hr = GuardHr(E_FAIL, [&] { return properties_.Initialize(reserve); });
  if (FAILED(hr)) {
    GuardHr(E_FAIL, [&] { return properties_.Uninitialize(0); });
    property_.Release();
  }
  return hr;
}

HRESULT Lumacrest2Ex::UninitializeOf(IPreviewProperty2*, long reserve) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty_Uninitialize()", L"%d", static_cast<int>(reserve));
  LockGuard call(callMutex_, INFINITE);
  if (!property_.initialized()) return errors::kPreviewControlNotInit;
  GuardHr(E_FAIL, [&] { return properties_.Uninitialize(reserve); });
  return property_.Release();
}

STDMETHODIMP Lumacrest2Ex::GetAvailableProcAmpControl(long* property) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty_GetAvailableProcAmpControl()", L"");
  LockGuard call(callMutex_, INFINITE);
  return GuardHr(E_FAIL, [&] { return properties_.GetAvailableProcAmpControl(property); });
}

STDMETHODIMP Lumacrest2Ex::GetProcAmpControlRange(long property, long* minimum, long* maximum, long* step,
                                                  long* defaultValue) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty_GetProcAmpControlRange()", L"0x%08x",
                   static_cast<unsigned>(property));
  LockGuard call(callMutex_, INFINITE);
  return GuardHr(E_FAIL, [&] { return properties_.GetProcAmpControlRange(property, minimum, maximum, step, defaultValue); });
}

STDMETHODIMP Lumacrest2Ex::GetProcAmpControl(long type, long* value) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty_GetProcAmpControl()",
                   L"0x%08x", static_cast<unsigned>(type));
  LockGuard call(callMutex_, INFINITE);
  if (!property_.initialized()) return errors::kPreviewControlNotInit;
  return GuardHr(E_FAIL, [&] { return properties_.GetProcAmpControl(type, value); });
}

STDMETHODIMP Lumacrest2Ex::SetProcAmpControl(long type, long value) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty_SetProcAmpControl()",
                   L"type=0x%04x,value=%d",
                   static_cast<unsigned>(type), static_cast<int>(value));
  LockGuard call(callMutex_, INFINITE);
  if (!property_.initialized()) return errors::kPreviewControlNotInit;
  return GuardHr(E_FAIL, [&] { return properties_.SetProcAmpControl(type, value); });
}

STDMETHODIMP Lumacrest2Ex::GetAvailableProcAmpPreset(long* preset) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty2_GetAvailableProcAmpPreset()", L"");
  LockGuard call(callMutex_, INFINITE);
  return GuardHr(E_FAIL, [&] { return properties_.GetAvailableProcAmpPreset(preset); });
}

STDMETHODIMP Lumacrest2Ex::GetProcAmpPreset(long preset, long property, long* value) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewProperty2_GetProcAmpPreset()", L"0x%x,0x%x",
                   static_cast<unsigned>(preset), static_cast<unsigned>(property));
  LockGuard call(callMutex_, INFINITE);
  return GuardHr(E_FAIL, [&] { return properties_.GetProcAmpPreset(preset, property, value); });
}

// --- IPreviewMode2 -------------------------------------------------------------------------

STDMETHODIMP Lumacrest2Ex::GetColorFormat(long* format) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewMode_GetColorFormat()", L"");
  if (!format) return E_POINTER;
  LockGuard call(callMutex_, INFINITE);
  long board = -1;
  RETURN_IF_FAILED(board_.mode->GetColorFormat(&board));
  if (board != kYuv422 && board != kYuv444) return E_UNEXPECTED;
  *format = board == kYuv444 ? 1 : 0;
  return S_OK;
}

STDMETHODIMP Lumacrest2Ex::SetColorFormat(long format) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewMode_SetColorFormat()", L"%ls",
                   format == 1 ? L"YUV444" : L"YUV422");
  if (format != 0 && format != 1) return E_INVALIDARG;
  LockGuard call(callMutex_, INFINITE);
  return board_.mode->SetColorFormat(format == 1 ? kYuv444 : kYuv422);
}

STDMETHODIMP Lumacrest2Ex::GetAvailableDestSize(SIZE* minimum, SIZE* maximum) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewMode_GetAvailableDestSize()", L"");
  if (!minimum || !maximum) return E_POINTER;
  LockGuard call(callMutex_, INFINITE);
  return board_.mode->GetAvailableDestSize(minimum, maximum);
}

STDMETHODIMP Lumacrest2Ex::GetWideZoomRect(SIZE* video, RECT* source, RECT* linear, RECT* nonLinear) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewMode2_GetWideZoomRect()", L"");
  if (!video || !source || !linear || !nonLinear) return E_POINTER;
  if (source->right == source->left || source->bottom == source->top) return E_INVALIDARG;
  LockGuard call(callMutex_, INFINITE);
  long height = 0, width = 0;
  RETURN_IF_FAILED(board_.hardware->GetDisplayPanelSize(&height, &width));
  return WideZoomMapping::GetWideZoomRect({width, height}, *video, *source, *linear, nonLinear);
}

// --- IPreviewInfo --------------------------------------------------------------------------

STDMETHODIMP Lumacrest2Ex::GetDisplayPanelId(unsigned char* id) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewInfo_GetDisplayPanelId()", L"");
  if (!id) return E_POINTER;
  LockGuard call(callMutex_, INFINITE);
  const HRESULT hr = board_.hardware->GetDisplayPanelId(id);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP Lumacrest2Ex::GetDisplayPanelSize(SIZE* size) {
  TraceScope scope(ModuleTrace(), L"Lumacrest2Ex::IPreviewInfo_GetDisplayPanelSize()", L"");
  if (!size) return E_POINTER;
  LockGuard call(callMutex_, INFINITE);
  long height = 0, width = 0;
  RETURN_IF_FAILED(board_.hardware->GetDisplayPanelSize(&height, &width));
  *size = {width, height};
  return S_OK;
}

}  // namespace board

#include "filters/renderer/preview_controller.h"

#include "common/hresult.h"
#include "common/trace.h"
#include "filters/renderer/graph_worker.h"

namespace vren {

namespace {

// A held interface's call: E_POINTER without the interface, a failure as is, success as S_OK.
template <class Interface, class Call>
HRESULT Forward(const Microsoft::WRL::ComPtr<Interface>& target, Call call) {
  if (!target) return E_POINTER;
  const HRESULT hr = call(target.Get());
  return FAILED(hr) ? hr : S_OK;
}

template <class Interface>
HRESULT Query(IUnknown* object, Microsoft::WRL::ComPtr<Interface>& out) {
  if (out) return S_OK;
  const HRESULT hr = object->QueryInterface(__uuidof(Interface), reinterpret_cast<void**>(out.GetAddressOf()));
  if (FAILED(hr)) return hr;
  return out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

// --- PreviewControlClient -----------------------------------------------------------------------

PreviewControlClient::~PreviewControlClient() = default;

HRESULT PreviewControlClient::Connect() {
  LockGuard guard(lock_, INFINITE);
  if (!object_) {
    const HRESULT hr = CoCreateInstance(CLSID_PreviewControl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                        reinterpret_cast<void**>(object_.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!object_) return E_OUTOFMEMORY;
  }
  RETURN_IF_FAILED(Query(object_.Get(), control_));
  RETURN_IF_FAILED(Query(object_.Get(), mode_));
  return Query(object_.Get(), info_);
}

HRESULT PreviewControlClient::Disconnect() {
  LockGuard guard(lock_, INFINITE);
  Uninitialize(0);
  info_.Reset();
  mode_.Reset();
  control_.Reset();
  object_.Reset();
  return S_OK;
}

HRESULT PreviewControlClient::Initialize(LONG reserve) {
  LockGuard guard(lock_, INFINITE);
  if (!control_) return E_POINTER;
  if (initialized_) return S_OK;
  const HRESULT hr = control_->Initialize(reserve);
  if (hr == errors::kPreviewHeldElsewhere) return S_FALSE;
  if (FAILED(hr)) return hr;
  initialized_ = true;
  return S_OK;
}

HRESULT PreviewControlClient::Uninitialize(LONG reserve) {
  LockGuard guard(lock_, INFINITE);
  if (!control_) return E_POINTER;
  if (!initialized_) return S_OK;
  initialized_ = false;
  const HRESULT hr = control_->Uninitialize(reserve);
  return FAILED(hr) ? hr : S_OK;
}

bool PreviewControlClient::IsInitialized() const {
  LockGuard guard(lock_, INFINITE);
  return initialized_;
}

#define VREN_FORWARD(target, call)  \
  LockGuard guard(lock_, INFINITE); \
  return Forward(target, [&](auto* t) { return t->call; })

HRESULT PreviewControlClient::SetVideoSize(SIZE* size) { VREN_FORWARD(control_, SetVideoSize(size)); }
HRESULT PreviewControlClient::SetVideoClippingWindow(HWND window) {
  VREN_FORWARD(control_, SetVideoClippingWindow(window));
}
HRESULT PreviewControlClient::SetVideoPosition(RECT* source, RECT* destination) {
  VREN_FORWARD(control_, SetVideoPosition(source, destination));
}
HRESULT PreviewControlClient::GetVideoPosition(RECT* source, RECT* destination) {
  VREN_FORWARD(control_, GetVideoPosition(source, destination));
}
HRESULT PreviewControlClient::SetColorKey(ULONG key) { VREN_FORWARD(control_, SetColorKey(key)); }
HRESULT PreviewControlClient::GetColorKey(ULONG* key) { VREN_FORWARD(control_, GetColorKey(key)); }
HRESULT PreviewControlClient::RepaintVideo(HWND window, HDC dc) { VREN_FORWARD(control_, RepaintVideo(window, dc)); }
HRESULT PreviewControlClient::DisplayModeChanged() { VREN_FORWARD(control_, DisplayModeChanged()); }
HRESULT PreviewControlClient::SetZoomMode(LONG mode) { VREN_FORWARD(control_, SetZoomMode(mode)); }
HRESULT PreviewControlClient::GetZoomMode(LONG* mode) { VREN_FORWARD(control_, GetZoomMode(mode)); }
HRESULT PreviewControlClient::GetVideoSize(SIZE* size) { VREN_FORWARD(control_, GetVideoSize(size)); }
HRESULT PreviewControlClient::GetVideoClippingWindow(HWND* window) {
  VREN_FORWARD(control_, GetVideoClippingWindow(window));
}
HRESULT PreviewControlClient::SetMuteTimer(ULONG timeout) { VREN_FORWARD(control_, SetMuteTimer(timeout)); }
HRESULT PreviewControlClient::SetColorFormat(LONG format) { VREN_FORWARD(mode_, SetColorFormat(format)); }
HRESULT PreviewControlClient::GetAvailableDestSize(SIZE* minimum, SIZE* maximum) {
  VREN_FORWARD(mode_, GetAvailableDestSize(minimum, maximum));
}
HRESULT PreviewControlClient::GetWideZoomRect(SIZE* videoSize, RECT* source, RECT* linear, RECT* result) {
  VREN_FORWARD(mode_, GetWideZoomRect(videoSize, source, linear, result));
}

#undef VREN_FORWARD

// --- PreviewController --------------------------------------------------------------------------

PreviewController::PreviewController(GraphWorker* worker)
    : worker_(worker), monitor_(static_cast<MuteHook*>(this)), displayHook_(static_cast<DisplayChangeOwner*>(this)) {}

PreviewController::~PreviewController() {
  displayHook_.Detach();
  monitor_.Stop();
  PreviewControlClient::Disconnect();
}

HRESULT PreviewController::Connect() {
  LockGuard guard(lock_, INFINITE);
  return PreviewControlClient::Connect();
}

HRESULT PreviewController::Disconnect() {
  LockGuard guard(lock_, INFINITE);
  return PreviewControlClient::Disconnect();
}

HRESULT PreviewController::SetVideoClippingWindow(HWND window) {
  LockGuard guard(lock_, INFINITE);
  displayHook_.Detach();
  RETURN_IF_FAILED(PreviewControlClient::SetVideoClippingWindow(window));
  if (window && IsWindow(window)) RETURN_IF_FAILED(displayHook_.Attach(window));
  return S_OK;
}

HRESULT PreviewController::SetVideoPosition(RECT* source, RECT* destination) {
  LockGuard guard(lock_, INFINITE);
  return PreviewControlClient::SetVideoPosition(source, destination);
}

HRESULT PreviewController::Uninitialize(LONG reserve) {
  LockGuard guard(lock_, INFINITE);
  displayHook_.Detach();
  return PreviewControlClient::Uninitialize(reserve);
}

void PreviewController::OnMute(DWORD) { LockGuard guard(lock_, INFINITE); }

HRESULT PreviewController::OnDisplayChange() {
  TraceScope scope(ModuleTrace(), L"PreviewController::OnDisplayChange()");
  LockGuard guard(lock_, INFINITE);
  SetMuteTimer(kMuteTimerDisplayChange);
  return worker_ ? worker_->Rebuild() : E_POINTER;
}

}  // namespace vren

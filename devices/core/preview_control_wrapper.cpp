#include "devices/core/preview_control_wrapper.h"

#include "devices/core/filter_wrapper.h"

PreviewControlWrapper::PreviewControlWrapper(HRESULT* result) {
  if (!result) return;
  HRESULT hr = CoCreateInstance(outside::kClsidPreviewControl, nullptr, CLSCTX_INPROC_SERVER, IID_IPreviewControl,
                                reinterpret_cast<void**>(control_.GetAddressOf()));
  if (SUCCEEDED(hr) && !control_) hr = errors::kRendererNullPointer;
  if (SUCCEEDED(hr)) hr = control_->Initialize(0);
  if (SUCCEEDED(hr)) {
    SIZE size{720, 480};
    hr = control_->SetVideoSize(&size);
  }
  *result = hr;
}

PreviewControlWrapper::~PreviewControlWrapper() {
  if (control_) control_->Uninitialize(0);
}

HRESULT PreviewControlWrapper::SetVideoClippingWindow(HWND window) {
  return control_ ? control_->SetVideoClippingWindow(window) : errors::kRendererNullPointer;
}

HRESULT PreviewControlWrapper::SetVideoPosition(RECT* source, RECT* destination) {
  return control_ ? control_->SetVideoPosition(source, destination) : errors::kRendererNullPointer;
}

HRESULT PreviewControlWrapper::GetColorKey(DWORD* key) {
  return control_ && key ? control_->GetColorKey(key) : errors::kRendererNullPointer;
}

HRESULT PreviewControlWrapper::RepaintVideo(HWND window, HDC dc) {
  return control_ ? control_->RepaintVideo(window, dc) : errors::kRendererNullPointer;
}

HRESULT PreviewControlWrapper::DisplayModeChanged() {
  return control_ ? control_->DisplayModeChanged() : errors::kRendererNullPointer;
}

HRESULT PreviewControlWrapper::SetZoomMode(DWORD mode) {
  return control_ ? control_->SetZoomMode(mode) : errors::kRendererNullPointer;
}

HRESULT PreviewControlWrapper::GetZoomMode(DWORD* mode) {
  return control_ && mode ? control_->GetZoomMode(mode) : errors::kRendererNullPointer;
}

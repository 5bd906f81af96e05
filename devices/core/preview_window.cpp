#include "devices/core/preview_window.h"

#include "common/hresult.h"

HRESULT PreviewStopped(FilterGraphHolder* graph) {
  if (!graph) return E_POINTER;
  OAFilterState state = State_Stopped;
  RETURN_IF_FAILED(graph->GetState(&state, 0));
  return state == State_Stopped ? S_OK : errors::kGraphNotStopped;
}

template <class F>
HRESULT PreviewWindowSide::Forward(F&& call) {
  VideoChainBuilder* chain = chain_();
  if (!chain) return rules_.noChain;
  const HRESULT hr = call(*chain);
  return rules_.successIsOk && SUCCEEDED(hr) ? S_OK : hr;
}

HRESULT PreviewWindowSide::SetClippingWindow(HWND window) {
  RETURN_IF_FAILED(CheckClippingWindow(window));
  remembered_.RememberClippingWindow(window);
  const HRESULT hr = SetVideoClippingWindow(window);
  return rules_.controlNotInitSucceeds && hr == errors::kPreviewControlNotInit ? S_OK : hr;
}

HRESULT PreviewWindowSide::SetPosition(RECT* source, RECT* destination, bool running) {
  remembered_.RememberPosition(source, *destination);
  return running ? SetVideoPosition(source, destination) : S_OK;
}

HRESULT PreviewWindowSide::ApplyRemembered() {
  return remembered_.Apply(
      [&](HWND clip) {
        if (rules_.clipAgain == ClipReapply::None || (rules_.clipAgain == ClipReapply::NotNull && !clip)) return S_OK;
        return SetVideoClippingWindow(clip);
      },
      [&](RECT* source, RECT* destination) { return SetVideoPosition(source, destination); });
}

HRESULT PreviewWindowSide::SetVideoClippingWindow(HWND window) {
  return Forward([&](VideoChainBuilder& c) { return c.SetVideoClippingWindow(window); });
}
HRESULT PreviewWindowSide::SetVideoPosition(RECT* source, RECT* destination) {
  return Forward([&](VideoChainBuilder& c) { return c.SetVideoPosition(source, destination); });
}
HRESULT PreviewWindowSide::GetColorKey(DWORD* type, DWORD* paletteIndex, DWORD* low, DWORD* high) {
  return Forward([&](VideoChainBuilder& c) { return c.GetColorKey(type, paletteIndex, low, high); });
}
HRESULT PreviewWindowSide::RePaint(HWND window, HDC dc) {
  return Forward([&](VideoChainBuilder& c) { return c.RepaintVideo(window, dc); });
}
HRESULT PreviewWindowSide::DisplayModeChanged() {
  return Forward([&](VideoChainBuilder& c) { return c.DisplayModeChanged(); });
}
HRESULT PreviewWindowSide::GetCurrentImage(DWORD* size, BYTE** image) {
  return Forward([&](VideoChainBuilder& c) { return c.GetCurrentImage(size, image); });
}
HRESULT PreviewWindowSide::SetZoomMode(DWORD mode) {
  return Forward([&](VideoChainBuilder& c) { return c.SetZoomMode(mode); });
}
HRESULT PreviewWindowSide::GetZoomMode(DWORD* mode) {
  return Forward([&](VideoChainBuilder& c) { return c.GetZoomMode(mode); });
}
HRESULT PreviewWindowSide::QueryInterfaceFromCustomFilter(REFIID iid, void** out) {
  return Forward([&](VideoChainBuilder& c) { return c.QueryCustomFilterInterface(iid, out); });
}

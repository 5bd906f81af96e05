// The outside preview-control object through which renderer kinds 3 and 5 present the picture:
// created in process by class identifier, initialised for a 720 by 480 picture, and
// uninitialised when the wrapper goes. Each window operation is one interface call.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "devices/core/outside_filters.h"

class PreviewControlWrapper {
 public:
  // Creates and initialises the object; the first failing step's code goes to *result (with a
  // null `result` nothing is created).
  explicit PreviewControlWrapper(HRESULT* result);
  // Uninitialize(0) (its result is ignored), then the release.
  virtual ~PreviewControlWrapper();
  PreviewControlWrapper(const PreviewControlWrapper&) = delete;
  PreviewControlWrapper& operator=(const PreviewControlWrapper&) = delete;

  // The interface's answers; 0x8007F047 without an interface or for a null out-pointer.
  HRESULT SetVideoClippingWindow(HWND window);
  HRESULT SetVideoPosition(RECT* source, RECT* destination);
  HRESULT GetColorKey(DWORD* key);
  HRESULT RepaintVideo(HWND window, HDC dc);
  HRESULT DisplayModeChanged();
  HRESULT SetZoomMode(DWORD mode);
  HRESULT GetZoomMode(DWORD* mode);

 private:
  Microsoft::WRL::ComPtr<IPreviewControl> control_;
};

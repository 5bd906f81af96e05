// A live-TV preview as a host runs it on a device-manager object that has its device item: the
// input switch tuned to a station of band 1, IPreview initialised, the window interface (asked
// for through IPreview::GetVideoModeInterface: IPreviewWindow2, or IPreviewWindow where the
// class has no other) on the host's window with the whole window as the destination, ISound
// (through GetSoundModeInterface), then Run. Close goes back in order.
// Every call is reported to the caller's check: the demo's verdict, a test's expectations.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <functional>
#include <string>

#include "devices/idl/device_manager.h"

namespace sim_host {

// Reports one call and its result; answers whether the result was the expected one (S_OK).
using HostCheck = std::function<bool(const std::wstring& action, HRESULT hr)>;

class LivePreview {
 public:
  explicit LivePreview(HostCheck check) : check_(std::move(check)) {}

  // `object`: any interface of the device manager. False at the first call that failed.
  bool Open(IUnknown* object, ULONG frequency, ULONG windowMode, HWND window);
  bool Run();
  // Pause and Stop when running, then ISound, the window, IPreview and IInputSwitch
  // Uninitialize, each tried; false when any of them failed.
  bool Close();

  IPreview* preview() const noexcept { return preview_.Get(); }
  ISound* sound() const noexcept { return sound_.Get(); }

 private:
  HostCheck check_;
  Microsoft::WRL::ComPtr<IInputSwitch> inputs_;
  Microsoft::WRL::ComPtr<IPreview> preview_;
  // One of the two, as the class offers them.
  Microsoft::WRL::ComPtr<IPreviewWindow2> window2_;
  Microsoft::WRL::ComPtr<IPreviewWindow> window_;
  Microsoft::WRL::ComPtr<ISound> sound_;
  bool running_ = false;
};

}  // namespace sim_host

// The renderer's link to the picture board's preview control: the control is created in
// process by class identifier and every call goes to it under one lock. The renderer's own
// client adds a display-change hook on the clipping window's top-level window, which rebuilds
// the internal graph's mixing renderer after a display mode change.
//
// Locks: lock_ (recursive) serialises every call into the control; the controller's own
// operations take the same lock, and OnDisplayChange holds it while the graph worker takes
// its lock (the worker never calls back into the controller).
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include "board/VornConEx.h"
#include "common/errors.h"
#include "common/locks.h"
#include "common/window/video_mute_monitor.h"
#include "common/window/window_subclass.h"

namespace vren {

class GraphWorker;

// {191331D4-D4C8-43D5-BAE9-D239B73E10B8}
inline constexpr CLSID CLSID_PreviewControl = {
    0x191331d4, 0xd4c8, 0x43d5, {0xba, 0xe9, 0xd2, 0x39, 0xb7, 0x3e, 0x10, 0xb8}};
// The mute timer values the renderer sets: none, and the display-change mute.
inline constexpr ULONG kMuteTimerOff = 0xFFFFFFFF;
inline constexpr ULONG kMuteTimerDisplayChange = 500;

// Forwards to the control; every call E_POINTER while the interface it needs is not held, a
// failure of the control as is, any success as S_OK.
class PreviewControlClient {
 public:
  PreviewControlClient() = default;
  PreviewControlClient(const PreviewControlClient&) = delete;
  PreviewControlClient& operator=(const PreviewControlClient&) = delete;
  virtual ~PreviewControlClient();

  // Creates the control once and takes its three interfaces (what was obtained stays held).
  virtual HRESULT Connect();
  // Uninitialises and lets go of the control.
  virtual HRESULT Disconnect();

  // S_FALSE (and still uninitialised) when another object holds the control.
  virtual HRESULT Initialize(LONG reserve);
  virtual HRESULT SetVideoSize(SIZE* size);
  virtual HRESULT SetVideoClippingWindow(HWND window);
  virtual HRESULT SetVideoPosition(RECT* source, RECT* destination);
  virtual HRESULT GetVideoPosition(RECT* source, RECT* destination);
  virtual HRESULT SetColorKey(ULONG key);
  virtual HRESULT GetColorKey(ULONG* key);
  virtual HRESULT RepaintVideo(HWND window, HDC dc);
  virtual HRESULT DisplayModeChanged();
  virtual HRESULT SetZoomMode(LONG mode);
  virtual HRESULT GetZoomMode(LONG* mode);
  // Calls the control only when Initialize succeeded (the flag is cleared first).
  virtual HRESULT Uninitialize(LONG reserve);
  virtual HRESULT GetVideoSize(SIZE* size);
  virtual HRESULT GetVideoClippingWindow(HWND* window);
  virtual HRESULT SetMuteTimer(ULONG timeout);

  HRESULT SetColorFormat(LONG format);
  HRESULT GetAvailableDestSize(SIZE* minimum, SIZE* maximum);
  HRESULT GetWideZoomRect(SIZE* videoSize, RECT* source, RECT* linear, RECT* result);
  bool IsInitialized() const;

 protected:
  mutable CriticalSection lock_;

 private:
  Microsoft::WRL::ComPtr<IUnknown> object_;
  Microsoft::WRL::ComPtr<IPreviewControl2> control_;
  Microsoft::WRL::ComPtr<IPreviewMode2> mode_;
  Microsoft::WRL::ComPtr<IPreviewInfo> info_;
  bool initialized_ = false;
};

// The renderer's client. The mute monitor's thread is never started: the board's own control
// times the mute; the renderer only sets its timer.
class PreviewController final : public PreviewControlClient, private MuteHook, private DisplayChangeOwner {
 public:
  explicit PreviewController(GraphWorker* worker);  // not owned: outlives the controller's use
  ~PreviewController() override;

  HRESULT Connect() override;
  HRESULT Disconnect() override;
  // Forwards, then moves the display-change hook to the window's top-level window.
  HRESULT SetVideoClippingWindow(HWND window) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT Uninitialize(LONG reserve) override;

  // The top-level window the display-change hook is on (null: none).
  HWND HookedWindow() const { return displayHook_.window(); }

 private:
  void OnMute(DWORD flag) override;
  // WM_DISPLAYCHANGE on the hooked window: mute for a moment, then a new mixing renderer.
  HRESULT OnDisplayChange() override;

  GraphWorker* const worker_;
  VideoMuteMonitor monitor_;
  DisplayChangeHook displayHook_;
};

}  // namespace vren

// The preview engine behind Lumacrest2Ex's IPreviewControl2: the board control bound from the
// preview control's own directory, window-client rectangles mapped onto the panel, the wide
// zoom's source crop and the mute requests sent to the board.
//
// Locks: the engine lock is taken inside Lumacrest2Ex's per-call mutex, never the other way.
// The position monitor and the mute timer call back on their own threads and take the engine
// lock; they are therefore stopped (joined) only while the engine lock is not held.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <string>

#include "board/VornCon.h"
#include "common/locks.h"
#include "common/window/video_mute_monitor.h"
#include "common/window/window_subclass.h"

namespace board {

extern const CLSID kBoardControlClass;  // HighQualityVideoControl

// The five interfaces of one HighQualityVideoControl object.
struct BoardClient {
  Microsoft::WRL::ComPtr<IVideoView> view;
  Microsoft::WRL::ComPtr<IVideoProperty> property;
  Microsoft::WRL::ComPtr<IScreenMode> mode;
  Microsoft::WRL::ComPtr<IHardwareInfo> hardware;
  Microsoft::WRL::ComPtr<IDirectControl> direct;

  // Loads "VornCon.dll" from `directory` (ending in a backslash) without the registry, makes
  // the object and asks it for the five interfaces. The library stays loaded for the process.
  HRESULT Bind(const std::wstring& directory);
  void Reset();
};

// Panel rectangle of a desktop rectangle: the desktop scaled to the panel height and centred.
RECT DesktopToPanel(const RECT& desktop, SIZE desktopSize, SIZE panel) noexcept;
// The wide mode's source crop: 34/480 of the video height off the top and the bottom.
RECT WideCrop(const RECT& source, LONG videoHeight) noexcept;

class PreviewEngine;

// The mute timer's thread: MuteTimerMessage with a time-out mutes at once and lifts the mute
// when the time-out passes (INFINITE holds it, 0 lifts it now).
class MuteTimer final : public MessageThread {
 public:
  explicit MuteTimer(PreviewEngine& engine) : engine_(engine) {}
  ~MuteTimer() override { Stop(); }

 protected:
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnTimeout() override;

 private:
  PreviewEngine& engine_;
};

// A subclass of the engine's: detached when it goes, its procedure calling into the engine.
template <class Derived>
class PreviewWindowHook : public WindowSubclassOf<Derived> {
 public:
  explicit PreviewWindowHook(PreviewEngine& engine) : engine_(engine) {}
  ~PreviewWindowHook() override { this->Detach(); }

 protected:
  PreviewEngine& engine_;
};

// Paints the colour key again after every WM_PAINT of the clipping window.
class ColorKeyPaintHook final : public PreviewWindowHook<ColorKeyPaintHook> {
 public:
  static constexpr wchar_t kPropertyName[] = L"{7631149C-FB08-49cb-8740-C74B715E4BD2}";
  using PreviewWindowHook::PreviewWindowHook;

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
};

// Places the picture again when the top-level window moves, is minimised, maximised or
// restored (wide zoom kept over maximise and restore).
class TopLevelMoveHook final : public PreviewWindowHook<TopLevelMoveHook> {
 public:
  static constexpr wchar_t kPropertyName[] = L"{7631149C-FB08-40cb-8740-C74B715E4BD2}";
  using PreviewWindowHook::PreviewWindowHook;

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class PreviewEngine final : private MuteHook {
 public:
  explicit PreviewEngine(BoardClient& board, const wchar_t* muteKey = VideoMuteSettings::kKeyPath)
      : board_(board), monitor_(this, muteKey), muteKey_(muteKey) {}
  ~PreviewEngine();
  PreviewEngine(const PreviewEngine&) = delete;
  PreviewEngine& operator=(const PreviewEngine&) = delete;

  HRESULT Initialize(long reserve);
  HRESULT Uninitialize(long reserve);
  HRESULT SetVideoSize(const SIZE* size);
  HRESULT GetVideoSize(SIZE* size);
  HRESULT SetVideoClippingWindow(HWND window);
  HRESULT GetVideoClippingWindow(HWND* window);
  HRESULT SetVideoPosition(const RECT* source, const RECT* destination);
  HRESULT GetVideoPosition(RECT* source, RECT* destination);
  HRESULT SetColorKey(DWORD key);
  HRESULT GetColorKey(DWORD* key);
  HRESULT RepaintVideo(HWND window, HDC dc);
  HRESULT DisplayModeChanged();
  HRESULT SetZoomMode(long mode);
  HRESULT GetZoomMode(long* mode);
  HRESULT SetMuteTimer(DWORD timeout);

 private:
  friend class MuteTimer;
  friend class TopLevelMoveHook;
  // SetVideoPosition again with the stored rectangles when both are set.
  void Reapply();
  void OnMute(DWORD flag) override;
  void OnTimerMute(bool on);
  void UninitializeLocked(long reserve);
  void WatchPosition(const RECT& panel);
  HRESULT SetVideoSizeLocked(const SIZE& size);
  HRESULT SetVideoPositionLocked(const RECT* source, const RECT& destination);
  HRESULT SetZoomModeLocked(long mode);
  void SendMute();
  void PaintColorKey();

  BoardClient& board_;
  CriticalSection lock_;
  HWND window_ = nullptr;
  RECT source_{};
  RECT destination_{};
  DWORD colorKey_ = 0x100010;
  SIZE video_{720, 480};
  SIZE panel_{};
  long zoomMode_ = 0;
  bool sizeSet_ = false;
  bool widePossible_ = false;
  bool wideWanted_ = false;
  bool viewShown_ = false;
  bool positionMute_ = false;
  bool timerMute_ = false;
  bool running_ = false;  // between Initialize and Uninitialize: the callbacks reach the board
  ColorKeyPaintHook paintHook_{*this};
  TopLevelMoveHook moveHook_{*this};
  MuteTimer muteTimer_{*this};
  VideoMuteMonitor monitor_;
  const wchar_t* const muteKey_;
};

}  // namespace board

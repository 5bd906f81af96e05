// Times the video mute of the picture board while the picture moves: a poster sends
// VideoMuteMessage with a flag whenever the picture's rectangle changes; the monitor mutes at
// once through its hook and lifts the mute MuteTime ms after the last message, unless the
// watched rectangle then lies wholly outside the limit box.
//
// Locks: the monitor lock guards the mute state and the settings; the watched rectangle has a
// lock of its own; neither is held while the hook runs, so an owner may take its own lock in
// OnMute and post or set the rectangle while holding it.
#pragma once

#include <windows.h>

#include "common/locks.h"
#include "common/window/message_thread.h"

class MuteHook {
 public:
  virtual void OnMute(DWORD flag) = 0;

 protected:
  ~MuteHook() = default;
};

// The seven "VideoMute" values.
struct VideoMuteSettings {
  LONG limitLeft = 0;
  LONG limitTop = 0;
  LONG limitRight = 0;
  LONG limitBottom = 0;
  DWORD muteTime = 500;
  DWORD muteInScreen = 0;
  DWORD muteOnEdge = 1;

  // Replaces each value present under the key (4 bytes, whatever the type); a missing key or
  // value keeps what is there.
  void Load(const wchar_t* keyPath = kKeyPath);
  // True when r lies wholly outside the limit box.
  bool Outside(const RECT& r) const noexcept {
    return r.right < limitLeft || r.bottom < limitTop || r.left > limitRight || r.top > limitBottom;
  }

  static constexpr wchar_t kKeyPath[] =
      L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Lumacrest2\\VideoMute";
};

class VideoMuteMonitor final : public MessageThread {
 public:
  // Loads the settings from keyPath (tests pass a key of their own).
  explicit VideoMuteMonitor(MuteHook* hook, const wchar_t* keyPath = VideoMuteSettings::kKeyPath);
  ~VideoMuteMonitor() override { Stop(); }

  // The wait time-out back to INFINITE, then the thread.
  HRESULT Start() override;

  VideoMuteSettings settings() const;
  void SetSettings(const VideoMuteSettings& settings);
  void SetWatchedRect(const RECT& rect);
  RECT watchedRect() const;
  DWORD muted() const noexcept { return state_; }

 protected:
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnTimeout() override;

 private:
  // Calls the hook when the flag differs from the current state. Only on the monitor's
  // thread, which keeps the hook's calls in order without a lock.
  void SetMute(DWORD flag);

  MuteHook* const hook_;  // the owner: not owned
  mutable CriticalSection lock_;      // settings_; taken alone
  VideoMuteSettings settings_;
  mutable CriticalSection rectLock_;  // watched_; taken alone
  RECT watched_ = {};
  volatile DWORD state_ = 0;          // written by the monitor's thread only
};

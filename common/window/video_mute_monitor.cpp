#include "common/window/video_mute_monitor.h"

#include <type_traits>

#include "common/registry.h"

void VideoMuteSettings::Load(const wchar_t* keyPath) {
  const UniqueRegKey key = RegistryKeyPath(WideString(keyPath)).Open(KEY_READ);
  if (!key) return;
  const auto read = [&](const wchar_t* name, auto& value) {
    DWORD raw = 0;
    DWORD size = sizeof(raw);
    // The type is not looked at: four bytes are the value.
    if (RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&raw), &size) ==
            ERROR_SUCCESS &&
        size == sizeof(raw))
      value = static_cast<std::remove_reference_t<decltype(value)>>(raw);
  };
  read(L"LimitLeft", limitLeft);
  read(L"LimitTop", limitTop);
  read(L"LimitRight", limitRight);
  read(L"LimitBottom", limitBottom);
  read(L"MuteTime", muteTime);
  read(L"MuteInScreen", muteInScreen);
  read(L"MuteOnEdge", muteOnEdge);
}

VideoMuteMonitor::VideoMuteMonitor(MuteHook* hook, const wchar_t* keyPath) : hook_(hook) {
  settings_.Load(keyPath);
}

HRESULT VideoMuteMonitor::Start() {
  SetWaitTimeout(INFINITE);
  return MessageThread::Start();
}

VideoMuteSettings VideoMuteMonitor::settings() const {
  LockGuard guard(lock_, INFINITE);
  return settings_;
}

void VideoMuteMonitor::SetSettings(const VideoMuteSettings& settings) {
  LockGuard guard(lock_, INFINITE);
  settings_ = settings;
}

void VideoMuteMonitor::SetWatchedRect(const RECT& rect) {
  LockGuard guard(rectLock_, INFINITE);
  watched_ = rect;
}

RECT VideoMuteMonitor::watchedRect() const {
  LockGuard guard(rectLock_, INFINITE);
  return watched_;
}

void VideoMuteMonitor::SetMute(DWORD flag) {
  if (flag == state_) return;
  state_ = flag;
  if (hook_) hook_->OnMute(flag);
}

void VideoMuteMonitor::OnMessage(UINT message, WPARAM wParam, LPARAM) {
  if (message != VideoMuteMessage()) return;
  SetMute(static_cast<DWORD>(wParam));
  SetWaitTimeout(settings().muteTime);
}

void VideoMuteMonitor::OnTimeout() {
  if (!settings().Outside(watchedRect())) SetMute(0);
  SetWaitTimeout(INFINITE);
}

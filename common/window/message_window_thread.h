// A message thread that owns a message-only window, for messages that must reach a window
// (graph event notifications, SendMessage calls across threads).
#pragma once

#include "common/window/message_thread.h"

class MessageWindowThread : public MessageThread {
 public:
  // The window class "{A27BC3D1-...}", registered against this module (never the process's)
  // and unregistered when this module unloads.
  static const wchar_t kWindowClassName[];

  MessageWindowThread() = default;
  ~MessageWindowThread() override;

  // Registers the window class when this module has not yet, then starts the thread.
  HRESULT Start() override;
  void Stop() override { MessageThread::Stop(); }

  HRESULT PostWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);
  // SendMessageW to the window: S_OK for a non-zero result, else the last error (E_FAIL when 0).
  HRESULT SendWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);
  HWND window() const noexcept { return window_; }

 protected:
  // Creates the window on the thread, runs the loop, destroys the window.
  DWORD Run() override;
  // The window's procedure: OnWindowMessage, then DefWindowProcW.
  virtual LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnWindowMessage(UINT, WPARAM, LPARAM) {}

 private:
  static LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static HRESULT RegisterWindowClass();

  HWND window_ = nullptr;
};

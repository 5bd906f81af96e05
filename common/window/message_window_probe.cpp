// Test module: runs a message window thread from a module that can be unloaded and loaded
// again, so that a test can check the window class goes with the module.
#include <windows.h>

#include "common/window/message_window_thread.h"

namespace {

class Probe final : public MessageWindowThread {
 public:
  ~Probe() override { Stop(); }
  DWORD handledOn = 0;

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_APP) {
      handledOn = GetCurrentThreadId();
      return 1;
    }
    return MessageWindowThread::WindowProc(hwnd, message, wParam, lParam);
  }
};

}  // namespace

// S_OK when a window message sent to the thread's window was handled on that thread.
extern "C" HRESULT __stdcall ProbeWindowThread() {
  Probe probe;
  HRESULT hr = probe.Start();
  if (FAILED(hr)) return hr;
  hr = probe.SendWindowMessage(WM_APP, 0, 0);
  if (SUCCEEDED(hr) && probe.handledOn != probe.threadId()) hr = E_UNEXPECTED;
  probe.Stop();
  return hr;
}

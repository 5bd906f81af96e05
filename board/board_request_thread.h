// The one thread of the board control that talks to the serial port server: a message thread
// in a single-threaded apartment that owns the `IKelvPort` client of `LumacrestPort` and runs
// every port request posted to it.
//
// Requests are serialised here (one in flight at a time): COM's modal loop, which runs while
// the thread is inside an outgoing call, may take and drop thread messages posted meanwhile.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "common/locks.h"
#include "common/window/message_thread.h"
#include "portserver/VornPort.h"

namespace board {

// What register I/O needs of the link (the request thread; a double in tests).
class FrameTransport {
 public:
  // Sends a frame and reads exactly `expected` reply bytes: the count read, -1 on failure.
  virtual long Transfer(const std::uint8_t* frame, std::size_t size, std::uint8_t* reply,
                        std::size_t expected) = 0;
  // 1 on success, 0 when there is no port or the reset failed.
  virtual long ResetPort() = 0;
  // The HRESULT kept by the last failing request (1 for a short reply, 0 at start).
  virtual HRESULT LastResult() = 0;

 protected:
  ~FrameTransport() = default;
};

class BoardRequestThread final : public MessageThread, public FrameTransport {
 public:
  enum Request : UINT {
    kOpen = 3111,
    kClose = 3112,
    kReset = 3114,
    kSend = 3115,
    kIsOpen = 3116,
    kLastResult = 3118,
  };
  static const CLSID kPortClass;  // LumacrestPort

  // Makes the port client (one attempt; the open request makes it again as it must). Empty:
  // LumacrestPort of the serial port server, activated as a local server.
  using PortFactory = std::function<HRESULT(IKelvPort** port)>;

  explicit BoardRequestThread(PortFactory factory = {});
  ~BoardRequestThread() override { Stop(); }

  // The answers of the requests; a request that cannot be delivered gives 0 (open, close,
  // reset, is-open), -1 (send) or E_FAIL (last result).
  long OpenPort();
  long ClosePort();
  long ResetPort() override;
  long Transfer(const std::uint8_t* frame, std::size_t size, std::uint8_t* reply,
                std::size_t expected) override;
  long IsPortOpen();
  HRESULT LastResult() override;

 protected:
  DWORD Run() override;
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  struct PortRequest;
  long Call(UINT request, long undelivered, const std::shared_ptr<PortRequest>& record);
  void Close();

  HRESULT CreatePort(IKelvPort** port) const;

  const PortFactory factory_;
  CriticalSection requestLock_;  // one request at a time; held alone
  // The thread's own state: touched on the request thread only.
  Microsoft::WRL::ComPtr<IKelvPort> port_;
  HRESULT lastResult_ = S_OK;
};

}  // namespace board

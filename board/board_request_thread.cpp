#include "board/board_request_thread.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/hresult.h"
#include "common/local_server.h"

namespace board {

// {D698A0B5-10FB-4C5A-9A18-EB665876631A}
const CLSID BoardRequestThread::kPortClass = {
    0xD698A0B5, 0x10FB, 0x4C5A, {0x9A, 0x18, 0xEB, 0x66, 0x58, 0x76, 0x63, 0x1A}};

// One request's record. The caller and the thread share it: a caller that gave up waiting
// leaves it (and its buffers) to the thread.
struct BoardRequestThread::PortRequest {
  long result = 0;
  std::vector<std::uint8_t> write;
  std::vector<std::uint8_t> read;
};

BoardRequestThread::BoardRequestThread(PortFactory factory)
    : MessageThread(ComApartment::SingleThreaded), factory_(std::move(factory)) {}

HRESULT BoardRequestThread::CreatePort(IKelvPort** port) const {
  if (factory_) return factory_(port);
  return CoCreateInstance(kPortClass, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IKelvPort), reinterpret_cast<void**>(port));
}

long BoardRequestThread::Call(UINT request, long undelivered, const std::shared_ptr<PortRequest>& record) {
  LockGuard guard(requestLock_, INFINITE);
  record->result = undelivered;
  if (FAILED(SendCall(request, 0, reinterpret_cast<LPARAM>(record.get()), record))) return undelivered;
  return record->result;
}

long BoardRequestThread::OpenPort() { return Call(kOpen, 0, std::make_shared<PortRequest>()); }
long BoardRequestThread::ClosePort() { return Call(kClose, 0, std::make_shared<PortRequest>()); }
long BoardRequestThread::ResetPort() { return Call(kReset, 0, std::make_shared<PortRequest>()); }
long BoardRequestThread::IsPortOpen() { return Call(kIsOpen, 0, std::make_shared<PortRequest>()); }

HRESULT BoardRequestThread::LastResult() {
  return static_cast<HRESULT>(Call(kLastResult, static_cast<long>(E_FAIL), std::make_shared<PortRequest>()));
}

long BoardRequestThread::Transfer(const std::uint8_t* frame, std::size_t size, std::uint8_t* reply,
                                  std::size_t expected) {
  if ((!frame && size) || (!reply && expected)) return -1;
  auto record = std::make_shared<PortRequest>();
  record->write.assign(frame, frame + size);
  record->read.resize(expected);
  const long got = Call(kSend, -1, record);
  // Only the bytes that arrived, never more than the caller's buffer holds.
  if (got > 0) std::copy_n(record->read.begin(), std::min<std::size_t>(got, expected), reply);
  return got;
}

void BoardRequestThread::Close() {
  if (!port_) return;
  port_->ClosePort(GetCurrentProcessId());
  port_.Reset();
}

DWORD BoardRequestThread::Run() {
  const DWORD result = RunLoop();
  Close();  // the client goes with the thread, closing the port as a close request does
  return result;
}

void BoardRequestThread::OnMessage(UINT message, WPARAM, LPARAM lParam) {
  auto* record = reinterpret_cast<PortRequest*>(lParam);
  if (!record) return;
  switch (message) {
    case kOpen: {
      if (port_) {
        record->result = 1;
        break;
      }
      Microsoft::WRL::ComPtr<IKelvPort> port;
      // An activation that meets the server leaving (idle) is made again, starting a new one;
      // so is an open whose server went between the creation and the call, taking the object
      // with it. Any answer of the server's own, failures included, is the open's answer.
      HRESULT opened = S_OK;
      HRESULT hr = local_server::Activate([&] {
        port.Reset();
        const HRESULT created = CreatePort(port.ReleaseAndGetAddressOf());
        if (FAILED(created)) return created;
        if (!port) return E_POINTER;
        opened = port->OpenPort(GetCurrentProcessId());
        return local_server::ServerWentAway(opened) ? opened : S_OK;
      });
      if (SUCCEEDED(hr)) hr = opened;
      if (FAILED(hr)) {
        lastResult_ = hr;
        record->result = 0;
        break;
      }
      port_ = std::move(port);
      record->result = 1;
      break;
    }
    case kClose:
      Close();
      record->result = 1;
      break;
    case kReset: {
      if (!port_) {
        record->result = 0;
        break;
      }
      const HRESULT hr = port_->ResetPort();
      if (FAILED(hr)) lastResult_ = hr;
      record->result = FAILED(hr) ? 0 : 1;
      break;
    }
    case kSend: {
      if (!port_) {
        lastResult_ = E_FAIL;
        record->result = -1;
        break;
      }
      unsigned long readSize = static_cast<unsigned long>(record->read.size());
      const HRESULT hr = port_->SendCommand(static_cast<unsigned long>(record->write.size()),
                                            record->write.data(), &readSize, record->read.data());
      if (FAILED(hr)) {
        lastResult_ = hr;
        record->result = -1;
        break;
      }
      if (readSize > record->read.size()) readSize = static_cast<unsigned long>(record->read.size());
      if (readSize != record->read.size()) lastResult_ = S_FALSE;  // a short reply
      record->result = static_cast<long>(readSize);
      break;
    }
    case kIsOpen:
      record->result = port_ ? 1 : 0;
      break;
    case kLastResult:
      record->result = static_cast<long>(lastResult_);
      break;
    default:
      break;
  }
}

}  // namespace board

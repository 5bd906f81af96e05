// The messages that device objects of one tuner send each other through their instance pipes
// (the pipe server every object runs, named by process, object address, identity and tuner
// index): a 20-byte notification or request {20, kind, a, b, c} and the 12-byte answer to a
// request {12, 0, result}, little-endian 32-bit words.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/device/device_identity.h"
#include "common/handles.h"

namespace rul {

inline constexpr std::uint32_t kPeerNotification = 0;
inline constexpr std::uint32_t kPeerRequest = 1;
// Request codes (value a): stop your preview / your preview may run again.
inline constexpr std::uint32_t kPeerStopPreview = 0x401;
inline constexpr std::uint32_t kPeerPreviewFree = 0x402;

struct PeerMessage {
  std::uint32_t size;  // 20
  std::uint32_t kind;  // kPeerNotification or kPeerRequest
  std::uint32_t a, b, c;
};
static_assert(sizeof(PeerMessage) == 20);

struct PeerAnswer {
  std::uint32_t size;  // 12
  std::uint32_t reserved;
  std::int32_t result;
};
static_assert(sizeof(PeerAnswer) == 12);

// A message as it arrived: false (nothing read) unless it holds at least 20 bytes and says so in
// its first word.
bool ReadPeerMessage(const BYTE* bytes, DWORD size, PeerMessage* message);
// Writes the answer {12, 0, result} when it fits; *written is 12, or 0 when it did not fit.
void WritePeerAnswer(HRESULT result, BYTE* buffer, DWORD capacity, DWORD* written);

// The client side: one open link to another object's instance pipe.
class InstancePipe {
 public:
  // How long a busy pipe is waited for before each new open (tests shorten it).
  static constexpr DWORD kBusyWaitMs = NMPWAIT_USE_DEFAULT_WAIT;

  InstancePipe() = default;
  InstancePipe(const InstancePipe&) = delete;
  InstancePipe& operator=(const InstancePipe&) = delete;

  // Opens the pipe of the object at `objectAddress` (its low 32 bits) in process `processId`
  // serving tuner `instance` of the device. The Win32 error as an HRESULT.
  HRESULT Open(const DeviceIdentity& identity, DWORD processId, std::uint32_t objectAddress, int instance);
  // Opens a pipe by name (read and write, no sharing); a busy pipe is waited for and opened
  // again as long as the wait succeeds. Any other error returns at once.
  HRESULT Connect(const wchar_t* name);
  void Close() noexcept { pipe_.reset(); }
  bool IsOpen() const noexcept { return pipe_.valid(); }

  // Writes the notification {20, 0, a, b, c}.
  HRESULT SendNotification(std::uint32_t a, std::uint32_t b, std::uint32_t c);
  // Writes the request {20, 1, a, b, c} and reads the 12-byte answer: its result with *failed 0,
  // or the write's or read's failure with *failed 1.
  HRESULT SendRequest(std::uint32_t a, std::uint32_t b, std::uint32_t c, bool* failed);

 private:
  HRESULT Write(const void* bytes, DWORD size);
  // Reads up to `size` bytes, going on while the message has more; never past `size`.
  HRESULT Read(void* buffer, DWORD size, DWORD* count);

  UniqueFileHandle pipe_;
};

}  // namespace rul

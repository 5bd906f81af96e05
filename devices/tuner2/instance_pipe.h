// The messages that device objects of one tuner send each other through their instance pipes
// (the pipe server every object runs, named by process, object address, identity and tuner
// index): a 20-byte notification or request {20, kind, a, b, c} and the 12-byte answer to a
// request {12, 0, result}, little-endian 32-bit words.
#pragma once

#include <windows.h>

#include <cstdint>

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

}  // namespace rul

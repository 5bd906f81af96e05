// The byte frames of the picture board's serial protocol, built and checked without any I/O.
// Every frame begins 0xAA 0x00, byte 2 is the frame's whole length (checksum included), the
// last byte is the 8-bit sum of all bytes before it; register addresses travel high byte first.
//
// Plain functions over a frame buffer, free of the port and of COM: the fuzz target builds
// them for the host as they are.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "board/host_hresult.h"
#endif

#include <cstddef>
#include <cstdint>

namespace board {

constexpr std::size_t kFrameCapacity = 256;
constexpr std::size_t kMaxChunk = 245;          // data bytes per read or write frame
constexpr std::size_t kWriteOverhead = 8;       // a write frame is n + 8 bytes
constexpr std::size_t kReadFrameSize = 9;
constexpr std::size_t kResetFrameSize = 6;
constexpr std::size_t kWriteReplySize = 8;      // also the reset reply
constexpr std::size_t kReadReplyOverhead = 10;  // a read reply is count + 10 bytes
constexpr std::size_t kMinReply = 7;
constexpr std::size_t kMaxReply = 255;

// A frame being built; appending stops at the capacity.
struct FrameBuffer {
  std::uint8_t bytes[kFrameCapacity] = {};
  std::size_t size = 0;
};

// E_POINTER without a buffer, or without data for size > 0; E_INVALIDARG when size + 8 >= 256.
HRESULT BuildWriteFrame(FrameBuffer* frame, std::uint16_t address, std::size_t size,
                        const std::uint8_t* data);
// E_POINTER without a buffer; E_INVALIDARG for a count above 245.
HRESULT BuildReadFrame(FrameBuffer* frame, std::uint16_t address, std::size_t count);
HRESULT BuildResetFrame(FrameBuffer* frame);

// E_POINTER without a buffer, E_INVALIDARG for a length outside 7..255; S_FALSE (1) when the
// header, the length byte or the checksum is wrong; S_OK for a well-formed reply.
HRESULT CheckReply(std::size_t length, const std::uint8_t* reply);

struct ParsedReply {
  std::uint16_t status = 0;
  std::uint16_t address = 0;            // read replies only
  const std::uint8_t* data = nullptr;   // read replies only: inside the reply buffer
  std::size_t dataCount = 0;
};
// CheckReply, then the fields. A read reply (bytes 3-4 = 00 80) must be at least 10 bytes
// (else S_FALSE) and yields its address and its L - 10 data bytes; any other reply has none.
// Nothing of the reply is used before its length and sum have been checked.
HRESULT ParseReply(ParsedReply* parsed, std::size_t length, const std::uint8_t* reply);

// 0x0000 and 0x1000 are good; the board refuses with anything else.
constexpr bool IsGoodStatus(std::uint16_t status) noexcept { return status == 0 || status == 0x1000; }

}  // namespace board

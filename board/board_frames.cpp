#include "board/board_frames.h"

namespace board {

namespace {

std::uint8_t Sum(const std::uint8_t* bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(sum);
}

void Append(FrameBuffer* frame, std::uint8_t byte) {
  if (frame->size < kFrameCapacity) frame->bytes[frame->size++] = byte;
}

void Begin(FrameBuffer* frame, std::size_t length, std::uint8_t op0, std::uint8_t op1) {
  frame->size = 0;
  Append(frame, 0xAA);
  Append(frame, 0x00);
  Append(frame, static_cast<std::uint8_t>(length));
  Append(frame, op0);
  Append(frame, op1);
}

void AppendAddress(FrameBuffer* frame, std::uint16_t address) {
  Append(frame, static_cast<std::uint8_t>(address >> 8));
  Append(frame, static_cast<std::uint8_t>(address & 0xFF));
}

void End(FrameBuffer* frame) { Append(frame, Sum(frame->bytes, frame->size)); }

}  // namespace

HRESULT BuildWriteFrame(FrameBuffer* frame, std::uint16_t address, std::size_t size,
                        const std::uint8_t* data) {
  if (!frame || (!data && size > 0)) return E_POINTER;
  if (size + kWriteOverhead >= kFrameCapacity) return E_INVALIDARG;
  Begin(frame, size + kWriteOverhead, 0x00, 0x00);
  AppendAddress(frame, address);
  for (std::size_t i = 0; i < size; ++i) Append(frame, data[i]);
  End(frame);
  return S_OK;
}

HRESULT BuildReadFrame(FrameBuffer* frame, std::uint16_t address, std::size_t count) {
  if (!frame) return E_POINTER;
  if (count > kMaxChunk) return E_INVALIDARG;
  Begin(frame, kReadFrameSize, 0x00, 0x80);
  AppendAddress(frame, address);
  Append(frame, static_cast<std::uint8_t>(count));
  End(frame);
  return S_OK;
}

HRESULT BuildResetFrame(FrameBuffer* frame) {
  if (!frame) return E_POINTER;
  Begin(frame, kResetFrameSize, 0xF0, 0x00);
  End(frame);
  return S_OK;
}

HRESULT CheckReply(std::size_t length, const std::uint8_t* reply) {
  if (!reply) return E_POINTER;
  if (length < kMinReply || length > kMaxReply) return E_INVALIDARG;
  if (reply[0] != 0xAA || reply[1] != 0x00 || reply[2] != length) return S_FALSE;
  if (Sum(reply, length - 1) != reply[length - 1]) return S_FALSE;
  return S_OK;
}

HRESULT ParseReply(ParsedReply* parsed, std::size_t length, const std::uint8_t* reply) {
  if (!parsed) return E_POINTER;
  *parsed = ParsedReply{};
  const HRESULT check = CheckReply(length, reply);
  if (check != S_OK) return check;
  parsed->status = static_cast<std::uint16_t>((reply[5] << 8) | reply[6]);
  if (reply[3] == 0x00 && reply[4] == 0x80) {
    if (length < kReadReplyOverhead) return S_FALSE;
    parsed->address = static_cast<std::uint16_t>((reply[7] << 8) | reply[8]);
    parsed->data = reply + 9;
    parsed->dataCount = length - kReadReplyOverhead;
  }
  return S_OK;
}

}  // namespace board

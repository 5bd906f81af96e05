#include "board/register_block.h"

#include <algorithm>

#include "board/board_frames.h"

namespace board {

namespace {

// The link failed (short reply or malformed frame): reset the port, report the code.
HRESULT LinkFailure(FrameTransport& link, HRESULT code) {
  link.ResetPort();
  return FAILED(code) ? code : E_FAIL;
}

// One request and its whole reply, checked; `parsed` points into `reply`.
HRESULT Exchange(FrameTransport& link, const FrameBuffer& frame, std::uint8_t* reply, std::size_t expected,
                 ParsedReply* parsed) {
  const long got = link.Transfer(frame.bytes, frame.size, reply, expected);
  if (got != static_cast<long>(expected)) return LinkFailure(link, link.LastResult());
  const HRESULT parse = ParseReply(parsed, expected, reply);
  if (parse != S_OK) return LinkFailure(link, parse);
  return IsGoodStatus(parsed->status) ? S_OK : E_FAIL;
}

}  // namespace

HRESULT WriteRegisters(FrameTransport& link, std::uint16_t address, const std::uint8_t* data, std::size_t size) {
  if (!data && size) return E_POINTER;
  for (std::size_t offset = 0; offset < size; offset += kMaxChunk) {
    const std::size_t n = std::min(kMaxChunk, size - offset);
    FrameBuffer frame;
    const HRESULT built = BuildWriteFrame(&frame, static_cast<std::uint16_t>(address + offset), n, data + offset);
    if (FAILED(built)) return built;
    std::uint8_t reply[kWriteReplySize];
    ParsedReply parsed;
    const HRESULT hr = Exchange(link, frame, reply, kWriteReplySize, &parsed);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT ReadRegisters(FrameTransport& link, std::uint16_t blockStart, std::uint8_t* block,
                      std::size_t blockSize, std::size_t offset, std::size_t count) {
  if (!block) return E_POINTER;
  if (offset >= blockSize || count > blockSize - offset) return E_FAIL;
  for (std::size_t done = 0; done < count; done += kMaxChunk) {
    const std::size_t n = std::min(kMaxChunk, count - done);
    FrameBuffer frame;
    const HRESULT built = BuildReadFrame(&frame, static_cast<std::uint16_t>(blockStart + offset + done), n);
    if (FAILED(built)) return built;
    std::uint8_t reply[kMaxReply];
    ParsedReply parsed;
    const HRESULT hr = Exchange(link, frame, reply, n + kReadReplyOverhead, &parsed);
    if (FAILED(hr)) return hr;
    if (parsed.dataCount != n) return LinkFailure(link, E_FAIL);  // a reply that is no read reply
    // The reply's own address says where its data belongs.
    if (parsed.address < blockStart) return E_UNEXPECTED;
    const std::size_t at = parsed.address - blockStart;
    if (at > blockSize || n > blockSize - at) return E_FAIL;
    std::copy_n(parsed.data, n, block + at);
  }
  return S_OK;
}

RegisterBlock::RegisterBlock(FrameTransport* link, std::uint16_t start, std::size_t size)
    : link_(link), start_(start), size_(size), working_(size), lastKnown_(size) {}

HRESULT RegisterBlock::WriteRange(std::size_t offset, std::size_t count) {
  if (!InRange(offset, count) || !link_) return E_FAIL;
  const HRESULT hr = WriteRegisters(*link_, static_cast<std::uint16_t>(start_ + offset), working_.data() + offset, count);
  if (SUCCEEDED(hr))
    std::copy_n(working_.begin() + offset, count, lastKnown_.begin() + offset);
  else
    std::copy_n(lastKnown_.begin() + offset, count, working_.begin() + offset);
  return hr;
}

HRESULT RegisterBlock::ReadRange(std::size_t offset, std::size_t count) {
  if (!InRange(offset, count) || !link_) return E_FAIL;
  const HRESULT hr = ReadRegisters(*link_, start_, working_.data(), size_, offset, count);
  if (SUCCEEDED(hr)) std::copy_n(working_.begin() + offset, count, lastKnown_.begin() + offset);
  return hr;
}

bool RegisterBlock::Store(std::uint16_t address, int width, std::uint32_t value) {
  if ((width != 1 && width != 2 && width != 4) || !Contains(address, width)) return false;
  std::uint8_t* at = working_.data() + (address - start_);
  for (int i = width - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<std::uint8_t>(value);
  return true;
}

bool RegisterBlock::Load(std::uint16_t address, int width, std::uint32_t* value) const {
  if (!value || (width != 1 && width != 2 && width != 4) || !Contains(address, width)) return false;
  const std::uint8_t* at = working_.data() + (address - start_);
  std::uint32_t v = 0;
  for (int i = 0; i < width; ++i) v = (v << 8) | at[i];
  *value = v;
  return true;
}

HRESULT ResetBoard(FrameTransport& link, int wait, const std::vector<RegisterBlock*>& readBack) {
  FrameBuffer frame;
  BuildResetFrame(&frame);
  std::uint8_t reply[kWriteReplySize];
  ParsedReply parsed;
  // A malformed acknowledgement is a failure like any other (never "reset done").
  const HRESULT hr = Exchange(link, frame, reply, kWriteReplySize, &parsed);
  if (FAILED(hr) || wait != 1) return hr;
  Sleep(kResetSettleMs);
  for (int pass = 0; pass < 3; ++pass) {
    bool all = true;
    for (RegisterBlock* block : readBack) {
      if (!block || FAILED(block->Read())) {
        all = false;
        break;
      }
    }
    if (all) return S_OK;
  }
  return E_FAIL;
}

}  // namespace board

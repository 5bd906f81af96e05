// Register reads and writes over the board link, in frames of at most 245 bytes with every
// reply checked, and the register block: a working buffer with the last contents known to be
// on the board.
//
// A reply of the wrong length or sum is a link failure (the port is reset); a good reply with
// a status other than 0x0000 or 0x1000 is the board's refusal (no reset).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "board/board_request_thread.h"

namespace board {

// Writes `size` bytes to the board from `address` on.
HRESULT WriteRegisters(FrameTransport& link, std::uint16_t address, const std::uint8_t* data, std::size_t size);

// Reads `count` bytes of a block (`blockStart`, `blockSize` bytes, `block` its buffer) from
// offset `offset` on. The address in each reply says where its data goes in the block: below
// the block E_UNEXPECTED, past its end E_FAIL. A range outside the block: E_FAIL, nothing sent.
HRESULT ReadRegisters(FrameTransport& link, std::uint16_t blockStart, std::uint8_t* block,
                      std::size_t blockSize, std::size_t offset, std::size_t count);

class RegisterBlock {
 public:
  RegisterBlock(FrameTransport* link, std::uint16_t start, std::size_t size);  // link: not owned
  virtual ~RegisterBlock() = default;

  HRESULT Refresh() { return Read(); }
  // Writes the working buffer. Success: the last-known copy takes its contents; failure: the
  // working buffer is put back to the last-known copy.
  HRESULT Write() { return WriteRange(0, size_); }
  // Reads the block into the working buffer; on success the last-known copy takes the same.
  HRESULT Read() { return ReadRange(0, size_); }
  // The same for part of the block (E_FAIL, nothing sent, for a range outside it).
  HRESULT WriteRange(std::size_t offset, std::size_t count);
  HRESULT ReadRange(std::size_t offset, std::size_t count);

  std::uint16_t start() const noexcept { return start_; }
  std::size_t size() const noexcept { return size_; }
  bool Contains(std::uint16_t address, std::size_t width = 1) const noexcept {
    return address >= start_ && address - start_ + width <= size_;
  }
  std::uint8_t* data() noexcept { return working_.data(); }
  const std::uint8_t* data() const noexcept { return working_.data(); }
  const std::uint8_t* lastKnown() const noexcept { return lastKnown_.data(); }

  // Big-endian values of 1, 2 or 4 bytes at a register address inside the block.
  bool Store(std::uint16_t address, int width, std::uint32_t value);
  bool Load(std::uint16_t address, int width, std::uint32_t* value) const;

 private:
  bool InRange(std::size_t offset, std::size_t count) const noexcept {
    return offset < size_ && count <= size_ - offset;
  }

  FrameTransport* const link_;
  const std::uint16_t start_;
  const std::size_t size_;
  std::vector<std::uint8_t> working_;
  std::vector<std::uint8_t> lastKnown_;
};

// Resets the board: the reset frame and its 8-byte acknowledgement. A short or malformed
// reply is a link failure (port reset, E_FAIL or the link's failure code); a refusing status
// E_FAIL. With `wait` 1 the board is given kResetSettleMs and then `readBack` is read, up to
// three passes, until one pass reads every block: S_OK, else E_FAIL.
constexpr DWORD kResetSettleMs = 500;
HRESULT ResetBoard(FrameTransport& link, int wait, const std::vector<RegisterBlock*>& readBack);

}  // namespace board

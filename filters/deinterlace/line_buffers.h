// Size helpers and the line buffers that the field kernels work in.
//
// Every line buffer holds 16 * groups bytes of payload, 32-byte aligned, with kLineGuard bytes
// in front of and behind it. Kernels never read outside a row: where a neighbour at x - 2 or
// x + 2 falls outside the picture it takes the nearest pixel of the row, and a buffer whose
// lines are read at such offsets carries copies of its edge pixels in the guards (and in the
// payload past the picture width), so that plain offsets give the clamped values.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace deinterlace {

// 16-pixel groups covering n pixels.
constexpr int BlockCount16(int n) noexcept { return (n >> 4) + ((n % 16) != 0 ? 1 : 0); }
constexpr int BlockCount16Of32(int n) noexcept { return (n >> 4) + ((n % 32) != 0 ? 1 : 0); }
// Planar group count: floor(n / 16), plus 1 when n is not a multiple of 48.
constexpr int BlockCount16Of48(int n) noexcept { return (n >> 4) + ((n % 48) != 0 ? 1 : 0); }
constexpr int RoundUp64(int n) noexcept { return (n + 63) & ~63; }
// Planar rows are unpacked in blocks of 48 samples (three groups): ceil(G / 3) blocks, so a
// line that receives them holds 3 * ceil(G / 3) groups.
constexpr int PlanarBlockCount(int width) noexcept { return (BlockCount16Of48(width) + 2) / 3; }
constexpr int PlanarLineGroups(int width) noexcept { return 3 * PlanarBlockCount(width); }

constexpr int kLineGuard = 32;  // bytes in front of and behind every line's payload

// Fills a luma line's guards and the payload from `width` to the end with the edge pixels.
void ReplicateLumaEdges(std::uint8_t* line, int width, int groups) noexcept;
// The same for an interleaved chroma line (U at even, V at odd pixel positions): each position
// takes the nearest pixel of the same parity inside the row.
void ReplicateChromaEdges(std::uint8_t* line, int width, int groups) noexcept;

// `lines` guarded lines of 16 * groups bytes in one aligned block.
class LineBlock {
 public:
  // Allocates the block (contents zero). False, and the old block kept, when memory runs out.
  bool Allocate(int lines, int groups) noexcept;
  std::uint8_t* Line(int index) const noexcept {
    return block_ ? block_.get() + static_cast<std::size_t>(index) * stride_ + kLineGuard : nullptr;
  }
  int groups() const noexcept { return groups_; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const noexcept;
  };
  std::unique_ptr<std::uint8_t, Free> block_;
  std::size_t stride_ = 0;
  int groups_ = 0;
};

// The seven chroma lines of the sharpness stage: slot 0 holds the newest line, slot 6 the
// oldest. The kernels store a call's two new lines in slots 1 (upper) and 0 (lower), emit from
// the output slot, and rotate by pointer. Grows only; cleared whenever it grows.
class ChromaLineRing {
 public:
  static constexpr int kSlots = 7;

  ChromaLineRing();  // sized for width 720, output slot 1

  // S_OK, or E_OUTOFMEMORY with the old lines kept.
  HRESULT Reserve(int width);
  // k = 0..5 aims the output at slot k + 1 and returns 0; any other k aims it at slot 1 and
  // returns 1.
  int Select(int k);
  // One step: slot i + 1 takes slot i, slot 0 takes the old slot 6.
  void Rotate() noexcept;

  std::uint8_t* Slot(int index) const noexcept { return slots_[index]; }
  std::uint8_t* Output() const noexcept { return slots_[outputSlot_]; }
  int OutputSlot() const noexcept { return outputSlot_; }
  int groups() const noexcept { return block_.groups(); }

 private:
  LineBlock block_;
  std::uint8_t* slots_[kSlots] = {};
  int outputSlot_ = 1;
};

// Unpacked planar rows: one luma line (a byte per pixel) and one chroma line (U, V pairs) for
// each role. Holds 3 * ceil(G / 3) groups, the whole blocks the unpacker writes. Grows only.
// The kept role serves kernels whose kept rows are neither the above nor the below rows.
class PlanarLineSet {
 public:
  enum Role { kAbove = 0, kBelow = 1, kPrevious = 2, kNext = 3, kKept = 4 };
  static constexpr int kRoles = 5;

  PlanarLineSet();  // sized for width 720

  // S_OK, or E_OUTOFMEMORY with the old lines kept.
  HRESULT Reserve(int width);
  std::uint8_t* Luma(Role role) const noexcept { return block_.Line(Line(role)); }
  std::uint8_t* Chroma(Role role) const noexcept { return block_.Line(kRoles + Line(role)); }

  // What the below lines hold: the rows they were unpacked from (null: nothing known), so that
  // a kernel told that its above rows are the previous call's below rows can take them over.
  struct Held {
    const void* rows[3];  // packed row; or planar luma, U and V rows (null where not unpacked)
    int width;
    bool operator==(const Held& other) const noexcept {
      return rows[0] == other.rows[0] && rows[1] == other.rows[1] && rows[2] == other.rows[2] &&
             width == other.width;
    }
  };
  const Held& heldBelow() const noexcept { return heldBelow_; }
  void set_heldBelow(const Held& held) noexcept { heldBelow_ = held; }
  // The above and below lines (luma and chroma) trade places.
  void SwapAboveBelow() noexcept { aboveBelowSwapped_ = !aboveBelowSwapped_; }
  // The edge-directed kernels' lines of per-pixel differences between the above and the below
  // luma, one per direction (written from a group before the first to a group past the last).
  static constexpr int kDirections = 3;
  std::uint8_t* Difference(int direction) const noexcept { return block_.Line(2 * kRoles + direction); }
  int groups() const noexcept { return block_.groups(); }

 private:
  int Line(Role role) const noexcept {
    return aboveBelowSwapped_ && role <= kBelow ? static_cast<int>(kBelow) - role : static_cast<int>(role);
  }

  LineBlock block_;
  bool aboveBelowSwapped_ = false;
  Held heldBelow_ = {};
};

}  // namespace deinterlace

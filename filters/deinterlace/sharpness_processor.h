// The settings and line rings of the sharpness stage. The sharpen kernels read the gain and the
// coring afresh on every call and rotate the rings by pointer; the rings only grow.
//
//   luma ring:  six luma lines, slot 0 oldest .. slot 5 newest (a call stores its upper new
//               line in slot 4 and its lower one in slot 5); the lines carry copies of their
//               edge pixels past the picture width and in their guards
//   sum rings:  five lines each, slot 0 oldest .. slot 4 newest, of 16-bit horizontal sums
//               h(x) = Y(x - 2) + Y(x + 2): the low ring holds pixels 0..7 of every 16-pixel
//               group (eight words), the high ring pixels 8..15
#pragma once

#include <windows.h>

#include <cstdint>

#include "filters/deinterlace/line_buffers.h"

namespace deinterlace {

class ParameterTable;

class SharpnessProcessor {
 public:
  static constexpr int kLumaSlots = 6;
  static constexpr int kSumSlots = 5;

  // Registers its two parameters, loads the table, takes the values and reserves for width 720.
  // `table` is not owned and must outlive the processor; it may be null (defaults only).
  explicit SharpnessProcessor(ParameterTable* table);

  // "Qfa Sharpness Factor" 0..100 default 25 (flag 1), "Qfa Sharpness Coring" 0..10 default 3.
  void RegisterParameters();
  // Takes the current values: coring, and gain = factor / 50.0 as a 32-bit float.
  void LoadParameters();
  // Reserves the rings for ceil(width / 16) groups. Never shrinks. E_OUTOFMEMORY keeps the old
  // rings (the caller refuses the format).
  HRESULT SetWidth(int width);

  // One ring step: every slot takes the next newer one, the newest slot takes the old oldest.
  void Rotate() noexcept;

  float gain() const noexcept { return gain_; }
  // SharpenMultiplier(gain()), taken with the gain.
  int multiplier() const noexcept { return multiplier_; }
  std::int32_t coring() const noexcept { return coring_; }
  int groups() const noexcept { return groups_; }
  std::uint8_t* Luma(int slot) const noexcept { return luma_[slot]; }
  std::uint16_t* SumLow(int slot) const noexcept { return sumLow_[slot]; }
  std::uint16_t* SumHigh(int slot) const noexcept { return sumHigh_[slot]; }

 private:
  ParameterTable* table_;  // the filter's table, not owned
  int groups_ = 0;
  LineBlock lowBlock_;
  LineBlock highBlock_;
  LineBlock lumaBlock_;
  std::uint8_t* luma_[kLumaSlots] = {};
  std::uint16_t* sumLow_[kSumSlots] = {};
  std::uint16_t* sumHigh_[kSumSlots] = {};
  std::int32_t coring_ = 5;  // until the parameters are first taken
  float gain_ = 0.5f;
  int multiplier_;
};

// gain = factor / 50.0, rounded once to a 32-bit float.
float SharpnessGainFromFactor(int factor) noexcept;

}  // namespace deinterlace

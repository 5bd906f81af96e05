// The contrast processor: a luma curve adapted to the picture field by field. While contrast is
// on, the kernels map every output luma through the curve and add statistics of the kept lines;
// after each field UpdateCurve turns the statistics into the next curve and clears them. The
// curve blends histogram equalisation (over a smoothed histogram) with the identity, with a
// weight that falls as the luma spread grows and depends on the mean and "Qfa Contrast Factor".
#pragma once

#include <cstdint>
#include <memory>

namespace deinterlace {

class ParameterTable;

// What the kernels add per field. The lane split is fixed so that partial sums are
// reproducible: luma-sum lane l takes pixels l, l + 4, l + 8 and l + 12 of every 16-pixel group;
// halved-square lane 0 the even pixels and lane 1 the odd ones.
struct alignas(16) ContrastStatistics {
  std::uint32_t histogram[512];  // bins 0..255 used, all 512 cleared
  alignas(16) std::uint32_t lumaSum[4];
  alignas(16) std::uint64_t squareSum[2];  // sums of floor(Y * Y / 2)
  std::uint32_t count;
};

struct alignas(16) ContrastCurve {
  std::int32_t entries[512];  // 0..255 used (low byte); 256..511 stay 0
};

// The curve for two pixels at once, kept for the vector kernels: entry y0 + 256 * y1 holds the
// curve's low byte of y0 in bits 0..7 and that of y1 in bits 8..15, so that one word of two luma
// bytes maps to its word of two mapped bytes. The kernels check it against the curve when the
// curve may have changed (UpdateCurve, or the curve taken for writing through the processor's
// non-const curve(): a writer takes it again for every batch of writes between kernel calls)
// and rebuild it when the curve's low bytes differ from those it was built from.
struct ContrastPairTable {
  static constexpr int kEntries = 65536;
  struct Free {
    void operator()(std::uint16_t* p) const noexcept;
  };
  std::unique_ptr<std::uint16_t, Free> entries;  // 16-byte aligned; null when memory ran out
  alignas(16) std::uint8_t source[256] = {};     // the curve's low bytes the entries hold
  bool built = false;
  bool stale = true;  // the curve may differ from `source`: check before use
};

class ContrastProcessor {
 public:
  // Registers its parameters and reads them; statistics cleared; the curve starts as the
  // scaled identity k * 1023 >> 10. `table` is not owned and may be null (defaults only).
  explicit ContrastProcessor(ParameterTable* table);

  // "Qfa Contrast Factor" 0..100 default 80 (flag 1).
  void RegisterParameters();
  // "LeftRightBorder" and "TopBottomBorder" 0..100 default 0 (flag 2); read, never used.
  void RegisterBorders();
  void LoadParameters();  // takes the factor
  void ReadBorders();

  // Builds the next curve from the statistics and clears them. With no counted pixel, or a
  // smoothed total below 255, the previous curve is kept (the statistics are still cleared).
  void UpdateCurve();

  const ContrastCurve& curve() const noexcept { return curve_; }
  ContrastCurve& curve() noexcept {
    pairTable_.stale = true;
    return curve_;
  }
  ContrastStatistics& statistics() noexcept { return statistics_; }
  const ContrastStatistics& statistics() const noexcept { return statistics_; }
  ContrastPairTable& pairTable() noexcept { return pairTable_; }
  int factor() const noexcept { return factor_; }
  void set_factor(int factor) noexcept { factor_ = factor; }
  int leftRightBorder() const noexcept { return leftRightBorder_; }
  int topBottomBorder() const noexcept { return topBottomBorder_; }

  void ClearStatistics() noexcept;

 private:
  ParameterTable* table_;  // the filter's table, not owned
  ContrastCurve curve_;
  ContrastStatistics statistics_;
  ContrastPairTable pairTable_;  // 128 KB, filled by the kernels
  int factor_ = 80;
  int leftRightBorder_ = 0;
  int topBottomBorder_ = 0;
};

// The curve for the statistics and factor: false (curve untouched) when the count or the
// smoothed total gives nothing to divide by.
bool BuildContrastCurve(const ContrastStatistics& statistics, int factor, ContrastCurve* curve);

// Sets the scaled identity k * 1023 >> 10 (entries 256..511 zero).
void SetScaledIdentity(ContrastCurve* curve) noexcept;

}  // namespace deinterlace

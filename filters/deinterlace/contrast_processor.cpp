#include "filters/deinterlace/contrast_processor.h"

#include <cstring>
#include <new>

#include "filters/deinterlace/parameter_table.h"

namespace deinterlace {

namespace {

// Second-order recursive low-pass in Q9 (DC gain 1).
struct Smoother {
  std::int64_t x1, x2, y1, y2;
  std::int64_t Step(std::int64_t x0) {
    const std::int64_t y = (56 * x0 - 107 * x1 + 56 * x2 + 972 * y1 - 465 * y2 + 256) >> 9;
    x2 = x1;
    x1 = x0;
    y2 = y1;
    y1 = y;
    return y;
  }
};

}  // namespace

void SetScaledIdentity(ContrastCurve* curve) noexcept {
  std::memset(curve->entries, 0, sizeof(curve->entries));
  for (int k = 0; k < 256; ++k) curve->entries[k] = (k * 1023) >> 10;
}

bool BuildContrastCurve(const ContrastStatistics& statistics, int factor, ContrastCurve* curve) {
  const std::int32_t count = static_cast<std::int32_t>(statistics.count);
  if (count <= 0) return false;

  // 1-3: mean, mean square (from the halved squares, six low bits cleared), variance, gain.
  const std::int32_t lumaSum = static_cast<std::int32_t>(statistics.lumaSum[0] + statistics.lumaSum[1] +
                                                         statistics.lumaSum[2] + statistics.lumaSum[3]);
  const std::int32_t m = lumaSum / count;
  std::uint64_t halvedSquares = statistics.squareSum[0] + statistics.squareSum[1];
  halvedSquares &= ~std::uint64_t{63};
  const std::int32_t e2 = static_cast<std::int32_t>(static_cast<std::int64_t>(2 * halvedSquares) / count);
  const std::int32_t v = e2 - m * m;
  const std::int64_t g = 1023 - (std::int64_t{4} * v * 1023) / 65025;

  // 4: weight from the mean, w = min(s, T - s), never negative.
  const std::int32_t t = 6 * factor;
  const std::int32_t s = t + (4 * t * (m * m / 255 - m)) / 255;
  std::int32_t w;
  if (s <= t - s) {
    w = s >= 0 ? s : 0;
  } else {
    w = t - s;
  }

  // 5: blend weight.
  const std::int64_t a = (g * g * w) >> 20;

  // 7: smooth the histogram forward over 512 inputs (the last bin repeated), then backward.
  std::int64_t forward[512];
  const std::int64_t first = statistics.histogram[0];
  Smoother smoother{first, first, first, first};
  for (int i = 0; i < 512; ++i) forward[i] = smoother.Step(statistics.histogram[i < 255 ? i : 255]);
  std::int64_t bins[256];
  std::int64_t total = 0;
  for (int i = 511; i >= 1; --i) {
    const std::int64_t y = smoother.Step(forward[i]);
    const std::int64_t stored = y > 0 ? y : 0;
    bins[i < 255 ? i : 255] = stored;  // indices above 255 fold onto bin 255, overwritten at 255
    if (i < 256) total += stored;
  }
  std::int64_t y0 = smoother.Step(forward[0]);
  if (y0 <= 0) y0 = 1;
  bins[0] = y0;
  total += y0;

  // 8-9: running sums and the blend with the identity.
  const std::int64_t d = total / 255;
  if (d == 0) return false;
  std::memset(curve->entries, 0, sizeof(curve->entries));
  std::int64_t running = 0;
  for (int k = 0; k < 256; ++k) {
    running += bins[k];
    // The running sum can pass 255 * d (d is truncated): the kernels use an entry's low byte, so
    // an entry above 255 would turn the brightest pixels dark.
    const std::int64_t entry = (a * running / d + (1023 - a) * k) >> 10;
    curve->entries[k] = static_cast<std::int32_t>(entry < 0 ? 0 : (entry > 255 ? 255 : entry));
  }
  return true;
}

namespace {
constexpr std::size_t kPairTableAlignment = 16;
}

void ContrastPairTable::Free::operator()(std::uint16_t* p) const noexcept {
  ::operator delete[](p, std::align_val_t(kPairTableAlignment));
}

ContrastProcessor::ContrastProcessor(ParameterTable* table) : table_(table) {
  // Left unfilled: the kernels build it before its first use.
  pairTable_.entries.reset(static_cast<std::uint16_t*>(::operator new[](
      sizeof(std::uint16_t) * ContrastPairTable::kEntries, std::align_val_t(kPairTableAlignment), std::nothrow)));
  SetScaledIdentity(&curve_);
  ClearStatistics();
  RegisterParameters();
  RegisterBorders();
  LoadParameters();
  ReadBorders();
}

void ContrastProcessor::RegisterParameters() {
  if (table_) table_->Register(params::kContrastFactor, 0, 100, 80, 1);
}

void ContrastProcessor::RegisterBorders() {
  if (!table_) return;
  table_->Register(params::kLeftRightBorder, 0, 100, 0, 2);
  table_->Register(params::kTopBottomBorder, 0, 100, 0, 2);
}

void ContrastProcessor::LoadParameters() {
  if (!table_) return;
  const int factor = table_->GetByName(params::kContrastFactor);
  if (factor >= 0) factor_ = factor;
}

void ContrastProcessor::ReadBorders() {
  if (!table_) return;
  const int leftRight = table_->GetByName(params::kLeftRightBorder);
  const int topBottom = table_->GetByName(params::kTopBottomBorder);
  if (leftRight >= 0) leftRightBorder_ = leftRight;
  if (topBottom >= 0) topBottomBorder_ = topBottom;
}

void ContrastProcessor::ClearStatistics() noexcept { std::memset(&statistics_, 0, sizeof(statistics_)); }

void ContrastProcessor::UpdateCurve() {
  BuildContrastCurve(statistics_, factor_, &curve_);
  pairTable_.stale = true;
  ClearStatistics();
}

}  // namespace deinterlace

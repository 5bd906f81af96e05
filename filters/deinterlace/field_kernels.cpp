// Scalar reference of the field kernels: written from the formulas, one pixel at a time.
// The sharpness gain multiply is single precision; on i686 this file is compiled with SSE math
// so that it rounds exactly as the vector kernels do (x87 would keep extra precision).
#include "filters/deinterlace/field_kernels.h"

#include <cstring>
#include <memory>
#include <vector>

#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/sharpness_processor.h"

namespace deinterlace {

// ---- Pixel arithmetic -----------------------------------------------------------------------

std::uint8_t Median5(int a, int b, int c, int d, int e) noexcept {
  int v[5] = {a, b, c, d, e};
  for (int i = 1; i < 5; ++i) {
    for (int j = i; j > 0 && v[j - 1] > v[j]; --j) {
      const int t = v[j];
      v[j] = v[j - 1];
      v[j - 1] = t;
    }
  }
  return static_cast<std::uint8_t>(v[2]);
}

namespace {
int AbsDiff(int a, int b) { return a > b ? a - b : b - a; }
int Saturate16(int v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }
int SaturateU16(int v) { return v < 0 ? 0 : (v > 65535 ? 65535 : v); }
}  // namespace

EdgeSums EdgeDirectedSums(const std::uint8_t a[5], const std::uint8_t b[5]) noexcept {
  // Index 2 is column x; a = above, b = below.
  EdgeSums sums;
  sums.falling = AbsDiff(a[0], b[2]) + AbsDiff(a[1], b[3]) + AbsDiff(a[2], b[4]);
  sums.vertical = AbsDiff(a[1], b[1]) + AbsDiff(a[2], b[2]) + AbsDiff(a[3], b[3]);
  sums.rising = AbsDiff(a[4], b[2]) + AbsDiff(a[3], b[1]) + AbsDiff(a[2], b[0]);
  return sums;
}

std::uint8_t EdgeDirectedCandidate(const std::uint8_t a[5], const std::uint8_t b[5]) noexcept {
  const EdgeSums s = EdgeDirectedSums(a, b);
  int m = s.vertical;
  if (s.falling < m) m = s.falling;
  if (s.rising < m) m = s.rising;
  // Ties go to the vertical direction, then the rising diagonal, then the falling one.
  if (s.vertical == m) return Average(a[2], b[2]);
  if (s.rising == m) return Average(a[3], b[1]);
  return Average(a[1], b[3]);
}

int SharpenCoreGain(int d, int coring, float gain) noexcept {
  int c = 0;
  if (d - coring > 0) {
    c = d - coring;
  } else if (d + coring < 0) {
    c = d + coring;
  }
  const float product = static_cast<float>(c) * gain;
  // Truncated toward zero, saturated to 16 bits (as a float-to-int conversion and a pack do).
  if (product >= 32767.0f) return 32767;
  if (product <= -32768.0f) return -32768;
  return static_cast<int>(product);
}

std::uint8_t SharpenLuma(int centre, int neighbourSum, int coring, float gain) noexcept {
  const int d = (centre >> 1) - (neighbourSum >> 3);
  const int p = SharpenCoreGain(d, static_cast<std::int16_t>(coring), gain);
  const int y = Saturate16(centre + p);
  return static_cast<std::uint8_t>(y < 0 ? 0 : (y > 255 ? 255 : y));
}

int SharpenMultiplier(float gain) noexcept {
  if (!(gain >= 0.0f && gain <= 2.0f)) return -1;
  int product[kSharpenMaxCored + 1];
  int lowest = 0;  // the least M with (4 a M) >> 16 >= p(a) for every a
  for (int a = 1; a <= kSharpenMaxCored; ++a) {
    product[a] = SharpenCoreGain(a, 0, gain);
    if (product[a] < 0 || SharpenCoreGain(-a, 0, gain) != -product[a]) return -1;
    const int least = (product[a] * 16384 + a - 1) / a;
    if (least > lowest) lowest = least;
  }
  if (lowest > 65535) return -1;
  for (int a = 1; a <= kSharpenMaxCored; ++a) {
    if (((4 * a * lowest) >> 16) != product[a]) return -1;
  }
  return lowest;
}

void AddGroupStatistics(ContrastStatistics* statistics, const std::uint8_t luma[16]) noexcept {
  for (int j = 0; j < 16; ++j) {
    statistics->histogram[luma[j]] += 1;
    statistics->lumaSum[j & 3] += luma[j];
    statistics->squareSum[j & 1] += static_cast<std::uint32_t>(luma[j] * luma[j]) / 2;
  }
  statistics->count += 16;
}

// ---- Planar unpack --------------------------------------------------------------------------

namespace {
// Sample s of a SampleGroup6of8 row: byte s mod 6 of group s / 6.
std::uint8_t Sample6of8(const std::uint8_t* row, int s) { return row[8 * (s / 6) + s % 6]; }
}  // namespace

void UnpackPlanarLuma(const std::uint8_t* row, int width, std::uint8_t* line) noexcept {
  const int samples = 48 * PlanarBlockCount(width);
  for (int s = 0; s < samples; ++s) line[s] = Sample6of8(row, s);
  ReplicateLumaEdges(line, width, PlanarLineGroups(width));
}

void UnpackPlanarChroma(const std::uint8_t* uRow, const std::uint8_t* vRow, int width, std::uint8_t* line) noexcept {
  const int pairs = 24 * PlanarBlockCount(width);
  for (int s = 0; s < pairs; ++s) {
    line[2 * s] = Sample6of8(uRow, s);
    line[2 * s + 1] = Sample6of8(vRow, s);
  }
  ReplicateChromaEdges(line, width, PlanarLineGroups(width));
}

// ---- Kernels --------------------------------------------------------------------------------

namespace {

// This unit is compiled with SSE2. Its containers take an allocator of their own so that their
// member functions are instantiated for this unit alone: otherwise the linker may keep this
// unit's copy of, say, std::vector<std::uint8_t>::_M_default_append for code that must run on
// processors without SSE2.
template <class T>
struct UnitAllocator : std::allocator<T> {
  using value_type = T;
  UnitAllocator() = default;
  template <class U>
  UnitAllocator(const UnitAllocator<U>&) noexcept {}
};
using Bytes = std::vector<std::uint8_t, UnitAllocator<std::uint8_t>>;

int ClampIndex(int x, int width) { return x < 0 ? 0 : (x >= width ? width - 1 : x); }

// The nearest position inside [0, width) with the same U/V parity as x.
int ChromaIndex(int x, int width) {
  if (x >= 0 && x < width) return x;
  if (x < 0) return width > 1 ? (x & 1) : 0;
  int source = width - 1;
  if (((source ^ x) & 1) != 0 && source > 0) --source;
  return source;
}

// One input row seen through the clamp rule.
struct RowView {
  const std::uint8_t* luma = nullptr;
  int lumaStep = 1;
  const std::uint8_t* chroma = nullptr;
  int chromaStep = 1;
  int width = 0;

  std::uint8_t Y(int x) const { return luma[ClampIndex(x, width) * lumaStep]; }
  std::uint8_t C(int x) const { return chroma[ChromaIndex(x, width) * chromaStep]; }
};

RowView PackedView(const std::uint8_t* row, int width) {
  RowView view;
  if (!row) return view;
  view.luma = row;
  view.lumaStep = 2;
  view.chroma = row + 1;
  view.chromaStep = 2;
  view.width = width;
  return view;
}

struct RowViews {
  RowView kept, above, below, previous, next;
};

// The two new lines of a call, over whole groups.
struct PairLines {
  Bytes keptY, keptC, fillY, fillC;
};

void ComputeLines(const KernelKind& kind, const RowViews& rows, int pixels, PairLines* lines) {
  lines->keptY.resize(pixels);
  lines->keptC.resize(pixels);
  lines->fillY.resize(pixels);
  lines->fillC.resize(pixels);
  for (int x = 0; x < pixels; ++x) {
    lines->keptY[x] = rows.kept.Y(x);
    lines->keptC[x] = rows.kept.C(x);
    if (kind.interpolator == Interpolator::Weave) {
      lines->fillY[x] = rows.previous.Y(x);
      lines->fillC[x] = rows.previous.C(x);
      continue;
    }
    const int a = rows.above.Y(x);
    const int b = rows.below.Y(x);
    lines->fillC[x] = Average(rows.above.C(x), rows.below.C(x));
    switch (kind.interpolator) {
      case Interpolator::LineAverage:
        lines->fillY[x] = Average(a, b);
        break;
      case Interpolator::FieldMedian:
        lines->fillY[x] = Median5(a, b, Average(a, b), rows.previous.Y(x), rows.next.Y(x));
        break;
      case Interpolator::EdgeDirected:
      case Interpolator::EdgeMedian: {
        std::uint8_t wa[5], wb[5];
        for (int i = 0; i < 5; ++i) {
          wa[i] = rows.above.Y(x - 2 + i);
          wb[i] = rows.below.Y(x - 2 + i);
        }
        const int e = EdgeDirectedCandidate(wa, wb);
        lines->fillY[x] = kind.interpolator == Interpolator::EdgeDirected
                              ? Median3(a, b, e)
                              : Median5(a, b, e, rows.previous.Y(x), rows.next.Y(x));
        break;
      }
      case Interpolator::Weave:
        break;
    }
  }
}

void GatherStatistics(ContrastStatistics* statistics, const RowView& row, int groups) {
  std::uint8_t luma[16];
  for (int g = 0; g < groups; ++g) {
    for (int j = 0; j < 16; ++j) luma[j] = row.Y(16 * g + j);
    AddGroupStatistics(statistics, luma);
  }
}

void WriteYuy2(std::uint8_t* destination, const std::uint8_t* y, const std::uint8_t* c, int pixels,
               const ContrastCurve* curve) {
  for (int x = 0; x < pixels; ++x) {
    destination[2 * x] = curve ? MapLuma(*curve, y[x]) : y[x];
    destination[2 * x + 1] = c[x];
  }
}

// h(x) = Y(x - 2) + Y(x + 2) of a ring luma line (edge copies make the offsets clamp).
void HorizontalSums(const std::uint8_t* luma, int groups, std::uint16_t* low, std::uint16_t* high) {
  for (int g = 0; g < groups; ++g) {
    for (int j = 0; j < 8; ++j) {
      const int x = 16 * g + j;
      low[8 * g + j] = static_cast<std::uint16_t>(luma[x - 2] + luma[x + 2]);
      high[8 * g + j] = static_cast<std::uint16_t>(luma[x + 8 - 2] + luma[x + 8 + 2]);
    }
  }
}

std::uint16_t SumAt(const std::uint16_t* low, const std::uint16_t* high, int x) {
  const int g = x / 16;
  const int j = x % 16;
  return j < 8 ? low[8 * g + j] : high[8 * g + j - 8];
}

// Emits the line two above the newest stored one (luma slot 2, chroma output slot) into
// `destination`; the caller rotates the rings afterwards.
void EmitSharpened(KernelContext& context, int groups, std::uint8_t* destination, const ContrastCurve* curve) {
  SharpnessProcessor& sharpness = *context.sharpness;
  HorizontalSums(sharpness.Luma(4), groups, sharpness.SumLow(4), sharpness.SumHigh(4));
  const std::uint8_t* centre = sharpness.Luma(2);
  const std::uint8_t* chroma = context.chromaRing->Output();
  const int coring = sharpness.coring();
  const float gain = sharpness.gain();
  for (int x = 0; x < 16 * groups; ++x) {
    const int s = SaturateU16(SumAt(sharpness.SumLow(4), sharpness.SumHigh(4), x) +
                              SumAt(sharpness.SumLow(0), sharpness.SumHigh(0), x));
    const std::uint8_t y = SharpenLuma(centre[x], s, coring, gain);
    destination[2 * x] = curve ? MapLuma(*curve, y) : y;
    destination[2 * x + 1] = chroma[x];
  }
}

void CopyLumaLine(std::uint8_t* to, const std::uint8_t* from, int groups) {
  std::memcpy(to - kLineGuard, from - kLineGuard, 16 * static_cast<size_t>(groups) + 2 * kLineGuard);
}

// Lines -4 .. -1 of a new field are copies of lines 0 and 1 (even lines of line 0).
void PrimeRings(KernelContext& context, int groups) {
  SharpnessProcessor& sharpness = *context.sharpness;
  for (int slot = 0; slot < 4; ++slot) {
    const int source = (slot % 2 == 0) ? 4 : 5;
    CopyLumaLine(sharpness.Luma(slot), sharpness.Luma(source), groups);
    HorizontalSums(sharpness.Luma(slot), groups, sharpness.SumLow(slot), sharpness.SumHigh(slot));
  }
  ChromaLineRing& ring = *context.chromaRing;
  const size_t bytes = 16 * static_cast<size_t>(groups);
  for (int slot = 2; slot < ChromaLineRing::kSlots; ++slot) {
    // Slot 1 holds line 0 and slot 0 line 1; slot j holds line 1 - j.
    std::memcpy(ring.Slot(slot), ring.Slot(slot % 2 == 0 ? 0 : 1), bytes);
  }
}

void RunKernel(const KernelKind& kind, KernelContext& context, const RowViews& rows, const RowView& statisticsRow,
               int width, int fieldFlag, int rowIndex, std::uint8_t* keptDestination,
               std::uint8_t* fillDestination) {
  if (width <= 0) return;
  const int groups = BlockCount16(width);
  const int pixels = 16 * groups;
  PairLines lines;
  ComputeLines(kind, rows, pixels, &lines);
  const ContrastCurve* curve = nullptr;
  if (kind.contrast) {
    GatherStatistics(&context.contrast->statistics(), statisticsRow, groups);
    curve = &context.contrast->curve();
  }
  if (!kind.sharpen) {
    WriteYuy2(keptDestination, lines.keptY.data(), lines.keptC.data(), pixels, curve);
    WriteYuy2(fillDestination, lines.fillY.data(), lines.fillC.data(), pixels, curve);
    return;
  }

  SharpnessProcessor& sharpness = *context.sharpness;
  ChromaLineRing& ring = *context.chromaRing;
  const bool keptIsUpper = fieldFlag == 1;
  const PairLines& l = lines;
  std::memcpy(sharpness.Luma(4), keptIsUpper ? l.keptY.data() : l.fillY.data(), pixels);
  std::memcpy(sharpness.Luma(5), keptIsUpper ? l.fillY.data() : l.keptY.data(), pixels);
  ReplicateLumaEdges(sharpness.Luma(4), width, groups);
  ReplicateLumaEdges(sharpness.Luma(5), width, groups);
  std::memcpy(ring.Slot(1), keptIsUpper ? l.keptC.data() : l.fillC.data(), pixels);
  std::memcpy(ring.Slot(0), keptIsUpper ? l.fillC.data() : l.keptC.data(), pixels);
  if (rowIndex == 0) PrimeRings(context, groups);

  std::uint8_t* upper = keptIsUpper ? keptDestination : fillDestination;
  std::uint8_t* lower = keptIsUpper ? fillDestination : keptDestination;
  EmitSharpened(context, groups, upper, curve);
  sharpness.Rotate();
  ring.Rotate();
  EmitSharpened(context, groups, lower, curve);
  sharpness.Rotate();
  ring.Rotate();
}

}  // namespace

void ReferencePackedKernel(const KernelKind& kind, KernelContext& context, const PackedRowPair& pair) {
  RowViews rows;
  rows.kept = PackedView(pair.keptSource, pair.width);
  rows.above = PackedView(pair.above, pair.width);
  rows.below = PackedView(pair.below, pair.width);
  rows.previous = PackedView(pair.previous, pair.width);
  rows.next = PackedView(pair.next, pair.width);
  RunKernel(kind, context, rows, kind.statisticsFromNext ? rows.next : rows.kept, pair.width, pair.fieldFlag,
            pair.rowIndex, pair.keptDestination, pair.fillDestination);
}

namespace {

// One planar row unpacked into guarded lines.
struct UnpackedRow {
  Bytes lumaStorage, chromaStorage;

  RowView Unpack(const std::uint8_t* luma, const std::uint8_t* u, const std::uint8_t* v, int width) {
    RowView view;
    const size_t bytes = 16 * static_cast<size_t>(PlanarLineGroups(width)) + 2 * kLineGuard;
    if (luma) {
      lumaStorage.assign(bytes, 0);
      UnpackPlanarLuma(luma, width, lumaStorage.data() + kLineGuard);
      view.luma = lumaStorage.data() + kLineGuard;
    }
    if (u && v) {
      chromaStorage.assign(bytes, 0);
      UnpackPlanarChroma(u, v, width, chromaStorage.data() + kLineGuard);
      view.chroma = chromaStorage.data() + kLineGuard;
    }
    view.width = width;
    return view;
  }
};

}  // namespace

void ReferencePlanarKernel(const KernelKind& kind, KernelContext& context, const PlanarRowPair& pair) {
  const int width = pair.width;
  const bool weave = kind.interpolator == Interpolator::Weave;
  const bool median = kind.interpolator == Interpolator::FieldMedian || kind.interpolator == Interpolator::EdgeMedian;
  UnpackedRow kept, above, below, previous, next;
  RowViews rows;
  if (!weave) {
    rows.above = above.Unpack(pair.luma.above, pair.u.above, pair.v.above, width);
    rows.below = below.Unpack(pair.luma.below, pair.u.below, pair.v.below, width);
  }
  if (kind.keptFromKeptRows) {
    rows.kept = kept.Unpack(pair.luma.kept, pair.u.kept, pair.v.kept, width);
  } else if (weave) {
    rows.kept = pair.fieldFlag == 1 ? kept.Unpack(pair.luma.above, pair.u.above, pair.v.above, width)
                                    : kept.Unpack(pair.luma.below, pair.u.below, pair.v.below, width);
  } else {
    rows.kept = pair.fieldFlag == 1 ? rows.above : rows.below;
  }
  if (weave) rows.previous = previous.Unpack(pair.luma.previous, pair.u.previous, pair.v.previous, width);
  if (median) {
    // Only the luma of the other field's rows is read here.
    rows.previous = previous.Unpack(pair.luma.previous, nullptr, nullptr, width);
    rows.next = next.Unpack(pair.luma.next, nullptr, nullptr, width);
  }
  RunKernel(kind, context, rows, kind.statisticsFromNext ? rows.next : rows.kept, width, pair.fieldFlag,
            pair.rowIndex, pair.keptDestination, pair.fillDestination);
}

}  // namespace deinterlace

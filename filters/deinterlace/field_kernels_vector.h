// The vector field kernels: one body for every instruction set, generated over the input layout,
// the interpolator, the sharpness and contrast stages and the load policy.
//
// Included once by each instruction set's translation unit, which supplies its load policy
// (a struct with `static __m128i Unaligned(const void*)`). Everything here lives in an anonymous
// namespace so that the instantiations of two instruction sets are never merged by the linker.
//
// The bytes are those of the scalar reference (field_kernels.cpp), ring state included:
//   * Packed rows are read only inside [row, row + 2 * width). Groups whose reads would cross a
//     row end (a partial last group; without a planar line set also the first and last groups
//     of the edge-directed kernels) go through a small window filled by the reference's clamp
//     rule; all others load directly.
//   * Planar rows, and the above and below luma of the packed edge-directed kernels, are
//     unpacked into the PlanarLineSet, whose lines carry copies of their edge pixels, so that
//     neighbours at x - 2 .. x + 2 are plain offsets. The edge-directed kernels also keep there
//     the per-pixel differences of their three directions. Lines unpacked from a call's below
//     rows serve the next call as its above rows when the field walk says they are the same.
//   * Input rows are loaded unaligned; destination rows are stored unaligned (the caller's rows
//     need no alignment). Only the kernels' own line buffers are accessed aligned.
//
// Everything a group runs through is forced inline: an outlined helper takes and returns its
// vectors through memory (both ABIs) and, on x86_64, saves and restores xmm6-xmm15 per call.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "filters/deinterlace/contrast_processor.h"
#include "filters/deinterlace/field_kernels.h"
#include "filters/deinterlace/kernel_dispatch.h"
#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/sharpness_processor.h"

#define VORN_KERNEL_INLINE inline __attribute__((always_inline))

namespace deinterlace {
namespace {

// ---- Vector helpers -------------------------------------------------------------------------

VORN_KERNEL_INLINE __m128i LoadAligned(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
VORN_KERNEL_INLINE void StoreAligned(void* p, __m128i v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
VORN_KERNEL_INLINE void StoreUnaligned(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// pextrw needs its lane as a constant: the callers' loops are unrolled, so k is one.
VORN_KERNEL_INLINE int ExtractWord(__m128i v, int k) {
  switch (k) {
    case 0: return _mm_extract_epi16(v, 0);
    case 1: return _mm_extract_epi16(v, 1);
    case 2: return _mm_extract_epi16(v, 2);
    case 3: return _mm_extract_epi16(v, 3);
    case 4: return _mm_extract_epi16(v, 4);
    case 5: return _mm_extract_epi16(v, 5);
    case 6: return _mm_extract_epi16(v, 6);
    default: return _mm_extract_epi16(v, 7);
  }
}

VORN_KERNEL_INLINE __m128i AbsDiff(__m128i a, __m128i b) { return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a)); }

VORN_KERNEL_INLINE __m128i Select(__m128i mask, __m128i ifSet, __m128i ifClear) {
  return _mm_or_si128(_mm_and_si128(mask, ifSet), _mm_andnot_si128(mask, ifClear));
}

VORN_KERNEL_INLINE __m128i VectorMedian3(__m128i a, __m128i b, __m128i c) {
  return _mm_min_epu8(_mm_max_epu8(a, c), _mm_max_epu8(_mm_min_epu8(a, c), b));
}

// The middle of five: the larger of the two pair minima and the smaller of the two pair maxima
// bracket the median, which is then the median of those two and the fifth value.
VORN_KERNEL_INLINE __m128i VectorMedian5(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e) {
  const __m128i low = _mm_max_epu8(_mm_min_epu8(a, b), _mm_min_epu8(c, d));
  const __m128i high = _mm_min_epu8(_mm_max_epu8(a, b), _mm_max_epu8(c, d));
  return VectorMedian3(e, low, high);
}

// Sum of three byte differences, widened to 16 bits (at most 765).
VORN_KERNEL_INLINE void Sum3(__m128i d0, __m128i d1, __m128i d2, __m128i* low, __m128i* high) {
  const __m128i zero = _mm_setzero_si128();
  *low = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(d0, zero), _mm_unpacklo_epi8(d1, zero)),
                       _mm_unpacklo_epi8(d2, zero));
  *high = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(d0, zero), _mm_unpackhi_epi8(d1, zero)),
                        _mm_unpackhi_epi8(d2, zero));
}

// The edge-directed candidate; a[i] and b[i] are the above and below luma at x - 2 + i.
VORN_KERNEL_INLINE __m128i VectorEdgeCandidate(const __m128i a[5], const __m128i b[5]) {
  __m128i fallingLow, fallingHigh, verticalLow, verticalHigh, risingLow, risingHigh;
  Sum3(AbsDiff(a[0], b[2]), AbsDiff(a[1], b[3]), AbsDiff(a[2], b[4]), &fallingLow, &fallingHigh);
  Sum3(AbsDiff(a[1], b[1]), AbsDiff(a[2], b[2]), AbsDiff(a[3], b[3]), &verticalLow, &verticalHigh);
  Sum3(AbsDiff(a[4], b[2]), AbsDiff(a[3], b[1]), AbsDiff(a[2], b[0]), &risingLow, &risingHigh);
  const __m128i minLow = _mm_min_epi16(_mm_min_epi16(verticalLow, fallingLow), risingLow);
  const __m128i minHigh = _mm_min_epi16(_mm_min_epi16(verticalHigh, fallingHigh), risingHigh);
  // Word masks narrowed to byte masks (-1 stays -1 under signed saturation).
  const __m128i vertical =
      _mm_packs_epi16(_mm_cmpeq_epi16(verticalLow, minLow), _mm_cmpeq_epi16(verticalHigh, minHigh));
  const __m128i rising = _mm_packs_epi16(_mm_cmpeq_epi16(risingLow, minLow), _mm_cmpeq_epi16(risingHigh, minHigh));
  // Ties go to the vertical direction, then the rising diagonal, then the falling one.
  const __m128i diagonal = Select(rising, _mm_avg_epu8(a[3], b[1]), _mm_avg_epu8(a[1], b[3]));
  return Select(vertical, _mm_avg_epu8(a[2], b[2]), diagonal);
}

// The per-pixel differences of the three directions over a row pair's guarded luma lines:
// vertical V(x) = |A(x) - B(x)|, falling F(x) = |A(x - 1) - B(x + 1)|, rising
// R(x) = |A(x + 1) - B(x - 1)|, from the group before the first to the group past the last, so
// that a direction's sum at x is the difference line's bytes at x - 1, x and x + 1. Each
// difference is taken once instead of three times (once per position of the sum).
enum EdgeDirection { kVertical, kFalling, kRising };

template <class Load>
void EdgeDifferences(const std::uint8_t* above, const std::uint8_t* below, int groups, std::uint8_t* const* lines) {
  std::uint8_t* vertical = lines[kVertical];
  std::uint8_t* falling = lines[kFalling];
  std::uint8_t* rising = lines[kRising];
  for (int x = -16; x <= 16 * groups; x += 16) {
    StoreAligned(vertical + x, AbsDiff(LoadAligned(above + x), LoadAligned(below + x)));
    StoreAligned(falling + x, AbsDiff(Load::Unaligned(above + x - 1), Load::Unaligned(below + x + 1)));
    StoreAligned(rising + x, AbsDiff(Load::Unaligned(above + x + 1), Load::Unaligned(below + x - 1)));
  }
}

// A direction's sum of three differences at the 16 pixels of a group, in words.
template <class Load>
VORN_KERNEL_INLINE void DifferenceSums(const std::uint8_t* line, __m128i* low, __m128i* high) {
  Sum3(Load::Unaligned(line - 1), LoadAligned(line), Load::Unaligned(line + 1), low, high);
}

// The edge-directed candidate from the difference lines at the group; aC, bC are the above and
// below luma at x, a(k) and b(k) read them at x + k. Ties as in VectorEdgeCandidate: the
// vertical direction is taken where its sum is the least, the rising one where its sum is not
// above the falling one's.
template <class Load, class AboveAt, class BelowAt>
VORN_KERNEL_INLINE __m128i LineEdgeCandidate(const std::uint8_t* const* differences, __m128i aC, __m128i bC,
                                             AboveAt a, BelowAt b) {
  __m128i verticalLow, verticalHigh, risingLow, risingHigh, fallingLow, fallingHigh;
  DifferenceSums<Load>(differences[kVertical], &verticalLow, &verticalHigh);
  DifferenceSums<Load>(differences[kRising], &risingLow, &risingHigh);
  // Where the vertical sum is above the rising one, then where either is above the falling one.
  __m128i notVertical = _mm_packs_epi16(_mm_cmpgt_epi16(verticalLow, risingLow), _mm_cmpgt_epi16(verticalHigh, risingHigh));
  DifferenceSums<Load>(differences[kFalling], &fallingLow, &fallingHigh);
  notVertical = _mm_or_si128(notVertical, _mm_packs_epi16(_mm_cmpgt_epi16(verticalLow, fallingLow),
                                                          _mm_cmpgt_epi16(verticalHigh, fallingHigh)));
  const __m128i notRising = _mm_packs_epi16(_mm_cmpgt_epi16(risingLow, fallingLow), _mm_cmpgt_epi16(risingHigh, fallingHigh));
  const __m128i diagonal = Select(notRising, _mm_avg_epu8(a(-1), b(1)), _mm_avg_epu8(a(1), b(-1)));
  return Select(notVertical, diagonal, _mm_avg_epu8(aC, bC));
}

// Luma and interleaved chroma of 16 pixels as packed YUY2.
VORN_KERNEL_INLINE void StoreYuy2(std::uint8_t* destination, __m128i y, __m128i c) {
  StoreUnaligned(destination, _mm_unpacklo_epi8(y, c));
  StoreUnaligned(destination + 16, _mm_unpackhi_epi8(y, c));
}

// The same with the luma mapped through the contrast curve: the group is stored as it stands,
// then each luma byte is overwritten with the low byte of its curve entry (the entry's first
// byte, x86 being little-endian). The values come out of the register two at a time (pextrw);
// per pixel that is a shift or mask, a byte load and a byte store, each pixel on its own.
// Gathering the entries into word lanes instead (SSE2 has no byte shuffle) chains all eight
// lookups of a half through one register, and reading the values back from memory after a
// vector store costs a load each.
VORN_KERNEL_INLINE void StoreYuy2Mapped(std::uint8_t* destination, __m128i y, __m128i c, const ContrastCurve& curve) {
  StoreYuy2(destination, y, c);
  const std::uint8_t* lowBytes = reinterpret_cast<const std::uint8_t*>(curve.entries);
#pragma GCC unroll 8
  for (int k = 0; k < 8; ++k) {
    const unsigned pair = static_cast<unsigned>(_mm_extract_epi16(y, k));
    destination[4 * k] = lowBytes[4 * static_cast<std::size_t>(pair & 0xFF)];
    destination[4 * k + 2] = lowBytes[4 * static_cast<std::size_t>(pair >> 8)];
  }
}

// The eight words of a vector as unsigned values, word k being pixels 2k and 2k + 1. On x86_64
// the halves go to general registers (movq) and the words come out by shifts there, off the
// vector units the kernels keep busy; the 32-bit build, short of general registers, uses pextrw.
struct WordLanes {
#if defined(__x86_64__)
  VORN_KERNEL_INLINE explicit WordLanes(__m128i v)
      : low(static_cast<std::uint64_t>(_mm_cvtsi128_si64(v))),
        high(static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)))) {}
  VORN_KERNEL_INLINE unsigned operator[](int k) const {
    return static_cast<unsigned>(((k < 4 ? low : high) >> (16 * (k & 3))) & 0xFFFF);
  }
  std::uint64_t low, high;
#else
  VORN_KERNEL_INLINE explicit WordLanes(__m128i v) : vector(v) {}
  VORN_KERNEL_INLINE unsigned operator[](int k) const {
    return static_cast<unsigned>(ExtractWord(vector, k));
  }
  __m128i vector;
#endif
};

// The luma mapped through the curve's pair table (contrast_processor.h): each word of the
// group, two luma bytes, is one index, and its entry holds both mapped bytes in place, so that a
// word insert from the table (pinsrw) maps two pixels. The words go in as two chains of four.
VORN_KERNEL_INLINE __m128i MapPairs(__m128i y, const std::uint16_t* pairs) {
  const WordLanes words(y);
  __m128i low = _mm_cvtsi32_si128(pairs[words[0]]);
  __m128i high = _mm_insert_epi16(_mm_setzero_si128(), pairs[words[4]], 4);
  low = _mm_insert_epi16(low, pairs[words[1]], 1);
  high = _mm_insert_epi16(high, pairs[words[5]], 5);
  low = _mm_insert_epi16(low, pairs[words[2]], 2);
  high = _mm_insert_epi16(high, pairs[words[6]], 6);
  low = _mm_insert_epi16(low, pairs[words[3]], 3);
  high = _mm_insert_epi16(high, pairs[words[7]], 7);
  return _mm_or_si128(low, high);
}

VORN_KERNEL_INLINE void StoreYuy2Paired(std::uint8_t* destination, __m128i y, __m128i c, const std::uint16_t* pairs) {
  StoreYuy2(destination, MapPairs(y, pairs), c);
}

// The curve's pair table for this call: when the curve may have changed, checked against the
// curve's low bytes and rebuilt when they differ; null when the processor has no table.
inline const std::uint16_t* TakePairTable(ContrastProcessor& contrast) {
  ContrastPairTable& table = contrast.pairTable();
  std::uint16_t* entries = table.entries.get();
  if (!entries) return nullptr;
  if (table.built && !table.stale) return entries;
  table.stale = false;
  const std::int32_t* curve = static_cast<const ContrastProcessor&>(contrast).curve().entries;
  const __m128i mask = _mm_set1_epi32(0xFF);
  const __m128i zero = _mm_setzero_si128();
  alignas(16) std::uint16_t words[256];
  __m128i differ = zero;
  for (int k = 0; k < 256; k += 16) {
    const __m128i a = _mm_packs_epi32(_mm_and_si128(LoadAligned(curve + k), mask),
                                      _mm_and_si128(LoadAligned(curve + k + 4), mask));
    const __m128i b = _mm_packs_epi32(_mm_and_si128(LoadAligned(curve + k + 8), mask),
                                      _mm_and_si128(LoadAligned(curve + k + 12), mask));
    StoreAligned(words + k, a);
    StoreAligned(words + k + 8, b);
    differ = _mm_or_si128(differ, _mm_xor_si128(_mm_packus_epi16(a, b), LoadAligned(table.source + k)));
  }
  if (table.built && _mm_movemask_epi8(_mm_cmpeq_epi8(differ, zero)) == 0xFFFF) return entries;
  for (int y1 = 0; y1 < 256; ++y1) {
    const __m128i high = _mm_set1_epi16(static_cast<short>(words[y1] << 8));
    std::uint16_t* row = entries + 256 * y1;
    for (int y0 = 0; y0 < 256; y0 += 8) StoreAligned(row + y0, _mm_or_si128(LoadAligned(words + y0), high));
  }
  for (int k = 0; k < 256; ++k) table.source[k] = static_cast<std::uint8_t>(words[k]);
  table.built = true;
  return entries;
}

// ---- Contrast statistics --------------------------------------------------------------------

// Adds groups of 16 luma values with the fixed lane split: luma-sum lane l takes pixels l, l + 4,
// l + 8, l + 12; halved-square lane 0 the even pixels, lane 1 the odd ones. The sums stay in
// registers for one call, split by pixel parity: the words of a group hold its even pixels (the
// low bytes) or its odd ones (the high bytes), word k being pixel 2k or 2k + 1, so that even
// words 0, 2, 4, 6 are luma lane 0 and 1, 3, 5, 7 lane 2 (odd words: lanes 1 and 3). The luma
// goes into 16-bit lanes as it stands. floor(Y * Y / 2) is (Y * Y - (Y & 1)) / 2: the squares go
// into 32-bit lanes (pmaddwd of the parity's words with themselves) and the odd values are
// counted in bytes, pixel by pixel; both are taken apart again and folded into the processor's
// lanes when the parts are merged and at the end.
//
// The histogram is counted into four interleaved parts: pixel j of a group goes to part j mod 4,
// part 0 being the processor's histogram itself and parts 1..3 16-bit counters of this call,
// added in at the end. An update reads what the previous update of its bin stored, so a run of
// equal values (flat areas, black borders) would otherwise chain every pixel of the run through
// store-to-load forwarding; four parts make four independent chains. The values come out of the
// register two at a time (pextrw), as for the curve lookup.
//
// The three 16-bit parts live apart from the accumulator: an array indexed by pixel values makes
// its holder live in memory, and the accumulator's sums should not.
struct alignas(16) HistogramParts {
  std::uint16_t counts[3][256];
};

class StatisticsAccumulator {
 public:
  VORN_KERNEL_INLINE StatisticsAccumulator(ContrastStatistics* statistics, HistogramParts* parts)
      : statistics_(statistics),
        parts_(parts->counts),
        evenLuma_(_mm_setzero_si128()),
        oddLuma_(_mm_setzero_si128()),
        evenSquares_(_mm_setzero_si128()),
        oddSquares_(_mm_setzero_si128()),
        oddValues_(_mm_setzero_si128()) {
    ClearParts();
  }

  VORN_KERNEL_INLINE void Add(__m128i y) {
    std::uint32_t* histogram = statistics_->histogram;
    const WordLanes words(y);
#pragma GCC unroll 8
    for (int k = 0; k < 8; k += 2) {
      // Pixels 2k .. 2k + 3: parts 0 (the histogram), 1, 2, 3.
      const unsigned first = words[k];
      const unsigned second = words[k + 1];
      histogram[first & 0xFF] += 1;
      parts_[0][first >> 8] += 1;
      parts_[1][second & 0xFF] += 1;
      parts_[2][second >> 8] += 1;
    }
    const __m128i even = _mm_and_si128(y, _mm_set1_epi16(0x00FF));
    const __m128i odd = _mm_srli_epi16(y, 8);
    evenLuma_ = _mm_add_epi16(evenLuma_, even);
    oddLuma_ = _mm_add_epi16(oddLuma_, odd);
    evenSquares_ = _mm_add_epi32(evenSquares_, _mm_madd_epi16(even, even));
    oddSquares_ = _mm_add_epi32(oddSquares_, _mm_madd_epi16(odd, odd));
    oddValues_ = _mm_add_epi8(oddValues_, _mm_and_si128(y, _mm_set1_epi8(1)));
    if (++groupsInParts_ == kMaxGroupsInParts) MergeParts();
  }

  VORN_KERNEL_INLINE void Flush() { AddParts(); }

 private:
  static constexpr int kParts = 3;
  // Bounded by the byte counts of odd values (one per group); a part's bin takes at most four
  // counts per group and a 16-bit luma lane 255, a 32-bit square lane 2 * 255 * 255.
  static constexpr int kMaxGroupsInParts = 255;

  VORN_KERNEL_INLINE void ClearParts() {
    for (int p = 0; p < kParts; ++p) {
      for (int b = 0; b < 256; b += 8) StoreAligned(&parts_[p][b], _mm_setzero_si128());
    }
    groupsInParts_ = 0;
  }

  VORN_KERNEL_INLINE void MergeParts() {
    AddParts();
    ClearParts();
  }

  // Adds the parts into the processor's histogram (the parts keep their counts) and the lanes of
  // this call into the processor's (the lanes start again).
  VORN_KERNEL_INLINE void AddParts() {
    const __m128i zero = _mm_setzero_si128();
    std::uint32_t* histogram = statistics_->histogram;
    for (int b = 0; b < 256; b += 8) {
      const __m128i sum = _mm_add_epi16(_mm_add_epi16(LoadAligned(&parts_[0][b]), LoadAligned(&parts_[1][b])),
                                        LoadAligned(&parts_[2][b]));
      StoreAligned(histogram + b, _mm_add_epi32(LoadAligned(histogram + b), _mm_unpacklo_epi16(sum, zero)));
      StoreAligned(histogram + b + 4, _mm_add_epi32(LoadAligned(histogram + b + 4), _mm_unpackhi_epi16(sum, zero)));
    }
    // Luma: words k and k + 4 of a parity to 32 bits, then even and odd interleaved.
    const __m128i even = _mm_add_epi32(_mm_unpacklo_epi16(evenLuma_, zero), _mm_unpackhi_epi16(evenLuma_, zero));
    const __m128i odd = _mm_add_epi32(_mm_unpacklo_epi16(oddLuma_, zero), _mm_unpackhi_epi16(oddLuma_, zero));
    const __m128i luma = _mm_add_epi32(_mm_unpacklo_epi32(even, odd), _mm_unpackhi_epi32(even, odd));
    StoreAligned(statistics_->lumaSum, _mm_add_epi32(LoadAligned(statistics_->lumaSum), luma));
    // Halved squares: each 32-bit lane less its odd values (counted in the bytes of the same
    // pixels, summed in pairs as pmaddwd sums the squares) is even; halved, then each lane pair
    // to 64 bits: even lanes 0 + 2 and 1 + 3, then the halves together.
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i evenHalves = _mm_srli_epi32(
        _mm_sub_epi32(evenSquares_, _mm_madd_epi16(_mm_and_si128(oddValues_, _mm_set1_epi16(0x00FF)), ones)), 1);
    const __m128i oddHalves =
        _mm_srli_epi32(_mm_sub_epi32(oddSquares_, _mm_madd_epi16(_mm_srli_epi16(oddValues_, 8), ones)), 1);
    const __m128i evenWide = _mm_add_epi64(_mm_unpacklo_epi32(evenHalves, zero), _mm_unpackhi_epi32(evenHalves, zero));
    const __m128i oddWide = _mm_add_epi64(_mm_unpacklo_epi32(oddHalves, zero), _mm_unpackhi_epi32(oddHalves, zero));
    StoreAligned(statistics_->squareSum,
                 _mm_add_epi64(LoadAligned(statistics_->squareSum),
                               _mm_add_epi64(_mm_unpacklo_epi64(evenWide, oddWide), _mm_unpackhi_epi64(evenWide, oddWide))));
    statistics_->count += 16 * static_cast<std::uint32_t>(groupsInParts_);
    evenLuma_ = _mm_setzero_si128();
    oddLuma_ = _mm_setzero_si128();
    evenSquares_ = _mm_setzero_si128();
    oddSquares_ = _mm_setzero_si128();
    oddValues_ = _mm_setzero_si128();
  }

  ContrastStatistics* statistics_;
  std::uint16_t (*parts_)[256];
  __m128i evenLuma_;
  __m128i oddLuma_;
  __m128i evenSquares_;
  __m128i oddSquares_;
  __m128i oddValues_;
  int groupsInParts_ = 0;
};

struct NoStatistics {
  void Add(__m128i) {}
  void Flush() {}
};

// Which contrast stages a kernel runs: the filter's kernels run both or neither; the benchmark's
// probes run one of them alone.
constexpr int kStatisticsStage = 1;
constexpr int kLookupStage = 2;
constexpr int kContrastStages = kStatisticsStage | kLookupStage;

template <bool Statistics>
std::conditional_t<Statistics, StatisticsAccumulator, NoStatistics> StatisticsFor(KernelContext& context,
                                                                                  HistogramParts* parts) {
  if constexpr (Statistics) {
    return StatisticsAccumulator(&context.contrast->statistics(), parts);
  } else {
    return NoStatistics{};
  }
}

// ---- Input layouts --------------------------------------------------------------------------

enum RowRole { kKeptRow, kAboveRow, kBelowRow, kPreviousRow, kNextRow, kRowRoles };

// Packed YUY2 rows: each pointer is the byte of the group's first pixel.
template <class Load>
struct PackedGroup {
  using LoadPolicy = Load;
  static constexpr bool kDifferenceLines = false;
  const std::uint8_t* row[kRowRoles];

  VORN_KERNEL_INLINE __m128i Luma(int role, int offset) const {
    const std::uint8_t* p = row[role] + 2 * offset;
    const __m128i mask = _mm_set1_epi16(0x00FF);
    return _mm_packus_epi16(_mm_and_si128(Load::Unaligned(p), mask), _mm_and_si128(Load::Unaligned(p + 16), mask));
  }
  VORN_KERNEL_INLINE __m128i Chroma(int role) const {
    const std::uint8_t* p = row[role];
    return _mm_packus_epi16(_mm_srli_epi16(Load::Unaligned(p), 8), _mm_srli_epi16(Load::Unaligned(p + 16), 8));
  }
};

// Unpacked lines (guarded, 32-byte aligned): a luma byte and a chroma byte per pixel.
template <class Load>
struct LineGroup {
  using LoadPolicy = Load;
  static constexpr bool kDifferenceLines = true;
  const std::uint8_t* luma[kRowRoles];
  const std::uint8_t* chroma[kRowRoles];
  const std::uint8_t* difference[PlanarLineSet::kDirections];  // edge-directed kernels

  VORN_KERNEL_INLINE __m128i Luma(int role, int offset) const {
    return offset == 0 ? LoadAligned(luma[role]) : Load::Unaligned(luma[role] + offset);
  }
  VORN_KERNEL_INLINE __m128i Chroma(int role) const { return LoadAligned(chroma[role]); }
};

// Packed rows whose above and below luma were first unpacked into guarded lines (the
// edge-directed kernels read them at five offsets): those come from the lines, the rest (the
// chroma of every row, the luma of the others) from the rows.
template <class Load>
struct PackedLineGroup {
  using LoadPolicy = Load;
  static constexpr bool kDifferenceLines = true;
  PackedGroup<Load> rows;
  const std::uint8_t* line[2];  // above, below
  const std::uint8_t* difference[PlanarLineSet::kDirections];

  VORN_KERNEL_INLINE __m128i Luma(int role, int offset) const {
    if (role == kAboveRow || role == kBelowRow) {
      const std::uint8_t* p = line[role - kAboveRow];
      return offset == 0 ? LoadAligned(p) : Load::Unaligned(p + offset);
    }
    return rows.Luma(role, offset);
  }
  VORN_KERNEL_INLINE __m128i Chroma(int role) const { return rows.Chroma(role); }
};

// ---- Interpolators --------------------------------------------------------------------------

struct GroupLines {
  __m128i keptY, keptC, fillY, fillC;
  __m128i statisticsY;
};

constexpr bool IsEdgeDirected(Interpolator i) {
  return i == Interpolator::EdgeDirected || i == Interpolator::EdgeMedian;
}
constexpr bool ReadsOtherPictures(Interpolator i) {
  return i == Interpolator::FieldMedian || i == Interpolator::EdgeMedian;
}

// `Kept`: the role whose row is the kept line (kKeptRow: a row of its own; kAboveRow or
// kBelowRow: that row, whose luma and chroma are then taken once).
template <Interpolator I, bool StatisticsFromNext, int Kept = kKeptRow, class Group>
VORN_KERNEL_INLINE GroupLines ComputeGroup(const Group& g) {
  GroupLines out;
  if constexpr (Kept == kKeptRow) {
    out.keptY = g.Luma(kKeptRow, 0);
    out.keptC = g.Chroma(kKeptRow);
  }
  if constexpr (I == Interpolator::Weave) {
    out.fillY = g.Luma(kPreviousRow, 0);
    out.fillC = g.Chroma(kPreviousRow);
  } else {
    const __m128i a = g.Luma(kAboveRow, 0);
    const __m128i b = g.Luma(kBelowRow, 0);
    const __m128i aC = g.Chroma(kAboveRow);
    const __m128i bC = g.Chroma(kBelowRow);
    if constexpr (Kept != kKeptRow) {
      out.keptY = Kept == kAboveRow ? a : b;
      out.keptC = Kept == kAboveRow ? aC : bC;
    }
    out.fillC = _mm_avg_epu8(aC, bC);
    if constexpr (I == Interpolator::LineAverage) {
      out.fillY = _mm_avg_epu8(a, b);
    } else if constexpr (I == Interpolator::FieldMedian) {
      out.fillY = VectorMedian5(a, b, _mm_avg_epu8(a, b), g.Luma(kPreviousRow, 0), g.Luma(kNextRow, 0));
    } else {
      __m128i e;
      if constexpr (Group::kDifferenceLines) {
        e = LineEdgeCandidate<typename Group::LoadPolicy>(
            g.difference, a, b, [&](int k) { return g.Luma(kAboveRow, k); }, [&](int k) { return g.Luma(kBelowRow, k); });
      } else {
        const __m128i above[5] = {g.Luma(kAboveRow, -2), g.Luma(kAboveRow, -1), a, g.Luma(kAboveRow, 1),
                                  g.Luma(kAboveRow, 2)};
        const __m128i below[5] = {g.Luma(kBelowRow, -2), g.Luma(kBelowRow, -1), b, g.Luma(kBelowRow, 1),
                                  g.Luma(kBelowRow, 2)};
        e = VectorEdgeCandidate(above, below);
      }
      if constexpr (I == Interpolator::EdgeDirected) {
        out.fillY = VectorMedian3(a, b, e);
      } else {
        out.fillY = VectorMedian5(a, b, e, g.Luma(kPreviousRow, 0), g.Luma(kNextRow, 0));
      }
    }
  }
  if constexpr (StatisticsFromNext) {
    out.statisticsY = g.Luma(kNextRow, 0);
  } else {
    out.statisticsY = out.keptY;
  }
  return out;
}

// ---- Sharpness stage ------------------------------------------------------------------------

// h(x) = Y(x - 2) + Y(x + 2) of one group of a guarded luma line.
template <class Load>
VORN_KERNEL_INLINE void HorizontalSums(const std::uint8_t* line, __m128i* low, __m128i* high) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i left = Load::Unaligned(line - 2);
  const __m128i right = Load::Unaligned(line + 2);
  *low = _mm_add_epi16(_mm_unpacklo_epi8(left, zero), _mm_unpacklo_epi8(right, zero));
  *high = _mm_add_epi16(_mm_unpackhi_epi8(left, zero), _mm_unpackhi_epi8(right, zero));
}

template <class Load>
void StoreHorizontalSums(const std::uint8_t* line, int groups, std::uint16_t* low, std::uint16_t* high) {
  for (int g = 0; g < groups; ++g) {
    __m128i l, h;
    HorizontalSums<Load>(line + 16 * g, &l, &h);
    StoreAligned(low + 8 * g, l);
    StoreAligned(high + 8 * g, h);
  }
}

// p = trunc(c * gain) in single precision, saturated to 16 bits, for four lanes of d.
VORN_KERNEL_INLINE __m128i CoredGain(__m128i d, __m128i coring, __m128 gain) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i minus = _mm_sub_epi32(d, coring);
  const __m128i plus = _mm_add_epi32(d, coring);
  const __m128i positive = _mm_cmpgt_epi32(minus, zero);
  const __m128i negative = _mm_cmplt_epi32(plus, zero);
  const __m128i c = Select(positive, minus, _mm_and_si128(negative, plus));
  __m128 product = _mm_mul_ps(_mm_cvtepi32_ps(c), gain);
  product = _mm_min_ps(_mm_max_ps(product, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
  return _mm_cvttps_epi32(product);
}

// Four lanes of c (sign-extended from 16 bits) times the gain, truncated: no clamp needed.
VORN_KERNEL_INLINE __m128i NarrowGain(__m128i c, __m128 gain) {
  return _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(c, 16)), gain));
}

// The coring and gain that the processor's parameters give (coring 0..10, gain 0..2) allow a
// shorter exact path. d lies in -8191 ((0 >> 1) - (65535 >> 3)) .. 127, so with 0 <= T <= 8192
// d - T and d + T fit 16 bits and the cored value is max(d - T, 0) + min(d + T, 0); with
// |gain| <= 2 the product stays below 16383 and needs no clamp.
//
// The sums of the emitters are sums of four bytes (at most 1020), so d lies in -127 .. 127 and
// the cored value c in -127 .. 127 there. For such c the truncated single-precision product
// trunc(c * gain) is odd in c and, for the gains checked here, equals the fixed-point
// floor(4 |c| * M / 65536) with the sign of c put back (SharpenMultiplier, taken with the
// parameters); with T at most 255 that path works in bytes but for the product.
struct SharpenSettings {
  __m128i coring32;    // T in 32-bit lanes
  __m128i coring16;    // T in 16-bit lanes
  __m128i coring8;     // T in bytes (fixed point only)
  __m128i multiplier;  // M in 16-bit lanes, or 4 M where that fits (fixed point only)
  __m128 gain;
  bool narrow;
  bool fixedPoint;
  bool scaled;  // the multiplier lanes hold 4 M
};

inline SharpenSettings TakeSharpenSettings(const SharpnessProcessor& sharpness) {
  const std::int16_t coring = static_cast<std::int16_t>(sharpness.coring());
  const float gain = sharpness.gain();
  const int multiplier = sharpness.multiplier();
  const bool scaled = multiplier >= 0 && 4 * multiplier <= 0xFFFF;
  const int lanes = multiplier < 0 ? 0 : (scaled ? 4 * multiplier : multiplier);
  return {_mm_set1_epi32(coring),
          _mm_set1_epi16(coring),
          _mm_set1_epi8(static_cast<char>(coring >= 0 && coring <= 255 ? coring : 0)),
          _mm_set1_epi16(static_cast<std::int16_t>(static_cast<std::uint16_t>(lanes))),
          _mm_set1_ps(gain),
          coring >= 0 && coring <= 8192 && gain >= -2.0f && gain <= 2.0f,
          multiplier >= 0 && coring >= 0 && coring <= 255,
          scaled};
}

// kScaledFixedPoint: the fixed-point path with 4 M in the multiplier lanes (gains below 1).
enum class SharpenPath { kWide, kNarrow, kFixedPoint, kScaledFixedPoint };

// How an emitted group's luma is stored: as it stands, through the curve's pair table or, when
// the processor has none, through the curve itself.
enum class LumaMap { kNone, kPairs, kCurve };

template <SharpenPath Path>
VORN_KERNEL_INLINE __m128i SharpenHalf(__m128i centre, __m128i sum, const SharpenSettings& settings) {
  // d = (Yc >> 1) - (S >> 3), in 16 bits.
  const __m128i d = _mm_sub_epi16(_mm_srli_epi16(centre, 1), _mm_srli_epi16(sum, 3));
  __m128i p;
  static_assert(Path == SharpenPath::kWide || Path == SharpenPath::kNarrow,
                "the fixed-point paths work on whole groups (EmitGroup)");
  if constexpr (Path == SharpenPath::kNarrow) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i c = _mm_add_epi16(_mm_max_epi16(_mm_sub_epi16(d, settings.coring16), zero),
                                    _mm_min_epi16(_mm_add_epi16(d, settings.coring16), zero));
    p = _mm_packs_epi32(NarrowGain(_mm_unpacklo_epi16(c, c), settings.gain),
                        NarrowGain(_mm_unpackhi_epi16(c, c), settings.gain));
  } else {
    // Widened to 32 bits for the coring and the gain.
    const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(d, d), 16);
    const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(d, d), 16);
    p = _mm_packs_epi32(CoredGain(low, settings.coring32, settings.gain),
                        CoredGain(high, settings.coring32, settings.gain));
  }
  return _mm_adds_epi16(centre, p);
}

// One output line of the sharpness stage: the newest luma line (two below the emitted one),
// whose horizontal sums go to `newLow`/`newHigh`, the centre line, the sums of the line two above,
// the chroma line and the destination row.
struct EmitLine {
  const std::uint8_t* newest;
  const std::uint8_t* centre;
  std::uint16_t* newLow;
  std::uint16_t* newHigh;
  const std::uint16_t* oldLow;
  const std::uint16_t* oldHigh;
  const std::uint8_t* chroma;
  std::uint8_t* destination;
};

// The two lines of a call: the upper one from the slots as they stand (luma 4 over 2, sums 4 and
// 0, the chroma output slot), the lower one from the slots one rotation on (luma 5 over 3, sums
// 0 and 1, the chroma slot before the output slot). The lower line's new sums go where the upper
// line's old ones are read, group by group after them.
VORN_KERNEL_INLINE void TakeEmitLines(KernelContext& context, std::uint8_t* upper, std::uint8_t* lower, EmitLine* lines) {
  const SharpnessProcessor& sharpness = *context.sharpness;
  const ChromaLineRing& ring = *context.chromaRing;
  lines[0] = {sharpness.Luma(4), sharpness.Luma(2), sharpness.SumLow(4), sharpness.SumHigh(4), sharpness.SumLow(0),
              sharpness.SumHigh(0), ring.Output(), upper};
  lines[1] = {sharpness.Luma(5), sharpness.Luma(3), sharpness.SumLow(0), sharpness.SumHigh(0), sharpness.SumLow(1),
              sharpness.SumHigh(1), ring.Slot(ring.OutputSlot() - 1), lower};
}

// One group of one emitted line: sharpened luma (through the curve when mapping) and its chroma.
template <class Load, LumaMap Map, SharpenPath Path>
VORN_KERNEL_INLINE void EmitGroup(const EmitLine& line, const SharpenSettings& settings, const ContrastCurve* curve,
                                  const std::uint16_t* pairs, int g) {
  const __m128i zero = _mm_setzero_si128();
  __m128i hLow, hHigh;
  HorizontalSums<Load>(line.newest + 16 * g, &hLow, &hHigh);
  const __m128i sLow = _mm_adds_epu16(hLow, LoadAligned(line.oldLow + 8 * g));
  const __m128i sHigh = _mm_adds_epu16(hHigh, LoadAligned(line.oldHigh + 8 * g));
  StoreAligned(line.newLow + 8 * g, hLow);
  StoreAligned(line.newHigh + 8 * g, hHigh);
  const __m128i yc = LoadAligned(line.centre + 16 * g);
  __m128i y;
  if constexpr (Path == SharpenPath::kFixedPoint || Path == SharpenPath::kScaledFixedPoint) {
    // In bytes: Yc >> 1 and S >> 3 both lie in 0..127, so |d| is their byte difference and
    // |c| = |d| - T saturated at 0; only the product p = sign(d) * q (q at most 254) needs words.
    // Yc + p saturated to 0..255 is then Yc + q or Yc - q saturated in bytes.
    const __m128i half = _mm_and_si128(_mm_srli_epi16(yc, 1), _mm_set1_epi8(0x7F));
    const __m128i eighth = _mm_packus_epi16(_mm_srli_epi16(sLow, 3), _mm_srli_epi16(sHigh, 3));
    const __m128i magnitude = _mm_subs_epu8(AbsDiff(half, eighth), settings.coring8);
    const __m128i positive = _mm_cmpeq_epi8(_mm_max_epu8(half, eighth), half);  // d >= 0
    __m128i qLow = _mm_unpacklo_epi8(magnitude, zero);
    __m128i qHigh = _mm_unpackhi_epi8(magnitude, zero);
    if constexpr (Path == SharpenPath::kFixedPoint) {
      qLow = _mm_slli_epi16(qLow, 2);
      qHigh = _mm_slli_epi16(qHigh, 2);
    }
    const __m128i q = _mm_packus_epi16(_mm_mulhi_epu16(qLow, settings.multiplier), _mm_mulhi_epu16(qHigh, settings.multiplier));
    y = _mm_subs_epu8(_mm_adds_epu8(yc, _mm_and_si128(positive, q)), _mm_andnot_si128(positive, q));
  } else {
    const __m128i yLow = SharpenHalf<Path>(_mm_unpacklo_epi8(yc, zero), sLow, settings);
    const __m128i yHigh = SharpenHalf<Path>(_mm_unpackhi_epi8(yc, zero), sHigh, settings);
    y = _mm_packus_epi16(yLow, yHigh);
  }
  if constexpr (Map == LumaMap::kPairs) {
    StoreYuy2Paired(line.destination + 32 * g, y, LoadAligned(line.chroma + 16 * g), pairs);
  } else if constexpr (Map == LumaMap::kCurve) {
    StoreYuy2Mapped(line.destination + 32 * g, y, LoadAligned(line.chroma + 16 * g), *curve);
  } else {
    StoreYuy2(line.destination + 32 * g, y, LoadAligned(line.chroma + 16 * g));
  }
}

// Both lines of a call, group by group. (The lines and settings go by value: the caller's copies
// stay out of memory.)
template <class Load, LumaMap Map, SharpenPath Path>
void EmitGroupsWith(EmitLine upper, EmitLine lower, SharpenSettings settings, const ContrastCurve* curve,
                    const std::uint16_t* pairs, int groups) {
  for (int g = 0; g < groups; ++g) {
    EmitGroup<Load, Map, Path>(upper, settings, curve, pairs, g);
    EmitGroup<Load, Map, Path>(lower, settings, curve, pairs, g);
  }
}

template <class Load, LumaMap Map>
void EmitGroupsMapped(EmitLine upper, EmitLine lower, SharpenSettings settings, const ContrastCurve* curve,
                      const std::uint16_t* pairs, int groups) {
  if (settings.fixedPoint && settings.scaled) {
    EmitGroupsWith<Load, Map, SharpenPath::kScaledFixedPoint>(upper, lower, settings, curve, pairs, groups);
  } else if (settings.fixedPoint) {
    EmitGroupsWith<Load, Map, SharpenPath::kFixedPoint>(upper, lower, settings, curve, pairs, groups);
  } else if (settings.narrow) {
    EmitGroupsWith<Load, Map, SharpenPath::kNarrow>(upper, lower, settings, curve, pairs, groups);
  } else {
    EmitGroupsWith<Load, Map, SharpenPath::kWide>(upper, lower, settings, curve, pairs, groups);
  }
}

template <class Load, bool Map>
void EmitGroups(EmitLine upper, EmitLine lower, SharpenSettings settings, const ContrastCurve* curve,
                const std::uint16_t* pairs, int groups) {
  if constexpr (!Map) {
    EmitGroupsMapped<Load, LumaMap::kNone>(upper, lower, settings, curve, pairs, groups);
  } else if (pairs) {
    EmitGroupsMapped<Load, LumaMap::kPairs>(upper, lower, settings, curve, pairs, groups);
  } else {
    EmitGroupsMapped<Load, LumaMap::kCurve>(upper, lower, settings, curve, pairs, groups);
  }
}

// A new field: lines -4 .. -1 in the rings become copies of lines 0 and 1.
template <class Load>
void PrimeRings(KernelContext& context, int groups) {
  SharpnessProcessor& sharpness = *context.sharpness;
  const std::size_t lumaBytes = 16 * static_cast<std::size_t>(groups) + 2 * kLineGuard;
  for (int slot = 0; slot < 4; ++slot) {
    std::memcpy(sharpness.Luma(slot) - kLineGuard, sharpness.Luma(slot % 2 == 0 ? 4 : 5) - kLineGuard, lumaBytes);
    StoreHorizontalSums<Load>(sharpness.Luma(slot), groups, sharpness.SumLow(slot), sharpness.SumHigh(slot));
  }
  ChromaLineRing& ring = *context.chromaRing;
  const std::size_t chromaBytes = 16 * static_cast<std::size_t>(groups);
  for (int slot = 2; slot < ChromaLineRing::kSlots; ++slot) {
    std::memcpy(ring.Slot(slot), ring.Slot(slot % 2 == 0 ? 0 : 1), chromaBytes);
  }
}

// ---- Output of one call ---------------------------------------------------------------------

// Takes the two new lines group by group: writes them out (with the curve) or, for the sharpen
// kernels, pushes them into the rings and, at the end, emits the pair of the previous call (both
// lines group by group in one pass, the curve applied as each group is stored). The ring slots
// and the curve are taken once per call (vector stores may alias any pointer the compiler would
// otherwise reload).
//
// The emission stays a pass of its own over the (first-level cache) rings: run inside the
// interpolation's loop, one group behind, it needs more registers than there are and comes out
// slower.
template <class Load, bool Sharpen, int Stages, bool StatisticsFromNext>
class PairOutput {
  static constexpr bool kStatistics = (Stages & kStatisticsStage) != 0;
  static constexpr bool kMap = (Stages & kLookupStage) != 0;

 public:
  VORN_KERNEL_INLINE PairOutput(KernelContext& context, HistogramParts* parts, int width, int groups, int fieldFlag,
                                int rowIndex, std::uint8_t* keptDestination, std::uint8_t* fillDestination)
      : context_(context),
        statistics_(StatisticsFor<kStatistics>(context, parts)),
        width_(width),
        groups_(groups),
        keptIsUpper_(fieldFlag == 1),
        rowIndex_(rowIndex),
        keptDestination_(keptDestination),
        fillDestination_(fillDestination) {
    if constexpr (kMap) {
      curve_ = &static_cast<const ContrastProcessor&>(*context.contrast).curve();
      pairs_ = TakePairTable(*context.contrast);
    }
    if constexpr (Sharpen) {
      // Upper line: luma slot 4, chroma slot 1; lower line: luma slot 5, chroma slot 0.
      SharpnessProcessor& sharpness = *context.sharpness;
      ChromaLineRing& ring = *context.chromaRing;
      keptLuma_ = sharpness.Luma(keptIsUpper_ ? 4 : 5);
      fillLuma_ = sharpness.Luma(keptIsUpper_ ? 5 : 4);
      keptChroma_ = ring.Slot(keptIsUpper_ ? 1 : 0);
      fillChroma_ = ring.Slot(keptIsUpper_ ? 0 : 1);
      settings_ = TakeSharpenSettings(sharpness);
      TakeEmitLines(context, keptIsUpper_ ? keptDestination : fillDestination,
                    keptIsUpper_ ? fillDestination : keptDestination, emit_);
    }
  }

  VORN_KERNEL_INLINE void Put(int g, const GroupLines& lines) {
    if constexpr (!Sharpen) {
      std::uint8_t* kept = keptDestination_ + 32 * g;
      std::uint8_t* fill = fillDestination_ + 32 * g;
      if constexpr (kMap) {
        statistics_.Add(lines.statisticsY);
        if (pairs_) {
          StoreYuy2Paired(kept, lines.keptY, lines.keptC, pairs_);
          StoreYuy2Paired(fill, lines.fillY, lines.fillC, pairs_);
        } else {
          StoreYuy2Mapped(kept, lines.keptY, lines.keptC, *curve_);
          StoreYuy2Mapped(fill, lines.fillY, lines.fillC, *curve_);
        }
      } else {
        statistics_.Add(lines.statisticsY);
        StoreYuy2(kept, lines.keptY, lines.keptC);
        StoreYuy2(fill, lines.fillY, lines.fillC);
      }
    } else {
      std::uint8_t* keptLuma = keptLuma_ + 16 * g;
      StoreAligned(keptLuma, lines.keptY);
      StoreAligned(fillLuma_ + 16 * g, lines.fillY);
      statistics_.Add(lines.statisticsY);
      StoreAligned(keptChroma_ + 16 * g, lines.keptC);
      StoreAligned(fillChroma_ + 16 * g, lines.fillC);
    }
  }

  VORN_KERNEL_INLINE void Finish() {
    statistics_.Flush();
    if constexpr (Sharpen) {
      SharpnessProcessor& sharpness = *context_.sharpness;
      ChromaLineRing& ring = *context_.chromaRing;
      ReplicateLumaEdges(sharpness.Luma(4), width_, groups_);
      ReplicateLumaEdges(sharpness.Luma(5), width_, groups_);
      if (rowIndex_ == 0) PrimeRings<Load>(context_, groups_);
      EmitGroups<Load, kMap>(emit_[0], emit_[1], settings_, curve_, pairs_, groups_);
      sharpness.Rotate();
      ring.Rotate();
      sharpness.Rotate();
      ring.Rotate();
    }
  }

 private:
  KernelContext& context_;
  std::conditional_t<kStatistics, StatisticsAccumulator, NoStatistics> statistics_;
  int width_;
  int groups_;
  bool keptIsUpper_;
  int rowIndex_;
  std::uint8_t* keptDestination_;
  std::uint8_t* fillDestination_;
  const ContrastCurve* curve_ = nullptr;
  const std::uint16_t* pairs_ = nullptr;
  std::uint8_t* keptLuma_ = nullptr;
  std::uint8_t* fillLuma_ = nullptr;
  std::uint8_t* keptChroma_ = nullptr;
  std::uint8_t* fillChroma_ = nullptr;
  SharpenSettings settings_{};
  EmitLine emit_[2] = {};
};

// ---- Packed kernels -------------------------------------------------------------------------

VORN_KERNEL_INLINE int ClampedLuma(int x, int width) { return x < 0 ? 0 : (x >= width ? width - 1 : x); }

// The nearest position inside [0, width) with the same U/V parity as x.
VORN_KERNEL_INLINE int ClampedChroma(int x, int width) {
  if (x >= 0 && x < width) return x;
  if (x < 0) return width > 1 ? (x & 1) : 0;
  int source = width - 1;
  if (((source ^ x) & 1) != 0 && source > 0) --source;
  return source;
}

// A group near a row end: pixels x0 - 8 .. x0 + 23 of the row, clamped as the reference reads
// them. The group's first pixel sits at byte kWindowOrigin.
constexpr int kWindowPixels = 32;
constexpr int kWindowOrigin = 16;

inline void FillWindow(const std::uint8_t* row, int width, int x0, std::uint8_t* window) {
  const int first = x0 - kWindowOrigin / 2;  // the row's pixel at window pixel 0
  const int inFrom = first < 0 ? 0 : first;
  const int inTo = first + kWindowPixels < width ? first + kWindowPixels : width;
  if (inTo > inFrom) {
    std::memcpy(window + 2 * (inFrom - first), row + 2 * static_cast<std::size_t>(inFrom), 2 * (inTo - inFrom));
  }
  for (int i = 0; i < kWindowPixels; ++i) {
    const int x = first + i;
    if (x >= inFrom && x < inTo) continue;
    window[2 * i] = row[2 * ClampedLuma(x, width)];
    window[2 * i + 1] = row[2 * ClampedChroma(x, width) + 1];
  }
}

// A packed row's luma as a guarded line of BlockCount16(width) groups: whole groups straight
// from the row, the pixels of a partial last group one by one, then the edge copies.
template <class Load>
void UnpackPackedLuma(const std::uint8_t* row, int width, std::uint8_t* line) {
  const int whole = width / 16;
  const __m128i mask = _mm_set1_epi16(0x00FF);
  for (int g = 0; g < whole; ++g) {
    const std::uint8_t* p = row + 32 * static_cast<std::size_t>(g);
    StoreAligned(line + 16 * g,
                 _mm_packus_epi16(_mm_and_si128(Load::Unaligned(p), mask), _mm_and_si128(Load::Unaligned(p + 16), mask)));
  }
  for (int x = 16 * whole; x < width; ++x) line[x] = row[2 * x];
  ReplicateLumaEdges(line, width, BlockCount16(width));
}

// `Lines`: the above and below luma come from lines unpacked first (the context's planar line
// set), so that no row needs a window for its neighbours and an offset read is one load.
template <class Load, Interpolator I, bool Sharpen, int Stages, bool StatisticsFromNext, int Kept, bool Lines>
void PackedRowsKernel(KernelContext& context, const PackedRowPair& pair) {
  const int width = pair.width;
  const int groups = BlockCount16(width);
  constexpr int reach = IsEdgeDirected(I) && !Lines ? 2 : 0;  // pixels read beside a group (above, below)
  const std::uint8_t* rows[kRowRoles] = {pair.keptSource, pair.above, pair.below, pair.previous, pair.next};
  std::uint8_t* lines[2] = {};
  if constexpr (Lines) {
    // An above row that is the previous call's below row is in the below line already.
    PlanarLineSet& set = *context.planarLines;
    const bool taken = pair.aboveWasBelow && set.heldBelow() == PlanarLineSet::Held{{pair.above, nullptr, nullptr}, width};
    if (taken) set.SwapAboveBelow();
    lines[0] = set.Luma(PlanarLineSet::kAbove);
    lines[1] = set.Luma(PlanarLineSet::kBelow);
    if (!taken) UnpackPackedLuma<Load>(pair.above, width, lines[0]);
    UnpackPackedLuma<Load>(pair.below, width, lines[1]);
    set.set_heldBelow({{pair.below, nullptr, nullptr}, width});
  }
  std::uint8_t* differences[PlanarLineSet::kDirections] = {};
  if constexpr (Lines) {
    for (int d = 0; d < PlanarLineSet::kDirections; ++d) differences[d] = context.planarLines->Difference(d);
    EdgeDifferences<Load>(lines[0], lines[1], groups, differences);
  }
  // Known at compile time, so that the row set-up of a group unrolls to plain adds.
  constexpr bool read[kRowRoles] = {Kept == kKeptRow, I != Interpolator::Weave, I != Interpolator::Weave,
                                    I == Interpolator::Weave || ReadsOtherPictures(I),
                                    ReadsOtherPictures(I) || StatisticsFromNext};
  constexpr int rowReach[kRowRoles] = {0, reach, reach, 0, 0};
  alignas(16) std::uint8_t windows[kRowRoles][2 * kWindowPixels];
  HistogramParts parts;
  PairOutput<Load, Sharpen, Stages, StatisticsFromNext> output(context, &parts, width, groups, pair.fieldFlag,
                                                               pair.rowIndex, pair.keptDestination,
                                                               pair.fillDestination);
  for (int g = 0; g < groups; ++g) {
    const int x0 = 16 * g;
    std::conditional_t<Lines, PackedLineGroup<Load>, PackedGroup<Load>> lineGroup;
    PackedGroup<Load>& group = [&]() -> PackedGroup<Load>& {
      if constexpr (Lines) {
        lineGroup.line[0] = lines[0] + x0;
        lineGroup.line[1] = lines[1] + x0;
#pragma GCC unroll 3
        for (int d = 0; d < PlanarLineSet::kDirections; ++d) lineGroup.difference[d] = differences[d] + x0;
        return lineGroup.rows;
      } else {
        return lineGroup;
      }
    }();
    if (x0 >= reach && x0 + 16 + reach <= width) {
#pragma GCC unroll 5
      for (int r = 0; r < kRowRoles; ++r) group.row[r] = read[r] ? rows[r] + 2 * static_cast<std::size_t>(x0) : nullptr;
    } else {
      // Only the rows whose reads cross a row end go through a window.
#pragma GCC unroll 5
      for (int r = 0; r < kRowRoles; ++r) {
        if (!read[r]) {
          group.row[r] = nullptr;
        } else if (x0 >= rowReach[r] && x0 + 16 + rowReach[r] <= width) {
          group.row[r] = rows[r] + 2 * static_cast<std::size_t>(x0);
        } else {
          FillWindow(rows[r], width, x0, windows[r]);
          group.row[r] = windows[r] + kWindowOrigin;
        }
      }
    }
    output.Put(g, ComputeGroup<I, StatisticsFromNext, Kept>(lineGroup));
  }
  output.Finish();
}

// The kept source is the above or the below row for every pair kernel (and may be a row of its
// own for the rules): a kept line that is one of them is read once.
template <class Load, Interpolator I, bool Sharpen, int Stages, bool StatisticsFromNext>
void PackedVectorKernel(KernelContext& context, const PackedRowPair& pair) {
  if (pair.width <= 0) return;
  if constexpr (IsEdgeDirected(I)) {
    // The lines of the context's planar set, when it has one wide enough.
    if (context.planarLines && context.planarLines->groups() >= BlockCount16(pair.width)) {
      if (pair.keptSource == pair.above) {
        return PackedRowsKernel<Load, I, Sharpen, Stages, StatisticsFromNext, kAboveRow, true>(context, pair);
      }
      if (pair.keptSource == pair.below) {
        return PackedRowsKernel<Load, I, Sharpen, Stages, StatisticsFromNext, kBelowRow, true>(context, pair);
      }
      return PackedRowsKernel<Load, I, Sharpen, Stages, StatisticsFromNext, kKeptRow, true>(context, pair);
    }
  }
  if constexpr (I != Interpolator::Weave) {
    if (pair.keptSource == pair.above) {
      return PackedRowsKernel<Load, I, Sharpen, Stages, StatisticsFromNext, kAboveRow, false>(context, pair);
    }
    if (pair.keptSource == pair.below) {
      return PackedRowsKernel<Load, I, Sharpen, Stages, StatisticsFromNext, kBelowRow, false>(context, pair);
    }
  }
  PackedRowsKernel<Load, I, Sharpen, Stages, StatisticsFromNext, kKeptRow, false>(context, pair);
}

// ---- Planar kernels -------------------------------------------------------------------------

// Bytes 0-5 and 8-13 of a vector (the samples of two SampleGroup6of8 groups) to bytes 0-11,
// bytes 12-15 cleared.
VORN_KERNEL_INLINE __m128i Compact6of8(__m128i v) {
  const __m128i first = _mm_set_epi16(0, 0, 0, 0, 0, -1, -1, -1);
  const __m128i second = _mm_set_epi16(0, 0, -1, -1, -1, 0, 0, 0);
  return _mm_or_si128(_mm_and_si128(v, first), _mm_and_si128(_mm_srli_si128(v, 2), second));
}

// A luma row: 64 input bytes give 48 samples per block; then the edge copies.
template <class Load>
void UnpackLumaRow(const std::uint8_t* row, int width, std::uint8_t* line) {
  const int blocks = PlanarBlockCount(width);
  for (int b = 0; b < blocks; ++b) {
    const std::uint8_t* in = row + 64 * static_cast<std::size_t>(b);
    std::uint8_t* out = line + 48 * static_cast<std::size_t>(b);
    const __m128i c0 = Compact6of8(Load::Unaligned(in));
    const __m128i c1 = Compact6of8(Load::Unaligned(in + 16));
    const __m128i c2 = Compact6of8(Load::Unaligned(in + 32));
    const __m128i c3 = Compact6of8(Load::Unaligned(in + 48));
    StoreAligned(out, _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
    StoreAligned(out + 16, _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
    StoreAligned(out + 32, _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
  }
  ReplicateLumaEdges(line, width, PlanarLineGroups(width));
}

// A U row and a V row: 32 bytes of each give 24 pairs U, V per block; then the edge copies.
template <class Load>
void UnpackChromaRows(const std::uint8_t* uRow, const std::uint8_t* vRow, int width, std::uint8_t* line) {
  const int blocks = PlanarBlockCount(width);
  for (int b = 0; b < blocks; ++b) {
    const std::size_t offset = 32 * static_cast<std::size_t>(b);
    const __m128i u1 = Compact6of8(Load::Unaligned(uRow + offset + 16));
    const __m128i v1 = Compact6of8(Load::Unaligned(vRow + offset + 16));
    const __m128i u = _mm_or_si128(Compact6of8(Load::Unaligned(uRow + offset)), _mm_slli_si128(u1, 12));
    const __m128i v = _mm_or_si128(Compact6of8(Load::Unaligned(vRow + offset)), _mm_slli_si128(v1, 12));
    std::uint8_t* out = line + 48 * static_cast<std::size_t>(b);
    StoreAligned(out, _mm_unpacklo_epi8(u, v));
    StoreAligned(out + 16, _mm_unpackhi_epi8(u, v));
    StoreAligned(out + 32, _mm_unpacklo_epi8(_mm_srli_si128(u1, 4), _mm_srli_si128(v1, 4)));
  }
  ReplicateChromaEdges(line, width, PlanarLineGroups(width));
}

template <class Load, Interpolator I, bool Sharpen, int Stages, bool StatisticsFromNext, bool KeptFromKeptRows>
void PlanarVectorKernel(KernelContext& context, const PlanarRowPair& pair) {
  const int width = pair.width;
  if (width <= 0) return;
  const int groups = BlockCount16(width);
  PlanarLineSet& lines = *context.planarLines;
  constexpr bool weave = I == Interpolator::Weave;
  const std::uint8_t* luma[kRowRoles] = {};
  const std::uint8_t* chroma[kRowRoles] = {};
  const auto unpack = [&](RowRole role, PlanarLineSet::Role lineRole, const std::uint8_t* y, const std::uint8_t* u,
                          const std::uint8_t* v) {
    luma[role] = lines.Luma(lineRole);
    UnpackLumaRow<Load>(y, width, lines.Luma(lineRole));
    if (u && v) {
      chroma[role] = lines.Chroma(lineRole);
      UnpackChromaRows<Load>(u, v, width, lines.Chroma(lineRole));
    }
  };
  if constexpr (!weave) {
    // Above rows that are the previous call's below rows are in the below lines already.
    const bool taken = pair.aboveWasBelow &&
                       lines.heldBelow() == PlanarLineSet::Held{{pair.luma.above, pair.u.above, pair.v.above}, width};
    if (taken) {
      lines.SwapAboveBelow();
      luma[kAboveRow] = lines.Luma(PlanarLineSet::kAbove);
      chroma[kAboveRow] = lines.Chroma(PlanarLineSet::kAbove);
    } else {
      unpack(kAboveRow, PlanarLineSet::kAbove, pair.luma.above, pair.u.above, pair.v.above);
    }
    unpack(kBelowRow, PlanarLineSet::kBelow, pair.luma.below, pair.u.below, pair.v.below);
    lines.set_heldBelow({{pair.luma.below, pair.u.below, pair.v.below}, width});
  }
  // The kept line: the above rows (field flag 1) or the below rows (0), or the kept rows of the
  // kernels that take them; rows already unpacked are not unpacked again.
  const bool upper = pair.fieldFlag == 1;
  const std::uint8_t* keptY = KeptFromKeptRows ? pair.luma.kept : (upper ? pair.luma.above : pair.luma.below);
  const std::uint8_t* keptU = KeptFromKeptRows ? pair.u.kept : (upper ? pair.u.above : pair.u.below);
  const std::uint8_t* keptV = KeptFromKeptRows ? pair.v.kept : (upper ? pair.v.above : pair.v.below);
  if (!weave && keptY == pair.luma.above && keptU == pair.u.above && keptV == pair.v.above) {
    luma[kKeptRow] = luma[kAboveRow];
    chroma[kKeptRow] = chroma[kAboveRow];
  } else if (!weave && keptY == pair.luma.below && keptU == pair.u.below && keptV == pair.v.below) {
    luma[kKeptRow] = luma[kBelowRow];
    chroma[kKeptRow] = chroma[kBelowRow];
  } else {
    unpack(kKeptRow, PlanarLineSet::kKept, keptY, keptU, keptV);
  }
  if constexpr (weave) {
    unpack(kPreviousRow, PlanarLineSet::kPrevious, pair.luma.previous, pair.u.previous, pair.v.previous);
  }
  if constexpr (ReadsOtherPictures(I)) {
    // Only the luma of the other field's rows is read.
    unpack(kPreviousRow, PlanarLineSet::kPrevious, pair.luma.previous, nullptr, nullptr);
    unpack(kNextRow, PlanarLineSet::kNext, pair.luma.next, nullptr, nullptr);
  }

  std::uint8_t* differences[PlanarLineSet::kDirections] = {};
  if constexpr (IsEdgeDirected(I)) {
    for (int d = 0; d < PlanarLineSet::kDirections; ++d) differences[d] = lines.Difference(d);
    EdgeDifferences<Load>(luma[kAboveRow], luma[kBelowRow], groups, differences);
  }

  HistogramParts parts;
  PairOutput<Load, Sharpen, Stages, StatisticsFromNext> output(context, &parts, width, groups, pair.fieldFlag,
                                                               pair.rowIndex, pair.keptDestination,
                                                               pair.fillDestination);
  // The lines a group reads, known at compile time, so that its set-up unrolls to plain adds.
  constexpr bool readLuma[kRowRoles] = {true, !weave, !weave, weave || ReadsOtherPictures(I),
                                        ReadsOtherPictures(I) || StatisticsFromNext};
  constexpr bool readChroma[kRowRoles] = {true, !weave, !weave, weave, false};
  for (int g = 0; g < groups; ++g) {
    LineGroup<Load> group;
#pragma GCC unroll 5
    for (int r = 0; r < kRowRoles; ++r) {
      group.luma[r] = readLuma[r] ? luma[r] + 16 * g : nullptr;
      group.chroma[r] = readChroma[r] ? chroma[r] + 16 * g : nullptr;
    }
#pragma GCC unroll 3
    for (int d = 0; d < PlanarLineSet::kDirections; ++d) group.difference[d] = differences[d] + 16 * g;
    output.Put(g, ComputeGroup<I, StatisticsFromNext>(group));
  }
  output.Finish();
}

// ---- Tables ---------------------------------------------------------------------------------

// The seven pairs (weave, line average and field median with sharpness; edge-directed without
// and with; edge median without and with), each contrast off and on.
template <class Load, int Pair, bool Contrast>
struct PairMember {
  static constexpr Interpolator kInterpolator =
      Pair == 0 ? Interpolator::Weave
                : Pair == 1 ? Interpolator::LineAverage
                            : Pair == 2 ? Interpolator::FieldMedian
                                        : Pair <= 4 ? Interpolator::EdgeDirected : Interpolator::EdgeMedian;
  static constexpr bool kSharpen = Pair != 3 && Pair != 5;
  static constexpr PackedKernel packed = &PackedVectorKernel<Load, kInterpolator, kSharpen, Contrast ? kContrastStages : 0, false>;
  static constexpr PlanarKernel planar = &PlanarVectorKernel<Load, kInterpolator, kSharpen, Contrast ? kContrastStages : 0, false, false>;
};

// The sharpness-off rules of modes 0..2: copy (weave), average, median (its statistics from
// the next picture's line); the planar members keep their kept rows.
template <class Load, int Rule, bool Contrast>
struct RuleMember {
  static constexpr Interpolator kInterpolator =
      Rule == 0 ? Interpolator::Weave : Rule == 1 ? Interpolator::LineAverage : Interpolator::FieldMedian;
  static constexpr bool kFromNext = Rule == 2;
  static constexpr PackedKernel packed = &PackedVectorKernel<Load, kInterpolator, false, Contrast ? kContrastStages : 0, kFromNext>;
  static constexpr PlanarKernel planar = &PlanarVectorKernel<Load, kInterpolator, false, Contrast ? kContrastStages : 0, kFromNext, true>;
};

template <class Load, int Pair>
void InstallPair(KernelTable* table) {
  table->pairs[Pair][0] = {PairMember<Load, Pair, false>::packed, PairMember<Load, Pair, false>::planar};
  table->pairs[Pair][1] = {PairMember<Load, Pair, true>::packed, PairMember<Load, Pair, true>::planar};
}

template <class Load>
void InstallPairs(KernelTable* table) {
  InstallPair<Load, 0>(table);
  InstallPair<Load, 1>(table);
  InstallPair<Load, 2>(table);
  InstallPair<Load, 3>(table);
  InstallPair<Load, 4>(table);
  InstallPair<Load, 5>(table);
  InstallPair<Load, 6>(table);
}

template <class Load, int Rule>
void InstallRule(KernelTable* table) {
  table->rules[Rule][0] = {RuleMember<Load, Rule, false>::packed, RuleMember<Load, Rule, false>::planar};
  table->rules[Rule][1] = {RuleMember<Load, Rule, true>::packed, RuleMember<Load, Rule, true>::planar};
}

template <class Load>
void InstallRules(KernelTable* table) {
  InstallRule<Load, 0>(table);
  InstallRule<Load, 1>(table);
  InstallRule<Load, 2>(table);
}

// The heaviest pair with one contrast stage alone, for the benchmark.
template <class Load>
void InstallStageProbes(StageProbes* probes) {
  probes->statisticsOnly = {&PackedVectorKernel<Load, Interpolator::EdgeMedian, true, kStatisticsStage, false>,
                            &PlanarVectorKernel<Load, Interpolator::EdgeMedian, true, kStatisticsStage, false, false>};
  probes->lookupOnly = {&PackedVectorKernel<Load, Interpolator::EdgeMedian, true, kLookupStage, false>,
                        &PlanarVectorKernel<Load, Interpolator::EdgeMedian, true, kLookupStage, false, false>};
}

}  // namespace
}  // namespace deinterlace

#undef VORN_KERNEL_INLINE

// MMX only (no SSE integer instructions such as pavgb or pminsw): these run on processors that
// have nothing newer. Groups are read and written with 8-byte moves of unaligned memory.
#include "filters/deinterlace/frame_deinterlacer_mmx.h"

#include <mmintrin.h>

#include <cstring>

#include "filters/deinterlace/cpu_features.h"

namespace deinterlace {

namespace {

__m64 Load8(const std::uint8_t* p) {
  __m64 v;
  std::memcpy(&v, p, 8);
  return v;
}
void Store8(std::uint8_t* p, __m64 v) { std::memcpy(p, &v, 8); }

// One comb weight step: all-ones lanes where the pixel combs and both distances exceed n.
__m64 CombBeyond(__m64 comb, __m64 d1, __m64 d2, short n) {
  const __m64 limit = _mm_set1_pi16(n);
  return _mm_and_si64(comb, _mm_and_si64(_mm_cmpgt_pi16(d1, limit), _mm_cmpgt_pi16(d2, limit)));
}

}  // namespace

void AverageLineMmx(const std::uint8_t* above, const std::uint8_t*, const std::uint8_t* below, std::uint8_t* out,
                    std::size_t bytes) noexcept {
  const __m64 zero = _mm_setzero_si64();
  const __m64 one = _mm_set1_pi16(1);
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    const __m64 a = Load8(above + i);
    const __m64 b = Load8(below + i);
    const __m64 low = _mm_srli_pi16(_mm_add_pi16(_mm_add_pi16(_mm_unpacklo_pi8(a, zero), _mm_unpacklo_pi8(b, zero)), one), 1);
    const __m64 high = _mm_srli_pi16(_mm_add_pi16(_mm_add_pi16(_mm_unpackhi_pi8(a, zero), _mm_unpackhi_pi8(b, zero)), one), 1);
    Store8(out + i, _mm_packs_pu16(low, high));
  }
  _mm_empty();
  for (; i < bytes; ++i) out[i] = static_cast<std::uint8_t>((above[i] + below[i] + 1) >> 1);
}

void AdaptiveBlendLineMmx(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below,
                          std::uint8_t* out, std::size_t bytes) noexcept {
  const __m64 lumaMask = _mm_set1_pi16(0x00FF);
  const __m64 rounding = _mm_set1_pi16(15);
  const __m64 sixteen = _mm_set1_pi16(16);
  std::size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    const __m64 a = Load8(above + i), m = Load8(middle + i), b = Load8(below + i);
    const __m64 ay = _mm_and_si64(a, lumaMask), my = _mm_and_si64(m, lumaMask), by = _mm_and_si64(b, lumaMask);
    const __m64 ac = _mm_srli_pi16(a, 8), mc = _mm_srli_pi16(m, 8), bc = _mm_srli_pi16(b, 8);
    // A comb: exactly one of A - M < 0 and M - B < 0 holds.
    const __m64 comb = _mm_xor_si64(_mm_cmpgt_pi16(my, ay), _mm_cmpgt_pi16(by, my));
    const __m64 d1 = _mm_or_si64(_mm_subs_pu16(ay, my), _mm_subs_pu16(my, ay));
    const __m64 d2 = _mm_or_si64(_mm_subs_pu16(my, by), _mm_subs_pu16(by, my));
    const __m64 over8 = CombBeyond(comb, d1, d2, 8);
    const __m64 over16 = CombBeyond(comb, d1, d2, 16);
    const __m64 over24 = CombBeyond(comb, d1, d2, 24);
    const __m64 over32 = CombBeyond(comb, d1, d2, 32);
    // The steps are nested, so the weights add up: ws 3, 4, 6, 8 and wm 10, 8, 4, 0.
    const __m64 ws = _mm_add_pi16(_mm_add_pi16(_mm_and_si64(over8, _mm_set1_pi16(3)), _mm_and_si64(over16, _mm_set1_pi16(1))),
                                  _mm_add_pi16(_mm_and_si64(over24, _mm_set1_pi16(2)), _mm_and_si64(over32, _mm_set1_pi16(2))));
    const __m64 wm = _mm_sub_pi16(
        sixteen, _mm_add_pi16(_mm_add_pi16(_mm_and_si64(over8, _mm_set1_pi16(6)), _mm_and_si64(over16, _mm_set1_pi16(2))),
                              _mm_add_pi16(_mm_and_si64(over24, _mm_set1_pi16(4)), _mm_and_si64(over32, _mm_set1_pi16(4)))));
    // 2 * ws + wm = 16: the blend stays within 0..255 (at most 4095 + 15 before the shift).
    const __m64 y = _mm_srli_pi16(
        _mm_add_pi16(_mm_add_pi16(_mm_mullo_pi16(_mm_add_pi16(ay, by), ws), _mm_mullo_pi16(my, wm)), rounding), 4);
    const __m64 c = _mm_srli_pi16(
        _mm_add_pi16(_mm_add_pi16(_mm_mullo_pi16(_mm_add_pi16(ac, bc), ws), _mm_mullo_pi16(mc, wm)), rounding), 4);
    Store8(out + i, _mm_or_si64(y, _mm_slli_pi16(c, 8)));
  }
  _mm_empty();
  if (i < bytes) AdaptiveBlendLine(above + i, middle + i, below + i, out + i, bytes - i);
}

void MmxFrameDeinterlacer::LineAverage(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                                       int height, int sourcePitch) {
  RunLineRule(source, destination, destinationPitch, height, sourcePitch, &AverageLineMmx);
}

void MmxFrameDeinterlacer::AdaptiveBlend(const std::uint8_t* source, std::uint8_t* destination,
                                         int destinationPitch, int height, int sourcePitch) {
  RunLineRule(source, destination, destinationPitch, height, sourcePitch, &AdaptiveBlendLineMmx);
}

FrameDeinterlacer& WholeFrameMethods(std::uint32_t mask) {
  static MmxFrameDeinterlacer mmx;
  static FrameDeinterlacer portable;
  if (mask & kCpuMmx) return mmx;
  return portable;
}

}  // namespace deinterlace

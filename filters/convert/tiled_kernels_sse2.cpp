// SSE2 kernels of the tiled converter: the vertical chroma interpolation sixteen bytes at a
// time, and the luma/chroma interleave straight out of the luma tiles. Loads and stores are
// unaligned: the output comes from an allocator that promises no alignment.
#include <emmintrin.h>

#include "filters/convert/tiled_kernels.h"

namespace convert {

namespace {

// Eight 16-bit lanes of (-3a + 27b + 27c - 3d) for one half of the bytes, then to 8 lanes of
// 16-bit results: widened to 32 bits, times 1/48 in single precision, rounded to nearest.
inline __m128i ScaleHalf(__m128i sum16, __m128 inv48) {
  const __m128i sign = _mm_srai_epi16(sum16, 15);
  const __m128i lo = _mm_unpacklo_epi16(sum16, sign);
  const __m128i hi = _mm_unpackhi_epi16(sum16, sign);
  const __m128i rlo = _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(lo), inv48));
  const __m128i rhi = _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(hi), inv48));
  return _mm_packs_epi32(rlo, rhi);
}

inline __m128i Weighted(__m128i a, __m128i b, __m128i c, __m128i d, __m128i k27, __m128i km3) {
  const __m128i inner = _mm_mullo_epi16(_mm_adds_epi16(b, c), k27);
  const __m128i outer = _mm_mullo_epi16(_mm_adds_epi16(a, d), km3);
  return _mm_adds_epi16(inner, outer);
}

}  // namespace

void InterpolateSse2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, const std::uint8_t* d,
                     std::uint8_t* out, int bytes) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i k27 = _mm_set1_epi16(27);
  const __m128i km3 = _mm_set1_epi16(-3);
  const __m128 inv48 = _mm_set1_ps(1.0f / 48.0f);
  int i = 0;
  for (; i + 16 <= bytes; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i));
    const __m128i vd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    const __m128i lo = Weighted(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero),
                                _mm_unpacklo_epi8(vc, zero), _mm_unpacklo_epi8(vd, zero), k27, km3);
    const __m128i hi = Weighted(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero),
                                _mm_unpackhi_epi8(vc, zero), _mm_unpackhi_epi8(vd, zero), k27, km3);
    const __m128i packed = _mm_packus_epi16(ScaleHalf(lo, inv48), ScaleHalf(hi, inv48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
  }
  if (i < bytes) InterpolateC(a + i, b + i, c + i, d + i, out + i, bytes - i);
}

void PackTiledRowSse2(const std::uint8_t* lumaRow, const std::uint8_t* chroma, std::uint8_t* out, int strips) {
  for (int s = 0; s < strips; ++s) {
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lumaRow + static_cast<std::size_t>(s) * kTileBytes));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chroma + 16 * s));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * s), _mm_unpacklo_epi8(y, c));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * s + 16), _mm_unpackhi_epi8(y, c));
  }
}

}  // namespace convert

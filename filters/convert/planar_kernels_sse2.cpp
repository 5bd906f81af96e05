// SSE2 row packer of the planar converter. Twelve pixels per step: two 6-of-8 luma groups are
// joined into twelve contiguous bytes by 64-bit shifts, Cb and Cr groups interleave into pairs,
// and luma and pairs interleave into 24 output bytes (one 16-byte and one 8-byte store). Every
// access is unaligned: the buffers come from allocators that promise no alignment.
#include <emmintrin.h>

#include "filters/convert/planar_kernels.h"

namespace convert {

void PackRowSse2(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                 int samples) {
  const __m128i low48 = _mm_set_epi32(0, 0, 0x0000FFFF, static_cast<int>(0xFFFFFFFF));
  const int units = samples / 12;
  for (int u = 0; u < units; ++u) {
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + 16 * u));
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + 16 * u + 8));
    // Bytes 0-5 of a, then 0-5 of b; what follows byte 11 is never stored.
    const __m128i lumaLow = _mm_or_si128(_mm_and_si128(a, low48), _mm_slli_epi64(b, 48));
    const __m128i luma = _mm_unpacklo_epi64(lumaLow, _mm_srli_epi64(b, 16));
    const __m128i u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb + 8 * u));
    const __m128i v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr + 8 * u));
    const __m128i pairs = _mm_unpacklo_epi8(u8, v8);
    std::uint8_t* o = out + 24 * u;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(luma, pairs));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi8(luma, pairs));
  }
  // A row that is not a whole number of steps ends in the reference.
  const int done = units * 12;
  if (done < samples) {
    const int groups = done / 6;
    PackRowC(y + 8 * groups, cb + 8 * (groups / 2), cr + 8 * (groups / 2), out + 2 * done, samples - done);
  }
}

}  // namespace convert

// The drawer's blend eight pixels at a time (built with SSE2; called only when the processor
// has it). The products fit 16 bits: luma * weight <= 255 * 256 unsigned, (chroma - 128) *
// weight within -32768..32512 signed, so the lanes give the scalar formula's bytes.
#include <emmintrin.h>

#include "filters/deinterlace/menu_background_drawer.h"

namespace deinterlace {

void BlendPixelsSse2(const std::uint8_t* source, std::uint8_t* destination, int pixels, int weight) {
  const __m128i w = _mm_set1_epi16(static_cast<short>(weight));
  const __m128i lumaMask = _mm_set1_epi16(0x00FF);
  const __m128i bias = _mm_set1_epi16(0x0080);
  int i = 0;
  for (; i + 8 <= pixels; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 2 * i));
    const __m128i luma = _mm_srli_epi16(_mm_mullo_epi16(_mm_and_si128(v, lumaMask), w), 8);
    const __m128i chroma = _mm_sub_epi16(_mm_srli_epi16(v, 8), bias);
    const __m128i scaled = _mm_add_epi16(_mm_srai_epi16(_mm_mullo_epi16(chroma, w), 8), bias);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + 2 * i), _mm_or_si128(luma, _mm_slli_epi16(scaled, 8)));
  }
  BlendPixels(source + 2 * i, destination + 2 * i, pixels - i, weight);
}

}  // namespace deinterlace

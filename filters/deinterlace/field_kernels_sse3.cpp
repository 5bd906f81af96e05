// The SSE3 builds of the seven kernel pairs: the same body as the SSE2 build, with unaligned
// loads through lddqu. The sharpness-off rules have no SSE3 build.
#include <pmmintrin.h>

#include "filters/deinterlace/field_kernels_vector.h"

namespace deinterlace {

namespace {
struct Sse3Load {
  static __m128i Unaligned(const void* p) { return _mm_lddqu_si128(static_cast<const __m128i*>(p)); }
};
}  // namespace

void InstallSse3Kernels(KernelTable* table) { InstallPairs<Sse3Load>(table); }

void InstallSse3StageProbes(StageProbes* probes) { InstallStageProbes<Sse3Load>(probes); }

}  // namespace deinterlace

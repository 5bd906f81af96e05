// The SSE2 builds of the field kernels: the seven pairs and the sharpness-off rules, packed and
// planar, each contrast off and on. Unaligned loads are movdqu.
#include <emmintrin.h>

#include "filters/deinterlace/field_kernels_vector.h"

namespace deinterlace {

namespace {
struct Sse2Load {
  static __m128i Unaligned(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
};
}  // namespace

void InstallSse2Kernels(KernelTable* table) {
  InstallPairs<Sse2Load>(table);
  InstallRules<Sse2Load>(table);
}

void InstallSse2StageProbes(StageProbes* probes) { InstallStageProbes<Sse2Load>(probes); }

}  // namespace deinterlace

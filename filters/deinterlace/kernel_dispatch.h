// Which code runs a field: the kernel table filled once from the processor mask, and the
// choice per field from the mode, "Qfa Contrast" and "Qfa Sharpness".
//
// The table starts with the scalar reference everywhere, then the SSE2 kernels replace it when
// the processor has SSE2 (or SSE3), then the SSE3 builds of the seven pairs replace those when
// it has SSE3. The sharpness-off rules have no SSE3 build.
#pragma once

#include <cstdint>

#include "filters/deinterlace/field_kernels.h"

namespace deinterlace {

// One kernel for packed input and its twin for planar input.
struct KernelSet {
  PackedKernel packed = nullptr;
  PlanarKernel planar = nullptr;
};

enum class KernelIsa { Reference, Sse2, Sse3 };
const char* KernelIsaName(KernelIsa isa) noexcept;

struct KernelTable {
  KernelSet pairs[7][2];  // [pair][contrast]
  KernelSet rules[3][2];  // [FieldRule][contrast]
  KernelIsa pairIsa = KernelIsa::Reference;
  KernelIsa ruleIsa = KernelIsa::Reference;
};

// The table for a processor mask (pure; tests pass masks of their own).
KernelTable BuildKernelTable(std::uint32_t mask);
// The table of this process: built once from ProcessorMask::Get() on the first call.
const KernelTable& ProcessKernelTable();

// What a field runs. For whole-frame work (modes 7..9) the kernels are null.
struct FieldKernels {
  FieldWork work;
  KernelKind kind;     // what the kernels compute (the reference's description of them)
  KernelSet kernels;
  bool pipelined;      // sharpen kernels: one row pair late, with a closing call
};
FieldKernels SelectFieldKernels(const KernelTable& table, int mode, bool contrast, bool sharpness);

// The edge-median sharpen kernel (pair 6) with only one of its contrast stages, the statistics
// or the curve lookup: the benchmark's way to split the heaviest mode by stage. Null members
// without SSE2. The filter never runs them.
struct StageProbes {
  KernelSet statisticsOnly;
  KernelSet lookupOnly;
};
StageProbes BuildStageProbes(std::uint32_t mask);

// Installed by the instruction sets' own translation units.
void InstallSse2Kernels(KernelTable* table);
void InstallSse3Kernels(KernelTable* table);
void InstallSse2StageProbes(StageProbes* probes);
void InstallSse3StageProbes(StageProbes* probes);

}  // namespace deinterlace

#include "filters/deinterlace/kernel_dispatch.h"

#include "filters/deinterlace/cpu_features.h"

namespace deinterlace {

namespace {

template <int Pair, bool Contrast>
void ReferencePairPacked(KernelContext& context, const PackedRowPair& pair) {
  ReferencePackedKernel(PairKernel(Pair, Contrast), context, pair);
}
template <int Pair, bool Contrast>
void ReferencePairPlanar(KernelContext& context, const PlanarRowPair& pair) {
  ReferencePlanarKernel(PairKernel(Pair, Contrast), context, pair);
}
template <int Rule, bool Contrast>
void ReferenceRulePacked(KernelContext& context, const PackedRowPair& pair) {
  ReferencePackedKernel(FieldRuleKernel(static_cast<FieldRule>(Rule), Contrast), context, pair);
}
template <int Rule, bool Contrast>
void ReferenceRulePlanar(KernelContext& context, const PlanarRowPair& pair) {
  ReferencePlanarKernel(FieldRuleKernel(static_cast<FieldRule>(Rule), Contrast), context, pair);
}

template <int Pair>
void InstallReferencePair(KernelTable* table) {
  table->pairs[Pair][0] = {&ReferencePairPacked<Pair, false>, &ReferencePairPlanar<Pair, false>};
  table->pairs[Pair][1] = {&ReferencePairPacked<Pair, true>, &ReferencePairPlanar<Pair, true>};
}
template <int Rule>
void InstallReferenceRule(KernelTable* table) {
  table->rules[Rule][0] = {&ReferenceRulePacked<Rule, false>, &ReferenceRulePlanar<Rule, false>};
  table->rules[Rule][1] = {&ReferenceRulePacked<Rule, true>, &ReferenceRulePlanar<Rule, true>};
}

}  // namespace

const char* KernelIsaName(KernelIsa isa) noexcept {
  switch (isa) {
    case KernelIsa::Sse2: return "SSE2";
    case KernelIsa::Sse3: return "SSE3";
    default: return "C";
  }
}

KernelTable BuildKernelTable(std::uint32_t mask) {
  KernelTable table;
  InstallReferencePair<0>(&table);
  InstallReferencePair<1>(&table);
  InstallReferencePair<2>(&table);
  InstallReferencePair<3>(&table);
  InstallReferencePair<4>(&table);
  InstallReferencePair<5>(&table);
  InstallReferencePair<6>(&table);
  InstallReferenceRule<0>(&table);
  InstallReferenceRule<1>(&table);
  InstallReferenceRule<2>(&table);
  // Every processor with SSE3 has SSE2.
  if (mask & (kCpuSse2 | kCpuSse3)) {
    InstallSse2Kernels(&table);
    table.pairIsa = KernelIsa::Sse2;
    table.ruleIsa = KernelIsa::Sse2;
  }
  if (mask & kCpuSse3) {
    InstallSse3Kernels(&table);
    table.pairIsa = KernelIsa::Sse3;
  }
  return table;
}

StageProbes BuildStageProbes(std::uint32_t mask) {
  StageProbes probes;
  if (mask & kCpuSse3) {
    InstallSse3StageProbes(&probes);
  } else if (mask & kCpuSse2) {
    InstallSse2StageProbes(&probes);
  }
  return probes;
}

const KernelTable& ProcessKernelTable() {
  static const KernelTable table = BuildKernelTable(ProcessorMask::Get());
  return table;
}

FieldKernels SelectFieldKernels(const KernelTable& table, int mode, bool contrast, bool sharpness) {
  FieldKernels choice;
  choice.work = SelectFieldWork(mode, sharpness);
  choice.kind = KernelForWork(choice.work, contrast);
  choice.pipelined = false;
  const int member = contrast ? 1 : 0;
  switch (choice.work.type) {
    case FieldWork::Pair:
      choice.kernels = table.pairs[choice.work.index][member];
      choice.pipelined = choice.kind.sharpen;
      break;
    case FieldWork::Rule:
      choice.kernels = table.rules[choice.work.index][member];
      break;
    case FieldWork::WholeFrame:
      break;
  }
  return choice;
}

}  // namespace deinterlace

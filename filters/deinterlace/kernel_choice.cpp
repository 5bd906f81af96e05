// Which kernel serves a mode: the per-field choice runs on every processor, so this unit is
// compiled for the baseline instruction set (on i686 the reference kernels' unit is built with
// SSE2 math and only runs on processors that have it).
#include "filters/deinterlace/field_kernels.h"

namespace deinterlace {

KernelKind PairKernel(int pair, bool contrast) {
  KernelKind kind;
  kind.contrast = contrast;
  switch (pair) {
    case 0: kind.interpolator = Interpolator::Weave; kind.sharpen = true; break;
    case 1: kind.interpolator = Interpolator::LineAverage; kind.sharpen = true; break;
    case 2: kind.interpolator = Interpolator::FieldMedian; kind.sharpen = true; break;
    case 3: kind.interpolator = Interpolator::EdgeDirected; break;
    case 4: kind.interpolator = Interpolator::EdgeDirected; kind.sharpen = true; break;
    case 5: kind.interpolator = Interpolator::EdgeMedian; break;
    default: kind.interpolator = Interpolator::EdgeMedian; kind.sharpen = true; break;
  }
  return kind;
}

KernelKind FieldRuleKernel(FieldRule rule, bool contrast) {
  KernelKind kind;
  kind.contrast = contrast;
  kind.keptFromKeptRows = true;
  switch (rule) {
    case FieldRule::Copy: kind.interpolator = Interpolator::Weave; break;
    case FieldRule::Average: kind.interpolator = Interpolator::LineAverage; break;
    case FieldRule::Median:
      kind.interpolator = Interpolator::FieldMedian;
      kind.statisticsFromNext = true;
      break;
  }
  return kind;
}

FieldWork SelectFieldWork(int mode, bool sharpness) {
  if (mode >= 7 && mode <= 9) return {FieldWork::WholeFrame, mode - 7};
  if (mode >= 0 && mode <= 2) {
    return sharpness ? FieldWork{FieldWork::Pair, mode} : FieldWork{FieldWork::Rule, mode};
  }
  if (mode == 3) return {FieldWork::Pair, sharpness ? 4 : 3};
  return {FieldWork::Pair, sharpness ? 6 : 5};
}

KernelKind KernelForWork(const FieldWork& work, bool contrast) {
  if (work.type == FieldWork::Rule) return FieldRuleKernel(static_cast<FieldRule>(work.index), contrast);
  return PairKernel(work.type == FieldWork::Pair ? work.index : 0, contrast);
}

}  // namespace deinterlace

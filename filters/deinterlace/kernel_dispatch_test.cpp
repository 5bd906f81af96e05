#include "filters/deinterlace/kernel_dispatch.h"

#include <gtest/gtest.h>

#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/frame_deinterlacer_mmx.h"

namespace deinterlace {
namespace {

constexpr std::uint32_t kSse2Mask = kCpuMmx | kCpuSseInteger | kCpuSse2;
constexpr std::uint32_t kSse3Mask = kSse2Mask | kCpuSse3;

bool Same(const KernelSet& a, const KernelSet& b) { return a.packed == b.packed && a.planar == b.planar; }

TEST(KernelTable, ReferenceFirstThenSse2ThenSse3) {
  const KernelTable c = BuildKernelTable(0), mmx = BuildKernelTable(kCpuMmx | kCpuSseInteger),
                    sse2 = BuildKernelTable(kSse2Mask), sse3 = BuildKernelTable(kSse3Mask);
  EXPECT_EQ(c.pairIsa, KernelIsa::Reference);
  EXPECT_EQ(mmx.pairIsa, KernelIsa::Reference);
  EXPECT_EQ(sse2.pairIsa, KernelIsa::Sse2);
  EXPECT_EQ(sse3.pairIsa, KernelIsa::Sse3);
  EXPECT_EQ(sse3.ruleIsa, KernelIsa::Sse2);
  for (int pair = 0; pair < 7; ++pair) {
    for (int contrast = 0; contrast < 2; ++contrast) {
      EXPECT_TRUE(Same(c.pairs[pair][contrast], mmx.pairs[pair][contrast]));
      EXPECT_FALSE(Same(c.pairs[pair][contrast], sse2.pairs[pair][contrast]));
      EXPECT_FALSE(Same(sse2.pairs[pair][contrast], sse3.pairs[pair][contrast]));
      EXPECT_NE(sse2.pairs[pair][contrast].packed, nullptr);
      EXPECT_NE(sse3.pairs[pair][contrast].planar, nullptr);
      // Contrast picks the second member.
      EXPECT_NE(sse3.pairs[pair][0].packed, sse3.pairs[pair][1].packed);
    }
  }
  for (int rule = 0; rule < 3; ++rule) {
    for (int contrast = 0; contrast < 2; ++contrast) {
      // The rules have no SSE3 build: the same kernels whatever SSE3 says.
      EXPECT_TRUE(Same(sse2.rules[rule][contrast], sse3.rules[rule][contrast]));
      EXPECT_FALSE(Same(c.rules[rule][contrast], sse2.rules[rule][contrast]));
    }
  }
  // A mask that claims SSE3 alone still gets the SSE2 rules.
  EXPECT_EQ(BuildKernelTable(kCpuSse3).ruleIsa, KernelIsa::Sse2);
}

TEST(KernelTable, ProcessTableFollowsTheMask) {
  const KernelTable& table = ProcessKernelTable();
  EXPECT_EQ(&table, &ProcessKernelTable());
  const KernelTable expected = BuildKernelTable(ProcessorMask::Get());
  EXPECT_EQ(table.pairIsa, expected.pairIsa);
  EXPECT_TRUE(Same(table.pairs[6][1], expected.pairs[6][1]));
}

TEST(SelectFieldKernels, ModeSharpnessContrastTable) {
  const KernelTable sse3 = BuildKernelTable(kSse3Mask);
  struct Row {
    int mode;
    bool sharpness;
    FieldWork::Type type;
    int index;
  };
  const Row rows[] = {
      {0, true, FieldWork::Pair, 0},  {1, true, FieldWork::Pair, 1},  {2, true, FieldWork::Pair, 2},
      {3, true, FieldWork::Pair, 4},  {4, true, FieldWork::Pair, 6},  {6, true, FieldWork::Pair, 6},
      {0, false, FieldWork::Rule, 0}, {1, false, FieldWork::Rule, 1}, {2, false, FieldWork::Rule, 2},
      {3, false, FieldWork::Pair, 3}, {5, false, FieldWork::Pair, 5}, {-3, false, FieldWork::Pair, 5},
      {10, true, FieldWork::Pair, 6}, {7, true, FieldWork::WholeFrame, 0}, {9, false, FieldWork::WholeFrame, 2},
  };
  for (const Row& row : rows) {
    for (bool contrast : {false, true}) {
      const FieldKernels k = SelectFieldKernels(sse3, row.mode, contrast, row.sharpness);
      EXPECT_EQ(k.work.type, row.type) << row.mode;
      EXPECT_EQ(k.work.index, row.index) << row.mode;
      EXPECT_EQ(k.kind.contrast, contrast);
      const KernelSet expected = row.type == FieldWork::Pair   ? sse3.pairs[row.index][contrast]
                                 : row.type == FieldWork::Rule ? sse3.rules[row.index][contrast]
                                                               : KernelSet{};
      EXPECT_TRUE(Same(k.kernels, expected)) << row.mode;
      EXPECT_EQ(k.pipelined, row.type == FieldWork::Pair && row.sharpness) << row.mode;
    }
  }
}

TEST(WholeFrameMethods, MmxWhenTheMaskHasIt) {
  EXPECT_NE(dynamic_cast<MmxFrameDeinterlacer*>(&WholeFrameMethods(kCpuMmx)), nullptr);
  EXPECT_EQ(dynamic_cast<MmxFrameDeinterlacer*>(&WholeFrameMethods(0)), nullptr);
}

}  // namespace
}  // namespace deinterlace

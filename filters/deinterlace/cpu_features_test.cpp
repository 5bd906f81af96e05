#include "filters/deinterlace/cpu_features.h"

#include <gtest/gtest.h>

#include <cstring>

namespace deinterlace {
namespace {

constexpr std::uint32_t kEdxMmx = 1u << 23, kEdxSse = 1u << 25, kEdxSse2 = 1u << 26;

CpuidLeaves Intel(std::uint32_t edx, std::uint32_t ecx = 0) {
  CpuidLeaves leaves;
  leaves.hasCpuid = true;
  std::strcpy(leaves.vendor, "GenuineIntel");
  leaves.maxStandardLeaf = 1;
  leaves.leaf1Edx = edx;
  leaves.leaf1Ecx = ecx;
  return leaves;
}

CpuidLeaves Amd(std::uint32_t edx, std::uint32_t extendedEdx, std::uint32_t signature = 0) {
  CpuidLeaves leaves = Intel(edx);
  std::strcpy(leaves.vendor, "AuthenticAMD");
  leaves.leaf1Eax = signature;
  leaves.maxExtendedLeaf = 0x80000001u;
  leaves.extendedLeaf1Edx = extendedEdx;
  return leaves;
}

TEST(CpuFeatures, SseGenerationsGiveTheirBitsAndPath) {
  const auto sse2 = ComputeCpuFeatures(Intel(kEdxMmx | kEdxSse | kEdxSse2));
  EXPECT_EQ(sse2.mask, kCpuMmx | kCpuSseInteger | kCpuSse2);
  EXPECT_FALSE(IsMmxPath(sse2.mask));

  const auto sse3 = ComputeCpuFeatures(Intel(kEdxMmx | kEdxSse | kEdxSse2, 1));
  EXPECT_EQ(sse3.mask & kCpuSse3, kCpuSse3);

  const auto mmxSse = ComputeCpuFeatures(Intel(kEdxMmx | kEdxSse));
  EXPECT_EQ(mmxSse.mask, 5u);
  EXPECT_TRUE(IsMmxPath(mmxSse.mask));
  std::int32_t score = 0;
  ASSERT_TRUE(ProcessorScore(mmxSse.mask, &score));
  EXPECT_EQ(score, 35);
  ASSERT_TRUE(ProcessorScore(sse2.mask, &score));
  EXPECT_EQ(score, 40);
  ASSERT_TRUE(ProcessorScore(kCpuMmx, &score));
  EXPECT_EQ(score, 30);
}

TEST(CpuFeatures, AmdRules) {
  // Extended MMX without SSE counts as SSE integer instructions, for AMD only.
  const auto extendedMmx = ComputeCpuFeatures(Amd(kEdxMmx, 1u << 22));
  EXPECT_EQ(extendedMmx.raw & kRawExtendedMmx, kRawExtendedMmx);
  EXPECT_EQ(extendedMmx.mask, kCpuMmx | kCpuSseInteger);
  CpuidLeaves notAmd = Amd(kEdxMmx, 1u << 22);
  std::strcpy(notAmd.vendor, "GenuineIntel");
  EXPECT_EQ(ComputeCpuFeatures(notAmd).mask, kCpuMmx);

  EXPECT_EQ(ComputeCpuFeatures(Amd(0, 1u << 31)).mask, kCpu3DNow);
  EXPECT_EQ(ComputeCpuFeatures(Amd(kEdxMmx, 1u << 31)).mask, kCpuMmx | kCpu3DNow);
  EXPECT_EQ(ComputeCpuFeatures(Amd(0, 1u << 30)).mask, kCpuSseInteger);  // extended 3DNow!

  EXPECT_EQ(ComputeCpuFeatures(Amd(0, 0, 0x588)).raw & kRawAmdSignature, kRawAmdSignature);
  EXPECT_EQ(ComputeCpuFeatures(Amd(0, 0, 0x5FF)).raw & kRawAmdSignature, kRawAmdSignature);
  EXPECT_EQ(ComputeCpuFeatures(Amd(0, 0, 0x587)).raw & kRawAmdSignature, 0u);
  EXPECT_EQ(ComputeCpuFeatures(Amd(0, 0, 0x600)).raw & kRawAmdSignature, 0u);
}

TEST(CpuFeatures, NoCpuidGivesNothing) {
  const auto none = ComputeCpuFeatures(CpuidLeaves{});
  EXPECT_EQ(none.raw, 0u);
  EXPECT_EQ(none.mask, 0u);
  std::int32_t score = -7;
  EXPECT_FALSE(ProcessorScore(none.mask, &score));
  EXPECT_EQ(score, -7);
  // Leaf 0 only: CPUID present, nothing else.
  CpuidLeaves leafZero;
  leafZero.hasCpuid = true;
  EXPECT_EQ(ComputeCpuFeatures(leafZero).raw, kRawCpuid);
}

TEST(CpuFeatures, HostAndOverride) {
  const std::uint32_t host = ProcessorMask::Detected();
  EXPECT_EQ(host & (kCpuSse2 | kCpuSse3), kCpuSse2 | kCpuSse3);
  EXPECT_EQ(ProcessorMask::Get(), host);
  ProcessorMask::SetOverride(kCpuMmx | kCpuSseInteger);
  EXPECT_EQ(ProcessorMask::Get(), 5u);
  EXPECT_TRUE(IsMmxPath(ProcessorMask::Get()));
  ProcessorMask::SetOverride(0);
  EXPECT_EQ(ProcessorMask::Get(), 0u);
  ProcessorMask::ClearOverride();
  EXPECT_EQ(ProcessorMask::Get(), host);
}

}  // namespace
}  // namespace deinterlace

#include "filters/deinterlace/sharpness_processor.h"

#include <gtest/gtest.h>

#include "filters/deinterlace/field_kernels.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/testing/registry_fixture.h"

namespace deinterlace {
namespace {

TEST(SharpnessProcessor, GainAndCoringFromTheTable) {
  SharpnessProcessor detached(nullptr);
  EXPECT_EQ(detached.gain(), 0.5f);
  EXPECT_EQ(detached.coring(), 5);

  testing::TestRegistryKey key;
  key.SetDword(params::kSharpnessFactor, 100);
  key.SetDword(params::kSharpnessCoring, 50);
  ParameterTable table;
  table.SetKey(key.pathWithSlash().c_str());
  SharpnessProcessor sharpness(&table);
  EXPECT_EQ(sharpness.gain(), 2.0f);
  EXPECT_EQ(sharpness.coring(), 10);
  int flags = 0;
  EXPECT_GT(table.Find(params::kSharpnessFactor, nullptr, nullptr, &flags), 0);
  EXPECT_EQ(flags, 1);

  table.SetByName(params::kSharpnessFactor, 0);
  table.SetByName(params::kSharpnessCoring, 2);
  EXPECT_EQ(sharpness.gain(), 2.0f);  // taken only when asked
  sharpness.LoadParameters();
  EXPECT_EQ(sharpness.gain(), 0.0f);
  EXPECT_EQ(sharpness.coring(), 2);
}

TEST(SharpnessProcessor, GainRoundsOnceFromTheDoubleQuotient) {
  // The i686 build divides on the x87 unit: rounding its wider quotient must give the same floats.
  for (int factor = 0; factor <= 100; ++factor) {
    const float viaLongDouble = static_cast<float>(static_cast<double>(static_cast<long double>(factor) / 50.0L));
    EXPECT_EQ(SharpnessGainFromFactor(factor), static_cast<float>(factor / 50.0)) << factor;
    EXPECT_EQ(SharpnessGainFromFactor(factor), viaLongDouble) << factor;
  }
}

// The vector emitters take the fixed-point product wherever a multiplier is given: it must give
// the reference's product for every cored value they meet. A few gains have none (a product
// that single precision rounds up to a whole number beside one it leaves below), and gains
// outside 0..2 have none; the default and the ends of the range have one.
TEST(SharpnessProcessor, FixedPointMultiplierGivesTheReferenceProduct) {
  ParameterTable table;
  SharpnessProcessor sharpness(&table);
  int withMultiplier = 0;
  for (int factor = 0; factor <= 100; ++factor) {
    table.SetByName(params::kSharpnessFactor, factor);
    sharpness.LoadParameters();
    const int multiplier = sharpness.multiplier();
    ASSERT_EQ(multiplier, SharpenMultiplier(sharpness.gain())) << factor;
    if (factor == 0 || factor == 25 || factor == 100) {
      EXPECT_GE(multiplier, 0) << factor;
    }
    if (multiplier < 0) continue;
    ++withMultiplier;
    for (int c = -kSharpenMaxCored; c <= kSharpenMaxCored; ++c) {
      const int magnitude = c < 0 ? -c : c;
      const int fixed = (4 * magnitude * multiplier) >> 16;
      ASSERT_EQ(c < 0 ? -fixed : fixed, SharpenCoreGain(c, 0, sharpness.gain())) << factor << " " << c;
    }
  }
  EXPECT_GE(withMultiplier, 90);
  EXPECT_EQ(SharpenMultiplier(-0.5f), -1);
  EXPECT_EQ(SharpenMultiplier(2.5f), -1);
}

TEST(SharpnessProcessor, RingsOnlyGrow) {
  SharpnessProcessor sharpness(nullptr);
  EXPECT_EQ(sharpness.groups(), 45);
  std::uint8_t* luma0 = sharpness.Luma(0);
  EXPECT_EQ(sharpness.SetWidth(720), S_OK);
  EXPECT_EQ(sharpness.Luma(0), luma0);
  EXPECT_EQ(sharpness.SetWidth(736), S_OK);
  EXPECT_EQ(sharpness.groups(), 46);
  luma0 = sharpness.Luma(0);
  EXPECT_EQ(sharpness.SetWidth(352), S_OK);
  EXPECT_EQ(sharpness.groups(), 46);
  EXPECT_EQ(sharpness.Luma(0), luma0);

  std::uint8_t* luma[SharpnessProcessor::kLumaSlots];
  std::uint16_t* low[SharpnessProcessor::kSumSlots];
  for (int i = 0; i < SharpnessProcessor::kLumaSlots; ++i) luma[i] = sharpness.Luma(i);
  for (int i = 0; i < SharpnessProcessor::kSumSlots; ++i) low[i] = sharpness.SumLow(i);
  sharpness.Rotate();
  EXPECT_EQ(sharpness.Luma(0), luma[1]);
  EXPECT_EQ(sharpness.Luma(5), luma[0]);
  EXPECT_EQ(sharpness.SumLow(0), low[1]);
  EXPECT_EQ(sharpness.SumLow(4), low[0]);
}

}  // namespace
}  // namespace deinterlace

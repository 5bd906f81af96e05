#include "filters/deinterlace/frame_deinterlacer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace deinterlace {
namespace {

std::vector<std::uint8_t> RandomFrame(int pitch, int height, unsigned seed) {
  std::vector<std::uint8_t> frame(2 * static_cast<size_t>(pitch) * height);
  std::mt19937 random(seed);
  for (auto& b : frame) b = static_cast<std::uint8_t>(random());
  return frame;
}

const std::uint8_t* Line(const std::vector<std::uint8_t>& frame, int pitch, int line) {
  return frame.data() + 2 * static_cast<size_t>(pitch) * line;
}

TEST(FrameDeinterlacer, CopyAndKindDispatch) {
  FrameDeinterlacer methods;
  const auto source = RandomFrame(720, 480, 1);
  std::vector<std::uint8_t> destination(source.size(), 0);
  methods.Run(FrameDeinterlacer::kCopy, source.data(), destination.data(), 720, 480, 720);
  EXPECT_EQ(destination, source);
  std::fill(destination.begin(), destination.end(), 0);
  methods.Run(17, source.data(), destination.data(), 720, 480, 720);  // unknown kinds copy
  EXPECT_EQ(destination, source);
}

TEST(FrameDeinterlacer, LineAverage) {
  FrameDeinterlacer methods;
  const int pitch = 8, height = 7;
  std::vector<std::uint8_t> source(2 * pitch * height);
  for (int line = 0; line < height; ++line) {
    std::memset(source.data() + 2 * pitch * line, line % 2 == 0 ? 10 + line : 200, 2 * pitch);
  }
  source[2 * pitch * 0] = 10;
  source[2 * pitch * 2] = 13;
  std::vector<std::uint8_t> destination(source.size(), 0xEE);
  methods.Run(FrameDeinterlacer::kLineAverage, source.data(), destination.data(), pitch, height, pitch);
  EXPECT_EQ(destination[2 * pitch * 1], 12);  // (10 + 13 + 1) >> 1
  EXPECT_EQ(destination[2 * pitch * 3 + 5], (12 + 14 + 1) >> 1);
  // Line 5 is the last odd line of the pairs: copied. Line 6 (odd height) is not written.
  EXPECT_EQ(0, std::memcmp(Line(destination, pitch, 5), Line(source, pitch, 5), 2 * pitch));
  EXPECT_EQ(destination[2 * pitch * 6], 0xEE);
}

TEST(FrameDeinterlacer, AdaptiveBlendExamplesAndCube) {
  EXPECT_EQ(AdaptiveBlendValue(100, 200, 100, AdaptiveBlendWeights(100, 200, 100)), 100);
  EXPECT_EQ(AdaptiveBlendValue(100, 120, 100, AdaptiveBlendWeights(100, 120, 100)), 110);
  EXPECT_EQ(AdaptiveBlendValue(100, 150, 200, AdaptiveBlendWeights(100, 150, 200)), 150);
  EXPECT_EQ(AdaptiveBlendValue(77, 77, 77, AdaptiveBlendWeights(77, 77, 77)), 77);

  // Every luma triple against a second reading of the rule.
  for (int a = 0; a < 256; ++a) {
    for (int m = 0; m < 256; ++m) {
      for (int b = 0; b < 256; ++b) {
        const bool peak = m > a && m > b;
        const bool dip = m < a && m < b;
        const bool comb = peak || dip || (m == a && m < b) || (m > a && m == b);
        const int d = std::min(std::abs(a - m), std::abs(m - b));
        int ws = 0, wm = 16;
        if (comb && d > 32) { ws = 8; wm = 0; }
        else if (comb && d > 24) { ws = 6; wm = 4; }
        else if (comb && d > 16) { ws = 4; wm = 8; }
        else if (comb && d > 8) { ws = 3; wm = 10; }
        const int expected = std::min(255, ((a + b) * ws + m * wm + 15) / 16);
        const BlendWeights w = AdaptiveBlendWeights(a, m, b);
        ASSERT_EQ(AdaptiveBlendValue(a, m, b, w), expected) << a << " " << m << " " << b;
      }
    }
  }
}

TEST(FrameDeinterlacer, ChromaFollowsLumaWeights) {
  FrameDeinterlacer methods;
  const int pitch = 4, height = 4;
  std::vector<std::uint8_t> source(2 * pitch * height, 0);
  auto set = [&](int line, std::uint8_t y, std::uint8_t c) {
    for (int p = 0; p < pitch; ++p) {
      source[2 * pitch * line + 2 * p] = y;
      source[2 * pitch * line + 2 * p + 1] = c;
    }
  };
  set(0, 100, 10);
  set(1, 200, 250);
  set(2, 100, 30);
  set(3, 0, 0);
  std::vector<std::uint8_t> destination(source.size(), 0);
  methods.AdaptiveBlend(source.data(), destination.data(), pitch, height, pitch);
  EXPECT_EQ(destination[2 * pitch + 0], 100);
  EXPECT_EQ(destination[2 * pitch + 1], (40 * 8 + 15) >> 4);  // luma's comb weights (8, 0)
}

TEST(FrameDeinterlacer, HeightTwoAndNarrowDestination) {
  FrameDeinterlacer methods;
  const auto source = RandomFrame(16, 2, 2);
  std::vector<std::uint8_t> destination(source.size(), 0);
  methods.AdaptiveBlend(source.data(), destination.data(), 16, 2, 16);
  EXPECT_EQ(destination, source);

  // A destination narrower than the source gets its own width per line and nothing more.
  const auto wide = RandomFrame(24, 6, 3);
  for (int kind = 0; kind < 3; ++kind) {
    std::vector<std::uint8_t> narrow(2 * 16 * 6 + 64, 0xCD);
    methods.Run(kind, wide.data(), narrow.data(), 16, 6, 24);
    for (size_t i = 2 * 16 * 6; i < narrow.size(); ++i) ASSERT_EQ(narrow[i], 0xCD) << kind;
    EXPECT_EQ(0, std::memcmp(narrow.data(), wide.data(), 32)) << kind;
  }
}

}  // namespace
}  // namespace deinterlace

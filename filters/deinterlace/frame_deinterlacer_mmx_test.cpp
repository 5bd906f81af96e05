#include "filters/deinterlace/frame_deinterlacer_mmx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace deinterlace {
namespace {

// The x87 tag word: 0xFFFF when every register is empty, as MMX code must leave it.
unsigned TagWord() {
  unsigned char environment[28];
  __builtin_ia32_fnstenv(environment);
  __builtin_ia32_fldenv(environment);  // fnstenv masks exceptions; put the state back
  unsigned short tag = 0;
  std::memcpy(&tag, environment + 8, sizeof(tag));
  return tag;
}

std::vector<std::uint8_t> RandomFrame(int pitch, int height, std::mt19937& random) {
  std::vector<std::uint8_t> frame(2 * static_cast<size_t>(pitch) * height);
  for (auto& b : frame) b = static_cast<std::uint8_t>(random() % 3 ? random() : 128 + random() % 24);
  return frame;
}

TEST(MmxFrameMethods, AdaptiveBlendLumaCube) {
  // Every luma triple (A, M, B), with random chroma, against the portable rule.
  const int pitch = 65536;
  std::mt19937 random(12);
  std::vector<std::uint8_t> source(2 * pitch * 4), expected(source.size()), got(source.size());
  for (auto& b : source) b = static_cast<std::uint8_t>(random());
  FrameDeinterlacer portable;
  MmxFrameDeinterlacer mmx;
  for (int a = 0; a < 256; ++a) {
    for (int i = 0; i < pitch; ++i) {
      source[2 * i] = static_cast<std::uint8_t>(a);
      source[2 * pitch + 2 * i] = static_cast<std::uint8_t>(i >> 8);
      source[4 * pitch + 2 * i] = static_cast<std::uint8_t>(i & 0xFF);
    }
    portable.AdaptiveBlend(source.data(), expected.data(), pitch, 4, pitch);
    mmx.AdaptiveBlend(source.data(), got.data(), pitch, 4, pitch);
    ASSERT_EQ(0, std::memcmp(expected.data(), got.data(), got.size())) << a;
  }
  EXPECT_EQ(TagWord(), 0xFFFFu);
}

TEST(MmxFrameMethods, ExamplesAndRandomFrames) {
  MmxFrameDeinterlacer mmx;
  FrameDeinterlacer portable;
  // Line average: above 10, below 13 gives 12.
  std::vector<std::uint8_t> small(2 * 8 * 4, 0);
  std::memset(small.data(), 10, 16);
  std::memset(small.data() + 32, 13, 16);
  std::vector<std::uint8_t> out(small.size(), 0xEE);
  mmx.LineAverage(small.data(), out.data(), 8, 4, 8);
  EXPECT_EQ(out[16], 12);
  EXPECT_EQ(out[31], 12);
  EXPECT_EQ(TagWord(), 0xFFFFu);
  // Pitches with a tail of fewer than four pixels, odd heights, height 2.
  std::mt19937 random(13);
  for (int pitch : {4, 5, 7, 360, 361, 720, 722}) {
    for (int height : {2, 3, 5, 480}) {
      const auto source = RandomFrame(pitch, height, random);
      for (int kind = 0; kind < 3; ++kind) {
        std::vector<std::uint8_t> a(source.size(), 0x11), b(source.size(), 0x11);
        portable.Run(kind, source.data(), a.data(), pitch, height, pitch);
        mmx.Run(kind, source.data(), b.data(), pitch, height, pitch);
        ASSERT_EQ(a, b) << pitch << " " << height << " " << kind;
        EXPECT_EQ(TagWord(), 0xFFFFu) << kind;
        if (kind == 0 || height == 2) {
          ASSERT_EQ(b, source) << kind;  // a copy; or line 0 and the last odd line copied
        }
      }
    }
  }
}

TEST(MmxFrameMethods, PitchMismatchStaysInsideBothFrames) {
  MmxFrameDeinterlacer mmx;
  FrameDeinterlacer portable;
  std::mt19937 random(14);
  // A destination narrower than the source, then a source narrower than the destination.
  for (const auto& [sourcePitch, destinationPitch] : {std::pair{724, 720}, std::pair{720, 724}}) {
    const int height = 6;
    const auto source = RandomFrame(sourcePitch, height, random);
    for (int kind = 0; kind < 3; ++kind) {
      std::vector<std::uint8_t> a(2 * destinationPitch * height + 64, 0xCD), b(a.size(), 0xCD);
      portable.Run(kind, source.data(), a.data(), destinationPitch, height, sourcePitch);
      mmx.Run(kind, source.data(), b.data(), destinationPitch, height, sourcePitch);
      ASSERT_EQ(a, b) << kind;
      for (size_t i = 2 * destinationPitch * height; i < b.size(); ++i) ASSERT_EQ(b[i], 0xCD);
      // Each destination line holds min(pitches) pixels of the source line; the rest is untouched.
      const int moved = std::min(sourcePitch, destinationPitch);
      EXPECT_EQ(0, std::memcmp(b.data(), source.data(), 2 * moved));
      if (destinationPitch > moved) {
        EXPECT_EQ(b[2 * moved], 0xCD);
      }
    }
  }
}

}  // namespace
}  // namespace deinterlace

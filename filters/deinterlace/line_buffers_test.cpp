#include "filters/deinterlace/line_buffers.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace deinterlace {
namespace {

TEST(SizeHelpers, Counts) {
  EXPECT_EQ(BlockCount16Of48(720), 45);
  EXPECT_EQ(BlockCount16Of48(704), 45);
  EXPECT_EQ(BlockCount16Of48(352), 23);
  EXPECT_EQ(BlockCount16(704), 44);
  EXPECT_EQ(BlockCount16(720), 45);
  EXPECT_EQ(BlockCount16(352), 22);
  EXPECT_EQ(BlockCount16(360), 23);
  EXPECT_EQ(BlockCount16Of32(720), 46);
  EXPECT_EQ(RoundUp64(720), 768);
  EXPECT_EQ(RoundUp64(768), 768);
  EXPECT_EQ(PlanarBlockCount(720), 15);
  EXPECT_EQ(PlanarBlockCount(352), 8);
  // The unpacker writes whole blocks: 724 has 46 planar groups and needs 48.
  EXPECT_EQ(BlockCount16Of48(724), 46);
  EXPECT_EQ(PlanarLineGroups(724), 48);
}

TEST(LineBuffers, EdgeCopies) {
  alignas(16) std::uint8_t storage[2 * kLineGuard + 32] = {};
  std::uint8_t* line = storage + kLineGuard;
  for (int i = 0; i < 10; ++i) line[i] = static_cast<std::uint8_t>(10 + i);
  ReplicateLumaEdges(line, 10, 2);
  EXPECT_EQ(line[-kLineGuard], 10);
  EXPECT_EQ(line[-1], 10);
  EXPECT_EQ(line[10], 19);
  EXPECT_EQ(line[32 + kLineGuard - 1], 19);

  // Chroma keeps U under U and V under V (U at even positions).
  for (int i = 0; i < 10; ++i) line[i] = static_cast<std::uint8_t>(100 + i);
  ReplicateChromaEdges(line, 10, 2);
  EXPECT_EQ(line[-2], 100);
  EXPECT_EQ(line[-1], 101);
  EXPECT_EQ(line[10], 108);
  EXPECT_EQ(line[11], 109);
  EXPECT_EQ(line[20], 108);
  ReplicateChromaEdges(line, 9, 2);  // odd width: the last V is at 7
  EXPECT_EQ(line[9], 107);
  EXPECT_EQ(line[10], 108);
}

// Every guard and tail position of every width up to three groups, and the payload untouched,
// against the rule itself: the nearest position inside the row with the same parity.
TEST(LineEdges, ChromaCopiesTakeTheNearestPixelOfTheSameParity) {
  alignas(32) std::uint8_t storage[16 * 3 + 2 * kLineGuard];
  std::uint8_t* line = storage + kLineGuard;
  for (int groups = 1; groups <= 3; ++groups) {
    for (int width = 1; width <= 16 * groups; ++width) {
      for (int i = -kLineGuard; i < 16 * groups + kLineGuard; ++i) line[i] = static_cast<std::uint8_t>(i * 7 + 3);
      ReplicateChromaEdges(line, width, groups);
      for (int i = -kLineGuard; i < 16 * groups + kLineGuard; ++i) {
        int source = i;
        if (i < 0) source = width > 1 ? (i & 1) : 0;
        if (i >= width) source = ((width - 1 - i) & 1) == 0 || width == 1 ? width - 1 : width - 2;
        ASSERT_EQ(line[i], static_cast<std::uint8_t>(source * 7 + 3)) << "width " << width << " position " << i;
      }
    }
  }
}

TEST(ChromaLineRing, SelectRotateAndGrow) {
  ChromaLineRing ring;
  EXPECT_EQ(ring.groups(), 45);
  EXPECT_EQ(ring.OutputSlot(), 1);
  EXPECT_EQ(ring.Select(2), 0);
  EXPECT_EQ(ring.OutputSlot(), 3);
  EXPECT_EQ(ring.Select(6), 1);
  EXPECT_EQ(ring.OutputSlot(), 1);
  EXPECT_EQ(ring.Select(-1), 1);

  ring.Select(2);
  std::uint8_t* slots[ChromaLineRing::kSlots];
  for (int i = 0; i < ChromaLineRing::kSlots; ++i) slots[i] = ring.Slot(i);
  std::uint8_t* output = ring.Output();
  ring.Rotate();
  EXPECT_EQ(ring.Slot(0), slots[6]);
  EXPECT_EQ(ring.Slot(1), slots[0]);
  EXPECT_EQ(ring.Slot(6), slots[5]);
  EXPECT_EQ(ring.Output(), slots[2]);  // the output names a slot, not a line
  EXPECT_NE(ring.Output(), output);

  EXPECT_EQ(ring.Reserve(352), S_OK);
  EXPECT_EQ(ring.groups(), 45);
  EXPECT_EQ(ring.Slot(0), slots[6]);  // no reallocation
  EXPECT_EQ(ring.Reserve(768), S_OK);
  EXPECT_EQ(ring.groups(), 48);
  for (int i = 0; i < ChromaLineRing::kSlots; ++i) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(ring.Slot(i)) % 32, 0u);
    for (int b = 0; b < 16 * 48; ++b) ASSERT_EQ(ring.Slot(i)[b], 0);  // cleared when it grows
  }
}

TEST(PlanarLineSet, CapacityHoldsWholeBlocks) {
  PlanarLineSet lines;
  EXPECT_EQ(lines.groups(), 45);
  EXPECT_EQ(lines.Reserve(724), S_OK);
  EXPECT_EQ(lines.groups(), 48);
  EXPECT_EQ(lines.Reserve(352), S_OK);
  EXPECT_EQ(lines.groups(), 48);
  for (int role = 0; role < PlanarLineSet::kRoles; ++role) {
    EXPECT_NE(lines.Luma(static_cast<PlanarLineSet::Role>(role)), nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(lines.Chroma(static_cast<PlanarLineSet::Role>(role))) % 32, 0u);
  }
}

}  // namespace
}  // namespace deinterlace

#include "board/board_frames.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(const board::FrameBuffer& f) { return Bytes(f.bytes, f.bytes + f.size); }

// A frame from its bytes before the checksum, with the checksum appended.
Bytes WithSum(Bytes bytes) {
  unsigned sum = 0;
  for (auto b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>(sum));
  return bytes;
}

}  // namespace

TEST(BoardFrames, BuildersGiveTheDocumentedBytes) {
  board::FrameBuffer f;
  const std::uint8_t three[] = {0x11, 0x22, 0x33};
  ASSERT_EQ(board::BuildWriteFrame(&f, 0x406F, 3, three), S_OK);
  EXPECT_EQ(Of(f), WithSum({0xAA, 0x00, 0x0B, 0x00, 0x00, 0x40, 0x6F, 0x11, 0x22, 0x33}));
  ASSERT_EQ(board::BuildReadFrame(&f, 0x5062, 1), S_OK);
  EXPECT_EQ(Of(f), WithSum({0xAA, 0x00, 0x09, 0x00, 0x80, 0x50, 0x62, 0x01}));
  ASSERT_EQ(board::BuildResetFrame(&f), S_OK);
  EXPECT_EQ(Of(f), (Bytes{0xAA, 0x00, 0x06, 0xF0, 0x00, 0xA0}));
}

TEST(BoardFrames, LimitsAndMissingBuffersAreRefused) {
  board::FrameBuffer f;
  const Bytes data(248, 0x5A);
  EXPECT_EQ(board::BuildWriteFrame(&f, 0x4000, 247, data.data()), S_OK);  // 255 bytes
  EXPECT_EQ(f.size, 255u);
  EXPECT_EQ(board::BuildWriteFrame(&f, 0x4000, 248, data.data()), E_INVALIDARG);  // 256
  EXPECT_EQ(board::BuildWriteFrame(&f, 0x4000, 1, nullptr), E_POINTER);
  EXPECT_EQ(board::BuildWriteFrame(&f, 0x4000, 0, nullptr), S_OK);
  EXPECT_EQ(board::BuildWriteFrame(nullptr, 0x4000, 0, nullptr), E_POINTER);
  EXPECT_EQ(board::BuildReadFrame(&f, 0x4000, 245), S_OK);
  EXPECT_EQ(board::BuildReadFrame(&f, 0x4000, 246), E_INVALIDARG);
  EXPECT_EQ(board::BuildReadFrame(nullptr, 0x4000, 1), E_POINTER);
  EXPECT_EQ(board::BuildResetFrame(nullptr), E_POINTER);
}

TEST(BoardFrames, RepliesAreCheckedWholeBeforeAnyFieldIsUsed) {
  const Bytes writeReply = WithSum({0xAA, 0x00, 0x08, 0x00, 0x00, 0x10, 0x00});
  const Bytes readReply = WithSum({0xAA, 0x00, 0x0C, 0x00, 0x80, 0x00, 0x00, 0x50, 0x62, 0x07, 0x08});
  Bytes badLength = WithSum({0xAA, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00});  // sum right, L wrong
  Bytes badSum = writeReply;
  badSum.back() ^= 1;
  const Bytes shortRead = WithSum({0xAA, 0x00, 0x09, 0x00, 0x80, 0x00, 0x00, 0x50});  // < 10
  const Bytes badHeader = WithSum({0xAB, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00});
  const struct {
    const Bytes* reply;
    std::size_t length;  // as the caller claims it
    HRESULT expected;
  } cases[] = {
      {&writeReply, 8, S_OK},       {&readReply, 12, S_OK},     {&badLength, 8, S_FALSE},
      {&badSum, 8, S_FALSE},        {&shortRead, 9, S_FALSE},   {&badHeader, 8, S_FALSE},
      {&writeReply, 6, E_INVALIDARG}, {&readReply, 256, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    Bytes buffer = *c.reply;
    buffer.resize(std::max<std::size_t>(buffer.size(), c.length));
    board::ParsedReply parsed;
    EXPECT_EQ(board::ParseReply(&parsed, c.length, buffer.data()), c.expected) << c.length;
  }
  board::ParsedReply parsed;
  EXPECT_EQ(board::ParseReply(&parsed, 8, nullptr), E_POINTER);
  ASSERT_EQ(board::ParseReply(&parsed, 8, writeReply.data()), S_OK);
  EXPECT_EQ(parsed.status, 0x1000);
  EXPECT_EQ(parsed.dataCount, 0u);
  ASSERT_EQ(board::ParseReply(&parsed, 12, readReply.data()), S_OK);
  EXPECT_EQ(parsed.address, 0x5062);
  ASSERT_EQ(parsed.dataCount, 2u);
  EXPECT_EQ(parsed.data[0], 0x07);
  EXPECT_EQ(parsed.data[1], 0x08);
  EXPECT_TRUE(board::IsGoodStatus(0x0000));
  EXPECT_TRUE(board::IsGoodStatus(0x1000));
  EXPECT_FALSE(board::IsGoodStatus(0x0001));
  EXPECT_FALSE(board::IsGoodStatus(0x1001));
}

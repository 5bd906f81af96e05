// Media type values and the format helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "filters/base/mediatype.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/video_types.h"

using graph_testkit::MakeVideoType;

namespace {

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

TEST(MediaTypeCopy, CopiesOwnTheirFormatBlockAndReferenceTheFormatObject) {
  CMediaType original = MakeVideoType(720, 480);
  auto* clock = graph_testkit::ManualClock::Create();
  original.pUnk = static_cast<IReferenceClock*>(clock);
  original.pUnk->AddRef();
  const ULONG before = RefCount(original.pUnk);
  {
    CMediaType copy(original);
    EXPECT_NE(copy.pbFormat, original.pbFormat);
    EXPECT_TRUE(copy == original);
    EXPECT_EQ(RefCount(original.pUnk), before + 1);
    original.pbFormat[0] ^= 0xFF;
    EXPECT_FALSE(copy == original);  // the copy kept its own bytes

    CMediaType assigned;
    assigned = copy;
    EXPECT_TRUE(assigned == copy);
    assigned = assigned;  // self-assignment keeps the block
    EXPECT_TRUE(assigned == copy);

    AM_MEDIA_TYPE* created = CreateMediaType(&copy);
    ASSERT_NE(created, nullptr);
    EXPECT_NE(created->pbFormat, copy.pbFormat);
    EXPECT_EQ(std::memcmp(created->pbFormat, copy.pbFormat, copy.cbFormat), 0);
    DeleteMediaType(created);
  }
  EXPECT_EQ(RefCount(original.pUnk), before);
  FreeMediaType(original);  // releases the format object
  EXPECT_EQ(clock->Release(), 0u);
}

TEST(MediaTypeCopy, InitReleasesWhatTheTypeHeld) {
  CMediaType type = MakeVideoType(720, 480);
  auto* clock = graph_testkit::ManualClock::Create();
  type.pUnk = static_cast<IReferenceClock*>(clock);
  type.pUnk->AddRef();
  type.InitMediaType();
  EXPECT_EQ(type.pbFormat, nullptr);
  EXPECT_EQ(type.cbFormat, 0u);
  EXPECT_EQ(type.pUnk, nullptr);
  EXPECT_TRUE(type.IsFixedSize());
  EXPECT_EQ(type.GetSampleSize(), 1u);
  EXPECT_EQ(clock->Release(), 0u);  // the type's reference was given back
}

TEST(MediaTypeCopy, MoveLeavesTheSourceEmpty) {
  CMediaType source = MakeVideoType(320, 240);
  BYTE* block = source.pbFormat;
  CMediaType moved(std::move(source));
  EXPECT_EQ(moved.pbFormat, block);
  EXPECT_EQ(source.pbFormat, nullptr);
  EXPECT_EQ(source.cbFormat, 0u);
}

TEST(MediaTypeFormat, ReallocationKeepsLeadingBytesAndZeroesTheRest) {
  CMediaType type;
  BYTE* block = type.AllocFormatBuffer(4);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(block[i], 0);
  std::memcpy(block, "\x01\x02\x03\x04", 4);
  block = type.ReallocFormatBuffer(8);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(type.FormatLength(), 8u);
  EXPECT_EQ(std::memcmp(block, "\x01\x02\x03\x04\0\0\0\0", 8), 0);
  block = type.ReallocFormatBuffer(2);
  EXPECT_EQ(type.FormatLength(), 2u);
  EXPECT_EQ(block[1], 2);
  EXPECT_EQ(type.ReallocFormatBuffer(0), nullptr);
  EXPECT_EQ(type.Format(), nullptr);
  EXPECT_TRUE(type.SetFormat(reinterpret_cast<const BYTE*>("abc"), 3));
  EXPECT_EQ(std::memcmp(type.Format(), "abc", 3), 0);
}

TEST(MediaTypeMatch, PartialTypesMatchOnTheirSpecifiedParts) {
  const CMediaType full = MakeVideoType(720, 480);
  CMediaType partial(&MEDIATYPE_Video);
  EXPECT_TRUE(partial.IsPartiallySpecified());
  EXPECT_TRUE(full.MatchesPartial(&partial));
  partial.SetSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_FALSE(full.MatchesPartial(&partial));
  partial.SetSubtype(&MEDIASUBTYPE_YUY2);
  partial.SetFormatType(&FORMAT_VideoInfo2);
  EXPECT_FALSE(full.MatchesPartial(&partial));
  CMediaType sameFormatOtherSize = MakeVideoType(640, 480);
  EXPECT_FALSE(full.MatchesPartial(&sameFormatOtherSize));  // a given format block must match
  EXPECT_TRUE(full.MatchesPartial(&full));
  EXPECT_TRUE(full.MatchesPartial(nullptr));
}

TEST(BitmapInfoHeader, IsFoundOnlyInsideAWholeVideoInfoBlock) {
  CMediaType vih = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo);
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&vih);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(header) - vih.pbFormat, 48);
  EXPECT_EQ(header->biWidth, 720);

  CMediaType vih2 = MakeVideoType(720, -480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
  header = GetBitmapInfoHeader(&vih2);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(header) - vih2.pbFormat, 72);
  EXPECT_EQ(header->biHeight, -480);

  // A block one byte short, a missing block, another format type: no header.
  vih.ReallocFormatBuffer(48 + sizeof(BITMAPINFOHEADER) - 1);
  EXPECT_EQ(GetBitmapInfoHeader(&vih), nullptr);
  vih2.cbFormat = 200;
  CoTaskMemFree(vih2.pbFormat);
  vih2.pbFormat = nullptr;
  EXPECT_EQ(GetBitmapInfoHeader(&vih2), nullptr);
  vih2.cbFormat = 0;
  CMediaType wave(&MEDIATYPE_Audio);
  wave.SetFormatType(&FORMAT_WaveFormatEx);
  wave.AllocFormatBuffer(200);
  EXPECT_EQ(GetBitmapInfoHeader(&wave), nullptr);
  EXPECT_EQ(GetBitmapInfoHeader(static_cast<const AM_MEDIA_TYPE*>(nullptr)), nullptr);
}

TEST(BitmapInfoHeader, ImageSizeUsesAlignedRowsAndTheHeightsMagnitude) {
  BITMAPINFOHEADER header{};
  header.biWidth = 720;
  header.biHeight = -480;
  header.biBitCount = 16;
  EXPECT_EQ(GetBitmapSize(&header), 691200u);
  header.biWidth = 3;
  header.biHeight = 2;
  header.biBitCount = 24;
  EXPECT_EQ(GetBitmapSize(&header), 24u);  // 9 bytes per row padded to 12
  header.biWidth = 0x7FFFFFFF;
  header.biHeight = 0x7FFFFFFF;
  EXPECT_EQ(GetBitmapSize(&header), 0u);  // does not fit: no size rather than a wrapped one
  EXPECT_EQ(GetBitmapSize(nullptr), 0u);
}

}  // namespace

// The source's frame handling without COM: the default offer, what the renderer's type changes
// in it, and the bounded row copy and black fill.
#include <gtest/gtest.h>

#include <vector>

#include "filters/base/testkit/video_types.h"
#include "filters/source/transmit_frame.h"

using namespace vsrc;

namespace {

BITMAPINFOHEADER Header(LONG width, LONG height) {
  BITMAPINFOHEADER h{};
  h.biSize = sizeof(h);
  h.biWidth = width;
  h.biHeight = height;
  h.biBitCount = 16;
  return h;
}

// Row r of a width-w YUY2 frame holds bytes (r * 7 + b) & 0xFF.
std::vector<BYTE> Pattern(LONG width, LONG rows) {
  std::vector<BYTE> frame(static_cast<size_t>(width) * 2 * rows);
  for (LONG r = 0; r < rows; ++r) {
    for (LONG b = 0; b < width * 2; ++b) frame[r * width * 2 + b] = static_cast<BYTE>(r * 7 + b);
  }
  return frame;
}

TEST(DefaultTransmitType, IsYuy2Of720x480TopDownWithAPositiveHeight) {
  CMediaType type;
  ASSERT_EQ(MakeDefaultTransmitType(&type), S_OK);
  EXPECT_EQ(*type.Type(), MEDIATYPE_Video);
  EXPECT_EQ(*type.Subtype(), MEDIASUBTYPE_YUY2);
  EXPECT_EQ(*type.FormatType(), FORMAT_VideoInfo2);
  EXPECT_EQ(type.GetSampleSize(), 691200u);
  EXPECT_FALSE(type.IsTemporalCompressed());
  ASSERT_EQ(type.FormatLength(), sizeof(VIDEOINFOHEADER2));
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER2*>(type.Format());
  EXPECT_EQ(vih->rcSource.right, 720);
  EXPECT_EQ(vih->rcTarget.bottom, 480);
  EXPECT_EQ(vih->AvgTimePerFrame, 330000);
  EXPECT_EQ(vih->dwBitRate, 165888000u);
  EXPECT_EQ(vih->dwInterlaceFlags, 1u);
  EXPECT_EQ(vih->dwPictAspectRatioX, 4u);
  EXPECT_EQ(vih->dwPictAspectRatioY, 3u);
  EXPECT_EQ(vih->dwControlFlags, 3u);
  EXPECT_EQ(vih->bmiHeader.biWidth, 720);
  EXPECT_EQ(vih->bmiHeader.biHeight, 480);  // positive: the mixing renderer refuses -480
  EXPECT_EQ(vih->bmiHeader.biCompression, MAKEFOURCC('Y', 'U', 'Y', '2'));
  EXPECT_EQ(vih->bmiHeader.biSizeImage, 691200u);
}

TEST(DeriveOutputType, TakesRatesFromVideoInfoAndAlsoAspectAndFlagsFromVideoInfo2) {
  CMediaType target;
  ASSERT_EQ(MakeDefaultTransmitType(&target), S_OK);
  CMediaType vi = graph_testkit::MakeVideoType(352, 240, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 400000);
  reinterpret_cast<VIDEOINFOHEADER*>(vi.Format())->dwBitRate = 1234;
  ASSERT_EQ(DeriveOutputType(vi, &target), S_OK);
  auto* out = reinterpret_cast<VIDEOINFOHEADER2*>(target.Format());
  EXPECT_EQ(out->AvgTimePerFrame, 400000);
  EXPECT_EQ(out->dwBitRate, 1234u);
  EXPECT_EQ(out->dwPictAspectRatioX, 4u);   // untouched by a VIDEOINFOHEADER
  EXPECT_EQ(out->bmiHeader.biWidth, 720);   // the header never follows the renderer's
  EXPECT_EQ(out->bmiHeader.biHeight, 480);

  CMediaType vi2 = graph_testkit::MakeVideoType(640, 360, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333667);
  auto* in2 = reinterpret_cast<VIDEOINFOHEADER2*>(vi2.Format());
  in2->dwPictAspectRatioX = 16;
  in2->dwPictAspectRatioY = 9;
  in2->dwControlFlags = 0x81;
  in2->dwCopyProtectFlags = 1;
  in2->dwReserved2 = 5;
  ASSERT_EQ(DeriveOutputType(vi2, &target), S_OK);
  EXPECT_EQ(out->AvgTimePerFrame, 333667);
  EXPECT_EQ(out->dwPictAspectRatioX, 16u);
  EXPECT_EQ(out->dwPictAspectRatioY, 9u);
  EXPECT_EQ(out->dwControlFlags, 0x81u);
  EXPECT_EQ(out->dwCopyProtectFlags, 1u);
  EXPECT_EQ(out->dwReserved2, 5u);
  EXPECT_EQ(out->rcSource.right, 720);
  EXPECT_EQ(out->bmiHeader.biWidth, 720);
}

TEST(DeriveOutputType, RefusesOtherFormatsShortBlocksAndANonVideoInfo2Target) {
  CMediaType target;
  ASSERT_EQ(MakeDefaultTransmitType(&target), S_OK);
  const CMediaType before(target);
  CMediaType other(&MEDIATYPE_Video);
  other.SetFormatType(&FORMAT_WaveFormatEx);
  EXPECT_EQ(DeriveOutputType(other, &target), VFW_E_INVALIDMEDIATYPE);
  CMediaType shortBlock(&MEDIATYPE_Video);
  shortBlock.SetFormatType(&FORMAT_VideoInfo2);
  shortBlock.AllocFormatBuffer(20);
  EXPECT_EQ(DeriveOutputType(shortBlock, &target), VFW_E_INVALIDMEDIATYPE);
  EXPECT_TRUE(target == before);

  CMediaType viTarget = graph_testkit::MakeVideoType(720, 480);
  EXPECT_EQ(DeriveOutputType(before, &viTarget), VFW_E_INVALIDMEDIATYPE);
  EXPECT_EQ(DeriveOutputType(before, nullptr), E_POINTER);
}

TEST(CopyFrameRows, CopiesEveryRowAtEachSidesOwnPitch) {
  const auto in = Pattern(720, 480);
  const BITMAPINFOHEADER inHeader = Header(720, 480);
  const BITMAPINFOHEADER outHeader = Header(800, -480);  // wider output rows, sign ignored
  std::vector<BYTE> out(800 * 2 * 480, 0xEE);
  FrameCopy copy{in.data(), in.size(), out.data(), out.size(), &inHeader, &outHeader, false};
  LONG rows = 0;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 480);
  for (LONG r = 0; r < 480; r += 37) {
    EXPECT_EQ(0, memcmp(&out[r * 1600], &in[r * 1440], 1440)) << r;
    EXPECT_EQ(out[r * 1600 + 1440], 0xEE) << "past the copied width";
  }
}

TEST(CopyFrameRows, Field1FirstDropsTheFirstInputRowAndWritesOneRowLess) {
  const auto in = Pattern(720, 480);
  const BITMAPINFOHEADER header = Header(720, 480);
  std::vector<BYTE> out(691200, 0xEE);
  FrameCopy copy{in.data(), in.size(), out.data(), out.size(), &header, &header, true};
  LONG rows = 0;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 479);
  EXPECT_EQ(0, memcmp(out.data(), in.data() + 1440, 479 * 1440));
  EXPECT_EQ(out[479 * 1440], 0xEE);  // the last row is not written
}

TEST(CopyFrameRows, TakesTheSmallerWidthAndHeight) {
  const auto in = Pattern(720, 480);
  const BITMAPINFOHEADER inHeader = Header(720, 480);
  const BITMAPINFOHEADER outHeader = Header(352, 240);
  std::vector<BYTE> out(352 * 2 * 240 + 16, 0xEE);
  FrameCopy copy{in.data(), in.size(), out.data(), out.size(), &inHeader, &outHeader, false};
  LONG rows = 0;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 240);
  EXPECT_EQ(0, memcmp(&out[239 * 704], &in[239 * 1440], 704));
  EXPECT_EQ(out[240 * 704], 0xEE);
}

TEST(CopyFrameRows, AShortInputSampleLimitsTheRowsRead) {
  // A renderer frame of 352x240 is still read at the 720-wide pitch: only its whole rows count.
  const BITMAPINFOHEADER header = Header(720, 480);
  std::vector<BYTE> in(352 * 2 * 240);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<BYTE>(i);
  std::vector<BYTE> out(691200, 0xEE);
  FrameCopy copy{in.data(), in.size(), out.data(), out.size(), &header, &header, false};
  LONG rows = 0;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, static_cast<LONG>(in.size() / 1440));
  EXPECT_EQ(out[rows * 1440], 0xEE);
  // Shifted, one row fewer fits.
  copy.dropFirstRow = true;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, static_cast<LONG>(in.size() / 1440) - 1);
}

TEST(CopyFrameRows, ASmallOutputBufferGetsOnlyTheRowsThatFitWhole) {
  const auto in = Pattern(720, 480);
  const BITMAPINFOHEADER header = Header(720, 480);
  std::vector<BYTE> out(100 * 1440 + 1000 + 8, 0xEE);
  FrameCopy copy{in.data(), in.size(), out.data(), out.size() - 8, &header, &header, false};
  LONG rows = 0;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 100);
  for (size_t i = 100 * 1440; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
}

TEST(CopyFrameRows, BlackRowsStayInsideOddWidths) {
  const BITMAPINFOHEADER header = Header(5, 3);
  std::vector<BYTE> out(5 * 2 * 3 + 4, 0xEE);
  FrameCopy copy{nullptr, 0, out.data(), 5 * 2 * 3, &header, &header, true};  // no sample: no shift
  LONG rows = 0;
  ASSERT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 3);
  for (size_t i = 0; i < 30; ++i) EXPECT_EQ(out[i], i % 2 ? 0x80 : 0x00) << i;
  for (size_t i = 30; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << i;
}

TEST(CopyFrameRows, DegenerateHeadersWriteNothing) {
  std::vector<BYTE> out(64, 0xEE);
  const BITMAPINFOHEADER zero = Header(0, 480);
  const BITMAPINFOHEADER negative = Header(-720, 480);
  const BITMAPINFOHEADER normal = Header(720, 480);
  LONG rows = 7;
  FrameCopy copy{nullptr, 0, out.data(), out.size(), &zero, &normal, false};
  EXPECT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 0);
  copy.inHeader = &normal;
  copy.outHeader = &negative;
  EXPECT_EQ(CopyFrameRows(copy, &rows), S_OK);
  EXPECT_EQ(rows, 0);
  for (BYTE b : out) EXPECT_EQ(b, 0xEE);
  copy.outHeader = nullptr;
  EXPECT_EQ(CopyFrameRows(copy, &rows), E_POINTER);
}

}  // namespace

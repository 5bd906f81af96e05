// The wide zoom's inverse mapping over whole panels: ends, centre, order, and the flat and
// curved-the-other-way panels.
#include "board/wide_zoom_mapping.h"

#include <gtest/gtest.h>

namespace {

using board::WideZoomMapping;

struct Panel {
  LONG w, h;
};
// Curved (the usual panels), flat (exactly 1.5 x the height) and curved the other way.
const Panel kPanels[] = {{1366, 768}, {1920, 1080}, {1152, 768}, {1024, 768}};
const LONG kSources[] = {720, 704, 352, 329};

}  // namespace

TEST(WideZoomMapping, EveryPanelColumnMapsInOrderFromTheSourceStartToItsEnd) {
  for (const Panel& p : kPanels) {
    for (const LONG s : kSources) {
      SCOPED_TRACE(testing::Message() << p.w << "x" << p.h << " source " << s);
      EXPECT_EQ(WideZoomMapping::SourceColumn(0, p.w, p.h, s), 0);
      EXPECT_EQ(WideZoomMapping::SourceColumn(p.w / 2.0, p.w, p.h, s), s / 2);
      EXPECT_EQ(WideZoomMapping::SourceColumn(p.w, p.w, p.h, s), s);
      LONG previous = 0;
      for (LONG x = 0; x <= p.w; ++x) {
        const LONG y = WideZoomMapping::SourceColumn(x, p.w, p.h, s);
        ASSERT_GE(y, previous) << "at column " << x;
        ASSERT_LE(y, s) << "at column " << x;
        previous = y;
      }
    }
  }
}

TEST(WideZoomMapping, RectanglesKeepTheirEndsAndLoseTheWideCrop) {
  const SIZE panel = {1366, 768}, video = {720, 480};
  struct Case {
    RECT source, linear, expected;
  } cases[] = {
      {{0, 0, 720, 480}, {0, 0, 720, 480}, {0, 34, 720, 446}},         // the whole source
      {{8, 0, 712, 480}, {8, 0, 712, 480}, {8, 34, 712, 446}},         // offset source, whole
      {{8, 0, 712, 480}, {-20, 240, 8, 240}, {0, 240, 8, 240}},        // left of the source starts at 0
      {{0, 0, 720, 480}, {360, 0, 360, 480}, {360, 34, 360, 446}},     // the centre column
  };
  for (const auto& c : cases) {
    RECT out{};
    ASSERT_EQ(WideZoomMapping::GetWideZoomRect(panel, video, c.source, c.linear, &out), S_OK);
    EXPECT_EQ(out.left, c.expected.left);
    EXPECT_EQ(out.top, c.expected.top);
    EXPECT_EQ(out.right, c.expected.right);
    EXPECT_EQ(out.bottom, c.expected.bottom);
  }
  RECT out{};
  EXPECT_EQ(WideZoomMapping::GetWideZoomRect(panel, video, {5, 0, 5, 480}, {0, 0, 1, 1}, &out), E_INVALIDARG);
  EXPECT_EQ(WideZoomMapping::GetWideZoomRect(panel, video, {0, 7, 720, 7}, {0, 0, 1, 1}, &out), E_INVALIDARG);
  EXPECT_EQ(WideZoomMapping::GetWideZoomRect({0, 0}, video, {0, 0, 720, 480}, {0, 0, 1, 1}, &out), E_UNEXPECTED);
  // Far-off coordinates stay in range instead of overflowing.
  ASSERT_EQ(WideZoomMapping::GetWideZoomRect(panel, video, {0, 0, 720, 480}, {0, 0, 0x7FFFFFF0, 0x7FFFFFF0}, &out), S_OK);
  EXPECT_EQ(out.right, 720);
  EXPECT_GT(out.bottom, 446);
  // A source wider than 2^31 columns keeps its ends too (its width once became the most
  // negative column).
  const RECT wide = {-0x70000000, 0, 0x70000000, 480};
  ASSERT_EQ(WideZoomMapping::GetWideZoomRect(panel, video, wide, wide, &out), S_OK);
  EXPECT_EQ(out.left, wide.left);
  EXPECT_EQ(out.right, wide.right);
}

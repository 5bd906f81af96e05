// The converters' pixel kernels: the references against hand-built frames (packing, weave
// order, tile addressing, chroma rows per field, interpolation), and every SSE2 kernel against
// its reference on random data, bit for bit, with canaries around the output and the input's
// last byte right before an inaccessible page.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "common/testing/seed.h"
#include "filters/base/testkit/field_frame_builder.h"
#include "filters/convert/planar_kernels.h"
#include "filters/convert/tiled_kernels.h"

using namespace convert;

namespace {

constexpr std::uint8_t kCanary = 0xA5;

std::mt19937 Rng() { return std::mt19937(testing_support::TestSeed()); }

void Randomise(std::vector<std::uint8_t>& bytes, std::mt19937& rng) {
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
}

// `bytes` of readable memory that end right before a PAGE_NOACCESS page.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t bytes) : bytes_(bytes) {
    const std::size_t pages = (bytes + 4095) / 4096;
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, (pages + 1) * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + pages * 4096, 4096, PAGE_NOACCESS, &old);
    data_ = base_ + pages * 4096 - bytes;
  }
  ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return bytes_; }

 private:
  std::size_t bytes_;
  std::uint8_t* base_;
  std::uint8_t* data_;
};

// ---- Planar -----------------------------------------------------------------------------------

TEST(PlanarPackRow, InterleavesSixOfEightSamplesIntoYuy2) {
  std::vector<std::uint8_t> y(960), cb(480), cr(480);
  for (int k = 0; k < 720; ++k) y[field_video::SampleGroup6of8::Offset(k)] = static_cast<std::uint8_t>(k);
  for (int k = 0; k < 360; ++k) {
    cb[field_video::SampleGroup6of8::Offset(k)] = static_cast<std::uint8_t>(k + 1);
    cr[field_video::SampleGroup6of8::Offset(k)] = static_cast<std::uint8_t>(k + 2);
  }
  for (size_t g = 0; g < 120; ++g) y[8 * g + 6] = y[8 * g + 7] = 0xEE;  // never samples
  for (size_t g = 0; g < 60; ++g) cb[8 * g + 6] = cr[8 * g + 7] = 0xEE;
  for (PackRowFn pack : {&PackRowC, &PackRowSse2}) {
    std::vector<std::uint8_t> out(1440 + 16, kCanary);
    pack(y.data(), cb.data(), cr.data(), out.data(), 720);
    for (int p = 0; p < 360; ++p) {
      ASSERT_EQ(out[4 * p], static_cast<std::uint8_t>(2 * p));
      ASSERT_EQ(out[4 * p + 1], static_cast<std::uint8_t>(p + 1));
      ASSERT_EQ(out[4 * p + 2], static_cast<std::uint8_t>(2 * p + 1));
      ASSERT_EQ(out[4 * p + 3], static_cast<std::uint8_t>(p + 2));
    }
    for (size_t i = 1440; i < out.size(); ++i) ASSERT_EQ(out[i], kCanary);
  }
}

TEST(PlanarPackRow, Sse2EqualsTheReferenceOnRandomRows) {
  auto rng = Rng();
  for (int samples : {384, 720, 12, 18, 6, 2, 30}) {
    const std::size_t lumaBytes = field_video::SampleGroup6of8::RowBytes(samples);
    const std::size_t chromaBytes = field_video::SampleGroup6of8::RowBytes(samples / 2);
    GuardedBuffer y(lumaBytes), cb(chromaBytes), cr(chromaBytes);
    for (int round = 0; round < 20; ++round) {
      for (GuardedBuffer* b : {&y, &cb, &cr}) {
        for (size_t i = 0; i < b->size(); ++i) b->data()[i] = static_cast<std::uint8_t>(rng());
      }
      const std::vector<std::uint8_t> yCopy(y.data(), y.data() + lumaBytes);
      std::vector<std::uint8_t> expected(2 * samples + 32, kCanary), got(2 * samples + 33, kCanary);
      PackRowC(y.data(), cb.data(), cr.data(), expected.data() + 16, samples);
      PackRowSse2(y.data(), cb.data(), cr.data(), got.data() + 17, samples);  // unaligned output
      ASSERT_EQ(0, memcmp(expected.data() + 16, got.data() + 17, 2 * samples)) << samples;
      for (int i = 0; i < 17; ++i) ASSERT_EQ(got[i], kCanary);
      for (size_t i = 17 + 2 * samples; i < got.size(); ++i) ASSERT_EQ(got[i], kCanary) << samples;
      ASSERT_EQ(0, memcmp(yCopy.data(), y.data(), lumaBytes));
    }
  }
}

// A frame whose luma is 10 * field + row-in-field (mod 256) + 100 * (column % 2), U and V per row.
graph_testkit::FieldPlanarFrameBuilder CodedFrame(int width, int height, bool firstIsTop) {
  graph_testkit::FieldPlanarFrameBuilder frame(width, height, firstIsTop);
  frame.Fill([](int x, int y) { return static_cast<std::uint8_t>(y + 100 * (x % 2)); },
             [](int, int y) { return static_cast<std::uint8_t>(y + 1); },
             [](int, int y) { return static_cast<std::uint8_t>(y + 2); });
  return frame;
}

TEST(PlanarWeave, PutsEachStoredFieldOnItsRowsInBothOrders) {
  for (bool topFirst : {true, false}) {
    auto frame = CodedFrame(720, 480, topFirst);
    const std::ptrdiff_t pitch = 2 * 721;  // an odd stride: rows start at any byte
    std::vector<std::uint8_t> out(pitch * 480 + 8, kCanary);
    WeaveJob job;
    job.planes = frame.Bytes().data() + kFieldFrameHeaderBytes;
    job.frameWidth = 720;
    job.frameHeight = 480;
    job.firstStoredIsTop = topFirst;
    job.output = out.data();
    job.outputPitch = pitch;
    WeaveFields(job, SelectedPackRow());
    for (int row = 0; row < 480; ++row) {
      const std::uint8_t* r = out.data() + row * pitch;
      ASSERT_EQ(r[0], static_cast<std::uint8_t>(row)) << topFirst << " row " << row;
      ASSERT_EQ(r[2], static_cast<std::uint8_t>(row + 100));
      ASSERT_EQ(r[1], static_cast<std::uint8_t>(row + 1));
      ASSERT_EQ(r[3], static_cast<std::uint8_t>(row + 2));
      ASSERT_EQ(r[1438], static_cast<std::uint8_t>(row + 100));
      ASSERT_EQ(r[1440], kCanary) << "the two bytes of the odd stride stay";
    }
  }
}

TEST(PlanarWeave, A352WideFrameIsRead384SamplesFrom512ByteRows) {
  auto frame = CodedFrame(352, 240, true);
  EXPECT_EQ(frame.Layout().pitch, 512);
  EXPECT_EQ(PlanarFrameBytes(384, 240), frame.Bytes().size());
  std::vector<std::uint8_t> out(768 * 240 + 4, kCanary);
  WeaveJob job{frame.Bytes().data() + kFieldFrameHeaderBytes, 384, 240, true, out.data(), 768};
  WeaveFields(job, &PackRowC);
  EXPECT_EQ(out[768 * 5], 5);
  EXPECT_EQ(out[768 * 5 + 2 * 351], 5 + 100);
  EXPECT_EQ(out[768 * 240], kCanary);
}

TEST(PlanarWeave, AnOddHeightFrameReadsItsSecondFieldHalfWayIntoEachPlane) {
  // 7 rows: 3 per field, the second field's luma at 48 + 7 * 1024 / 2, its chroma a quarter of
  // 7 * 1024 into each chroma plane (not right behind the first field's three rows).
  graph_testkit::FieldPlanarFrameBuilder frame(720, 7, true);
  ASSERT_EQ(frame.Layout().luma[1], kFieldFrameHeaderBytes + 3584);
  for (int field = 0; field < 2; ++field) {
    for (int row = 0; row < 3; ++row) {
      const auto mark = static_cast<std::uint8_t>(16 * field + row + 1);
      frame.LumaRow(field, row)[0] = mark;
      frame.URow(field, row)[0] = static_cast<std::uint8_t>(mark + 64);
      frame.VRow(field, row)[0] = static_cast<std::uint8_t>(mark + 128);
    }
  }
  const std::ptrdiff_t pitch = 1440;
  std::vector<std::uint8_t> out(pitch * 7);
  WeaveJob job{frame.Bytes().data() + kFieldFrameHeaderBytes, 720, 7, true, out.data(), pitch};
  WeaveFields(job, SelectedPackRow());
  for (int row = 0; row < 6; ++row) {
    const auto mark = static_cast<std::uint8_t>(16 * (row % 2) + row / 2 + 1);
    EXPECT_EQ(out[row * pitch], mark) << "row " << row;
    EXPECT_EQ(out[row * pitch + 1], mark + 64) << "row " << row;
    EXPECT_EQ(out[row * pitch + 3], mark + 128) << "row " << row;
  }
}

TEST(PlanarFill, PatternAndByteFillsCoverTheRowsOnly) {
  std::vector<std::uint8_t> out(10 * 3, kCanary);
  FillRows32(out.data(), 10, 3, 8, 0x44332211u);
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(out[row * 10 + 0], 0x11);
    EXPECT_EQ(out[row * 10 + 5], 0x22);
    EXPECT_EQ(out[row * 10 + 7], 0x44);
    EXPECT_EQ(out[row * 10 + 8], kCanary);
  }
  FillRowsByte(out.data(), 10, 3, 8, 0x10);
  EXPECT_EQ(out[27], 0x10);
  EXPECT_EQ(out[28], kCanary);
}

// ---- Tiled ------------------------------------------------------------------------------------

TEST(TiledLayout, TilesAre256BytesAndTileRows720By16) {
  EXPECT_EQ(TiledOffset(0, 0), 0u);
  EXPECT_EQ(TiledOffset(1, 0), 16u);
  EXPECT_EQ(TiledOffset(0, 16), 256u);
  EXPECT_EQ(TiledOffset(15, 15), 255u);
  EXPECT_EQ(TiledOffset(16, 0), 11520u);
  EXPECT_EQ(TiledOffset(17, 33), 11520u + 2 * 256 + 16 + 1);
  EXPECT_EQ(TiledChromaOffset(576), 414720u);
  EXPECT_EQ(TiledChromaOffset(288), 414720u);
  EXPECT_EQ(TiledChromaOffset(480), 345600u);
  EXPECT_EQ(TiledChromaOffset(240), 345600u);
  EXPECT_EQ(TiledFrameBytes(720, 480), 720u * 480u * 3 / 2);
  EXPECT_EQ(TiledFrameBytes(720, 576), 720u * 576u * 3 / 2);
  EXPECT_EQ(TiledFrameBytes(720, 288), 414720u + 720u * 144u);
}

TEST(TiledLayout, UntilingPutsChromaRowsInPictureOrder) {
  const int width = 720, rows = 48;
  std::vector<std::uint8_t> plane(3 * kTileRowBytes);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < width; ++c) plane[TiledOffset(r, c)] = static_cast<std::uint8_t>(r * 5 + c);
  }
  std::vector<std::uint8_t> work(width * rows);
  UntileChroma(plane.data(), width, rows, work.data());
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < width; c += 7) ASSERT_EQ(work[r * width + c], static_cast<std::uint8_t>(r * 5 + c));
  }
}

TEST(TiledInterpolation, FollowsRampsSaturatesAndRepeatsFlatRows) {
  EXPECT_EQ(InterpolateByte(10, 20, 30, 40), 25);  // a ramp: the midpoint
  EXPECT_EQ(InterpolateByte(90, 90, 90, 90), 90);
  EXPECT_EQ(InterpolateByte(255, 0, 0, 255), 0);   // overshoot below 0 clamps
  EXPECT_EQ(InterpolateByte(0, 255, 255, 0), 255);  // and above 255
  EXPECT_EQ(InterpolateByte(0, 0, 96, 96), 48);
}

TEST(TiledKernels, Sse2EqualsTheReferenceOnRandomRows) {
  auto rng = Rng();
  for (int bytes : {720, 704, 640, 16, 17, 5, 333}) {
    GuardedBuffer a(bytes), b(bytes), c(bytes), d(bytes);
    for (int round = 0; round < 20; ++round) {
      for (GuardedBuffer* g : {&a, &b, &c, &d}) {
        for (int i = 0; i < bytes; ++i) g->data()[i] = static_cast<std::uint8_t>(rng());
      }
      std::vector<std::uint8_t> expected(bytes), got(bytes + 17, kCanary);
      InterpolateC(a.data(), b.data(), c.data(), d.data(), expected.data(), bytes);
      InterpolateSse2(a.data(), b.data(), c.data(), d.data(), got.data() + 1, bytes);
      ASSERT_EQ(0, memcmp(expected.data(), got.data() + 1, bytes)) << bytes;
      ASSERT_EQ(got[0], kCanary);
      for (size_t i = bytes + 1; i < got.size(); ++i) ASSERT_EQ(got[i], kCanary);
    }
  }
  // Every input combination that matters for rounding: the exhaustive sweep of (b, c) at edges.
  std::vector<std::uint8_t> va(256), vb(256), vc(256), vd(256), r1(256), r2(256);
  for (int outer : {0, 1, 127, 128, 254, 255}) {
    for (int bc = 0; bc < 256; ++bc) {
      for (int i = 0; i < 256; ++i) {
        va[i] = static_cast<std::uint8_t>(outer);
        vb[i] = static_cast<std::uint8_t>(bc);
        vc[i] = static_cast<std::uint8_t>(i);
        vd[i] = static_cast<std::uint8_t>(255 - outer);
      }
      InterpolateC(va.data(), vb.data(), vc.data(), vd.data(), r1.data(), 256);
      InterpolateSse2(va.data(), vb.data(), vc.data(), vd.data(), r2.data(), 256);
      ASSERT_EQ(r1, r2) << outer << " " << bc;
    }
  }

  for (int strips : {45, 22, 1}) {
    GuardedBuffer luma(static_cast<std::size_t>(strips - 1) * kTileBytes + 16);
    std::vector<std::uint8_t> chroma(16 * strips);
    for (size_t i = 0; i < luma.size(); ++i) luma.data()[i] = static_cast<std::uint8_t>(rng());
    Randomise(chroma, rng);
    std::vector<std::uint8_t> expected(32 * strips), got(32 * strips + 3, kCanary);
    PackTiledRowC(luma.data(), chroma.data(), expected.data(), strips);
    PackTiledRowSse2(luma.data(), chroma.data(), got.data() + 1, strips);
    ASSERT_EQ(0, memcmp(expected.data(), got.data() + 1, expected.size()));
    ASSERT_EQ(got[32 * strips + 1], kCanary);
  }
}

// A tiled frame: luma (row, column) = row + column / 16; chroma row r holds Cb r and Cr r + 16.
std::vector<std::uint8_t> CodedTiledFrame(int width, int height) {
  std::vector<std::uint8_t> frame(TiledFrameBytes(width, height));
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) frame[TiledOffset(r, c)] = static_cast<std::uint8_t>(r + c / 16);
  }
  std::uint8_t* chroma = frame.data() + TiledChromaOffset(height);
  for (int r = 0; r < height / 2; ++r) {
    for (int c = 0; c < width; ++c) chroma[TiledOffset(r, c)] = static_cast<std::uint8_t>(r + 16 * (c % 2));
  }
  return frame;
}

TEST(TiledFrame, LumaFromTilesAndChromaRowsPerField) {
  const int width = 720, height = 480;
  const auto frame = CodedTiledFrame(width, height);
  std::vector<std::uint8_t> work(width * height / 2), scratch(width);
  std::vector<std::uint8_t> out(width * 2 * height, kCanary);
  TiledJob job{frame.data(), width, height, width, work.data(), scratch.data(), out.data(), width * 2, width};
  ConvertTiledFrame(job, ReferenceTiledKernels());
  auto at = [&](int row, int byte) { return out[static_cast<size_t>(row) * width * 2 + byte]; };
  const int n = height / 4;
  for (int row = 0; row < height; ++row) {
    ASSERT_EQ(at(row, 0), static_cast<std::uint8_t>(row)) << row;       // luma row = output row
    ASSERT_EQ(at(row, 2 * 17), static_cast<std::uint8_t>(row + 1));     // column 17: second tile
    const int field = row % 2;
    const int j = row / 2;  // row within the field
    // Chroma row k of a field is picture chroma row 2k + field.
    for (int parity : {0, 1}) {  // Cb, then Cr
      auto c = [&](int k) { return 2 * std::min(std::max(k, 0), n - 1) + field + 16 * parity; };
      auto between = [&](int k) { return InterpolateByte(c(k - 1), c(k), c(k + 1), c(k + 2)); };
      int expected;
      if (field == 0) {
        expected = j % 2 == 0 ? c(j / 2) : between(j / 2);
      } else if (j == 0) {
        expected = c(0);  // the second field starts with its first chroma row twice
      } else {
        expected = j % 2 == 1 ? c(j / 2) : between(j / 2 - 1);
      }
      ASSERT_EQ(at(row, 1 + 2 * parity), expected) << "row " << row << " parity " << parity;
    }
  }
  // Past the last chroma row the edge repeats: the first field's last row equals C(n - 1).
  EXPECT_EQ(at(2 * (2 * n - 1), 1), 2 * (n - 1));
}

TEST(TiledFrame, Sse2KernelsGiveTheReferenceFrame) {
  auto rng = Rng();
  for (int height : {480, 576, 240}) {
    const int width = 720;
    std::vector<std::uint8_t> frame(TiledFrameBytes(width, height));
    Randomise(frame, rng);
    std::vector<std::uint8_t> work(width * height / 2), scratch(width);
    std::vector<std::uint8_t> expected(width * 2 * height), got(width * 2 * height);
    TiledJob job{frame.data(), width, height, width, work.data(), scratch.data(), expected.data(), width * 2, width};
    ConvertTiledFrame(job, ReferenceTiledKernels());
    job.output = got.data();
    ConvertTiledFrame(job, TiledKernels{&InterpolateSse2, &PackTiledRowSse2});
    ASSERT_EQ(expected, got) << height;
  }
}

TEST(TiledFrame, ColumnsPastTheConvertedWidthArePaintedBlack) {
  const auto frame = CodedTiledFrame(320, 240);
  std::vector<std::uint8_t> work(320 * 120), scratch(320);
  std::vector<std::uint8_t> out(352 * 2 * 240 + 2, kCanary);
  TiledJob job{frame.data(), 320, 240, 320, work.data(), scratch.data(), out.data(), 352 * 2, 352};
  ConvertTiledFrame(job, SelectedTiledKernels());
  for (int row = 0; row < 240; row += 13) {
    const std::uint8_t* r = out.data() + row * 704;
    EXPECT_EQ(r[2 * 319], static_cast<std::uint8_t>(row + 19));
    EXPECT_EQ(r[640], 0x10);
    EXPECT_EQ(r[641], 0x80);
    EXPECT_EQ(r[703], 0x80);
  }
  EXPECT_EQ(out[352 * 2 * 240], kCanary);
}

}  // namespace

#include "filters/deinterlace/field_kernels.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "filters/deinterlace/field_driver.h"
#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/sharpness_processor.h"

namespace deinterlace {
namespace {

// ---- Pixel arithmetic -----------------------------------------------------------------------

TEST(PixelArithmetic, AverageAndMedians) {
  EXPECT_EQ(Average(0, 1), 1);
  EXPECT_EQ(Average(254, 255), 255);
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) ASSERT_EQ(Average(a, b), static_cast<int>(std::ceil((a + b) / 2.0)));
  }
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        const int expected = std::max(std::min(a, b), std::min(std::max(a, b), c));
        ASSERT_EQ(Median3(a, b, c), expected);
      }
    }
  }
  std::mt19937 random(5);
  for (int i = 0; i < 200000; ++i) {
    int v[5];
    for (int& x : v) x = static_cast<int>(random() % (i % 2 ? 256 : 4));  // many ties too
    const int got = Median5(v[0], v[1], v[2], v[3], v[4]);
    std::sort(v, v + 5);
    ASSERT_EQ(got, v[2]);
  }
}

TEST(PixelArithmetic, EdgeDirectedTieOrder) {
  std::mt19937 random(7);
  int allEqual = 0, risingTie = 0;
  for (int i = 0; i < 400000; ++i) {
    std::uint8_t a[5], b[5];
    for (int k = 0; k < 5; ++k) {
      a[k] = static_cast<std::uint8_t>(20 * (random() % 6));
      b[k] = static_cast<std::uint8_t>(20 * (random() % 6));
    }
    const EdgeSums s = EdgeDirectedSums(a, b);
    const int e0 = Average(a[2], b[2]), e1 = Average(a[1], b[3]), e2 = Average(a[3], b[1]);
    const int e = EdgeDirectedCandidate(a, b);
    if (s.vertical == s.falling && s.vertical == s.rising && e0 != e1 && e0 != e2) {
      ++allEqual;
      ASSERT_EQ(e, e0);
    }
    if (s.falling == s.rising && s.rising < s.vertical && e1 != e2) {
      ++risingTie;
      ASSERT_EQ(e, e2);
    }
    const int m = std::min({s.vertical, s.falling, s.rising});
    if (s.vertical != m && s.rising != m) {
      ASSERT_EQ(e, e1);
    }
  }
  EXPECT_GT(allEqual, 10);
  EXPECT_GT(risingTie, 10);
  const std::uint8_t a[5] = {0, 20, 0, 30, 0}, b[5] = {0, 110, 0, 100, 0};
  EXPECT_EQ(EdgeDirectedCandidate(a, b), 70);  // S1 = S2 = 80 < S0 = 160: rising
}

TEST(PixelArithmetic, SharpenStep) {
  EXPECT_EQ(SharpenCoreGain(100, 3, 0.5f), 48);
  EXPECT_EQ(SharpenCoreGain(-100, 3, 0.5f), -48);
  for (int t = 0; t <= 10; ++t) {
    for (int d = -t; d <= t; ++d) ASSERT_EQ(SharpenCoreGain(d, t, 2.0f), 0);
  }
  EXPECT_EQ(SharpenLuma(250, 840, 0, 1.0f), 255);  // d = 125 - 105 = 20
  EXPECT_EQ(SharpenLuma(5, 176, 0, 1.0f), 0);      // d = 2 - 22 = -20
  EXPECT_EQ(SharpenLuma(77, 4 * 77, 0, 2.0f), 77);  // a flat area stays

  // The multiply is single precision: factor 1, c = 50 gives 1 (0 in double).
  EXPECT_EQ(SharpenCoreGain(50, 0, SharpnessGainFromFactor(1)), 1);
  int differ = 0;
  for (int factor = 0; factor <= 100; ++factor) {
    const float gain = SharpnessGainFromFactor(factor);
    for (int c = -127; c <= 127; ++c) {
      const int inFloat = SharpenCoreGain(c, 0, gain);
      if (inFloat != static_cast<int>(c * static_cast<double>(gain))) ++differ;
    }
  }
  EXPECT_EQ(differ, 500);
}

TEST(PlanarUnpack, SixSamplesInEight) {
  std::vector<std::uint8_t> row(1024);
  for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> line(16 * PlanarLineGroups(720) + 2 * kLineGuard);
  UnpackPlanarLuma(row.data(), 720, line.data() + kLineGuard);
  const std::uint8_t expected[] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 16};
  EXPECT_EQ(0, std::memcmp(line.data() + kLineGuard, expected, sizeof(expected)));
  EXPECT_EQ(line[kLineGuard - 1], 0);  // the guard copies the first pixel

  // 720 samples read exactly 960 luma and 480 chroma bytes: end the rows at a no-access page.
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const size_t page = info.dwPageSize;
  auto* memory = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(memory, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(memory + page, page, PAGE_NOACCESS, &old));
  std::memset(memory, 3, page);
  UnpackPlanarLuma(memory + page - 960, 720, line.data() + kLineGuard);
  std::vector<std::uint8_t> chroma(line.size());
  UnpackPlanarChroma(memory + page - 480, memory + page - 480, 720, chroma.data() + kLineGuard);
  UnpackPlanarLuma(memory + page - 512, 352, line.data() + kLineGuard);
  EXPECT_EQ(line[kLineGuard + 351], 3);
  VirtualFree(memory, 0, MEM_RELEASE);
}

// ---- Row pairs ------------------------------------------------------------------------------

std::vector<std::uint8_t> Row(int width, std::uint8_t y, std::uint8_t c) {
  std::vector<std::uint8_t> row(2 * width);
  for (int x = 0; x < width; ++x) {
    row[2 * x] = y;
    row[2 * x + 1] = c;
  }
  return row;
}

struct PairRun {
  std::vector<std::uint8_t> kept, fill;
};

PairRun RunPair(const KernelKind& kind, KernelContext& context, const std::vector<std::uint8_t>& above,
                const std::vector<std::uint8_t>& below, const std::vector<std::uint8_t>& previous,
                const std::vector<std::uint8_t>& next, int width, int fieldFlag = 0) {
  PairRun run;
  run.kept.assign(32 * BlockCount16(width), 0);
  run.fill.assign(32 * BlockCount16(width), 0);
  PackedRowPair pair{run.kept.data(), run.fill.data(), fieldFlag ? above.data() : below.data(), above.data(),
                     below.data(), previous.data(), next.data(), 2, width, fieldFlag};
  ReferencePackedKernel(kind, context, pair);
  return run;
}

TEST(FieldRules, Examples) {
  KernelContext none;
  const int w = 32;
  auto r = RunPair(FieldRuleKernel(FieldRule::Average, false), none, Row(w, 10, 10), Row(w, 13, 13), Row(w, 0, 0),
                   Row(w, 0, 0), w);
  EXPECT_EQ(r.fill[0], 12);
  EXPECT_EQ(r.fill[1], 12);
  EXPECT_EQ(r.kept[0], 13);

  const auto median = FieldRuleKernel(FieldRule::Median, false);
  r = RunPair(median, none, Row(w, 0, 40), Row(w, 200, 60), Row(w, 255, 0), Row(w, 90, 0), w);
  EXPECT_EQ(r.fill[0], 100);
  EXPECT_EQ(r.fill[1], 50);  // chroma: the average of above and below only
  r = RunPair(median, none, Row(w, 50, 0), Row(w, 60, 0), Row(w, 0, 0), Row(w, 0, 0), w);
  EXPECT_EQ(r.fill[0], 50);

  r = RunPair(FieldRuleKernel(FieldRule::Copy, false), none, Row(w, 1, 2), Row(w, 3, 4), Row(w, 5, 6), Row(w, 7, 8), w);
  EXPECT_EQ(r.fill, Row(w, 5, 6));
  EXPECT_EQ(r.kept, Row(w, 3, 4));
}

TEST(FieldRules, AgreeingNeighboursWinAndChromaIgnoresOtherPictures) {
  KernelContext none;
  const int w = 64;
  std::mt19937 random(11);
  std::vector<std::uint8_t> line(2 * w);
  for (auto& b : line) b = static_cast<std::uint8_t>(random());
  for (Interpolator interpolator :
       {Interpolator::FieldMedian, Interpolator::EdgeDirected, Interpolator::EdgeMedian, Interpolator::LineAverage}) {
    KernelKind kind;
    kind.interpolator = interpolator;
    const auto a = RunPair(kind, none, line, line, Row(w, 0, 0), Row(w, 255, 255), w);
    const auto b = RunPair(kind, none, line, line, Row(w, 255, 9), Row(w, 0, 99), w);
    EXPECT_EQ(std::vector<std::uint8_t>(a.fill.begin(), a.fill.begin() + 2 * w), line);
    EXPECT_EQ(a.fill, b.fill);
  }
}

// ---- Whole fields ---------------------------------------------------------------------------

struct Picture {
  int width, height;
  std::vector<std::uint8_t> bytes;  // YUY2, pitch = width
  const std::uint8_t* Line(int y) const { return bytes.data() + 2 * static_cast<size_t>(width) * y; }
};

Picture RandomPicture(int width, int height, unsigned seed, int smooth = 0) {
  Picture p{width, height, std::vector<std::uint8_t>(2 * static_cast<size_t>(width) * height)};
  std::mt19937 random(seed);
  for (size_t i = 0; i < p.bytes.size(); ++i) {
    p.bytes[i] = smooth ? static_cast<std::uint8_t>((i / 2 % width) * smooth / 8 + random() % 24)
                        : static_cast<std::uint8_t>(random());
  }
  return p;
}

// One field of a picture as SampleGroup6of8 planes (junk in the unused bytes).
struct Planes {
  std::vector<std::uint8_t> luma, u, v;
};
constexpr int kLumaPitch = 1024, kChromaPitch = 512;

Planes FieldPlanes(const Picture& p, int parity, unsigned seed) {
  const int rows = p.height / 2;
  Planes planes;
  std::mt19937 random(seed);
  auto junk = [&](std::vector<std::uint8_t>& v, size_t n) {
    v.resize(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(random());
  };
  junk(planes.luma, static_cast<size_t>(kLumaPitch) * rows);
  junk(planes.u, static_cast<size_t>(kChromaPitch) * rows);
  junk(planes.v, static_cast<size_t>(kChromaPitch) * rows);
  for (int r = 0; r < rows; ++r) {
    const std::uint8_t* line = p.Line(2 * r + parity);
    for (int s = 0; s < p.width; ++s) planes.luma[kLumaPitch * r + 8 * (s / 6) + s % 6] = line[2 * s];
    for (int s = 0; s < p.width / 2; ++s) {
      planes.u[kChromaPitch * r + 8 * (s / 6) + s % 6] = line[4 * s + 1];
      planes.v[kChromaPitch * r + 8 * (s / 6) + s % 6] = line[4 * s + 3];
    }
  }
  return planes;
}

struct Processors {
  ParameterTable table;
  std::unique_ptr<ContrastProcessor> contrast;
  std::unique_ptr<SharpnessProcessor> sharpness;
  ChromaLineRing ring;
  KernelContext context;

  explicit Processors(int sharpnessFactor = 25, int coring = 3, unsigned garbageSeed = 0) {
    table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
    contrast = std::make_unique<ContrastProcessor>(&table);
    sharpness = std::make_unique<SharpnessProcessor>(&table);
    table.SetByName(params::kSharpnessFactor, sharpnessFactor);
    table.SetByName(params::kSharpnessCoring, coring);
    sharpness->LoadParameters();
    // A non-trivial curve, so that mapping mistakes show.
    for (int k = 0; k < 256; ++k) contrast->curve().entries[k] = 0x1200 | ((k * 7 + 3) & 0xFF);
    if (garbageSeed) {
      std::mt19937 random(garbageSeed);
      for (int s = 0; s < SharpnessProcessor::kLumaSlots; ++s) {
        for (int i = 0; i < 16 * 45; ++i) sharpness->Luma(s)[i] = static_cast<std::uint8_t>(random());
      }
      for (int s = 0; s < SharpnessProcessor::kSumSlots; ++s) {
        for (int i = 0; i < 8 * 45; ++i) sharpness->SumLow(s)[i] = static_cast<std::uint16_t>(random() % 511);
      }
      for (int s = 0; s < ChromaLineRing::kSlots; ++s) {
        for (int i = 0; i < 16 * 45; ++i) ring.Slot(s)[i] = static_cast<std::uint8_t>(random());
      }
    }
    context.contrast = contrast.get();
    context.sharpness = sharpness.get();
    context.chromaRing = &ring;
  }
};

struct Output {
  int pitch, height;
  std::vector<std::uint8_t> bytes;
  Output(int width, int h) : pitch(16 * BlockCount16(width)), height(h), bytes(2 * static_cast<size_t>(pitch) * h, 0xEE) {}
  OutputFrame frame() { return OutputFrame{bytes.data(), pitch, height}; }
  const std::uint8_t* Line(int y) const { return bytes.data() + 2 * static_cast<size_t>(pitch) * y; }
};

HRESULT RunPacked(const KernelKind& kind, KernelContext& context, const Picture& o, const Picture& m,
                  const Picture& n, Output& out, int fieldFlag) {
  return ReferencePackedField(kind, context, PackedFieldFrames{o.bytes.data(), m.bytes.data(), n.bytes.data(), m.width, m.width},
                              out.frame(), fieldFlag);
}

HRESULT RunPlanar(const KernelKind& kind, KernelContext& context, const Picture& o, const Picture& m,
                  const Picture& n, Output& out, int fieldFlag) {
  const int keptParity = 1 - fieldFlag, otherParity = fieldFlag;
  const Planes kept = FieldPlanes(m, keptParity, 21), previous = FieldPlanes(o, otherParity, 22),
               next = FieldPlanes(n, otherParity, 23);
  PlanarFieldFrames in{{kept.luma.data(), kept.u.data(), kept.v.data()},
                       {previous.luma.data(), previous.u.data(), previous.v.data()},
                       {next.luma.data(), next.u.data(), next.v.data()},
                       kLumaPitch,
                       kChromaPitch,
                       m.height / 2,
                       m.width};
  return ReferencePlanarField(kind, context, in, out.frame(), fieldFlag);
}

std::vector<KernelKind> AllKinds() {
  std::vector<KernelKind> kinds;
  for (bool contrast : {false, true}) {
    for (int pair = 0; pair < 7; ++pair) kinds.push_back(PairKernel(pair, contrast));
    for (FieldRule rule : {FieldRule::Copy, FieldRule::Average, FieldRule::Median})
      kinds.push_back(FieldRuleKernel(rule, contrast));
  }
  return kinds;
}

TEST(Fields, CopyRuleIsAWeave) {
  const Picture o = RandomPicture(720, 16, 1), m = RandomPicture(720, 16, 2), n = RandomPicture(720, 16, 3);
  for (int f : {0, 1}) {
    Processors processors;
    Output out(720, 16);
    ASSERT_EQ(RunPacked(FieldRuleKernel(FieldRule::Copy, false), processors.context, o, m, n, out, f), S_OK);
    for (int y = 0; y < 16; ++y) {
      const bool kept = (y % 2) == 1 - f;
      ASSERT_EQ(0, std::memcmp(out.Line(y), (kept ? m : o).Line(y), 2 * 720)) << f << " " << y;
    }
  }
}

TEST(Fields, BorderRowsRepeatTheKeptField) {
  const Picture m = RandomPicture(32, 8, 4);
  KernelContext none;
  for (int f : {0, 1}) {
    Output out(32, 8);
    ASSERT_EQ(RunPacked(FieldRuleKernel(FieldRule::Average, false), none, m, m, m, out, f), S_OK);
    for (int y = 0; y < 8; ++y) {
      const std::uint8_t* expected = nullptr;
      std::vector<std::uint8_t> average(64);
      if ((y % 2) == 1 - f) {
        expected = m.Line(y);
      } else {
        const int above = std::clamp(y - 1, 1 - f, 7 - f), below = std::clamp(y + 1, 1 - f, 7 - f);
        for (int i = 0; i < 64; ++i) average[i] = Average(m.Line(above)[i], m.Line(below)[i]);
        expected = average.data();
      }
      ASSERT_EQ(0, std::memcmp(out.Line(y), expected, 64)) << f << " " << y;
    }
  }
}

TEST(Fields, GainZeroIsThePlainInterpolation) {
  const Picture o = RandomPicture(360, 12, 5), m = RandomPicture(360, 12, 6), n = RandomPicture(360, 12, 7);
  for (int pair : {0, 1, 2, 4, 6}) {
    for (bool contrast : {false, true}) {
      for (int f : {0, 1}) {
        Processors sharp(0, 0, 99), plain;
        KernelKind unsharpened = PairKernel(pair, contrast);
        unsharpened.sharpen = false;
        Output a(360, 12), b(360, 12);
        ASSERT_EQ(RunPacked(PairKernel(pair, contrast), sharp.context, o, m, n, a, f), S_OK);
        ASSERT_EQ(RunPacked(unsharpened, plain.context, o, m, n, b, f), S_OK);
        // Within the picture (past its width a ring line holds copies of its last pixel).
        for (int y = 0; y < 12; ++y) {
          ASSERT_EQ(0, std::memcmp(a.Line(y), b.Line(y), 2 * 360)) << pair << " " << contrast << " " << f << " " << y;
        }
      }
    }
  }
}

TEST(Fields, SharpenIsDeterministicAndLeavesFlatPicturesAlone) {
  Picture flat{64, 10, std::vector<std::uint8_t>(2 * 64 * 10)};
  for (size_t i = 0; i < flat.bytes.size(); ++i) flat.bytes[i] = i % 2 ? 128 : 91;
  Processors processors(100, 0, 3);
  Output out(64, 10);
  ASSERT_EQ(RunPacked(PairKernel(1, false), processors.context, flat, flat, flat, out, 1), S_OK);
  EXPECT_EQ(out.bytes, flat.bytes);

  const Picture o = RandomPicture(80, 10, 8, 3), m = RandomPicture(80, 10, 9, 3), n = RandomPicture(80, 10, 10, 3);
  Processors clean(40, 2), dirty(40, 2, 77);
  Output a(80, 10), b(80, 10);
  ASSERT_EQ(RunPacked(PairKernel(6, true), clean.context, o, m, n, a, 0), S_OK);
  ASSERT_EQ(RunPacked(PairKernel(6, true), dirty.context, o, m, n, b, 0), S_OK);
  EXPECT_EQ(a.bytes, b.bytes);
  // A second field after another one gives the same bytes: nothing bleeds across fields.
  Output c(80, 10);
  ASSERT_EQ(RunPacked(PairKernel(6, true), clean.context, o, m, n, c, 0), S_OK);
  EXPECT_EQ(a.bytes, c.bytes);
  // Sharpening does something on a real picture.
  Processors off(0, 0);
  Output d(80, 10);
  ASSERT_EQ(RunPacked(PairKernel(6, true), off.context, o, m, n, d, 0), S_OK);
  EXPECT_NE(a.bytes, d.bytes);
}

// A flat field (luma 100, chroma 10 x row) with one bright kept pixel, worked out by hand: line
// n is sharpened against lines n - 2 and n + 2 at x - 2 and x + 2 (kept lines against kept
// lines, interpolated against interpolated), one pair late, chroma passed through.
TEST(Fields, SharpenWiringByHand) {
  const int width = 32, height = 12, x = 10;
  for (int f : {0, 1}) {
    const int peak = 5 - f;  // a kept row: 5 (f = 0) or 4 (f = 1)
    Picture m{width, height, std::vector<std::uint8_t>(2 * width * height)};
    for (int y = 0; y < height; ++y) {
      for (int i = 0; i < width; ++i) {
        m.bytes[2 * (width * y + i)] = 100;
        m.bytes[2 * (width * y + i) + 1] = static_cast<std::uint8_t>(10 * y);
      }
    }
    m.bytes[2 * (width * peak + x)] = 200;
    // d and the added value p per place: line `peak` at x: d = 100 - 50; the interpolated lines
    // beside it (150 at x): d = 75 - 50; kept lines two away at x -+ 2: d = 50 - (500 >> 3);
    // interpolated lines two away from those at x -+ 2: d = 50 - (450 >> 3).
    struct Case {
      int factor, coring, peakP, besideP, keptNearP, fillNearP;
    } cases[] = {{50, 0, 50, 25, -12, -6}, {25, 3, 23, 11, -4, -1}};
    for (const Case& c : cases) {
      for (bool contrast : {false, true}) {
        Processors processors(c.factor, c.coring);
        for (int k = 0; k < 256; ++k) processors.contrast->curve().entries[k] = 0x300 | (255 - k);
        Output out(width, height);
        ASSERT_EQ(RunPacked(PairKernel(1, contrast), processors.context, m, m, m, out, f), S_OK);
        for (int y = 0; y < height; ++y) {
          for (int i = 0; i < width; ++i) {
            int luma = 100;
            if (y == peak && i == x) luma = 200 + c.peakP;
            if ((y == peak - 1 || y == peak + 1) && i == x) luma = 150 + c.besideP;
            if ((y == peak - 2 || y == peak + 2) && (i == x - 2 || i == x + 2)) luma = 100 + c.keptNearP;
            if ((y == peak - 3 || y == peak - 1 || y == peak + 1 || y == peak + 3) && (i == x - 2 || i == x + 2)) {
              luma = 100 + c.fillNearP;
            }
            // Chroma: kept rows carry their own, interpolated rows the average of the kept rows
            // around them, the field's edges repeating its first or last kept row.
            int chroma = 10 * y;
            if (f == 0 && y == 0) chroma = 10;
            if (f == 1 && y == height - 1) chroma = 10 * (height - 2);
            const std::uint8_t* line = out.Line(y);
            ASSERT_EQ(line[2 * i], contrast ? 255 - luma : luma)
                << "f " << f << " factor " << c.factor << " contrast " << contrast << " y " << y << " x " << i;
            ASSERT_EQ(line[2 * i + 1], chroma) << "f " << f << " y " << y << " x " << i;
          }
        }
        if (contrast) {
          // The statistics count the kept lines as they came in (unsharpened, unmapped),
          // the closing call's repeated line included.
          EXPECT_EQ(processors.contrast->statistics().histogram[200], 1u);
          EXPECT_EQ(processors.contrast->statistics().count, 7u * width);
        }
      }
    }
  }
}

TEST(Fields, ContrastStatisticsAndIdentityCurve) {
  const Picture o = RandomPicture(360, 8, 12), m = RandomPicture(360, 8, 13), n = RandomPicture(360, 8, 14);
  for (const KernelKind& kind : AllKinds()) {
    if (!kind.contrast) continue;
    Processors processors;
    SetScaledIdentity(&processors.contrast->curve());
    for (int k = 0; k < 256; ++k) processors.contrast->curve().entries[k] = k;
    KernelKind off = kind;
    off.contrast = false;
    Processors reference;
    Output a(360, 8), b(360, 8);
    ASSERT_EQ(RunPacked(kind, processors.context, o, m, n, a, 1), S_OK);
    ASSERT_EQ(RunPacked(off, reference.context, o, m, n, b, 1), S_OK);
    EXPECT_EQ(a.bytes, b.bytes);
    const std::uint32_t calls = kind.sharpen ? 5 : 4;  // the closing call counts too
    EXPECT_EQ(processors.contrast->statistics().count, calls * 368);
  }
  // The median rule counts the next picture's line, the pairs the kept line.
  Picture bright = o;
  std::fill(bright.bytes.begin(), bright.bytes.end(), 250);
  Processors median, pair;
  Output out(360, 8);
  ASSERT_EQ(RunPacked(FieldRuleKernel(FieldRule::Median, true), median.context, o, m, bright, out, 0), S_OK);
  ASSERT_EQ(RunPacked(PairKernel(2, true), pair.context, o, m, bright, out, 0), S_OK);
  EXPECT_EQ(median.contrast->statistics().histogram[250], 4u * 368);
  EXPECT_LT(pair.contrast->statistics().histogram[250], 100u);
}

TEST(Fields, PlanarEqualsPacked) {
  for (int width : {720, 360}) {
    const Picture o = RandomPicture(width, 12, 30, 2), m = RandomPicture(width, 12, 31, 2),
                  n = RandomPicture(width, 12, 32, 2);
    for (const KernelKind& kind : AllKinds()) {
      for (int f : {0, 1}) {
        Processors packed(60, 1), planar(60, 1);
        Output a(width, 12), b(width, 12);
        ASSERT_EQ(RunPacked(kind, packed.context, o, m, n, a, f), S_OK);
        ASSERT_EQ(RunPlanar(kind, planar.context, o, m, n, b, f), S_OK);
        ASSERT_EQ(a.bytes, b.bytes) << width << " " << static_cast<int>(kind.interpolator) << " " << kind.sharpen
                                    << kind.contrast << " " << f;
        ASSERT_EQ(0, std::memcmp(&packed.contrast->statistics(), &planar.contrast->statistics(),
                                 sizeof(ContrastStatistics)));
      }
    }
  }
}

TEST(Fields, RefusesWhatTheKernelsCannotHold) {
  const Picture m = RandomPicture(720, 4, 40);
  Processors processors;
  Output narrow(704, 4);
  EXPECT_EQ(RunPacked(PairKernel(3, false), processors.context, m, m, m, narrow, 0), E_INVALIDARG);
  KernelContext none;
  Output out(720, 4);
  EXPECT_EQ(RunPacked(PairKernel(1, false), none, m, m, m, out, 0), E_UNEXPECTED);
  EXPECT_EQ(RunPacked(PairKernel(3, true), none, m, m, m, out, 0), E_UNEXPECTED);
  const Picture wide = RandomPicture(768, 4, 41);
  Output wideOut(768, 4);
  EXPECT_EQ(RunPacked(PairKernel(1, false), processors.context, wide, wide, wide, wideOut, 0), E_UNEXPECTED);
  processors.sharpness->SetWidth(768);
  processors.ring.Reserve(768);
  EXPECT_EQ(RunPacked(PairKernel(1, false), processors.context, wide, wide, wide, wideOut, 0), S_OK);
}

TEST(FieldWork, Selection) {
  EXPECT_EQ(SelectFieldWork(7, true).type, FieldWork::WholeFrame);
  EXPECT_EQ(SelectFieldWork(9, false).index, 2);
  EXPECT_EQ(SelectFieldWork(1, false).type, FieldWork::Rule);
  EXPECT_EQ(SelectFieldWork(1, true).index, 1);
  EXPECT_EQ(SelectFieldWork(3, false).index, 3);
  EXPECT_EQ(SelectFieldWork(3, true).index, 4);
  for (int mode : {4, 5, 6, 12, -1}) {
    EXPECT_EQ(SelectFieldWork(mode, false).index, 5);
    EXPECT_EQ(SelectFieldWork(mode, true).index, 6);
  }
}

}  // namespace
}  // namespace deinterlace

// The Tesk processor field by field: the vector kernels against the same processor on the scalar
// reference over every mode, setting, layout and field; the row mapping on pictures whose rows
// carry their numbers; the whole-frame modes; the owner and table checks; a format and
// parameter hammer from a second thread.
#include "filters/deinterlace/tesk_processor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "filters/base/testkit/field_frame_builder.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/parameter_table.h"

namespace deinterlace {
namespace {

constexpr int kWidth = 720;
constexpr int kOutputPitch = 768;

unsigned TestSeed() {
  static const unsigned seed = [] {
    const char* text = std::getenv("VORN_KERNEL_SEED");
    const unsigned value = text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : GetTickCount();
    std::printf("processor test seed: %u (VORN_KERNEL_SEED=%u repeats it)\n", value, value);
    return value;
  }();
  return seed;
}

struct Owner : ProcessorOwner {
  ParameterTable* table = nullptr;
  bool hasType = true;
  bool planar = false;
  ParameterTable* OwnerParameterTable() override { return table; }
  bool OwnerInputLayout(bool* p) override {
    *p = planar;
    return hasType;
  }
};

// Three input pictures (packed YUY2 at pitch 720, or field-planar samples) and an output frame.
struct Pictures {
  int height;
  bool planar;
  std::vector<std::uint8_t> frames[3];
  std::vector<std::uint8_t> output;
};

Pictures RandomPictures(int height, bool planar, std::mt19937& random) {
  Pictures p{height, planar, {}, std::vector<std::uint8_t>(2 * kOutputPitch * static_cast<size_t>(height), 0xEE)};
  for (auto& frame : p.frames) {
    frame.resize(planar ? field_video::MakePlaneLayout(kWidth, height).totalBytes
                        : 2 * kWidth * static_cast<size_t>(height));
    for (auto& b : frame) b = static_cast<std::uint8_t>(random() % 5 == 0 ? random() % 256 : 60 + random() % 120);
    if (planar) std::memset(frame.data(), 0, field_video::kHeaderSize);
  }
  return p;
}

// A processor with its table, descriptors and owner, on the given kernels.
struct Rig {
  ParameterTable table;
  FrameDescriptor input, output;
  Owner owner;
  TeskProcessor processor;

  explicit Rig(std::uint32_t mask, const KernelTable* kernels = nullptr)
      : processor(&table, &input, &output, mask, kernels) {
    table.Register(params::kDeintermode, 0, 9, 4, 2);
    table.Register(params::kContrast, 0, 1, 1, 2);
    table.Register(params::kSharpness, 0, 1, 1, 2);
    table.Register(params::kFirstField, 0, 1, 1, 2);
    processor.ApplyParameters();
    owner.table = &table;
    processor.Attach(&owner);
  }
  void Set(int mode, bool contrast, bool sharpness) {
    table.SetByName(params::kDeintermode, mode);
    table.SetByName(params::kContrast, contrast ? 1 : 0);
    table.SetByName(params::kSharpness, sharpness ? 1 : 0);
  }
  void Attach(Pictures& p) {
    owner.planar = p.planar;
    input.SetFormat(kWidth, p.height, p.planar ? field_video::RowPitch(kWidth) : kWidth);
    input.SetPlane(0, p.frames[0].data());
    input.SetPlane(1, p.frames[1].data());
    input.SetPlane(2, p.frames[2].data());
    output.SetFormat(kWidth, p.height, kOutputPitch);
    output.SetPlane(1, p.output.data());
  }
};

std::uint32_t VectorMask() { return kCpuMmx | kCpuSseInteger | kCpuSse2 | (ProcessorMask::Detected() & kCpuSse3); }

TEST(TeskProcessor, VectorKernelsGiveTheReferenceFrames) {
  const KernelTable reference = BuildKernelTable(0);
  std::mt19937 random(TestSeed());
  for (int height : {480, 240, 2}) {
    for (bool planar : {false, true}) {
      Pictures vectorPictures = RandomPictures(height, planar, random);
      Pictures referencePictures = vectorPictures;
      Rig vector(VectorMask());
      Rig scalar(VectorMask(), &reference);
      vector.Attach(vectorPictures);
      scalar.Attach(referencePictures);
      for (int mode = 0; mode <= 9; ++mode) {
        for (int settings = 0; settings < 4; ++settings) {
          vector.Set(mode, settings & 1, settings & 2);
          scalar.Set(mode, settings & 1, settings & 2);
          for (int field : {2, 1}) {  // two fields: the second runs on the first one's curve
            ASSERT_EQ(vector.processor.ProcessField(field), S_OK);
            ASSERT_EQ(scalar.processor.ProcessField(field), S_OK);
            ASSERT_EQ(vectorPictures.output, referencePictures.output)
                << "height " << height << (planar ? " planar" : " packed") << " mode " << mode << " contrast "
                << (settings & 1) << " sharpness " << (settings >> 1) << " field " << field;
          }
          ASSERT_EQ(std::memcmp(&vector.processor.Contrast().curve(), &scalar.processor.Contrast().curve(),
                                sizeof(ContrastCurve)),
                    0);
        }
      }
    }
  }
}

// Pictures whose rows carry their numbers: current picture row y has luma and chroma y, the
// previous picture 255 - y.
Pictures RowPictures(int height, bool planar) {
  Pictures p{height, planar, {}, std::vector<std::uint8_t>(2 * kOutputPitch * static_cast<size_t>(height), 0xEE)};
  for (int i = 0; i < 3; ++i) {
    const auto value = [i](int y) { return static_cast<std::uint8_t>(i == 0 ? 255 - y : y); };
    if (planar) {
      graph_testkit::FieldPlanarFrameBuilder builder(kWidth, height);
      builder.Fill([&](int, int y) { return value(y); }, [&](int, int y) { return value(y); },
                   [&](int, int y) { return value(y); });
      p.frames[i] = builder.Bytes();
    } else {
      p.frames[i].resize(2 * kWidth * static_cast<size_t>(height));
      for (int y = 0; y < height; ++y) std::memset(p.frames[i].data() + 2 * kWidth * y, value(y), 2 * kWidth);
    }
  }
  return p;
}

// What a row of the output holds in mode 0 (the missing line from the previous picture) or
// mode 1 (the average of the kept rows around it, the nearest kept row at the borders).
int ExpectedRow(int mode, int row, int height, int fieldFlag) {
  const bool kept = (row % 2 == 0) == (fieldFlag == 1);
  if (kept) return row;
  if (mode == 0) return 255 - row;
  const int above = row - 1 >= 0 ? row - 1 : row + 1;
  const int below = row + 1 < height ? row + 1 : row - 1;
  return (above + below + 1) >> 1;
}

TEST(TeskProcessor, RowMappingBordersAndSharpnessDelay) {
  for (int height : {240, 6, 4, 2}) {
    for (bool planar : {false, true}) {
      for (int mode : {0, 1}) {
        for (bool sharpness : {false, true}) {
          for (int field : {1, 2}) {
            Pictures p = RowPictures(height, planar);
            Rig rig(VectorMask());
            rig.table.Register(params::kSharpnessFactor, 0, 100, 25, 1);
            rig.table.SetByName(params::kSharpnessFactor, 0);  // gain 0: the pipeline delay alone
            rig.processor.ApplyParameters();
            rig.Set(mode, false, sharpness);
            rig.Attach(p);
            ASSERT_EQ(rig.processor.ProcessField(field), S_OK);
            const int f = field == 2 ? 1 : 0;
            for (int row = 0; row < height; ++row) {
              const std::uint8_t* out = p.output.data() + 2 * kOutputPitch * row;
              const int expected = ExpectedRow(mode, row, height, f);
              for (int b = 0; b < 2 * kWidth; ++b) {
                ASSERT_EQ(out[b], expected) << "height " << height << (planar ? " planar" : " packed") << " mode "
                                            << mode << " sharpness " << sharpness << " field " << field << " row "
                                            << row << " byte " << b;
              }
            }
          }
        }
      }
    }
  }
}

TEST(TeskProcessor, FirstFieldChoosesTheStoredFieldKeptAsTop) {
  Pictures p = RowPictures(8, true);  // the field stored first holds the even rows
  Rig rig(VectorMask());
  rig.Set(0, false, false);
  rig.Attach(p);
  ASSERT_EQ(rig.processor.ProcessField(2), S_OK);
  EXPECT_EQ(p.output[0], 0);
  EXPECT_EQ(p.output[2 * kOutputPitch * 2], 2);
  rig.table.SetByName(params::kFirstField, 0);  // between fields: the stored-first field is the bottom one
  ASSERT_EQ(rig.processor.ProcessField(2), S_OK);
  EXPECT_EQ(p.output[0], 1);
  EXPECT_EQ(p.output[2 * kOutputPitch * 2], 3);
}

TEST(TeskProcessor, WholeFrameModesRunOnlyTheirMethodOnPackedOrWovenPictures) {
  std::mt19937 random(TestSeed());
  for (bool planar : {false, true}) {
    for (int mode : {7, 8, 9}) {
      Pictures p = planar ? RowPictures(480, true) : RandomPictures(480, false, random);
      Rig rig(VectorMask());
      rig.Set(mode, true, true);
      rig.Attach(p);
      const ContrastCurve curveBefore = rig.processor.Contrast().curve();
      ASSERT_EQ(rig.processor.ProcessField(2), S_OK);

      // The current picture as packed YUY2 (planar: rows woven, row y carrying y).
      std::vector<std::uint8_t> packed = p.frames[1];
      if (planar) {
        packed.assign(2 * kWidth * 480, 0);
        for (int y = 0; y < 480; ++y) std::memset(packed.data() + 2 * kWidth * y, y & 0xFF, 2 * kWidth);
      }
      std::vector<std::uint8_t> expected(p.output.size(), 0xEE);
      rig.processor.WholeFrame().Run(mode - 7, packed.data(), expected.data(), kOutputPitch, 480, kWidth);
      ASSERT_EQ(p.output, expected) << (planar ? "planar" : "packed") << " mode " << mode;
      ContrastStatistics zero;
      std::memset(&zero, 0, sizeof(zero));
      EXPECT_EQ(std::memcmp(&rig.processor.Contrast().statistics(), &zero, sizeof(zero)), 0);
      EXPECT_EQ(std::memcmp(&rig.processor.Contrast().curve(), &curveBefore, sizeof(curveBefore)), 0);
    }
  }
}

TEST(TeskProcessor, NothingHappensWithoutOwnerTableOrInputType) {
  std::mt19937 random(TestSeed());
  Pictures p = RandomPictures(16, false, random);
  Rig rig(VectorMask());
  rig.Set(4, true, true);
  rig.Attach(p);
  const std::vector<std::uint8_t> before = p.output;
  rig.owner.hasType = false;
  EXPECT_EQ(rig.processor.ProcessField(2), S_FALSE);
  rig.owner.hasType = true;
  rig.owner.table = nullptr;
  EXPECT_EQ(rig.processor.ProcessField(2), S_FALSE);
  rig.processor.Attach(nullptr);
  EXPECT_EQ(rig.processor.ProcessField(1), S_FALSE);
  EXPECT_EQ(p.output, before);
  rig.processor.Attach(&rig.owner);
  rig.owner.table = &rig.table;
  rig.input.ClearFrames();
  EXPECT_EQ(rig.processor.ProcessField(1), E_POINTER);
}

TEST(TeskProcessor, FormatsAndParametersFromAnotherThreadDuringFields) {
  std::mt19937 random(TestSeed());
  Pictures p = RandomPictures(64, false, random);
  Rig rig(VectorMask());
  rig.table.Register(params::kSharpnessFactor, 0, 100, 25, 1);
  rig.Set(6, true, true);
  rig.Attach(p);
  std::atomic<bool> done{false};
  std::thread other([&] {
    std::mt19937 r(7);
    for (int round = 0; round < 1000; ++round) {
      rig.processor.SetFormat(16 + static_cast<int>(r() % 1000), 480, 720);
      rig.table.SetByName(params::kSharpnessFactor, static_cast<int>(r() % 101));
      rig.processor.ApplyParameters();
    }
    done = true;
  });
  int fields = 0;
  while (!done || fields < 2) {
    ASSERT_EQ(rig.processor.ProcessField(fields % 2 + 1), S_OK);
    ++fields;
  }
  other.join();
  EXPECT_GE(rig.processor.Sharpness().groups(), BlockCount16(720));
}

TEST(TeskProcessor, ScoreAndOutputSize) {
  Rig rig(kCpuMmx | kCpuSseInteger | kCpuSse2);
  std::int32_t score = 0;
  EXPECT_EQ(rig.processor.GetScore(&score), S_OK);
  EXPECT_EQ(score, 40);
  int w = 0, h = 0;
  EXPECT_EQ(rig.processor.GetOutputSize(352, 240, &w, &h), S_OK);
  EXPECT_EQ(w * 1000 + h, 352240);
  EXPECT_STREQ(rig.processor.Name(), "Tesk Processor");
}

}  // namespace
}  // namespace deinterlace

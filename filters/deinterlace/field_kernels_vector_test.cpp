// The vector kernels against the scalar reference: every kernel of every instruction set, on
// random rows of every kind of content, call after call, comparing the written bytes, the
// contrast statistics lane by lane and the sharpness rings; inputs checked unchanged, canaries
// around every destination, rows placed against no-access pages.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/testing/seed.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/field_driver.h"
#include "filters/deinterlace/field_kernels.h"
#include "filters/deinterlace/kernel_dispatch.h"
#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/sharpness_processor.h"

namespace deinterlace {
namespace {

using testing_support::TestSeed;

// ---- Content --------------------------------------------------------------------------------

// Bytes of one row of `count` samples with `step` bytes between samples of one kind: runs of
// noise, extremes, flat areas, values from a coarse set (SAD ties), ramps and 45-degree edges.
void FillContent(std::mt19937& random, std::uint8_t* bytes, int count) {
  int i = 0;
  while (i < count) {
    const int run = 1 + static_cast<int>(random() % 40);
    const int kind = static_cast<int>(random() % 6);
    const int base = static_cast<int>(random() % 256);
    const int slope = static_cast<int>(random() % 9) - 4;
    for (int k = 0; k < run && i < count; ++k, ++i) {
      int v = 0;
      switch (kind) {
        case 0: v = static_cast<int>(random() % 256); break;
        case 1: v = random() % 2 ? 255 : 0; break;
        case 2: v = base; break;
        case 3: v = 20 * static_cast<int>(random() % 6); break;
        case 4: v = base + slope * k; break;
        default: v = (k + base) % 16 < 8 ? 16 : 235; break;  // a hard edge moving one pixel a row
      }
      bytes[i] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
    }
  }
}

// ---- Processors -----------------------------------------------------------------------------

constexpr int kMaxWidth = 736;

struct State {
  ParameterTable table;
  std::unique_ptr<ContrastProcessor> contrast;
  std::unique_ptr<SharpnessProcessor> sharpness;
  ChromaLineRing ring;
  PlanarLineSet planar;
  KernelContext context;

  State(int factor, int coring) {
    table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
    contrast = std::make_unique<ContrastProcessor>(&table);
    sharpness = std::make_unique<SharpnessProcessor>(&table);
    table.SetByName(params::kSharpnessFactor, factor);
    table.SetByName(params::kSharpnessCoring, coring);
    sharpness->LoadParameters();
    sharpness->SetWidth(kMaxWidth);
    ring.Reserve(kMaxWidth);
    planar.Reserve(kMaxWidth);
    context.contrast = contrast.get();
    context.sharpness = sharpness.get();
    context.chromaRing = &ring;
    context.planarLines = &planar;
    ring.Select(2);
  }

  // Random rings (guards included), curve and statistics, the same for every seed.
  void Scramble(unsigned seed) {
    std::mt19937 random(seed);
    const int groups = sharpness->groups();
    const auto fill = [&](void* p, size_t n) {
      auto* b = static_cast<std::uint8_t*>(p);
      for (size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(random());
    };
    for (int s = 0; s < SharpnessProcessor::kLumaSlots; ++s) fill(sharpness->Luma(s) - kLineGuard, 16 * groups + 2 * kLineGuard);
    for (int s = 0; s < SharpnessProcessor::kSumSlots; ++s) {
      fill(sharpness->SumLow(s), 16 * groups);
      fill(sharpness->SumHigh(s), 16 * groups);
      for (int i = 0; i < 8 * groups; ++i) {
        sharpness->SumLow(s)[i] %= 511;
        sharpness->SumHigh(s)[i] %= 511;
      }
    }
    for (int s = 0; s < ChromaLineRing::kSlots; ++s) fill(ring.Slot(s), 16 * ring.groups());
    for (int k = 0; k < 256; ++k) contrast->curve().entries[k] = static_cast<std::int32_t>(random());
    ContrastStatistics& st = contrast->statistics();
    for (int k = 0; k < 256; ++k) st.histogram[k] = random() % 1000;
    for (auto& lane : st.lumaSum) lane = static_cast<std::uint32_t>(random());
    for (auto& lane : st.squareSum) lane = random();
    st.count = random() % 100000;
  }
};

::testing::AssertionResult SameState(const State& a, const State& b, int width) {
  const int groups = BlockCount16(width);
  if (a.ring.OutputSlot() != b.ring.OutputSlot()) return ::testing::AssertionFailure() << "chroma output slot";
  for (int s = 0; s < SharpnessProcessor::kLumaSlots; ++s) {
    if (std::memcmp(a.sharpness->Luma(s) - kLineGuard, b.sharpness->Luma(s) - kLineGuard, 16 * groups + 2 * kLineGuard)) {
      return ::testing::AssertionFailure() << "luma ring slot " << s;
    }
  }
  for (int s = 0; s < SharpnessProcessor::kSumSlots; ++s) {
    if (std::memcmp(a.sharpness->SumLow(s), b.sharpness->SumLow(s), 16 * groups) ||
        std::memcmp(a.sharpness->SumHigh(s), b.sharpness->SumHigh(s), 16 * groups)) {
      return ::testing::AssertionFailure() << "sum ring slot " << s;
    }
  }
  for (int s = 0; s < ChromaLineRing::kSlots; ++s) {
    if (std::memcmp(a.ring.Slot(s), b.ring.Slot(s), 16 * groups)) return ::testing::AssertionFailure() << "chroma slot " << s;
  }
  const ContrastStatistics& x = a.contrast->statistics();
  const ContrastStatistics& y = b.contrast->statistics();
  if (std::memcmp(x.histogram, y.histogram, sizeof(x.histogram))) return ::testing::AssertionFailure() << "histogram";
  for (int l = 0; l < 4; ++l) {
    if (x.lumaSum[l] != y.lumaSum[l]) return ::testing::AssertionFailure() << "luma sum lane " << l;
  }
  for (int l = 0; l < 2; ++l) {
    if (x.squareSum[l] != y.squareSum[l]) return ::testing::AssertionFailure() << "square sum lane " << l;
  }
  if (x.count != y.count) return ::testing::AssertionFailure() << "count " << x.count << " != " << y.count;
  return ::testing::AssertionSuccess();
}

// ---- Rows with junk around them -------------------------------------------------------------

constexpr int kCanary = 48;
constexpr std::uint8_t kCanaryByte = 0xA5;

// One input row inside a buffer of junk; the junk differs between the two copies of a test
// run, so any byte read outside the row shows up as a difference.
struct JunkRow {
  std::vector<std::uint8_t> storage;
  int bytes = 0;
  std::uint8_t* row() { return storage.data() + 64; }
  JunkRow(const std::uint8_t* content, int n, std::mt19937& junk) : storage(n + 128), bytes(n) {
    for (auto& b : storage) b = static_cast<std::uint8_t>(junk());
    std::memcpy(row(), content, n);
  }
};

struct Destination {
  std::vector<std::uint8_t> storage;
  int bytes;
  explicit Destination(int width) : storage(32 * BlockCount16(width) + 2 * kCanary, kCanaryByte), bytes(32 * BlockCount16(width)) {}
  std::uint8_t* row() { return storage.data() + kCanary; }
  bool CanariesIntact() const {
    for (int i = 0; i < kCanary; ++i) {
      if (storage[i] != kCanaryByte || storage[kCanary + bytes + i] != kCanaryByte) return false;
    }
    return true;
  }
};

// ---- Kernel variants ------------------------------------------------------------------------

struct Variant {
  std::string name;
  KernelKind kind;
  KernelSet reference;
  KernelSet vector;
  bool planar;
  // Packed edge-directed kernels read the above and below luma through the context's planar
  // line set; without one they read the rows directly.
  bool withoutLineSet = false;
};

// The states of one comparison: the vector one without its planar line set where the variant
// asks for that.
struct StatePair {
  State reference, vector;
  StatePair(const Variant& variant, int factor, int coring) : reference(factor, coring), vector(factor, coring) {
    if (variant.withoutLineSet) vector.context.planarLines = nullptr;
  }
};

void PrintTo(const Variant& variant, std::ostream* os) { *os << variant.name; }

std::vector<Variant> AllVariants() {
  const KernelTable c = BuildKernelTable(0);
  const KernelTable sse2 = BuildKernelTable(kCpuMmx | kCpuSseInteger | kCpuSse2);
  const KernelTable sse3 = BuildKernelTable(kCpuMmx | kCpuSseInteger | kCpuSse2 | kCpuSse3);
  std::vector<Variant> variants;
  for (bool planar : {false, true}) {
    for (int contrast = 0; contrast < 2; ++contrast) {
      const char* layout = planar ? "Planar" : "Packed";
      for (int pair = 0; pair < 7; ++pair) {
        for (const KernelTable* table : {&sse2, &sse3}) {
          variants.push_back({std::string(layout) + "Pair" + std::to_string(pair) + (contrast ? "Contrast" : "") +
                                  KernelIsaName(table->pairIsa),
                              PairKernel(pair, contrast != 0), c.pairs[pair][contrast], table->pairs[pair][contrast],
                              planar});
        }
      }
      for (int pair = 3; pair < 7 && !planar; ++pair) {
        for (const KernelTable* table : {&sse2, &sse3}) {
          variants.push_back({"PackedPair" + std::to_string(pair) + (contrast ? "Contrast" : "") +
                                  KernelIsaName(table->pairIsa) + "WithoutLineSet",
                              PairKernel(pair, contrast != 0), c.pairs[pair][contrast], table->pairs[pair][contrast],
                              false, true});
        }
      }
      for (int rule = 0; rule < 3; ++rule) {
        static const char* names[] = {"Copy", "Average", "Median"};
        variants.push_back({std::string(layout) + names[rule] + "Rule" + (contrast ? "Contrast" : "") + "SSE2",
                            FieldRuleKernel(static_cast<FieldRule>(rule), contrast != 0), c.rules[rule][contrast],
                            sse2.rules[rule][contrast], planar});
      }
    }
  }
  return variants;
}

// Every multiple of 8 up to the largest width, and the edge widths: narrower than one group
// (or than the edge-directed reach), and every remainder modulo 16 and 48 near the common
// widths, odd widths included.
std::vector<int> TestWidths() {
  std::vector<int> widths = {1, 2, 3, 4, 5, 6, 10, 14, 17, 18, 22, 30, 34, 46, 50, 98, 350, 354, 358, 362, 718, 721, 722, 726, 730, 734};
  for (int w = 16; w <= 736; w += 8) widths.push_back(w);
  return widths;
}

// The rows of one call, as content (packed YUY2 rows, or planar luma/U/V rows).
struct CallRows {
  // Packed: kept, above, below, previous, next. Planar: the same roles per plane.
  std::vector<std::uint8_t> packed[5];
  std::vector<std::uint8_t> luma[5], u[5], v[5];
};

CallRows RandomRows(std::mt19937& random, int width, bool planar) {
  CallRows rows;
  for (int r = 0; r < 5; ++r) {
    if (!planar) {
      rows.packed[r].resize(2 * width);
      FillContent(random, rows.packed[r].data(), 2 * width);
    } else {
      const int blocks = PlanarBlockCount(width);
      rows.luma[r].resize(64 * blocks);
      rows.u[r].resize(32 * blocks);
      rows.v[r].resize(32 * blocks);
      FillContent(random, rows.luma[r].data(), 64 * blocks);
      FillContent(random, rows.u[r].data(), 32 * blocks);
      FillContent(random, rows.v[r].data(), 32 * blocks);
    }
  }
  return rows;
}

// One call's rows placed in junk, and the kernel call on them.
struct PlacedCall {
  std::vector<std::unique_ptr<JunkRow>> rows;
  const std::uint8_t* Place(const std::vector<std::uint8_t>& content, std::mt19937& junk) {
    rows.push_back(std::make_unique<JunkRow>(content.data(), static_cast<int>(content.size()), junk));
    return rows.back()->row();
  }
};

class VectorKernelTest : public ::testing::TestWithParam<Variant> {};

// Runs one call of both kernels; `keptRole` picks the kept source (1 above, 2 below, 0 own row).
::testing::AssertionResult RunBoth(const Variant& variant, State& reference, State& vector, const CallRows& content,
                                   int width, int fieldFlag, int rowIndex, int keptRole, std::mt19937& random) {
  Destination keptA(width), fillA(width), keptB(width), fillB(width);
  std::mt19937 junkA(random()), junkB(random());
  PlacedCall a, b;
  const auto place = [&](PlacedCall& call, std::mt19937& junk, const std::vector<std::uint8_t>* planes,
                         const std::uint8_t** out) {
    for (int r = 0; r < 5; ++r) out[r] = call.Place(planes[r], junk);
    if (keptRole != 0) out[0] = out[keptRole];
  };
  if (!variant.planar) {
    const std::uint8_t *ra[5], *rb[5];
    place(a, junkA, content.packed, ra);
    place(b, junkB, content.packed, rb);
    PackedRowPair pa{keptA.row(), fillA.row(), ra[0], ra[1], ra[2], ra[3], ra[4], rowIndex, width, fieldFlag};
    PackedRowPair pb{keptB.row(), fillB.row(), rb[0], rb[1], rb[2], rb[3], rb[4], rowIndex, width, fieldFlag};
    variant.reference.packed(reference.context, pa);
    variant.vector.packed(vector.context, pb);
  } else {
    const std::uint8_t *la[5], *ua[5], *va[5], *lb[5], *ub[5], *vb[5];
    place(a, junkA, content.luma, la);
    place(a, junkA, content.u, ua);
    place(a, junkA, content.v, va);
    place(b, junkB, content.luma, lb);
    place(b, junkB, content.u, ub);
    place(b, junkB, content.v, vb);
    PlanarRowPair pa{keptA.row(), fillA.row(), {la[0], la[1], la[2], la[3], la[4]}, {ua[0], ua[1], ua[2], ua[3], ua[4]},
                     {va[0], va[1], va[2], va[3], va[4]}, rowIndex, width, fieldFlag};
    PlanarRowPair pb{keptB.row(), fillB.row(), {lb[0], lb[1], lb[2], lb[3], lb[4]}, {ub[0], ub[1], ub[2], ub[3], ub[4]},
                     {vb[0], vb[1], vb[2], vb[3], vb[4]}, rowIndex, width, fieldFlag};
    variant.reference.planar(reference.context, pa);
    variant.vector.planar(vector.context, pb);
  }
  // Inputs untouched: every placed row still holds its content.
  const std::vector<std::uint8_t>* planes[] = {content.packed, content.luma, content.u, content.v};
  size_t index = 0;
  for (const auto* set : planes) {
    for (int r = 0; r < 5; ++r) {
      if (set[r].empty()) continue;
      if (std::memcmp(b.rows[index]->row(), set[r].data(), set[r].size())) {
        return ::testing::AssertionFailure() << "input row " << index << " changed";
      }
      ++index;
    }
  }
  if (!keptB.CanariesIntact() || !fillB.CanariesIntact()) return ::testing::AssertionFailure() << "write outside the rows";
  if (keptA.storage != keptB.storage) return ::testing::AssertionFailure() << "kept destination differs";
  if (fillA.storage != fillB.storage) return ::testing::AssertionFailure() << "fill destination differs";
  return SameState(reference, vector, width);
}

TEST_P(VectorKernelTest, MatchesTheReferenceCallAfterCall) {
  const Variant& variant = GetParam();
  std::mt19937 random(TestSeed() ^ static_cast<unsigned>(std::hash<std::string>()(variant.name)));
  int rows = 0;
  for (int width : TestWidths()) {
    const int factor = static_cast<int>(random() % 101), coring = static_cast<int>(random() % 11);
    StatePair states(variant, factor, coring);
    State &reference = states.reference, &vector = states.vector;
    const unsigned scramble = random();
    reference.Scramble(scramble);
    vector.Scramble(scramble);
    const int fieldFlag = static_cast<int>(random() % 2);
    // A field's worth of calls: the first starts the field (sharpen kernels prime their rings).
    for (int call = 0; call < 11; ++call) {
      const CallRows content = RandomRows(random, width, variant.planar);
      // The pairs keep the above (f = 1) or below (f = 0) row; the rules also get rows of their own.
      const int keptRole = variant.kind.keptFromKeptRows && random() % 2 ? 0 : (fieldFlag ? 1 : 2);
      ASSERT_TRUE(RunBoth(variant, reference, vector, content, width, fieldFlag, 2 * call, keptRole, random))
          << variant.name << " width " << width << " call " << call << " seed " << TestSeed();
      ++rows;
    }
  }
  EXPECT_GE(rows, 1000);
}

// The curve's pair table is checked only when the curve may have changed: a curve written
// through the processor between two calls of one field, and one built by UpdateCurve, are the
// ones the next call maps through.
TEST(VectorKernels, CurveChangesInsideAFieldReachTheNextCall) {
  std::mt19937 random(TestSeed() + 23);
  for (const Variant& variant : AllVariants()) {
    if (!variant.kind.contrast) continue;
    StatePair states(variant, 30, 2);
    const int width = 200;
    for (int call = 0; call < 6; ++call) {
      if (call == 2 || call == 3) {
        // Written entry by entry (call 3: only the low byte of one entry).
        const unsigned seed = random();
        for (State* state : {&states.reference, &states.vector}) {
          std::mt19937 curveRandom(seed);
          if (call == 2) {
            for (int k = 0; k < 256; ++k) state->contrast->curve().entries[k] = static_cast<std::int32_t>(curveRandom());
          } else {
            state->contrast->curve().entries[100] ^= 0x5A;
          }
        }
      }
      if (call == 5) {
        states.reference.contrast->UpdateCurve();
        states.vector.contrast->UpdateCurve();
      }
      const CallRows content = RandomRows(random, width, variant.planar);
      const int keptRole = variant.kind.keptFromKeptRows ? 0 : 1;
      ASSERT_TRUE(RunBoth(variant, states.reference, states.vector, content, width, 1, 2 * call, keptRole, random))
          << variant.name << " call " << call;
    }
  }
}

// ---- Guard pages ----------------------------------------------------------------------------

// Read-write pages with a no-access page on each side.
class GuardedPages {
 public:
  explicit GuardedPages(size_t bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    size_ = (bytes + page_ - 1) / page_ * page_;
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size_ + 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_, page_, PAGE_NOACCESS, &old);
    VirtualProtect(base_ + page_ + size_, page_, PAGE_NOACCESS, &old);
  }
  ~GuardedPages() { VirtualFree(base_, 0, MEM_RELEASE); }
  std::uint8_t* Start() const { return base_ + page_; }
  std::uint8_t* EndMinus(size_t bytes) const { return base_ + page_ + size_ - bytes; }

 private:
  std::uint8_t* base_;
  size_t page_, size_;
};

TEST_P(VectorKernelTest, RowsAgainstNoAccessPagesNeverFault) {
  const Variant& variant = GetParam();
  std::mt19937 random(TestSeed() + 17);
  for (int width : {1, 2, 6, 16, 18, 24, 40, 50, 352, 354, 360, 720, 722, 724, 728, 734, 736}) {
    for (bool atEnd : {false, true}) {
      StatePair states(variant, 50, 3);
      State &reference = states.reference, &vector = states.vector;
      const CallRows content = RandomRows(random, width, variant.planar);
      std::vector<std::unique_ptr<GuardedPages>> pages;
      const auto place = [&](const std::vector<std::uint8_t>& bytes) {
        pages.push_back(std::make_unique<GuardedPages>(bytes.size()));
        std::uint8_t* p = atEnd ? pages.back()->EndMinus(bytes.size()) : pages.back()->Start();
        std::memcpy(p, bytes.data(), bytes.size());
        return p;
      };
      const int outBytes = 32 * BlockCount16(width);
      GuardedPages keptOut(outBytes), fillOut(outBytes);
      std::uint8_t* kept = atEnd ? keptOut.EndMinus(outBytes) : keptOut.Start();
      std::uint8_t* fill = atEnd ? fillOut.EndMinus(outBytes) : fillOut.Start();
      std::vector<std::uint8_t> expectKept(outBytes), expectFill(outBytes);
      for (int call = 0; call < 2; ++call) {
        if (!variant.planar) {
          const std::uint8_t* r[5];
          for (int i = 0; i < 5; ++i) r[i] = place(content.packed[i]);
          PackedRowPair p{kept, fill, r[1], r[1], r[2], r[3], r[4], 2 * call, width, 1};
          variant.vector.packed(vector.context, p);
          PackedRowPair q = p;
          q.keptDestination = expectKept.data();
          q.fillDestination = expectFill.data();
          variant.reference.packed(reference.context, q);
        } else {
          const std::uint8_t *l[5], *u[5], *v[5];
          for (int i = 0; i < 5; ++i) {
            l[i] = place(content.luma[i]);
            u[i] = place(content.u[i]);
            v[i] = place(content.v[i]);
          }
          PlanarRowPair p{kept, fill, {l[0], l[1], l[2], l[3], l[4]}, {u[0], u[1], u[2], u[3], u[4]},
                          {v[0], v[1], v[2], v[3], v[4]}, 2 * call, width, 0};
          variant.vector.planar(vector.context, p);
          PlanarRowPair q = p;
          q.keptDestination = expectKept.data();
          q.fillDestination = expectFill.data();
          variant.reference.planar(reference.context, q);
        }
        ASSERT_EQ(0, std::memcmp(kept, expectKept.data(), outBytes)) << variant.name << " " << width;
        ASSERT_EQ(0, std::memcmp(fill, expectFill.data(), outBytes)) << variant.name << " " << width;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, VectorKernelTest, ::testing::ValuesIn(AllVariants()),
                         [](const ::testing::TestParamInfo<Variant>& info) { return info.param.name; });

// ---- Whole fields ---------------------------------------------------------------------------

struct Picture {
  int width, height;
  std::vector<std::uint8_t> bytes;  // YUY2, pitch = width
  const std::uint8_t* Line(int y) const { return bytes.data() + 2 * static_cast<size_t>(width) * y; }
};

Picture ContentPicture(int width, int height, std::mt19937& random) {
  Picture p{width, height, std::vector<std::uint8_t>(2 * static_cast<size_t>(width) * height)};
  FillContent(random, p.bytes.data(), static_cast<int>(p.bytes.size()));
  return p;
}

struct Planes {
  std::vector<std::uint8_t> luma, u, v;
};
constexpr int kLumaPitch = 1024, kChromaPitch = 512;

Planes FieldPlanes(const Picture& p, int parity) {
  const int rows = p.height / 2;
  Planes planes{std::vector<std::uint8_t>(kLumaPitch * rows, 0x5A), std::vector<std::uint8_t>(kChromaPitch * rows, 0x5A),
                std::vector<std::uint8_t>(kChromaPitch * rows, 0x5A)};
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

struct Frames {
  Picture o, m, n;
  Frames(int width, int height, unsigned seed) : o{}, m{}, n{} {
    std::mt19937 random(seed);
    o = ContentPicture(width, height, random);
    m = ContentPicture(width, height, random);
    n = ContentPicture(width, height, random);
  }
};

std::vector<std::uint8_t> RunField(const FieldKernels& k, State& state, const Frames& f, bool planar, int fieldFlag) {
  const int width = f.m.width, height = f.m.height;
  const int pitch = 16 * BlockCount16(width);
  std::vector<std::uint8_t> out(2 * static_cast<size_t>(pitch) * height, 0xEE);
  const OutputFrame frame{out.data(), pitch, height};
  HRESULT hr;
  if (!planar) {
    hr = RunPackedFieldKernel(k.kind, k.kernels.packed, state.context,
                              PackedFieldFrames{f.o.bytes.data(), f.m.bytes.data(), f.n.bytes.data(), width, width}, frame,
                              fieldFlag);
  } else {
    const Planes kept = FieldPlanes(f.m, 1 - fieldFlag), previous = FieldPlanes(f.o, fieldFlag),
                 next = FieldPlanes(f.n, fieldFlag);
    hr = RunPlanarFieldKernel(k.kind, k.kernels.planar, state.context,
                              PlanarFieldFrames{{kept.luma.data(), kept.u.data(), kept.v.data()},
                                                {previous.luma.data(), previous.u.data(), previous.v.data()},
                                                {next.luma.data(), next.u.data(), next.v.data()},
                                                kLumaPitch,
                                                kChromaPitch,
                                                height / 2,
                                                width},
                              frame, fieldFlag);
  }
  EXPECT_EQ(hr, S_OK);
  return out;
}

const KernelTable& Sse2Table() {
  static const KernelTable table = BuildKernelTable(kCpuMmx | kCpuSseInteger | kCpuSse2);
  return table;
}
const KernelTable& Sse3Table() {
  static const KernelTable table = BuildKernelTable(kCpuMmx | kCpuSseInteger | kCpuSse2 | kCpuSse3);
  return table;
}

TEST(VectorFields, Sse3AndSse2GiveTheSameFrames) {
  const Frames frames(720, 20, TestSeed() + 1);
  for (int mode = 0; mode <= 6; ++mode) {
    for (bool contrast : {false, true}) {
      for (bool planar : {false, true}) {
        for (int f : {0, 1}) {
          State a(37, 2), b(37, 2);
          const auto sse2 = RunField(SelectFieldKernels(Sse2Table(), mode, contrast, true), a, frames, planar, f);
          const auto sse3 = RunField(SelectFieldKernels(Sse3Table(), mode, contrast, true), b, frames, planar, f);
          ASSERT_EQ(sse2, sse3) << mode << contrast << planar << f;
          ASSERT_TRUE(SameState(a, b, 720));
        }
      }
    }
  }
}

TEST(VectorFields, PlanarEqualsPackedOnTheSamePicture) {
  for (int width : {720, 352, 360}) {
    const Frames frames(width, 12, TestSeed() + 2);
    for (int mode = 0; mode <= 6; ++mode) {
      for (bool sharpness : {false, true}) {
        for (bool contrast : {false, true}) {
          for (int f : {0, 1}) {
            State a(60, 1), b(60, 1);
            const FieldKernels k = SelectFieldKernels(Sse3Table(), mode, contrast, sharpness);
            ASSERT_EQ(RunField(k, a, frames, false, f), RunField(k, b, frames, true, f)) << width << " " << mode;
            ASSERT_TRUE(SameState(a, b, width));
          }
        }
      }
    }
  }
}

TEST(VectorFields, IdentityCurveAndIndependenceFromTheCurve) {
  const Frames frames(360, 10, TestSeed() + 3);
  for (int mode = 0; mode <= 6; ++mode) {
    for (bool sharpness : {false, true}) {
      State on(40, 3), off(40, 3), scrambled(40, 3);
      for (int k = 0; k < 256; ++k) on.contrast->curve().entries[k] = k;
      scrambled.Scramble(99);
      const auto mapped = RunField(SelectFieldKernels(Sse2Table(), mode, true, sharpness), on, frames, false, 1);
      const auto plain = RunField(SelectFieldKernels(Sse2Table(), mode, false, sharpness), off, frames, false, 1);
      EXPECT_EQ(mapped, plain) << mode << " " << sharpness;
      EXPECT_EQ(on.contrast->statistics().count, (sharpness ? 6u : 5u) * 368u);
      // A contrast-off member never looks at the contrast processor.
      const auto again = RunField(SelectFieldKernels(Sse2Table(), mode, false, sharpness), scrambled, frames, false, 1);
      EXPECT_EQ(again, plain) << mode << " " << sharpness;
    }
  }
}

// The field walk tells a kernel when its above rows are the previous call's below rows, and the
// vector kernels then take over the lines they unpacked: every field the reference's, also a
// second field whose rows sit at the same addresses with new content, and a field of another
// width between two of one width.
TEST(VectorFields, FieldWalksMatchTheReferenceAcrossFieldsOnTheSameRows) {
  struct Case {
    int mode;
    bool sharpness;
  };
  const Case cases[] = {{1, false}, {1, true}, {2, false}, {2, true}, {3, false}, {4, true}, {5, false}, {6, true}};
  for (const Case& c : cases) {
    for (bool planar : {false, true}) {
      for (const KernelTable* table : {&Sse2Table(), &Sse3Table()}) {
        for (int f : {0, 1}) {
          State reference(45, 2), vector(45, 2);
          const FieldKernels k = SelectFieldKernels(*table, c.mode, true, c.sharpness);
          Frames frames(360, 14, TestSeed() + 40 + 3 * c.mode + f);
          const auto walk = [&](State& state, bool useReference, const Frames& fr) {
            if (!useReference) return RunField(k, state, fr, planar, f);
            const int width = fr.m.width, height = fr.m.height, pitch = 16 * BlockCount16(width);
            std::vector<std::uint8_t> out(2 * static_cast<size_t>(pitch) * height, 0xEE);
            const OutputFrame frame{out.data(), pitch, height};
            if (!planar) {
              EXPECT_EQ(ReferencePackedField(k.kind, state.context,
                                             PackedFieldFrames{fr.o.bytes.data(), fr.m.bytes.data(), fr.n.bytes.data(),
                                                               width, width},
                                             frame, f),
                        S_OK);
            } else {
              const Planes kept = FieldPlanes(fr.m, 1 - f), previous = FieldPlanes(fr.o, f), next = FieldPlanes(fr.n, f);
              EXPECT_EQ(ReferencePlanarField(k.kind, state.context,
                                             PlanarFieldFrames{{kept.luma.data(), kept.u.data(), kept.v.data()},
                                                               {previous.luma.data(), previous.u.data(), previous.v.data()},
                                                               {next.luma.data(), next.u.data(), next.v.data()},
                                                               kLumaPitch, kChromaPitch, height / 2, width},
                                             frame, f),
                        S_OK);
            }
            return out;
          };
          const Frames narrow(200, 14, TestSeed() + 41);
          for (int field = 0; field < 3; ++field) {
            const Frames& fr = field == 1 ? narrow : frames;
            ASSERT_EQ(walk(reference, true, fr), walk(vector, false, fr))
                << "mode " << c.mode << " planar " << planar << " " << KernelIsaName(table->pairIsa) << " f " << f
                << " field " << field;
            ASSERT_TRUE(SameState(reference, vector, 360));
            // The next walk over the same buffers finds new content in them.
            std::mt19937 random(TestSeed() + 50 + field);
            FillContent(random, frames.m.bytes.data(), static_cast<int>(frames.m.bytes.size()));
          }
        }
      }
    }
  }
}

TEST(VectorFields, GainZeroIsThePlainInterpolation) {
  const Frames frames(360, 12, TestSeed() + 4);
  for (int pair : {0, 1, 2, 4, 6}) {
    for (int f : {0, 1}) {
      State sharp(0, 0), plain(0, 0);
      sharp.Scramble(5);
      FieldKernels k{{FieldWork::Pair, pair}, PairKernel(pair, false), Sse2Table().pairs[pair][0], true};
      const auto a = RunField(k, sharp, frames, false, f);
      // The same interpolation without the sharpness stage (reference of the unsharpened kind).
      KernelKind unsharpened = PairKernel(pair, false);
      unsharpened.sharpen = false;
      std::vector<std::uint8_t> b(a.size(), 0xEE);
      ASSERT_EQ(ReferencePackedField(unsharpened, plain.context,
                                     PackedFieldFrames{frames.o.bytes.data(), frames.m.bytes.data(),
                                                       frames.n.bytes.data(), 360, 360},
                                     OutputFrame{b.data(), 368, 12}, f),
                S_OK);
      for (int y = 0; y < 12; ++y) {
        ASSERT_EQ(0, std::memcmp(a.data() + 2 * 368 * y, b.data() + 2 * 368 * y, 2 * 360)) << pair << " " << f << " " << y;
      }
    }
  }
}

TEST(VectorFields, ModesFourFiveSixAndEdgeDirectedKeptRow) {
  const Frames frames(720, 10, TestSeed() + 5);
  for (bool sharpness : {false, true}) {
    State a(25, 3), b(25, 3), c(25, 3);
    const auto four = RunField(SelectFieldKernels(Sse2Table(), 4, true, sharpness), a, frames, false, 0);
    EXPECT_EQ(four, RunField(SelectFieldKernels(Sse2Table(), 5, true, sharpness), b, frames, false, 0));
    EXPECT_EQ(four, RunField(SelectFieldKernels(Sse2Table(), 6, true, sharpness), c, frames, false, 0));
  }
  // Mode 3 without sharpness or contrast: every kept row is a byte copy of the input row.
  for (int f : {0, 1}) {
    State state(25, 3);
    const auto out = RunField(SelectFieldKernels(Sse2Table(), 3, false, false), state, frames, false, f);
    for (int y = 1 - f; y < 10; y += 2) {
      ASSERT_EQ(0, std::memcmp(out.data() + 2 * 720 * y, frames.m.Line(y), 2 * 720)) << y;
    }
  }
}

TEST(VectorFields, GroupsWrittenPerRow) {
  // 720 pixels: 45 groups, nothing past 1440 bytes; 352: 22 groups; 360: 23 groups, 8 pixels
  // past the width.
  const struct {
    int width, bytes;
  } cases[] = {{720, 1440}, {352, 704}, {360, 736}};
  for (const auto& c : cases) {
    State state(25, 3);
    std::mt19937 random(TestSeed() + 6);
    const CallRows rows = RandomRows(random, c.width, false);
    std::vector<std::uint8_t> kept(c.bytes + 64, 0xC3), fill(c.bytes + 64, 0xC3);
    PackedRowPair p{kept.data(), fill.data(), rows.packed[2].data(), rows.packed[1].data(), rows.packed[2].data(),
                    rows.packed[3].data(), rows.packed[4].data(), 0, c.width, 0};
    Sse2Table().pairs[5][1].packed(state.context, p);
    EXPECT_EQ(state.contrast->statistics().count, static_cast<std::uint32_t>(c.bytes / 2));
    for (int i = c.bytes; i < c.bytes + 64; ++i) {
      ASSERT_EQ(kept[i], 0xC3);
      ASSERT_EQ(fill[i], 0xC3);
    }
  }
}

// The vector kernels count the histogram partly in 16-bit counters of their own, added in before
// they would overflow: a row of one value, long enough to overflow them, still counts exactly.
TEST(VectorFields, HistogramOfLongFlatRowsIsExact) {
  const int width = 16 * 16500;  // more than 65535 counts in one 16-bit counter
  std::mt19937 random(TestSeed() + 7);
  for (bool flat : {true, false}) {
    std::vector<std::uint8_t> row(2 * static_cast<size_t>(width), 16);
    if (!flat) {
      for (size_t i = 0; i < row.size(); i += 2) row[i] = static_cast<std::uint8_t>(16 + random() % 2);
    }
    std::vector<std::uint8_t> outA(row.size()), fillA(row.size()), outB(row.size()), fillB(row.size());
    State reference(25, 3), vector(25, 3);
    const std::uint8_t* r = row.data();
    PackedRowPair a{outA.data(), fillA.data(), r, r, r, r, r, 2, width, 1};
    PackedRowPair b{outB.data(), fillB.data(), r, r, r, r, r, 2, width, 1};
    BuildKernelTable(0).pairs[5][1].packed(reference.context, a);
    Sse2Table().pairs[5][1].packed(vector.context, b);
    const ContrastStatistics& x = reference.contrast->statistics();
    const ContrastStatistics& y = vector.contrast->statistics();
    if (flat) {
      EXPECT_EQ(y.histogram[16], static_cast<std::uint32_t>(width));
    }
    EXPECT_EQ(0, std::memcmp(x.histogram, y.histogram, sizeof(x.histogram))) << flat;
    EXPECT_EQ(x.count, y.count);
    EXPECT_EQ(outA, outB);
    EXPECT_EQ(fillA, fillB);
  }
}

TEST(VectorFields, StatisticsExamples) {
  State state(25, 3);
  const int width = 32;
  std::vector<std::uint8_t> white(2 * width, 255), mixed(2 * width, 128), out(2 * width);
  for (int x = 0; x < width; ++x) mixed[2 * x] = static_cast<std::uint8_t>(x % 16 < 8 ? 200 : 100);
  ContrastStatistics& st = state.contrast->statistics();
  state.contrast->ClearStatistics();
  PackedRowPair p{out.data(), out.data(), white.data(), white.data(), white.data(), white.data(), white.data(), 2, width, 1};
  Sse2Table().pairs[3][1].packed(state.context, p);
  EXPECT_EQ(st.squareSum[0], 2u * 8 * 32512);  // two groups, split evenly
  EXPECT_EQ(st.squareSum[1], 2u * 8 * 32512);
  EXPECT_EQ(st.lumaSum[0], 2u * 4 * 255);
  state.contrast->ClearStatistics();
  p.keptSource = p.above = mixed.data();
  Sse2Table().pairs[3][1].packed(state.context, p);
  EXPECT_EQ(st.squareSum[0] + st.squareSum[1], 2u * 200000);
  EXPECT_EQ(st.histogram[200], 16u);
  EXPECT_EQ(st.count, 32u);
}

// Whole fields of the sharpen and contrast members against the reference on pictures whose
// rows are longer than the width (odd widths and pitches, packed and planar): the emission pass,
// the lookups and the statistics across every row pair of a field, the rings and sums after it.
TEST(VectorFields, SharpenAndContrastMembersMatchTheReferenceOverOddGeometries) {
  const struct {
    int width, pitch, height, pair, factor, coring;
  } cases[] = {
      {17, 21, 14, 6, 25, 3}, {18, 19, 12, 6, 100, 0}, {35, 37, 10, 4, 50, 10}, {53, 67, 12, 2, 1, 2},
      {353, 361, 16, 6, 77, 5}, {719, 721, 12, 6, 37, 3}, {721, 745, 10, 0, 64, 1}, {734, 739, 8, 1, 99, 7},
  };
  for (const auto& c : cases) {
    for (const KernelTable* table : {&Sse2Table(), &Sse3Table()}) {
      for (bool planar : {false, true}) {
        for (int f : {0, 1}) {
          std::mt19937 random(TestSeed() + static_cast<unsigned>(c.width * 31 + f));
          // The pictures: YUY2 rows of `pitch` pixels, content in every byte (beyond the width too).
          Frames frames(c.pitch, c.height, random());
          State reference(c.factor, c.coring), vector(c.factor, c.coring);
          const unsigned scramble = random();
          reference.Scramble(scramble);
          vector.Scramble(scramble);
          const FieldKernels k{{FieldWork::Pair, c.pair}, PairKernel(c.pair, true), table->pairs[c.pair][1], true};
          const int outPitch = 16 * BlockCount16(c.width) + 16;
          std::vector<std::uint8_t> expected(2 * static_cast<size_t>(outPitch) * c.height, 0xEE), actual = expected;
          const OutputFrame outExpected{expected.data(), outPitch, c.height}, outActual{actual.data(), outPitch, c.height};
          if (!planar) {
            const PackedFieldFrames in{frames.o.bytes.data(), frames.m.bytes.data(), frames.n.bytes.data(), c.pitch,
                                       c.width};
            ASSERT_EQ(ReferencePackedField(k.kind, reference.context, in, outExpected, f), S_OK);
            ASSERT_EQ(RunPackedFieldKernel(k.kind, k.kernels.packed, vector.context, in, outActual, f), S_OK);
          } else {
            const Planes kept = FieldPlanes(frames.m, 1 - f), previous = FieldPlanes(frames.o, f),
                         next = FieldPlanes(frames.n, f);
            const PlanarFieldFrames in{{kept.luma.data(), kept.u.data(), kept.v.data()},
                                       {previous.luma.data(), previous.u.data(), previous.v.data()},
                                       {next.luma.data(), next.u.data(), next.v.data()},
                                       kLumaPitch,
                                       kChromaPitch,
                                       c.height / 2,
                                       c.width};
            ASSERT_EQ(ReferencePlanarField(k.kind, reference.context, in, outExpected, f), S_OK);
            ASSERT_EQ(RunPlanarFieldKernel(k.kind, k.kernels.planar, vector.context, in, outActual, f), S_OK);
          }
          ASSERT_EQ(expected, actual) << "width " << c.width << " pair " << c.pair << " planar " << planar << " f " << f
                                      << " " << KernelIsaName(table->pairIsa);
          ASSERT_TRUE(SameState(reference, vector, c.width)) << "width " << c.width << " planar " << planar;
        }
      }
    }
  }
}

// The vector statistics keep partial sums of their own (16-bit histogram parts, 32-bit square
// lanes) and fold them in before they could overflow: rows long enough to fold several times
// give the reference's sums lane by lane, for the members with and without sharpness.
TEST(VectorFields, StatisticsOfLongRowsMatchTheReferenceLaneByLane) {
  const int width = 16 * 12000 + 5;  // more groups than two folds take
  for (int pair : {3, 5, 6}) {
    std::mt19937 random(TestSeed() + 8 + pair);
    std::vector<std::uint8_t> row(2 * static_cast<size_t>(width));
    FillContent(random, row.data(), static_cast<int>(row.size()));
    for (size_t i = 0; i < row.size(); i += 64) row[i] = 255;  // bright pixels: large squares
    std::vector<std::uint8_t> outA(row.size() + 64), fillA(row.size() + 64), outB = outA, fillB = fillA;
    State reference(25, 3), vector(25, 3);
    if (pair == 6) {
      for (State* s : {&reference, &vector}) {
        s->sharpness->SetWidth(width);
        s->ring.Reserve(width);
      }
    }
    const std::uint8_t* r = row.data();
    for (int call = 0; call < 2; ++call) {
      PackedRowPair a{outA.data(), fillA.data(), r, r, r, r, r, 2 * call, width, 1};
      PackedRowPair b{outB.data(), fillB.data(), r, r, r, r, r, 2 * call, width, 1};
      BuildKernelTable(0).pairs[pair][1].packed(reference.context, a);
      Sse2Table().pairs[pair][1].packed(vector.context, b);
    }
    const ContrastStatistics& x = reference.contrast->statistics();
    const ContrastStatistics& y = vector.contrast->statistics();
    EXPECT_EQ(0, std::memcmp(x.histogram, y.histogram, sizeof(x.histogram))) << pair;
    for (int l = 0; l < 4; ++l) EXPECT_EQ(x.lumaSum[l], y.lumaSum[l]) << pair << " lane " << l;
    for (int l = 0; l < 2; ++l) EXPECT_EQ(x.squareSum[l], y.squareSum[l]) << pair << " lane " << l;
    EXPECT_EQ(x.count, y.count);
    EXPECT_EQ(outA, outB) << pair;
    EXPECT_EQ(fillA, fillB) << pair;
  }
}

// The vector lookups go through a two-pixel form of the curve that they keep in the contrast
// processor: a curve changed between two calls (one entry written directly, a new curve from
// the statistics, only bits above the low byte) maps the next call's luma as the reference does.
TEST(VectorFields, CurveChangedBetweenCallsMapsTheNextCall) {
  const struct {
    const char* change;
    void (*apply)(ContrastProcessor&, std::mt19937&);
  } changes[] = {
      {"one entry", [](ContrastProcessor& c, std::mt19937& r) { c.curve().entries[r() % 256] ^= 1 + r() % 255; }},
      {"every entry", [](ContrastProcessor& c, std::mt19937& r) {
         for (int k = 0; k < 256; ++k) c.curve().entries[k] = static_cast<std::int32_t>(r());
       }},
      {"high bits only", [](ContrastProcessor& c, std::mt19937& r) {
         for (int k = 0; k < 256; ++k) c.curve().entries[k] ^= static_cast<std::int32_t>(r() & ~0xFFu);
       }},
      {"rebuilt", [](ContrastProcessor& c, std::mt19937&) { c.UpdateCurve(); }},
  };
  const int width = 362;
  for (const auto& change : changes) {
    for (int pair : {3, 5, 6}) {
      std::mt19937 random(TestSeed() + 9 + pair);
      State reference(30, 2), vector(30, 2);
      const unsigned scramble = random();
      reference.Scramble(scramble);
      vector.Scramble(scramble);
      for (int call = 0; call < 6; ++call) {
        if (call == 3) {
          const unsigned seed = random();
          std::mt19937 a(seed), b(seed);
          change.apply(*reference.contrast, a);
          change.apply(*vector.contrast, b);
        }
        const Variant variant{"", PairKernel(pair, true), BuildKernelTable(0).pairs[pair][1], Sse2Table().pairs[pair][1],
                              false};
        const CallRows content = RandomRows(random, width, false);
        ASSERT_TRUE(RunBoth(variant, reference, vector, content, width, 1, 2 * call, 1, random))
            << change.change << " pair " << pair << " call " << call;
      }
    }
  }
}

}  // namespace
}  // namespace deinterlace

// Benchmark of the field kernels and the whole-frame methods (not a test; not shipped).
//
// Synthetic 720x480 sequences from a fixed seed (moving edges, text-like detail, noise) run
// through the field walk as the processor runs them: output frames per second, and ns per
// output pixel, for every mode x contrast x sharpness x layout x instruction set, hot (the same
// 3 pictures) and cold (a pool larger than the last-level cache), against memcpy bandwidth.
// "best ms" is the fastest single output frame (hot, wall time): on a machine shared with other
// work it is the steadiest figure, as the thread times have the coarse tick of the host.
//
//   deint_bench [--quick] [--isa C|SSE2|SSE3] [--mode N] [--contrast on|off] [--sharpness on|off]
//               [--layout packed|planar] [--csv]      the options pick one setting (or a few)
//   deint_bench --stages [--quick] [--isa SSE2|SSE3] [--mode 4|5|6] [--layout packed|planar]
//                 the heaviest mode (edge median, contrast and sharpness on) stage by stage:
//                 ms of processor time per output frame, the least of several runs, of the
//                 kernel alone, each stage added to it alone, all together, the curve rebuild
//                 and the whole processor; on a loaded machine the fastest single frame is the
//                 steadier column
//   deint_bench --whole-field [--quick] [--csv]   the Tesk processor field by field: ms per
//                                                  output frame of every mode and setting (or of
//                                                  those --mode, --contrast, --sharpness and
//                                                  --layout pick)
//   deint_bench --write-frames <file> [frames]   raw yuv422p frames for outside tools
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filters/base/testkit/field_frame_builder.h"
#include "filters/deinterlace/bench_clock.h"
#include "filters/deinterlace/contrast_processor.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/field_driver.h"
#include "filters/deinterlace/frame_deinterlacer_mmx.h"
#include "filters/deinterlace/kernel_dispatch.h"
#include "filters/deinterlace/line_buffers.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/sharpness_processor.h"
#include "filters/deinterlace/tesk_processor.h"

using namespace deinterlace;

namespace {

constexpr int kWidth = 720, kHeight = 480;
constexpr int kLumaPitch = 1024, kChromaPitch = 512;
constexpr int kColdPool = 64;  // 64 x 0.66 MB packed, more than any last-level cache here

struct Rate {
  double wall;     // output frames per second of wall time
  double cpu;      // per second of the thread's processor time
  double best;     // seconds of the fastest single output frame
  double cpuBest;  // per second of processor time, the fastest of the runs
};

// One picture of the sequence: a moving diagonal bar pattern, blocks of text-like strokes and
// noise, YUY2.
void MakePicture(int index, std::vector<std::uint8_t>* picture) {
  picture->assign(2 * kWidth * kHeight, 0);
  std::mt19937 random(1234 + index);
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row = picture->data() + 2 * kWidth * y;
    for (int x = 0; x < kWidth; ++x) {
      int luma = ((x + y + 4 * index) / 24) % 2 ? 200 : 40;  // edges at 45 degrees, moving
      if (y > 300 && y < 420 && x > 60 && x < 660) {
        // Text-like: thin strokes on a flat band.
        const int cx = (x - 60) % 12, cy = (y - 300 + index) % 16;
        luma = (cx == 2 || cy == 3 || (cx + cy) % 11 == 0) ? 235 : 16;
      }
      luma += static_cast<int>(random() % 17) - 8;
      row[2 * x] = static_cast<std::uint8_t>(std::clamp(luma, 0, 255));
      row[2 * x + 1] = static_cast<std::uint8_t>(128 + ((x / 2 + index) % 64) - 32);
    }
  }
}

// One field of a picture as SampleGroup6of8 planes.
struct Planes {
  std::vector<std::uint8_t> luma, u, v;
};
Planes FieldPlanes(const std::vector<std::uint8_t>& picture, int parity) {
  const int rows = kHeight / 2;
  Planes planes{std::vector<std::uint8_t>(kLumaPitch * rows), std::vector<std::uint8_t>(kChromaPitch * rows),
                std::vector<std::uint8_t>(kChromaPitch * rows)};
  for (int r = 0; r < rows; ++r) {
    const std::uint8_t* line = picture.data() + 2 * kWidth * (2 * r + parity);
    for (int s = 0; s < kWidth; ++s) planes.luma[kLumaPitch * r + 8 * (s / 6) + s % 6] = line[2 * s];
    for (int s = 0; s < kWidth / 2; ++s) {
      planes.u[kChromaPitch * r + 8 * (s / 6) + s % 6] = line[4 * s + 1];
      planes.v[kChromaPitch * r + 8 * (s / 6) + s % 6] = line[4 * s + 3];
    }
  }
  return planes;
}

struct Sequence {
  std::vector<std::vector<std::uint8_t>> packed;
  std::vector<Planes> planar[2];  // [parity]
};

Sequence MakeSequence(int pictures) {
  Sequence s;
  s.packed.resize(pictures);
  for (int i = 0; i < pictures; ++i) {
    MakePicture(i, &s.packed[i]);
    s.planar[0].push_back(FieldPlanes(s.packed[i], 0));
    s.planar[1].push_back(FieldPlanes(s.packed[i], 1));
  }
  return s;
}

struct State {
  ParameterTable table;
  ContrastProcessor contrast{&table};
  SharpnessProcessor sharpness{&table};
  ChromaLineRing ring;
  PlanarLineSet lines;
  KernelContext context;
  State() {
    table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
    context = KernelContext{&contrast, &sharpness, &ring, &lines};
  }
};

// Output frames per second of the field kernels `k` (each input picture gives two output frames,
// one per field). `curve`: the contrast curve rebuilt after every field.
Rate RunFieldKernels(const Sequence& sequence, int pictures, const FieldKernels& k, bool planar, bool curve,
                     double seconds, int runs = 5) {
  State state;
  std::vector<std::uint8_t> output(2 * kWidth * kHeight);
  FrameDeinterlacer& whole = WholeFrameMethods(ProcessorMask::Get());
  const OutputFrame out{output.data(), kWidth, kHeight};
  auto field = [&](int picture, int f) {
    const int previous = (picture + pictures - 1) % pictures, next = (picture + 1) % pictures;
    if (k.work.type == FieldWork::WholeFrame) {
      whole.Run(k.work.index, sequence.packed[picture].data(), output.data(), kWidth, kHeight, kWidth);
      return;
    }
    if (!planar) {
      RunPackedFieldKernel(k.kind, k.kernels.packed, state.context,
                           PackedFieldFrames{sequence.packed[previous].data(), sequence.packed[picture].data(),
                                             sequence.packed[next].data(), kWidth, kWidth},
                           out, f);
    } else {
      const Planes& kept = sequence.planar[1 - f][picture];
      const Planes& o = sequence.planar[f][previous];
      const Planes& n = sequence.planar[f][next];
      RunPlanarFieldKernel(k.kind, k.kernels.planar, state.context,
                           PlanarFieldFrames{{kept.luma.data(), kept.u.data(), kept.v.data()},
                                             {o.luma.data(), o.u.data(), o.v.data()},
                                             {n.luma.data(), n.u.data(), n.v.data()},
                                             kLumaPitch,
                                             kChromaPitch,
                                             kHeight / 2,
                                             kWidth},
                           out, f);
    }
    if (curve) {
      state.contrast.UpdateCurve();
    } else if (k.kind.contrast) {
      state.contrast.ClearStatistics();
    }
  };
  // Warm-up, then the median of the runs (five unless asked) of enough frames to fill the time.
  int frames = 0;
  const double start = Now();
  while (Now() - start < seconds / 6 || frames < 2) {
    field(frames % pictures, frames % 2);
    ++frames;
  }
  std::vector<double> wall, cpu;
  double best = 1e9;
  for (int run = 0; run < runs; ++run) {
    const double t0 = Now(), c0 = ThreadSeconds();
    double before = t0;
    for (int i = 0; i < frames; ++i) {
      field(i / 2 % pictures, i % 2);
      const double after = Now();
      best = std::min(best, after - before);
      before = after;
    }
    const double t1 = Now(), c1 = ThreadSeconds();
    wall.push_back(frames / (t1 - t0));
    cpu.push_back(c1 > c0 ? frames / (c1 - c0) : 0.0);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return Rate{wall[runs / 2], cpu[runs / 2], best, cpu.back()};
}

Rate RunVariant(const Sequence& sequence, int pictures, int mode, bool contrast, bool sharpness, bool planar,
                const KernelTable& table, double seconds) {
  return RunFieldKernels(sequence, pictures, SelectFieldKernels(table, mode, contrast, sharpness), planar, contrast,
                         seconds);
}

double MemcpyBandwidth() {
  const size_t bytes = 64u << 20;
  std::vector<std::uint8_t> a(bytes, 1), b(bytes, 2);
  std::vector<double> rates;
  for (int run = 0; run < 5; ++run) {
    const double t0 = Now();
    std::memcpy(b.data(), a.data(), bytes);
    rates.push_back(2.0 * bytes / (Now() - t0));  // read + write
  }
  std::sort(rates.begin(), rates.end());
  return rates[2];
}

// ---- Whole fields through the processor -------------------------------------------------------

struct BenchOwner : ProcessorOwner {
  ParameterTable* table = nullptr;
  bool planar = false;
  ParameterTable* OwnerParameterTable() override { return table; }
  bool OwnerInputLayout(bool* p) override {
    *p = planar;
    return true;
  }
};

// The pictures as field-planar samples (the field stored first is the top field).
std::vector<std::vector<std::uint8_t>> FieldPlanarSamples(const std::vector<std::vector<std::uint8_t>>& packed) {
  std::vector<std::vector<std::uint8_t>> samples;
  for (const auto& picture : packed) {
    graph_testkit::FieldPlanarFrameBuilder builder(kWidth, kHeight);
    const auto at = [&](int x, int y, int offset) { return picture[2 * kWidth * y + 4 * x + offset]; };
    builder.Fill([&](int x, int y) { return picture[2 * kWidth * y + 2 * x]; }, [&](int x, int y) { return at(x, y, 1); },
                 [&](int x, int y) { return at(x, y, 3); });
    samples.push_back(builder.Bytes());
  }
  return samples;
}

// Processor time per output frame, in ms: ProcessField as the filter calls it, two fields per
// input picture, the three latest pictures in the input descriptor.
// The median of the runs; `least` receives the fastest run.
double RunWholeField(std::vector<std::vector<std::uint8_t>>& inputs, bool planar, int mode, bool contrast,
                     bool sharpness, double seconds, int runs = 5, double* least = nullptr) {
  ParameterTable table;
  table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
  table.Register(params::kDeintermode, 0, 9, mode, 2);
  FrameDescriptor input, output;
  TeskProcessor processor(&table, &input, &output, ProcessorMask::Get());
  processor.LoadParameters();
  table.SetByName(params::kContrast, contrast ? 1 : 0);
  table.SetByName(params::kSharpness, sharpness ? 1 : 0);
  BenchOwner owner;
  owner.table = &table;
  owner.planar = planar;
  processor.Attach(&owner);
  std::vector<std::uint8_t> frame(2 * RoundUp64(kWidth) * kHeight);
  input.SetFormat(kWidth, kHeight, planar ? kLumaPitch : kWidth);
  output.SetFormat(kWidth, kHeight, RoundUp64(kWidth));
  output.SetPlane(1, frame.data());
  const int pictures = static_cast<int>(inputs.size());
  auto field = [&](int i) {
    const int picture = i / 2 % pictures;
    input.SetPlane(0, inputs[(picture + pictures - 1) % pictures].data());
    input.SetPlane(1, inputs[picture].data());
    input.SetPlane(2, inputs[(picture + 1) % pictures].data());
    processor.ProcessField(i % 2 == 0 ? 2 : 1);
  };
  int frames = 0;
  const double start = Now();
  while (Now() - start < seconds / 6 || frames < 2) field(frames++);
  std::vector<double> ms;
  for (int run = 0; run < runs; ++run) {
    const double c0 = ThreadSeconds(), t0 = Now();
    for (int i = 0; i < frames; ++i) field(i);
    const double c1 = ThreadSeconds(), t1 = Now();
    // The thread times tick coarsely under Wine: fall back to wall time when they did not move.
    ms.push_back(1e3 * (c1 > c0 ? c1 - c0 : t1 - t0) / frames);
  }
  std::sort(ms.begin(), ms.end());
  if (least) *least = ms.front();
  return ms[runs / 2];
}

// Which settings a run covers: -1 for all, else the one chosen.
struct Choice {
  int mode = -1;
  int contrast = -1;
  int sharpness = -1;
  int planar = -1;
  std::wstring isa;
  bool Takes(int chosen, int value) const { return chosen < 0 || chosen == value; }
};

// The heaviest mode stage by stage. Each stage is timed as what it adds to the kernel when it
// runs alone; "together" is the real kernel with every stage, so the line "shared" is what the
// stages cost apart from one another but not together (negative: they share passes).
int StagesBench(const Choice& choice, bool quick) {
  const double seconds = quick ? 0.1 : 0.3;
  const int runs = 3;
  const int rounds = quick ? 2 : 4;  // the variants one after another, round after round
  const int mode = choice.mode >= 4 && choice.mode <= 6 ? choice.mode : 6;
  const bool planar = choice.planar == 1;
  const std::uint32_t all = kCpuMmx | kCpuSseInteger | kCpuSse2 | kCpuSse3;
  const std::uint32_t mask = choice.isa == L"SSE2" ? (all & ~kCpuSse3) : all;
  const KernelTable table = BuildKernelTable(mask);
  const StageProbes probes = BuildStageProbes(mask);
  const Sequence hot = MakeSequence(3);
  struct Figure {
    double cpu;   // ms of processor time per frame, the least of the runs
    double best;  // ms of the fastest single frame (wall)
  };
  const auto measure = [&](const FieldKernels& k, bool curve, Figure* figure) {
    const Rate rate = RunFieldKernels(hot, 3, k, planar, curve, seconds, runs);
    figure->cpu = std::min(figure->cpu, 1e3 / rate.cpuBest);
    figure->best = std::min(figure->best, 1e3 * rate.best);
  };
  const FieldKernels kernel = SelectFieldKernels(table, mode, false, false);
  const FieldKernels sharpened = SelectFieldKernels(table, mode, false, true);
  const FieldKernels together = SelectFieldKernels(table, mode, true, true);
  FieldKernels statistics = together, lookup = together;
  statistics.kernels = probes.statisticsOnly;
  lookup.kernels = probes.lookupOnly;
  // Each figure is the least over the rounds, so that a stretch of load on the machine touches
  // every variant alike.
  Figure k{1e9, 1e9}, s{1e9, 1e9}, st{1e9, 1e9}, l{1e9, 1e9}, t{1e9, 1e9}, c{1e9, 1e9};
  for (int round = 0; round < rounds; ++round) {
    measure(kernel, false, &k);
    measure(sharpened, false, &s);
    measure(statistics, false, &st);
    measure(lookup, false, &l);
    measure(together, false, &t);
    measure(together, true, &c);
  }
  std::vector<std::vector<std::uint8_t>> inputs = MakeSequence(3).packed;
  if (planar) inputs = FieldPlanarSamples(inputs);
  double processorMs = 0;
  const double processorMedian = RunWholeField(inputs, planar, mode, true, true, seconds, rounds * runs, &processorMs);
  std::printf("mode %d, contrast and sharpness on, %s, %s, 720x480, ms per output frame: processor time"
              " (the least of %d runs) and the fastest single frame (wall)\n",
              mode, planar ? "planar" : "packed", KernelIsaName(table.pairIsa), rounds * runs);
  const auto line = [](const char* stage, double cpu, double best) {
    std::printf("  %-52s %8.4f %8.4f\n", stage, cpu, best);
  };
  line("kernel (edge median, no stage)", k.cpu, k.best);
  line("sharpness (added to the kernel)", s.cpu - k.cpu, s.best - k.best);
  line("contrast statistics (added to the sharpened kernel)", st.cpu - s.cpu, st.best - s.best);
  line("curve lookup (added to the sharpened kernel)", l.cpu - s.cpu, l.best - s.best);
  line("shared (together minus the stages apart)", t.cpu - (st.cpu + l.cpu - s.cpu), t.best - (st.best + l.best - s.best));
  line("together (the kernel the filter runs)", t.cpu, t.best);
  line("curve rebuild (once per field)", c.cpu - t.cpu, c.best - t.best);
  std::printf("  %-52s %8.4f (median %.4f)\n", "processor (ProcessField, curve rebuilt)", processorMs, processorMedian);
  return 0;
}

int WholeFieldBench(const Choice& choice, bool quick, bool csv) {
  const double seconds = quick ? 0.15 : 0.6;
  std::vector<std::vector<std::uint8_t>> packed = MakeSequence(3).packed;
  std::vector<std::vector<std::uint8_t>> planar = FieldPlanarSamples(packed);
  std::printf("Tesk processor, 720x480, processor mask 0x%02X, one thread: ms of processor time per output frame\n",
              static_cast<unsigned>(ProcessorMask::Get()));
  if (csv) std::printf("mode,contrast,sharpness,layout,ms_per_frame,fps\n");
  else std::printf("%-4s %-8s %-9s %-7s %10s %10s\n", "mode", "contrast", "sharpness", "layout", "ms/frame", "fps");
  for (int mode = 0; mode <= 9; ++mode) {
    if (!choice.Takes(choice.mode, mode)) continue;
    for (bool isPlanar : {false, true}) {
      if (!choice.Takes(choice.planar, isPlanar)) continue;
      for (bool sharpness : {false, true}) {
        if (!choice.Takes(choice.sharpness, sharpness)) continue;
        for (bool contrast : {false, true}) {
          if (!choice.Takes(choice.contrast, contrast)) continue;
          const double ms = RunWholeField(isPlanar ? planar : packed, isPlanar, mode, contrast, sharpness, seconds);
          const char* layout = isPlanar ? "planar" : "packed";
          if (csv) {
            std::printf("%d,%d,%d,%s,%.4f,%.1f\n", mode, contrast, sharpness, layout, ms, 1e3 / ms);
          } else {
            std::printf("%-4d %-8s %-9s %-7s %10.4f %10.1f\n", mode, contrast ? "on" : "off", sharpness ? "on" : "off",
                        layout, ms, 1e3 / ms);
          }
          std::fflush(stdout);
        }
      }
    }
  }
  return 0;
}

int WriteFrames(const wchar_t* path, int count) {
  FILE* file = _wfopen(path, L"wb");
  if (!file) return 1;
  std::vector<std::uint8_t> picture, plane;
  for (int i = 0; i < count; ++i) {
    MakePicture(i, &picture);
    // yuv422p: Y plane, then U and V planes of half width.
    plane.resize(kWidth * kHeight);
    for (int p = 0; p < kWidth * kHeight; ++p) plane[p] = picture[2 * p];
    fwrite(plane.data(), 1, plane.size(), file);
    plane.resize(kWidth * kHeight / 2);
    for (int c = 0; c < 2; ++c) {
      for (int p = 0; p < kWidth * kHeight / 2; ++p) plane[p] = picture[4 * p + 1 + 2 * c];
      fwrite(plane.data(), 1, plane.size(), file);
    }
  }
  fclose(file);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool quick = false, csv = false, wholeField = false, stages = false;
  Choice choice;
  const auto onOff = [](const std::wstring& value) { return value == L"on" ? 1 : (value == L"off" ? 0 : -1); };
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--write-frames" && i + 1 < argc) {
      return WriteFrames(argv[i + 1], i + 2 < argc ? _wtoi(argv[i + 2]) : 30);
    }
    if (arg == L"--quick") quick = true;
    if (arg == L"--csv") csv = true;
    if (arg == L"--whole-field") wholeField = true;
    if (arg == L"--stages") stages = true;
    if (arg == L"--mode" && i + 1 < argc) choice.mode = _wtoi(argv[++i]);
    if (arg == L"--isa" && i + 1 < argc) choice.isa = argv[++i];
    if (arg == L"--contrast" && i + 1 < argc) choice.contrast = onOff(argv[++i]);
    if (arg == L"--sharpness" && i + 1 < argc) choice.sharpness = onOff(argv[++i]);
    if (arg == L"--layout" && i + 1 < argc) {
      const std::wstring layout = argv[++i];
      choice.planar = layout == L"planar" ? 1 : (layout == L"packed" ? 0 : -1);
    }
  }
  SetThreadAffinityMask(GetCurrentThread(), 1);
  if (stages) return StagesBench(choice, quick);
  if (wholeField) return WholeFieldBench(choice, quick, csv);
  const double seconds = quick ? 0.15 : 0.6;
  const Sequence hot = MakeSequence(3);
  const Sequence cold = MakeSequence(kColdPool);
  const double bandwidth = MemcpyBandwidth();
  // Bytes per output frame: kept field and previous/next fields read, the frame written.
  const double bytesPerFrame = 2.0 * kWidth * kHeight * 1.5 + 2.0 * kWidth * kHeight;
  // The whole-frame methods read one picture and write one frame.
  const double wholeFrameBytes = 2.0 * 2.0 * kWidth * kHeight;
  std::printf("memcpy bandwidth %.2f GB/s (read + write); bandwidth bound %.0f output frames/s\n", bandwidth / 1e9,
              bandwidth / bytesPerFrame);
  std::printf("processor mask 0x%02X; 720x480, output frames per second, single thread\n",
              static_cast<unsigned>(ProcessorMask::Get()));
  std::printf("fps: output frames per second of the thread's processor time (wall: of wall time);"
              " ns/px: hot, per output pixel\n");
  if (csv) std::printf("mode,contrast,sharpness,layout,isa,hot_fps,cold_fps,hot_wall_fps,ns_per_pixel_hot,best_ms\n");
  else std::printf("%-4s %-8s %-9s %-7s %-4s %10s %10s %10s %8s %7s %8s\n", "mode", "contrast", "sharpness", "layout",
                   "isa", "hot fps", "cold fps", "hot wall", "ns/px", "%bound", "best ms");
  const struct {
    const wchar_t* name;
    std::uint32_t mask;
  } isas[] = {{L"C", 0}, {L"SSE2", kCpuMmx | kCpuSseInteger | kCpuSse2},
              {L"SSE3", kCpuMmx | kCpuSseInteger | kCpuSse2 | kCpuSse3}};
  for (int mode = 0; mode <= 9; ++mode) {
    if (!choice.Takes(choice.mode, mode)) continue;
    for (const auto& isa : isas) {
      if (!choice.isa.empty() && choice.isa != isa.name) continue;
      const KernelTable table = BuildKernelTable(isa.mask);
      for (bool planar : {false, true}) {
        if (!choice.Takes(choice.planar, planar)) continue;
        if (mode >= 7 && (planar || std::wstring(isa.name) != L"C")) continue;  // one run per method
        for (bool sharpness : {false, true}) {
          if (!choice.Takes(choice.sharpness, sharpness)) continue;
          for (bool contrast : {false, true}) {
            if (!choice.Takes(choice.contrast, contrast)) continue;
            if (mode >= 7 && (sharpness || contrast)) continue;
            const double cSeconds = std::wstring(isa.name) == L"C" ? seconds / 3 : seconds;
            const Rate hotRate = RunVariant(hot, 3, mode, contrast, sharpness, planar, table, cSeconds);
            const Rate coldRate = RunVariant(cold, kColdPool, mode, contrast, sharpness, planar, table, cSeconds);
            const double hotFps = hotRate.cpu, coldFps = coldRate.cpu;
            const double nsPerPixel = 1e9 / (hotFps * kWidth * kHeight);
            const char* isaName = mode >= 7 ? "MMX" : (isa.mask == 0 ? "C" : (mode <= 2 && !sharpness ? "SSE2" : (isa.mask & kCpuSse3 ? "SSE3" : "SSE2")));
            if (csv) {
              std::printf("%d,%d,%d,%s,%s,%.1f,%.1f,%.1f,%.3f,%.4f\n", mode, contrast, sharpness,
                          planar ? "planar" : "packed", isaName, hotFps, coldFps, hotRate.wall, nsPerPixel,
                          1e3 * hotRate.best);
            } else {
              std::printf("%-4d %-8s %-9s %-7s %-4s %10.1f %10.1f %10.1f %8.3f %6.1f%% %8.4f\n", mode,
                          contrast ? "on" : "off", sharpness ? "on" : "off", planar ? "planar" : "packed", isaName,
                          hotFps, coldFps, hotRate.wall, nsPerPixel,
                          100.0 * coldFps * (mode >= 7 ? wholeFrameBytes : bytesPerFrame) / bandwidth,
                          1e3 * hotRate.best);
            }
            std::fflush(stdout);
          }
        }
      }
    }
  }
  return 0;
}

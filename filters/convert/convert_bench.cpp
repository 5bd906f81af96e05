// Frame times of the converters' kernels, reference and SSE2, on one 720x480 frame each:
//   convert_bench [frames]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "filters/convert/planar_kernels.h"
#include "filters/convert/tiled_kernels.h"

using namespace convert;

namespace {

template <class F>
double MillisecondsPerFrame(int frames, F&& run) {
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (int i = 0; i < frames; ++i) run();
  QueryPerformanceCounter(&stop);
  return 1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) / frames;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int frames = argc > 1 ? _wtoi(argv[1]) : 200;
  std::vector<std::uint8_t> planar(PlanarFrameBytes(720, 480));
  std::vector<std::uint8_t> tiled(TiledFrameBytes(720, 480));
  for (size_t i = 0; i < planar.size(); ++i) planar[i] = static_cast<std::uint8_t>(i * 7);
  for (size_t i = 0; i < tiled.size(); ++i) tiled[i] = static_cast<std::uint8_t>(i * 13);
  std::vector<std::uint8_t> out(720 * 2 * 480), work(720 * 240), scratch(720);

  WeaveJob weave{planar.data() + kFieldFrameHeaderBytes, 720, 480, true, out.data(), 1440};
  const double weaveC = MillisecondsPerFrame(frames, [&] { WeaveFields(weave, &PackRowC); });
  const double weaveSse2 = MillisecondsPerFrame(frames, [&] { WeaveFields(weave, &PackRowSse2); });
  TiledJob job{tiled.data(), 720, 480, 720, work.data(), scratch.data(), out.data(), 1440, 720};
  const double tiledC = MillisecondsPerFrame(frames, [&] { ConvertTiledFrame(job, ReferenceTiledKernels()); });
  const double tiledSse2 =
      MillisecondsPerFrame(frames, [&] { ConvertTiledFrame(job, TiledKernels{&InterpolateSse2, &PackTiledRowSse2}); });
  std::printf("720x480, %d frames each (ms per frame; a frame lasts 33.4 ms)\n", frames);
  std::printf("planar weave   reference %7.3f   sse2 %7.3f\n", weaveC, weaveSse2);
  std::printf("tiled convert  reference %7.3f   sse2 %7.3f\n", tiledC, tiledSse2);
  return 0;
}

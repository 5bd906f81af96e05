#include "filters/convert/tiled_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "filters/convert/cpu.h"

namespace convert {

std::size_t TiledFrameBytes(int width, int height) {
  if (width < 16 || height < 2) return 0;
  const int lastColumn = (width / 16) * 16 - 1;
  const std::size_t lumaEnd = TiledOffset(height - 1, lastColumn) + 1;
  const std::size_t chromaEnd = TiledChromaOffset(height) + TiledOffset(height / 2 - 1, lastColumn) + 1;
  return std::max(lumaEnd, chromaEnd);
}

void UntileChroma(const std::uint8_t* chromaPlane, int width, int rows, std::uint8_t* work) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c + 16 <= width; c += 16) {
      std::memcpy(work + static_cast<std::size_t>(r) * width + c, chromaPlane + TiledOffset(r, c), 16);
    }
  }
}

std::uint8_t InterpolateByte(int a, int b, int c, int d) {
  const int sum = -3 * a + 27 * b + 27 * c - 3 * d;  // never leaves 16 bits: no saturation
  // The product is rounded to single precision before it is rounded to an integer, as the
  // vector code does; the store keeps x87 builds from carrying extra precision.
  volatile float scaled = static_cast<float>(sum) * (1.0f / 48.0f);
  const long rounded = std::lrintf(scaled);  // current mode: nearest, ties to even
  return static_cast<std::uint8_t>(rounded < 0 ? 0 : rounded > 255 ? 255 : rounded);
}

void InterpolateC(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, const std::uint8_t* d,
                  std::uint8_t* out, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = InterpolateByte(a[i], b[i], c[i], d[i]);
}

void PackTiledRowC(const std::uint8_t* lumaRow, const std::uint8_t* chroma, std::uint8_t* out, int strips) {
  for (int s = 0; s < strips; ++s) {
    const std::uint8_t* luma = lumaRow + static_cast<std::size_t>(s) * kTileBytes;
    for (int k = 0; k < 16; ++k) {
      out[32 * s + 2 * k] = luma[k];
      out[32 * s + 2 * k + 1] = chroma[16 * s + k];
    }
  }
}

TiledKernels ReferenceTiledKernels() { return TiledKernels{&InterpolateC, &PackTiledRowC}; }

TiledKernels SelectedTiledKernels() {
  return HasSse2() ? TiledKernels{&InterpolateSse2, &PackTiledRowSse2} : ReferenceTiledKernels();
}

void ConvertTiledFrame(const TiledJob& job, const TiledKernels& kernels) {
  if (!job.input || !job.work || !job.scratch || !job.output || job.width < 16 || job.height < 4) return;
  const int columns = std::min(job.columns, job.width) / 16 * 16;
  const int strips = columns / 16;
  const int n = job.height / 4;  // chroma rows per field
  const std::size_t pitch = static_cast<std::size_t>(job.width);
  UntileChroma(job.input + TiledChromaOffset(job.height), job.width, job.height / 2, job.work);

  const std::size_t blackFrom = 2 * static_cast<std::size_t>(columns);
  const std::size_t rowEnd = 2 * static_cast<std::size_t>(std::max(job.outputWidth, columns));
  for (int field = 0; field < 2; ++field) {
    auto chromaRow = [&](int k) {
      k = std::clamp(k, 0, n - 1);  // rows past either end repeat the edge row
      return job.work + static_cast<std::size_t>(2 * k + field) * pitch;
    };
    auto interpolated = [&](int k) {
      kernels.interpolate(chromaRow(k - 1), chromaRow(k), chromaRow(k + 1), chromaRow(k + 2), job.scratch, columns);
      return static_cast<const std::uint8_t*>(job.scratch);
    };
    for (int j = 0; j < 2 * n; ++j) {
      // The first field's rows sit on its chroma rows; the second field's lie half a chroma row
      // lower, so it starts with its first chroma row twice.
      const std::uint8_t* chroma;
      if (field == 0) {
        chroma = j % 2 == 0 ? chromaRow(j / 2) : interpolated(j / 2);
      } else if (j == 0) {
        chroma = chromaRow(0);
      } else {
        chroma = j % 2 == 1 ? chromaRow(j / 2) : interpolated(j / 2 - 1);
      }
      const int lumaRow = 2 * j + field;
      std::uint8_t* out = job.output + static_cast<std::ptrdiff_t>(lumaRow) * job.outputPitch;
      kernels.pack(job.input + TiledOffset(lumaRow, 0), chroma, out, strips);
      for (std::size_t b = blackFrom; b < rowEnd; b += 2) {
        out[b] = 0x10;
        out[b + 1] = 0x80;
      }
    }
  }
}

}  // namespace convert

// Tiled 4:2:0 capture frames to interlaced YUY2: the tile addressing, the chroma untiling into a
// work buffer, the vertical chroma interpolation and the row packer (portable references, which
// ARE the definition, and SSE2 versions that must give the same bytes).
//
// Both planes are cut into tiles of 16 rows by 16 bytes; a tile is 256 consecutive bytes and a
// tile row (16 picture rows) is always 720 * 16 bytes long, whatever the picture width. The
// chroma plane (Cb at even bytes, Cr at odd, one pair per two pixels) follows the luma plane at
// a fixed offset chosen by the frame height.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace convert {

constexpr std::size_t kTileBytes = 256;
constexpr std::size_t kTileRowBytes = 720 * 16;
constexpr int kMaxTiledWidth = 720;  // 45 tiles per tile row

// Byte of (row, column) inside a tiled plane.
constexpr std::size_t TiledOffset(int row, int column) {
  return static_cast<std::size_t>(row / 16) * kTileRowBytes + static_cast<std::size_t>(column / 16) * kTileBytes +
         static_cast<std::size_t>(row % 16) * 16 + static_cast<std::size_t>(column % 16);
}
// 720 * 576 for 288- and 576-line frames, else 720 * 480.
constexpr std::size_t TiledChromaOffset(int height) { return height == 288 || height == 576 ? 414720 : 345600; }
// Bytes a conversion of `width` x `height` reads (both planes, up to the last byte touched).
std::size_t TiledFrameBytes(int width, int height);

// Copies `rows` chroma rows of `width` bytes (a multiple of 16) out of their tiles into
// `work`, rows `width` bytes apart, in picture order.
void UntileChroma(const std::uint8_t* chromaPlane, int width, int rows, std::uint8_t* work);

// The chroma row between b and c: (-3a + 27b + 27c - 3d) / 48 per byte, formed in 16-bit lanes,
// scaled by the single-precision 1/48 and rounded to nearest (ties to even), clamped to 0..255.
using InterpolateFn = void (*)(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c,
                               const std::uint8_t* d, std::uint8_t* out, int bytes);
void InterpolateC(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, const std::uint8_t* d,
                  std::uint8_t* out, int bytes);
void InterpolateSse2(const std::uint8_t* a, const std::uint8_t* b, const std::uint8_t* c, const std::uint8_t* d,
                     std::uint8_t* out, int bytes);
// One output byte of the reference.
std::uint8_t InterpolateByte(int a, int b, int c, int d);

// One YUY2 row from a tiled luma row (16-byte pieces 256 bytes apart) and a chroma row of
// interleaved Cb/Cr: luma byte k to output byte 2k, chroma byte k to 2k + 1. `strips` pieces.
using PackTiledFn = void (*)(const std::uint8_t* lumaRow, const std::uint8_t* chroma, std::uint8_t* out, int strips);
void PackTiledRowC(const std::uint8_t* lumaRow, const std::uint8_t* chroma, std::uint8_t* out, int strips);
void PackTiledRowSse2(const std::uint8_t* lumaRow, const std::uint8_t* chroma, std::uint8_t* out, int strips);

struct TiledKernels {
  InterpolateFn interpolate;
  PackTiledFn pack;
};
TiledKernels ReferenceTiledKernels();
TiledKernels SelectedTiledKernels();  // SSE2 when present

// One frame. The output gets `height` rows (first field on the even rows) of `columns` pixels
// (a multiple of 16, at most the width); pixels from `columns` to `outputWidth` are painted
// black. `work` holds height / 2 rows of `width` bytes; `scratch` one row of `width` bytes.
struct TiledJob {
  const std::uint8_t* input = nullptr;  // the luma plane; chroma at TiledChromaOffset(height)
  int width = 0;    // input row length in pixels (the work buffer's pitch)
  int height = 0;   // frame rows, both fields
  int columns = 0;  // pixels converted per row
  std::uint8_t* work = nullptr;
  std::uint8_t* scratch = nullptr;
  std::uint8_t* output = nullptr;
  std::ptrdiff_t outputPitch = 0;  // bytes
  int outputWidth = 0;             // pixels per output row
};
void ConvertTiledFrame(const TiledJob& job, const TiledKernels& kernels);

}  // namespace convert

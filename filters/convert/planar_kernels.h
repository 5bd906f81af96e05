// Field-planar 4:2:0 capture frames to interleaved YUY2: the frame layout behind the 48-byte
// frame header, the row packer (a portable reference, which IS the definition, and an SSE2
// version that must give the same bytes), the weave of the two stored fields and the fills.
//
// Input rows pack six one-byte samples in every eight bytes (bytes 6 and 7 are never read as
// samples). Each field row has its own Cb and Cr row of half the samples.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace convert {

constexpr std::size_t kFieldFrameHeaderBytes = 48;

// Stated width 352 is carried in 384-sample rows of 512 bytes; 720 in 1024-byte rows.
constexpr int PlanarRowPitch(int frameWidth) { return frameWidth == 384 || frameWidth == 352 ? 512 : 1024; }
constexpr int PlanarRowSamples(int frameWidth) { return PlanarRowPitch(frameWidth) == 512 ? 384 : 720; }
// Header and the four planes of both fields: 48 + 2 * height * pitch.
std::size_t PlanarFrameBytes(int frameWidth, int frameHeight);

// Packs one output row: luma samples y[6-of-8], chroma cb/cr[6-of-8] (one per two pixels) into
// `samples` YUY2 pixels (2 * samples bytes). `samples` is even. Writes exactly 2 * samples bytes.
using PackRowFn = void (*)(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                           std::uint8_t* out, int samples);
void PackRowC(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
              int samples);
void PackRowSse2(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
                 int samples);

// The packer for this processor (SSE2 when present, chosen once).
PackRowFn SelectedPackRow();

// One frame to weave. `planes` points at the luma of the field stored first (header skipped).
struct WeaveJob {
  const std::uint8_t* planes = nullptr;
  int frameWidth = 0;   // 384 (stated 352) or 720
  int frameHeight = 0;  // both fields
  bool firstStoredIsTop = true;  // the field stored first goes to the even output rows
  std::uint8_t* output = nullptr;
  std::ptrdiff_t outputPitch = 0;  // bytes; any value >= 2 * samples (odd strides too)
};

// Row i of the first stored field to output row 2i (or 2i + 1), row i of the second to the other.
void WeaveFields(const WeaveJob& job, PackRowFn pack);

// Fills `rows` rows of `rowBytes` bytes with a repeated 32-bit pattern (little-endian, as the
// frame header stores it) or with one byte.
void FillRows32(std::uint8_t* output, std::ptrdiff_t pitch, int rows, std::size_t rowBytes, std::uint32_t pattern);
void FillRowsByte(std::uint8_t* output, std::ptrdiff_t pitch, int rows, std::size_t rowBytes, std::uint8_t value);

}  // namespace convert

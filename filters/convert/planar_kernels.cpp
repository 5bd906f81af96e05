#include "filters/convert/planar_kernels.h"

#include <cstring>

#include "filters/convert/cpu.h"

namespace convert {

namespace {

// Sample k of a 6-of-8 packed row.
inline std::uint8_t Sample6of8(const std::uint8_t* row, int k) { return row[8 * (k / 6) + k % 6]; }

}  // namespace

std::size_t PlanarFrameBytes(int frameWidth, int frameHeight) {
  if (frameHeight <= 0) return kFieldFrameHeaderBytes;
  return kFieldFrameHeaderBytes +
         2 * static_cast<std::size_t>(frameHeight) * static_cast<std::size_t>(PlanarRowPitch(frameWidth));
}

void PackRowC(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* out,
              int samples) {
  for (int pair = 0; pair < samples / 2; ++pair) {
    out[4 * pair + 0] = Sample6of8(y, 2 * pair);
    out[4 * pair + 1] = Sample6of8(cb, pair);
    out[4 * pair + 2] = Sample6of8(y, 2 * pair + 1);
    out[4 * pair + 3] = Sample6of8(cr, pair);
  }
}

PackRowFn SelectedPackRow() {
  static const PackRowFn selected = HasSse2() ? &PackRowSse2 : &PackRowC;
  return selected;
}

void WeaveFields(const WeaveJob& job, PackRowFn pack) {
  if (!job.planes || !job.output || !pack || job.frameHeight <= 0) return;
  const std::size_t pitch = static_cast<std::size_t>(PlanarRowPitch(job.frameWidth));
  const std::size_t chromaPitch = pitch / 2;
  const int samples = PlanarRowSamples(job.frameWidth);
  const int rowsPerField = job.frameHeight / 2;
  const std::size_t framePlane = static_cast<std::size_t>(job.frameHeight) * pitch;  // both fields' luma
  // The second field starts half way into each plane, also for an odd height (whose fields
  // then hold height / 2 rows each and leave half a row unused).
  const std::size_t fieldLuma = framePlane / 2;
  const std::size_t fieldChroma = framePlane / 4;

  const std::uint8_t* luma = job.planes;
  const std::uint8_t* cb = job.planes + framePlane;
  const std::uint8_t* cr = job.planes + framePlane + framePlane / 2;
  for (int field = 0; field < 2; ++field) {
    // The stored-first field takes the even rows when it is the top field.
    const int offset = (field == 0) == job.firstStoredIsTop ? 0 : 1;
    for (int i = 0; i < rowsPerField; ++i) {
      pack(luma + field * fieldLuma + i * pitch, cb + field * fieldChroma + i * chromaPitch,
           cr + field * fieldChroma + i * chromaPitch, job.output + (2 * i + offset) * job.outputPitch, samples);
    }
  }
}

void FillRows32(std::uint8_t* output, std::ptrdiff_t pitch, int rows, std::size_t rowBytes, std::uint32_t pattern) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &pattern, 4);
  for (int row = 0; row < rows; ++row) {
    std::uint8_t* out = output + row * pitch;
    for (std::size_t b = 0; b < rowBytes; ++b) out[b] = bytes[b & 3];
  }
}

void FillRowsByte(std::uint8_t* output, std::ptrdiff_t pitch, int rows, std::size_t rowBytes, std::uint8_t value) {
  for (int row = 0; row < rows; ++row) std::memset(output + row * pitch, value, rowBytes);
}

}  // namespace convert

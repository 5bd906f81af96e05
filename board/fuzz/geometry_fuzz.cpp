// Fuzz target for the wide zoom mapping: the panel size from the panel settings file, the video
// size from the stream's format and the caller's source and linear rectangles, twelve 32-bit
// little-endian numbers in that order (missing ones read as 0). Built for the host with
// libFuzzer and the address and undefined-behaviour sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "board/wide_zoom_mapping.h"

namespace {

LONG At(const std::uint8_t* data, std::size_t size, std::size_t index) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4 && 4 * index + i < size; ++i) value |= static_cast<std::uint32_t>(data[4 * index + i]) << (8 * i);
  return static_cast<LONG>(value);
}

bool Within(LONG v, LONG low, LONG high) { return low <= v && v <= high; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  LONG n[12];
  for (std::size_t i = 0; i < 12; ++i) n[i] = At(data, size, i);
  const SIZE panel = {n[0], n[1]}, video = {n[2], n[3]};
  const RECT source = {n[4], n[5], n[6], n[7]}, linear = {n[8], n[9], n[10], n[11]};
  RECT out{};
  if (board::WideZoomMapping::GetWideZoomRect(panel, video, source, linear, &out) != S_OK) return 0;
  // Columns of a linear rectangle inside an ordered source stay inside the source.
  if (source.left < source.right && Within(linear.left, source.left, source.right) &&
      Within(linear.right, source.left, source.right) &&
      (!Within(out.left, source.left, source.right) || !Within(out.right, source.left, source.right)))
    std::abort();
  return 0;
}

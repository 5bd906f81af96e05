// Builds field-planar frames (header, two luma fields, U and V of each field, rows packed six
// samples in eight bytes) for the tests of every filter that reads them. Header-only and free
// of the filter libraries, so that any test program can use it.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "filters/include/field_video.h"

namespace graph_testkit {

class FieldPlanarFrameBuilder {
 public:
  // A frame of `width` x `height` (whole frame) with every byte of the planes 0 and a zero
  // header. `firstIsTop`: frame rows 0, 2, 4... belong to the field stored first.
  FieldPlanarFrameBuilder(std::int32_t width, std::int32_t height, bool firstIsTop = true)
      : layout_(field_video::MakePlaneLayout(width, height)), firstIsTop_(firstIsTop), bytes_(layout_.totalBytes, 0) {}

  const field_video::PlaneLayout& Layout() const { return layout_; }
  std::vector<std::uint8_t>& Bytes() { return bytes_; }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

  field_video::FieldFrameHeader& Header() {
    return *reinterpret_cast<field_video::FieldFrameHeader*>(bytes_.data());
  }

  // Stored field (0 first, 1 second) and row within it of a frame row.
  int FieldOf(int frameRow) const { return (frameRow % 2 == 0) == firstIsTop_ ? 0 : 1; }

  // Packed rows: field 0 or 1, row 0 .. height/2 - 1.
  std::uint8_t* LumaRow(int field, int row) {
    return bytes_.data() + layout_.luma[field] + static_cast<std::size_t>(row) * layout_.pitch;
  }
  std::uint8_t* URow(int field, int row) {
    return bytes_.data() + layout_.u[field] + static_cast<std::size_t>(row) * layout_.chromaPitch;
  }
  std::uint8_t* VRow(int field, int row) {
    return bytes_.data() + layout_.v[field] + static_cast<std::size_t>(row) * layout_.chromaPitch;
  }

  // Fills the picture from functions of (x, frame row): luma per pixel, U and V per pixel pair
  // (x = pair index). Chroma is 4:2:2 within each field: every frame row has its own.
  void Fill(const std::function<std::uint8_t(int, int)>& luma, const std::function<std::uint8_t(int, int)>& u,
            const std::function<std::uint8_t(int, int)>& v) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(layout_.width));
    for (int y = 0; y < layout_.height; ++y) {
      const int field = FieldOf(y);
      const int row = y / 2;
      for (int x = 0; x < layout_.width; ++x) line[static_cast<std::size_t>(x)] = luma(x, y);
      field_video::SampleGroup6of8::Pack(line.data(), line.size(), LumaRow(field, row));
      const std::size_t pairs = static_cast<std::size_t>(layout_.width) / 2;
      for (std::size_t x = 0; x < pairs; ++x) line[x] = u(static_cast<int>(x), y);
      field_video::SampleGroup6of8::Pack(line.data(), pairs, URow(field, row));
      for (std::size_t x = 0; x < pairs; ++x) line[x] = v(static_cast<int>(x), y);
      field_video::SampleGroup6of8::Pack(line.data(), pairs, VRow(field, row));
    }
  }

  // One sample back: luma of pixel x in frame row y.
  std::uint8_t Luma(int x, int y) {
    return LumaRow(FieldOf(y), y / 2)[field_video::SampleGroup6of8::Offset(static_cast<std::size_t>(x))];
  }
  std::uint8_t U(int pair, int y) {
    return URow(FieldOf(y), y / 2)[field_video::SampleGroup6of8::Offset(static_cast<std::size_t>(pair))];
  }
  std::uint8_t V(int pair, int y) {
    return VRow(FieldOf(y), y / 2)[field_video::SampleGroup6of8::Offset(static_cast<std::size_t>(pair))];
  }

 private:
  field_video::PlaneLayout layout_;
  bool firstIsTop_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace graph_testkit

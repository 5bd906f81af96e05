// The tuner cards' private video formats, as every module that reads them must agree on them
// byte for byte: the field-video major type with its planar subtype and two format types, the
// tiled 4:2:0 and auxiliary planar subtypes, the 40-byte format block, the 48-byte header in
// front of every field-planar frame, the plane layout behind it and the packing of its rows.
//
// These identifiers are registered nowhere; they are compared byte for byte.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// {5DE09140-E57C-4B48-9161-F988E315817E}
inline constexpr GUID MEDIATYPE_FieldVideo = {0x5de09140, 0xe57c, 0x4b48, {0x91, 0x61, 0xf9, 0x88, 0xe3, 0x15, 0x81, 0x7e}};
// {2B97C5F1-F794-4934-9030-D66FD0966AB0}
inline constexpr GUID MEDIASUBTYPE_FieldPlanar420 = {0x2b97c5f1, 0xf794, 0x4934, {0x90, 0x30, 0xd6, 0x6f, 0xd0, 0x96, 0x6a, 0xb0}};
// {DD2C4901-D39D-43F3-9953-34F46C63D7AE}: 29.97 frames per second, bottom field first.
inline constexpr GUID FORMAT_FieldVideoNtsc = {0xdd2c4901, 0xd39d, 0x43f3, {0x99, 0x53, 0x34, 0xf4, 0x6c, 0x63, 0xd7, 0xae}};
// {1D958614-365C-4FB5-906D-D16C72C9D177}: 25 frames per second, top field first.
inline constexpr GUID FORMAT_FieldVideoPal = {0x1d958614, 0x365c, 0x4fb5, {0x90, 0x6d, 0xd1, 0x6c, 0x72, 0xc9, 0xd1, 0x77}};
// {2859E1DA-B81F-4FBD-943B-E23724A1ABB3}: 4:2:0 in 16x16-byte tiles, under MEDIATYPE_Video.
inline constexpr GUID MEDIASUBTYPE_Tiled420 = {0x2859e1da, 0xb81f, 0x4fbd, {0x94, 0x3b, 0xe2, 0x37, 0x24, 0xa1, 0xab, 0xb3}};
// {279810AB-7A85-451E-AE9D-71108DAF59C6}: planar 4:2:2 (luma, then U, then V at half pitch).
inline constexpr GUID MEDIASUBTYPE_AuxVideo = {0x279810ab, 0x7a85, 0x451e, {0xae, 0x9d, 0x71, 0x10, 0x8d, 0xaf, 0x59, 0xc6}};

namespace field_video {

// Frame times of the two format types, in 100-ns units.
constexpr std::int64_t kFrameTimeNtsc = 333667;
constexpr std::int64_t kFrameTimePal = 400000;

// The format block of both field-video format types: a bitmap information header. Only the
// width and the (whole-frame) height are read.
struct FieldVideoFormat {
  BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(FieldVideoFormat) == 40);
static_assert(offsetof(BITMAPINFOHEADER, biWidth) == 4 && offsetof(BITMAPINFOHEADER, biHeight) == 8);

// The first 48 bytes of every field-planar sample.
struct FieldFrameHeader {
  std::uint32_t FrameFlags;
  std::uint32_t fillPattern;  // one YUY2 pixel pair, for kFrameFill
  std::int64_t startTime;     // 100-ns units; written by the video pacer
  std::int64_t duration;      // 100-ns units
  std::uint8_t reserved[24];
};
static_assert(sizeof(FieldFrameHeader) == 48);
static_assert(offsetof(FieldFrameHeader, fillPattern) == 4 && offsetof(FieldFrameHeader, startTime) == 8 &&
              offsetof(FieldFrameHeader, duration) == 16 && offsetof(FieldFrameHeader, reserved) == 24);

constexpr std::uint32_t kFrameFill = 0x00000001;   // replace the picture by the fill pattern
constexpr std::uint32_t kFrameBlack = 0x80000000;  // replace the picture by black (bytes 0x10)
constexpr std::uint32_t kFrameDropMask = 0x30000000;  // either bit: drop the frame

constexpr bool IsDropped(std::uint32_t flags) { return (flags & kFrameDropMask) != 0; }

// --- Plane layout ------------------------------------------------------------------------------
constexpr std::uint32_t kHeaderSize = sizeof(FieldFrameHeader);

// Row pitch in bytes: 512 for a width of 352, 1024 for every other width.
constexpr std::int32_t RowPitch(std::int32_t width) { return width == 352 ? 512 : 1024; }

// Where the six planes of a frame lie, from the start of the sample. With P = pitch x height:
// luma of the field stored first, luma of the field stored second (P/2 each), then the first
// chroma plane (U) of each field, then the second (V) of each field (P/4 each). Luma rows are
// `pitch` apart, chroma rows pitch/2; each field has height/2 rows of each. Which stored field
// is the top one the frame does not say.
struct PlaneLayout {
  std::int32_t width = 0;
  std::int32_t height = 0;  // whole frame, positive
  std::int32_t pitch = 0;   // luma row pitch in bytes
  std::int32_t chromaPitch = 0;
  std::uint32_t planeBytes = 0;  // P
  std::uint32_t luma[2] = {};    // field stored first, second
  std::uint32_t u[2] = {};
  std::uint32_t v[2] = {};
  std::uint32_t totalBytes = 0;  // header and planes
};

constexpr PlaneLayout MakePlaneLayout(std::int32_t width, std::int32_t height) {
  PlaneLayout layout;
  layout.width = width;
  layout.height = height < 0 ? -height : height;
  layout.pitch = RowPitch(width);
  layout.chromaPitch = layout.pitch / 2;
  const std::uint32_t p = static_cast<std::uint32_t>(layout.pitch) * static_cast<std::uint32_t>(layout.height);
  layout.planeBytes = p;
  layout.luma[0] = kHeaderSize;
  layout.luma[1] = kHeaderSize + p / 2;
  layout.u[0] = kHeaderSize + p;
  layout.u[1] = kHeaderSize + p / 4 * 5;
  layout.v[0] = kHeaderSize + p / 2 * 3;
  layout.v[1] = kHeaderSize + p / 4 * 7;
  layout.totalBytes = kHeaderSize + 2 * p;
  return layout;
}

// --- SampleGroup6of8: six samples in each eight bytes -----------------------------------------
// Bytes 0 to 5 of every 8-byte group carry samples; bytes 6 and 7 are unused. 720 samples take
// 960 bytes, 352 (counted as 384) take 512.
struct SampleGroup6of8 {
  static constexpr std::size_t kSamples = 6;
  static constexpr std::size_t kBytes = 8;

  // Byte offset of sample `index` within a packed row.
  static constexpr std::size_t Offset(std::size_t index) { return index / kSamples * kBytes + index % kSamples; }
  // Bytes that `samples` samples take (whole groups).
  static constexpr std::size_t RowBytes(std::size_t samples) { return (samples + kSamples - 1) / kSamples * kBytes; }

  // Reference unpacking: `count` samples of a packed row into consecutive bytes.
  static void Unpack(const std::uint8_t* packed, std::size_t count, std::uint8_t* samples) {
    for (std::size_t i = 0; i < count; ++i) samples[i] = packed[Offset(i)];
  }
  // Reference packing; the unused bytes are left as they are.
  static void Pack(const std::uint8_t* samples, std::size_t count, std::uint8_t* packed) {
    for (std::size_t i = 0; i < count; ++i) packed[Offset(i)] = samples[i];
  }
};

}  // namespace field_video

// Media types as fuzz inputs, for every fuzz case that hands a filter a type: a short prefix
// (major type, subtype and format type chosen from tables of the types the filters know, the
// flags, the sample size) followed by the format block, which runs to the end of the input so
// that it ends where the input does (at the driver's no-access page). Also the size fields of
// such an input and the seeds every case starts from.
#pragma once

#include "common/dshow.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/testing/fuzz_driver.h"

namespace graph_testkit {

constexpr std::size_t kFuzzTypePrefix = 8;
constexpr std::uint8_t kFuzzNullFormat = 0x80;  // flag: pbFormat null whatever cbFormat says

// The bytes of `type` as an input (the prefix, then the whole format block).
fuzzing::Bytes EncodeFuzzType(const AM_MEDIA_TYPE& type);

// The type an input describes; its pbFormat points into `data` (no copy). False when the input
// is shorter than the prefix.
bool DecodeFuzzType(const std::uint8_t* data, std::size_t size, AM_MEDIA_TYPE* type);

// The sample size and the format block's size fields of an input (bitmap header, rectangles,
// wave format), found from `offset` on.
std::vector<fuzzing::SizeField> FuzzTypeSizeFields(const fuzzing::Bytes& input, std::size_t offset = 0);

// Seeds: packed, tiled and planar video with both video headers, field video, PCM, caption data.
std::vector<fuzzing::Bytes> FuzzTypeSeeds();

}  // namespace graph_testkit

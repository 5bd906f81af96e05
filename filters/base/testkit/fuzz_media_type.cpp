#include "filters/base/testkit/fuzz_media_type.h"

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>

#include <cstring>
#include <utility>

#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"

namespace graph_testkit {
namespace {

const GUID kMajors[] = {MEDIATYPE_Video, MEDIATYPE_Audio, MEDIATYPE_FieldVideo, MEDIATYPE_AUXLine21Data,
                        KSDATAFORMAT_TYPE_VBI, GUID_NULL};
const GUID kSubtypes[] = {MEDIASUBTYPE_YUY2,         MEDIASUBTYPE_UYVY,          MEDIASUBTYPE_IYUV,
                          MEDIASUBTYPE_RGB24,        MEDIASUBTYPE_RGB32,         MEDIASUBTYPE_FieldPlanar420,
                          MEDIASUBTYPE_Tiled420,     MEDIASUBTYPE_AuxVideo,      MEDIASUBTYPE_PCM,
                          MEDIASUBTYPE_IEEE_FLOAT,   MEDIASUBTYPE_Line21_BytePair, MEDIASUBTYPE_Line21_GOPPacket,
                          KSDATAFORMAT_SUBTYPE_RAW8, GUID_NULL};
const GUID kFormats[] = {FORMAT_VideoInfo, FORMAT_VideoInfo2, FORMAT_WaveFormatEx, FORMAT_FieldVideoNtsc,
                         FORMAT_FieldVideoPal, FORMAT_None, GUID_NULL};

template <std::size_t N>
std::uint8_t IndexOf(const GUID (&table)[N], const GUID& value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (IsEqualGUID(table[i], value)) return static_cast<std::uint8_t>(i);
  }
  return static_cast<std::uint8_t>(N - 1);
}

// Where the bitmap header sits in a format block of this type, or -1.
long BitmapOffset(const GUID& format) {
  if (IsEqualGUID(format, FORMAT_VideoInfo)) return offsetof(VIDEOINFOHEADER, bmiHeader);
  if (IsEqualGUID(format, FORMAT_VideoInfo2)) return offsetof(VIDEOINFOHEADER2, bmiHeader);
  if (IsEqualGUID(format, FORMAT_FieldVideoNtsc) || IsEqualGUID(format, FORMAT_FieldVideoPal)) return 0;
  return -1;
}

}  // namespace

fuzzing::Bytes EncodeFuzzType(const AM_MEDIA_TYPE& type) {
  fuzzing::Bytes bytes(kFuzzTypePrefix + type.cbFormat);
  bytes[0] = IndexOf(kMajors, type.majortype);
  bytes[1] = IndexOf(kSubtypes, type.subtype);
  bytes[2] = IndexOf(kFormats, type.formattype);
  bytes[3] = static_cast<std::uint8_t>((type.bFixedSizeSamples ? 1 : 0) | (type.bTemporalCompression ? 2 : 0));
  fuzzing::WriteLe(bytes.data() + 4, 4, type.lSampleSize);
  if (type.cbFormat) std::memcpy(bytes.data() + kFuzzTypePrefix, type.pbFormat, type.cbFormat);
  return bytes;
}

bool DecodeFuzzType(const std::uint8_t* data, std::size_t size, AM_MEDIA_TYPE* type) {
  if (size < kFuzzTypePrefix) return false;
  *type = AM_MEDIA_TYPE{};
  type->majortype = kMajors[data[0] % std::size(kMajors)];
  type->subtype = kSubtypes[data[1] % std::size(kSubtypes)];
  type->formattype = kFormats[data[2] % std::size(kFormats)];
  type->bFixedSizeSamples = data[3] & 1;
  type->bTemporalCompression = (data[3] >> 1) & 1;
  type->lSampleSize = fuzzing::ReadLe(data + 4, 4);
  type->cbFormat = static_cast<ULONG>(size - kFuzzTypePrefix);
  const bool none = (data[3] & kFuzzNullFormat) || size == kFuzzTypePrefix;
  type->pbFormat = none ? nullptr : const_cast<std::uint8_t*>(data + kFuzzTypePrefix);
  return true;
}

std::vector<fuzzing::SizeField> FuzzTypeSizeFields(const fuzzing::Bytes& input, std::size_t offset) {
  std::vector<fuzzing::SizeField> fields = {{offset + 4, 4}};
  if (input.size() < offset + kFuzzTypePrefix) return fields;
  const std::size_t block = offset + kFuzzTypePrefix;
  const GUID& format = kFormats[input[offset + 2] % std::size(kFormats)];
  const long bitmap = BitmapOffset(format);
  if (bitmap >= 0) {
    const std::size_t at = block + static_cast<std::size_t>(bitmap);
    for (const auto& [field, width] : {std::pair{0, 4}, {4, 4}, {8, 4}, {12, 2}, {14, 2}, {20, 4}})
      fields.push_back({at + field, static_cast<std::size_t>(width)});
    if (bitmap > 0) {  // the source and target rectangles
      for (std::size_t r = 0; r < 32; r += 4) fields.push_back({block + r, 4});
    }
  } else if (IsEqualGUID(format, FORMAT_WaveFormatEx)) {
    for (const auto& [field, width] : {std::pair{2, 2}, {4, 4}, {8, 4}, {12, 2}, {14, 2}, {16, 2}})
      fields.push_back({block + field, static_cast<std::size_t>(width)});
  }
  return fields;
}

std::vector<fuzzing::Bytes> FuzzTypeSeeds() {
  std::vector<fuzzing::Bytes> seeds;
  for (const GUID& format : {FORMAT_VideoInfo, FORMAT_VideoInfo2}) {
    for (const GUID& subtype : {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_Tiled420,
                                MEDIASUBTYPE_AuxVideo, MEDIASUBTYPE_IYUV}) {
      seeds.push_back(EncodeFuzzType(MakeVideoType(720, 480, subtype, format)));
    }
    seeds.push_back(EncodeFuzzType(MakeVideoType(352, -240, MEDIASUBTYPE_YUY2, format)));
  }
  seeds.push_back(EncodeFuzzType(MakeFieldVideoType(720, 480, false)));
  seeds.push_back(EncodeFuzzType(MakeFieldVideoType(720, 576, true)));
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  AM_MEDIA_TYPE audio{MEDIATYPE_Audio, MEDIASUBTYPE_PCM, TRUE, FALSE, 4, FORMAT_WaveFormatEx, nullptr,
                      sizeof(pcm), reinterpret_cast<BYTE*>(&pcm)};
  seeds.push_back(EncodeFuzzType(audio));
  AM_MEDIA_TYPE line21{MEDIATYPE_AUXLine21Data, MEDIASUBTYPE_Line21_BytePair, TRUE, FALSE, 2, FORMAT_None, nullptr, 0, nullptr};
  seeds.push_back(EncodeFuzzType(line21));
  line21.majortype = KSDATAFORMAT_TYPE_VBI;
  line21.subtype = KSDATAFORMAT_SUBTYPE_RAW8;
  seeds.push_back(EncodeFuzzType(line21));
  return seeds;
}

}  // namespace graph_testkit

// The media types a filter is offered, under the mutation driver: every pin of every filter
// module is asked QueryAccept about types whose format blocks are cut short or whose sizes lie
// (header sizes, widths, heights, bit counts, image sizes), each format block ending at a
// no-access page. No answer may fault or hang, and each is S_OK or S_FALSE. (The pins judge a
// copy of the type; the guard page stands behind the block the copy is taken from.)
#include <gtest/gtest.h>

#include "common/dshow.h"

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>
#include <wrl/client.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/testing/fuzz_driver.h"
#include "common/testing/com_module.h"
#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"

using Microsoft::WRL::ComPtr;
using graph_testkit::MakeFieldVideoType;
using graph_testkit::MakeVideoType;

namespace {

// An input: major, subtype, format type and flag choices, the sample size, then the format
// block (cbFormat is the rest of the input, so the block always ends at the guard page).
constexpr std::size_t kPrefix = 8;

const GUID kMajors[] = {MEDIATYPE_Video, MEDIATYPE_Audio, MEDIATYPE_FieldVideo, MEDIATYPE_AUXLine21Data,
                        KSDATAFORMAT_TYPE_VBI, GUID_NULL};
const GUID kSubtypes[] = {MEDIASUBTYPE_YUY2,         MEDIASUBTYPE_UYVY,          MEDIASUBTYPE_IYUV,
                          MEDIASUBTYPE_RGB24,        MEDIASUBTYPE_RGB32,         MEDIASUBTYPE_FieldPlanar420,
                          MEDIASUBTYPE_Tiled420,     MEDIASUBTYPE_AuxVideo,      MEDIASUBTYPE_PCM,
                          MEDIASUBTYPE_IEEE_FLOAT,   MEDIASUBTYPE_Line21_BytePair, MEDIASUBTYPE_Line21_GOPPacket,
                          KSDATAFORMAT_SUBTYPE_RAW8, GUID_NULL};
const GUID kFormats[] = {FORMAT_VideoInfo, FORMAT_VideoInfo2, FORMAT_WaveFormatEx, FORMAT_FieldVideoNtsc,
                         FORMAT_FieldVideoPal, FORMAT_None, GUID_NULL};
constexpr std::uint8_t kNullFormat = 0x80;  // flag: pbFormat null whatever cbFormat says

template <class T, std::size_t N>
std::uint8_t IndexOf(const T (&table)[N], const T& value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (IsEqualGUID(table[i], value)) return static_cast<std::uint8_t>(i);
  }
  return static_cast<std::uint8_t>(N - 1);
}

fuzzing::Bytes Encode(const AM_MEDIA_TYPE& type) {
  fuzzing::Bytes bytes(kPrefix + type.cbFormat);
  bytes[0] = IndexOf(kMajors, type.majortype);
  bytes[1] = IndexOf(kSubtypes, type.subtype);
  bytes[2] = IndexOf(kFormats, type.formattype);
  bytes[3] = static_cast<std::uint8_t>((type.bFixedSizeSamples ? 1 : 0) | (type.bTemporalCompression ? 2 : 0));
  fuzzing::WriteLe(bytes.data() + 4, 4, type.lSampleSize);
  if (type.cbFormat) std::memcpy(bytes.data() + kPrefix, type.pbFormat, type.cbFormat);
  return bytes;
}

// Where the bitmap header sits in a format block of this type, or -1.
long BitmapOffset(const GUID& format) {
  if (IsEqualGUID(format, FORMAT_VideoInfo)) return offsetof(VIDEOINFOHEADER, bmiHeader);
  if (IsEqualGUID(format, FORMAT_VideoInfo2)) return offsetof(VIDEOINFOHEADER2, bmiHeader);
  if (IsEqualGUID(format, FORMAT_FieldVideoNtsc) || IsEqualGUID(format, FORMAT_FieldVideoPal)) return 0;
  return -1;
}

std::vector<fuzzing::SizeField> SizeFields(const fuzzing::Bytes& input) {
  std::vector<fuzzing::SizeField> fields = {{4, 4}};
  if (input.size() < kPrefix) return fields;
  const GUID& format = kFormats[input[2] % std::size(kFormats)];
  const long bitmap = BitmapOffset(format);
  if (bitmap >= 0) {
    const std::size_t at = kPrefix + static_cast<std::size_t>(bitmap);
    for (const auto& [offset, width] : {std::pair{0, 4}, {4, 4}, {8, 4}, {12, 2}, {14, 2}, {20, 4}})
      fields.push_back({at + offset, static_cast<std::size_t>(width)});
    if (bitmap > 0) {  // the source and target rectangles
      for (std::size_t r = 0; r < 32; r += 4) fields.push_back({kPrefix + r, 4});
    }
  } else if (IsEqualGUID(format, FORMAT_WaveFormatEx)) {
    for (const auto& [offset, width] : {std::pair{2, 2}, {4, 4}, {8, 4}, {12, 2}, {14, 2}, {16, 2}})
      fields.push_back({kPrefix + offset, static_cast<std::size_t>(width)});
  }
  return fields;
}

struct Module {
  const wchar_t* file;
  const wchar_t* name;
  CLSID clsid;
  bool wantsPreviewControl = false;  // made only with the preview control's class registered
};

// The filter classes of the modules, as their modules name them.
const Module kModules[] = {
    {L"deinterlace\\QfaTesk.ax", L"deinterlacer", {0xb03c30d4, 0x2ddb, 0x44ec, {0x92, 0x75, 0xac, 0xd2, 0x80, 0x02, 0x92, 0x52}}},
    {L"deinterlace\\QfaTesk.ax", L"deinterlacer rv30", {0xb59a5c61, 0x1218, 0x471e, {0x9f, 0xe1, 0x06, 0xa2, 0xf1, 0xeb, 0x0b, 0x3b}}},
    {L"QfaCfc.ax", L"colour converter", {0x733e10d7, 0x459f, 0x44ab, {0x86, 0x12, 0x53, 0x06, 0xf2, 0xbe, 0xb2, 0x6b}}},
    {L"PlanarPack.ax", L"planar packer", {0x33b30828, 0x7ad6, 0x4db1, {0xa6, 0x81, 0x02, 0xc2, 0x3c, 0x4e, 0x79, 0x0a}}},
    {L"VideoPacer.ax", L"video pacer", {0x2663bfad, 0xb808, 0x441b, {0xa4, 0x66, 0x1b, 0xb4, 0x78, 0x15, 0x49, 0xe4}}},
    {L"AudioPacer.ax", L"audio pacer", {0x6d1be6b6, 0xda87, 0x47cb, {0xb5, 0x2c, 0x16, 0xa1, 0x58, 0x44, 0xd4, 0xbb}}},
    {L"VornVRen.ax", L"renderer", {0xb1e39656, 0xabce, 0x4b23, {0xa6, 0xfb, 0x67, 0x76, 0xc7, 0x39, 0x9b, 0x1e}}, true},
    {L"CcRelay.ax", L"caption relay", {0x98e948bb, 0x8f1c, 0x4683, {0x80, 0xff, 0x78, 0xd9, 0x50, 0x48, 0x5e, 0x38}}},
    {L"VornVSrc.ax", L"source", {0x3135a373, 0x075a, 0x44a6, {0xb2, 0xef, 0x5b, 0x27, 0x63, 0x17, 0x6e, 0xcd}}},
};

void PrintTo(const Module& module, std::ostream* out) {
  for (const wchar_t* c = module.name; *c; ++c) *out << static_cast<char>(*c);
}

std::vector<fuzzing::Bytes> Seeds() {
  std::vector<fuzzing::Bytes> seeds;
  for (const GUID& format : {FORMAT_VideoInfo, FORMAT_VideoInfo2}) {
    for (const GUID& subtype : {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_UYVY, MEDIASUBTYPE_RGB32, MEDIASUBTYPE_Tiled420,
                                MEDIASUBTYPE_AuxVideo, MEDIASUBTYPE_IYUV}) {
      seeds.push_back(Encode(MakeVideoType(720, 480, subtype, format)));
    }
    seeds.push_back(Encode(MakeVideoType(352, -240, MEDIASUBTYPE_YUY2, format)));
  }
  seeds.push_back(Encode(MakeFieldVideoType(720, 480, false)));
  seeds.push_back(Encode(MakeFieldVideoType(720, 576, true)));
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  AM_MEDIA_TYPE audio{MEDIATYPE_Audio, MEDIASUBTYPE_PCM, TRUE, FALSE, 4, FORMAT_WaveFormatEx, nullptr,
                      sizeof(pcm), reinterpret_cast<BYTE*>(&pcm)};
  seeds.push_back(Encode(audio));
  AM_MEDIA_TYPE line21{MEDIATYPE_AUXLine21Data, MEDIASUBTYPE_Line21_BytePair, TRUE, FALSE, 2, FORMAT_None, nullptr, 0, nullptr};
  seeds.push_back(Encode(line21));
  line21.majortype = KSDATAFORMAT_TYPE_VBI;
  line21.subtype = KSDATAFORMAT_SUBTYPE_RAW8;
  seeds.push_back(Encode(line21));
  return seeds;
}

class MediaTypeFuzz : public ::testing::TestWithParam<Module> {};

TEST_P(MediaTypeFuzz, EveryPinAnswersWithoutAFault) {
  const Module& module = GetParam();
  // The modules want COM on the thread that creates their filters; the fuzz thread is in the MTA too.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  struct ComScope {
    HRESULT hr;
    ~ComScope() {
      if (SUCCEEDED(hr)) CoUninitialize();
    }
  } comScope{com};
  // The renderer's preview control: the double, registered for this case only.
  const testing_support::ComModule previewControl(L"previewdouble.dll");
  if (module.wantsPreviewControl) {
    ASSERT_EQ(S_OK, previewControl.Register());
  }
  struct Unregister {
    const testing_support::ComModule& module;
    bool registered;
    ~Unregister() {
      if (registered) module.Unregister();
    }
  } unregister{previewControl, module.wantsPreviewControl};
  const testing_support::ComModule library(module.file);
  ASSERT_TRUE(library.valid()) << GetLastError();
  {
    ComPtr<IBaseFilter> filter;
    ASSERT_EQ(S_OK, library.Create(module.clsid, IID_IBaseFilter, reinterpret_cast<void**>(filter.GetAddressOf())));
    std::vector<ComPtr<IPin>> pins;
    {
      ComPtr<IEnumPins> pinList;
      ASSERT_EQ(S_OK, filter->EnumPins(pinList.GetAddressOf()));
      IPin* pin = nullptr;
      while (pinList->Next(1, &pin, nullptr) == S_OK) {
        pins.emplace_back();
        pins.back().Attach(pin);
      }
    }
    ASSERT_FALSE(pins.empty());

    fuzzing::Target target;
    const std::string name = "media_type_" + std::string(module.name, module.name + wcslen(module.name));
    target.name = name.c_str();
    target.seeds = Seeds();
    target.sizeFields = SizeFields;
    target.maxSize = 512;
    target.defaultRuns = 1500;
    target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
      if (size < kPrefix) return {};
      AM_MEDIA_TYPE type{};
      type.majortype = kMajors[data[0] % std::size(kMajors)];
      type.subtype = kSubtypes[data[1] % std::size(kSubtypes)];
      type.formattype = kFormats[data[2] % std::size(kFormats)];
      type.bFixedSizeSamples = data[3] & 1;
      type.bTemporalCompression = (data[3] >> 1) & 1;
      type.lSampleSize = fuzzing::ReadLe(data + 4, 4);
      type.cbFormat = static_cast<ULONG>(size - kPrefix);
      type.pbFormat = (data[3] & kNullFormat) || size == kPrefix ? nullptr : const_cast<std::uint8_t*>(data + kPrefix);
      for (std::size_t p = 0; p < pins.size(); ++p) {
        // S_OK or S_FALSE, or the failure to copy a type whose format pointer is missing.
        const HRESULT hr = pins[p]->QueryAccept(&type);
        if (hr != S_OK && hr != S_FALSE && !(hr == E_POINTER && !type.pbFormat) && hr != E_OUTOFMEMORY)
          return "pin " + std::to_string(p) + " answered " + std::to_string(hr);
      }
      return {};
    };
    const fuzzing::Result result = fuzzing::Run(target);
    EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  }
}

INSTANTIATE_TEST_SUITE_P(Filters, MediaTypeFuzz, ::testing::ValuesIn(kModules),
                         [](const ::testing::TestParamInfo<Module>& info) {
                           std::string name;
                           for (const wchar_t* c = info.param.name; *c; ++c) name += std::isalnum(*c) ? char(*c) : '_';
                           return name;
                         });

}  // namespace

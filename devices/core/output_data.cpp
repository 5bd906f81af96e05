#include "devices/core/output_data.h"

#include <iterator>

#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "common/settings_file.h"
#include "devices/core/hal_items.h"

namespace output_data {

namespace {

constexpr std::size_t kMpegValues = 17;
// MPEG information by subtype 0, 1, 2 (values 0 to 16).
constexpr std::int32_t kMpegInfo[3][kMpegValues] = {
    {2, 0, 9, 8000000, 0, 1, 0, 7407200, 0, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 4000000, 6000000, 1, 0, 3670000, 5429600, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 2500000, 0, 1, 0, 1968800, 0, 480, 352, 2, 4, 2, 256000, 0, 48000},
};
// The second and third families' MPEG information (their presets' rates).
constexpr std::int32_t kMpegInfoFamily23[3][kMpegValues] = {
    {2, 0, 9, 8000000, 0, 1, 0, 7620000, 0, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 4000000, 8000000, 1, 0, 3670000, 7620000, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 2500000, 4500000, 1, 0, 2179600, 4000000, 480, 352, 2, 4, 2, 256000, 0, 48000},
};
constexpr std::int32_t kPcmInfo[] = {2, 48000, 256000, 4, 16};

HRESULT InfoFromTable(const std::int32_t (&mpeg)[3][kMpegValues], ULONG type, ULONG subtype,
                      std::vector<std::int32_t>* values) {
  if (!values) return kNullPointer;
  if (type == kTypeMpeg && subtype < 3) {
    values->assign(std::begin(mpeg[subtype]), std::end(mpeg[subtype]));
  } else if (type == kTypePcm && subtype == 0) {
    values->assign(std::begin(kPcmInfo), std::end(kPcmInfo));
  } else if (type == kTypeIndex && subtype == 0) {
    values->clear();
  } else {
    return kUnknownValue;
  }
  return S_OK;
}

}  // namespace

HRESULT OutputDataInfo(ULONG type, ULONG subtype, std::vector<std::int32_t>* values) {
  return InfoFromTable(kMpegInfo, type, subtype, values);
}

HRESULT OutputDataInfoFamily23(ULONG type, ULONG subtype, std::vector<std::int32_t>* values) {
  return InfoFromTable(kMpegInfoFamily23, type, subtype, values);
}

HRESULT WriteOutputDataInfo(ULONG type, ULONG subtype, IHalItem* item) {
  if (!item) return kNullPointer;
  std::vector<std::int32_t> values;
  RETURN_IF_FAILED(OutputDataInfo(type, subtype, &values));
  for (std::size_t i = 0; i < values.size(); ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(item, static_cast<long>(i), values[i]));
  return S_OK;
}

HRESULT AvailableSubtypes(ULONG type, std::vector<ULONG>* subtypes) {
  if (!subtypes) return kNullPointer;
  if (type == kTypeMpeg) {
    *subtypes = {0, 1, 2};
  } else if (type == kTypePcm || type == kTypeIndex) {
    *subtypes = {0};
  } else {
    return kUnknownValue;
  }
  return S_OK;
}

_SHAL_INPUT_AUDIOMODE InputAudioMode(long tvAudioMode, bool externalInput) {
  _SHAL_INPUT_AUDIOMODE mode{0, 0, 0};
  if (externalInput) return {1, 1, 0};
  const long low = tvAudioMode & 0x0F;
  if (low == 1) mode = {1, 1, 0};
  if (low == 2) mode = {2, 2, 0};
  switch (tvAudioMode & 0xF0) {
    case 0x20: mode.sub = 16; break;
    case 0x30: mode = {4, 8, 0}; break;
    case 0x40: mode.sub = 32; break;
    default: break;
  }
  return mode;
}

_SHAL_OUTPUT_AUDIOMODE OutputAudioMode(long tvAudioMode, bool externalInput) {
  if (externalInput) return {1, 1};
  if ((tvAudioMode & 0xF0) == 0x30) return {4, 8};
  const long low = tvAudioMode & 0x0F;
  if (low == 1) return {1, 1};
  if (low == 2) return {2, 2};
  return {0, 0};
}

HRESULT ReadAudioModes(IAMTVAudio* tvAudio, bool externalInput, _SHAL_INPUT_AUDIOMODE* input,
                       _SHAL_OUTPUT_AUDIOMODE* output) {
  long mode = 0;
  if (!externalInput) {
    if (!tvAudio) return kNullPointer;
    RETURN_IF_FAILED(tvAudio->get_TVAudioMode(&mode));
  }
  if (input) *input = InputAudioMode(mode, externalInput);
  if (output) *output = OutputAudioMode(mode, externalInput);
  return S_OK;
}

HRESULT ConnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!pairs[i].wanted) continue;
    RETURN_IF_FAILED(PinHelpers::Connect(pairs[i].output, pairs[i].input, graph));
  }
  return S_OK;
}

void DisconnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph) {
  for (std::size_t i = 0; i < count; ++i)
    if (pairs[i].wanted) PinHelpers::Disconnect(pairs[i].output, pairs[i].input, graph);
}

void WaitMinimumRecTime(DWORD* startTick, DWORD minimumMs) {
  if (!startTick || *startTick == 0) return;
  while (static_cast<DWORD>(GetTickCount() - *startTick) < minimumMs) Sleep(kMinimumRecStepMs);
  *startTick = 0;
}

DWORD ReadMinimumRecTime(HMODULE module) {
  const int value = SettingsFile::ForModule(module).ReadInt(L"REC", L"minimum REC time", 1000);
  return value < 0 ? 0 : static_cast<DWORD>(value);
}

}  // namespace output_data

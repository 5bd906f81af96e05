#include "devices/core/output_data.h"

#include <iterator>

#include <wrl/client.h>

#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "common/settings_file.h"
#include "devices/core/hal_items.h"
#include "devices/core/outside_filters.h"

namespace output_data {

namespace {

// MPEG information by subtype 0, 1, 2 (values 0 to 16).
constexpr MpegInfoTable kMpegInfo = {
    {2, 0, 9, 8000000, 0, 1, 0, 7407200, 0, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 4000000, 6000000, 1, 0, 3670000, 5429600, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 2500000, 0, 1, 0, 1968800, 0, 480, 352, 2, 4, 2, 256000, 0, 48000},
};
// The second and third families' MPEG information (their presets' rates).
constexpr MpegInfoTable kMpegInfoFamily23 = {
    {2, 0, 9, 8000000, 0, 1, 0, 7620000, 0, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 4000000, 8000000, 1, 0, 3670000, 7620000, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 2500000, 4500000, 1, 0, 2179600, 4000000, 480, 352, 2, 4, 2, 256000, 0, 48000},
};
constexpr std::int32_t kPcmInfo[] = {2, 48000, 256000, 4, 16};

}  // namespace

HRESULT OutputDataInfo(ULONG type, ULONG subtype, std::vector<std::int32_t>* values) {
  return OutputDataInfo(kMpegInfo, type, subtype, values);
}

HRESULT OutputDataInfoFamily23(ULONG type, ULONG subtype, std::vector<std::int32_t>* values) {
  return OutputDataInfo(kMpegInfoFamily23, type, subtype, values);
}

const std::vector<std::int32_t>& PcmInfo() {
  static const std::vector<std::int32_t> values(std::begin(kPcmInfo), std::end(kPcmInfo));
  return values;
}

HRESULT OutputDataInfo(const MpegInfoTable& mpeg, ULONG type, ULONG subtype, std::vector<std::int32_t>* values) {
  if (!values) return errors::kOutputNullPointer;
  if (type == kTypeMpeg && subtype < 3) {
    values->assign(std::begin(mpeg[subtype]), std::end(mpeg[subtype]));
  } else if (type == kTypePcm && subtype == 0) {
    values->assign(std::begin(kPcmInfo), std::end(kPcmInfo));
  } else if (type == kTypeIndex && subtype == 0) {
    values->clear();
  } else {
    return errors::kOutputUnknownValue;
  }
  return S_OK;
}

HRESULT WriteOutputDataInfo(ULONG type, ULONG subtype, IHalItem* item) {
  if (!item) return errors::kOutputNullPointer;
  std::vector<std::int32_t> values;
  RETURN_IF_FAILED(OutputDataInfo(type, subtype, &values));
  for (std::size_t i = 0; i < values.size(); ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(item, static_cast<long>(i), values[i]));
  return S_OK;
}

HRESULT AvailableSubtypes(ULONG type, std::vector<ULONG>* subtypes) {
  if (!subtypes) return errors::kOutputNullPointer;
  if (type == kTypeMpeg) {
    *subtypes = {0, 1, 2};
  } else if (type == kTypePcm || type == kTypeIndex) {
    *subtypes = {0};
  } else {
    return errors::kOutputUnknownValue;
  }
  return S_OK;
}

_SHAL_INPUT_AUDIOMODE InputAudioMode(long tvAudioMode, bool externalInput, bool withSub) {
  _SHAL_INPUT_AUDIOMODE mode{0, 0, 0};
  if (externalInput) return {1, 1, 0};
  const long low = tvAudioMode & 0x0F;
  if (low == 1) mode = {1, 1, 0};
  if (low == 2) mode = {2, 2, 0};
  switch (tvAudioMode & 0xF0) {
    case 0x20: mode.sub = withSub ? 16 : 0; break;
    case 0x30: mode = {4, 8, 0}; break;
    case 0x40: mode.sub = withSub ? 32 : 0; break;
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

HRESULT ReadAvailableTvAudio(FilterGraphHolder& graph, IAMTVAudio* tvAudio, const NamedEvent& externalInput,
                             long* tvMode, bool* external) {
  if (!graph.IsReady() || !tvAudio) return E_POINTER;
  OAFilterState state = State_Stopped;
  if (FAILED(graph.GetState(&state, 0)) || state != State_Running) return VFW_E_NOT_RUNNING;
  *tvMode = 0;
  *external = externalInput.IsSet();
  return *external ? S_OK : tvAudio->GetAvailableTVAudioModes(tvMode);
}

HRESULT FindPins(const PinWanted* wanted, IPin** pins, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (pins[i]) continue;
    RETURN_IF_FAILED(PinHelpers::FindPin(&pins[i], wanted[i].filter, wanted[i].direction, wanted[i].name,
                                         wanted[i].position));
    if (!pins[i]) return E_OUTOFMEMORY;
  }
  return S_OK;
}

void ReleasePins(IPin** pins, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    if (pins[i]) pins[i]->Release();
    pins[i] = nullptr;
  }
}

HRESULT OutsideFilters::Add(FilterGraphHolder& holder, HMODULE module) {
  // {C1F400A4-3F08-11D3-9F0B-006008039E37}
  static constexpr CLSID kClsidNullRenderer = {0xc1f400a4, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};
  FilterEntry filters[] = {
      {&outside::kClsidCallbackFilter, L"Callback Filter", &callback, module, outside::kCallbackFile},
      {&outside::kClsidMpegAnalyzer, L"ZARN MPEG Analyzer", &analyzer, module, outside::kAnalyzerFile},
      {&kClsidNullRenderer, L"Null Renderer (MPG)", &nullMpg, nullptr, nullptr},
      {&kClsidNullRenderer, L"Null Renderer (Preview)", &nullPreview, nullptr, nullptr},
  };
  RETURN_IF_FAILED(holder.AddFilters(filters, static_cast<int>(std::size(filters))));
  InterfaceQuery queries[] = {
      {callback, &IID_ICallbackFilterControl, reinterpret_cast<void**>(&callbackControl)},
      {analyzer, &IID_IAnalyzerControl, reinterpret_cast<void**>(&analyzerControl)},
  };
  RETURN_IF_FAILED(holder.QueryInterfaces(queries, static_cast<int>(std::size(queries))));
  const PinWanted wanted[kPinCount] = {
      {callback, PINDIR_INPUT, L"MPEG Input", 0},  {callback, PINDIR_INPUT, L"INDEX Input", 0},
      {callback, PINDIR_INPUT, L"PCM Input", 0},   {analyzer, PINDIR_INPUT, L"Input", 0},
      {analyzer, PINDIR_OUTPUT, L"Output", 0},     {analyzer, PINDIR_OUTPUT, L"INDEX_INFO", 0},
      {nullMpg, PINDIR_INPUT, L"In", 0},           {nullPreview, PINDIR_INPUT, L"In", 0},
  };
  return FindPins(wanted, pins, kPinCount);
}

void OutsideFilters::Remove(FilterGraphHolder& holder) noexcept {
  IBaseFilter* const filters[] = {callback, analyzer, nullMpg, nullPreview};
  holder.RemoveFilters(filters, static_cast<int>(std::size(filters)));
  ReleasePins(pins, kPinCount);
  IUnknown** const pointers[] = {
      reinterpret_cast<IUnknown**>(&callbackControl), reinterpret_cast<IUnknown**>(&analyzerControl),
      reinterpret_cast<IUnknown**>(&callback),        reinterpret_cast<IUnknown**>(&analyzer),
      reinterpret_cast<IUnknown**>(&nullMpg),         reinterpret_cast<IUnknown**>(&nullPreview),
  };
  FilterGraphHolder::ReleaseAll(pointers, static_cast<int>(std::size(pointers)));
}

HRESULT ReadAudioModes(IAMTVAudio* tvAudio, bool externalInput, _SHAL_INPUT_AUDIOMODE* input,
                       _SHAL_OUTPUT_AUDIOMODE* output) {
  long mode = 0;
  if (!externalInput) {
    if (!tvAudio) return errors::kOutputNullPointer;
    RETURN_IF_FAILED(tvAudio->get_TVAudioMode(&mode));
  }
  if (input) *input = InputAudioMode(mode, externalInput);
  if (output) *output = OutputAudioMode(mode, externalInput);
  return S_OK;
}

HRESULT ConnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!pairs[i].wanted) continue;
    const HRESULT hr = PinHelpers::Connect(pairs[i].output, pairs[i].input, graph);
    if (FAILED(hr)) {
      DisconnectPairs(pairs, i, graph);
      return hr;
    }
  }
  return S_OK;
}

void DisconnectPairs(const PinPair* pairs, std::size_t count, IFilterGraph* graph) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!pairs[i].wanted || !pairs[i].output) continue;
    Microsoft::WRL::ComPtr<IPin> peer;
    if (FAILED(pairs[i].output->ConnectedTo(peer.GetAddressOf())) || peer.Get() != pairs[i].input) continue;
    PinHelpers::Disconnect(pairs[i].output, pairs[i].input, graph);
  }
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

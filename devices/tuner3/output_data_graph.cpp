#include "devices/tuner3/output_data_graph.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include <wrl/client.h>

#include "common/device/device_identity.h"
#include "common/device/pin_helpers.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/registry.h"
#include "common/worker_thread.h"
#include "devices/core/device_objects.h"
#include "devices/core/link/packet_codecs.h"
#include "devices/tuner3/graph_events.h"
#include "devices/core/outside_filters.h"

namespace pex {

namespace {

// {A799A802-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID kCategoryTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
// {19689BF6-C384-48FD-AD51-90E58C79F70B}
constexpr GUID kCategoryEncoder = {0x19689bf6, 0xc384, 0x48fd, {0xad, 0x51, 0x90, 0xe5, 0x8c, 0x79, 0xf7, 0x0b}};
// {C1F400A4-3F08-11D3-9F0B-006008039E37}
constexpr CLSID kClsidNullRenderer = {0xc1f400a4, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};

// The driver registrations, in order: capture audio mode, encoder error, encoder end.
constexpr KsEventSlot kSlots[3] = {
    {&PexEventPropertySet, 3, errors::kCaptureEventUnsupported},
    {&PexEncoderPropertySet, 3, errors::kEncoderErrorEventUnsupported},
    {&PexEncoderPropertySet, 4, errors::kEncoderEndEventUnsupported},
};


struct Preset {
  std::int32_t mux, mode, video, peak, width, height;
};
constexpr Preset kPresets[3] = {
    {8000000, 1, 7620000, 7620000, 720, 480},
    {8000000, 2, 3670000, 7620000, 720, 480},
    {4500000, 2, 2179600, 4000000, 352, 480},
};

// The registry set's values and their places; "IsVBR" maps 0 to 1 and 1 to 2.
struct RegistryValue {
  const wchar_t* name;
  int index;
};
constexpr RegistryValue kRegistryValues[] = {
    {L"MuxBitrate", kMuxRate}, {L"IsVBR", kRateMode}, {L"VideoBitrate", kVideoRate}, {L"VideoBitrateMax", kVideoPeak},
    {L"GopType", kGopType},    {L"Width", kWidth},    {L"Height", kHeight},          {L"AudioBitrate", kAudioRate},
};

constexpr wchar_t kRecParamKey[] = L"HKEY_LOCAL_MACHINE\\Software\\Zarn Corporation\\Tovrel\\RecParam";

// Overlays the registry set of `preset` (DWORD values only). E_INVALIDARG without the key.
HRESULT OverlayRegistrySet(int preset, std::int32_t* parameters) {
  const UniqueRegKey opened = RegistryKeyPath(kRecParamKey).SubKey(FormatW(L"%d", preset)).Open();
  if (!opened) return E_INVALIDARG;
  for (const RegistryValue& value : kRegistryValues) {
    DWORD data = 0, type = 0, size = sizeof(data);
    if (RegQueryValueExW(opened.get(), value.name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data))
      continue;
    std::int32_t v = static_cast<std::int32_t>(data);
    if (value.index == kRateMode) {
      if (data > 1) continue;  // neither constant nor variable: the driver's mode stays
      v = data == 0 ? 1 : 2;
    }
    parameters[value.index] = v;
  }
  return S_OK;
}

}  // namespace

OutputDataGraph::OutputDataGraph(HMODULE module)
    : module_(module), minimumRecMs_(output_data::ReadMinimumRecTime(module)) {}

OutputDataGraph::~OutputDataGraph() { GuardNoThrow([&] { Teardown(); }); }

// --- build and teardown ------------------------------------------------------------------------------

HRESULT OutputDataGraph::Build(const DeviceIdentity& identity) {
  if (IsReady()) return S_OK;
  const HRESULT hr = GuardHr(E_UNEXPECTED, [&] { return BuildSteps(identity); });
  if (FAILED(hr)) GuardNoThrow([&] { Teardown(); });
  return hr;
}

HRESULT OutputDataGraph::BuildSteps(const DeviceIdentity& identity) {
  RETURN_IF_FAILED(CreateGraph());
  DeviceFilterEntry devices[] = {
      {&kCategoryTvAudio, &identity, L"TAVO TvAudio", &tvAudio_},
      {&CLSID_VideoInputDeviceCategory, &identity, L"TAVO Capture", &capture_},
      {&kCategoryEncoder, &identity, L"TAVO Encode", &encoder_},
      {&CLSID_VideoInputDeviceCategory, &identity, L"TAVO Preview", &preview_},
  };
  RETURN_IF_FAILED(AddDeviceFilters(devices, static_cast<int>(std::size(devices))));
  FilterEntry filters[] = {
      {&outside::kClsidCallbackFilter, L"Callback Filter", &callback_, module_, outside::kCallbackFile},
      {&kClsidNullRenderer, L"Null Renderer (For MPG)", &nullMpg_, nullptr, nullptr},
      {&outside::kClsidMpegAnalyzer, L"ZARN MPEG Analyzer Filter", &analyzer_, module_, outside::kAnalyzerFile},
      {&kClsidNullRenderer, L"Null Renderer (For Preview)", &nullPreview_, nullptr, nullptr},
  };
  RETURN_IF_FAILED(AddFilters(filters, static_cast<int>(std::size(filters))));
  InterfaceQuery queries[] = {
      {tvAudio_, &IID_IAMTVAudio, reinterpret_cast<void**>(&tvAudioControl_)},
      {capture_, &IID_IKsPropertySet, reinterpret_cast<void**>(&captureProperties_)},
      {encoder_, &IID_IKsPropertySet, reinterpret_cast<void**>(&encoderProperties_)},
      {callback_, &IID_ICallbackFilterControl, reinterpret_cast<void**>(&callbackControl_)},
      {analyzer_, &IID_IStreamAnalyzerControl, reinterpret_cast<void**>(&analyzerControl_)},
  };
  RETURN_IF_FAILED(QueryInterfaces(queries, static_cast<int>(std::size(queries))));
  RETURN_IF_FAILED(FindPins());
  RETURN_IF_FAILED(CreateEvents(identity));

  const HANDLE registered[3] = {captureAudioMode_.handle(), encoderError_.handle(), encoderEnd_.handle()};
  IKsPropertySet* const targets[3] = {captureProperties_, encoderProperties_, encoderProperties_};
  for (int i = 0; i < 3; ++i) {
    // Taken back at teardown whatever the driver answered: a failed Set may still hold it.
    registered_[i] = true;
    RETURN_IF_FAILED(RegisterKsEvent(targets[i], kSlots[i], registered[i]));
  }

  RETURN_IF_FAILED(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(events_.ReleaseAndGetAddressOf())));
  RETURN_IF_FAILED(WorkerThread::Start(this, worker_, &OutputDataGraph::WorkerLoop));
  return QueryControl();
}

HRESULT OutputDataGraph::FindPins() {
  struct Wanted {
    IBaseFilter* filter;
    PIN_DIRECTION direction;
    const wchar_t* name;  // null: by index
    int index;
  };
  const Wanted wanted[kPinCount] = {
      {preview_, PINDIR_OUTPUT, nullptr, 1},       {preview_, PINDIR_OUTPUT, nullptr, 2},
      {encoder_, PINDIR_OUTPUT, nullptr, 1},       {analyzer_, PINDIR_INPUT, L"Input", 0},
      {analyzer_, PINDIR_OUTPUT, L"Output", 0},    {analyzer_, PINDIR_OUTPUT, L"INDEX_INFO", 0},
      {callback_, PINDIR_INPUT, L"MPEG Input", 0}, {callback_, PINDIR_INPUT, L"INDEX Input", 0},
      {callback_, PINDIR_INPUT, L"PCM Input", 0},  {nullMpg_, PINDIR_INPUT, L"In", 0},
      {nullPreview_, PINDIR_INPUT, L"In", 0},
  };
  for (int i = 0; i < kPinCount; ++i) {
    if (pins_[i]) continue;
    RETURN_IF_FAILED(PinHelpers::FindPin(&pins_[i], wanted[i].filter, wanted[i].direction, wanted[i].name,
                                         wanted[i].index));
    if (!pins_[i]) return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT OutputDataGraph::CreateEvents(const DeviceIdentity& identity) {
  const DeviceObjectNames names(identity, DeviceObjectNames::kNoInstance);
  RETURN_IF_FAILED(CreateNotifyEvent(stop_, nullptr));
  RETURN_IF_FAILED(CreateNotifyEvent(captureAudioMode_, names.EventOfKind(L"CaptureAudioMode").c_str()));
  RETURN_IF_FAILED(CreateNotifyEvent(encoderError_, nullptr));
  RETURN_IF_FAILED(CreateNotifyEvent(encoderEnd_, nullptr));
  RETURN_IF_FAILED(CreateNotifyEvent(error_, nullptr));
  RETURN_IF_FAILED(CreateNotifyEvent(recInputAudio_, names.Event(NotifyEvent::RecInputAudio).c_str()));
  RETURN_IF_FAILED(CreateNotifyEvent(recOutputAudio_, names.Event(NotifyEvent::RecOutputAudio).c_str()));
  return CreateNotifyEvent(externalInput_, names.Event(NotifyEvent::ExternalInput).c_str());
}

void OutputDataGraph::Teardown() {
  if (!graph_) return;
  if (flag_) DisconnectStreams();
  if (stop_.handle()) WorkerThread::StopWorker(worker_, stop_.handle(), stopTimeout_);
  events_.Reset();
  IKsPropertySet* const targets[3] = {captureProperties_, encoderProperties_, encoderProperties_};
  for (int i = 0; i < 3; ++i) {
    if (registered_[i] && targets[i]) RegisterKsEvent(targets[i], kSlots[i], nullptr);
    registered_[i] = false;
  }
  for (NamedEvent* event : {&stop_, &captureAudioMode_, &encoderError_, &encoderEnd_, &error_, &recInputAudio_,
                            &recOutputAudio_, &externalInput_})
    event->Close();
  IBaseFilter* const filters[] = {tvAudio_, capture_, encoder_, preview_, callback_, nullMpg_, analyzer_, nullPreview_};
  RemoveFilters(filters, static_cast<int>(std::size(filters)));
  for (IPin*& pin : pins_) {
    if (pin) pin->Release();
    pin = nullptr;
  }
  IUnknown** const pointers[] = {
      reinterpret_cast<IUnknown**>(&tvAudio_),           reinterpret_cast<IUnknown**>(&capture_),
      reinterpret_cast<IUnknown**>(&encoder_),           reinterpret_cast<IUnknown**>(&preview_),
      reinterpret_cast<IUnknown**>(&callback_),          reinterpret_cast<IUnknown**>(&nullMpg_),
      reinterpret_cast<IUnknown**>(&analyzer_),          reinterpret_cast<IUnknown**>(&nullPreview_),
      reinterpret_cast<IUnknown**>(&tvAudioControl_),    reinterpret_cast<IUnknown**>(&captureProperties_),
      reinterpret_cast<IUnknown**>(&encoderProperties_), reinterpret_cast<IUnknown**>(&callbackControl_),
      reinterpret_cast<IUnknown**>(&analyzerControl_),
  };
  ReleaseAll(pointers, static_cast<int>(std::size(pointers)));
  startTick_ = 0;
  Release();
}

// --- connections and running -------------------------------------------------------------------------

void OutputDataGraph::Pairs(const bool (&types)[3], output_data::PinPair (&pairs)[kPairCount]) const {
  const bool mpeg = types[0], pcm = types[1], index = types[2];
  const output_data::PinPair table[kPairCount] = {
      {pins_[kEncoderMpeg], pins_[kAnalyzerIn], mpeg || index},
      {pins_[kAnalyzerOut], pins_[kNullMpgIn], index && !mpeg},
      {pins_[kAnalyzerOut], pins_[kCallbackMpeg], mpeg},
      {pins_[kAnalyzerIndex], pins_[kCallbackIndex], index},
      {pins_[kPreviewPcm], pins_[kCallbackPcm], pcm},
      {pins_[kPreviewVideo], pins_[kNullPreviewIn], pcm},
  };
  std::copy(std::begin(table), std::end(table), std::begin(pairs));
}

HRESULT OutputDataGraph::ConnectStreams() {
  if (!IsReady()) return E_POINTER;
  if (flag_) return S_OK;
  output_data::PinPair pairs[kPairCount];
  Pairs(enabled_, pairs);
  // A failed walk leaves no pair connected, so a later attempt can succeed.
  RETURN_IF_FAILED(output_data::ConnectPairs(pairs, kPairCount, graph_));
  std::copy(std::begin(enabled_), std::end(enabled_), std::begin(connectedTypes_));
  return SetFlag();
}

HRESULT OutputDataGraph::DisconnectStreams() {
  if (!IsReady()) return E_POINTER;
  if (!GraphStopped()) FilterGraphHolder::Stop();
  // The pairs that were made, whatever the selection has become since: a type switched off
  // between connecting and disconnecting would otherwise leave its pins joined.
  output_data::PinPair pairs[kPairCount];
  Pairs(connectedTypes_, pairs);
  output_data::DisconnectPairs(pairs, kPairCount, graph_);
  return ClearFlag();
}

HRESULT OutputDataGraph::Start() {
  if (!IsReady()) return E_POINTER;
  if (!flag_) return VFW_E_NOT_CONNECTED;
  lastError_ = S_OK;
  encoderEnd_.Reset();
  encoderFailed_ = false;
  RETURN_IF_FAILED(FilterGraphHolder::Run());  // a refusal leaves every filter stopped
  const DWORD now = GetTickCount();
  startTick_ = now ? now : 1;  // 0 means "no start recorded"
  return S_OK;
}

HRESULT OutputDataGraph::Stop() {
  if (!IsReady()) return E_POINTER;
  output_data::WaitMinimumRecTime(&startTick_, minimumRecMs_);
  // After an encoder error nothing will drain: no wait is armed.
  const bool failed = encoderFailed_.load();
  const DWORD stateWait = failed ? 0 : encoderStateWaitMs_;
  RETURN_IF_FAILED(encoder_->Pause());
  FILTER_STATE filterState = State_Stopped;
  encoder_->GetState(stateWait, &filterState);
  RETURN_IF_FAILED(FilterGraphHolder::Pause());
  OAFilterState graphState = State_Stopped;
  GetState(&graphState, static_cast<LONG>(stateWait));
  WaitForSingleObject(encoderEnd_.handle(), encoderFailed_.load() ? 0 : encoderEndWaitMs_);
  return FilterGraphHolder::Stop();
}

HRESULT OutputDataGraph::EndOfData(LONG stopMode) {
  if (!IsReady()) return E_POINTER;
  if (!flag_) return VFW_E_NOT_CONNECTED;
  if (GraphStopped()) return VFW_E_NOT_RUNNING;
  return callbackControl_->EndDelivery(stopMode);
}

bool OutputDataGraph::GraphStopped() {
  OAFilterState state = State_Stopped;
  return FAILED(GetState(&state, 0)) || state == State_Stopped;
}

// --- settings ----------------------------------------------------------------------------------------

HRESULT OutputDataGraph::SetOutputDataType(const _SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) {
  if (!type || !IsReady()) return E_POINTER;
  if (!GraphStopped()) return VFW_E_NOT_STOPPED;
  if (type->type < 1 || type->type > 3) return E_INVALIDARG;
  enabled_[type->type - 1] = callback != nullptr;
  // Each type goes to its own callback; a null one switches the type off.
  return callbackControl_->SelectStream(type->type, type->subtype, callback);
}

HRESULT OutputDataGraph::ReadEncoderParameters(EncoderParameterBlock* block) {
  auto pair = driver_packets::MakeKsPropertyRecord(PexEncoderPropertySet, 1, 2, 0, 1);
  RETURN_IF_FAILED(ExchangeKsRecord(encoderProperties_, PexEncoderPropertySet, 1, true, &pair,
                                    driver_packets::kKsRecordTwoValues, E_PROP_ID_UNSUPPORTED));
  *block = {};
  return ExchangeKsRecord(encoderProperties_, PexEncoderPropertySet, 2, false, block, sizeof(*block),
                          E_PROP_ID_UNSUPPORTED);
}

HRESULT OutputDataGraph::SetRecordingParameters(int preset) {
  if (!IsReady()) return E_POINTER;
  if (!GraphStopped()) return VFW_E_NOT_STOPPED;
  EncoderParameterBlock block{};
  RETURN_IF_FAILED(ReadEncoderParameters(&block));
  std::int32_t* v = block.values;
  if (preset >= 0 && preset < static_cast<int>(std::size(kPresets))) {
    const Preset& p = kPresets[preset];
    v[kMuxRate] = p.mux;
    v[kRateMode] = p.mode;
    v[kVideoRate] = p.video;
    v[kVideoPeak] = p.peak;
    v[kWidth] = p.width;
    v[kHeight] = p.height;
  } else if (preset >= kFirstRegistryPreset && preset <= kLastRegistryPreset) {
    RETURN_IF_FAILED(OverlayRegistrySet(preset, v));
  } else {
    return E_INVALIDARG;
  }
  return ExchangeKsRecord(encoderProperties_, PexEncoderPropertySet, 2, true, &block, sizeof(block),
                          E_PROP_ID_UNSUPPORTED);
}

HRESULT OutputDataGraph::SetAnalyzerParameters(LONG v1, LONG v2, LONG v3, LONG v4) {
  if (!IsReady()) return E_POINTER;
  if (!GraphStopped()) return VFW_E_NOT_STOPPED;
  const LONG values[4] = {v1, v2, v3, v4};
  for (LONG i = 0; i < 4; ++i) RETURN_IF_FAILED(analyzerControl_->SetParameter(i + 1, values[i]));
  return S_OK;
}

// --- answers -----------------------------------------------------------------------------------------

HRESULT OutputDataGraph::GetNotifyEvent(int kind, HANDLE* event) const {
  if (!event || !IsReady()) return E_POINTER;
  *event = nullptr;
  switch (kind) {
    case 0: *event = error_.handle(); return S_OK;
    case 1: *event = recInputAudio_.handle(); return S_OK;
    case 2: *event = recOutputAudio_.handle(); return S_OK;
    case 6: return E_NOTIMPL;
    default: return E_INVALIDARG;
  }
}

HRESULT OutputDataGraph::GetAvailableTypes(long* count, ULONG** types) const {
  if (!count || !types) return E_POINTER;
  return output_data::CopyToTaskMemory<ULONG>({1, 2, 3}, count, types);
}

HRESULT OutputDataGraph::GetAvailableSubTypes(long type, long* count, ULONG** subtypes) const {
  if (!count || !subtypes) return E_POINTER;
  std::vector<ULONG> values;
  if (FAILED(output_data::AvailableSubtypes(static_cast<ULONG>(type), &values))) return E_INVALIDARG;
  return output_data::CopyToTaskMemory(values, count, subtypes);
}

HRESULT OutputDataGraph::GetOutputDataInfo(long type, long subtype, long* count, std::int32_t** values) {
  if (!count || !values) return E_POINTER;
  std::vector<std::int32_t> info;
  if (type == output_data::kTypeMpeg && subtype >= kFirstRegistryPreset && subtype <= kLastRegistryPreset) {
    if (!IsReady()) return E_POINTER;
    EncoderParameterBlock block{};
    RETURN_IF_FAILED(ReadEncoderParameters(&block));
    RETURN_IF_FAILED(OverlayRegistrySet(static_cast<int>(subtype), block.values));
    const std::int32_t* v = block.values;
    info = {2, v[kRateMode] == 2 ? 1 : 0, 9, v[kMuxRate], 0, 1, 0, v[kVideoRate], v[kVideoPeak], v[kHeight], v[kWidth],
            2, 4, 2, v[kAudioRate], 0, 48000, v[kGopType]};
  } else if (type == output_data::kTypeIndex) {
    // Index records carry no information, whatever the subtype.
  } else if (FAILED(output_data::OutputDataInfoFamily23(static_cast<ULONG>(type), static_cast<ULONG>(subtype), &info))) {
    return E_INVALIDARG;
  }
  return output_data::CopyToTaskMemory(info, count, values);
}

HRESULT OutputDataGraph::AudioModes(_SHAL_INPUT_AUDIOMODE* input, _SHAL_OUTPUT_AUDIOMODE* output) {
  if (input) *input = {0, 0, 0};
  if (output) *output = {0, 0};
  if (!IsReady()) return E_POINTER;
  OAFilterState state = State_Stopped;
  if (FAILED(GetState(&state, 0)) || state != State_Running) return VFW_E_NOT_RUNNING;
  return output_data::ReadAudioModes(tvAudioControl_, externalInput_.IsSet(), input, output);
}

HRESULT OutputDataGraph::GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  return mode ? AudioModes(mode, nullptr) : E_POINTER;
}

HRESULT OutputDataGraph::GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  return mode ? AudioModes(nullptr, mode) : E_POINTER;
}

// --- the worker --------------------------------------------------------------------------------------

DWORD OutputDataGraph::WorkerLoop(void* self) { return static_cast<OutputDataGraph*>(self)->Work(); }

DWORD OutputDataGraph::Work() {
  HANDLE graphEvent = nullptr;
  if (FAILED(events_->GetEventHandle(reinterpret_cast<OAEVENT*>(&graphEvent)))) graphEvent = nullptr;
  const HANDLE waits[4] = {stop_.handle(), captureAudioMode_.handle(), encoderError_.handle(), graphEvent};
  const DWORD count = graphEvent ? 4 : 3;
  for (;;) {
    const DWORD result = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (result == WAIT_FAILED) {
      // A wait that cannot be made cannot watch: record it and end rather than spin.
      lastError_ = HResultFromLastError();
      error_.Set();
      return 1;
    }
    DWORD index = result - WAIT_OBJECT_0;
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) index = result - WAIT_ABANDONED_0;
    switch (index) {
      case 1:
        captureAudioMode_.Reset();
        if (!externalInput_.IsSet()) {
          recInputAudio_.Set();
          recOutputAudio_.Set();
        }
        break;
      case 2:
        encoderFailed_ = true;
        encoderError_.Reset();
        lastError_ = errors::kEncoderFailure;
        error_.Set();
        break;
      case 3:
        DrainGraphErrors(events_.Get(), lastError_, error_);
        break;
      default:
        return 0;  // stopped
    }
  }
}


}  // namespace pex

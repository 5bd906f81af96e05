#include "devices/tuner2/output_data_graph.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "common/device/device_identity.h"
#include "common/device/pin_helpers.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/device_objects.h"
#include "devices/core/graph_watch.h"
#include "devices/core/rec_param_preset.h"
#include "devices/core/outside_filters.h"

namespace rul {

namespace {

using Record = StreamingDeviceControl::EncoderParameters;

// {A799A802-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID kCategoryKsTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
// {19689BF6-C384-48FD-AD51-90E58C79F70B}
constexpr GUID kCategoryKsEncoder = {0x19689bf6, 0xc384, 0x48fd, {0xad, 0x51, 0x90, 0xe5, 0x8c, 0x79, 0xf7, 0x0b}};

// Fields of the packed encoder record (byte offsets).
constexpr std::size_t kWordTuner = 0, kWordMux = 4, kWordRateMode = 8, kWordVideo = 12, kWordVideoMax = 16,
                      kWordFive = 20, kWordGop = 28, kWordWidth = 40, kWordHeight = 44, kAudioBitrate = 61;

std::uint32_t Field(const Record& record, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, record.data() + offset, sizeof(value));
  return value;
}
void SetField(Record& record, std::size_t offset, std::uint32_t value) {
  std::memcpy(record.data() + offset, &value, sizeof(value));
}

// The built-in presets of MPEG subtypes 0, 1, 2.
struct BuiltInPreset {
  std::uint32_t rateMode, mux, video, videoMax, width, height;
};
constexpr BuiltInPreset kPresets[3] = {
    {1, 8000000, 7620000, 0, 720, 480},
    {2, 8000000, 3670000, 7620000, 720, 480},
    {2, 4500000, 2179600, 4000000, 352, 480},
};

// The information words of MPEG subtypes 0, 1, 2 (as the host expects them, even where they
// differ from the presets).
constexpr output_data::MpegInfoTable kMpegInfo = {
    {2, 0, 9, 8000000, 0, 1, 0, 7620000, 0, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 4000000, 8000000, 1, 0, 3670000, 7620000, 480, 720, 2, 4, 2, 256000, 0, 48000},
    {2, 1, 9, 2500000, 4500000, 1, 0, 2179600, 4000000, 480, 352, 2, 4, 2, 256000, 0, 48000},
};

void ApplyRegistryPreset(const rec_param::Preset& preset, Record& record) {
  const auto put = [&](const std::optional<DWORD>& value, std::size_t offset) {
    if (value) SetField(record, offset, *value);
  };
  put(preset.muxBitrate, kWordMux);
  if (preset.isVbr) SetField(record, kWordRateMode, rec_param::RateModeFor(*preset.isVbr, Field(record, kWordRateMode)));
  put(preset.videoBitrate, kWordVideo);
  put(preset.videoBitrateMax, kWordVideoMax);
  put(preset.width, kWordWidth);
  put(preset.height, kWordHeight);
  put(preset.gopType, kWordGop);
  put(preset.audioBitrate, kAudioBitrate);
}

}  // namespace

OutputDataGraph::OutputDataGraph(HMODULE module)
    : module_(module), minimumRecMs_(output_data::ReadMinimumRecTime(module)) {}

OutputDataGraph::~OutputDataGraph() { Teardown(); }

const output_data::MpegInfoTable& OutputDataGraph::MpegInfo() { return kMpegInfo; }

// --- build and teardown ------------------------------------------------------------------------------

void OutputDataGraph::BuildSteps(const DeviceIdentity& identity) {
  DeviceFilterEntry devices[] = {
      {&kCategoryKsTvAudio, &identity, {}, &tvAudio_},
      {&CLSID_VideoInputDeviceCategory, &identity, {}, &capture_},
      {&kCategoryKsEncoder, &identity, {}, &encoder_},
  };
  const wchar_t* const names[] = {L"DORU TvAudio %u", L"DORU Capture %u", L"DORU Encode %u"};
  for (std::size_t i = 0; i < std::size(devices); ++i) wcscpy_s(devices[i].name, FilterName(names[i]).c_str());
  ThrowIfFailed(AddDeviceFilters(devices, static_cast<int>(std::size(devices))));
  ThrowIfFailed(outside_.Add(*this, module_));
  ThrowIfFailed(tvAudio_->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(&tvAudioControl_)));
  const output_data::PinWanted wanted[kPinCount] = {
      {encoder_, PINDIR_OUTPUT, L"MPEG Stream", 0},
      {capture_, PINDIR_OUTPUT, nullptr, 1},
      {capture_, PINDIR_OUTPUT, L"Audio PCM", 0},
  };
  ThrowIfFailed(output_data::FindPins(wanted, pins_, kPinCount));
  CreateEvents(identity);

  HRESULT opened = E_FAIL;
  link_ = std::make_unique<StreamingDeviceControl>(identity, &opened);
  const auto tuner = static_cast<std::uint32_t>(tunerIndex_);
  link_->SetTunerEvent(tuner, audioMode_.handle());
  link_->SetRecordEvent0(tuner, recordEvent0_.handle());
  link_->SetRecordEvent1(tuner, streamStopped_.handle());

  StartWatch(nullptr);
  ThrowIfFailed(QueryControl());
}

void OutputDataGraph::CreateEvents(const DeviceIdentity& identity) {
  const DeviceObjectNames names(identity, tunerIndex_);
  const graph_watch::EventSlot slots[] = {
      {&stop_, nullptr},
      {&audioMode_, L"AudioMode"},
      {&error_, nullptr},
      {&inputAudio_, L"RecInputAudio"},
      {&outputAudio_, L"RecOutputAudio"},
      {&kind3_, nullptr},
      {&externalInput_, L"ExternalInput"},
      {&recordEvent0_, nullptr},
      {&streamStopped_, nullptr},
  };
  ThrowIfFailed(graph_watch::CreateEventSlots(names, slots));
  if (tunerIndex_ == 1) {
    const graph_watch::EventSlot recording[] = {{&recording_, L"Recording"}};
    ThrowIfFailed(graph_watch::CreateEventSlots(names, recording));
  }
}

void OutputDataGraph::Teardown() noexcept {
  if (flag_) {
    if (FAILED(GuardHr(E_FAIL, [&] { Disconnect(); }))) ClearFlag();
  }
  link_.reset();
  StopWatch();
  for (NamedEvent* event : {&stop_, &audioMode_, &error_, &inputAudio_, &outputAudio_, &kind3_, &externalInput_,
                            &recordEvent0_, &streamStopped_, &recording_})
    event->Close();
  IBaseFilter* const filters[] = {tvAudio_, capture_, encoder_};
  RemoveFilters(filters, static_cast<int>(std::size(filters)));
  outside_.Remove(*this);
  output_data::ReleasePins(pins_, kPinCount);
  IUnknown** const pointers[] = {
      reinterpret_cast<IUnknown**>(&tvAudioControl_), reinterpret_cast<IUnknown**>(&tvAudio_),
      reinterpret_cast<IUnknown**>(&capture_), reinterpret_cast<IUnknown**>(&encoder_),
  };
  ReleaseAll(pointers, static_cast<int>(std::size(pointers)));
  startTick_ = 0;
  tunerIndex_ = -1;
  FilterGraphHolder::Release();
}

// --- connections and states --------------------------------------------------------------------------

template <std::size_t N>
void OutputDataGraph::ConnectionTable(output_data::PinPair (&pairs)[N]) const {
  static_assert(N == 6);
  const bool mpeg = selected_[0], pcm = selected_[1], index = selected_[2];
  using O = output_data::OutsideFilters;
  const O& o = outside_;
  const output_data::PinPair table[N] = {
      {pins_[kCaptureVideo], o.pin(O::kNullPreviewIn), pcm},
      {pins_[kCapturePcm], o.pin(O::kCallbackPcm), pcm},
      {pins_[kEncoderMpeg], o.pin(O::kAnalyzerInput), mpeg || index},
      {o.pin(O::kAnalyzerOutput), o.pin(O::kCallbackMpeg), mpeg},
      {o.pin(O::kAnalyzerOutput), o.pin(O::kNullMpgIn), index && !mpeg},
      {o.pin(O::kAnalyzerIndex), o.pin(O::kCallbackIndex), index},
  };
  for (std::size_t i = 0; i < N; ++i) pairs[i] = table[i];
}

HRESULT OutputDataGraph::Connect() {
  if (!IsReady()) return E_POINTER;
  if (flag_) return S_OK;
  output_data::PinPair pairs[6];
  ConnectionTable(pairs);
  RETURN_IF_FAILED(output_data::ConnectPairs(pairs, std::size(pairs), graph_));
  return SetFlag();
}

HRESULT OutputDataGraph::Disconnect() {
  if (!IsReady()) return E_POINTER;
  if (!GraphStopped()) Stop();
  output_data::PinPair pairs[6];
  ConnectionTable(pairs);
  // In the reverse order of the connections.
  std::reverse(std::begin(pairs), std::end(pairs));
  output_data::DisconnectPairs(pairs, std::size(pairs), graph_);
  return ClearFlag();
}

HRESULT OutputDataGraph::Start() {
  if (!IsReady()) return E_POINTER;
  if (!flag_) return VFW_E_NOT_CONNECTED;
  lastError_ = S_OK;
  streamStopped_.Reset();
  recording_.Set();
  const HRESULT hr = FilterGraphHolder::Run();
  if (FAILED(hr)) {
    recording_.Reset();
    FilterGraphHolder::Stop();
    return hr;
  }
  const DWORD now = GetTickCount();
  startTick_ = now ? now : 1;  // 0 means "not started"
  return S_OK;
}

HRESULT OutputDataGraph::Stop() {
  output_data::WaitMinimumRecTime(&startTick_, minimumRecMs_);
  if (!IsReady() || GraphStopped()) return S_OK;
  Microsoft::WRL::ComPtr<IPin> peer;
  const HRESULT connected = pins_[kEncoderMpeg]->ConnectedTo(peer.GetAddressOf());
  if (SUCCEEDED(connected)) {
    // The encoder drains on the pause; the driver reports "stream stopped".
    ThrowIfFailed(Pause());
    WaitForSingleObject(streamStopped_.handle(), streamStoppedWaitMs_);
  } else if (connected != VFW_E_NOT_CONNECTED) {
    ThrowHr(connected);
  }
  ThrowIfFailed(FilterGraphHolder::Stop());
  recording_.Reset();
  return S_OK;
}

// --- encoder parameters and information --------------------------------------------------------------

void OutputDataGraph::ApplyEncoderPreset(ULONG subtype) {
  if (!link_) ThrowHr(errors::kNoStreamingControl);
  // An unknown subtype or an unreadable preset never reaches the driver.
  rec_param::Preset preset;
  if (rec_param::IsRegistryPreset(subtype)) {
    if (FAILED(rec_param::ReadPreset(subtype, &preset))) ThrowHr(E_INVALIDARG);
  } else if (subtype >= std::size(kPresets)) {
    ThrowHr(E_INVALIDARG);
  }
  Record record{};
  SetField(record, kWordTuner, static_cast<std::uint32_t>(tunerIndex_));
  link_->GetEncoderParameters(&record);
  if (subtype < std::size(kPresets)) {
    const BuiltInPreset& p = kPresets[subtype];
    SetField(record, kWordRateMode, p.rateMode);
    SetField(record, kWordMux, p.mux);
    SetField(record, kWordVideo, p.video);
    SetField(record, kWordVideoMax, p.videoMax);
    SetField(record, kWordWidth, p.width);
    SetField(record, kWordHeight, p.height);
    SetField(record, kWordFive, 4);
  } else {
    ApplyRegistryPreset(preset, record);
  }
  link_->SetEncoderParameters(record);
}

void OutputDataGraph::ReadRegistryRecord(ULONG subtype, Record* record) {
  rec_param::Preset preset;
  if (FAILED(rec_param::ReadPreset(subtype, &preset))) ThrowHr(E_INVALIDARG);
  if (!link_) ThrowHr(errors::kNoStreamingControl);
  record->fill(0);  // word 0, the tuner index, stays 0
  link_->GetEncoderParameters(record);
  ApplyRegistryPreset(preset, *record);
}

HRESULT OutputDataGraph::GetOutputDataInfo(ULONG type, ULONG subtype, ULONG* count, DWORD** words) {
  if (!count || !words) return E_POINTER;
  return GuardHr(E_FAIL, [&] {
    std::vector<DWORD> values;
    if (type == output_data::kTypeMpeg && rec_param::IsRegistryPreset(subtype)) {
      Record record{};
      ReadRegistryRecord(subtype, &record);
      values = {2, Field(record, kWordRateMode) == 2 ? 1u : 0u, 9, Field(record, kWordMux), 0, 1, 0,
                Field(record, kWordVideo), Field(record, kWordVideoMax), Field(record, kWordHeight),
                Field(record, kWordWidth), 2, 4, 2, Field(record, kAudioBitrate), 0, 48000, Field(record, kWordGop)};
    } else if (type == output_data::kTypeIndex) {
      // Index records carry no information.
    } else {
      std::vector<std::int32_t> info;
      if (FAILED(output_data::OutputDataInfo(kMpegInfo, type, subtype, &info))) ThrowHr(E_INVALIDARG);
      values.assign(info.begin(), info.end());
    }
    ThrowIfFailed(output_data::CopyToTaskMemory(values, count, words, E_POINTER));
  });
}

HRESULT OutputDataGraph::GetAvailableSubTypes(ULONG type, ULONG* count, ULONG** subtypes) {
  std::vector<ULONG> values;
  if (FAILED(output_data::AvailableSubtypes(type, &values))) return E_INVALIDARG;
  return output_data::CopyToTaskMemory(values, count, subtypes, E_POINTER);
}

// --- forwarders --------------------------------------------------------------------------------------

HRESULT OutputDataGraph::SetOutputDataType(const _SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) {
  if (!type || !IsReady()) return E_POINTER;
  if (!GraphStopped()) return VFW_E_NOT_STOPPED;
  if (type->type < output_data::kTypeMpeg || type->type > output_data::kTypeIndex) return E_INVALIDARG;
  selected_[type->type - 1] = callback != nullptr;
  // Each type goes to its own callback; a null one switches the type off.
  return outside_.callbackControl->SelectStream(type->type, type->subtype, callback);
}

HRESULT OutputDataGraph::SetAnalyzerParameters(LONG a, LONG b, LONG c, LONG d) {
  if (!IsReady()) return E_POINTER;
  if (!GraphStopped()) return VFW_E_NOT_STOPPED;
  return outside_.analyzerControl->SetParameters(a, b, c, d);
}

HRESULT OutputDataGraph::EndOfData(LONG stopMode) {
  if (!IsReady()) return E_POINTER;
  if (!flag_) return VFW_E_NOT_CONNECTED;
  if (GraphStopped()) return VFW_E_NOT_RUNNING;
  return outside_.callbackControl->EndDelivery(stopMode);
}

HRESULT OutputDataGraph::GetNotifyEvent(long kind, HANDLE* event) {
  if (!event || !IsReady()) return E_POINTER;
  const NamedEvent* const kinds[] = {&error_, &inputAudio_, &outputAudio_, &kind3_};
  if (kind < 0 || kind >= static_cast<long>(std::size(kinds))) {
    *event = nullptr;
    return E_INVALIDARG;
  }
  *event = kinds[kind]->handle();
  return S_OK;
}

HRESULT OutputDataGraph::GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  return output_data::AnswerInputAudioMode(mode, E_POINTER, true, [&](long* tvMode, bool* external) {
    return output_data::ReadAvailableTvAudio(*this, tvAudioControl_, externalInput_, tvMode, external);
  });
}

HRESULT OutputDataGraph::GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  return output_data::AnswerOutputAudioMode(mode, E_POINTER, [&](long* tvMode, bool* external) {
    return output_data::ReadAvailableTvAudio(*this, tvAudioControl_, externalInput_, tvMode, external);
  });
}

}  // namespace rul

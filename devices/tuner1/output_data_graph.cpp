#include "devices/tuner1/output_data_graph.h"

#include <iterator>
#include <vector>

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "devices/core/device_objects.h"
#include "devices/core/graph_watch.h"
#include "devices/core/outside_filters.h"

namespace {

// {A799A802-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID kCategoryKsTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
// {19689BF6-C384-48FD-AD51-90E58C79F70B}
constexpr GUID kCategoryKsEncoder = {0x19689bf6, 0xc384, 0x48fd, {0xad, 0x51, 0x90, 0xe5, 0x8c, 0x79, 0xf7, 0x0b}};

// The thirteen encoder values of modes 0, 1 and 2.
const EncoderParameters kEncoderTable[3] = {
    {8000, 0, 2, 0, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1},
    {4000, 6000, 2, 1, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1},
    {2500, 0, 2, 0, 0, 3, 15, 4, 0x050E0716, 4, 0, 256, 1},
};

}  // namespace

OutputDataGraph::OutputDataGraph(HMODULE module)
    : module_(module), minimumRecMs_(output_data::ReadMinimumRecTime(module)) {}

OutputDataGraph::~OutputDataGraph() { Teardown(); }

const EncoderParameters* OutputDataGraph::EncoderParametersFor(ULONG mode) {
  return mode < std::size(kEncoderTable) ? &kEncoderTable[mode] : nullptr;
}

HRESULT OutputDataGraph::Build(const DeviceIdentity& identity, int instance) {
  if (built_) return S_OK;
  try {
    BuildSteps(identity, instance);
  } catch (...) {
    Teardown();
    throw;
  }
  built_ = true;
  return S_OK;
}

void OutputDataGraph::BuildSteps(const DeviceIdentity& identity, int instance) {
  ThrowIfFailed(CreateGraph());
  DeviceFilterEntry devices[] = {
      {&kCategoryKsTvAudio, &identity, L"VEKA TV Audio", &tvAudio_},
      {&CLSID_VideoInputDeviceCategory, &identity, L"VEKA Capture Device", &capture_},
      {&kCategoryKsEncoder, &identity, L"VEKA Encoder/Multiplexer", &encoderFilter_},
  };
  ThrowIfFailed(AddDeviceFilters(devices, static_cast<int>(std::size(devices))));
  ThrowIfFailed(tvAudio_->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(&tvAudioControl_)));
  const HRESULT added = outside_.Add(*this, module_);
  if (FAILED(added)) ThrowHr(added == VFW_E_NOT_FOUND ? errors::kOutputNotBuilt : added);
  FindPins();
  CreateEvents(identity, instance);

  HRESULT opened = S_OK;
  try {
    encoder_ = std::make_unique<EncoderControl>(identity, &opened);
  } catch (const HResultError&) {
    encoder_.reset();
  }
  if (!encoder_) ThrowHr(errors::kNoEncoderLink);
  encoder_->SetAudioModeEvent(audioMode_.handle());
  encoder_->SetEncoderErrorEvent(encoderFailure_.handle());
  encoder_->SetEncoderStopEvent(encoderStopped_.handle());

  ThrowIfFailed(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(events_.GetAddressOf())));
  OAEVENT graphEvent = 0;
  ThrowIfFailed(events_->GetEventHandle(&graphEvent));
  graphEvent_ = reinterpret_cast<HANDLE>(graphEvent);
  ThrowIfFailed(worker_.Start());
  ThrowIfFailed(QueryControl());
}

void OutputDataGraph::FindPins() {
  const output_data::PinWanted wanted[kPinCount] = {
      {encoderFilter_, PINDIR_INPUT, nullptr, 1},
      {encoderFilter_, PINDIR_INPUT, nullptr, 2},
      {encoderFilter_, PINDIR_OUTPUT, nullptr, 1},
      {capture_, PINDIR_OUTPUT, nullptr, 1},
      {capture_, PINDIR_OUTPUT, nullptr, 2},
      {capture_, PINDIR_OUTPUT, nullptr, 3},
      {capture_, PINDIR_OUTPUT, nullptr, 5},
  };
  const HRESULT hr = output_data::FindPins(wanted, pins_, kPinCount);
  if (FAILED(hr)) ThrowHr(hr != VFW_E_NOT_FOUND && hr != E_OUTOFMEMORY ? hr : errors::kOutputNotBuilt);
}

void OutputDataGraph::CreateEvents(const DeviceIdentity& identity, int instance) {
  const DeviceObjectNames names(identity, instance);
  // A failed creation answers its own code (the last error as an HRESULT, or the name's).
  ThrowIfFailed(error_.Create(nullptr));
  ThrowIfFailed(audioMode_.Create(nullptr));
  ThrowIfFailed(encoderFailure_.Create(nullptr));
  ThrowIfFailed(encoderStopped_.Create(nullptr));
  ThrowIfFailed(recInputAudio_.Create(names.Event(NotifyEvent::RecInputAudio).c_str()));
  ThrowIfFailed(recOutputAudio_.Create(names.Event(NotifyEvent::RecOutputAudio).c_str()));
  ThrowIfFailed(externalInput_.Create(names.Event(NotifyEvent::ExternalInput).c_str()));
}

HRESULT OutputDataGraph::KeepDeviceItem(IHalItem* item) {
  if (!item) return errors::kOutputNullPointer;
  item_.Reset();
  ThrowIfFailed(item->Clone(item_.GetAddressOf()));
  return S_OK;
}

HRESULT OutputDataGraph::GetAvailableOutputDataType(long* count, ULONG** types) {
  return output_data::CopyToTaskMemory<ULONG>({output_data::kTypeMpeg, output_data::kTypePcm, output_data::kTypeIndex},
                                              count, types);
}

HRESULT OutputDataGraph::GetAvailableOutputDataSubType(long type, long* count, ULONG** subtypes) {
  std::vector<ULONG> values;
  RETURN_IF_FAILED(output_data::AvailableSubtypes(static_cast<ULONG>(type), &values));
  return output_data::CopyToTaskMemory(values, count, subtypes);
}

HRESULT OutputDataGraph::SetOutputDataType(const _SHAL_OUTPUTDTATA_TYPE& type, LONG on) {
  if (!built_) return errors::kOutputNotBuilt;
  if (GraphRunning()) return VFW_E_NOT_STOPPED;
  if (type.type < 1 || type.type > 3) return errors::kOutputUnknownValue;
  // The table's order is MPEG, PCM, INDEX: the type's own number.
  selected_[type.type - 1] = on != 0;
  subtypes_[type.type - 1] = type.subtype;
  // The callback filter takes a callback per type; a type switched off gets none.
  return outside_.callbackControl->SelectStream(type.type, type.subtype, on != 0 ? callback_.Get() : nullptr);
}

HRESULT OutputDataGraph::SetCallback(IOutputDataCB* callback) {
  if (!built_) return errors::kOutputNotBuilt;
  callback_ = callback;
  for (ULONG type = 1; type <= 3; ++type) {
    RETURN_IF_FAILED(outside_.callbackControl->SelectStream(type, subtypes_[type - 1],
                                                            selected_[type - 1] ? callback : nullptr));
  }
  return S_OK;
}

HRESULT OutputDataGraph::SetAnalyzerParameters(LONG a, LONG b, LONG c, LONG d) {
  if (!built_) return errors::kOutputNotBuilt;
  if (GraphRunning()) return VFW_E_NOT_STOPPED;
  return outside_.analyzerControl->SetParameters(a, b, c, d);
}

HRESULT OutputDataGraph::GetOutputDataInfo(long type, long subtype, IHalItem* item) {
  return output_data::WriteOutputDataInfo(static_cast<ULONG>(type), static_cast<ULONG>(subtype), item);
}

HRESULT OutputDataGraph::GetNotifyEvent(long type, HANDLE* event) {
  if (!event) return errors::kOutputNullPointer;
  if (!built_) return errors::kOutputNotBuilt;
  switch (type) {
    case 0: *event = error_.handle(); return S_OK;
    case 1: *event = recInputAudio_.handle(); return S_OK;
    case 2: *event = recOutputAudio_.handle(); return S_OK;
    default: return errors::kOutputUnknownValue;
  }
}

HRESULT OutputDataGraph::ReadAudioMode(long* tvMode, bool* external) {
  // Running only: a paused recording (GraphRunning's "not stopped") gives no mode.
  OAFilterState state = State_Stopped;
  if (!built_ || FAILED(GetState(&state, 0)) || state != State_Running) return VFW_E_NOT_RUNNING;
  *tvMode = 0;
  *external = externalInput_.IsSet();
  return *external ? S_OK : tvAudioControl_->get_TVAudioMode(tvMode);
}

HRESULT OutputDataGraph::GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  return output_data::AnswerInputAudioMode(mode, errors::kOutputNullPointer, true,
                                           [&](long* tvMode, bool* external) { return ReadAudioMode(tvMode, external); });
}

HRESULT OutputDataGraph::GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  return output_data::AnswerOutputAudioMode(mode, errors::kOutputNullPointer,
                                            [&](long* tvMode, bool* external) { return ReadAudioMode(tvMode, external); });
}

template <std::size_t N>
void OutputDataGraph::ConnectionTable(output_data::PinPair (&pairs)[N]) const {
  static_assert(N == 8);
  const bool mpeg = selected_[0], pcm = selected_[1], index = selected_[2];
  using O = output_data::OutsideFilters;
  const O& o = outside_;
  const output_data::PinPair table[8] = {
      {pins_[kCaptureVideoOut], pins_[kEncoderVideoIn], mpeg},
      {pins_[kCaptureAudioOut], pins_[kEncoderAudioIn], mpeg},
      {pins_[kCaptureCapture], o.pin(O::kNullPreviewIn), pcm},
      {pins_[kCaptureAudioPcm], o.pin(O::kCallbackPcm), pcm},
      {pins_[kEncoderMpegOut], o.pin(O::kAnalyzerInput), mpeg || index},
      {o.pin(O::kAnalyzerOutput), o.pin(O::kCallbackMpeg), mpeg},
      {o.pin(O::kAnalyzerOutput), o.pin(O::kNullMpgIn), index && !mpeg},
      {o.pin(O::kAnalyzerIndex), o.pin(O::kCallbackIndex), index},
  };
  for (std::size_t i = 0; i < N; ++i) pairs[i] = table[i];
}

HRESULT OutputDataGraph::Connect() {
  if (!built_) return errors::kOutputNotBuilt;
  if (flag_) return S_OK;
  output_data::PinPair pairs[8];
  ConnectionTable(pairs);
  RETURN_IF_FAILED(output_data::ConnectPairs(pairs, std::size(pairs), graph_));
  return SetFlag();
}

HRESULT OutputDataGraph::Disconnect() {
  if (!built_ || !flag_) return S_OK;
  OAFilterState state = State_Stopped;
  if (SUCCEEDED(GetState(&state, 0)) && state != State_Stopped) Stop();
  output_data::PinPair pairs[8];
  ConnectionTable(pairs);
  output_data::DisconnectPairs(pairs, std::size(pairs), graph_);
  return ClearFlag();
}

HRESULT OutputDataGraph::SetEncoderParameters(ULONG mode) {
  if (!encoder_) return errors::kNoEncoderLink;
  const EncoderParameters* values = EncoderParametersFor(mode);
  if (!values) ThrowHr(errors::kOutputUnknownValue);
  encoder_->SetEncoderParameters(*values);
  return S_OK;
}

HRESULT OutputDataGraph::Run() {
  if (!built_) return errors::kOutputNotBuilt;
  if (!flag_) return VFW_E_NOT_CONNECTED;
  lastError_ = S_OK;
  encoderStopped_.Reset();
  RETURN_IF_FAILED(FilterGraphHolder::Run());
  const DWORD now = GetTickCount();
  startTick_ = now ? now : 1;  // 0 means "no capture"
  return S_OK;
}

HRESULT OutputDataGraph::Stop() {
  WaitMinimumRecTime();
  if (!built_) return S_OK;
  OAFilterState state = State_Stopped;
  if (SUCCEEDED(GetState(&state, 0)) && state == State_Running) {
    Microsoft::WRL::ComPtr<IPin> peer;
    const HRESULT hr = pins_[kEncoderMpegOut]->ConnectedTo(peer.GetAddressOf());
    if (SUCCEEDED(hr)) {
      // The encoder drains on the pause and reports "stopped" through the driver.
      ThrowIfFailed(Pause());
      WaitForSingleObject(encoderStopped_.handle(), encoderStopWaitMs_);
    } else if (hr != VFW_E_NOT_CONNECTED) {
      ThrowHr(hr);
    }
  }
  ThrowIfFailed(FilterGraphHolder::Stop());
  return S_OK;
}

HRESULT OutputDataGraph::EndOfData(LONG stopMode) {
  if (!built_) return errors::kOutputNotBuilt;
  if (!flag_) return VFW_E_NOT_CONNECTED;
  if (!GraphRunning()) return VFW_E_NOT_RUNNING;
  return outside_.callbackControl->EndDelivery(stopMode);
}

bool OutputDataGraph::GraphRunning() {
  OAFilterState state = State_Stopped;
  return SUCCEEDED(GetState(&state, 0)) && state != State_Stopped;
}

HRESULT OutputDataGraph::Release() {
  Teardown();
  return S_OK;
}

void OutputDataGraph::ReleasePins() noexcept { output_data::ReleasePins(pins_, kPinCount); }

void OutputDataGraph::Teardown() noexcept {
  if (flag_) {
    try {
      Disconnect();
    } catch (const HResultError&) {
      ClearFlag();
    }
  }
  encoder_.reset();
  worker_.Stop();
  events_.Reset();
  graphEvent_ = nullptr;
  for (NamedEvent* event : {&error_, &audioMode_, &encoderFailure_, &encoderStopped_, &recInputAudio_,
                            &recOutputAudio_, &externalInput_})
    event->Close();
  IBaseFilter* const filters[] = {tvAudio_, capture_, encoderFilter_};
  RemoveFilters(filters, static_cast<int>(std::size(filters)));
  outside_.Remove(*this);
  ReleasePins();
  IUnknown** const pointers[] = {
      reinterpret_cast<IUnknown**>(&tvAudio_),       reinterpret_cast<IUnknown**>(&capture_),
      reinterpret_cast<IUnknown**>(&encoderFilter_), reinterpret_cast<IUnknown**>(&tvAudioControl_),
  };
  ReleaseAll(pointers, static_cast<int>(std::size(pointers)));
  item_.Reset();
  callback_.Reset();
  selected_[0] = selected_[1] = selected_[2] = false;
  subtypes_[0] = subtypes_[1] = subtypes_[2] = 0;
  startTick_ = 0;
  built_ = false;
  FilterGraphHolder::Release();
}

void OutputDataGraph::HandleGraphEvents() { graph_watch::DrainGraphEvents(events_.Get(), &lastError_, error_.handle()); }

DWORD OutputDataGraph::Worker::Run() {
  const HANDLE handles[] = {stopEvent(), owner_->audioMode_.handle(), owner_->graphEvent_,
                            owner_->encoderFailure_.handle()};
  const HRESULT hr = graph_watch::WatchLoop(handles, static_cast<DWORD>(std::size(handles)), [&](DWORD index) {
    switch (index) {
      case 1:
        graph_watch::OnAudioModeSignal(!owner_->GraphRunning(), owner_->externalInput_, owner_->recInputAudio_,
                                       owner_->recOutputAudio_, owner_->audioMode_);
        break;
      case 2:
        owner_->HandleGraphEvents();
        break;
      default:
        owner_->encoderFailure_.Reset();
        if (owner_->GraphRunning()) {
          owner_->lastError_ = errors::kEncoderFailure;
          owner_->error_.Set();
        }
        break;
    }
  });
  return static_cast<DWORD>(hr);  // a failed wait ends the worker
}

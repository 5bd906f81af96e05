#include "devices/tuner2/preview_graph.h"

#include <mmsystem.h>

#include <iterator>
#include <utility>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/device/pin_helpers.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/device_objects.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/graph_watch.h"
#include "devices/core/output_data.h"
#include "devices/tuner2/device_item.h"

using Microsoft::WRL::ComPtr;

namespace rul {

namespace {

// {A799A802-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID kCategoryKsTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};

// The capture filter's outputs, counted from 1: video first, audio second on tuner index 0 and
// third on the others.
constexpr int kVideoOutput = 1;
constexpr int AudioOutputOf(LONG tunerIndex) { return tunerIndex == 0 ? 2 : 3; }

}  // namespace

PreviewGraph::~PreviewGraph() { Teardown(); }

void PreviewGraph::SetDeviceItem(IHalItem* item) {
  TunerGraph::SetDeviceItem(item);
  boardType_ = ReadItemLong(item_.Get(), kItemBoardType);
}

// --- build and teardown ------------------------------------------------------------------------------

void PreviewGraph::BuildSteps(const DeviceIdentity& identity) {
  // The filters come with a reference of their own, which the holders take over as they are
  // found (the toolchain's ComPtr::Attach would add another).
  DeviceFilterEntry devices[] = {{&kCategoryKsTvAudio, &identity, {}, tvAudio_.ReleaseAndGetAddressOf()},
                                 {&CLSID_VideoInputDeviceCategory, &identity, {}, capture_.ReleaseAndGetAddressOf()}};
  wcscpy_s(devices[0].name, FilterName(L"DORU TvAudio %u").c_str());
  wcscpy_s(devices[1].name, FilterName(L"DORU Capture %u").c_str());
  ThrowIfFailed(AddDeviceFilters(devices, static_cast<int>(std::size(devices))));
  ThrowIfFailed(tvAudio_->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(tvAudioControl_.ReleaseAndGetAddressOf())));
  ThrowIfFailed(PinHelpers::FindPinByIndex(videoPin_.ReleaseAndGetAddressOf(), capture_.Get(), PINDIR_OUTPUT, kVideoOutput));
  ThrowIfFailed(PinHelpers::FindPinByIndex(audioPin_.ReleaseAndGetAddressOf(), capture_.Get(), PINDIR_OUTPUT,
                                           AudioOutputOf(tunerIndex_)));
  CreateEvents(identity);

  HRESULT opened = E_FAIL;
  link2Driver_ = std::make_unique<StreamingDeviceControl>(identity, &opened);
  link2Driver_->SetTunerEvent(static_cast<std::uint32_t>(tunerIndex_), audioMode_.handle());

  StartWatch(audioMode_.handle());
  ThrowIfFailed(QueryControl());
}

void PreviewGraph::CreateEvents(const DeviceIdentity& identity) {
  const DeviceObjectNames names(identity, tunerIndex_);
  const graph_watch::EventSlot slots[] = {
      {&stop_, nullptr},
      {&audioMode_, L"AudioMode"},
      {&error_, nullptr},
      {&liveInputAudio_, L"LiveInputAudio"},
      {&liveOutputAudio_, L"LiveOutputAudio"},
      {&unnamed_[0], nullptr},
      {&unnamed_[1], nullptr},
      {&unnamed_[2], nullptr},
      {&unnamed_[3], nullptr},
      {&unnamed_[4], nullptr},
      {&externalInput_, L"ExternalInput"},
  };
  ThrowIfFailed(graph_watch::CreateEventSlots(names, slots));
  if (tunerIndex_ == 1) {
    const graph_watch::EventSlot tunerOne[] = {{&index1_, nullptr}, {&recording_, L"Recording"}};
    ThrowIfFailed(graph_watch::CreateEventSlots(names, tunerOne));
  }
}

void PreviewGraph::Teardown() noexcept {
  if (!graph_) return;
  link2Driver_.reset();
  if (flag_ && FAILED(GuardHr(E_FAIL, [&] { Disconnect(); }))) ClearFlag();
  StopWatch();
  for (NamedEvent* event : {&stop_, &error_, &index1_, &recording_}) event->Close();
  for (NamedEvent& event : unnamed_) event.Close();
  ReleaseParts(*this, capture_, item_, RemoveOrder::kSourceFirst);
  tunerIndex_ = -1;
  FilterGraphHolder::Release();
}

// --- connections and states --------------------------------------------------------------------------

HRESULT PreviewGraph::Connect() {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  if (flag_) return S_OK;
  if (!link_) ThrowHr(errors::kPreviewNoChain);
  ThrowIfFailed(ConnectParts(*link_, chain_.get(), sound_.get()));
  return SetFlag();
}

HRESULT PreviewGraph::Disconnect() {
  const HRESULT first = DisconnectParts(link_.get(), chain_.get(), sound_.get());
  ClearFlag();
  ThrowIfFailed(first);
  return S_OK;
}

HRESULT PreviewGraph::Run() {
  const HRESULT hr = FilterGraphHolder::Run();
  runTime_ = timeGetTime();
  if (FAILED(hr)) FilterGraphHolder::Stop();  // a graph half started stops again
  return hr;
}

HRESULT PreviewGraph::Deactivate() {
  return GuardHr(E_FAIL, [&] {
    if (!item_) ThrowHr(errors::kNoDeviceItem);
    // The step the first family's preview runs: the graph stops, the sound path's restarts first.
    if (sound_) sound_->SuspendWatch();
    ThrowIfFailed(FilterGraphHolder::Stop());

    VARIANT name;
    VariantInit(&name);
    ThrowIfFailed(item_->GetInfo(kItemName, &name));
    const DeviceIdentity identity(name);
    std::wstring stateName = name.vt == VT_BSTR && name.bstrVal ? name.bstrVal : L"";
    VariantClear(&name);

    NamedEvent liveRunning;
    ThrowIfFailed(liveRunning.Create(DeviceObjectNames(identity, tunerIndex_).Event(NotifyEvent::LiveRunning).c_str()));
    liveRunning.Reset();
    liveRunning.Close();

    DeviceStateTable table;
    ThrowIfFailed(table.Open());
    ThrowIfFailed(table.Register(stateName.c_str(), ReadItemLong(item_.Get(), kItemBoardType),
                                 ReadItemLong(item_.Get(), kItemStateValue)));
    table.SetSlot(stateName.c_str(), kSlotPreviewState, 0);
    Disconnect();
    table.SetSlot(stateName.c_str(), kSlotPreviewStarted, 0);
  });
}

// --- the parts handed over ---------------------------------------------------------------------------

HRESULT PreviewGraph::SetVideoChain(std::unique_ptr<VideoChainBuilder> chain) {
  if (flag_) return VFW_E_WRONG_STATE;
  chain_ = std::move(chain);
  return S_OK;
}

HRESULT PreviewGraph::SetSoundPath(std::unique_ptr<FilterHolder> sound) {
  if (flag_) return VFW_E_WRONG_STATE;
  sound_ = std::move(sound);
  return S_OK;
}

HRESULT PreviewGraph::SetAudioLink(std::unique_ptr<FilterLink> link) {
  if (flag_) return VFW_E_WRONG_STATE;
  link_ = std::move(link);
  return S_OK;
}

void PreviewGraph::OnOwnEvent() {
  graph_watch::OnAudioModeSignal(GraphStopped(), externalInput_, liveInputAudio_, liveOutputAudio_, audioMode_);
}

// --- answers -----------------------------------------------------------------------------------------

HRESULT PreviewGraph::GetNotifyEvent(long kind, HANDLE* event) const {
  if (!event) return E_POINTER;
  *event = nullptr;
  switch (kind) {
    case 0: *event = error_.handle(); return S_OK;
    case 1: *event = liveInputAudio_.handle(); return S_OK;
    case 2: *event = liveOutputAudio_.handle(); return S_OK;
    case 3: *event = unnamed_[0].handle(); return S_OK;
    case 7: case 8: case 9: case 10: *event = unnamed_[kind - 6].handle(); return S_OK;
    case 11:
      if (tunerIndex_ == 0) return E_INVALIDARG;
      *event = index1_.handle();
      return S_OK;
    case 12: return S_OK;
    default: return E_INVALIDARG;
  }
}

HRESULT PreviewGraph::GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  // The preview's input mode carries no second-language value.
  return output_data::AnswerInputAudioMode(mode, E_POINTER, false, [&](long* tvMode, bool* external) {
    return output_data::ReadAvailableTvAudio(*this, tvAudioControl_.Get(), externalInput_, tvMode, external);
  });
}

HRESULT PreviewGraph::GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  return output_data::AnswerOutputAudioMode(mode, E_POINTER, [&](long* tvMode, bool* external) {
    return output_data::ReadAvailableTvAudio(*this, tvAudioControl_.Get(), externalInput_, tvMode, external);
  });
}

HRESULT PreviewGraph::GetSoundDataInfo(ULONG, DWORD* rate, DWORD* channels, DWORD* bits) const {
  if (!rate || !channels || !bits) return E_INVALIDARG;
  if (!IsReady()) return errors::kPreviewNotBuilt;
  *rate = 48000;
  *channels = 2;
  *bits = 16;
  return S_OK;
}

}  // namespace rul

#include "devices/tuner3/preview_graph.h"

#include <dvdmedia.h>

#include <iterator>
#include <utility>

#include "common/device/device_identity.h"
#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "common/worker_thread.h"
#include "devices/core/device_objects.h"
#include "devices/core/graph_watch.h"
#include "devices/core/hal_items.h"
#include "devices/core/output_data.h"
#include "devices/tuner3/graph_events.h"

using Microsoft::WRL::ComPtr;

namespace pex {

namespace {

// {A799A802-A46D-11D0-A18C-00A02401DCD4}
constexpr GUID kCategoryTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
constexpr KsEventSlot kAudioModeSlot{&PexEventPropertySet, 1, errors::kPreviewEventUnsupported};
constexpr long kItemSoundSetting = 2;

}  // namespace

PreviewGraph::PreviewGraph(HMODULE module) : module_(module), link_(new (std::nothrow) FilterLink(module)) {}

PreviewGraph::~PreviewGraph() {
  GuardNoThrow([&] {
    if (IsReady()) FilterGraphHolder::Stop();  // pins of a running graph cannot be disconnected
    if (link_) link_->Detach();
    RemoveAudioRenderer();
    ReleaseVideoChain();
    chain_.reset();
    Teardown();
  });
  link_.reset();
}

// --- build and teardown ------------------------------------------------------------------------------

HRESULT PreviewGraph::Build(const DeviceIdentity& identity) {
  if (IsReady()) return S_OK;
  return GuardHr(errors::kPreviewFailure, [&] {
    try {
      BuildSteps(identity);
    } catch (...) {
      Teardown();
      throw;
    }
  });
}

void PreviewGraph::BuildSteps(const DeviceIdentity& identity) {
  ThrowIfFailed(CreateGraph());
  // The filters come with a reference of their own, which the holders take over as they are
  // found (the toolchain's ComPtr::Attach would add another).
  DeviceFilterEntry filters[2] = {
      {&kCategoryTvAudio, &identity, L"TAVO TvAudio", tvAudio_.ReleaseAndGetAddressOf()},
      {&CLSID_VideoInputDeviceCategory, &identity, L"TAVO Preview", preview_.ReleaseAndGetAddressOf()}};
  ThrowIfFailed(AddDeviceFilters(filters, 2));
  ThrowIfFailed(preview_.As(&previewProperties_));
  ThrowIfFailed(tvAudio_->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(tvAudioControl_.ReleaseAndGetAddressOf())));
  ThrowIfFailed(PinHelpers::FindPinByIndex(&videoPin_, preview_.Get(), PINDIR_OUTPUT, 1));
  ThrowIfFailed(PinHelpers::FindPinByIndex(&audioPin_, preview_.Get(), PINDIR_OUTPUT, 2));

  const DeviceObjectNames names(identity, DeviceObjectNames::kNoInstance);
  ThrowIfFailed(CreateNotifyEvent(stop_, nullptr));
  ThrowIfFailed(CreateNotifyEvent(audioMode_, names.EventOfKind(L"PreviewAudioMode").c_str()));
  ThrowIfFailed(CreateNotifyEvent(graphError_, nullptr));
  ThrowIfFailed(CreateNotifyEvent(liveInputAudio_, names.Event(NotifyEvent::LiveInputAudio).c_str()));
  ThrowIfFailed(CreateNotifyEvent(liveOutputAudio_, names.Event(NotifyEvent::LiveOutputAudio).c_str()));
  ThrowIfFailed(CreateNotifyEvent(externalInput_, names.Event(NotifyEvent::ExternalInput).c_str()));

  // Whatever the driver answered, teardown unregisters: a failed Set may have taken the handle.
  registered_ = true;
  ThrowIfFailed(RegisterKsEvent(previewProperties_.Get(), kAudioModeSlot, audioMode_.handle()));

  ThrowIfFailed(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(events_.ReleaseAndGetAddressOf())));
  ThrowIfFailed(WorkerThread::Start(this, watchThread_, &PreviewGraph::WatchLoop));
  ThrowIfFailed(QueryControl());
}

void PreviewGraph::Teardown() {
  if (!graph_) return;
  if (flag_) {
    if (IsReady()) FilterGraphHolder::Stop();  // pins of a running graph cannot be disconnected
    DisconnectStreams();
  }
  if (stop_.handle()) WorkerThread::StopWorker(watchThread_, stop_.handle(), stopTimeout_);
  events_.Reset();
  if (registered_ && previewProperties_) RegisterKsEvent(previewProperties_.Get(), kAudioModeSlot, nullptr);
  registered_ = false;
  for (NamedEvent* event : {&stop_, &graphError_}) event->Close();
  previewProperties_.Reset();  // the preview source's own, let go before the source itself
  ReleaseParts(*this, preview_, soundItem_, RemoveOrder::kTvAudioFirst);
  Release();
}

// --- streams -----------------------------------------------------------------------------------------

HRESULT PreviewGraph::ConnectStreams() {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  if (flag_) return S_OK;
  if (!link_) return errors::kPreviewNoChain;
  return GuardHr(errors::kPreviewFailure, [&] {
    RETURN_IF_FAILED(ConnectParts(*link_, chain_.get(), sound_.get()));
    return SetFlag();
  });
}

HRESULT PreviewGraph::DisconnectStreams() {
  return GuardHr(errors::kPreviewFailure, [&] {
    const HRESULT first = DisconnectParts(link_.get(), chain_.get(), sound_.get());
    ClearFlag();
    return first;
  });
}

// --- the watch thread --------------------------------------------------------------------------------

DWORD PreviewGraph::WatchLoop(void* self) { return static_cast<PreviewGraph*>(self)->Watch(); }

DWORD PreviewGraph::Watch() {
  HANDLE graphEvent = nullptr;
  if (FAILED(events_->GetEventHandle(reinterpret_cast<OAEVENT*>(&graphEvent)))) graphEvent = nullptr;
  const HANDLE waits[3] = {stop_.handle(), audioMode_.handle(), graphEvent};
  const DWORD count = graphEvent ? 3 : 2;
  for (;;) {
    const DWORD result = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (result == WAIT_FAILED) {
      // A wait that cannot be made cannot watch: record it and end rather than spin.
      lastError_ = HResultFromLastError();
      graphError_.Set();
      return 1;
    }
    DWORD index = result - WAIT_OBJECT_0;
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) index = result - WAIT_ABANDONED_0;
    if (index == 0 || index >= count) return 0;
    if (index == 1) {
      if (!externalInput_.IsSet()) {
        liveInputAudio_.Set();
        liveOutputAudio_.Set();
      }
      audioMode_.Reset();
    } else {
      DrainGraphErrors(events_.Get(), lastError_, graphError_);
    }
  }
}


// --- answers -----------------------------------------------------------------------------------------

HRESULT PreviewGraph::GetNotifyEvent(int type, HANDLE* event) const {
  const HANDLE events[3] = {graphError_.handle(), liveInputAudio_.handle(), liveOutputAudio_.handle()};
  return graph_watch::PreviewNotifyEvent(type, events, event, E_POINTER, E_INVALIDARG);
}

HRESULT PreviewGraph::AudioModes(_SHAL_INPUT_AUDIOMODE* input, _SHAL_OUTPUT_AUDIOMODE* output) {
  if (!IsReady()) return E_POINTER;
  OAFilterState state = State_Stopped;
  if (FAILED(GetState(&state, 0)) || state != State_Running) return VFW_E_NOT_RUNNING;
  if (input) *input = {0, 0, 0};
  if (output) *output = {0, 0};
  RETURN_IF_FAILED(output_data::ReadAudioModes(tvAudioControl_.Get(), externalInput_.IsSet(), input, output));
  // The preview reports no second language alone: the third value stays 0.
  if (input) input->sub = 0;
  return S_OK;
}

HRESULT PreviewGraph::GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  return mode ? AudioModes(mode, nullptr) : E_POINTER;
}

HRESULT PreviewGraph::GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  return mode ? AudioModes(nullptr, mode) : E_POINTER;
}

HRESULT PreviewGraph::GetVideoSize(PreviewVideoSize* size) {
  if (!size || !IsReady()) return E_POINTER;
  *size = {0, 0, 4, 0};
  ComPtr<IAMStreamConfig> config;
  RETURN_IF_FAILED(videoPin_.As(&config));
  AM_MEDIA_TYPE* type = nullptr;
  RETURN_IF_FAILED(config->GetFormat(&type));
  if (!type) return E_FAIL;
  HRESULT hr = S_OK;
  const BITMAPINFOHEADER* header = nullptr;
  // The driver's block is read only when it is there and holds the whole header it names.
  if (!type->pbFormat) {
    hr = E_FAIL;
  } else if (type->formattype == FORMAT_VideoInfo && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
    header = &reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
  } else if (type->formattype == FORMAT_VideoInfo2 && type->cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    header = &reinterpret_cast<const VIDEOINFOHEADER2*>(type->pbFormat)->bmiHeader;
  } else {
    hr = E_FAIL;
  }
  if (header) *size = {header->biWidth, header->biHeight, 4, 1};
  if (type->cbFormat) CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  CoTaskMemFree(type);
  return hr;
}

HRESULT PreviewGraph::GetSoundDataInfo(DWORD* rate, DWORD* channels, DWORD* bits) const {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  if (!rate || !channels || !bits) return E_INVALIDARG;
  *rate = 48000;
  *channels = 2;
  *bits = 16;
  return S_OK;
}

HRESULT PreviewGraph::SetSoundSettings(IHalItem* item) {
  if (!item) return errors::kPreviewNullPointer;
  soundItem_.Reset();
  return GuardHr(errors::kPreviewFailure, [&] {
    ThrowIfFailed(item->Clone(&soundItem_));
    try {
      soundSetting_ = hal_items::ReadInteger(soundItem_.Get(), kItemSoundSetting);
    } catch (...) {
      soundItem_.Reset();
      throw;
    }
  });
}

// --- the video chain ---------------------------------------------------------------------------------

HRESULT PreviewGraph::ReleaseVideoChain() {
  if (!chain_) return S_OK;
  if (flag_) chain_->Disconnect();
  RETURN_IF_FAILED(chain_->ReleaseFilters());
  chain_.reset();
  return S_OK;
}

HRESULT PreviewGraph::InsertCustomFilter(std::unique_ptr<VideoChainBuilder> chain, DWORD overlayMode,
                                         REFCLSID clsid, const wchar_t* moduleFile) {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  RETURN_IF_FAILED(ReleaseVideoChain());
  if (!chain) return E_OUTOFMEMORY;
  chain_ = std::move(chain);
  ChainSource source;
  source.video = videoPin_.Get();
  source.customClsid = clsid;
  source.customModule = moduleFile;
  source.customName = kCustomFilterName;
  const HRESULT hr = chain_->Build(graph_, source, overlayMode);
  if (FAILED(hr)) {
    // A failed build leaves no chain: the preview runs without one until a window is made.
    chain_->ReleaseFilters();
    chain_.reset();
  }
  return hr;
}

// --- the sound side ----------------------------------------------------------------------------------

HRESULT PreviewGraph::AddAudioRenderer(REFCLSID renderer) {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  if (!link_) return errors::kPreviewNoChain;
  RemoveAudioRenderer();
  sound_ = CreateSoundPath(kFamily23SoundPaths, kSoundPathKind, module_);
  if (!sound_) return E_OUTOFMEMORY;
  HRESULT hr = sound_->Build(renderer, 0, 0, graph_);
  if (SUCCEEDED(hr)) hr = link_->Create(kSoundPathKind, graph_, soundSetting_, secondSoundSetting_);
  if (FAILED(hr)) RemoveAudioRenderer();
  return hr;
}

HRESULT PreviewGraph::RemoveAudioRenderer() {
  if (link_) {
    link_->Remove();
    link_.reset(new (std::nothrow) FilterLink(module_));
  }
  if (sound_) {
    sound_->Stop();
    sound_->Teardown();
    sound_.reset();
  }
  return S_OK;
}

}  // namespace pex

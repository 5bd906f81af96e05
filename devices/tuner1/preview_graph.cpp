#include "devices/tuner1/preview_graph.h"

#include <ks.h>
#include <ksmedia.h>

#include <utility>

#include "common/hresult.h"
#include "common/worker_thread.h"
#include "devices/core/device_objects.h"
#include "devices/core/graph_watch.h"
#include "devices/core/hal_items.h"
#include "devices/core/outside_filters.h"
#include "devices/tuner1/encoder_control.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kCaptureName[] = L"VEKA Capture Device";
constexpr wchar_t kTvAudioName[] = L"VEKA TV Audio";
// The capture filter's output pins the preview uses, counted from 1 in its pin enumeration.
constexpr int kVideoOutput = 3;
constexpr int kAudioOutput = 5;
constexpr long kItemBoardType = 2;
constexpr long kItemCapabilities = 4;
constexpr long kItemTunerNumber = 8;

// A 32-bit integer value of the device item, or the failure of reading or converting it: a
// value the item lacks is no board 0 or capability-less device.
HRESULT ReadItemInteger(IHalItem* item, long type, DWORD* out) {
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = item->GetInfo(type, &value);
  if (SUCCEEDED(hr)) hr = VariantChangeType(&value, &value, 0, VT_I4);
  if (SUCCEEDED(hr)) *out = static_cast<DWORD>(value.lVal);
  VariantClear(&value);
  return hr;
}

// {a799a802-a46d-11d0-a18c-00a02401dcd4}
constexpr GUID kCategoryTvAudio = {0xa799a802, 0xa46d, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0x24, 0x01, 0xdc, 0xd4}};
// {f72a76e1-eb0a-11d0-ace4-0000c0cc16ba}
constexpr GUID kMajorTypeVbi = {0xf72a76e1, 0xeb0a, 0x11d0, {0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};

ComPtr<IPin> NthOutput(IBaseFilter* filter, int number) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  int seen = 0;
  for (ComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Reset()) {
    PIN_DIRECTION direction;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT && ++seen == number) return pin;
  }
  return nullptr;
}

// A VBI output: by its pin category, else by the major type it offers.
bool IsVbiPin(IPin* pin) {
  ComPtr<IKsPropertySet> properties;
  if (SUCCEEDED(pin->QueryInterface(IID_PPV_ARGS(&properties)))) {
    GUID category = GUID_NULL;
    DWORD returned = 0;
    if (SUCCEEDED(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category),
                                  &returned)) &&
        returned == sizeof(category)) {
      return category == PIN_CATEGORY_VBI;
    }
  }
  ComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(&types))) return false;
  AM_MEDIA_TYPE* type = nullptr;
  bool vbi = false;
  while (!vbi && types->Next(1, &type, nullptr) == S_OK) {
    vbi = type->majortype == kMajorTypeVbi;
    if (type->cbFormat) CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
  }
  return vbi;
}

ComPtr<IPin> FindVbiOutput(IBaseFilter* filter) {
  ComPtr<IEnumPins> pins;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  for (ComPtr<IPin> pin; pins->Next(1, &pin, nullptr) == S_OK; pin.Reset()) {
    PIN_DIRECTION direction;
    if (SUCCEEDED(pin->QueryDirection(&direction)) && direction == PINDIR_OUTPUT && IsVbiPin(pin.Get())) return pin;
  }
  return nullptr;
}

HANDLE NewUnnamedEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!event) ThrowHr(HResultFromWin32(GetLastError()));
  return event;
}

}  // namespace

PreviewGraph::PreviewGraph(ChainSettings chainSettings, HMODULE module)
    : chainSettings_(std::move(chainSettings)), module_(module), link_(std::make_unique<FilterLink>(module)) {}

PreviewGraph::~PreviewGraph() {
  GuardNoThrow([&] {
    if (IsReady()) StopGraph();
    ReleaseVideoChain();
    RemoveAudioRenderer();
    Teardown();
  });
}

HRESULT PreviewGraph::KeepDeviceItem(IHalItem* item) {
  if (!item) return errors::kPreviewNullPointer;
  item_.Reset();
  ThrowIfFailed(item->Clone(&item_));
  const HRESULT hr = ReadItemInteger(item_.Get(), kItemBoardType, &boardType_);
  if (FAILED(hr)) {
    item_.Reset();  // nothing half-kept
    ThrowHr(hr);
  }
  tunerNumber_ = static_cast<DWORD>(hal_items::ReadInteger(item_.Get(), kItemTunerNumber));
  return S_OK;
}

// --- build and teardown ------------------------------------------------------------------------------

void PreviewGraph::Build(const DeviceIdentity& identity, int instance) {
  if (IsReady()) return;
  ThrowIfFailed(CreateGraph());
  IBaseFilter* tvAudio = tvAudio_.Get();
  IBaseFilter* capture = capture_.Get();
  DeviceFilterEntry filters[2] = {{&kCategoryTvAudio, &identity, {}, &tvAudio},
                                  {&CLSID_VideoInputDeviceCategory, &identity, {}, &capture}};
  wcscpy_s(filters[0].name, kTvAudioName);
  wcscpy_s(filters[1].name, kCaptureName);
  const HRESULT added = AddDeviceFilters(filters, 2);
  // The filters found here come with a reference of their own, which the holders take over
  // (the toolchain's ComPtr::Attach would add another).
  if (!tvAudio_ && tvAudio) *tvAudio_.GetAddressOf() = tvAudio;
  if (!capture_ && capture) *capture_.GetAddressOf() = capture;
  ThrowIfFailed(added);
  ThrowIfFailed(tvAudio_->QueryInterface(IID_IAMTVAudio, reinterpret_cast<void**>(tvAudioControl_.ReleaseAndGetAddressOf())));
  videoPin_ = NthOutput(capture_.Get(), kVideoOutput);
  audioPin_ = NthOutput(capture_.Get(), kAudioOutput);
  if (!videoPin_ || !audioPin_) ThrowHr(VFW_E_NOT_FOUND);
  vbiPin_ = FindVbiOutput(capture_.Get());

  CreateEvents(identity, instance);
  HRESULT opened = S_OK;
  encoder_ = std::make_unique<EncoderControl>(identity, &opened);
  encoder_->SetAudioModeEvent(audioMode_.handle());

  ThrowIfFailed(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(events_.ReleaseAndGetAddressOf())));
  ThrowIfFailed(WorkerThread::Start(this, watchThread_, &PreviewGraph::WatchLoop));
  ThrowIfFailed(QueryControl());
}

void PreviewGraph::CreateEvents(const DeviceIdentity& identity, int instance) {
  const DeviceObjectNames names(identity, instance);
  stop_.reset(NewUnnamedEvent());
  graphError_.reset(NewUnnamedEvent());
  const graph_watch::EventSlot slots[] = {
      {&audioMode_, L"AudioMode"},
      {&liveInputAudio_, L"LiveInputAudio"},
      {&liveOutputAudio_, L"LiveOutputAudio"},
      {&externalInput_, L"ExternalInput"},
  };
  ThrowIfFailed(graph_watch::CreateEventSlots(names, slots));
}

void PreviewGraph::Teardown() {
  if (!graph_) return;
  encoder_.reset();
  if (running_) {
    // Pins of a running graph cannot be disconnected.
    StopGraph();
    Stop();
  }
  if (stop_) WorkerThread::StopWorker(watchThread_, stop_.get(), stopTimeout_);
  events_.Reset();
  stop_.reset();
  graphError_.reset();
  vbiPin_.Reset();  // the capture filter's third pin (the parts hold the other two)
  ReleaseParts(*this, capture_, item_, RemoveOrder::kSourceFirst);
  Release();
}

// --- running -----------------------------------------------------------------------------------------

HRESULT PreviewGraph::Run() {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  if (running_) return S_OK;
  if (!chain_ || !chain_->IsBuilt()) return errors::kPreviewNoChain;
  const HRESULT hr = ConnectParts(*link_, chain_.get(), sound_.get());
  if (FAILED(hr)) return hr;
  running_ = true;
  return S_OK;
}

HRESULT PreviewGraph::Stop() {
  const HRESULT hr = DisconnectParts(link_.get(), chain_.get(), sound_.get());
  running_ = false;
  return hr;
}

HRESULT PreviewGraph::StopGraph() {
  if (sound_) sound_->SuspendWatch();
  return FilterGraphHolder::Stop();
}

// --- the watch thread --------------------------------------------------------------------------------

DWORD PreviewGraph::WatchLoop(void* self) { return static_cast<PreviewGraph*>(self)->Watch(); }

DWORD PreviewGraph::Watch() {
  HANDLE graphEvent = nullptr;
  if (FAILED(events_->GetEventHandle(reinterpret_cast<OAEVENT*>(&graphEvent)))) graphEvent = nullptr;
  const HANDLE waits[3] = {stop_.get(), audioMode_.handle(), graphEvent};
  graph_watch::WatchLoop(waits, graphEvent ? 3 : 2, [&](DWORD index) {
    if (index == 1) {
      graph_watch::OnAudioModeSignal(GraphStopped(), externalInput_, liveInputAudio_, liveOutputAudio_, audioMode_);
    } else {
      graph_watch::DrainGraphEvents(events_.Get(), &lastError_, graphError_.get());
    }
  });
  return 0;
}

bool PreviewGraph::GraphStopped() {
  OAFilterState state = State_Stopped;
  return FAILED(GetState(&state, 0)) || state == State_Stopped;
}

// --- answers -----------------------------------------------------------------------------------------

HRESULT PreviewGraph::GetMuteStatus(LONG* muted) const {
  if (!muted) return errors::kPreviewNullPointer;
  *muted = 0;
  return S_OK;
}

HRESULT PreviewGraph::GetNotifyEvent(int type, HANDLE* event) const {
  const HANDLE events[3] = {graphError_.get(), liveInputAudio_.handle(), liveOutputAudio_.handle()};
  return graph_watch::PreviewNotifyEvent(type, events, event, errors::kPreviewNullPointer, errors::kPreviewInvalidArg);
}

HRESULT PreviewGraph::ReadAudioMode(ULONG* left, ULONG* right) {
  if (!IsReady() || !tvAudioControl_) return errors::kPreviewNullPointer;
  OAFilterState state = State_Stopped;
  HRESULT hr = GetState(&state, 0);
  if (FAILED(hr)) return hr;
  if (state != State_Running) return VFW_E_NOT_RUNNING;
  *left = *right = 1;
  if (externalInput_.IsSet()) return S_OK;
  long mode = 0;
  if (FAILED(hr = tvAudioControl_->get_TVAudioMode(&mode))) return hr;
  if ((mode & 0xF) == 2) *left = *right = 2;
  if ((mode & 0xF0) == 0x30) {
    *left = 4;
    *right = 8;
  }
  return S_OK;
}

HRESULT PreviewGraph::GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  if (!mode) return errors::kPreviewNullPointer;
  ULONG left = 0, right = 0;
  const HRESULT hr = ReadAudioMode(&left, &right);
  if (SUCCEEDED(hr)) *mode = {left, right, 0};
  return hr;
}

HRESULT PreviewGraph::GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  if (!mode) return errors::kPreviewNullPointer;
  ULONG left = 0, right = 0;
  const HRESULT hr = ReadAudioMode(&left, &right);
  if (SUCCEEDED(hr)) *mode = {left, right};
  return hr;
}

HRESULT PreviewGraph::GetSoundDataInfo(DWORD* rate, DWORD* channels, DWORD* bits) const {
  if (!rate || !channels || !bits) return errors::kPreviewNullPointer;
  if (!IsReady()) return errors::kPreviewNotBuilt;
  *rate = 48000;
  *channels = 2;
  *bits = 16;
  return S_OK;
}

// --- the window side ---------------------------------------------------------------------------------

HRESULT PreviewGraph::CreateVideoChain(DWORD windowMode) {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  HRESULT hr = ReleaseVideoChain();
  if (FAILED(hr)) return hr;
  if (!item_) return errors::kPreviewNullPointer;
  // The values the chain is chosen by (the builder reads them again): each must be there.
  for (const long type : {kItemTunerNumber, kItemBoardType, kItemCapabilities}) {
    DWORD value = 0;
    hr = ReadItemInteger(item_.Get(), type, &value);
    if (FAILED(hr)) return hr;
  }
  std::unique_ptr<VideoChainBuilder> chain;
  hr = CreateVideoChainBuilder(item_.Get(), chainSettings_, kSoundPathKind == FilterLink::kLiveSyncKind, &chain);
  if (FAILED(hr)) return hr;
  ChainSource source;
  source.video = videoPin_.Get();
  source.extra1 = vbiPin_.Get();  // none: the caption element is left out
  source.customClsid = customClsid_;
  source.customModule = customModule_.c_str();
  source.customName = kCustomFilterName;
  hr = chain->Build(graph_, source, windowMode);
  if (SUCCEEDED(hr)) chain_ = std::move(chain);
  return hr;
}

HRESULT PreviewGraph::ReleaseVideoChain() {
  if (!chain_) return S_OK;
  if (running_) chain_->Disconnect();
  const HRESULT hr = chain_->ReleaseFilters();
  if (FAILED(hr)) return hr;
  chain_.reset();
  return S_OK;
}

HRESULT PreviewGraph::InsertCustomFilter(REFCLSID clsid, const wchar_t* moduleFile) {
  return GuardHr(errors::kPreviewNullPointer, [&] {
    customClsid_ = clsid;
    customModule_ = moduleFile ? moduleFile : L"";
  });
}

HRESULT PreviewGraph::InsertOsdFilter() { return InsertCustomFilter(outside::kClsidOsd, outside::kOsdFile); }

// --- the sound side ----------------------------------------------------------------------------------

HRESULT PreviewGraph::AddAudioRenderer() {
  if (!IsReady()) return errors::kPreviewNotBuilt;
  RemoveAudioRenderer();
  sound_ = CreateSoundPath(kFamily1SoundPaths, kSoundPathKind, module_);
  if (!sound_) return E_OUTOFMEMORY;
  HRESULT hr = sound_->Build(CLSID_DSoundRender, 0, 0, graph_);
  if (SUCCEEDED(hr)) {
    hr = link_->Create(kSoundPathKind, graph_, static_cast<int>(boardType_),
                       static_cast<int>(tunerNumber_));
  }
  if (FAILED(hr)) RemoveAudioRenderer();
  return hr;
}

HRESULT PreviewGraph::RemoveAudioRenderer() {
  link_->Remove();
  link_ = std::make_unique<FilterLink>(module_);
  if (sound_) {
    sound_->Stop();
    sound_->Teardown();
    sound_.reset();
  }
  return S_OK;
}

// The private graph of the renderer: building, running, delivering, tearing down and the
// forwarding of the graph's error events.
#include "filters/renderer/graph_worker.h"

#include <vector>

#include "common/device/filter_loader.h"
#include "common/device/graph_state.h"
#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "common/trace.h"
#include "filters/source/source_filter.h"

using Microsoft::WRL::ComPtr;

namespace vren {

namespace {

// The deinterlace mode asked of the mixer for stream 0.
constexpr GUID kDeinterlaceMode = {0xfd645d95, 0x6701, 0x4448, {0x99, 0xec, 0xbc, 0x1e, 0x8f, 0xe9, 0x8e, 0x2b}};

// The graph events passed on to the renderer's graph.
bool IsForwarded(long code) {
  return code == EC_ERRORABORT || code == EC_STREAM_ERROR_STOPPED || code == EC_STREAM_ERROR_STILLPLAYING ||
         code == EC_ERROR_STILLPLAYING;
}

}  // namespace

GraphWorker::GraphWorker(HMODULE sourceFolderModule, EventSink events)
    : sourceFolderModule_(sourceFolderModule), events_(std::move(events)) {}

GraphWorker::~GraphWorker() {
  TearDown();
  Stop();
}

DWORD GraphWorker::Run() {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const DWORD result = MessageWindowThread::Run();
  if (SUCCEEDED(com)) CoUninitialize();
  return result;
}

bool GraphWorker::IsConnected() const {
  CAutoLock lock(&lock_);
  return connected_;
}

bool GraphWorker::IsRunning() const {
  CAutoLock lock(&lock_);
  return running_;
}

ComPtr<IBaseFilter> GraphWorker::Mixer() const {
  CAutoLock lock(&lock_);
  return mixer_;
}

HRESULT GraphWorker::CreateGraph() {
  if (!graph_) {
    RETURN_IF_FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      reinterpret_cast<void**>(graph_.ReleaseAndGetAddressOf())));
    if (!graph_) return E_OUTOFMEMORY;
  }
  if (!control_) {
    RETURN_IF_FAILED(graph_->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(control_.GetAddressOf())));
  }
  if (!eventsEx_) {
    RETURN_IF_FAILED(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(eventsEx_.GetAddressOf())));
  }
  return S_OK;
}

void GraphWorker::ReleaseGraph() {
  if (eventsEx_) eventsEx_->SetNotifyWindow(0, 0, 0);
  eventsEx_.Reset();
  control_.Reset();
  graph_.Reset();
}

HRESULT GraphWorker::CreateSource() {
  if (!graph_) return E_POINTER;
  if (source_) return S_OK;
  ComPtr<IBaseFilter> source;
  RETURN_IF_FAILED(FilterLoader::CreateFromNamedModule(sourceFolderModule_, kSourceModuleName,
                                                       vsrc::CLSID_VornSourceFilter, nullptr, CLSCTX_INPROC_SERVER,
                                                       IID_IBaseFilter, reinterpret_cast<void**>(source.GetAddressOf())));
  if (!source) return E_OUTOFMEMORY;
  ComPtr<IPin> pin;
  RETURN_IF_FAILED(PinHelpers::FindPinByIndex(pin.GetAddressOf(), source.Get(), PINDIR_OUTPUT, 0));
  ComPtr<IKelvTransmit> transmit;
  RETURN_IF_FAILED(pin->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(transmit.GetAddressOf())));
  RETURN_IF_FAILED(graph_->AddFilter(source.Get(), kSourceFilterName));
  source_ = source;
  sourcePin_ = pin;
  transmit_ = transmit;
  return S_OK;
}

void GraphWorker::RemoveAllFilters() {
  if (graph_) {
    ComPtr<IEnumFilters> filters;
    if (SUCCEEDED(graph_->EnumFilters(filters.GetAddressOf())) && filters) {
      // Removing changes the set: collect first.
      std::vector<ComPtr<IBaseFilter>> all;
      ComPtr<IBaseFilter> filter;
      while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) all.push_back(filter);
      for (auto& f : all) graph_->RemoveFilter(f.Get());
    }
  }
  transmit_.Reset();
  sourcePin_.Reset();
  source_.Reset();
}

HRESULT GraphWorker::CreateMixer() {
  if (!graph_) return E_POINTER;
  if (mixer_) return S_OK;
  ComPtr<IBaseFilter> mixer;
  RETURN_IF_FAILED(CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    reinterpret_cast<void**>(mixer.GetAddressOf())));
  if (!mixer) return E_OUTOFMEMORY;
  RETURN_IF_FAILED(graph_->AddFilter(mixer.Get(), kMixerFilterName));
  mixer_ = mixer;
  RETURN_IF_FAILED(PinHelpers::FindPinByIndex(mixerPin_.ReleaseAndGetAddressOf(), mixer.Get(), PINDIR_INPUT, 0));
  RETURN_IF_FAILED(
      mixer->QueryInterface(IID_IVMRFilterConfig9, reinterpret_cast<void**>(mixerConfig_.ReleaseAndGetAddressOf())));
  RETURN_IF_FAILED(mixerConfig_->SetRenderingMode(VMR9Mode_Windowless));
  RETURN_IF_FAILED(mixer->QueryInterface(IID_IVMRWindowlessControl9,
                                         reinterpret_cast<void**>(windowless_.ReleaseAndGetAddressOf())));
  // The clipping window first: some mixers refuse it once the stream count is set, and refuse
  // the stream count after it; the count and the deinterlace mode are best effort.
  // The desktop window: with the worker's own window as clipping window, Wine's mixer leaves
  // the window system so that no later message window thread of the process can start once
  // the graph is gone (measured). Nothing is drawn either way: no destination is ever set.
  const HWND clip = GetDesktopWindow();
  RETURN_IF_FAILED(windowless_->SetVideoClippingWindow(clip));
  const HRESULT streams = mixerConfig_->SetNumberOfStreams(1);
  if (FAILED(streams)) {
    ModuleTrace().Printf(TraceKind::Trace, L"GraphWorker::CreateMixer SetNumberOfStreams 0x%08lX",
                         static_cast<unsigned long>(streams));
  }
  if (SUCCEEDED(mixer->QueryInterface(IID_IVMRDeinterlaceControl9,
                                      reinterpret_cast<void**>(deinterlace_.ReleaseAndGetAddressOf())))) {
    GUID mode = kDeinterlaceMode;
    deinterlace_->SetDeinterlaceMode(0, &mode);
  }
  return S_OK;
}

void GraphWorker::RemoveMixer() {
  if (graph_ && mixer_) graph_->RemoveFilter(mixer_.Get());
  deinterlace_.Reset();
  windowless_.Reset();
  mixerConfig_.Reset();
  mixerPin_.Reset();
  mixer_.Reset();
}

HRESULT GraphWorker::Connect() {
  TraceScope scope(ModuleTrace(), L"GraphWorker::Connect()");
  CAutoLock lock(&lock_);
  if (connected_) return S_OK;
  HRESULT hr = CreateGraph();
  if (SUCCEEDED(hr)) hr = CreateSource();
  if (SUCCEEDED(hr)) hr = CreateMixer();
  if (SUCCEEDED(hr)) hr = eventsEx_->SetNotifyWindow(reinterpret_cast<OAHWND>(window()), GraphEventMessage(), 0);
  if (FAILED(hr)) {
    TearDownLocked();
    return hr;
  }
  connected_ = true;
  return S_OK;
}

HRESULT GraphWorker::SetSourceMediaType(const AM_MEDIA_TYPE* type) {
  CAutoLock lock(&lock_);
  if (!transmit_) return E_POINTER;
  return transmit_->SetMediaType(type);
}

HRESULT GraphWorker::RunGraph() {
  CAutoLock lock(&lock_);
  return RunGraphLocked();
}

HRESULT GraphWorker::RunGraphLocked() {
  if (!graph_ || !sourcePin_ || !mixerPin_ || !control_) return E_POINTER;
  if (running_) return S_OK;
  HRESULT hr = graph_->Connect(sourcePin_.Get(), mixerPin_.Get());
  if (SUCCEEDED(hr)) hr = graph_state::Change(control_.Get(), State_Running);
  if (FAILED(hr)) {
    StopGraphLocked();
    return hr;
  }
  // Two empty frames get the mixer going before the first picture.
  if (transmit_) {
    transmit_->Transmit(nullptr);
    transmit_->Transmit(nullptr);
  }
  running_ = true;
  return S_OK;
}

HRESULT GraphWorker::Deliver(IMediaSample* sample) {
  // The frame travels without the lock: a mixer that holds it (paused) is released by a stop,
  // which needs the lock. Our reference keeps the source alive through a tear-down meanwhile.
  ComPtr<IKelvTransmit> transmit;
  {
    CAutoLock lock(&lock_);
    transmit = transmit_;
  }
  if (!transmit) return E_POINTER;
  RETURN_IF_FAILED(transmit->Transmit(sample));
  CAutoLock lock(&lock_);
  if (sample && transmit == transmit_ && sample != held_.Get()) held_ = sample;
  return S_OK;
}

void GraphWorker::StopGraph() {
  CAutoLock lock(&lock_);
  StopGraphLocked();
}

void GraphWorker::StopGraphLocked() {
  held_.Reset();
  // A refused run leaves the mixer paused behind a graph that reads stopped.
  if (graph_) graph_state::StopEveryFilter(graph_.Get());
  if (graph_) PinHelpers::Disconnect(mixerPin_.Get(), sourcePin_.Get(), graph_.Get());
  running_ = false;
}

void GraphWorker::TearDown() {
  TraceScope scope(ModuleTrace(), L"GraphWorker::TearDown()");
  CAutoLock lock(&lock_);
  TearDownLocked();
}

void GraphWorker::TearDownLocked() {
  StopGraphLocked();
  RemoveMixer();
  RemoveAllFilters();
  ReleaseGraph();
  connected_ = false;
}

HRESULT GraphWorker::Rebuild() {
  TraceScope scope(ModuleTrace(), L"GraphWorker::Rebuild()");
  CAutoLock lock(&lock_);
  const ComPtr<IMediaSample> last = held_;
  StopGraphLocked();
  RemoveMixer();
  RETURN_IF_FAILED(CreateMixer());
  RETURN_IF_FAILED(RunGraphLocked());
  if (last) {
    RETURN_IF_FAILED(transmit_->Transmit(last.Get()));
    held_ = last;
  }
  return S_OK;
}

void GraphWorker::OnWindowMessage(UINT message, WPARAM, LPARAM) {
  if (message == GraphEventMessage()) DrainEvents();
}

void GraphWorker::DrainEvents() {
  // Our own reference: a tear-down on another thread may release the graph's meanwhile.
  ComPtr<IMediaEventEx> events;
  {
    CAutoLock lock(&lock_);
    events = eventsEx_;
  }
  if (!events) return;
  long code = 0;
  LONG_PTR param1 = 0, param2 = 0;
  while (SUCCEEDED(events->GetEvent(&code, &param1, &param2, 0))) {
    if (IsForwarded(code) && events_) events_(code, param1, param2);
    events->FreeEventParams(code, param1, param2);
  }
}

}  // namespace vren

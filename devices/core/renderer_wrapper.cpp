#include "devices/core/renderer_wrapper.h"

#include <new>
#include <vector>

#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "devices/core/optional_filter.h"
#include "devices/core/outside_filters.h"

using Microsoft::WRL::ComPtr;

namespace {

// Chooses the renderer's monitor for `window`: the record of the monitor the window is on.
// True when one was set.
template <class Info, class Config, class Select>
bool ChooseMonitor(Config* config, HWND window, Select&& select) {
  if (!config) return false;
  const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
  DWORD count = 0;
  if (FAILED(config->GetAvailableMonitors(nullptr, 0, &count)) || count == 0) return false;
  bool chosen = false;
  GuardHr(errors::kRendererFailure, [&] {
    std::vector<Info> records(count);
    if (FAILED(config->GetAvailableMonitors(records.data(), count, &count))) return;
    for (DWORD i = 0; i < count && i < records.size(); ++i) {
      if (records[i].hMon == monitor) {
        chosen = SUCCEEDED(select(records[i]));
        return;
      }
    }
  });
  return chosen;
}

// (The mingw headers bind no __uuidof to the mixing renderer 7's interfaces: IIDs are passed.)
template <class Control>
HRESULT Query(IBaseFilter* filter, REFIID iid, ComPtr<Control>& out) {
  if (!filter) return errors::kRendererNullPointer;
  const HRESULT hr = filter->QueryInterface(iid, reinterpret_cast<void**>(out.ReleaseAndGetAddressOf()));
  return FAILED(hr) ? hr : out ? S_OK : errors::kRendererNullPointer;
}

}  // namespace

// --- Base -------------------------------------------------------------------------------------------
RendererWrapper::~RendererWrapper() {
  RendererWrapper::RemoveFromGraph();
  DropRenderer();
}

HRESULT RendererWrapper::CreateRenderer(REFCLSID clsid) {
  const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      reinterpret_cast<void**>(filter_.ReleaseAndGetAddressOf()));
  return FAILED(hr) ? hr : filter_ ? S_OK : errors::kRendererNullPointer;
}

HRESULT RendererWrapper::AddRenderer(const wchar_t* name) {
  if (!graph_ || !filter_) return errors::kRendererNullPointer;
  const HRESULT hr = graph_->AddFilter(filter_.Get(), name);
  if (FAILED(hr)) return hr;
  return PinHelpers::FindPinByIndex(input_.ReleaseAndGetAddressOf(), filter_.Get(), PINDIR_INPUT, 1);
}

void RendererWrapper::DropRenderer() {
  if (graph_ && filter_) graph_->RemoveFilter(filter_.Get());
  input_.Reset();
  filter_.Reset();
}

HRESULT RendererWrapper::AddToGraph(IPin* upstream) {
  if (!upstream || !input_ || !graph_) return errors::kRendererNullPointer;
  const HRESULT hr = PinHelpers::Connect(upstream, input_.Get(), graph_.Get());
  if (SUCCEEDED(hr)) upstream_ = upstream;
  return hr;
}

HRESULT RendererWrapper::RemoveFromGraph() {
  if (!upstream_) return S_OK;
  if (!input_ || !graph_) return errors::kRendererNullPointer;
  const HRESULT hr = PinHelpers::Disconnect(upstream_.Get(), input_.Get(), graph_.Get());
  upstream_.Reset();
  return hr;
}

HRESULT RendererWrapper::QueryFilterInterface(REFIID iid, void** out) {
  if (!out || !filter_) return errors::kRendererNullPointer;
  return filter_->QueryInterface(iid, out);
}

HRESULT CreateRendererWrapper(int kind, DWORD preferences, IFilterGraph* graph, std::unique_ptr<RendererWrapper>* out) {
  if (!out) return errors::kRendererNullPointer;
  out->reset();
  std::unique_ptr<RendererWrapper> wrapper;
  switch (kind) {
    case 1: wrapper.reset(new (std::nothrow) Vmr7RendererWrapper(graph, preferences)); break;
    case 2: wrapper.reset(new (std::nothrow) Vmr9RendererWrapper(graph)); break;
    case 3: wrapper.reset(new (std::nothrow) Vmr7ControlRendererWrapper(graph)); break;
    case 4: wrapper.reset(new (std::nothrow) VideoRendererWrapper(graph)); break;
    case 5: wrapper.reset(new (std::nothrow) NullRendererWrapper(graph)); break;
    default: return errors::kRendererInvalidArg;
  }
  if (!wrapper) return errors::kRendererOutOfMemory;
  const HRESULT hr = wrapper->Construct();
  if (FAILED(hr)) return hr;  // the half-made wrapper goes here: its owner never gets it
  *out = std::move(wrapper);
  return hr;
}

// --- Kinds 1 and 2 ------------------------------------------------------------------------------------
namespace {

HRESULT SetMonitor(IVMRMonitorConfig* monitors, const VMRMONITORINFO& info) { return monitors->SetMonitor(&info.guid); }
HRESULT SetMonitor(IVMRMonitorConfig9* monitors, const VMR9MonitorInfo& info) {
  return monitors->SetMonitor(info.uDevID);
}

}  // namespace

template <class W, class M, class I>
HRESULT WindowlessRendererWrapper<W, M, I>::SetVideoClippingWindow(HWND window) {
  if (!windowless_) {
    // No renderer (out of the graph): the window is still the one a renderer made afresh takes.
    clippingWindow_ = window;
    return errors::kRendererNullPointer;
  }
  // The monitor follows the window even when the renderer refuses it (the mixing renderers of
  // some platforms take a clipping window only once); the result is the renderer's.
  const HRESULT hr = windowless_->SetVideoClippingWindow(window);
  clippingWindow_ = window;
  if (window != monitorWindow_ &&
      ChooseMonitor<I>(monitors_.Get(), window, [&](const I& info) { return SetMonitor(monitors_.Get(), info); })) {
    monitorWindow_ = window;
    ++monitorChoices_;
  }
  return hr;
}

template <class W, class M, class I>
HRESULT WindowlessRendererWrapper<W, M, I>::SetVideoPosition(RECT* source, RECT* destination) {
  return windowless_ ? windowless_->SetVideoPosition(source, destination) : errors::kRendererNullPointer;
}

template <class W, class M, class I>
HRESULT WindowlessRendererWrapper<W, M, I>::RepaintVideo(HWND window, HDC dc) {
  return windowless_ ? windowless_->RepaintVideo(window, dc) : errors::kRendererNullPointer;
}

template <class W, class M, class I>
HRESULT WindowlessRendererWrapper<W, M, I>::DisplayModeChanged() {
  return windowless_ ? windowless_->DisplayModeChanged() : errors::kRendererNullPointer;
}

template <class W, class M, class I>
HRESULT WindowlessRendererWrapper<W, M, I>::GetCurrentImage(BYTE** dib) {
  return windowless_ && dib ? windowless_->GetCurrentImage(dib) : errors::kRendererNullPointer;
}

template class WindowlessRendererWrapper<IVMRWindowlessControl, IVMRMonitorConfig, VMRMONITORINFO>;
template class WindowlessRendererWrapper<IVMRWindowlessControl9, IVMRMonitorConfig9, VMR9MonitorInfo>;

// --- Kind 1 -------------------------------------------------------------------------------------------
HRESULT Vmr7RendererWrapper::Construct() {
  HRESULT hr = CreateRenderer(CLSID_VideoMixingRenderer);
  if (FAILED(hr)) return hr;
  ComPtr<IVMRFilterConfig> config;
  if (SUCCEEDED(Query(filter_.Get(), IID_IVMRFilterConfig, config))) {
    config->SetRenderingMode(VMRMode_Windowless);  // both best effort
    config->SetRenderingPrefs(preferences_);
  }
  if (FAILED(hr = Query(filter_.Get(), IID_IVMRWindowlessControl, windowless_))) return hr;
  if (FAILED(hr = Query(filter_.Get(), IID_IVMRMonitorConfig, monitors_))) return hr;
  return AddRenderer(L"VMR 7");
}

HRESULT Vmr7RendererWrapper::AddToGraph(IPin* upstream) {
  if (!filter_) {
    HRESULT hr = Construct();
    // The window goes through this kind's own operation, as the host's call does: with the
    // preview control, to the control first.
    if (SUCCEEDED(hr) && clippingWindow_) hr = SetVideoClippingWindow(clippingWindow_);
    if (FAILED(hr)) {
      // Nothing half-made stays in the graph or here: the window operations answer "no
      // renderer" and the next call makes a renderer afresh.
      ReleaseRenderer();
      return hr;
    }
  }
  return RendererWrapper::AddToGraph(upstream);
}

HRESULT Vmr7RendererWrapper::RemoveFromGraph() {
  const HRESULT hr = RendererWrapper::RemoveFromGraph();
  ReleaseRenderer();
  return hr;
}

void Vmr7RendererWrapper::ReleaseRenderer() {
  windowless_.Reset();
  monitors_.Reset();
  ForgetMonitor();
  DropRenderer();
}

HRESULT Vmr7RendererWrapper::SetVideoPosition(RECT* source, RECT* destination) {
  if (!windowless_ || !destination) return errors::kRendererNullPointer;
  if (source) return windowless_->SetVideoPosition(source, destination);
  LONG width = 0, height = 0, aspectX = 0, aspectY = 0;
  HRESULT hr = windowless_->GetNativeVideoSize(&width, &height, &aspectX, &aspectY);
  if (SUCCEEDED(hr)) {
    RECT whole{0, 0, width < 720 ? 352 : 720, 480};
    hr = windowless_->SetVideoPosition(&whole, destination);
  }
  if (FAILED(hr)) hr = windowless_->SetVideoPosition(nullptr, destination);
  return hr;
}

HRESULT Vmr7RendererWrapper::GetColorKey(COLORREF* key) {
  return windowless_ && key ? windowless_->GetColorKey(key) : errors::kRendererNullPointer;
}

// --- Kind 2 -------------------------------------------------------------------------------------------
HRESULT Vmr9RendererWrapper::Construct() {
  HRESULT hr = CreateRenderer(CLSID_VideoMixingRenderer9);
  if (FAILED(hr)) return hr;
  ComPtr<IVMRFilterConfig9> config;
  if (FAILED(hr = Query(filter_.Get(), __uuidof(IVMRFilterConfig9), config))) return hr;
  if (FAILED(hr = config->SetRenderingMode(VMR9Mode_Windowless))) return hr;
  if (FAILED(hr = Query(filter_.Get(), __uuidof(IVMRWindowlessControl9), windowless_))) return hr;
  if (FAILED(hr = Query(filter_.Get(), __uuidof(IVMRMonitorConfig9), monitors_))) return hr;
  return AddRenderer(L"VMR 9");
}

// --- Kind 3 -------------------------------------------------------------------------------------------
HRESULT Vmr7ControlRendererWrapper::Construct() {
  HRESULT hr = Vmr7RendererWrapper::Construct();
  if (FAILED(hr)) return hr;
  if (!control_) {
    control_.reset(new (std::nothrow) PreviewControlWrapper(&hr));
    if (!control_) return errors::kRendererOutOfMemory;
  }
  return hr;
}

HRESULT Vmr7ControlRendererWrapper::SetVideoClippingWindow(HWND window) {
  const HRESULT hr = control_->SetVideoClippingWindow(window);
  return FAILED(hr) ? hr : Vmr7RendererWrapper::SetVideoClippingWindow(window);
}

HRESULT Vmr7ControlRendererWrapper::SetVideoPosition(RECT* source, RECT* destination) {
  const HRESULT hr = control_->SetVideoPosition(source, destination);
  return FAILED(hr) ? hr : Vmr7RendererWrapper::SetVideoPosition(source, destination);
}

HRESULT Vmr7ControlRendererWrapper::GetColorKey(COLORREF* key) { return control_->GetColorKey(key); }

HRESULT Vmr7ControlRendererWrapper::RepaintVideo(HWND window, HDC dc) {
  const HRESULT hr = control_->RepaintVideo(window, dc);
  return FAILED(hr) ? hr : Vmr7RendererWrapper::RepaintVideo(window, dc);
}

HRESULT Vmr7ControlRendererWrapper::DisplayModeChanged() {
  const HRESULT hr = control_->DisplayModeChanged();
  return FAILED(hr) ? hr : Vmr7RendererWrapper::DisplayModeChanged();
}

HRESULT Vmr7ControlRendererWrapper::SetZoomMode(DWORD mode) { return control_->SetZoomMode(mode); }
HRESULT Vmr7ControlRendererWrapper::GetZoomMode(DWORD* mode) { return control_->GetZoomMode(mode); }

// --- Kind 4 -------------------------------------------------------------------------------------------
HRESULT VideoRendererWrapper::Construct() {
  HRESULT hr = CreateRenderer(outside::kClsidSystemRenderer);
  if (FAILED(hr)) return hr;
  ComPtr<IVMRFilterConfig> config;
  if (FAILED(hr = Query(filter_.Get(), IID_IVMRFilterConfig, config))) return hr;
  if (FAILED(hr = config->SetRenderingMode(VMRMode_Windowless))) return hr;
  if (FAILED(hr = Query(filter_.Get(), IID_IVMRWindowlessControl, windowless_))) return hr;
  if (FAILED(hr = Query(filter_.Get(), IID_KivraNtscZoom, zoom_))) return hr;
  return AddRenderer(L"New Quib Video Renderer");
}

HRESULT VideoRendererWrapper::SetVideoClippingWindow(HWND window) {
  return windowless_ ? windowless_->SetVideoClippingWindow(window) : errors::kRendererNullPointer;
}

HRESULT VideoRendererWrapper::SetVideoPosition(RECT* source, RECT* destination) {
  return windowless_ ? windowless_->SetVideoPosition(source, destination) : errors::kRendererNullPointer;
}

HRESULT VideoRendererWrapper::GetColorKey(COLORREF* key) {
  return windowless_ && key ? windowless_->GetColorKey(key) : errors::kRendererNullPointer;
}

HRESULT VideoRendererWrapper::RepaintVideo(HWND window, HDC dc) {
  return windowless_ ? windowless_->RepaintVideo(window, dc) : errors::kRendererNullPointer;
}

HRESULT VideoRendererWrapper::DisplayModeChanged() {
  return windowless_ ? windowless_->DisplayModeChanged() : errors::kRendererNullPointer;
}

HRESULT VideoRendererWrapper::SetZoomMode(DWORD mode) {
  return zoom_ ? zoom_->SetZoomMode(static_cast<LONG>(mode)) : errors::kRendererNullPointer;
}

HRESULT VideoRendererWrapper::GetZoomMode(DWORD* mode) {
  if (!zoom_ || !mode) return errors::kRendererNullPointer;
  LONG value = 0;
  const HRESULT hr = zoom_->GetZoomMode(&value);
  if (SUCCEEDED(hr)) *mode = static_cast<DWORD>(value);
  return hr;
}

// --- Kind 5 -------------------------------------------------------------------------------------------
HRESULT NullRendererWrapper::Construct() {
  HRESULT hr = S_OK;
  control_.reset(new (std::nothrow) PreviewControlWrapper(&hr));
  if (!control_) return errors::kRendererOutOfMemory;
  if (FAILED(hr)) return hr;
  if (FAILED(hr = CreateRenderer(CLSID_NullRenderer))) return hr;
  return AddRenderer(L"Null Renderer for Pavik(JP)");
}

HRESULT NullRendererWrapper::SetVideoClippingWindow(HWND window) { return control_->SetVideoClippingWindow(window); }
HRESULT NullRendererWrapper::SetVideoPosition(RECT* source, RECT* destination) {
  return control_->SetVideoPosition(source, destination);
}
HRESULT NullRendererWrapper::GetColorKey(COLORREF* key) { return control_->GetColorKey(key); }
HRESULT NullRendererWrapper::RepaintVideo(HWND window, HDC dc) { return control_->RepaintVideo(window, dc); }
HRESULT NullRendererWrapper::DisplayModeChanged() { return control_->DisplayModeChanged(); }
HRESULT NullRendererWrapper::SetZoomMode(DWORD mode) { return control_->SetZoomMode(mode); }
HRESULT NullRendererWrapper::GetZoomMode(DWORD* mode) { return control_->GetZoomMode(mode); }

HRESULT NullRendererWrapper::QueryFilterInterface(REFIID, void** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

// --- RendererSlot ---------------------------------------------------------------------------------------
RendererSlot::RendererSlot(const ChainSettings& settings, int kind, DWORD preferences)
    : settings_(settings),
      kind_(kind),
      preferences_(preferences),
      recRunning_(board_settings::OpenRecRunningEvent(settings.recRunningEvent)) {}

RendererSlot::~RendererSlot() { RemoveFromGraph(); }

HRESULT RendererSlot::CreateFilter(IFilterGraph* graph) {
  if (graph_) return errors::kChainFailure;
  if (!graph) return errors::kChainNullPointer;
  const HRESULT hr = CreateRendererWrapper(kind_, preferences_, graph, &wrapper_);
  if (SUCCEEDED(hr)) graph_ = graph;
  return hr;
}

HRESULT RendererSlot::Connect(IPin* upstream, IPin*, IPin*) {
  if (!wrapper_) return errors::kChainNullPointer;
  const HRESULT hr = wrapper_->AddToGraph(upstream);
  if (SUCCEEDED(hr)) upstream_ = upstream;
  return hr;
}

HRESULT RendererSlot::Disconnect() {
  if (wrapper_) wrapper_->RemoveFromGraph();
  upstream_.Reset();
  return S_OK;
}

HRESULT RendererSlot::RemoveFromGraph() {
  Disconnect();
  wrapper_.reset();
  graph_.Reset();
  return S_OK;
}

HRESULT RendererSlot::GetOutputPin(const wchar_t*, IPin** out) {
  if (out) *out = nullptr;
  return errors::kChainFailure;
}

HRESULT RendererSlot::QueryFilterInterface(REFIID iid, void** out) {
  return Forward([&](RendererWrapper& w) { return w.QueryFilterInterface(iid, out); });
}

LONG RendererSlot::FieldOrderSetting() const {
  const bool board18Tuner1 = settings_.boardType == 18 && settings_.tunerNumber == 1;
  return board_settings::ReadFieldOrder(settings_, L"VornVRen", {1, board18Tuner1 ? 0 : 1}, recRunning_.get());
}

HRESULT RendererSlot::Configure() {
  if (!wrapper_) return errors::kChainNullPointer;
  const int kind = wrapper_->GetKind();
  const chain_media::UpstreamFormat format = chain_media::FormatOf(upstream_.Get());
  const bool videoInfo2 =
      format == chain_media::UpstreamFormat::VideoInfo2 || format == chain_media::UpstreamFormat::None;
  if (!videoInfo2) {
    if (kind != 4 || settings_.boardType != 18 || settings_.tunerNumber != 1) return S_OK;
    ComPtr<KivraNtsc2> order;
    const HRESULT hr = wrapper_->QueryFilterInterface(IID_KivraNtsc2, reinterpret_cast<void**>(order.GetAddressOf()));
    if (FAILED(hr)) return hr;
    return order->SetFieldOrder(FieldOrderSetting() == 0 ? 2 : 1);
  }
  HRESULT hr = S_OK;
  if (kind == 1) {
    ComPtr<IVMRWindowlessControl> windowless;
    hr = wrapper_->QueryFilterInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(windowless.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = windowless->SetAspectRatioMode(VMR_ARMODE_NONE);
  } else if (kind == 2) {
    ComPtr<IVMRWindowlessControl9> windowless;
    hr = wrapper_->QueryFilterInterface(__uuidof(IVMRWindowlessControl9), reinterpret_cast<void**>(windowless.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = windowless->SetAspectRatioMode(VMR_ARMODE_NONE);
  }
  return hr;
}

HRESULT RendererSlot::SetVideoClippingWindow(HWND window) {
  return Forward([&](RendererWrapper& w) { return w.SetVideoClippingWindow(window); });
}
HRESULT RendererSlot::SetVideoPosition(RECT* source, RECT* destination) {
  return Forward([&](RendererWrapper& w) { return w.SetVideoPosition(source, destination); });
}
HRESULT RendererSlot::GetColorKey(COLORREF* key) {
  return Forward([&](RendererWrapper& w) { return w.GetColorKey(key); });
}
HRESULT RendererSlot::RepaintVideo(HWND window, HDC dc) {
  return Forward([&](RendererWrapper& w) { return w.RepaintVideo(window, dc); });
}
HRESULT RendererSlot::DisplayModeChanged() {
  return Forward([&](RendererWrapper& w) { return w.DisplayModeChanged(); });
}
HRESULT RendererSlot::GetCurrentImage(BYTE** dib) {
  return Forward([&](RendererWrapper& w) { return w.GetCurrentImage(dib); });
}
HRESULT RendererSlot::SetZoomMode(DWORD mode) {
  return Forward([&](RendererWrapper& w) { return w.SetZoomMode(mode); });
}
HRESULT RendererSlot::GetZoomMode(DWORD* mode) {
  return Forward([&](RendererWrapper& w) { return w.GetZoomMode(mode); });
}

#include "devices/core/video_chain_builder.h"

#include <cstdlib>
#include <new>
#include <utility>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/registry.h"
#include "devices/core/closed_caption_chain.h"
#include "devices/core/hal_items.h"
#include "devices/core/optional_filter.h"
#include "devices/core/planar_pack_converter.h"
#include "devices/core/renderer_wrapper.h"
#include "devices/core/tesk_filter.h"
#include "filters/include/field_video.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kTovrelKey[] = L"HKEY_LOCAL_MACHINE\\Software\\Zarn Corporation\\Tovrel";

// Device item values the builder reads.
constexpr long kItemDevicePath = 0;
constexpr long kItemBoardType = 2;
constexpr long kItemCapabilities = 4;
constexpr long kItemTunerNumber = 8;

// Capability flags the selection rules look at.
constexpr DWORD kCapOverlayBoard = 0x10;
constexpr DWORD kCapClosedCaption = 0x80;
constexpr DWORD kCapSystemRenderer = 0x200;

// Whether the first media type `pin` offers is tiled 4:2:0 video.
bool OffersTiledVideo(IPin* pin) {
  if (!pin) return false;
  ComPtr<IEnumMediaTypes> types;
  if (FAILED(pin->EnumMediaTypes(&types)) || !types) return false;
  AM_MEDIA_TYPE* type = nullptr;
  if (types->Next(1, &type, nullptr) != S_OK || !type) return false;
  const bool tiled = type->subtype == MEDIASUBTYPE_Tiled420;
  if (type->cbFormat) CoTaskMemFree(type->pbFormat);
  if (type->pUnk) type->pUnk->Release();
  CoTaskMemFree(type);
  return tiled;
}

// A step's allocation failure is the chain's own code.
template <class F>
HRESULT GuardChainStep(F&& f) {
  return GuardHr(errors::kChainFailure, [&]() -> HRESULT {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      return errors::kChainOutOfMemory;
    }
  });
}

ChainDevice WithCreation(ChainDevice device, FilterCreation creation) {
  device.settings.creation = creation;
  return device;
}

}  // namespace

HRESULT VideoChainBuilder::ReadDevice(IHalItem* item, const ChainSettings& familySettings, ChainDevice* out) {
  if (!item || !out) return errors::kChainNullPointer;
  return GuardHr(errors::kChainFailure, [&] {
    ChainDevice device;
    device.settings = familySettings;
    device.settings.tunerNumber = static_cast<DWORD>(hal_items::ReadInteger(item, kItemTunerNumber));
    device.settings.boardType = static_cast<DWORD>(hal_items::ReadInteger(item, kItemBoardType));
    device.capabilities = static_cast<DWORD>(hal_items::ReadInteger(item, kItemCapabilities));
    device.devicePath = hal_items::ReadString(item, kItemDevicePath);
    *out = std::move(device);
  });
}

namespace {

HRESULT MakeBuilder(IHalItem* item, const ChainSettings& familySettings, const ChainPolicy* policy, bool usesPacer,
                    std::unique_ptr<VideoChainBuilder>* out) {
  if (!out) return errors::kChainNullPointer;
  out->reset();
  ChainDevice device;
  HRESULT hr = VideoChainBuilder::ReadDevice(item, familySettings, &device);
  if (FAILED(hr)) return hr;
  hr = GuardHr(errors::kChainFailure, [&] {
    *out = policy ? std::make_unique<VideoChainBuilder>(std::move(device), usesPacer, *policy)
                  : std::make_unique<VideoChainBuilder>(std::move(device), usesPacer);
  });
  return hr == E_OUTOFMEMORY ? errors::kChainOutOfMemory : hr;
}

}  // namespace

HRESULT CreateVideoChainBuilder(IHalItem* item, const ChainSettings& familySettings, bool usesPacer,
                                std::unique_ptr<VideoChainBuilder>* out) {
  return MakeBuilder(item, familySettings, nullptr, usesPacer, out);
}

HRESULT CreateVideoChainBuilder(IHalItem* item, const ChainSettings& familySettings, const ChainPolicy& policy,
                                bool usesPacer, std::unique_ptr<VideoChainBuilder>* out) {
  return MakeBuilder(item, familySettings, &policy, usesPacer, out);
}

VideoChainBuilder::VideoChainBuilder(ChainDevice device, bool usesPacer)
    : device_(std::move(device)),
      policy_(chain_policies::kFamily1),
      usesPacer_(usesPacer),
      deinterlacer_(SelectDeinterlacer()) {}

VideoChainBuilder::VideoChainBuilder(ChainDevice device, bool usesPacer, const ChainPolicy& policy)
    : device_(WithCreation(std::move(device), policy.creation)),
      policy_(policy),
      usesPacer_(usesPacer),
      deinterlacer_(SelectDeinterlacer()) {}

VideoChainBuilder::~VideoChainBuilder() {
  LockGuard guard(lock_, INFINITE);
  if (built_ || !elements_.empty()) {
    if (connected_) DisconnectChain();
    elements_.clear();
  }
}

// --- selection rules ---------------------------------------------------------------------------------

int VideoChainBuilder::SelectDeinterlacer() const {
  const RegistryKeyPath boardInfo(board_settings::kBoardInfoKey);
  static constexpr struct {
    const wchar_t* value;
    int choice;
  } kOrder[] = {{L"DXVA", 2}, {L"Qfa Tesk", 4}, {L"MOR Deinterlace", 3}};
  for (const auto& entry : kOrder) {
    if (boardInfo.ReadDwordValue(entry.value, 0) != 0) return entry.choice;
  }
  return RegistryKeyPath(kTovrelKey).ReadDwordValue(L"DXVA", 0) != 0 ? 2 : 1;
}

int VideoChainBuilder::ProcessingKind(DWORD mode) const {
  const DWORD caps = device_.capabilities;
  if ((caps & kCapSystemRenderer) && (mode & 0xFF0) == 0) return 0;
  if ((mode & 0xFF0) == 0x40) return 0;
  const DWORD family = mode & 0xF000;
  if (family == 0x1000) return 5;
  if (family != 0x2000 && family != 0x3000) return deinterlacer_;
  switch (mode & 0xFF0000) {
    case 0x10000: return 0;
    case 0x20000: return 1;
    case 0x30000: return 2;
    case 0x40000: return 3;
    case 0x50000: return 4;
    default: return deinterlacer_;
  }
}

DWORD VideoChainBuilder::ClosedCaptionMode() const {
  if (!(device_.capabilities & kCapClosedCaption)) return 0;
  return (device_.capabilities & kCapOverlayBoard) ? (ClosedCaptionChain::kModeMixer2 | ClosedCaptionChain::kModeEnabled)
                                                   : (ClosedCaptionChain::kModeMixer1 | ClosedCaptionChain::kModeEnabled);
}

RendererChoiceResult VideoChainBuilder::RendererChoice(DWORD mode) const {
  const DWORD caps = device_.capabilities;
  int preferred = 0;
  if (caps & kCapSystemRenderer) {
    preferred = 4;
  } else if (caps & kCapOverlayBoard) {
    preferred = (caps & kCapClosedCaption) ? 3 : 5;
  }
  const bool any = (caps & (kCapSystemRenderer | kCapOverlayBoard)) != 0;
  int kind = 0;
  switch (mode & 0xFF0) {
    case 0x00: kind = any ? preferred : 1; break;
    case 0x10: kind = any ? preferred : 0; break;
    case 0x20: kind = 1; break;
    case 0x30: kind = (caps & kCapOverlayBoard) ? preferred : 0; break;
    case 0x40: kind = (caps & kCapSystemRenderer) ? 4 : 0; break;
    case 0x50: kind = 2; break;
    default: kind = 0; break;
  }
  const DWORD low = mode & 0xF;
  const DWORD preferences = low == 1 ? 0 : low == 2 ? 1 : 2;
  return {kind, preferences};
}

bool VideoChainBuilder::WantsCustomFilter(const ChainSource& source) const {
  return source.customClsid != GUID_NULL && source.customModule && *source.customModule && source.customName &&
         *source.customName;
}

std::unique_ptr<FilterWrapper> VideoChainBuilder::MakeProcessingFilter(int kind) const {
  const ChainSettings& s = device_.settings;
  switch (kind) {
    case 1: return std::make_unique<DeinterlaceFilter>(s, policy_.configureOutsideFilters);
    case 2: return std::make_unique<VideoInfo2Filter>(s, policy_.configureOutsideFilters);
    case 3: return std::make_unique<MorDeinterlaceFilter>(s);
    case 4: return std::make_unique<TeskFilter>(s);
    case 5:
      if (policy_.planarConverter == PlanarConverterClass::PlanarPack) return std::make_unique<rul::PlanarConverterFilter>(s);
      return std::make_unique<PlanarConverterFilter>(s);
    default: return nullptr;
  }
}

// --- building ----------------------------------------------------------------------------------------

HRESULT VideoChainBuilder::Append(std::unique_ptr<FilterWrapper> element, FilterWrapper** added) {
  if (!element) return errors::kChainOutOfMemory;
  const HRESULT hr = element->CreateFilter(graph_.Get());
  if (FAILED(hr)) return hr;
  if (added) *added = element.get();
  elements_.push_back(std::move(element));
  return S_OK;
}

HRESULT VideoChainBuilder::AddColourConverter() {
  const FilterClass& converter = policy_.colourConverter;
  if (converter.clsid == GUID_NULL || !OffersTiledVideo(source_.Get())) return S_OK;
  return Append(std::make_unique<OptionalFilter>(
      device_.settings, FilterDescriptor{converter.clsid, converter.moduleFile ? converter.moduleFile : L"",
                                         converter.graphName ? converter.graphName : L""}));
}

HRESULT VideoChainBuilder::AddVideoPacer() { return Append(std::make_unique<VideoSyncFilter>(device_.settings)); }

HRESULT VideoChainBuilder::AddProcessingFilter(int kind) { return Append(MakeProcessingFilter(kind)); }

HRESULT VideoChainBuilder::AddClosedCaption(DWORD mode) {
  std::unique_ptr<ClosedCaptionChain> chain;
  HRESULT hr = ClosedCaptionChain::Create(device_.settings, mode, &chain);
  if (FAILED(hr)) return hr;
  ClosedCaptionChain* raw = chain.get();
  hr = Append(std::move(chain));
  if (SUCCEEDED(hr)) captions_ = raw;
  return hr;
}

HRESULT VideoChainBuilder::AddCustomFilter(const ChainSource& source) {
  return Append(std::make_unique<CustomFilter>(device_.settings, source.customClsid, source.customModule,
                                               source.customName),
                &custom_);
}

HRESULT VideoChainBuilder::AddRenderer(RendererChoiceResult choice) {
  auto slot = std::make_unique<RendererSlot>(device_.settings, choice.kind, choice.preferences);
  RendererSlot* raw = slot.get();
  const HRESULT hr = Append(std::move(slot));
  if (SUCCEEDED(hr)) renderer_ = raw;
  return hr;
}

HRESULT VideoChainBuilder::Build(IFilterGraph* graph, const ChainSource& source, DWORD windowMode) {
  LockGuard guard(lock_, INFINITE);
  const BuildRefusals refusals = Refusals();
  if (graph_) return refusals.graphHeld;
  if (!graph) return refusals.nullGraph;
  if (!elements_.empty()) return refusals.elementsLeft;
  const HRESULT hr = GuardChainStep([&] { return BuildBody(graph, source, windowMode); });
  if (FAILED(hr)) {
    ReleaseBody();
    return hr;
  }
  built_ = true;
  return S_OK;
}

HRESULT VideoChainBuilder::BuildBody(IFilterGraph* graph, const ChainSource& source, DWORD windowMode) {
  windowMode_ = windowMode;
  graph_ = graph;
  source_ = source.video;
  extra1_ = source.extra1;
  extra2_ = source.extra2;

  const int kind = ProcessingKind(windowMode);
  const bool late = kind != 0 && IsLateKind(kind);
  // The caption element draws from a VBI pin: without one it is left out, or it would fail
  // the whole chain's connection.
  const DWORD captions = (source.extra1 || source.extra2) ? ClosedCaptionMode() : 0;
  HRESULT hr = S_OK;
  if (FAILED(hr = AddChainHead(kind))) return hr;
  if (UsesVideoPacer() && FAILED(hr = AddVideoPacer())) return hr;
  if (FAILED(hr = AddColourConverter())) return hr;
  if (kind != 0 && !late && FAILED(hr = AddProcessingFilter(kind))) return hr;
  if (captions != 0 && FAILED(hr = AddClosedCaption(captions))) return hr;
  if (WantsCustomFilter(source) && FAILED(hr = AddCustomFilter(source))) return hr;
  if (late && FAILED(hr = AddProcessingFilter(kind))) return hr;
  return AddRenderer(RendererChoice(windowMode));
}

HRESULT VideoChainBuilder::ReleaseFilters() {
  LockGuard guard(lock_, INFINITE);
  if (graph_) {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph_.As(&control);
    if (FAILED(hr)) return hr;
    OAFilterState state = State_Stopped;
    hr = control->GetState(0, &state);
    if (FAILED(hr)) return hr;
    if (state != State_Stopped) return errors::kGraphNotStopped;
  }
  const HRESULT hr = ReleaseBody();
  if (SUCCEEDED(hr)) built_ = false;
  return hr;
}

HRESULT VideoChainBuilder::ReleaseBody() {
  if (connected_) {
    DisconnectChain();
    connected_ = false;
  }
  custom_ = nullptr;
  captions_ = nullptr;
  renderer_ = nullptr;
  for (auto& element : elements_) element.reset();
  elements_.clear();
  extra2_.Reset();
  extra1_.Reset();
  source_.Reset();
  graph_.Reset();
  return S_OK;
}

// --- connecting --------------------------------------------------------------------------------------

HRESULT VideoChainBuilder::Connect() {
  LockGuard guard(lock_, INFINITE);
  const HRESULT hr = GuardHr(errors::kChainFailure, [&] { return ConnectChain(); });
  if (SUCCEEDED(hr)) connected_ = true;
  return hr;
}

HRESULT VideoChainBuilder::Disconnect() {
  LockGuard guard(lock_, INFINITE);
  const HRESULT hr = GuardHr(errors::kChainFailure, [&] { return DisconnectChain(); });
  connected_ = false;
  return hr;
}

HRESULT VideoChainBuilder::ConnectChain() {
  if (!source_) return E_ACCESSDENIED;
  ComPtr<IPin> current = source_;
  HRESULT hr = S_OK;
  for (auto& element : elements_) {
    if (FAILED(hr = element->Prepare())) break;
  }
  if (SUCCEEDED(hr)) {
    for (auto& element : elements_) {
      hr = element->Connect(current.Get(), extra1_.Get(), extra2_.Get());
      current.Reset();
      if (FAILED(hr)) break;
      if (element->HasOutput() && FAILED(hr = element->GetOutputPin(nullptr, &current))) break;
    }
  }
  if (SUCCEEDED(hr)) {
    for (auto& element : elements_) {
      if (FAILED(hr = element->Configure())) break;
    }
  }
  if (FAILED(hr)) {
    current.Reset();
    DisconnectChain();
    return hr;
  }
  return S_OK;
}

HRESULT VideoChainBuilder::DisconnectChain() {
  HRESULT last = S_OK;
  const auto keep = [&last](HRESULT hr) {
    if (FAILED(hr)) last = hr;
  };
  for (auto& element : elements_) keep(element->BeforeDisconnect());
  for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) keep((*it)->Disconnect());
  for (auto& element : elements_) keep(element->AfterDisconnect());
  return last;
}

bool VideoChainBuilder::IsBuilt() const {
  LockGuard guard(lock_, INFINITE);
  return built_;
}

bool VideoChainBuilder::IsConnected() const {
  LockGuard guard(lock_, INFINITE);
  return connected_;
}

bool VideoChainBuilder::HasRenderer() const {
  LockGuard guard(lock_, INFINITE);
  return renderer_ != nullptr;
}

size_t VideoChainBuilder::ElementCount() const {
  LockGuard guard(lock_, INFINITE);
  return elements_.size();
}

FilterWrapper* VideoChainBuilder::ElementAt(size_t index) const {
  LockGuard guard(lock_, INFINITE);
  return index < elements_.size() ? elements_[index].get() : nullptr;
}

// --- window side -------------------------------------------------------------------------------------

template <class F>
HRESULT VideoChainBuilder::ForwardToRenderer(F&& call) {
  LockGuard guard(lock_, INFINITE);
  if (!renderer_) return errors::kChainNoRenderer;
  return GuardHr(errors::kChainFailure, [&] { return call(*renderer_); });
}

HRESULT VideoChainBuilder::QueryCustomFilterInterface(REFIID iid, void** out) {
  LockGuard guard(lock_, INFINITE);
  if (out) *out = nullptr;
  if (!custom_ || !out) return errors::kChainNullPointer;
  return custom_->QueryFilterInterface(iid, out);
}

HRESULT VideoChainBuilder::QueryRendererInterface(REFIID iid, void** out) {
  LockGuard guard(lock_, INFINITE);
  if (out) *out = nullptr;
  if (!renderer_ || !out) return errors::kChainNullPointer;
  return renderer_->QueryFilterInterface(iid, out);
}

HRESULT VideoChainBuilder::SetVideoClippingWindow(HWND window) {
  return ForwardToRenderer([&](RendererSlot& r) { return r.SetVideoClippingWindow(window); });
}

HRESULT VideoChainBuilder::SetVideoPosition(RECT* source, RECT* destination) {
  return ForwardToRenderer([&](RendererSlot& r) { return r.SetVideoPosition(source, destination); });
}

HRESULT VideoChainBuilder::RepaintVideo(HWND window, HDC dc) {
  return ForwardToRenderer([&](RendererSlot& r) { return r.RepaintVideo(window, dc); });
}

HRESULT VideoChainBuilder::SetZoomMode(DWORD mode) {
  return ForwardToRenderer([&](RendererSlot& r) { return r.SetZoomMode(mode); });
}

HRESULT VideoChainBuilder::GetZoomMode(DWORD* mode) {
  return ForwardToRenderer([&](RendererSlot& r) { return r.GetZoomMode(mode); });
}

HRESULT VideoChainBuilder::GetColorKey(DWORD* type, DWORD* paletteIndex, DWORD* low, DWORD* high) {
  return ForwardToRenderer([&](RendererSlot& r) {
    if (!type || !paletteIndex || !low || !high) return errors::kChainNullPointer;
    *type = *paletteIndex = *low = *high = 0;
    COLORREF key = 0;
    const HRESULT hr = r.GetColorKey(&key);
    if (SUCCEEDED(hr)) {
      *type = 2;
      *low = *high = key;
    }
    return hr;
  });
}

HRESULT VideoChainBuilder::DisplayModeChanged() {
  return ForwardToRenderer([&](RendererSlot& r) {
    // The renderer reads the new mode only once the display has settled.
    Sleep(kDisplayModeSettleMs);
    return r.DisplayModeChanged();
  });
}

DWORD VideoChainBuilder::DibSize(const BITMAPINFOHEADER& header) {
  DWORD image = header.biSizeImage;
  if (image == 0) {
    const DWORD stride = ((static_cast<DWORD>(std::labs(header.biWidth)) * header.biBitCount + 31) / 32) * 4;
    image = stride * static_cast<DWORD>(std::labs(header.biHeight));
  }
  return header.biSize + header.biClrUsed * 4 + image;
}

HRESULT VideoChainBuilder::GetCurrentImage(DWORD* size, BYTE** dib) {
  if (!size || !dib) return errors::kChainNullPointer;
  *size = 0;
  *dib = nullptr;
  return ForwardToRenderer([&](RendererSlot& r) {
    const HRESULT hr = r.GetCurrentImage(dib);
    if (SUCCEEDED(hr) && *dib) *size = DibSize(*reinterpret_cast<const BITMAPINFOHEADER*>(*dib));
    return hr;
  });
}

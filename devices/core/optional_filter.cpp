#include "devices/core/optional_filter.h"

#include <utility>

#include "common/device/filter_loader.h"
#include "common/device/pin_helpers.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/registry.h"
#include "common/security.h"
#include "devices/core/outside_filters.h"
#include "common/dshow.h"
#include "filters/include/filter_interfaces.h"

using Microsoft::WRL::ComPtr;

namespace board_settings {

const wchar_t kBoardInfoKey[] = L"HKEY_LOCAL_MACHINE\\Software\\Zarn Corporation\\TunerBrdInfo";

std::wstring BoardKey(DWORD boardType, DWORD tunerNumber, const wchar_t* sub) {
  std::wstring key = FormatW(L"%ls\\BoardType%lu\\Tuner%lu", kBoardInfoKey, static_cast<unsigned long>(boardType),
                             static_cast<unsigned long>(tunerNumber + 1));
  if (sub && *sub) key += FormatW(L"\\%ls", sub);
  return key;
}

UniqueHandle OpenRecRunningEvent(const std::wstring& name) {
  if (name.empty()) return UniqueHandle();
  OpenSecurity security = OpenSecurity::NullDacl();
  return UniqueHandle(CreateEventW(security.get(), TRUE, FALSE, name.c_str()));
}

bool IsRecording(HANDLE recRunning) { return recRunning && WaitForSingleObject(recRunning, 0) == WAIT_OBJECT_0; }

LONG ReadFieldOrder(const ChainSettings& settings, const wchar_t* sub, FieldOrderDefaults defaults, HANDLE recRunning) {
  const RegistryKeyPath key(BoardKey(settings.boardType, settings.tunerNumber, sub));
  const bool rec = IsRecording(recRunning);
  const DWORD value = key.ReadDwordValue(rec ? L"field order rec" : L"field order norec",
                                         static_cast<DWORD>(rec ? defaults.rec : defaults.norec));
  return value != 0 ? 1 : 0;
}

LONG ReadPlanarFieldOrder(const ChainSettings& settings, HANDLE recRunning) {
  return ReadFieldOrder(settings, L"Planer", {0, 1}, recRunning);
}

}  // namespace board_settings

namespace chain_media {

UpstreamFormat FormatOf(IPin* upstream) {
  if (!upstream) return UpstreamFormat::None;
  AM_MEDIA_TYPE type{};
  if (FAILED(upstream->ConnectionMediaType(&type))) return UpstreamFormat::None;
  UpstreamFormat format = UpstreamFormat::Other;
  if (type.formattype == FORMAT_VideoInfo) format = UpstreamFormat::VideoInfo;
  if (type.formattype == FORMAT_VideoInfo2) format = UpstreamFormat::VideoInfo2;
  if (type.cbFormat) CoTaskMemFree(type.pbFormat);
  if (type.pUnk) type.pUnk->Release();
  return format;
}

bool IsInterlaced(IPin* upstream) {
  if (!upstream) return true;
  AM_MEDIA_TYPE type{};
  if (FAILED(upstream->ConnectionMediaType(&type))) return false;
  bool interlaced = false;
  if (type.formattype == FORMAT_VideoInfo && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const LONG height = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader.biHeight;
    interlaced = height == 480 || height == 576;
  } else if (type.formattype == FORMAT_VideoInfo2 && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    interlaced = (reinterpret_cast<const VIDEOINFOHEADER2*>(type.pbFormat)->dwInterlaceFlags & AMINTERLACE_IsInterlaced) != 0;
  }
  if (type.cbFormat) CoTaskMemFree(type.pbFormat);
  if (type.pUnk) type.pUnk->Release();
  return interlaced;
}

}  // namespace chain_media

// --- OptionalFilter --------------------------------------------------------------------------------
OptionalFilter::OptionalFilter(const ChainSettings& settings, FilterDescriptor descriptor)
    : settings_(settings), descriptor_(std::move(descriptor)) {}

OptionalFilter::~OptionalFilter() { RemoveFromGraph(); }

HRESULT OptionalFilter::MakeFilter(IBaseFilter** out) const {
  const bool hasFile = !descriptor_.moduleFile.empty();
  const auto byClass = [&] {
    return CoCreateInstance(descriptor_.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                            reinterpret_cast<void**>(out));
  };
  const auto byFile = [&] {
    return FilterLoader::CreateFromNamedModule(settings_.module, descriptor_.moduleFile.c_str(), descriptor_.clsid,
                                               nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                               reinterpret_cast<void**>(out));
  };
  if (!hasFile) return byClass();
  switch (settings_.creation) {
    case FilterCreation::ModuleFileOnly:
      return byFile();
    case FilterCreation::ModuleFirst: {
      const HRESULT hr = byFile();
      return SUCCEEDED(hr) ? hr : byClass();
    }
    case FilterCreation::ClassFirst:
      break;
  }
  const HRESULT hr = byClass();
  return SUCCEEDED(hr) ? hr : byFile();
}

HRESULT OptionalFilter::CreateFilter(IFilterGraph* graph) {
  if (graph_) return errors::kChainFailure;
  if (!graph) return errors::kChainNullPointer;
  ComPtr<IBaseFilter> filter;
  HRESULT hr = MakeFilter(filter.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!filter) return errors::kChainNullPointer;
  hr = graph->AddFilter(filter.Get(), descriptor_.graphName.c_str());
  if (FAILED(hr)) return hr;
  ComPtr<IPin> input, output;
  hr = PinHelpers::FindPinByIndex(input.GetAddressOf(), filter.Get(), PINDIR_INPUT, 1);
  if (SUCCEEDED(hr)) hr = PinHelpers::FindPinByIndex(output.GetAddressOf(), filter.Get(), PINDIR_OUTPUT, 1);
  if (FAILED(hr)) {
    graph->RemoveFilter(filter.Get());
    return hr;
  }
  filter_ = std::move(filter);
  input_ = std::move(input);
  output_ = std::move(output);
  graph_ = graph;
  return S_OK;
}

HRESULT OptionalFilter::Connect(IPin* upstream, IPin*, IPin*) {
  if (!graph_ || !upstream || !input_) return errors::kChainNullPointer;
  if (upstream_) return errors::kChainFailure;
  const HRESULT hr = PinHelpers::Connect(upstream, input_.Get(), graph_.Get());
  if (SUCCEEDED(hr)) upstream_ = upstream;
  return hr;
}

HRESULT OptionalFilter::Disconnect() {
  HRESULT hr = S_OK;
  if (graph_ && upstream_ && input_) hr = PinHelpers::Disconnect(upstream_.Get(), input_.Get(), graph_.Get());
  upstream_.Reset();
  return hr;
}

HRESULT OptionalFilter::GetOutputPin(const wchar_t* name, IPin** out) {
  return HandOutOutputPin(output_.Get(), name, out);
}

HRESULT OptionalFilter::QueryFilterInterface(REFIID iid, void** out) {
  if (!out) return errors::kChainNullPointer;
  *out = nullptr;
  if (!filter_) return errors::kChainNullPointer;
  return filter_->QueryInterface(iid, out);
}

HRESULT OptionalFilter::RemoveFromGraph() {
  Disconnect();
  output_.Reset();
  input_.Reset();
  HRESULT hr = S_OK;
  if (graph_ && filter_) hr = graph_->RemoveFilter(filter_.Get());
  filter_.Reset();
  graph_.Reset();
  return hr;
}

// --- Kinds -------------------------------------------------------------------------------------------
namespace {

// Queries `Control` from the filter and calls `call` on it: a failing query ends with its code.
template <class Control, class Call>
HRESULT CallControl(OptionalFilter& element, Call&& call) {
  ComPtr<Control> control;
  const HRESULT hr = element.QueryFilterInterface(__uuidof(Control), reinterpret_cast<void**>(control.GetAddressOf()));
  if (FAILED(hr)) return hr;
  return call(control.Get());
}

}  // namespace

DeinterlaceFilter::DeinterlaceFilter(const ChainSettings& settings, bool configure)
    : OptionalFilter(settings, {outside::kClsidDeinterlace, outside::kDeinterlaceFile, L"Zarn Deinterlace"}),
      configure_(configure) {}

HRESULT DeinterlaceFilter::Configure() {
  if (!configure_) return S_OK;
  const LONG mode = chain_media::IsInterlaced(upstream()) ? 2 : 0;
  return CallControl<IDeinterlaceModuleControl>(*this, [&](IDeinterlaceModuleControl* c) { return c->SetMode(mode); });
}

MorDeinterlaceFilter::MorDeinterlaceFilter(const ChainSettings& settings)
    : OptionalFilter(settings, {outside::kClsidMorDeinterlace, outside::kMorDeinterlaceFile, L"MOR-Deinterlace"}) {}

LONG MorDeinterlaceFilter::ReadMode() {
  const DWORD mode = RegistryKeyPath(board_settings::kBoardInfoKey).ReadDwordValue(L"DeinterMode", 2);
  return mode <= 6 ? static_cast<LONG>(mode) : 4;
}

HRESULT MorDeinterlaceFilter::Configure() {
  const LONG mode = chain_media::IsInterlaced(upstream()) ? ReadMode() : 2;
  return CallControl<IMorDeinterlaceControl>(*this, [&](IMorDeinterlaceControl* c) { return c->SetMode(mode); });
}

VideoInfo2Filter::VideoInfo2Filter(const ChainSettings& settings, bool configure)
    : OptionalFilter(settings, {outside::kClsidVideoInfo, outside::kVideoInfoFile, L"Video Info Header2 Filter"}),
      configure_(configure) {}

HRESULT VideoInfo2Filter::Configure() {
  if (!configure_) return S_OK;
  const LONG flags = chain_media::IsInterlaced(upstream()) ? 4 : 8;
  return CallControl<IVideoInfoControl>(*this, [&](IVideoInfoControl* c) { return c->SetInterlaceFlags(flags); });
}

VideoSyncFilter::VideoSyncFilter(const ChainSettings& settings)
    : OptionalFilter(settings, {outside::kClsidVideoPacer, outside::kVideoPacerFile, L"Zarn Live Video Sync Filter"}) {}

VideoSyncFilter::PacerValues VideoSyncFilter::ReadPacerValues(const ChainSettings& settings) {
  const RegistryKeyPath key(board_settings::BoardKey(settings.boardType, settings.tunerNumber, L"LiveAVSyncParams"));
  return {static_cast<LONG>(key.ReadDwordValue(L"video alloc buffers", 15)),
          static_cast<LONG>(key.ReadDwordValue(L"video delay", 250)),
          static_cast<LONG>(key.ReadDwordValue(L"use hardware timestamp", 1))};
}

HRESULT VideoSyncFilter::CreateFilter(IFilterGraph* graph) {
  const HRESULT hr = OptionalFilter::CreateFilter(graph);
  return FAILED(hr) ? hr : ApplyPacerSettings();
}

HRESULT VideoSyncFilter::ApplyPacerSettings() {
  if (!filter()) return errors::kChainNullPointer;
  const PacerValues values = ReadPacerValues(settings());
  return CallControl<IPacerSettings>(*this, [&](IPacerSettings* pacer) {
    pacer->SetAllocatorBuffers(values.buffers);
    pacer->SetDelay(values.delay);
    pacer->SetHwTimeStamp(values.hardwareTimestamp != 0 ? 1 : 0);
    return S_OK;
  });
}

CustomFilter::CustomFilter(const ChainSettings& settings, REFCLSID clsid, const wchar_t* moduleFile, const wchar_t* name)
    : OptionalFilter(settings, {clsid, moduleFile ? moduleFile : L"", name ? name : L""}) {}

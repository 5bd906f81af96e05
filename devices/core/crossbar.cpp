#include "devices/core/crossbar.h"

#include <algorithm>
#include <string>
#include <iterator>

#include "common/device/device_identity.h"
#include "common/hresult.h"

HRESULT CrossbarPins::Read(IAMCrossbar* crossbar) {
  inputs.clear();
  outputs.clear();
  if (!crossbar) return E_POINTER;
  LONG outCount = 0, inCount = 0;
  RETURN_IF_FAILED(crossbar->get_PinCounts(&outCount, &inCount));
  const struct {
    BOOL input;
    LONG count;
    std::vector<CrossbarPin>* list;
  } sides[] = {{TRUE, inCount, &inputs}, {FALSE, outCount, &outputs}};
  for (const auto& side : sides) {
    for (LONG i = 0; i < side.count; ++i) {
      LONG related = 0, type = 0;
      const HRESULT hr = crossbar->get_CrossbarPinInfo(side.input, i, &related, &type);
      if (FAILED(hr)) {
        inputs.clear();
        outputs.clear();
        return hr;
      }
      if (related != -1) side.list->push_back({i, related, type});
    }
  }
  return S_OK;
}

HRESULT RouteCrossbarInput(IAMCrossbar* crossbar, const CrossbarPins& pins, LONG type, ULONG ordinal) {
  if (!crossbar) return E_POINTER;
  const CrossbarPin* input = nullptr;
  ULONG seen = 0;
  for (const CrossbarPin& pin : pins.inputs) {
    if (pin.type != type) continue;
    if (seen++ == ordinal) {
      input = &pin;
      break;
    }
  }
  const auto output = std::find_if(pins.outputs.begin(), pins.outputs.end(),
                                   [](const CrossbarPin& pin) { return pin.type == PhysConn_Video_VideoDecoder; });
  if (!input || output == pins.outputs.end()) return kCrossbarPinNotFound;
  const LONG pairs[2][2] = {{output->index, input->index}, {output->related, input->related}};
  for (const auto& pair : pairs) {
    HRESULT hr = crossbar->CanRoute(pair[0], pair[1]);
    if (hr != S_OK && hr != S_FALSE) return hr;
    hr = crossbar->Route(pair[0], pair[1]);
    if (hr != S_OK && hr != S_FALSE) return hr;
  }
  return S_OK;
}

CrossbarRouter::~CrossbarRouter() { CrossbarRouter::Release(); }

HRESULT CrossbarRouter::Build(const DeviceIdentity& identity, const wchar_t* friendlyName) {
  if (IsReady()) return S_OK;
  RETURN_IF_FAILED(CreateGraph());
  DeviceFilterEntry entry{&kCategoryKsCrossbar, &identity, {}, &crossbarFilter_};
  const std::wstring name = friendlyName ? friendlyName : L"";
  if (name.empty() || name.size() >= std::size(entry.name)) return E_INVALIDARG;
  std::copy(name.begin(), name.end(), entry.name);
  RETURN_IF_FAILED(AddDeviceFilters(&entry, 1));
  InterfaceQuery query{crossbarFilter_, &IID_IAMCrossbar, reinterpret_cast<void**>(&crossbar_)};
  RETURN_IF_FAILED(QueryInterfaces(&query, 1));
  RETURN_IF_FAILED(pins_.Read(crossbar_));
  return QueryControl();
}

HRESULT CrossbarRouter::RouteInput(LONG type, ULONG ordinal) {
  return RouteCrossbarInput(crossbar_, pins_, type, ordinal);
}

HRESULT CrossbarRouter::Release() {
  RemoveFilters(&crossbarFilter_, 1);
  IUnknown** held[] = {reinterpret_cast<IUnknown**>(&crossbar_), reinterpret_cast<IUnknown**>(&crossbarFilter_)};
  ReleaseAll(held, 2);
  pins_.inputs.clear();
  pins_.outputs.clear();
  return FilterGraphHolder::Release();
}

void ProcAmpRanges::Insert(LONG property, LONG minimum, LONG maximum) {
  if (!Has(property)) entries_.push_back({property, minimum, maximum});
}

bool ProcAmpRanges::Has(LONG property) const noexcept {
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.property == property; });
}

LONG ProcAmpRanges::Clamp(LONG property, LONG value) const noexcept {
  for (const Entry& e : entries_)
    if (e.property == property) return std::clamp(value, e.minimum, e.maximum);
  return 0;
}

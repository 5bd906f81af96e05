#include "devices/core/custom_video_chain_builder.h"

#include <wrl/client.h>

#include <new>
#include <utility>

#include "common/hresult.h"
#include "devices/core/outside_filters.h"
#include "devices/core/planar_pack_converter.h"
#include "filters/include/filter_interfaces.h"

HRESULT CustomVideoChainBuilder::Create(IHalItem* item, const ChainSettings& familySettings, const ChainPolicy& policy,
                                        bool usesPacer, std::unique_ptr<VideoChainBuilder>* out) {
  if (!out) return E_INVALIDARG;
  out->reset();
  ChainDevice device;
  const HRESULT hr = ReadDevice(item, familySettings, &device);
  if (FAILED(hr)) return hr;
  return GuardHr(errors::kChainFailure, [&]() -> HRESULT {
    try {
      *out = std::make_unique<CustomVideoChainBuilder>(std::move(device), usesPacer, policy);
    } catch (const std::bad_alloc&) {
      return E_POINTER;
    }
    return S_OK;
  });
}

bool CustomVideoChainBuilder::ProcessingSetsFieldOrder(int kind) const {
  std::unique_ptr<FilterWrapper> trial = MakeProcessingFilter(kind);
  if (!trial || FAILED(trial->CreateFilter(graph()))) return false;
  Microsoft::WRL::ComPtr<IPlanarFieldOrder> planar;
  const HRESULT hr = trial->QueryFilterInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf()));
  planar.Reset();
  trial->RemoveFromGraph();
  return SUCCEEDED(hr);
}

HRESULT CustomVideoChainBuilder::AddChainHead(int kind) {
  if (policy().customHead != ChainHeadRule::PlanarPackUnlessFieldOrder) return S_OK;
  if (device().settings.tunerNumber != 1 || ProcessingSetsFieldOrder(kind)) return S_OK;
  return Append(std::make_unique<rul::PlanarConverterFilter>(device().settings));
}

namespace pex {

ChainSource OsdChainSource(const ChainSource& source) {
  ChainSource osd = source;
  osd.customClsid = outside::kClsidOsd;
  osd.customModule = outside::kOsdFile;
  osd.customName = L"CUSTOM FILTER";
  return osd;
}

}  // namespace pex

#include "devices/core/planar_pack_converter.h"

#include <wrl/client.h>

#include "devices/core/outside_filters.h"
#include "filters/include/filter_interfaces.h"

namespace rul {

PlanarConverterFilter::PlanarConverterFilter(const ChainSettings& settings)
    : OptionalFilter(settings, {outside::kClsidPlanarPack, outside::kPlanarPackFile, kGraphName}),
      recRunning_(board_settings::OpenRecRunningEvent(settings.recRunningEvent)) {}

LONG PlanarConverterFilter::FieldOrder() const {
  return board_settings::ReadPlanarFieldOrder(settings(), recRunning_.get());
}

HRESULT PlanarConverterFilter::ApplyFieldOrder() {
  Microsoft::WRL::ComPtr<IPlanarFieldOrder> planar;
  const HRESULT hr = QueryFilterInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf()));
  if (FAILED(hr)) return hr;
  return planar->SetFieldOrder(FieldOrder());
}

}  // namespace rul

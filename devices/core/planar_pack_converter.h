// The second family's planar converter in the preview video chain: the system's PlanarPack
// filter (field-planar video to YUY2) in place of the deinterlacing filter's own converter.
// Only its field order is set ("field order rec"/"norec" under the board key's "Planer", chosen
// by the RecRunning event): PlanarPack has no processing settings.
#pragma once

#include <windows.h>

#include "common/handles.h"
#include "devices/core/optional_filter.h"

namespace rul {

class PlanarConverterFilter final : public OptionalFilter {
 public:
  // Opens the device's RecRunning event by the name in `settings`.
  explicit PlanarConverterFilter(const ChainSettings& settings);

  // PlanarPack by class identifier or from "PlanarPack.ax" beside the device manager, as the
  // settings' creation rule says, named "ZARN Planer YUY2 Convert Filter".
  using OptionalFilter::CreateFilter;
  // Sets the field order through the filter's IPlanarFieldOrder: a failing query or set is
  // returned.
  HRESULT ApplyFieldOrder();
  HRESULT Configure() override { return ApplyFieldOrder(); }

  LONG FieldOrder() const;

  static constexpr wchar_t kGraphName[] = L"ZARN Planer YUY2 Convert Filter";

 private:
  UniqueHandle recRunning_;
};

}  // namespace rul

// The system's deinterlacing filter in the preview video chain: as a deinterlacer (`TeskFilter`)
// or as the planar converter (`PlanarConverterFilter`). Once the chain is connected the field
// order, frame dropping and, for the converter, the processing switches are set; the switches
// are written by name straight into the filter's parameter table, then the filter applies them.
#pragma once

#include <windows.h>

#include "common/handles.h"
#include "devices/core/optional_filter.h"
#include "filters/include/parameter_table_layout.h"

// Writes into a parameter table that another module owns. The walk trusts nothing of that
// memory: it visits at most the table's capacity of records whatever count the table claims,
// skips missing records and compares names within their fixed size.
class ParameterTable {
 public:
  // Stores `value`, clamped to the record's range, into the first record named exactly `name`.
  // 0 when written; -1 when no record has that name (or the table is null or empty).
  static int SetByName(deinterlace::ParameterTableLayout* table, const char* name, int value);
};

// The setters over a filter's ITeskSettings: each takes the table, writes, then applies.
// A name missing from the table gives 0x8007F036 without applying; a failing interface call
// gives its code.
namespace tesk_settings {

HRESULT SetFrameDrop(IUnknown* filter, LONG on, LONG time);
HRESULT SetDeinterlaceMode(IUnknown* filter, LONG mode);
HRESULT SetContrast(IUnknown* filter, LONG on, LONG factor);
HRESULT SetSharpness(IUnknown* filter, LONG on, LONG factor, LONG coring);
// SetDeinterlaceMode, SetContrast, SetSharpness in this order; the first failure is returned.
HRESULT ApplyProcessing(IUnknown* filter, LONG mode, LONG contrastOn, LONG contrastFactor, LONG sharpnessOn,
                        LONG sharpnessFactor, LONG sharpnessCoring);

}  // namespace tesk_settings

class TeskFilter : public OptionalFilter {
 public:
  // Opens the device's RecRunning event by the name in `settings`.
  explicit TeskFilter(const ChainSettings& settings);

  HRESULT Configure() override;

  HRESULT SetFrameDrop(LONG on, LONG time) { return tesk_settings::SetFrameDrop(filter(), on, time); }
  HRESULT SetDeinterlaceMode(LONG mode) { return tesk_settings::SetDeinterlaceMode(filter(), mode); }
  HRESULT SetContrast(LONG on, LONG factor) { return tesk_settings::SetContrast(filter(), on, factor); }
  HRESULT SetSharpness(LONG on, LONG factor, LONG coring) {
    return tesk_settings::SetSharpness(filter(), on, factor, coring);
  }

  // The settings Configure applies (board-information registry, RecRunning event).
  LONG FilterFieldOrder() const;
  LONG PlanarFieldOrder() const;
  struct FrameDrop {
    LONG on;
    LONG time;
  };
  static FrameDrop ReadFrameDrop();

 private:
  bool IsBoard18Tuner1() const { return settings().boardType == 18 && settings().tunerNumber == 1; }

  UniqueHandle recRunning_;
};

class PlanarConverterFilter final : public TeskFilter {
 public:
  using TeskFilter::TeskFilter;
  // The deinterlacer's configuration, then deinterlace mode 1 with contrast and sharpness off.
  HRESULT Configure() override;
};

// The second family's tuner and input object: the numbered tuner, crossbar and capture filters of
// one tuner of the board ("DORU TvTuner n" ..., n = tuner index + 1) in a graph of their own,
// input reading and selection through the crossbar, the picture controls, and the tuner's
// driver requests through a StreamingDeviceControl of its own.
//
// SetDeviceItem and Build throw HResultError; every other operation returns its HRESULT.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstdint>
#include <memory>

#include <wrl/client.h>

#include "devices/core/tuning/crossbar_router.h"
#include "devices/core/tuning/tuner_filters.h"
#include "devices/idl/device_manager.h"
#include "devices/tuner2/streaming_device_control.h"
#include "devices/tuner2/tuner_graph.h"

namespace rul {

class TunerControl : public TunerGraph {
 public:
  static constexpr long kTunerIndexType = 8;  // device item: 0-based tuner index
  static constexpr long kTunerCountType = 9;  // device item: tuners on the board

  TunerControl() = default;
  ~TunerControl() override;

  // SetDeviceItem and Build are the base's: Build binds the tuner's three filters by category,
  // device path and numbered name, takes their interfaces and the crossbar's pins, and opens
  // the streaming device control; a failure leaves nothing built (the item stays).
  void Teardown() noexcept override { ReleaseGraphObjects(); }
  // Releases the link, the filters and the graph, and the item (index -1 again).
  virtual void ReleaseFilters();

  // IAMTVTuner input 0: cable gives 2, antenna 1, any other type errors::kTunerInputTypeUnknown.
  HRESULT GetInputType(DWORD* type);
  // The band routed to the decoder: 1 for the tuner, 0x20000020 / 0x10100020 / 0x20 for the
  // first / second / a later AUX input.
  HRESULT GetCurrentBand(DWORD* band);
  // Tuner bands (bits 0-1) route the tuner input, bit 5 an AUX input: the second when bits
  // 20-27 are not zero, else the first. E_INVALIDARG for a band with neither.
  HRESULT SelectInput(DWORD band);

  // The picture controls by one-bit mask (any other mask reaches the filter as property -1).
  HRESULT GetProcAmpRange(DWORD mask, LONG* minimum, LONG* maximum, LONG* step, LONG* defaultValue, LONG* automatic);
  HRESULT SetProcAmp(DWORD mask, LONG value);
  HRESULT GetProcAmp(DWORD mask, LONG* value);

  // Driver requests for this tuner: errors::kNoStreamingControl without a link.
  HRESULT SetFrequency(DWORD frequency, DWORD mode);  // sends mode 2 for 1, else 1
  HRESULT GetFrequency(DWORD* frequency);             // E_INVALIDARG for a null pointer
  HRESULT SetCaptureSwitch0(DWORD value);
  HRESULT GetCaptureSwitch0(BOOL* on);  // E_INVALIDARG for a null pointer
  HRESULT SetCaptureSwitch1(DWORD value);
  HRESULT GetCaptureSwitch1(BOOL* on);
  // Switch 0 off when it reads on (or cannot be read), then scan mode 0.
  HRESULT BeginAutoScan();
  HRESULT SetAutoScanMode();  // scan mode 1
  // The driver's code 0 to 4 as -128, -64, 0, 63, 127; any other code -128.
  HRESULT GetSignalLevel(LONG* level);

 private:
  template <class F>
  HRESULT WithLink(F&& request);
  HRESULT ReadSwitch(void (StreamingDeviceControl::*get)(StreamingDeviceControl::ValueRecord*), BOOL* on);
  void BuildSteps(const DeviceIdentity& identity) override;
  void ReleaseGraphObjects() noexcept;

  TunerFilters filters_;
  CrossbarRouter router_;
  std::unique_ptr<StreamingDeviceControl> link_;
};

}  // namespace rul

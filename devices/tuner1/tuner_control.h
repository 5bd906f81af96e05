// The first family's hold on the tuning side of a card: its tuner, crossbar and capture filters
// in a graph of their own (never run: it only keeps their control interfaces valid) and an
// encoder link of its own for the driver's private requests. Built by IInputSwitch::Initialize;
// answers which input is routed, routes another, tunes and reads the signal level, switches
// the scan mode and reads or sets the picture controls.
//
// Input values: 1 and 2 are the tuner's inputs (bits 0-1), values with bit 5 (0x20) external
// inputs, bits 20-27 of an external value its ordinal (0x20000020 the first, 0x10100020 the
// second, as the base-channel list offers them).
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <memory>

#include "common/device/filter_graph_holder.h"
#include "devices/core/tuning/crossbar_router.h"
#include "devices/core/tuning/tuner_filters.h"
#include "devices/idl/device_manager.h"
#include "devices/tuner1/encoder_control.h"

class TunerControl : public FilterGraphHolder {
 public:
  static constexpr ULONG kSecondExternal = CrossbarRouter::kSecondExternalBand;

  ~TunerControl() override;

  // Builds the graph: the three filters of the device, their control interfaces, the crossbar
  // pin lists and the encoder link. S_OK at once when built. A failure before the encoder link
  // is returned; the encoder link's own open failure is returned with the graph built and no
  // link kept.
  HRESULT Build(const DeviceIdentity* identity);
  HRESULT KeepDeviceItem(IHalItem* item);

  HRESULT GetInputType(ULONG* type);        // 1 antenna, 2 cable
  // The band of the routed input. The second composite input reads as 0x10100020, the value
  // the device's band list offers: its bits 20-27 name the second input, so SetInput and the
  // channel comparison of SetChannel route it back to the same pin.
  HRESULT GetCurrentInput(ULONG* input);
  // 0x8007F051 for a band naming neither a tuner nor an external input, 0x8007F041 unbuilt.
  HRESULT SetInput(ULONG input);
  HRESULT Tune(ULONG frequency, ULONG mode);  // mode 0 normal, non-zero scanning
  HRESULT GetTunedFrequency(ULONG* frequency);
  HRESULT SetScanMode();    // the driver's scan switch to 0
  HRESULT ClearScanMode();  // and back to 1
  HRESULT GetCaptureSwitch(ULONG* value);
  HRESULT SetCaptureSwitch(ULONG value);
  HRESULT SetVideoSwitch0(ULONG) { return E_NOTIMPL; }  // not supported by this family
  // -128, -64, 0, 63 or 127 for the driver's level 0 to 4.
  HRESULT GetSignalLevel(long* level);
  // Picture controls by property bit (1 << VideoProcAmpProperty); any other value reaches the
  // capture filter as property -1.
  HRESULT GetProcAmpRange(long bit, long* minimum, long* maximum, long* step, long* defaultValue, long* automatic);
  HRESULT SetProcAmp(long bit, long value);
  HRESULT GetProcAmp(long bit, long* value);

  HRESULT Release() override;

  EncoderControl* encoder() const noexcept { return encoder_.get(); }

 private:
  TunerFilters filters_;
  CrossbarRouter router_;
  Microsoft::WRL::ComPtr<IHalItem> item_;
  std::unique_ptr<EncoderControl> encoder_;
};

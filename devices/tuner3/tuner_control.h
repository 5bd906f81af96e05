// The third family's tuner side: the "TAVO" tuner, crossbar and capture filters of one device in
// a graph of their own, input routing through the crossbar, the tuner's channel and input type,
// the picture controls, and the driver properties that the standard tuner interfaces lack, sent
// through the filters' IKsPropertySet. Nothing throws: every operation returns its HRESULT, and
// every one but Build answers E_POINTER before the object is built or for a null out-pointer.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstdint>

#include <wrl/client.h>

#include "common/device/device_identity.h"
#include "common/device/filter_graph_holder.h"
#include "devices/core/tuning/crossbar_router.h"
#include "devices/core/tuning/tuner_filters.h"

// The driver's property sets.
// {C7A58D4E-9EAF-4701-A416-C3E2ED2740F9} (tuner): 0 scan mode, 1 frequency, 2 signal level.
constexpr GUID PexTunerPropertySet = {0xC7A58D4E, 0x9EAF, 0x4701, {0xA4, 0x16, 0xC3, 0xE2, 0xED, 0x27, 0x40, 0xF9}};
// {D8A919C5-6E3F-403E-B7AE-EBF35092EA12} (tuner): 2 switching flag.
constexpr GUID PexSwitchingPropertySet = {0xD8A919C5, 0x6E3F, 0x403E, {0xB7, 0xAE, 0xEB, 0xF3, 0x50, 0x92, 0xEA, 0x12}};
// {DD58719E-435E-4611-8411-4292A17F9353} (capture): 4 capture switch A, 3 capture switch B.
constexpr GUID PexCapturePropertySet = {0xDD58719E, 0x435E, 0x4611, {0x84, 0x11, 0x42, 0x92, 0xA1, 0x7F, 0x93, 0x53}};

namespace pex {

class TunerControl : public FilterGraphHolder {
 public:
  TunerControl() = default;
  ~TunerControl() override;

  // Binds "TAVO TvTuner", "TAVO Crossbar" and "TAVO Capture" of the device, takes their six
  // interfaces and the crossbar's pins. S_OK at once when built; a failure leaves nothing built.
  virtual HRESULT Build(const DeviceIdentity& identity);
  virtual HRESULT Teardown();

  // Bit 0 antenna (wins), else bit 1 cable, else E_INVALIDARG.
  HRESULT SetInputType(DWORD flags);
  HRESULT GetInputType(int* type);  // antenna 1, cable 2, else errors::kTunerInputTypeUnknown
  HRESULT SetChannel(int channel);  // default video and audio subchannels
  HRESULT GetChannel(int* channel);

  // Driver properties; a property the filter does not support gives its own 0x8007Axxx code,
  // a Get whose reply ends before the value errors::kInvalidData (nothing is written then).
  HRESULT SetFrequency(int frequency, int mode);  // tuning mode 2 when `mode` is 1, else 1
  HRESULT GetFrequency(int* frequency);
  HRESULT GetSignalLevel(int* level);  // code 1..4 as -64, 0, 63, 127; any other -128
  HRESULT SetSwitchingFlag(int value);
  HRESULT SetCaptureSwitchA(int value);
  HRESULT GetCaptureSwitchA(int* value);
  HRESULT SetCaptureSwitchB(int value);
  HRESULT GetCaptureSwitchB(int* value);
  // Mode not 0 routes the first tuner input first; writes scan mode 0 for mode 1, else 1.
  HRESULT SetScanMode(int mode);

  // Tuner bands (bits 0-1) route tuner input 0; external bands (bit 5 or 6) the AUX input of
  // ordinal bits 20-27; any other band E_INVALIDARG.
  HRESULT SetInput(DWORD band);
  // The band routed to the decoder (a later decoder output wins); a later AUX input n reads
  // as (n << 20) | 0x20.
  HRESULT GetInput(DWORD* band);
  HRESULT RouteInput(int physicalType, int ordinal);

  // The picture controls by one-bit mask (any other mask reaches the filter as property -1).
  HRESULT GetProcAmpRange(DWORD mask, LONG* minimum, LONG* maximum, LONG* step, LONG* defaultValue, LONG* automatic);
  HRESULT SetProcAmp(DWORD mask, LONG value);
  HRESULT GetProcAmp(DWORD mask, LONG* value);

 public:
  struct Property;  // one driver property (the source defines them)

 private:
  HRESULT SetProperty(const Property& property, int value1, int value2 = 0);
  HRESULT GetProperty(const Property& property, int* value);
  HRESULT Exchange(const Property& property, DWORD flags, int* values);

  TunerFilters filters_;
  Microsoft::WRL::ComPtr<IKsPropertySet> tunerProperties_, captureProperties_;
  CrossbarRouter router_;
};

}  // namespace pex

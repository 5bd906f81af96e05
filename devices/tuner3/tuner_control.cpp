#include "devices/tuner3/tuner_control.h"

#include <cstddef>

#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/link/packet_codecs.h"
#include "devices/core/tuning/proc_amp.h"
#include "devices/core/tuning/signal_level.h"

namespace pex {

// One driver property: where it lives, its record and the code when it is not supported.
struct TunerControl::Property {
  bool onTuner;
  const GUID* set;
  DWORD id;
  bool twoValues;
  HRESULT unsupported;
};

namespace {

constexpr DWORD kTunerBandBits = 0x3;
constexpr DWORD kExternalBandBits = 0x60;
constexpr DWORD kOrdinalShift = 20;
constexpr DWORD kOrdinalMask = 0xFF;
constexpr DWORD kFlagGet = 1;  // KSPROPERTY_TYPE_GET
constexpr DWORD kFlagSet = 2;  // KSPROPERTY_TYPE_SET

}  // namespace

TunerControl::~TunerControl() { Teardown(); }

HRESULT TunerControl::Build(const DeviceIdentity& identity) {
  if (IsReady()) return S_OK;
  HRESULT hr = CreateGraph();
  if (SUCCEEDED(hr)) hr = filters_.Add(*this, identity, L"TAVO TvTuner", L"TAVO Crossbar", L"TAVO Capture");
  if (SUCCEEDED(hr)) {
    InterfaceQuery queries[2] = {
        {filters_.tuner.Get(), &IID_IKsPropertySet,
         reinterpret_cast<void**>(tunerProperties_.ReleaseAndGetAddressOf())},
        {filters_.capture.Get(), &IID_IKsPropertySet,
         reinterpret_cast<void**>(captureProperties_.ReleaseAndGetAddressOf())},
    };
    hr = QueryInterfaces(queries, 2);
  }
  if (SUCCEEDED(hr)) hr = router_.Attach(filters_.crossbarControl.Get());
  if (SUCCEEDED(hr)) hr = QueryControl();
  if (FAILED(hr)) Teardown();
  return hr;
}

HRESULT TunerControl::Teardown() {
  router_.Detach();
  tunerProperties_.Reset();
  captureProperties_.Reset();
  filters_.Remove(*this);
  return FilterGraphHolder::Release();
}

HRESULT TunerControl::SetInputType(DWORD flags) {
  if (!IsReady()) return E_POINTER;
  return filters_.SetInputType(flags);
}

HRESULT TunerControl::GetInputType(int* type) {
  if (!IsReady() || !type) return E_POINTER;
  DWORD number = 0;
  RETURN_IF_FAILED(filters_.GetInputType(&number));
  *type = static_cast<int>(number);
  return S_OK;
}

HRESULT TunerControl::SetChannel(int channel) {
  if (!IsReady()) return E_POINTER;
  return filters_.tvTuner->put_Channel(channel, -1, -1);  // AMTUNER_SUBCHAN_DEFAULT for both
}

HRESULT TunerControl::GetChannel(int* channel) {
  if (!IsReady() || !channel) return E_POINTER;
  long number = 0, video = 0, audio = 0;
  const HRESULT hr = filters_.tvTuner->get_Channel(&number, &video, &audio);
  if (SUCCEEDED(hr)) *channel = number;
  return hr;
}

namespace {
const TunerControl::Property kScanMode{true, &PexTunerPropertySet, 0, false, errors::kKsScanModeUnsupported};
const TunerControl::Property kFrequency{true, &PexTunerPropertySet, 1, true, errors::kKsFrequencyUnsupported};
const TunerControl::Property kSignalLevel{true, &PexTunerPropertySet, 2, false, errors::kKsSignalLevelUnsupported};
const TunerControl::Property kSwitchingFlag{true, &PexSwitchingPropertySet, 2, false,
                                            errors::kKsSwitchingFlagUnsupported};
const TunerControl::Property kCaptureSwitchA{false, &PexCapturePropertySet, 4, false,
                                             errors::kKsCaptureSwitchAUnsupported};
const TunerControl::Property kCaptureSwitchB{false, &PexCapturePropertySet, 3, false,
                                             errors::kKsCaptureSwitchBUnsupported};
}  // namespace

HRESULT TunerControl::Exchange(const Property& property, DWORD flags, int* values) {
  if (!IsReady()) return E_POINTER;
  IKsPropertySet* target = property.onTuner ? tunerProperties_.Get() : captureProperties_.Get();
  DWORD support = 0;
  HRESULT hr = target->QuerySupported(*property.set, property.id, &support);
  if (FAILED(hr)) return hr;
  const DWORD needed = flags == kFlagSet ? KSPROPERTY_SUPPORT_SET : KSPROPERTY_SUPPORT_GET;
  if (!(support & needed)) return property.unsupported;
  // One buffer is the instance data and the property data.
  auto record = driver_packets::MakeKsPropertyRecord(*property.set, property.id, flags, values[0], values[1]);
  const DWORD size = property.twoValues ? driver_packets::kKsRecordTwoValues : driver_packets::kKsRecordOneValue;
  if (flags == kFlagSet) return target->Set(*property.set, property.id, &record, size, &record, size);
  DWORD returned = 0;
  hr = target->Get(*property.set, property.id, &record, size, &record, size, &returned);
  if (FAILED(hr)) return hr;
  // A reply that ends before the value would leave the request's own value behind it.
  if (returned < offsetof(driver_packets::KsPropertyRecord, value1) + sizeof(record.value1)) return errors::kInvalidData;
  values[0] = record.value1;
  return hr;
}

HRESULT TunerControl::SetProperty(const Property& property, int value1, int value2) {
  int values[2] = {value1, value2};
  return Exchange(property, kFlagSet, values);
}

HRESULT TunerControl::GetProperty(const Property& property, int* value) {
  if (!value) return E_POINTER;
  int values[2] = {0, 0};
  const HRESULT hr = Exchange(property, kFlagGet, values);
  if (SUCCEEDED(hr)) *value = values[0];
  return hr;
}

HRESULT TunerControl::SetFrequency(int frequency, int mode) {
  return SetProperty(kFrequency, frequency, mode == 1 ? 2 : 1);
}

HRESULT TunerControl::GetFrequency(int* frequency) { return GetProperty(kFrequency, frequency); }

HRESULT TunerControl::GetSignalLevel(int* level) {
  if (!level) return E_POINTER;
  int code = 0;
  const HRESULT hr = GetProperty(kSignalLevel, &code);
  if (SUCCEEDED(hr)) *level = static_cast<int>(SignalLevelOfCode(static_cast<std::uint32_t>(code)));
  return hr;
}

HRESULT TunerControl::SetSwitchingFlag(int value) { return SetProperty(kSwitchingFlag, value); }
HRESULT TunerControl::SetCaptureSwitchA(int value) { return SetProperty(kCaptureSwitchA, value); }
HRESULT TunerControl::GetCaptureSwitchA(int* value) { return GetProperty(kCaptureSwitchA, value); }
HRESULT TunerControl::SetCaptureSwitchB(int value) { return SetProperty(kCaptureSwitchB, value); }
HRESULT TunerControl::GetCaptureSwitchB(int* value) { return GetProperty(kCaptureSwitchB, value); }

HRESULT TunerControl::SetScanMode(int mode) {
  if (!IsReady()) return E_POINTER;
  if (mode != 0) {
    const HRESULT hr = RouteInput(PhysConn_Video_Tuner, 0);
    if (FAILED(hr)) return hr;
  }
  return SetProperty(kScanMode, mode == 1 ? 0 : 1);
}

HRESULT TunerControl::SetInput(DWORD band) {
  if (!IsReady()) return E_POINTER;
  const int ordinal = static_cast<int>((band >> kOrdinalShift) & kOrdinalMask);
  if (band & kTunerBandBits) return RouteInput(PhysConn_Video_Tuner, ordinal);
  if (band & kExternalBandBits) return RouteInput(PhysConn_Video_AUX, ordinal);
  return E_INVALIDARG;
}

HRESULT TunerControl::GetInput(DWORD* band) {
  if (!IsReady() || !band) return E_POINTER;
  std::uint32_t found = 0;
  const HRESULT hr = router_.CurrentBand(PhysConn_Video_AUX, &found, true);
  if (SUCCEEDED(hr)) *band = found;
  return hr;
}

HRESULT TunerControl::RouteInput(int physicalType, int ordinal) {
  if (!IsReady()) return E_POINTER;
  if (ordinal < 0) return errors::kNoSuchInput;
  return router_.RouteInput(physicalType, static_cast<std::uint32_t>(ordinal));
}

HRESULT TunerControl::GetProcAmpRange(DWORD mask, LONG* minimum, LONG* maximum, LONG* step, LONG* defaultValue,
                                      LONG* automatic) {
  if (!IsReady()) return E_POINTER;
  return proc_amp::GetRange(filters_.procAmp.Get(), mask, minimum, maximum, step, defaultValue, automatic);
}

HRESULT TunerControl::SetProcAmp(DWORD mask, LONG value) {
  if (!IsReady()) return E_POINTER;
  return proc_amp::Set(filters_.procAmp.Get(), mask, value);
}

HRESULT TunerControl::GetProcAmp(DWORD mask, LONG* value) {
  if (!IsReady()) return E_POINTER;
  return proc_amp::Get(filters_.procAmp.Get(), mask, value);
}

}  // namespace pex

#include "devices/tuner1/tuner_control.h"

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/tuning/proc_amp.h"
#include "devices/core/tuning/signal_level.h"


TunerControl::~TunerControl() { TunerControl::Release(); }

HRESULT TunerControl::Build(const DeviceIdentity* identity) {
  if (IsReady()) return S_OK;
  if (!identity) return errors::kTunerNullPointer;
  RETURN_IF_FAILED(CreateGraph());
  if (!graph_) return errors::kTunerNoGraph;
  RETURN_IF_FAILED(filters_.Add(*this, *identity, L"VEKA TV Tuner", L"VEKA Crossbar", L"VEKA Capture Device"));
  RETURN_IF_FAILED(router_.Attach(filters_.crossbarControl.Get()));
  RETURN_IF_FAILED(QueryControl());
  HRESULT opened = S_OK;
  try {
    encoder_ = std::make_unique<EncoderControl>(*identity, &opened);
  } catch (const HResultError& e) {
    encoder_.reset();
    return FAILED(opened) ? opened : e.code();
  }
  return opened;
}

HRESULT TunerControl::KeepDeviceItem(IHalItem* item) {
  if (!item) return errors::kTunerNullPointer;
  item_.Reset();
  ThrowIfFailed(item->Clone(item_.GetAddressOf()));
  return S_OK;
}

HRESULT TunerControl::GetInputType(ULONG* type) {
  if (!type) return errors::kTunerNullPointer;
  if (!filters_.tvTuner) return errors::kTunerNullPointer;
  return filters_.GetInputType(type);
}

HRESULT TunerControl::GetCurrentInput(ULONG* input) {
  if (!input) return errors::kTunerNullPointer;
  if (!router_.attached()) return errors::kTunerNullPointer;
  std::uint32_t band = 0;
  RETURN_IF_FAILED(router_.CurrentBand(PhysConn_Video_Composite, &band));
  *input = band;
  return S_OK;
}

HRESULT TunerControl::SetInput(ULONG input) {
  if ((input & 0x23) == 0) return errors::kTunerInvalidInput;
  if (!router_.attached()) return errors::kTunerNullPointer;
  LONG type = 0;
  std::uint32_t ordinal = 0;
  CrossbarRouter::InputOfBand(input, PhysConn_Video_Composite, &type, &ordinal);
  return router_.RouteInput(type, ordinal);
}

HRESULT TunerControl::Tune(ULONG frequency, ULONG mode) {
  if (!encoder_) return errors::kNoEncoderLink;
  encoder_->SetFrequency(frequency, mode == 0 ? 1 : 2);
  return S_OK;
}

HRESULT TunerControl::GetTunedFrequency(ULONG* frequency) {
  if (!frequency) return errors::kTunerNullPointer;
  if (!encoder_) return errors::kNoEncoderLink;
  std::uint32_t value = 0;
  RETURN_IF_FAILED(encoder_->GetFrequency(&value, nullptr));
  *frequency = value;
  return S_OK;
}

HRESULT TunerControl::SetScanMode() {
  if (!encoder_) return errors::kNoEncoderLink;
  encoder_->SetScanSwitch(FALSE);
  return S_OK;
}

HRESULT TunerControl::ClearScanMode() {
  if (!encoder_) return errors::kNoEncoderLink;
  encoder_->SetScanSwitch(TRUE);
  return S_OK;
}

HRESULT TunerControl::GetCaptureSwitch(ULONG* value) {
  if (!value) return errors::kTunerNullPointer;
  if (!encoder_) return errors::kNoEncoderLink;
  std::uint32_t v = 0;
  RETURN_IF_FAILED(encoder_->GetCaptureSwitch(&v));
  *value = v;
  return S_OK;
}

HRESULT TunerControl::SetCaptureSwitch(ULONG value) {
  if (!encoder_) return errors::kNoEncoderLink;
  encoder_->SetCaptureSwitch(value);
  return S_OK;
}

HRESULT TunerControl::GetSignalLevel(long* level) {
  if (!level) return errors::kTunerNullPointer;
  if (!encoder_) return errors::kNoEncoderLink;
  std::uint32_t raw = 0;
  ThrowIfFailed(encoder_->GetSignalLevel(&raw));
  *level = SignalLevelOfCode(raw);
  return S_OK;
}

HRESULT TunerControl::GetProcAmpRange(long bit, long* minimum, long* maximum, long* step, long* defaultValue,
                                      long* automatic) {
  if (!minimum || !maximum || !step || !defaultValue || !automatic) return errors::kTunerNullPointer;
  if (!filters_.procAmp) return errors::kTunerNullPointer;
  return proc_amp::GetRange(filters_.procAmp.Get(), static_cast<std::uint32_t>(bit), minimum, maximum, step,
                            defaultValue, automatic);
}

HRESULT TunerControl::SetProcAmp(long bit, long value) {
  if (!filters_.procAmp) return errors::kTunerNullPointer;
  return proc_amp::Set(filters_.procAmp.Get(), static_cast<std::uint32_t>(bit), value);
}

HRESULT TunerControl::GetProcAmp(long bit, long* value) {
  if (!value) return errors::kTunerNullPointer;
  if (!filters_.procAmp) return errors::kTunerNullPointer;
  return proc_amp::Get(filters_.procAmp.Get(), static_cast<std::uint32_t>(bit), value);
}

HRESULT TunerControl::Release() {
  router_.Detach();
  filters_.Remove(*this);
  item_.Reset();
  encoder_.reset();
  return FilterGraphHolder::Release();
}

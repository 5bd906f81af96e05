#include "devices/tuner2/tuner_control.h"

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/tuning/proc_amp.h"
#include "devices/core/tuning/signal_level.h"

namespace rul {
namespace {

constexpr DWORD kTunerBandBits = 0x3;
constexpr DWORD kExternalBandBit = 0x20;

}  // namespace

TunerControl::~TunerControl() { ReleaseFilters(); }

void TunerControl::BuildSteps(const DeviceIdentity& identity) {
  ThrowIfFailed(filters_.Add(*this, identity, FilterName(L"DORU TvTuner %u").c_str(),
                             FilterName(L"DORU Crossbar %u").c_str(), FilterName(L"DORU Capture %u").c_str()));
  ThrowIfFailed(router_.Attach(filters_.crossbarControl.Get()));
  ThrowIfFailed(QueryControl());
  HRESULT opened = E_FAIL;
  link_ = std::make_unique<StreamingDeviceControl>(identity, &opened);
}

void TunerControl::ReleaseGraphObjects() noexcept {
  link_.reset();
  router_.Detach();
  filters_.Remove(*this);
  FilterGraphHolder::Release();
}

void TunerControl::ReleaseFilters() {
  ReleaseGraphObjects();
  item_.Reset();
  tunerIndex_ = -1;
}

HRESULT TunerControl::GetInputType(DWORD* type) {
  if (!type || !filters_.tvTuner) return E_POINTER;
  return filters_.GetInputType(type);
}

HRESULT TunerControl::GetCurrentBand(DWORD* band) {
  if (!band) return E_POINTER;
  *band = 0;
  if (!IsReady()) return E_POINTER;
  std::uint32_t found = 0;
  const HRESULT hr = router_.CurrentBand(PhysConn_Video_AUX, &found);
  if (SUCCEEDED(hr)) *band = found;
  return hr;
}

HRESULT TunerControl::SelectInput(DWORD band) {
  if (!IsReady()) return E_POINTER;
  if (!(band & (kTunerBandBits | kExternalBandBit))) return E_INVALIDARG;
  LONG type = 0;
  std::uint32_t ordinal = 0;
  CrossbarRouter::InputOfBand(band, PhysConn_Video_AUX, &type, &ordinal);
  // This family knows two inputs per type: any ordinal chooses the second.
  return router_.RouteInput(type, ordinal ? 1 : 0);
}

HRESULT TunerControl::GetProcAmpRange(DWORD mask, LONG* minimum, LONG* maximum, LONG* step, LONG* defaultValue,
                                      LONG* automatic) {
  return proc_amp::GetRange(filters_.procAmp.Get(), mask, minimum, maximum, step, defaultValue, automatic);
}

HRESULT TunerControl::SetProcAmp(DWORD mask, LONG value) { return proc_amp::Set(filters_.procAmp.Get(), mask, value); }

HRESULT TunerControl::GetProcAmp(DWORD mask, LONG* value) { return proc_amp::Get(filters_.procAmp.Get(), mask, value); }

template <class F>
HRESULT TunerControl::WithLink(F&& request) {
  if (!link_) return errors::kNoStreamingControl;
  return GuardHr(E_FAIL, std::forward<F>(request));
}

HRESULT TunerControl::SetFrequency(DWORD frequency, DWORD mode) {
  return WithLink([&] { link_->Tune(static_cast<std::uint32_t>(tunerIndex_), frequency, mode == 1 ? 2 : 1); });
}

HRESULT TunerControl::GetFrequency(DWORD* frequency) {
  if (!frequency) return E_INVALIDARG;
  return WithLink([&] {
    StreamingDeviceControl::FrequencyRecord record = {static_cast<std::uint32_t>(tunerIndex_), 0, 0};
    link_->GetTunedFrequency(&record);
    *frequency = record[1];
  });
}

HRESULT TunerControl::SetCaptureSwitch0(DWORD value) {
  return WithLink([&] { link_->SetCaptureSwitch0(static_cast<std::uint32_t>(tunerIndex_), value); });
}

HRESULT TunerControl::GetCaptureSwitch0(BOOL* on) { return ReadSwitch(&StreamingDeviceControl::GetCaptureSwitch0, on); }

HRESULT TunerControl::SetCaptureSwitch1(DWORD value) {
  return WithLink([&] { link_->SetCaptureSwitch1(static_cast<std::uint32_t>(tunerIndex_), value); });
}

HRESULT TunerControl::GetCaptureSwitch1(BOOL* on) { return ReadSwitch(&StreamingDeviceControl::GetCaptureSwitch1, on); }

HRESULT TunerControl::ReadSwitch(void (StreamingDeviceControl::*get)(StreamingDeviceControl::ValueRecord*), BOOL* on) {
  if (!on) return E_INVALIDARG;
  return WithLink([&] {
    StreamingDeviceControl::ValueRecord record = {static_cast<std::uint32_t>(tunerIndex_), 0};
    (link_.get()->*get)(&record);
    *on = record[1] != 0;
  });
}

HRESULT TunerControl::BeginAutoScan() {
  return WithLink([&] {
    const auto tuner = static_cast<std::uint32_t>(tunerIndex_);
    BOOL on = TRUE;  // a switch that cannot be read counts as on
    if (FAILED(GetCaptureSwitch0(&on)) || on) link_->SetCaptureSwitch0(tuner, 0);
    link_->SetScanMode(tuner, 0);
  });
}

HRESULT TunerControl::SetAutoScanMode() {
  return WithLink([&] { link_->SetScanMode(static_cast<std::uint32_t>(tunerIndex_), 1); });
}

HRESULT TunerControl::GetSignalLevel(LONG* level) {
  if (!level) return E_INVALIDARG;
  return WithLink([&] {
    StreamingDeviceControl::ValueRecord record = {static_cast<std::uint32_t>(tunerIndex_), 0};
    link_->GetSignalLevel(&record);
    *level = SignalLevelOfCode(record[1]);
  });
}

}  // namespace rul

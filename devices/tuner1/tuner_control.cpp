#include "devices/tuner1/tuner_control.h"

#include <iterator>

#include "common/device/device_identity.h"
#include "common/hresult.h"

using namespace tuner_codes;

namespace {

// VideoProcAmpProperty of a single bit 1 << n (n 0 to 9), else -1.
long ProcAmpProperty(long bit) {
  for (long n = 0; n < 10; ++n)
    if (bit == (1L << n)) return n;
  return -1;
}

}  // namespace

TunerControl::~TunerControl() { TunerControl::Release(); }

HRESULT TunerControl::Build(const DeviceIdentity* identity) {
  if (IsReady()) return S_OK;
  if (!identity) return kNullPointer;
  RETURN_IF_FAILED(CreateGraph());
  if (!graph_) return kNoGraph;
  DeviceFilterEntry filters[] = {
      {&kCategoryKsTvTuner, identity, L"VEKA TV Tuner", &tunerFilter_},
      {&kCategoryKsCrossbar, identity, L"VEKA Crossbar", &crossbarFilter_},
      {&CLSID_VideoInputDeviceCategory, identity, L"VEKA Capture Device", &captureFilter_},
  };
  RETURN_IF_FAILED(AddDeviceFilters(filters, static_cast<int>(std::size(filters))));
  InterfaceQuery queries[] = {
      {tunerFilter_, &IID_IAMTVTuner, reinterpret_cast<void**>(&tuner_)},
      {crossbarFilter_, &IID_IAMCrossbar, reinterpret_cast<void**>(&crossbar_)},
      {captureFilter_, &IID_IAMAnalogVideoDecoder, reinterpret_cast<void**>(&decoder_)},
      {captureFilter_, &IID_IAMVideoProcAmp, reinterpret_cast<void**>(&procAmp_)},
  };
  RETURN_IF_FAILED(QueryInterfaces(queries, static_cast<int>(std::size(queries))));
  RETURN_IF_FAILED(pins_.Read(crossbar_));
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
  if (!item) return kNullPointer;
  item_.Reset();
  ThrowIfFailed(item->Clone(item_.GetAddressOf()));
  return S_OK;
}

HRESULT TunerControl::GetInputType(ULONG* type) {
  if (!type) return kNullPointer;
  if (!tuner_) return kNullPointer;
  TunerInputType input = TunerInputCable;
  RETURN_IF_FAILED(tuner_->get_InputType(0, &input));
  if (input == TunerInputAntenna) {
    *type = 1;
  } else if (input == TunerInputCable) {
    *type = 2;
  } else {
    return kUnknownInputType;
  }
  return S_OK;
}

HRESULT TunerControl::GetCurrentInput(ULONG* input) {
  if (!input) return kNullPointer;
  if (!crossbar_) return kNullPointer;
  ULONG result = 0;
  for (const CrossbarPin& output : pins_.outputs) {
    if (output.type != PhysConn_Video_VideoDecoder) continue;
    LONG routed = -1;
    RETURN_IF_FAILED(crossbar_->get_IsRoutedTo(output.index, &routed));
    ULONG composites = 0;
    for (const CrossbarPin& pin : pins_.inputs) {
      if (pin.index == routed) {
        if (pin.type == PhysConn_Video_Tuner) {
          result = 1;
        } else if (pin.type == PhysConn_Video_Composite) {
          // The second composite is reported as the base-channel list offers it, so that it
          // routes back to itself.
          result = composites == 0 ? 0x20000020 : composites == 1 ? kSecondExternal : 0x20;
        } else {
          return kUnsupportedInput;
        }
        break;
      }
      if (pin.type == PhysConn_Video_Composite) ++composites;
    }
  }
  if (result == 0) return kNoRoutedInput;
  *input = result;
  return S_OK;
}

HRESULT TunerControl::SetInput(ULONG input) {
  if ((input & 0x23) == 0) return kInvalidInput;
  const LONG type = (input & 3) ? PhysConn_Video_Tuner : PhysConn_Video_Composite;
  return RouteCrossbarInput(crossbar_, pins_, type, (input >> 20) & 0xFF);
}

HRESULT TunerControl::Tune(ULONG frequency, ULONG mode) {
  if (!encoder_) return kNoEncoderLink;
  encoder_->SetFrequency(frequency, mode == 0 ? 1 : 2);
  return S_OK;
}

HRESULT TunerControl::GetTunedFrequency(ULONG* frequency) {
  if (!frequency) return kNullPointer;
  if (!encoder_) return kNoEncoderLink;
  std::uint32_t value = 0;
  RETURN_IF_FAILED(encoder_->GetFrequency(&value, nullptr));
  *frequency = value;
  return S_OK;
}

HRESULT TunerControl::SetScanMode() {
  if (!encoder_) return kNoEncoderLink;
  encoder_->SetScanSwitch(FALSE);
  return S_OK;
}

HRESULT TunerControl::ClearScanMode() {
  if (!encoder_) return kNoEncoderLink;
  encoder_->SetScanSwitch(TRUE);
  return S_OK;
}

HRESULT TunerControl::GetCaptureSwitch(ULONG* value) {
  if (!value) return kNullPointer;
  if (!encoder_) return kNoEncoderLink;
  std::uint32_t v = 0;
  RETURN_IF_FAILED(encoder_->GetCaptureSwitch(&v));
  *value = v;
  return S_OK;
}

HRESULT TunerControl::SetCaptureSwitch(ULONG value) {
  if (!encoder_) return kNoEncoderLink;
  encoder_->SetCaptureSwitch(value);
  return S_OK;
}

HRESULT TunerControl::GetSignalLevel(long* level) {
  if (!level) return kNullPointer;
  if (!encoder_) return kNoEncoderLink;
  std::uint32_t raw = 0;
  ThrowIfFailed(encoder_->GetSignalLevel(&raw));
  constexpr long kLevels[] = {-128, -64, 0, 63, 127};
  *level = raw < std::size(kLevels) ? kLevels[raw] : -128;
  return S_OK;
}

HRESULT TunerControl::GetProcAmpRange(long bit, long* minimum, long* maximum, long* step, long* defaultValue,
                                      long* automatic) {
  if (!minimum || !maximum || !step || !defaultValue || !automatic) return kNullPointer;
  if (!procAmp_) return kNullPointer;
  long flags = 0;
  RETURN_IF_FAILED(procAmp_->GetRange(ProcAmpProperty(bit), minimum, maximum, step, defaultValue, &flags));
  *automatic = flags == VideoProcAmp_Flags_Auto ? 1 : 0;
  return S_OK;
}

HRESULT TunerControl::SetProcAmp(long bit, long value) {
  if (!procAmp_) return kNullPointer;
  return procAmp_->Set(ProcAmpProperty(bit), value, VideoProcAmp_Flags_Manual);
}

HRESULT TunerControl::GetProcAmp(long bit, long* value) {
  if (!value) return kNullPointer;
  if (!procAmp_) return kNullPointer;
  long flags = 0;
  return procAmp_->Get(ProcAmpProperty(bit), value, &flags);
}

HRESULT TunerControl::Release() {
  IBaseFilter* const filters[] = {tunerFilter_, crossbarFilter_, captureFilter_};
  RemoveFilters(filters, 3);
  IUnknown** held[] = {reinterpret_cast<IUnknown**>(&tuner_),        reinterpret_cast<IUnknown**>(&crossbar_),
                       reinterpret_cast<IUnknown**>(&decoder_),      reinterpret_cast<IUnknown**>(&procAmp_),
                       reinterpret_cast<IUnknown**>(&tunerFilter_),  reinterpret_cast<IUnknown**>(&crossbarFilter_),
                       reinterpret_cast<IUnknown**>(&captureFilter_)};
  ReleaseAll(held, static_cast<int>(std::size(held)));
  item_.Reset();
  pins_.inputs.clear();
  pins_.outputs.clear();
  encoder_.reset();
  return FilterGraphHolder::Release();
}

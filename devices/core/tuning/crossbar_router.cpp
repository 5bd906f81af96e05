#include "devices/core/tuning/crossbar_router.h"

#include <cwchar>
#include <iterator>

#include "devices/core/tuning/ks_categories.h"

namespace {

constexpr std::uint32_t kNoRelated = 0xFFFFFFFF;
constexpr std::uint32_t kTunerBandBits = 0x3;
constexpr std::uint32_t kOrdinalShift = 20;
constexpr std::uint32_t kOrdinalMask = 0xFF;

HRESULT Connect(IAMCrossbar* crossbar, std::uint32_t output, std::uint32_t input) {
  HRESULT hr = crossbar->CanRoute(static_cast<long>(output), static_cast<long>(input));
  if (hr != S_OK && hr != S_FALSE) return hr;
  hr = crossbar->Route(static_cast<long>(output), static_cast<long>(input));
  return hr == S_OK || hr == S_FALSE ? S_OK : hr;
}

}  // namespace

void CrossbarRouter::InputOfBand(std::uint32_t band, LONG externalType, LONG* type, std::uint32_t* ordinal) noexcept {
  *type = (band & kTunerBandBits) ? static_cast<LONG>(PhysConn_Video_Tuner) : externalType;
  *ordinal = (band >> kOrdinalShift) & kOrdinalMask;
}

std::uint32_t CrossbarRouter::ExternalBand(std::uint32_t before, bool numberLater) noexcept {
  if (before == 0) return kFirstExternalBand;
  if (before == 1) return kSecondExternalBand;
  return numberLater ? ((before & kOrdinalMask) << kOrdinalShift) | kFurtherExternalBand : kFurtherExternalBand;
}

CrossbarRouter::~CrossbarRouter() { CrossbarRouter::Release(); }

HRESULT CrossbarRouter::Build(const DeviceIdentity& identity, const wchar_t* friendlyName) {
  if (IsReady()) return S_OK;
  DeviceFilterEntry entry{&AM_KSCATEGORY_CROSSBAR, &identity, {}, crossbarFilter_.GetAddressOf()};
  if (!friendlyName || !*friendlyName || std::wcslen(friendlyName) >= std::size(entry.name)) return E_INVALIDARG;
  std::wcscpy(entry.name, friendlyName);
  HRESULT hr = CreateGraph();
  if (SUCCEEDED(hr)) hr = AddDeviceFilters(&entry, 1);
  Microsoft::WRL::ComPtr<IAMCrossbar> crossbar;
  if (SUCCEEDED(hr)) hr = crossbarFilter_.As(&crossbar);
  if (SUCCEEDED(hr)) hr = Attach(crossbar.Get());
  return SUCCEEDED(hr) ? QueryControl() : hr;
}

HRESULT CrossbarRouter::Release() {
  Detach();
  if (graph() && crossbarFilter_) {
    IBaseFilter* const filter = crossbarFilter_.Get();
    RemoveFilters(&filter, 1);
  }
  crossbarFilter_.Reset();
  return FilterGraphHolder::Release();
}

HRESULT CrossbarRouter::Attach(IAMCrossbar* crossbar) {
  Detach();
  if (!crossbar) return E_POINTER;
  long outputCount = 0, inputCount = 0;
  HRESULT hr = crossbar->get_PinCounts(&outputCount, &inputCount);
  if (FAILED(hr)) return hr;
  // The counts are the driver's: one that no crossbar has is refused before a pin is read.
  constexpr long kMax = static_cast<long>(kMaxPins);
  if (outputCount < 0 || inputCount < 0 || outputCount > kMax || inputCount > kMax) return errors::kInvalidData;
  std::vector<Pin> inputs, outputs;
  for (const BOOL isInput : {TRUE, FALSE}) {
    const long count = isInput ? inputCount : outputCount;
    for (long i = 0; i < count; ++i) {
      long related = -1, type = 0;
      hr = crossbar->get_CrossbarPinInfo(isInput, i, &related, &type);
      if (FAILED(hr)) return hr;
      if (static_cast<std::uint32_t>(related) == kNoRelated) continue;
      (isInput ? inputs : outputs)
          .push_back(Pin{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(related),
                         static_cast<std::uint32_t>(type)});
    }
  }
  inputs_.swap(inputs);
  outputs_.swap(outputs);
  crossbar_ = crossbar;
  return S_OK;
}

void CrossbarRouter::Detach() noexcept {
  crossbar_.Reset();
  inputs_.clear();
  outputs_.clear();
}

HRESULT CrossbarRouter::RouteInput(LONG type, std::uint32_t ordinal) {
  if (!crossbar_) return E_UNEXPECTED;
  const Pin* input = nullptr;
  std::uint32_t seen = 0;
  for (const Pin& pin : inputs_) {
    if (pin.type == static_cast<std::uint32_t>(type) && seen++ == ordinal) {
      input = &pin;
      break;
    }
  }
  const Pin* output = nullptr;
  for (const Pin& pin : outputs_) {
    if (pin.type == PhysConn_Video_VideoDecoder) {
      output = &pin;
      break;
    }
  }
  if (!input || !output) return errors::kNoSuchInput;
  // Any answer but S_OK or S_FALSE (a warning too) ends the routing at once.
  const HRESULT hr = Connect(crossbar_.Get(), output->index, input->index);
  if (hr != S_OK) return hr;
  // The related pins carry the audio that belongs to the video pins.
  return Connect(crossbar_.Get(), output->related, input->related);
}

HRESULT CrossbarRouter::CurrentBand(LONG externalType, std::uint32_t* band, bool numberLater) const {
  if (!band) return E_POINTER;
  if (!crossbar_) return E_UNEXPECTED;
  std::uint32_t found = 0;
  for (const Pin& output : outputs_) {
    if (output.type != PhysConn_Video_VideoDecoder) continue;
    long routed = -1;
    const HRESULT hr = crossbar_->get_IsRoutedTo(static_cast<long>(output.index), &routed);
    if (FAILED(hr)) return hr;
    std::uint32_t externalsBefore = 0;
    for (const Pin& input : inputs_) {
      if (input.index != static_cast<std::uint32_t>(routed)) {
        if (input.type == static_cast<std::uint32_t>(externalType)) ++externalsBefore;
        continue;
      }
      if (input.type == PhysConn_Video_Tuner) {
        found = 1;
      } else if (input.type == static_cast<std::uint32_t>(externalType)) {
        found = ExternalBand(externalsBefore, numberLater);
      } else {
        return errors::kRoutedInputUnsupported;
      }
      break;
    }
  }
  if (!found) return errors::kNoRoutedInput;
  *band = found;
  return S_OK;
}

#include "devices/core/sound/mixer_control.h"

#include <algorithm>
#include <cmath>
#include <cwchar>

#include "common/device/device_enum.h"
#include "common/device/pin_helpers.h"
#include "common/hresult.h"
#include "common/registry.h"

namespace mixer_math {

namespace {

// Truncation toward zero of a result that may lie a rounding error off a whole number: the
// 32-bit build computes pow and log10 with the x87 unit's wider intermediates (its runtime's own
// functions included), so that log10(1e-10) * 1000 can come out as -9999.9999999 there and
// -10000 exactly on x86_64. Within a millionth of a whole number the result is that number, so
// both builds give the same value.
double TruncateSettled(double value) {
  const double nearest = std::round(value);
  return std::fabs(value - nearest) < 1e-6 ? nearest : std::trunc(value);
}

}  // namespace

DWORD MixerFromVolume(LONG volume, DWORD maximum) {
  const double level = (std::pow(10.0, volume / 1000.0) - kFloor) / (1.0 - kFloor);
  const double value = TruncateSettled(static_cast<double>(maximum) * level);
  if (value <= 0.0) return 0;
  return value >= maximum ? maximum : static_cast<DWORD>(value);
}

LONG VolumeFromMixer(DWORD value, DWORD maximum) {
  if (maximum == 0) return -10000;
  const double ratio = static_cast<double>(std::min(value, maximum)) / maximum;
  const double volume = TruncateSettled(1000.0 * std::log10(ratio * (1.0 - kFloor) + kFloor));
  return static_cast<LONG>(std::clamp(volume, -10000.0, 0.0));
}

Channels Split(DWORD loud, LONG balance) {
  if (balance < 0) return {loud, MixerFromVolume(balance, loud)};
  if (balance > 0) return {MixerFromVolume(-balance, loud), loud};
  return {loud, loud};
}

LONG BalanceOf(const Channels& channels) {
  const DWORD loud = std::max(channels.left, channels.right);
  if (loud == 0) return 0;  // both silent: no side is quieter
  if (channels.right < channels.left) return VolumeFromMixer(channels.right, loud);
  return -VolumeFromMixer(channels.left, loud);
}

}  // namespace mixer_math

namespace {

HMIXEROBJ Object(HMIXER mixer) { return reinterpret_cast<HMIXEROBJ>(mixer); }

void ReadName(const RegistryKeyPath& key, const wchar_t* value, wchar_t* out, size_t chars) {
  WideString text;
  key.ReadString(value, text, L"");
  wcsncpy(out, text.c_str(), chars - 1);
  out[chars - 1] = L'\0';
}

RegistryKeyPath Machine(const wchar_t* subKey) {
  return RegistryKeyPath(WideString(L"HKEY_LOCAL_MACHINE\\") + WideString(subKey));
}

}  // namespace

MixerControl::~MixerControl() { MixerControl::Teardown(); }

void MixerControl::ReadNames() {
  const RegistryKeyPath board = Machine(sound_registry::kBoardInfoKey);
  if (board.Open(KEY_READ)) {
    ReadName(board, L"MixerDeviceName", deviceName_, kDeviceNameChars);
    ReadName(board, L"TunerShortName", shortName_, MIXER_SHORT_NAME_CHARS);
    ReadName(board, L"TunerShortName2", shortName2_, MIXER_SHORT_NAME_CHARS);
    return;
  }
  const RegistryKeyPath tovrel = Machine(sound_registry::kTovrelKey);
  ReadName(tovrel, L"MixerDeviceName", deviceName_, kDeviceNameChars);
  ReadName(tovrel, L"MixerShortName", shortName_, MIXER_SHORT_NAME_CHARS);
  ReadName(tovrel, L"MixerShortName2", shortName2_, MIXER_SHORT_NAME_CHARS);
}

HRESULT MixerControl::OpenDevice() {
  const UINT devices = mixerGetNumDevs();
  if (devices == 0) return errors::kMixerNoDevice;
  UINT chosen = devices;
  wchar_t firstName[MAXPNAMELEN] = {};
  for (UINT i = 0; i < devices && chosen == devices; ++i) {
    MIXERCAPSW caps{};
    if (mixerGetDevCapsW(i, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return errors::kMixerDeviceCapsFailed;
    caps.szPname[MAXPNAMELEN - 1] = L'\0';
    if (i == 0) wcscpy(firstName, caps.szPname);
    if (_wcsnicmp(caps.szPname, deviceName_, 64) == 0) chosen = i;
  }
  if (chosen == devices) {
    chosen = 0;
    wcsncpy(deviceName_, firstName, kDeviceNameChars - 1);
  }
  UINT id = 0;
  if (mixerGetID(reinterpret_cast<HMIXEROBJ>(static_cast<UINT_PTR>(chosen)), &id, MIXER_OBJECTF_MIXER) !=
      MMSYSERR_NOERROR) {
    return errors::kMixerIdFailed;
  }
  HMIXER mixer = nullptr;
  if (mixerOpen(&mixer, id, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR || !mixer) return errors::kMixerOpenFailed;
  mixer_ = mixer;
  mixerId_ = id;
  return S_OK;
}

void MixerControl::SettleMaxVolume() {
  const RegistryKeyPath tovrel = Machine(sound_registry::kTovrelKey);
  constexpr DWORD kMissing = 0xFFFFFFFF;
  DWORD stored = tovrel.ReadDwordValue(L"Max Volume", kMissing);
  if (stored == kMissing) {
    // None stored yet: the line's volume now is what full volume means on this card.
    mixer_math::Channels now{};
    stored = SUCCEEDED(ReadChannels(&now)) ? std::max(now.left, now.right) : mixer_math::kFullScale;
    tovrel.WriteDword(L"Max Volume", stored);
  }
  if (stored > mixer_math::kFullScale || stored < 1) {
    stored = mixer_math::kFullScale;
    tovrel.WriteDword(L"Max Volume", stored);
  }
  maxVolume_ = stored;
}

HRESULT MixerControl::Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) {
  if (mixer_) return S_OK;
  FilterHolder::Build(renderer, value1, value2, graph);
  ReadNames();
  RETURN_IF_FAILED(OpenDevice());
  SettleMaxVolume();
  return S_OK;
}

HRESULT MixerControl::Teardown() {
  if (mixer_) mixerClose(mixer_);
  mixer_ = nullptr;
  return FilterHolder::Teardown();
}

HRESULT MixerControl::FindVolumeControl(MIXERCONTROLW* control, DWORD* channels) const {
  if (!mixer_) return errors::kMixerNotOpen;
  MIXERCAPSW caps{};
  if (mixerGetDevCapsW(mixerId_, &caps, sizeof(caps)) != MMSYSERR_NOERROR) return errors::kMixerDeviceCapsFailed;
  for (DWORD d = 0; d < caps.cDestinations; ++d) {
    MIXERLINEW destination{};
    destination.cbStruct = sizeof(destination);
    destination.dwDestination = d;
    if (mixerGetLineInfoW(Object(mixer_), &destination, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_DESTINATION) !=
        MMSYSERR_NOERROR) {
      return errors::kMixerLineInfoFailed;
    }
    if (destination.dwComponentType != MIXERLINE_COMPONENTTYPE_DST_SPEAKERS) continue;
    for (DWORD s = 0; s < destination.cConnections; ++s) {
      MIXERLINEW source{};
      source.cbStruct = sizeof(source);
      source.dwDestination = d;
      source.dwSource = s;
      if (mixerGetLineInfoW(Object(mixer_), &source, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_SOURCE) !=
          MMSYSERR_NOERROR) {
        return errors::kMixerLineInfoFailed;
      }
      source.szShortName[MIXER_SHORT_NAME_CHARS - 1] = L'\0';
      if (_wcsnicmp(source.szShortName, shortName_, MIXER_SHORT_NAME_CHARS) != 0) continue;
      MIXERLINECONTROLSW controls{};
      controls.cbStruct = sizeof(controls);
      controls.dwLineID = source.dwLineID;
      controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
      controls.cControls = 1;
      controls.cbmxctrl = sizeof(MIXERCONTROLW);
      controls.pamxctrl = control;
      if (mixerGetLineControlsW(Object(mixer_), &controls, MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) !=
          MMSYSERR_NOERROR) {
        return errors::kMixerLineControlsFailed;
      }
      *channels = source.cChannels;
      return S_OK;
    }
  }
  return errors::kMixerLineNotFound;
}

HRESULT MixerControl::PrepareDetails(MIXERCONTROLDETAILS* details, MIXERCONTROLDETAILS_UNSIGNED* values) const {
  MIXERCONTROLW control{};
  DWORD lineChannels = 0;
  RETURN_IF_FAILED(FindVolumeControl(&control, &lineChannels));
  *details = MIXERCONTROLDETAILS{};
  details->cbStruct = sizeof(*details);
  details->dwControlID = control.dwControlID;
  details->cChannels = lineChannels >= 2 ? 2 : 1;
  details->cbDetails = sizeof(MIXERCONTROLDETAILS_UNSIGNED);
  details->paDetails = values;
  return S_OK;
}

HRESULT MixerControl::ReadChannels(mixer_math::Channels* channels) const {
  MIXERCONTROLDETAILS_UNSIGNED values[2] = {};
  MIXERCONTROLDETAILS details;
  RETURN_IF_FAILED(PrepareDetails(&details, values));
  if (mixerGetControlDetailsW(Object(mixer_), &details, MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE) !=
      MMSYSERR_NOERROR) {
    return errors::kMixerLineControlsFailed;
  }
  channels->left = values[0].dwValue;
  channels->right = details.cChannels == 2 ? values[1].dwValue : values[0].dwValue;
  return S_OK;
}

HRESULT MixerControl::WriteChannels(const mixer_math::Channels& channels) const {
  MIXERCONTROLDETAILS_UNSIGNED values[2] = {{channels.left}, {channels.right}};
  MIXERCONTROLDETAILS details;
  RETURN_IF_FAILED(PrepareDetails(&details, values));
  if (mixerSetControlDetails(Object(mixer_), &details, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE) !=
      MMSYSERR_NOERROR) {
    return errors::kMixerSetValuesFailed;
  }
  return S_OK;
}

HRESULT MixerControl::SetVolume(LONG volume) {
  mixer_math::Channels now{};
  RETURN_IF_FAILED(ReadChannels(&now));
  const DWORD loud = mixer_math::MixerFromVolume(std::clamp<LONG>(volume, -10000, 0), maxVolume_);
  return WriteChannels(mixer_math::Split(loud, mixer_math::BalanceOf(now)));
}

HRESULT MixerControl::GetVolume(LONG* volume) {
  if (!volume) return E_POINTER;
  mixer_math::Channels now{};
  RETURN_IF_FAILED(ReadChannels(&now));
  *volume = mixer_math::VolumeFromMixer(std::max(now.left, now.right), maxVolume_);
  return S_OK;
}

HRESULT MixerControl::SetBalance(LONG balance) {
  mixer_math::Channels now{};
  RETURN_IF_FAILED(ReadChannels(&now));
  return WriteChannels(mixer_math::Split(std::max(now.left, now.right), std::clamp<LONG>(balance, -10000, 10000)));
}

HRESULT MixerControl::GetBalance(LONG* balance) {
  if (!balance) return E_POINTER;
  mixer_math::Channels now{};
  RETURN_IF_FAILED(ReadChannels(&now));
  *balance = mixer_math::BalanceOf(now);
  return S_OK;
}

// --- NullAudioRenderer ---------------------------------------------------------------------------

NullAudioRenderer::~NullAudioRenderer() { NullAudioRenderer::Teardown(); }

HRESULT NullAudioRenderer::Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) {
  if (!graph) return E_POINTER;
  if (capture_ || nullRenderer_) return E_FAIL;
  RETURN_IF_FAILED(MixerControl::Build(renderer, value1, value2, graph));
  DeviceEnum::BindFilterByName(&capture_, CLSID_AudioInputDeviceCategory, deviceName(), 0);
  DeviceEnum::BindFilterByName(&nullRenderer_, CLSID_LegacyAmFilterCategory, L"Null Renderer", 0);
  if (!capture_ || !nullRenderer_) return E_OUTOFMEMORY;
  RETURN_IF_FAILED(graph_->AddFilter(capture_, deviceName()));
  RETURN_IF_FAILED(graph_->AddFilter(nullRenderer_, L"Null Renderer"));
  RETURN_IF_FAILED(PinHelpers::FindPinByIndex(&captureOut_, capture_, PINDIR_OUTPUT, 1));
  return PinHelpers::FindPinByIndex(&nullIn_, nullRenderer_, PINDIR_INPUT, 1);
}

HRESULT NullAudioRenderer::Teardown() {
  if (started_) NullAudioRenderer::Stop();
  if (graph_) {
    if (capture_) graph_->RemoveFilter(capture_);
    if (nullRenderer_) graph_->RemoveFilter(nullRenderer_);
  }
  ReleaseAndClear(captureOut_);
  ReleaseAndClear(nullIn_);
  ReleaseAndClear(capture_);
  ReleaseAndClear(nullRenderer_);
  return MixerControl::Teardown();
}

HRESULT NullAudioRenderer::Start(IPin* upstream) {
  RETURN_IF_FAILED(PinHelpers::Connect(captureOut_, nullIn_, graph_));
  return FilterHolder::Start(upstream);
}

HRESULT NullAudioRenderer::Stop() {
  if (graph_ && captureOut_ && nullIn_) PinHelpers::Disconnect(captureOut_, nullIn_, graph_);
  return FilterHolder::Stop();
}

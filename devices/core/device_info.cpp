#include "devices/core/device_info.h"

#include <algorithm>

#include "common/errors.h"
#include "devices/core/host_arrays.h"

namespace {

bool Listed(std::span<const IID* const> list, REFIID iid) {
  return std::any_of(list.begin(), list.end(), [&](const IID* entry) { return *entry == iid; });
}

HRESULT HandOutIids(const std::vector<GUID>& list, long* count, GUID** iids) {
  return HandOutArray(list.data(), list.size(), count, iids);
}

}  // namespace

HRESULT DeviceInfoAnswers::CanUseInterface(REFIID iid, long* can) const {
  *can = 0;
  if (Listed(table_.scanInterfaces, iid)) {
    if (facts_.scanCapability == 0) return table_.noScanCapability;
    *can = 1;
    return S_OK;
  }
  for (const OptionalInterface& optional : table_.optional) {
    if (*optional.iid != iid) continue;
    if (!facts_.hasItem) return S_OK;
    if ((facts_.capability & optional.bit) == 0) return optional.refusal;
    *can = 1;
    return S_OK;
  }
  *can = Listed(table_.available, iid) ? 1 : 0;
  return S_OK;
}

HRESULT DeviceInfoAnswers::GetAvailableInterface(long* count, GUID** iids) const {
  std::vector<GUID> kept;
  for (const IID* iid : table_.available) {
    long can = 0;
    if (CanUseInterface(*iid, &can) == S_OK && can == 1) kept.push_back(*iid);
  }
  return HandOutIids(kept, count, iids);
}

HRESULT DeviceInfoAnswers::GetAvailableCountryCode(ULONG* count, ULONG** regions) const {
  return HandOutArray(table_.countries.data(), table_.countries.size(), count, regions);
}

HRESULT DeviceInfoAnswers::GetAvailableTVFormat(ULONG* count, ULONG** formats) const {
  return HandOutArray(table_.tvFormats.data(), table_.tvFormats.size(), count, formats);
}

HRESULT DeviceInfoAnswers::GetAvailableBaseChannel(ULONG* count, _SHAL_BASECH** channels) const {
  *count = 0;
  *channels = nullptr;
  if (facts_.baseChannels.empty()) return errors::kNoBaseChannel;
  return HandOutArray(facts_.baseChannels.data(), facts_.baseChannels.size(), count, channels);
}

HRESULT DeviceInfoAnswers::GetAvailableTunerFunction(const _SHAL_BASECH& baseCh, ULONG* functions,
                                                     HRESULT invalidArg) const {
  constexpr ULONG kBandMask = 0xFFFFF;  // bits 20 and up carry no band
  const bool known = std::any_of(facts_.baseChannels.begin(), facts_.baseChannels.end(),
                                 [&](const _SHAL_BASECH& entry) {
                                   return ((entry.band ^ baseCh.band) & kBandMask) == 0;
                                 });
  if (!known) return invalidArg;
  *functions = facts_.tunerFunctions;
  return S_OK;
}

HRESULT DeviceInfoAnswers::GetAvailableChannelInfo(const _SHAL_BASECH& baseCh, ULONG* minCh,
                                                   ULONG* maxCh) const {
  if (baseCh.band & 1) {
    *minCh = facts_.band1MinChannel;
    *maxCh = facts_.band1MaxChannel;
  } else if (baseCh.band & 2) {
    *minCh = facts_.band2MinChannel;
    *maxCh = facts_.band2MaxChannel;
  }
  return S_OK;
}

HRESULT DeviceInfoAnswers::GetAvailableFrequencyInfo(ULONG* minFreq, ULONG* maxFreq, ULONG* step) const {
  *minFreq = facts_.minFrequency;
  *maxFreq = facts_.maxFrequency;
  *step = facts_.frequencyStep;
  return S_OK;
}

HRESULT DeviceInfoAnswers::GetInputAudioModeVariety(ULONG* count, _SHAL_INPUT_AUDIOMODE** modes) const {
  return HandOutArray(table_.inputAudioModes.data(), table_.inputAudioModes.size(), count, modes);
}

HRESULT DeviceInfoAnswers::GetOutputAudioModeVariety(ULONG* count, _SHAL_OUTPUT_AUDIOMODE** modes) const {
  return HandOutArray(table_.outputAudioModes.data(), table_.outputAudioModes.size(), count, modes);
}

HRESULT DeviceInfoAnswers::GetAvailableVideoModeInterface(long* count, GUID** iids) const {
  // Before setup there is no capability value: it counts as 0.
  const bool second = (facts_.capability & table_.secondWindowBits) != 0;
  std::vector<GUID> list;
  for (const IID* iid : table_.videoModes)
    if (second || !Listed(table_.secondWindows, *iid)) list.push_back(*iid);
  return HandOutIids(list, count, iids);
}

HRESULT DeviceInfoAnswers::GetAvailableSoundModeInterface(long* count, GUID** iids) const {
  std::vector<GUID> list;
  for (const IID* iid : table_.soundModes) list.push_back(*iid);
  return HandOutIids(list, count, iids);
}

#include "devices/core/device_object_core.h"

#include "common/module.h"
#include "common/path.h"
#include "common/settings_file.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/device_tables.h"
#include "devices/core/hal_items.h"

DeviceObjectCore::DeviceObjectCore(const DeviceInfoTable& table, const DeviceObjectRules& rules)
    : info_(table), rules_(rules) {}

DeviceObjectCore::DeviceObjectCore(const wchar_t* stateSection, const wchar_t* stateMutex,
                                   const DeviceInfoTable& table, const DeviceObjectRules& rules)
    : stateTable_(stateSection, stateMutex), info_(table), rules_(rules) {}

// --- IDevice ------------------------------------------------------------------------------------

HRESULT DeviceObjectCore::GetAvailableInterface(long* count, GUID** iids) {
  if (!count || !iids) return E_POINTER;
  return info_.GetAvailableInterface(count, iids);
}

HRESULT DeviceObjectCore::CanUseInterface(REFIID iid, long* can) {
  if (!can) return E_POINTER;
  return info_.CanUseInterface(iid, can);
}

HRESULT DeviceObjectCore::GetInfo(long type, VARIANT* value) {
  if (!deviceItem_) return errors::kDeviceNotSet;
  if (!value) return E_POINTER;
  // The item's failure is the answer; any success is S_OK.
  RETURN_IF_FAILED(deviceItem_->GetInfo(type, value));
  return S_OK;
}

// --- IDeviceInfoDetail --------------------------------------------------------------------------

HRESULT DeviceObjectCore::GetAvailableCountryCode(ULONG* count, ULONG** regions) {
  if (!count || !regions) return E_POINTER;
  return info_.GetAvailableCountryCode(count, regions);
}

HRESULT DeviceObjectCore::GetAvailableTVFormat(ULONG, ULONG* count, ULONG** formats) {
  if (!count || !formats) return E_POINTER;
  return info_.GetAvailableTVFormat(count, formats);
}

HRESULT DeviceObjectCore::GetAvailableBaseChannel(ULONG, ULONG, ULONG* count, _SHAL_BASECH** channels) {
  if (!count || !channels) return E_POINTER;
  return info_.GetAvailableBaseChannel(count, channels);
}

HRESULT DeviceObjectCore::GetAvailableTunerFunction(_SHAL_BASECH* baseCh, ULONG* functions) {
  if (!baseCh || !functions) return E_POINTER;
  ULONG offered = 0;
  RETURN_IF_FAILED(info_.GetAvailableTunerFunction(*baseCh, &offered, rules_.unknownBand));
  if (rules_.switch0ForTunerOnly && (baseCh->band & 0x60)) offered &= ~1UL;
  *functions = offered;
  return S_OK;
}

HRESULT DeviceObjectCore::GetAvailableChannelInfo(_SHAL_BASECH* baseCh, ULONG* minCh, ULONG* maxCh) {
  if (!baseCh || !minCh || !maxCh) return E_POINTER;
  return info_.GetAvailableChannelInfo(*baseCh, minCh, maxCh);
}

HRESULT DeviceObjectCore::GetAvailableFrequencyInfo(ULONG* minFreq, ULONG* maxFreq, ULONG* step) {
  if (!minFreq || !maxFreq || !step) return E_POINTER;
  return info_.GetAvailableFrequencyInfo(minFreq, maxFreq, step);
}

HRESULT DeviceObjectCore::GetInputAudioModeVariety(ULONG* count, _SHAL_INPUT_AUDIOMODE** modes) {
  if (!count || !modes) return E_INVALIDARG;
  return info_.GetInputAudioModeVariety(count, modes);
}

HRESULT DeviceObjectCore::GetOutputAudioModeVariety(ULONG* count, _SHAL_OUTPUT_AUDIOMODE** modes) {
  if (!count || !modes) return E_INVALIDARG;
  return info_.GetOutputAudioModeVariety(count, modes);
}

// --- IPreview's lists -------------------------------------------------------------------------------

HRESULT DeviceObjectCore::GetAvailableVideoModeInterface(long* count, GUID** iids) {
  if (!count || !iids) return E_POINTER;
  return info_.GetAvailableVideoModeInterface(count, iids);
}

HRESULT DeviceObjectCore::GetAvailableSoundModeInterface(long* count, GUID** iids) {
  if (!count || !iids) return E_POINTER;
  return info_.GetAvailableSoundModeInterface(count, iids);
}

// --- Audio function and sound mode ----------------------------------------------------------------

HRESULT DeviceObjectCore::GetAvailableAudioFunction(long* count, ULONG** functions) {
  return kAudioFunction.List(count, functions);
}
HRESULT DeviceObjectCore::GetAudioFunction(ULONG* function) { return kAudioFunction.Get(function); }
HRESULT DeviceObjectCore::SetAudioFunction(ULONG function) { return kAudioFunction.Set(function); }
HRESULT DeviceObjectCore::GetAvailableSoundMode(long* count, ULONG** modes) { return kSoundMode.List(count, modes); }
HRESULT DeviceObjectCore::GetSoundMode(ULONG* mode) { return kSoundMode.Get(mode); }
HRESULT DeviceObjectCore::SetSoundMode(ULONG mode) { return kSoundMode.Set(mode); }

HRESULT DeviceObjectCore::GetAutoScanSetting(IHalItem** item) {
  if (item) *item = nullptr;
  if (!autoScanInitialized_) return errors::kAutoScanNotInit;
  if (!item) return E_INVALIDARG;
  return device_tables::AutoScanSettingItem(SettingsFile::ForModule(ThisModule()), item);
}

// --- Shared means of the interfaces -------------------------------------------------------------

void DeviceObjectCore::WriteSlot(int slot, std::int32_t value) {
  // An empty name marks a free entry of the table: a device without a name has no slots.
  if (!stateEntry_.empty()) stateTable_.SetSlot(stateEntry_.c_str(), slot, value);
}

void DeviceObjectCore::WriteOwnerSlots(int processSlot, bool owned) {
  WriteSlot(processSlot, owned ? static_cast<std::int32_t>(GetCurrentProcessId()) : 0);
  WriteSlot(processSlot + 1, owned ? ObjectAddress32(this) : 0);
}

output_data::OutputStatus DeviceObjectCore::StatusWords(const wchar_t* driverFile) {
  output_data::OutputStatus status;
  if (!deviceItem_) return status;
  status.a = output_data::StatusWordA(info_.facts().capability);
  status.b = output_data::ReadDriverVersion(driverFile);
  status.c = output_data::ReadFileVersion(ModulePath::OfModule(ThisModule()).c_str());
  std::int32_t slots[kSlotCount] = {};
  if (!stateEntry_.empty() && SUCCEEDED(stateTable_.ReadSlots(stateEntry_.c_str(), sizeof(slots), slots)))
    status.d = output_data::StatusWordD(slots[kSlotBand], slots[kSlotTunerFunction]);
  return status;
}

HRESULT DeviceObjectCore::TakeExclusiveUse(ExclusiveInterface which, HRESULT inUse) {
  if (!exclusive_.prepared()) return rules_.unbound;
  // One atomic create: whoever creates the mutex has the interface.
  const HRESULT hr = exclusive_.mutex(which).CreateExclusive();
  return hr == S_FALSE ? inUse : hr;
}

void DeviceObjectCore::SetExternalInputEvent(bool external) {
  NamedEvent& event = events_.event(NotifyEvent::ExternalInput);
  if (external) {
    event.Set();
  } else {
    event.Reset();
  }
}

HRESULT DeviceObjectCore::MakeChannelItem() {
  RETURN_IF_FAILED(hal_items::CreateItem(&channelItem_));
  for (long value = 0; value <= 5; ++value) RETURN_IF_FAILED(hal_items::WriteInteger(channelItem_.Get(), value, 0));
  return hal_items::WriteString(channelItem_.Get(), 6, L"");
}

void DeviceObjectCore::ReleaseBinding() noexcept {
  pipe_.StopServer();
  events_.Close();
  exclusive_.Clear();
  info_.facts() = DeviceFacts{};
  deviceItem_.Reset();
  identity_.Clear();
  stateEntry_.clear();
  stamp_.Close();
}

void DeviceObjectCore::ReadChannelInterval() {
  interval_ = static_cast<ULONG>(
      SettingsFile::ForModule(ThisModule()).ReadInt(L"SetChannel", L"Interval", static_cast<int>(kDefaultInterval)));
}

#include "devices/tuner1/device_manager_impl.h"

#include <oleauto.h>

#include <iterator>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/settings_file.h"
#include "devices/core/pipe_handler.h"
#include "devices/tuner1/tam_traits.h"

std::unique_ptr<DeviceManagerOperations> TamTraits::CreateImplementation() {
  return std::make_unique<DeviceManagerImpl>();
}

namespace {

// Device item values read here.
enum ItemValue : long {
  kItemName = 0,        // string: the device's name in the device-state table
  kItemBoardType = 2,   // integer: registered with the name
  kItemCapability = 4,  // integer: capability bits
  kItemFunctions = 5,   // integer: registered with the name
  kItemDevicePath = 7,  // string: the device path
};

// Optional interfaces the class answers about without implementing them.
// {990DDD00-99D8-45F2-A363-DD40FFFC052E}
constexpr IID kOptionalInterface08 = {0x990ddd00, 0x99d8, 0x45f2, {0xa3, 0x63, 0xdd, 0x40, 0xff, 0xfc, 0x05, 0x2e}};
// {07B3E6C6-B3A4-4C0F-A878-2F5FB7025C83}
constexpr IID kOptionalInterface20 = {0x07b3e6c6, 0xb3a4, 0x4c0f, {0xa8, 0x78, 0x2f, 0x5f, 0xb7, 0x02, 0x5c, 0x83}};

// Band capability bits of block A word 1 and the base channels they give, in list order.
constexpr ULONG kRegionJapan = 81;
constexpr ULONG kTvFormat = 2;
constexpr ULONG kBandTuner1 = 1, kBandTuner2 = 2;
constexpr ULONG kBandExternal1 = 0x20000020;  // bit 2
constexpr ULONG kBandExternal2 = 0x10100020;  // bit 1

const IID* const kAvailable[] = {&IID_IDeviceInfoDetail, &IID_IInputSwitch, &IID_IOutputData, &IID_IPreview,
                                 &IID_IPreview2,         &IID_IAutoScan,    &IID_IAutoScan2};
const IID* const kScan[] = {&IID_IAutoScan, &IID_IAutoScan2};
constexpr OptionalInterface kOptional[] = {{&kOptionalInterface20, 0x20, errors::kNoCapability20},
                                           {&kOptionalInterface08, 0x08, errors::kNoCapability08}};
const IID* const kVideoModes[] = {&IID_IPreviewWindow, &IID_IPreviewWindow2, &IID_ICustomPreviewWindow,
                                  &IID_ICustomPreviewWindow2};
const IID* const kSecondWindows[] = {&IID_IPreviewWindow2, &IID_ICustomPreviewWindow2};
const IID* const kSoundModes[] = {&IID_ISound};
constexpr ULONG kCountries[] = {kRegionJapan};
constexpr ULONG kTvFormats[] = {kTvFormat};
constexpr _SHAL_INPUT_AUDIOMODE kInputAudioModes[] = {{1, 1, 0}, {2, 2, 0}, {4, 8, 0}};
constexpr _SHAL_OUTPUT_AUDIOMODE kOutputAudioModes[] = {{1, 1}, {2, 2}, {4, 4}, {8, 8}, {4, 8}};

const DeviceInfoTable kInfoTable = {
    kAvailable,     kScan,       errors::kNoScanCapability, kOptional,         kVideoModes,
    kSecondWindows, 0x10 | 0x200, kSoundModes,              kCountries,        kTvFormats,
    kInputAudioModes, kOutputAudioModes,
};

// A value of the item: the string (empty when missing or not a string), or the integer (0).
std::wstring ItemString(IHalItem* item, long type) {
  VARIANT value;
  VariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(item->GetInfo(type, &value)) && value.vt == VT_BSTR && value.bstrVal)
    text.assign(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);
  return text;
}

std::int32_t ItemInteger(IHalItem* item, long type) {
  VARIANT value;
  VariantInit(&value);
  std::int32_t number = 0;
  if (SUCCEEDED(item->GetInfo(type, &value)) && SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4)))
    number = value.lVal;
  VariantClear(&value);
  return number;
}

}  // namespace

DeviceManagerImpl::DeviceManagerImpl() : info_(kInfoTable) {}

DeviceManagerImpl::DeviceManagerImpl(const wchar_t* stateSection, const wchar_t* stateMutex)
    : stateTable_(stateSection, stateMutex), info_(kInfoTable) {}

DeviceManagerImpl::~DeviceManagerImpl() { Shutdown(); }

HRESULT DeviceManagerImpl::Initialize() {
  ThrowIfFailed(stateTable_.Open());
  return S_OK;
}

HRESULT DeviceManagerImpl::Shutdown() {
  // The uninitialisation of the interfaces joins here with the operations that start them.
  pipe_.StopServer();
  events_.Close();
  exclusive_.Clear();
  stamp_.Close();
  stateTable_.Close();
  deviceItem_.Reset();
  identity_.Clear();
  driver_.reset();
  info_.facts() = DeviceFacts{};
  return S_OK;
}

// --- Setup ------------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::SetDeviceInfo(IHalItem* item) {
  if (!item) return errors::kDmNullPointer;
  if (deviceItem_) return errors::kDeviceAlreadySet;
  VARIANT path;
  VariantInit(&path);
  RETURN_IF_FAILED(item->GetInfo(kItemDevicePath, &path));
  const bool usable = path.vt == VT_BSTR && path.bstrVal && SysStringLen(path.bstrVal) > 0;
  if (usable) {
    try {
      identity_ = DeviceIdentity(path);
    } catch (...) {
      VariantClear(&path);
      return errors::kDmOutOfMemory;
    }
  }
  VariantClear(&path);
  if (!usable) return errors::kDmInvalidArg;
  try {
    Bind(item);
    return S_OK;
  } catch (const HResultError& e) {
    Undo();
    return FAILED(e.code()) ? e.code() : errors::kDmFailure;
  } catch (...) {
    Undo();
    return errors::kDmFailure;
  }
}

void DeviceManagerImpl::Bind(IHalItem* item) {
  OpenDriverLink();
  BuildBaseChannelList();
  ThrowIfFailed(item->Clone(deviceItem_.ReleaseAndGetAddressOf()));
  if (!deviceItem_) ThrowHr(errors::kDmFailure);

  const DeviceObjectNames objectNames = names();
  events_.Create(objectNames);  // an event that cannot be made stays without a handle
  ThrowIfFailed(exclusive_.Prepare(objectNames));

  const std::int32_t boardType = ItemInteger(deviceItem_.Get(), kItemBoardType);
  const std::int32_t functions = ItemInteger(deviceItem_.Get(), kItemFunctions);
  stateName_ = ItemString(deviceItem_.Get(), kItemName);
  info_.facts().hasItem = true;
  info_.facts().capability = static_cast<ULONG>(ItemInteger(deviceItem_.Get(), kItemCapability));

  ThrowIfFailed(pipe_.StartDeviceServer(this, identity_, GetCurrentProcessId(), this,
                                        &HandleDevicePipeRequest, kInstanceNumber));
  // An empty name marks a free entry of the table: a device without a name is not registered.
  if (!stateName_.empty()) ThrowIfFailed(stateTable_.Register(stateName_.c_str(), boardType, functions));

  interval_ = static_cast<ULONG>(SettingsFile::ForModule(ThisModule())
                                     .ReadInt(L"SetChannel", L"Interval", static_cast<int>(kDefaultInterval)));
  ThrowIfFailed(stamp_.Create(objectNames));
}

void DeviceManagerImpl::OpenDriverLink() {
  // A retry after a failed setup replaces the link the failure left.
  driver_.reset();
  driver_ = std::make_unique<EncoderControl>(identity_, nullptr);
  ThrowIfFailed(driver_->ReadDeviceInfo12(&blockA_));
  ThrowIfFailed(driver_->ReadDeviceInfo32(&blockB_));
  DeviceFacts& facts = info_.facts();
  facts.scanCapability = blockB_[0];
  facts.minFrequency = blockB_[1];
  facts.maxFrequency = blockB_[2];
  facts.frequencyStep = blockB_[3];
  facts.band1MinChannel = blockB_[4];
  facts.band1MaxChannel = blockB_[5];
  facts.band2MinChannel = blockB_[6];
  facts.band2MaxChannel = blockB_[7];
  facts.tunerFunctions = ((blockA_[2] >> 6) & 1) | (((blockA_[2] >> 7) & 1) << 1);
}

void DeviceManagerImpl::BuildBaseChannelList() {
  const ULONG bands = blockA_[1];
  auto& list = info_.facts().baseChannels;
  list.clear();
  if (bands & 1) {
    list.push_back({kRegionJapan, kTvFormat, kBandTuner1});
    list.push_back({kRegionJapan, kTvFormat, kBandTuner2});
  }
  if (bands & 4) list.push_back({kRegionJapan, kTvFormat, kBandExternal1});
  if (bands & 2) list.push_back({kRegionJapan, kTvFormat, kBandExternal2});
  if (list.empty()) ThrowHr(errors::kNoBaseChannel);
}

void DeviceManagerImpl::Undo() noexcept {
  pipe_.StopServer();
  events_.Close();
  exclusive_.Clear();
  DeviceFacts& facts = info_.facts();
  facts.baseChannels.clear();
  facts.hasItem = false;
  facts.capability = 0;
  deviceItem_.Reset();
  identity_.Clear();
  stateName_.clear();
}

std::wstring DeviceManagerImpl::RecRunningEventName() const {
  return bound() ? names().RecRunningEvent() : std::wstring();
}

// --- IDevice ----------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableInterface(long* count, GUID** iids) {
  return info_.GetAvailableInterface(count, iids);
}

HRESULT DeviceManagerImpl::CanUseInterface(REFIID iid, long* can) { return info_.CanUseInterface(iid, can); }

HRESULT DeviceManagerImpl::GetInfo(long type, VARIANT* value) {
  if (!deviceItem_) return errors::kDeviceNotSet;
  RETURN_IF_FAILED(deviceItem_->GetInfo(type, value));
  return S_OK;
}

// --- IDeviceInfoDetail ------------------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableCountryCode(ULONG* count, ULONG** regions) {
  return info_.GetAvailableCountryCode(count, regions);
}

HRESULT DeviceManagerImpl::GetAvailableTVFormat(ULONG, ULONG* count, ULONG** formats) {
  return info_.GetAvailableTVFormat(count, formats);
}

HRESULT DeviceManagerImpl::GetAvailableBaseChannel(ULONG, ULONG, ULONG* count, _SHAL_BASECH** channels) {
  return info_.GetAvailableBaseChannel(count, channels);
}

HRESULT DeviceManagerImpl::GetAvailableTunerFunction(_SHAL_BASECH* baseCh, ULONG* functions) {
  return info_.GetAvailableTunerFunction(*baseCh, functions, errors::kDmInvalidArg);
}

HRESULT DeviceManagerImpl::GetAvailableChannelInfo(_SHAL_BASECH* baseCh, ULONG* minCh, ULONG* maxCh) {
  return info_.GetAvailableChannelInfo(*baseCh, minCh, maxCh);
}

HRESULT DeviceManagerImpl::GetAvailableFrequencyInfo(ULONG* minFreq, ULONG* maxFreq, ULONG* step) {
  return info_.GetAvailableFrequencyInfo(minFreq, maxFreq, step);
}

HRESULT DeviceManagerImpl::GetInputAudioModeVariety(ULONG* count, _SHAL_INPUT_AUDIOMODE** modes) {
  return info_.GetInputAudioModeVariety(count, modes);
}

HRESULT DeviceManagerImpl::GetOutputAudioModeVariety(ULONG* count, _SHAL_OUTPUT_AUDIOMODE** modes) {
  return info_.GetOutputAudioModeVariety(count, modes);
}

// --- IPreview's lists and formats -------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableVideoModeInterface(long* count, GUID** iids) {
  return info_.GetAvailableVideoModeInterface(count, iids);
}

HRESULT DeviceManagerImpl::GetAvailableSoundModeInterface(long* count, GUID** iids) {
  return info_.GetAvailableSoundModeInterface(count, iids);
}

// The formats come with the preview graph, made by IPreview::Initialize.
HRESULT DeviceManagerImpl::GetVideoDataInfo(IHalItem** item) {
  *item = nullptr;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  return E_NOTIMPL;
}

HRESULT DeviceManagerImpl::GetSoundDataInfo(IHalItem** item) {
  *item = nullptr;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  return E_NOTIMPL;
}

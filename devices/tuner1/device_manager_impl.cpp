#include "devices/tuner1/device_manager_impl.h"

#include <oleauto.h>

#include <mmsystem.h>

#include <algorithm>
#include <iterator>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/settings_file.h"
#include "devices/core/base_channel_list.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/device_tables.h"
#include "devices/core/hal_items.h"
#include "devices/core/host_arrays.h"
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

const IID* const kAvailable[] = {&IID_IDeviceInfoDetail, &IID_IInputSwitch, &IID_IOutputData, &IID_IPreview,
                                 &IID_IPreview2,         &IID_IAutoScan,    &IID_IAutoScan2};
const DeviceInfoTable kInfoTable = device_tables::CommonTable(kAvailable);
// Every function of a listed band is offered, external inputs included.
constexpr DeviceObjectRules kRules{errors::kDeviceNotSet, errors::kDmInvalidArg, false};

}  // namespace

DeviceManagerImpl::DeviceManagerImpl() : DeviceObjectCore(kInfoTable, kRules) {}

DeviceManagerImpl::DeviceManagerImpl(const wchar_t* stateSection, const wchar_t* stateMutex)
    : DeviceObjectCore(stateSection, stateMutex, kInfoTable, kRules) {}

DeviceManagerImpl::~DeviceManagerImpl() { Shutdown(); }

HRESULT DeviceManagerImpl::Shutdown() {
  // The interfaces in use end first: output data, the preview side, auto scan, input switching.
  ShutdownOutputSide();
  ShutdownPreviewSide();
  UninitializeAutoScan(0);
  if (UninitializeInputSwitch(0) != S_OK) {
    // Another object's auto scan refused the end of input switching: this object is gone all
    // the same, and the device's slots must not name it as the user any longer.
    channelItem_.Reset();
    WriteOwnerSlots(kSlotInputSwitchProcess, false);
    inputSwitchInitialized_ = false;
  }
  tuner_.Release();
  events_.Close();
  exclusive_.Clear();
  stateTable_.Close();
  pipe_.StopServer();
  deviceItem_.Reset();
  identity_.Clear();
  driver_.reset();
  info_.facts() = DeviceFacts{};
  stamp_.Close();
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

  const std::int32_t boardType = hal_items::ReadInteger(deviceItem_.Get(), kItemBoardType);
  const std::int32_t functions = hal_items::ReadInteger(deviceItem_.Get(), kItemFunctions);
  stateEntry_ = hal_items::ReadString(deviceItem_.Get(), kItemName);
  info_.facts().hasItem = true;
  info_.facts().capability = static_cast<ULONG>(hal_items::ReadInteger(deviceItem_.Get(), kItemCapability));

  ThrowIfFailed(pipe_.StartDeviceServer(this, identity_, GetCurrentProcessId(), this,
                                        &HandleDevicePipeRequest, kInstanceNumber));
  // An empty name marks a free entry of the table: a device without a name is not registered.
  if (!stateEntry_.empty()) ThrowIfFailed(stateTable_.Register(stateEntry_.c_str(), boardType, functions));

  ReadChannelInterval();
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
  facts.tunerFunctions = DeviceFunctions();  // what SetChannel applies
}

void DeviceManagerImpl::BuildBaseChannelList() {
  // Block A word 1 holds the input capability bits.
  auto& list = info_.facts().baseChannels;
  list = BaseChannelsFromInputs(blockA_[1]);
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
  stateEntry_.clear();
}

std::wstring DeviceManagerImpl::RecRunningEventName() const {
  return bound() ? names().RecRunningEvent() : std::wstring();
}

// --- Shared means of the interfaces -------------------------------------------------------------

namespace {

// This family's tuner control applies function 2 (the capture switch) only: its function-1
// switch is not supported (SetVideoSwitch0 answers E_NOTIMPL). A card that reports function 1
// is therefore neither offered it nor asked for it, rather than told that a switch it never
// gets succeeded, or a channel that needed no switching answered with E_NOTIMPL.
constexpr ULONG kAppliedFunctions = 2;

}  // namespace

ULONG DeviceManagerImpl::DeviceFunctions() const noexcept {
  const ULONG reported = ((blockA_[2] >> 6) & 1) | (((blockA_[2] >> 7) & 1) << 1);
  return reported & kAppliedFunctions;
}

namespace {

bool IsTunerBand(ULONG band) { return (band & 3) != 0; }

// Whether setting `next` after `current` changes the routed input: two tuner bands share the
// tuner's input; external inputs are told apart by their ordinal (bits 20-27).
bool InputChanges(ULONG current, ULONG next) {
  if (IsTunerBand(current) && IsTunerBand(next)) return false;
  if (IsTunerBand(current) || IsTunerBand(next)) return true;
  return ((current ^ next) & 0x0FF00000) != 0 || (current & 0x20) != (next & 0x20);
}

constexpr ULONG kBandMask28 = 0x0FFFFFFF;

// Picture-control property bits: one of bits 0 to 9.
bool ValidProcAmpBit(long type) {
  for (long n = 0; n < 10; ++n)
    if (type == (1L << n)) return true;
  return false;
}

}  // namespace

// --- IInputSwitch -------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeInputSwitch(ULONG) {
  if (inputSwitchInitialized_) return S_OK;
  RETURN_IF_FAILED(TakeExclusiveUse(ExclusiveInterface::InputSwitch, errors::kInputSwitchInUse));
  HRESULT hr = errors::kDmFailure;
  try {
    hr = InitializeInputSwitchSteps();
  } catch (const HResultError& e) {
    hr = FAILED(e.code()) ? e.code() : errors::kDmFailure;
  } catch (...) {
    hr = errors::kDmFailure;
  }
  if (FAILED(hr)) {
    channelItem_.Reset();
    exclusive_.mutex(ExclusiveInterface::InputSwitch).Close();
    return hr;
  }
  inputSwitchInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::InitializeInputSwitchSteps() {
  RETURN_IF_FAILED(MakeChannelItem());
  RETURN_IF_FAILED(tuner_.KeepDeviceItem(deviceItem_.Get()));
  RETURN_IF_FAILED(tuner_.Build(&identity_));
  KeepProcAmpRanges(tuner_, {1L, 2L, 4L, 8L});
  ULONG input = 0;
  RETURN_IF_FAILED(tuner_.GetCurrentInput(&input));
  if (input == 1) RETURN_IF_FAILED(tuner_.GetInputType(&input));
  currentBand_ = input & kBandMask28;
  if (IsTunerBand(currentBand_)) {
    events_.event(NotifyEvent::ExternalInput).Reset();
  } else {
    events_.event(NotifyEvent::ExternalInput).Set();
  }
  WriteOwnerSlots(kSlotInputSwitchProcess, true);
  return S_OK;
}

HRESULT DeviceManagerImpl::GetChannel(IHalItem** channel) {
  *channel = nullptr;
  if (!inputSwitchInitialized_) return errors::kInputSwitchNotInit;
  Microsoft::WRL::ComPtr<IHalItem> copy;
  RETURN_IF_FAILED(channelItem_->Clone(copy.GetAddressOf()));
  ULONG frequency = 0;
  tuner_.GetTunedFrequency(&frequency);
  ULONG functions = 0;
  ULONG capture = 0;
  if ((DeviceFunctions() & 2) && SUCCEEDED(tuner_.GetCaptureSwitch(&capture)) && capture) functions |= 2;
  const std::int32_t values[] = {81, 2, static_cast<std::int32_t>(currentBand_), 0,
                                 static_cast<std::int32_t>(frequency), static_cast<std::int32_t>(functions)};
  for (long i = 0; i < 6; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(copy.Get(), i, values[i]));
  *channel = copy.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::SetChannel(IHalItem* channel) {
  if (!inputSwitchInitialized_) return errors::kInputSwitchNotInit;
  Microsoft::WRL::ComPtr<IHalItem> hold(channel);
  try {
    return ApplyChannel(channel);
  } catch (const HResultError& e) {
    return FAILED(e.code()) ? e.code() : errors::kDmFailure;
  }
}

HRESULT DeviceManagerImpl::ApplyChannel(IHalItem* channel) {
  ULONG band = static_cast<ULONG>(hal_items::ReadInteger(channel, 2));
  if (band == 0) band = 1;
  ULONG frequency = 0;
  if (IsTunerBand(band)) {
    VARIANT value;
    VariantInit(&value);
    RETURN_IF_FAILED(channel->GetInfo(4, &value));
    const HRESULT converted = VariantChangeType(&value, &value, 0, VT_UI4);
    frequency = value.ulVal;
    VariantClear(&value);
    RETURN_IF_FAILED(converted);
    if (frequency < blockB_[1] || frequency > blockB_[2]) return errors::kDmInvalidArg;
  }
  const ULONG functions = static_cast<ULONG>(hal_items::ReadInteger(channel, 5));
  if (functions != 0 && (functions & ~DeviceFunctions()) != 0) return errors::kDmInvalidArg;
  const auto& list = info_.facts().baseChannels;
  const bool known = std::any_of(list.begin(), list.end(), [&](const _SHAL_BASECH& entry) {
    return ((entry.band ^ band) & kBandMask28) == 0;
  });
  if (!known) return errors::kDmInvalidArg;

  ULONG current = 0;
  if (FAILED(tuner_.GetCurrentInput(&current))) current = 0;
  const bool changes = current == 0 || InputChanges(current, band);

  HRESULT last = S_OK;
  // The function switch (function 2 only, see kAppliedFunctions); a failure here is the result
  // only when nothing follows.
  if (DeviceFunctions() & 2) {
    ULONG capture = 0;
    const HRESULT read = tuner_.GetCaptureSwitch(&capture);
    const ULONG wanted = (functions >> 1) & 1;
    last = read;
    if (FAILED(read) || capture != wanted) {
      last = GuardHr(errors::kDmFailure, [&] { return tuner_.SetCaptureSwitch(wanted); });
    }
  }
  if (changes) {
    last = tuner_.SetInput(band);
    RETURN_IF_FAILED(last);
    if (IsTunerBand(band)) {
      events_.event(NotifyEvent::ExternalInput).Reset();
    } else {
      events_.event(NotifyEvent::ExternalInput).Set();
    }
    if (IsTunerBand(current) != IsTunerBand(band)) events_.SetAudioEventsIfRunning();
  }
  if (IsTunerBand(band)) {
    last = tuner_.Tune(frequency, 0);
    RETURN_IF_FAILED(last);
  }
  if (InstanceRecord* record = stamp_.record()) {
    record->channelSet = 1;
    record->lastChangeMs = timeGetTime();
  }
  currentBand_ = band & kBandMask28;
  WriteSlot(kSlotBand, static_cast<std::int32_t>(band));
  WriteSlot(kSlotTunerFunction, static_cast<std::int32_t>(functions));
  return last;
}

HRESULT DeviceManagerImpl::GetAvailableAudioFunction(long* count, ULONG** functions) {
  constexpr ULONG kFunctions[] = {1};
  return HandOutArray(kFunctions, 1, count, functions);
}

HRESULT DeviceManagerImpl::GetAudioFunction(ULONG* function) {
  *function = 1;
  return S_OK;
}

HRESULT DeviceManagerImpl::SetAudioFunction(ULONG function) {
  return function == 1 ? S_OK : errors::kDmInvalidArg;
}

HRESULT DeviceManagerImpl::UninitializeInputSwitch(ULONG) {
  if (!inputSwitchInitialized_) return S_OK;
  if (exclusive_.mutex(ExclusiveInterface::AutoScan).AlreadyExists()) return errors::kAutoScanInUse;
  if (channelItem_) channelItem_->Clear();
  channelItem_.Reset();
  events_.SetAudioEventsIfRunning();
  WriteOwnerSlots(kSlotInputSwitchProcess, false);
  inputSwitchInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::InputSwitch).Close();
  return S_OK;
}

// --- IInputQualityControl -----------------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableVidProcAmp(ULONG* bits) {
  *bits = 1 | 2 | 4 | 8;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVidProcAmpRange(long type, long* min, long* max, long* step, long* def,
                                              long* automatic) {
  if (!ValidProcAmpBit(type)) return errors::kDmInvalidArg;
  RETURN_IF_FAILED(tuner_.GetProcAmpRange(type, min, max, step, def, automatic));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVidProcAmpParam(long type, long* value) {
  if (!ValidProcAmpBit(type)) return errors::kDmInvalidArg;
  RETURN_IF_FAILED(tuner_.GetProcAmp(type, value));
  return S_OK;
}

HRESULT DeviceManagerImpl::SetVidProcAmpParam(long type, long value) {
  if (!ValidProcAmpBit(type)) return errors::kDmInvalidArg;
  return tuner_.SetProcAmp(type, procAmpRanges_.Clamp(static_cast<std::uint32_t>(type), value));
}

// --- IAutoScan / IAutoScan2 ---------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeAutoScan(ULONG) {
  if (autoScanInitialized_) return errors::kAutoScanInUse;
  RETURN_IF_FAILED(TakeExclusiveUse(ExclusiveInterface::AutoScan, errors::kAutoScanInUse));
  NamedMutex& mine = exclusive_.mutex(ExclusiveInterface::AutoScan);
  if (exclusive_.mutex(ExclusiveInterface::OutputData).AlreadyExists()) {
    mine.Close();
    return errors::kOutputDataInUse;
  }
  const HRESULT hr = GuardHr(errors::kDmFailure, [&] { return tuner_.SetScanMode(); });
  if (FAILED(hr)) {
    mine.Close();
    return hr;
  }
  autoScanInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetChannelFreqLevel(_SHAL_BASECH*, ULONG freq, long* level, ULONG* tvfmt) {
  if (!autoScanInitialized_) return errors::kAutoScanNotInit;
  *tvfmt = 2;
  if (freq < blockB_[1] || freq > blockB_[2]) return errors::kDmInvalidArg;
  return GuardHr(errors::kDmFailure, [&] {
    RETURN_IF_FAILED(tuner_.Tune(freq, 1));
    return tuner_.GetSignalLevel(level);
  });
}

HRESULT DeviceManagerImpl::UninitializeAutoScan(ULONG) {
  if (!autoScanInitialized_) return S_OK;
  RETURN_IF_FAILED(GuardHr(errors::kDmFailure, [&] { return tuner_.ClearScanMode(); }));
  autoScanInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::AutoScan).Close();
  return S_OK;
}


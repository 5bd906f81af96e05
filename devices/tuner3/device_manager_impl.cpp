#include "devices/tuner3/device_manager_impl.h"

#include <oleauto.h>

#include <mmsystem.h>

#include <algorithm>
#include <cstring>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "common/settings_file.h"
#include "devices/core/device_tables.h"
#include "devices/core/base_channel_list.h"
#include "devices/core/chain_policy.h"
#include "devices/core/channel_settle.h"
#include "devices/core/custom_video_chain_builder.h"
#include "devices/core/outside_filters.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/preview_window.h"
#include "devices/core/output_session.h"
#include "devices/core/host_arrays.h"
#include "devices/tuner3/firmware_download.h"
#include "devices/tuner3/pex_traits.h"

std::unique_ptr<DeviceManagerOperations> PexTraits::CreateImplementation() {
  return std::make_unique<pex::DeviceManagerImpl>();
}

namespace pex {

namespace {

// Device item values read here.
enum ItemValue : long {
  kItemDevicePath = 0,  // string: the device path, also the device's name in the state table
  kItemBoardType = 2,   // integer: registered with the name
  kItemCapability = 4,  // integer: capability bits
  kItemFunctions = 5,   // integer: registered with the name
};

// Channel item values.
enum ChannelValue : long { kChRegion = 0, kChFormat = 1, kChBand = 2, kChChannel = 3, kChFrequency = 4, kChSwitches = 5 };

// {990DDD00-99D8-45F2-A363-DD40FFFC052E}
constexpr IID kOptionalInterface08 = {0x990ddd00, 0x99d8, 0x45f2, {0xa3, 0x63, 0xdd, 0x40, 0xff, 0xfc, 0x05, 0x2e}};
// {07B3E6C6-B3A4-4C0F-A878-2F5FB7025C83}
constexpr IID kOptionalInterface20 = {0x07b3e6c6, 0xb3a4, 0x4c0f, {0xa8, 0x78, 0x2f, 0x5f, 0xb7, 0x02, 0x5c, 0x83}};

constexpr ULONG kRegionJapan = kBaseChannelRegion;
constexpr ULONG kTvFormat = kBaseChannelTvFormat;
constexpr ULONG kBandAntenna = 1;

const IID* const kAvailable[] = {&IID_IDeviceInfoDetail, &IID_IInputSwitch, &IID_IOutputData,
                                 &IID_IPreview,          &IID_IAutoScan,    &IID_IAutoScan2};
const IID* const kScan[] = {&IID_IAutoScan, &IID_IAutoScan2};
constexpr OptionalInterface kOptional[] = {{&kOptionalInterface20, 0x20, errors::kNoCapability20},
                                           {&kOptionalInterface08, 0x08, errors::kNoCapability08}};
const IID* const kVideoModes[] = {&IID_IPreviewWindow, &IID_ICustomPreviewWindow};
const IID* const kSoundModes[] = {&IID_ISound};

constexpr ULONG kCountries[] = {kRegionJapan};
constexpr ULONG kTvFormats[] = {kTvFormat};
constexpr _SHAL_INPUT_AUDIOMODE kInputAudioModes[] = {{1, 1, 0}, {2, 2, 0}, {4, 8, 0}};
constexpr _SHAL_OUTPUT_AUDIOMODE kOutputAudioModes[] = {{1, 1}, {2, 2}, {4, 4}, {8, 8}, {4, 8}};

constexpr DeviceObjectRules kRules{errors::kDeviceNotSet, E_INVALIDARG, true};
const DeviceInfoTable kInfoTable = {
    kAvailable, kScan,        errors::kNoScanCapability, kOptional, kVideoModes, {}, 0,
    kSoundModes, kCountries,  kTvFormats,                kInputAudioModes, kOutputAudioModes,
};

bool IsTunerBand(ULONG band) { return (band & 3) != 0; }
bool IsExternalBand(ULONG band) { return (band & 0x60) != 0; }

// Whether setting `next` after `routed` routes the input again: not when two different tuner
// bands share the tuner's input, nor for two external bands with equal bits 28-30.
bool RoutesAgain(ULONG routed, ULONG next) {
  if (routed == next) return true;
  if (IsTunerBand(routed) && IsTunerBand(next)) return false;
  if (IsExternalBand(routed) && IsExternalBand(next) && ((routed ^ next) & 0x70000000) == 0) return false;
  return true;
}

// Picture-control types: one of bits 0 to 9.
bool ValidProcAmpBit(long type) {
  for (long n = 0; n < 10; ++n)
    if (type == (1L << n)) return true;
  return false;
}

// Keeps the first failure of a sequence that goes on after failures.
void Note(HRESULT* first, HRESULT hr) {
  if (FAILED(hr) && SUCCEEDED(*first)) *first = hr;
}

}  // namespace

void BusyAnswer(void*, HANDLE, DWORD requestSize, const BYTE* request, DWORD* answerSize, BYTE* answer,
                DWORD answerCapacity) {
  if (!answerSize) return;
  *answerSize = 0;
  // The second word is read only when the request holds it.
  if (!request || requestSize < 2 * sizeof(std::uint32_t) || !answer || answerCapacity < 12) return;
  std::uint32_t busy = 0;
  std::memcpy(&busy, request + sizeof(std::uint32_t), sizeof(busy));
  if (busy == 0) return;
  const std::uint32_t reply[3] = {12, 0, static_cast<std::uint32_t>(E_FAIL)};
  std::memcpy(answer, reply, sizeof(reply));
  *answerSize = sizeof(reply);
}
static_assert(std::is_same_v<decltype(&BusyAnswer), NamedPipe::Handler>);

DeviceManagerImpl::DeviceManagerImpl()
    : GraphForwards(kInfoTable, kRules),
      filterModule_(ThisModule()),
      output_(filterModule_),
      preview_(filterModule_) {}

DeviceManagerImpl::DeviceManagerImpl(const wchar_t* stateSection, const wchar_t* stateMutex, HMODULE filterModule)
    : GraphForwards(stateSection, stateMutex, kInfoTable, kRules),
      filterModule_(filterModule ? filterModule : ThisModule()),
      output_(filterModule_),
      preview_(filterModule_) {}

DeviceManagerImpl::~DeviceManagerImpl() { Shutdown(); }

HRESULT DeviceManagerImpl::Shutdown() {
  if (outputInitialized_) {
    if (events_.event(NotifyEvent::RecRunning).IsSet()) StopOutputData(0);
    UninitializeOutputData(0);
  }
  if (previewInitialized_) {
    if (PreviewStopped() != S_OK) StopPreview(0);
    UninitializeSound(0);
    UninitializePreviewWindow(0);
    UninitializePreview(0);
  }
  UninitializeAutoScan(0);
  UninitializeInputSwitch(0);
  tuner_.Teardown();
  if (deviceItem_) deviceItem_->Clear();
  ReleaseBinding();
  stateTable_.Close();
  channelItem_.Reset();
  channel_.reset();
  return S_OK;
}

// --- Setup ------------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::SetDeviceInfo(IHalItem* item) {
  if (!item) return E_POINTER;
  if (deviceItem_) return errors::kDeviceAlreadySet;
  VARIANT path;
  VariantInit(&path);
  RETURN_IF_FAILED(item->GetInfo(kItemDevicePath, &path));
  if (path.vt != VT_BSTR || !path.bstrVal || SysStringByteLen(path.bstrVal) == 0) {
    VariantClear(&path);
    return E_INVALIDARG;
  }
  const HRESULT hr = GuardHr(E_FAIL, [&] {
    try {
      Bind(item, path.bstrVal);
      return S_OK;
    } catch (...) {
      Undo();
      throw;
    }
  });
  VariantClear(&path);
  return hr;
}

void DeviceManagerImpl::Bind(IHalItem* item, const wchar_t* devicePath) {
  identity_ = DeviceIdentity(devicePath);
  FirmwareSetup firmware;
  ThrowIfFailed(DownloadFirmware(identity_, ThisModule(), &firmware));
  channel_ = std::move(firmware.channel);
  recordA_ = firmware.descriptionA;
  recordB_ = firmware.descriptionB;
  BuildBaseChannelList();
  ThrowIfFailed(item->Clone(deviceItem_.ReleaseAndGetAddressOf()));
  if (!deviceItem_) ThrowHr(E_FAIL);

  DeviceFacts& facts = info_.facts();
  facts.hasItem = true;
  facts.capability = static_cast<ULONG>(hal_items::ReadInteger(deviceItem_.Get(), kItemCapability));
  facts.scanCapability = recordB_[0];
  facts.minFrequency = recordB_[1];
  facts.maxFrequency = recordB_[2];
  facts.frequencyStep = recordB_[3];
  facts.band1MinChannel = recordB_[4];
  facts.band1MaxChannel = recordB_[5];
  facts.band2MinChannel = recordB_[6];
  facts.band2MaxChannel = recordB_[7];
  facts.tunerFunctions = ((recordA_[2] >> 6) & 1) | (((recordA_[2] >> 7) & 1) << 1);

  const DeviceObjectNames objectNames = names();
  ThrowIfFailed(events_.Create(objectNames));
  ThrowIfFailed(exclusive_.Prepare(objectNames));
  ThrowIfFailed(pipe_.StartServer(this, objectNames.Pipe(GetCurrentProcessId(), this).c_str(), &BusyAnswer));
  stateEntry_ = identity_.GetPath();
  ThrowIfFailed(stateTable_.Register(stateEntry_.c_str(),
                                     hal_items::ReadInteger(deviceItem_.Get(), kItemBoardType),
                                     hal_items::ReadInteger(deviceItem_.Get(), kItemFunctions)));
  ReadChannelInterval();
  ThrowIfFailed(stamp_.Create(objectNames));
}

void DeviceManagerImpl::BuildBaseChannelList() {
  info_.facts().baseChannels = BaseChannelsFromInputs(recordA_[1]);
  if (info_.facts().baseChannels.empty()) ThrowHr(errors::kNoBaseChannel);
}

void DeviceManagerImpl::Undo() noexcept {
  if (deviceItem_) deviceItem_->Clear();
  ReleaseBinding();
  // The control channel goes too: a retry runs the firmware step again.
  channel_.reset();
}

HRESULT DeviceManagerImpl::GetAvailableChannelInfo(_SHAL_BASECH* baseCh, ULONG* minCh, ULONG* maxCh) {
  if (minCh) *minCh = 0;
  if (maxCh) *maxCh = 0;
  return DeviceObjectCore::GetAvailableChannelInfo(baseCh, minCh, maxCh);
}

// --- IInputSwitch -------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeInputSwitch(ULONG) {
  if (inputSwitchInitialized_) return S_OK;
  // Nothing of a failed attempt stays: the channel item goes with the exclusive use.
  return InitializeHeld(ExclusiveInterface::InputSwitch, errors::kInputSwitchInUse, inputSwitchInitialized_,
                        [&] { return InitializeInputSwitchSteps(); },
                        [&] {
                          if (channelItem_) channelItem_->Clear();
                          channelItem_.Reset();
                        });
}

HRESULT DeviceManagerImpl::InitializeInputSwitchSteps() {
  RETURN_IF_FAILED(MakeChannelItem());
  RETURN_IF_FAILED(tuner_.Build(identity_));
  KeepProcAmpRanges(tuner_, {1UL, 2UL, 4UL, 8UL});
  currentBand_ = 0;
  DWORD input = 0;
  if (SUCCEEDED(tuner_.GetInput(&input))) {
    currentBand_ = input;
    int type = 0;
    if (input == 1 && SUCCEEDED(tuner_.GetInputType(&type))) currentBand_ = static_cast<ULONG>(type);
  }
  SetExternalInputEvent(!IsTunerBand(currentBand_));
  WriteOwnerSlots(kSlotInputSwitchProcess, true);
  return S_OK;
}

HRESULT DeviceManagerImpl::GetChannel(IHalItem** channel) {
  if (!inputSwitchInitialized_) return errors::kInputSwitchNotInit;
  if (!channel) return E_POINTER;
  *channel = nullptr;
  Microsoft::WRL::ComPtr<IHalItem> copy;
  RETURN_IF_FAILED(channelItem_->Clone(copy.GetAddressOf()));
  int number = 0, frequency = 0, switchA = 0, switchB = 0;
  if (IsTunerBand(currentBand_)) tuner_.GetChannel(&number);
  tuner_.GetFrequency(&frequency);
  tuner_.GetCaptureSwitchA(&switchA);
  tuner_.GetCaptureSwitchB(&switchB);
  const struct {
    long type;
    std::int32_t value;
  } values[] = {{kChRegion, static_cast<std::int32_t>(kRegionJapan)},
                {kChBand, static_cast<std::int32_t>(currentBand_)},
                {kChFormat, static_cast<std::int32_t>(kTvFormat)},
                {kChChannel, number},
                {kChFrequency, frequency},
                {kChSwitches, (switchB ? 2 : 0) | (switchA ? 1 : 0)}};
  for (const auto& v : values) RETURN_IF_FAILED(hal_items::WriteInteger(copy.Get(), v.type, v.value));
  *channel = copy.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::SetChannel(IHalItem* channel) {
  if (!inputSwitchInitialized_) return errors::kInputSwitchNotInit;
  if (!channel) return E_POINTER;
  Microsoft::WRL::ComPtr<IHalItem> hold(channel);
  return GuardHr(E_FAIL, [&] { return ApplyChannel(channel); });
}

HRESULT DeviceManagerImpl::ApplyChannel(IHalItem* channel) {
  ULONG band = static_cast<ULONG>(hal_items::ReadInteger(channel, kChBand));
  if (band == 0) band = kBandAntenna;
  const int number = hal_items::ReadInteger(channel, kChChannel);
  const ULONG frequency = static_cast<ULONG>(hal_items::ReadInteger(channel, kChFrequency));
  const ULONG switches = static_cast<ULONG>(hal_items::ReadInteger(channel, kChSwitches));

  // Arguments first: nothing changes for a request the device cannot take.
  if ((switches & 1) && !(recordA_[2] & 0x40)) return E_INVALIDARG;
  if ((switches & 2) && !(recordA_[2] & 0x80)) return E_INVALIDARG;
  const auto& list = info_.facts().baseChannels;
  if (std::none_of(list.begin(), list.end(), [&](const _SHAL_BASECH& entry) { return entry.band == band; }))
    return E_INVALIDARG;
  const bool tuner = IsTunerBand(band);
  if (tuner) {
    if (frequency != 0) {
      if (frequency < recordB_[1] || frequency > recordB_[2]) return E_INVALIDARG;
    } else {
      const ULONG low = (band & 2) ? recordB_[6] : recordB_[4];
      const ULONG high = (band & 2) ? recordB_[7] : recordB_[5];
      const ULONG asked = static_cast<ULONG>(number);
      if (asked < low || asked > high) return E_INVALIDARG;
    }
  }

  DWORD routed = 0;
  if (FAILED(tuner_.GetInput(&routed))) routed = currentBand_;
  // Only routing and tuning count for the call: a driver without the capture switches or the
  // switching flag still tunes.
  HRESULT failure = S_OK;
  tuner_.SetCaptureSwitchA(static_cast<int>(switches & 1));
  tuner_.SetSwitchingFlag(1);
  tuner_.SetCaptureSwitchB(static_cast<int>((switches >> 1) & 1));
  if (RoutesAgain(routed, band)) {
    Note(&failure, tuner_.SetInput(band));
    SetExternalInputEvent(!tuner);
    if (IsTunerBand(routed) != tuner) events_.SetAudioEventsIfRunning();
  }
  bool byFrequency = false;
  if (!tuner) {
    tuner_.SetSwitchingFlag(0);
  } else if (frequency != 0) {
    tuner_.SetSwitchingFlag(0);
    Note(&failure, tuner_.SetFrequency(static_cast<int>(frequency), 0));
    // Tuned by frequency: no band and channel to report afterwards.
    byFrequency = true;
  } else {
    int type = 0;
    if (FAILED(tuner_.GetInputType(&type)) || static_cast<ULONG>(type) != band)
      Note(&failure, tuner_.SetInputType(band));
    Note(&failure, tuner_.SetChannel(number));
    tuner_.SetSwitchingFlag(0);
  }
  if (InstanceRecord* record = stamp_.record()) {
    record->channelSet = 1;
    record->lastChangeMs = timeGetTime();
  }
  currentBand_ = (FAILED(failure) || byFrequency) ? 0 : band;
  WriteSlot(kSlotBand, static_cast<std::int32_t>(band));
  WriteSlot(kSlotTunerFunction, static_cast<std::int32_t>(switches));
  // Only argument errors are the call's: a failed routing or tuning shows as the band 0 that
  // GetChannel reports afterwards.
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializeInputSwitch(ULONG) {
  if (!inputSwitchInitialized_) return S_OK;
  if (exclusive_.mutex(ExclusiveInterface::AutoScan).AlreadyExists()) return errors::kAutoScanInUse;
  if (channelItem_) channelItem_->Clear();
  channelItem_.Reset();
  RETURN_IF_FAILED(tuner_.Teardown());
  events_.SetAudioEventsIfRunning();
  WriteOwnerSlots(kSlotInputSwitchProcess, false);
  inputSwitchInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::InputSwitch).Close();
  return S_OK;
}

// --- IInputQualityControl -----------------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableVidProcAmp(ULONG* bits) {
  if (!bits) return E_POINTER;
  *bits = 1 | 2 | 4 | 8;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVidProcAmpRange(long type, long* min, long* max, long* step, long* def,
                                              long* automatic) {
  if (!ValidProcAmpBit(type)) return E_INVALIDARG;
  if (!min || !max || !step || !def) return E_POINTER;
  LONG a = 0, b = 0, c = 0, d = 0, e = 0;
  RETURN_IF_FAILED(tuner_.GetProcAmpRange(static_cast<DWORD>(type), &a, &b, &c, &d, &e));
  *min = a;
  *max = b;
  *step = c;
  *def = d;
  if (automatic) *automatic = e;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVidProcAmpParam(long type, long* value) {
  if (!ValidProcAmpBit(type)) return E_INVALIDARG;
  if (!value) return E_POINTER;
  LONG v = 0;
  RETURN_IF_FAILED(tuner_.GetProcAmp(static_cast<DWORD>(type), &v));
  *value = v;
  return S_OK;
}

HRESULT DeviceManagerImpl::SetVidProcAmpParam(long type, long value) {
  if (!ValidProcAmpBit(type)) return E_INVALIDARG;
  return tuner_.SetProcAmp(static_cast<DWORD>(type), procAmpRanges_.Clamp(static_cast<std::uint32_t>(type), value));
}

// --- IAutoScan / IAutoScan2 ---------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeAutoScan(ULONG) {
  if (autoScanInitialized_) return errors::kAutoScanInUse;
  return InitializeHeld(ExclusiveInterface::AutoScan, errors::kAutoScanInUse, autoScanInitialized_,
                        [&] { return tuner_.SetScanMode(1); }, [] {});
}

HRESULT DeviceManagerImpl::GetChannelFreqLevel(_SHAL_BASECH*, ULONG freq, long* level, ULONG* tvfmt) {
  if (!autoScanInitialized_) return errors::kAutoScanNotInit;
  if (!level || !tvfmt) return E_POINTER;
  *tvfmt = kTvFormat;
  if (freq < recordB_[1] || freq > recordB_[2]) return E_INVALIDARG;
  RETURN_IF_FAILED(tuner_.SetFrequency(static_cast<int>(freq), 1));
  int signal = 0;
  RETURN_IF_FAILED(tuner_.GetSignalLevel(&signal));
  *level = signal;
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializeAutoScan(ULONG) {
  if (!autoScanInitialized_) return S_OK;
  RETURN_IF_FAILED(tuner_.SetScanMode(0));
  autoScanInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::AutoScan).Close();
  return S_OK;
}

// --- IPreview -------------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::PreviewStopped() {
  OAFilterState state = State_Stopped;
  RETURN_IF_FAILED(preview_.GetState(&state, 0));
  return state == State_Stopped ? S_OK : errors::kGraphNotStopped;
}

HRESULT DeviceManagerImpl::InitializePreview(ULONG) {
  return InitializeHeld(
      ExclusiveInterface::Preview, errors::kPreviewInUse, previewInitialized_,
      [&] {
        RETURN_IF_FAILED(preview_.SetSoundSettings(deviceItem_.Get()));
        RETURN_IF_FAILED(preview_.Build(identity_));
        WriteOwnerSlots(kSlotPreviewProcess, true);
        return S_OK;
      },
      [] {});
}

HRESULT DeviceManagerImpl::GetPreviewLastError(HRESULT* error, ULONG* reserve) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  if (!error || !reserve) return E_POINTER;
  *error = preview_.GetLastError();
  *reserve = 0;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVideoDataInfo(IHalItem** item) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  if (!item) return E_POINTER;
  *item = nullptr;
  PreviewVideoSize size{};
  RETURN_IF_FAILED(preview_.GetVideoSize(&size));
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  // Width in value 0 and height in value 1, as the other families and the graph give them.
  const LONG values[] = {size.width, size.height, size.planes, size.count};
  for (long i = 0; i < 4; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, values[i]));
  *item = made.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetSoundDataInfo(IHalItem** item) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  if (!item) return E_POINTER;
  *item = nullptr;
  DWORD rate = 0, channels = 0, bits = 0;
  RETURN_IF_FAILED(preview_.GetSoundDataInfo(&rate, &channels, &bits));
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  const DWORD values[] = {rate, channels, bits};
  for (long i = 0; i < 3; ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, static_cast<std::int32_t>(values[i])));
  *item = made.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::RunPreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  return GuardHr(E_FAIL, [&] { return RunPreviewSteps(); });
}

HRESULT DeviceManagerImpl::RunPreviewSteps() {
  RETURN_IF_FAILED(preview_.ConnectStreams());
  WriteSlot(kSlotPreviewStarted, 1);
  HRESULT hr = preview_.Run();
  if (SUCCEEDED(hr)) {
    events_.event(NotifyEvent::LiveRunning).Set();
    WriteSlot(kSlotPreviewState, kSlotRunning);
    if (position_.set && windowInitialized_) {
      RECT destination = position_.destination;
      RECT source = position_.source;
      hr = preview_.SetVideoPosition(position_.wholeSource ? nullptr : &source, &destination);
    }
  }
  if (FAILED(hr)) {
    preview_.Stop();
    events_.event(NotifyEvent::LiveRunning).Reset();
    WriteSlot(kSlotPreviewState, kSlotStopped);
    preview_.DisconnectStreams();
    WriteSlot(kSlotPreviewStarted, 0);
    return hr;
  }
  return S_OK;
}

HRESULT DeviceManagerImpl::PausePreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_.Pause());
  WriteSlot(kSlotPreviewState, kSlotPaused);
  return S_OK;
}

HRESULT DeviceManagerImpl::StopPreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_.Stop());
  events_.event(NotifyEvent::LiveRunning).Reset();
  WriteSlot(kSlotPreviewState, kSlotStopped);
  const HRESULT hr = preview_.DisconnectStreams();
  if (SUCCEEDED(hr)) WriteSlot(kSlotPreviewStarted, 0);
  return hr;
}

HRESULT DeviceManagerImpl::GetPreviewState(ULONG* state) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  if (!state) return E_POINTER;
  OAFilterState graphState = State_Stopped;
  RETURN_IF_FAILED(preview_.GetState(&graphState, 0));
  *state = static_cast<ULONG>(graphState);
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializePreview(ULONG) {
  if (!previewInitialized_) return S_OK;
  RETURN_IF_FAILED(PreviewStopped());
  preview_.Teardown();
  WriteOwnerSlots(kSlotPreviewProcess, false);
  previewInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::Preview).Close();
  return S_OK;
}

HRESULT DeviceManagerImpl::SetVideoPosition(RECT* source, RECT* destination) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  if (!destination) return E_POINTER;
  position_.set = true;
  position_.wholeSource = source == nullptr;
  position_.source = source ? *source : RECT{};
  position_.destination = *destination;
  // While the preview runs the position goes to the chain now; otherwise Run applies it.
  if (!events_.event(NotifyEvent::LiveRunning).IsSet()) return S_OK;
  return preview_.SetVideoPosition(source, destination);
}

// --- The window interfaces ---------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeWindow(ULONG overlayMode, REFCLSID clsid, const wchar_t* moduleFile) {
  const auto build = [&] {
    position_.set = false;
    RETURN_IF_FAILED(PreviewStopped());
    ChainSettings settings;
    settings.boardType = static_cast<DWORD>(hal_items::ReadInteger(deviceItem_.Get(), kItemBoardType));
    settings.module = filterModule_;
    settings.recRunningEvent = names().RecRunningEvent();
    settings.creation = chain_policies::kFamily3.creation;
    std::unique_ptr<VideoChainBuilder> chain;
    // The preview's sound path holds the audio pacer: the video pacer goes first.
    RETURN_IF_FAILED(CustomVideoChainBuilder::Create(deviceItem_.Get(), settings, chain_policies::kFamily3, true, &chain));
    return preview_.InsertCustomFilter(std::move(chain), overlayMode, clsid, moduleFile);
  };
  // One exclusive object serves both window interfaces; this object's own window counts too.
  return InitializeHeld(ExclusiveInterface::PreviewWindow, errors::kWindowInUse, windowInitialized_, build, [] {});
}

HRESULT DeviceManagerImpl::InitializePreviewWindow(ULONG overlayMode) {
  return InitializeWindow(overlayMode, outside::kClsidOsd, outside::kOsdFile);
}

HRESULT DeviceManagerImpl::InitializeCustomPreviewWindow(ULONG overlayMode, REFCLSID clsid, BSTR module) {
  return InitializeWindow(overlayMode, clsid, module ? module : L"");
}

HRESULT DeviceManagerImpl::QueryInterfaceFromCustomFilter(REFIID iid, void** out) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return preview_.QueryInterfaceFromCustomFilter(iid, out);
}

HRESULT DeviceManagerImpl::SetVideoClippingWindow(HWND window) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  RETURN_IF_FAILED(CheckClippingWindow(window));
  return preview_.SetVideoClippingWindow(window);
}

HRESULT DeviceManagerImpl::UninitializePreviewWindow(ULONG) {
  if (!windowInitialized_) return S_OK;
  if (previewInitialized_) RETURN_IF_FAILED(PreviewStopped());
  RETURN_IF_FAILED(preview_.ReleaseVideoChain());
  windowInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::PreviewWindow).Close();
  return S_OK;
}

// --- ISound ----------------------------------------------------------------------------------------
// No exclusive object: any object of the device may add its own sound path to its own preview.

HRESULT DeviceManagerImpl::InitializeSound(ULONG) {
  if (soundInitialized_) return S_OK;
  RETURN_IF_FAILED(PreviewStopped());
  RETURN_IF_FAILED(GuardHr(E_FAIL, [&] { return preview_.AddAudioRenderer(CLSID_DSoundRender); }));
  soundInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializeSound(ULONG) {
  if (!soundInitialized_) return S_OK;
  if (previewInitialized_) RETURN_IF_FAILED(PreviewStopped());
  preview_.RemoveAudioRenderer();
  soundInitialized_ = false;
  return S_OK;
}

// --- IOutputData ---------------------------------------------------------------------------------

DWORD ChannelSettleWait(const InstanceRecord* record, DWORD now, DWORD interval) noexcept {
  return record ? ChannelSettleRemaining(*record, interval, now) : 0;
}

DeviceSummary DeviceManagerImpl::Summary() {
  const output_data::OutputStatus status = StatusWords(L"tavo.sys");
  // Word A carries this family's kind (0x4) beside the capability bits.
  return {{bound() ? status.a | 0x4u : 0u, status.b, status.c, status.d}};
}

HRESULT DeviceManagerImpl::InitializeOutputData(ULONG) {
  return InitializeHeld(
      ExclusiveInterface::OutputData, errors::kOutputDataInUse, outputInitialized_,
      [&] {
        for (OutputType& entry : outputTypes_) entry = {};
        RETURN_IF_FAILED(output_.Build(identity_));
        WriteOwnerSlots(kSlotOutputProcess, true);
        return S_OK;
      },
      [] {});
}

HRESULT DeviceManagerImpl::GetOutputLastError(HRESULT* error, ULONG* reserve) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  if (!error || !reserve) return E_POINTER;
  *error = output_.GetLastError();
  *reserve = 0;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetAvailableOutputDataType(long* count, ULONG** types) {
  return output_.GetAvailableTypes(count, types);
}

HRESULT DeviceManagerImpl::GetAvailableOutputDataSubType(long type, long* count, ULONG** subTypes) {
  return output_.GetAvailableSubTypes(type, count, subTypes);
}

HRESULT DeviceManagerImpl::SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  if (!type) return E_INVALIDARG;
  long count = 0;
  ULONG* listed = nullptr;
  RETURN_IF_FAILED(output_.GetAvailableSubTypes(static_cast<long>(type->type), &count, &listed));
  const bool known = std::find(listed, listed + count, type->subtype) != listed + count;
  CoTaskMemFree(listed);
  // The registry presets are accepted whatever the list says.
  if (!known && (type->subtype < 100 || type->subtype > 200)) return E_INVALIDARG;
  RETURN_IF_FAILED(output_.SetOutputDataType(type, callback));
  if (type->type >= 1 && type->type <= 3) outputTypes_[type->type - 1] = {type->subtype, callback};
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputDataType(long* count, _SHAL_OUTPUTDTATA_TYPE** types) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  if (!count || !types) return E_POINTER;
  const _SHAL_OUTPUTDTATA_TYPE records[3] = {
      {1, outputTypes_[0].subtype}, {2, outputTypes_[1].subtype}, {3, outputTypes_[2].subtype}};
  return HandOutArray(records, 3, count, types);
}

HRESULT DeviceManagerImpl::GetOutputDataInfo(long type, long subType, IHalItem** item) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  if (!item) return E_POINTER;
  *item = nullptr;
  long count = 0;
  std::int32_t* values = nullptr;
  RETURN_IF_FAILED(output_.GetOutputDataInfo(type, subType, &count, &values));
  struct Free {
    void* p;
    ~Free() { CoTaskMemFree(p); }
  } free{values};
  if (count <= 0) return S_OK;
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  for (long i = 0; i < count; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, values[i]));
  *item = made.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::StartOutputData(ULONG) {
  // The initialisation is checked before anything is set or connected.
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  return GuardHr(E_FAIL, [&] { return StartOutputSteps(); });
}

HRESULT DeviceManagerImpl::StartOutputSteps() {
  const DeviceSummary summary = Summary();
  RETURN_IF_FAILED(output_.SetAnalyzerParameters(static_cast<LONG>(summary.words[0]), static_cast<LONG>(summary.words[1]),
                                                 static_cast<LONG>(summary.words[2]), static_cast<LONG>(summary.words[3])));
  RETURN_IF_FAILED(output_.SetRecordingParameters(static_cast<int>(outputTypes_[0].subtype)));
  RETURN_IF_FAILED(output_.ConnectStreams());
  WriteSlot(kSlotOutputStarted, 1);
  if (const DWORD wait = ChannelSettleWait(stamp_.record(), timeGetTime(), interval_)) Sleep(wait);
  const HRESULT started = output_.Start();
  if (FAILED(started)) {
    // Back to the state before the start: nothing stays connected or marked.
    output_.DisconnectStreams();
    WriteSlot(kSlotOutputStarted, 0);
    return started;
  }
  events_.event(NotifyEvent::RecRunning).Set();
  WriteSlot(kSlotOutputState, 2);
  return S_OK;
}

HRESULT DeviceManagerImpl::StopOutputData(ULONG stopMode) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  // What the encoder gives until the minimum recording time has passed reaches the host; a stop
  // mode then ends the delivery before the encoder drains (its result does not matter here).
  output_.WaitMinimumRecTime();
  if (stopMode != 0) output_.EndOfData(1);
  // The graph's stop drains the encoder.
  RETURN_IF_FAILED(output_.Stop());
  events_.event(NotifyEvent::RecRunning).Reset();
  WriteSlot(kSlotOutputState, 0);
  output_.DisconnectStreams();
  WriteSlot(kSlotOutputStarted, 0);
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializeOutputData(ULONG) {
  if (!outputInitialized_) return S_OK;
  WriteOwnerSlots(kSlotOutputProcess, false);
  output_.Teardown();
  if (events_.event(NotifyEvent::LiveRunning).IsSet()) {
    events_.event(NotifyEvent::LiveInputAudio).Set();
    events_.event(NotifyEvent::LiveOutputAudio).Set();
  }
  outputInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::OutputData).Close();
  return S_OK;
}

}  // namespace pex

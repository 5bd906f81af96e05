#include "devices/tuner2/device_manager_impl.h"

#include <oleauto.h>

#include <mmsystem.h>

#include <algorithm>
#include <cstring>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/registry.h"
#include "common/settings_file.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/device_tables.h"
#include "devices/core/hal_items.h"
#include "devices/core/host_arrays.h"
#include "devices/tuner2/device_item.h"
#include "devices/tuner2/instance_pipe.h"
#include "devices/tuner2/rul_traits.h"

std::unique_ptr<DeviceManagerOperations> RulTraits::CreateImplementation() {
  return std::make_unique<rul::DeviceManagerImpl>();
}

namespace rul {

namespace {

// Device item values read here besides those of device_item.h.
constexpr long kItemCapability = 4;  // capability bits
constexpr long kItemDevicePath = 7;  // string: the device path

// Input capability bits (hardware word 1) and the base channels they give, in list order.
constexpr ULONG kRegionJapan = device_tables::kRegionJapan;
constexpr ULONG kTvFormat = device_tables::kTvFormat;
constexpr ULONG kBandTuner1 = 1, kBandTuner2 = 2;
constexpr ULONG kBandExternal1 = 0x20000020;  // bit 2
constexpr ULONG kBandExternal2 = 0x10100020;  // bit 1
constexpr ULONG kBandMask28 = 0x0FFFFFFF;

// Switch capability bits (hardware word 2).
constexpr ULONG kSwitch0Capable = 0x40;
constexpr ULONG kSwitch1Capable = 0x80;

// The interfaces this class offers (IPreview2 is not among them).
const IID* const kAvailable[] = {&IID_IDeviceInfoDetail, &IID_IInputSwitch, &IID_IOutputData,
                                 &IID_IPreview,          &IID_IAutoScan,    &IID_IAutoScan2};
constexpr DeviceObjectRules kRules{errors::kNoDeviceItem, E_INVALIDARG, true};
const DeviceInfoTable kInfoTable = device_tables::CommonTable(kAvailable);

// The picture controls the input quality control accepts.
constexpr long kProcAmpTypes[] = {1, 2, 4, 8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x200};

bool IsTunerBand(ULONG band) { return (band & 3) != 0; }

bool ValidProcAmpType(long type) {
  return std::find(std::begin(kProcAmpTypes), std::end(kProcAmpTypes), type) != std::end(kProcAmpTypes);
}

// Whether the input must be routed again to go from `current` to `next`: the tuner's two bands
// share one input; every other pair (the same band included) is routed again.
bool MustRoute(ULONG current, ULONG next) { return !(IsTunerBand(current) && IsTunerBand(next) && current != next); }

HRESULT ThrownCode(const HResultError& e) { return FAILED(e.code()) ? e.code() : E_FAIL; }

}  // namespace

DeviceManagerImpl::DeviceManagerImpl()
    : GraphForwards(kInfoTable, kRules), filterModule_(ThisModule()), recording_(ThisModule()) {}

DeviceManagerImpl::DeviceManagerImpl(const wchar_t* stateSection, const wchar_t* stateMutex, HMODULE filterModule)
    : GraphForwards(stateSection, stateMutex, kInfoTable, kRules),
      filterModule_(filterModule ? filterModule : ThisModule()),
      recording_(filterModule_) {}

DeviceManagerImpl::~DeviceManagerImpl() { Shutdown(); }

HRESULT DeviceManagerImpl::Shutdown() {
  // The pipe server stops first: no peer request runs on what the steps below take down.
  pipe_.StopServer();
  if (outputInitialized_) {
    // Only a running recording is stopped: on tuner 1 a stop also stops the tuner's preview
    // wherever it runs.
    OAFilterState state = State_Stopped;
    if (FAILED(recording_.GetState(&state, 0)) || state != State_Stopped) StopOutputData(0);
    UninitializeOutputData(0);
  }
  ShutdownPreview();
  UninitializeAutoScan(0);
  // Uninitialize refuses while auto scan is held elsewhere; the shutdown lets go regardless.
  if (inputSwitchInitialized_) ReleaseInputSwitch();
  ReleaseBinding();
  exclusion_.Close();
  stateTable_.Close();
  peer_.Close();
  tuner_.ReleaseFilters();
  driver_.reset();
  tunerIndex_ = -1;
  return S_OK;
}

// --- Setup ------------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::SetDeviceInfo(IHalItem* item) {
  // Every call resets the frame-drop switch of the board's filters, whatever follows.
  RegistryKeyPath(L"HKEY_LOCAL_MACHINE\\Software\\Zarn Corporation\\TunerBrdInfo")
      .WriteDword(L"Qfa Frame Drop", 0);
  if (deviceItem_) return errors::kDeviceAlreadySet;
  if (!item) return E_POINTER;

  VARIANT path;
  VariantInit(&path);
  RETURN_IF_FAILED(item->GetInfo(kItemDevicePath, &path));
  const bool usable = path.vt == VT_BSTR && path.bstrVal && SysStringLen(path.bstrVal) > 0;
  std::wstring devicePath = usable ? std::wstring(path.bstrVal, SysStringLen(path.bstrVal)) : std::wstring();
  VariantClear(&path);
  if (!usable) return E_INVALIDARG;

  LONG index = -1;
  try {
    index = ReadItemLong(item, kItemTunerIndex);
    const LONG count = ReadItemLong(item, kItemTunerCount);
    // A negative index would name objects "_-1" and filters "... 0": refused like one too large.
    if (index < 0 || index >= count) return errors::kTunerIndexOutOfRange;
  } catch (const HResultError& e) {
    return ThrownCode(e);
  }
  tunerIndex_ = index;
  try {
    identity_ = DeviceIdentity(devicePath.c_str());
    Bind(item);
    return S_OK;
  } catch (const HResultError& e) {
    Undo();
    return ThrownCode(e);
  } catch (...) {
    Undo();
    return E_OUTOFMEMORY;
  }
}

void DeviceManagerImpl::Bind(IHalItem* item) {
  ReadDriverInformation();
  BuildBaseChannelList();
  ThrowIfFailed(item->Clone(deviceItem_.ReleaseAndGetAddressOf()));
  if (!deviceItem_) ThrowHr(E_FAIL);

  const DeviceObjectNames objectNames = names();
  ThrowIfFailed(events_.Create(objectNames));
  ThrowIfFailed(exclusive_.Prepare(objectNames));
  if (!exclusion_.SetName(objectNames.DeviceMutex(L"preview_recording_exclusion").c_str()))
    ThrowHr(HResultFromWin32(ERROR_FILENAME_EXCED_RANGE));
  if (!exclusion_.Create()) ThrowHr(HResultFromLastError());

  const std::int32_t boardType = hal_items::ReadInteger(deviceItem_.Get(), kItemBoardType);
  const std::int32_t stateValue = hal_items::ReadInteger(deviceItem_.Get(), kItemStateValue);
  stateEntry_ = hal_items::ReadString(deviceItem_.Get(), kItemName);
  DeviceFacts& facts = info_.facts();
  facts.hasItem = true;
  facts.capability = static_cast<ULONG>(hal_items::ReadInteger(deviceItem_.Get(), kItemCapability));

  ThrowIfFailed(pipe_.StartDeviceServer(this, identity_, GetCurrentProcessId(), this, &HandlePeerRequest,
                                        tunerIndex_));
  // An empty name marks a free entry of the table: a device without a name is not registered.
  if (!stateEntry_.empty()) ThrowIfFailed(stateTable_.Register(stateEntry_.c_str(), boardType, stateValue));

  ReadChannelInterval();
  ThrowIfFailed(stamp_.Create(objectNames));
}

void DeviceManagerImpl::ReadDriverInformation() {
  HRESULT opened = S_OK;
  driver_ = std::make_unique<StreamingDeviceControl>(identity_, &opened);
  ThrowIfFailed(opened);
  driver_->GetHardwareInfo(&hardware_);
  driver_->GetTunerInfo(&tunerInfo_);
  // Auto scan belongs to the card's first tuner.
  if (tunerIndex_ != 0) tunerInfo_[0] = 0;
  DeviceFacts& facts = info_.facts();
  facts.scanCapability = tunerInfo_[0];
  facts.minFrequency = tunerInfo_[1];
  facts.maxFrequency = tunerInfo_[2];
  facts.frequencyStep = tunerInfo_[3];
  facts.band1MinChannel = tunerInfo_[4];
  facts.band1MaxChannel = tunerInfo_[5];
  facts.band2MinChannel = tunerInfo_[6];
  facts.band2MaxChannel = tunerInfo_[7];
  facts.tunerFunctions = ((hardware_[2] & kSwitch0Capable) ? 1u : 0u) | ((hardware_[2] & kSwitch1Capable) ? 2u : 0u);
}

void DeviceManagerImpl::BuildBaseChannelList() {
  const ULONG inputs = hardware_[1];
  auto& list = info_.facts().baseChannels;
  list.clear();
  if (inputs & 1) {
    list.push_back({kRegionJapan, kTvFormat, kBandTuner1});
    list.push_back({kRegionJapan, kTvFormat, kBandTuner2});
  }
  if (inputs & 4) list.push_back({kRegionJapan, kTvFormat, kBandExternal1});
  if (inputs & 2) list.push_back({kRegionJapan, kTvFormat, kBandExternal2});
  if (list.empty()) ThrowHr(errors::kNoBaseChannel);
}

void DeviceManagerImpl::Undo() noexcept {
  tunerIndex_ = -1;
  ReleaseBinding();
  exclusion_.Close();
  exclusion_.SetName(nullptr);
  driver_.reset();
}

// --- Peer requests ------------------------------------------------------------------------------

void DeviceManagerImpl::HandlePeerRequest(void* context, HANDLE, DWORD requestSize, const BYTE* request,
                                          DWORD* answerSize, BYTE* answer, DWORD answerCapacity) {
  *answerSize = 0;
  auto* self = static_cast<DeviceManagerImpl*>(context);
  // The pipe carries bytes: a notification and the next request may arrive in one read. Every
  // whole message is handled in order; a short one, or one that misstates its length, ends the
  // reading. Only a request is answered (a sender waits for that answer before it writes again,
  // so a request is the last message of a read).
  bool answered = false;
  HRESULT result = S_OK;
  for (DWORD offset = 0; offset < requestSize; offset += sizeof(PeerMessage)) {
    PeerMessage message{};
    if (!ReadPeerMessage(request + offset, requestSize - offset, &message)) break;
    result = GuardHr(E_UNEXPECTED, [&] {
      // The lock like any host call: the sender holds none of this object's locks meanwhile.
      ScopedDeviceLock lock(&self->deviceLock());
      RETURN_IF_FAILED(lock.status());
      return self->AnswerPeer(message.a);
    });
    answered = message.kind == kPeerRequest;
  }
  if (answered) WritePeerAnswer(result, answer, answerCapacity, answerSize);
}

// --- Shared means of the interfaces -------------------------------------------------------------

namespace {

// Whether another tuner's exclusive-use object exists (a probe that never creates it).
bool InUseOnTuner(const DeviceIdentity& identity, int tuner, ExclusiveInterface which) {
  NamedMutex probe;
  return probe.SetName(DeviceObjectNames(identity, tuner).ExclusiveUse(which).c_str()) && probe.AlreadyExists();
}

}  // namespace

bool DeviceManagerImpl::TunerZeroScanInUse() const { return InUseOnTuner(identity_, 0, ExclusiveInterface::AutoScan); }

// --- IInputSwitch -------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeInputSwitch(ULONG) {
  if (inputSwitchInitialized_) return S_OK;
  return InitializeHeld(ExclusiveInterface::InputSwitch, errors::kInputSwitchInUse, inputSwitchInitialized_,
                        [&] { InitializeInputSwitchSteps(); },
                        [&] {
                          channelItem_.Reset();
                          tuner_.Teardown();
                        });
}

void DeviceManagerImpl::InitializeInputSwitchSteps() {
  ThrowIfFailed(MakeChannelItem());
  tuner_.SetDeviceItem(deviceItem_.Get());
  tuner_.Build(identity_.GetPath());
  // The ones whose ranges are kept for clamping.
  KeepProcAmpRanges(tuner_, {1L, 2L, 4L, 8L, 0x10L});
  lastBand_ = 0;
  DWORD band = 0;
  if (SUCCEEDED(tuner_.GetCurrentBand(&band))) {
    lastBand_ = band;
    DWORD type = 0;
    if (band == 1 && SUCCEEDED(tuner_.GetInputType(&type))) lastBand_ = type;
  }
  channelBand_ = lastBand_;
  SetExternalInputEvent(!IsTunerBand(lastBand_));
  WriteOwnerSlots(kSlotInputSwitchProcess, true);
}

HRESULT DeviceManagerImpl::GetChannel(IHalItem** channel) {
  if (!channel) return E_POINTER;
  *channel = nullptr;
  if (!inputSwitchInitialized_) return errors::kInputSwitchNotInit;
  Microsoft::WRL::ComPtr<IHalItem> copy;
  RETURN_IF_FAILED(channelItem_->Clone(copy.GetAddressOf()));
  DWORD frequency = 0;
  tuner_.GetFrequency(&frequency);
  BOOL on0 = FALSE, on1 = FALSE;
  tuner_.GetCaptureSwitch0(&on0);
  tuner_.GetCaptureSwitch1(&on1);
  const std::int32_t values[] = {static_cast<std::int32_t>(kRegionJapan), static_cast<std::int32_t>(kTvFormat),
                                 static_cast<std::int32_t>(channelBand_), 0,
                                 static_cast<std::int32_t>(frequency),    (on0 ? 1 : 0) | (on1 ? 2 : 0)};
  for (long i = 0; i < 6; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(copy.Get(), i, values[i]));
  *channel = copy.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::SetChannel(IHalItem* channel) {
  if (!channel) return E_POINTER;
  if (!inputSwitchInitialized_) return errors::kInputSwitchNotInit;
  try {
    return ApplyChannel(channel);
  } catch (const HResultError& e) {
    return ThrownCode(e);
  }
}

HRESULT DeviceManagerImpl::ApplyChannel(IHalItem* channel) {
  ULONG band = static_cast<ULONG>(hal_items::ReadInteger(channel, 2)) & kBandMask28;
  if (band == 0) band = 1;
  ULONG frequency = 0;
  if (IsTunerBand(band)) {
    frequency = static_cast<ULONG>(ReadItemLong(channel, 4));
    if (frequency < tunerInfo_[1] || frequency > tunerInfo_[2]) return E_INVALIDARG;
  }
  const ULONG switches = static_cast<ULONG>(hal_items::ReadInteger(channel, 5));
  const ULONG allowed = ((hardware_[2] & kSwitch0Capable) ? 1u : 0u) | ((hardware_[2] & kSwitch1Capable) ? 2u : 0u);
  if ((switches & ~allowed) != 0) return E_INVALIDARG;
  const auto& list = info_.facts().baseChannels;
  if (std::none_of(list.begin(), list.end(),
                   [&](const _SHAL_BASECH& entry) { return ((entry.band ^ band) & kBandMask28) == 0; }))
    return E_INVALIDARG;

  DWORD current = 0;
  if (FAILED(tuner_.GetCurrentBand(&current))) current = lastBand_;
  const bool route = MustRoute(current, band);

  // Each switch is written only when the driver reports another value (or cannot say).
  const struct {
    HRESULT (TunerControl::*get)(BOOL*);
    HRESULT (TunerControl::*set)(DWORD);
    DWORD wanted;
  } switchSteps[] = {{&TunerControl::GetCaptureSwitch0, &TunerControl::SetCaptureSwitch0, switches & 1},
                     {&TunerControl::GetCaptureSwitch1, &TunerControl::SetCaptureSwitch1, (switches >> 1) & 1}};
  for (const auto& step : switchSteps) {
    BOOL on = FALSE;
    if (FAILED((tuner_.*step.get)(&on)) || (on ? 1u : 0u) != step.wanted) RETURN_IF_FAILED((tuner_.*step.set)(step.wanted));
  }

  HRESULT routed = S_OK;
  if (route) {
    routed = tuner_.SelectInput(band);
    SetExternalInputEvent(!IsTunerBand(band));
    if (IsTunerBand(current) != IsTunerBand(band)) events_.SetAudioEventsIfRunning();
  }
  if (IsTunerBand(band)) ThrowIfFailed(tuner_.SetFrequency(frequency, 0));
  if (InstanceRecord* record = stamp_.record()) {
    record->channelSet = 1;
    record->lastChangeMs = timeGetTime();
  }
  // A tuned band is asked of the tuner control next time; a failed routing is tried again.
  lastBand_ = (IsTunerBand(band) || FAILED(routed)) ? 0 : band;
  channelBand_ = FAILED(routed) ? 0 : band;
  WriteSlot(kSlotBand, static_cast<std::int32_t>(band));
  WriteSlot(kSlotTunerFunction, static_cast<std::int32_t>(switches));
  // A routing failure is no failure of the call: the host reads it as the band 0 of GetChannel,
  // and the next SetChannel routes again. A tuning failure was thrown above.
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializeInputSwitch(ULONG) {
  if (!inputSwitchInitialized_) return S_OK;
  if (exclusive_.mutex(ExclusiveInterface::AutoScan).AlreadyExists()) return errors::kAutoScanInUse;
  ReleaseInputSwitch();
  return S_OK;
}

void DeviceManagerImpl::ReleaseInputSwitch() noexcept {
  if (channelItem_) channelItem_->Clear();
  channelItem_.Reset();
  tuner_.Teardown();
  WriteOwnerSlots(kSlotInputSwitchProcess, false);
  inputSwitchInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::InputSwitch).Close();
}

// --- IInputQualityControl -----------------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableVidProcAmp(ULONG* bits) {
  if (!bits) return E_POINTER;
  *bits = 0x1F;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVidProcAmpRange(long type, long* min, long* max, long* step, long* def,
                                              long* automatic) {
  if (!ValidProcAmpType(type)) return E_INVALIDARG;
  if (!min || !max || !step || !def || !automatic) return E_POINTER;
  RETURN_IF_FAILED(tuner_.GetProcAmpRange(type, min, max, step, def, automatic));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVidProcAmpParam(long type, long* value) {
  if (!ValidProcAmpType(type)) return E_INVALIDARG;
  if (!value) return E_POINTER;
  RETURN_IF_FAILED(tuner_.GetProcAmp(type, value));
  return S_OK;
}

HRESULT DeviceManagerImpl::SetVidProcAmpParam(long type, long value) {
  if (!ValidProcAmpType(type)) return E_INVALIDARG;
  RETURN_IF_FAILED(tuner_.SetProcAmp(type, procAmpRanges_.Clamp(static_cast<std::uint32_t>(type), value)));
  return S_OK;
}

// --- IAutoScan / IAutoScan2 ---------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeAutoScan(ULONG) {
  if (autoScanInitialized_) return errors::kAutoScanInUse;
  // Auto scan belongs to the card's first tuner (QueryInterface reaches here on any tuner).
  if (bound() && tunerIndex_ != 0) return errors::kNoScanCapability;
  if (!exclusive_.prepared()) return errors::kNoDeviceItem;
  if (InUseOnTuner(identity_, 1, ExclusiveInterface::Preview)) return errors::kPreviewInUse;
  if (InUseOnTuner(identity_, 0, ExclusiveInterface::OutputData) ||
      InUseOnTuner(identity_, 1, ExclusiveInterface::OutputData))
    return errors::kOutputDataInUse;
  return InitializeHeld(ExclusiveInterface::AutoScan, errors::kAutoScanInUse, autoScanInitialized_,
                        [&] { return tuner_.BeginAutoScan(); }, [] {});
}

HRESULT DeviceManagerImpl::GetChannelFreqLevel(_SHAL_BASECH*, ULONG freq, long* level, ULONG* tvfmt) {
  if (!autoScanInitialized_) return errors::kAutoScanNotInit;
  if (!level || !tvfmt) return E_POINTER;
  *tvfmt = kTvFormat;
  if (freq < tunerInfo_[1] || freq > tunerInfo_[2]) return E_INVALIDARG;
  RETURN_IF_FAILED(tuner_.SetFrequency(freq, 1));
  RETURN_IF_FAILED(tuner_.GetSignalLevel(level));
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializeAutoScan(ULONG) {
  if (!autoScanInitialized_) return S_OK;
  RETURN_IF_FAILED(tuner_.SetAutoScanMode());
  autoScanInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::AutoScan).Close();
  return S_OK;
}

}  // namespace rul

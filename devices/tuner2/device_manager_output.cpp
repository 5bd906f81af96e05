// The second family's device object: output data (recording) and the peer exchanges that stop
// a preview of tuner index 1 wherever it runs while a recording of that tuner starts or stops.
//
// Lock order: the card's exclusion mutex, then the device lock. The device lock is let go while
// this object waits for the exclusion mutex or for a peer's answer (the peer may be this very
// object, answering on its pipe thread under the device lock), and the state is read again once
// it is held again.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "common/timeouts.h"
#include "devices/core/channel_settle.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/host_arrays.h"
#include "devices/core/output_data.h"
#include "devices/core/output_session.h"
#include "devices/tuner2/device_item.h"
#include "devices/tuner2/device_manager_impl.h"

namespace rul {

namespace {

constexpr std::uint32_t kPeerFindPreview = 0x403;
constexpr int kPeerTuner = 1;  // the tuner whose preview and recording exclude each other
// The card's driver file in the system's "drivers" folder (its version is the analyzer's word B).
constexpr const wchar_t kDriverFile[] = L"doru.sys";

HRESULT ThrownCode(const HResultError& e) { return FAILED(e.code()) ? e.code() : E_FAIL; }

}  // namespace

ExclusionHold::ExclusionHold(NamedMutex& mutex, DWORD timeoutMs) : mutex_(mutex) {
  const LockResult result = mutex_.Acquire(timeoutMs);
  if (!Owns(result)) ThrowHr(result == LockResult::TimedOut ? HResultFromWin32(WAIT_TIMEOUT) : HResultFromLastError());
}

HRESULT DeviceManagerImpl::InitializeOutputData(ULONG) {
  if (outputInitialized_) return errors::kOutputDataInUse;
  if (!bound()) return errors::kNoDeviceItem;
  if (TunerZeroScanInUse()) return errors::kAutoScanInUse;
  return InitializeHeld(
      ExclusiveInterface::OutputData, errors::kOutputDataInUse, outputInitialized_,
      [&] {
        recording_.SetDeviceItem(deviceItem_.Get());
        for (Selection& selection : selections_) selection = Selection{};
        recording_.Build(identity_.GetPath());
        WriteOwnerSlots(kSlotOutputProcess, true);
      },
      [&] { recording_.Teardown(); });
}

HRESULT DeviceManagerImpl::SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  if (!type || type->type < output_data::kTypeMpeg || type->type > output_data::kTypeIndex) return E_INVALIDARG;
  std::vector<ULONG> listed;
  output_data::AvailableSubtypes(type->type, &listed);
  const bool known = std::find(listed.begin(), listed.end(), type->subtype) != listed.end() ||
                     (type->subtype >= 100 && type->subtype <= 200);
  if (!known) return E_INVALIDARG;
  RETURN_IF_FAILED(recording_.SetOutputDataType(type, callback));
  Selection& selection = selections_[type->type - 1];
  selection.subtype = type->subtype;
  selection.callback = callback;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputDataType(long* count, _SHAL_OUTPUTDTATA_TYPE** types) {
  if (!count || !types) return E_POINTER;
  // Always the three types, each with its subtype (0 until chosen).
  const _SHAL_OUTPUTDTATA_TYPE records[3] = {
      {1, selections_[0].subtype}, {2, selections_[1].subtype}, {3, selections_[2].subtype}};
  return HandOutArray(records, 3, count, types);
}

HRESULT DeviceManagerImpl::GetAvailableOutputDataType(long* count, ULONG** types) {
  if (!count || !types) return E_POINTER;
  return output_data::CopyToTaskMemory(std::vector<ULONG>{1, 2, 3}, count, types);
}

HRESULT DeviceManagerImpl::GetAvailableOutputDataSubType(long type, long* count, ULONG** subTypes) {
  if (!count || !subTypes) return E_POINTER;
  std::vector<ULONG> listed;
  if (FAILED(output_data::AvailableSubtypes(static_cast<ULONG>(type), &listed))) return E_INVALIDARG;
  return output_data::CopyToTaskMemory(listed, count, subTypes);
}

HRESULT DeviceManagerImpl::GetOutputDataInfo(long type, long subType, IHalItem** item) {
  if (!item) return E_POINTER;
  *item = nullptr;
  // The recording graph answers the fixed subtypes from its table and the registry presets from
  // the driver's record.
  ULONG count = 0;
  DWORD* words = nullptr;
  RETURN_IF_FAILED(recording_.GetOutputDataInfo(static_cast<ULONG>(type), static_cast<ULONG>(subType), &count, &words));
  const std::vector<DWORD> values(words, words + count);
  CoTaskMemFree(words);
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  for (ULONG i = 0; i < count; ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), static_cast<long>(i), static_cast<std::int32_t>(values[i])));
  *item = made.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputLastError(HRESULT* error, ULONG* reserve) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  if (!error || !reserve) return E_POINTER;
  *reserve = 0;
  DWORD last = 0;
  RETURN_IF_FAILED(recording_.GetLastError(&last));
  *error = static_cast<HRESULT>(last);
  return S_OK;
}

// --- Start and stop ------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::StartOutputData(ULONG) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  try {
    if (tunerIndex_ != kPeerTuner) {
      StartRecordingSteps();
      return S_OK;
    }
    // The exclusion mutex before the device lock; both the wait for it and the peer's answer
    // run with the device lock let go.
    DeviceLockGap gap(deviceLock());
    ExclusionHold exclusion(exclusion_);
    StopPeerPreview();
    ThrowIfFailed(gap.Retake());
    if (!outputInitialized_) ThrowHr(errors::kOutputDataNotInit);
    StartRecordingSteps();
    NotifyPeerPreviewFree();
    return S_OK;
  } catch (const HResultError& e) {
    return ThrownCode(e);
  }
}

void DeviceManagerImpl::StartRecordingSteps() {
  const output_data::OutputStatus words = StatusWords(kDriverFile);
  ThrowIfFailed(recording_.SetAnalyzerParameters(static_cast<LONG>(words.a), static_cast<LONG>(words.b),
                                                 static_cast<LONG>(words.c), static_cast<LONG>(words.d)));
  recording_.ApplyEncoderPreset(selections_[0].subtype);
  ThrowIfFailed(recording_.Connect());
  WriteSlot(kSlotOutputStarted, 1);
  WaitChannelSettle(stamp_, interval_);
  const HRESULT started = recording_.Start();
  if (FAILED(started)) {
    recording_.Disconnect();
    WriteSlot(kSlotOutputStarted, 0);
    ThrowHr(started);
  }
  events_.event(NotifyEvent::RecRunning).Set();
  WriteSlot(kSlotOutputState, 2);
}

HRESULT DeviceManagerImpl::StopOutputData(ULONG stopMode) {
  if (!outputInitialized_) return errors::kOutputDataNotInit;
  try {
    // The delivery ends only once the minimum recording time has passed: what the encoder gives
    // until then reaches the host.
    recording_.WaitMinimumRecTime();
    if (stopMode != 0) recording_.EndOfData(1);
    if (tunerIndex_ == kPeerTuner) {
      DeviceLockGap gap(deviceLock());
      StopPeerPreview();
      ThrowIfFailed(gap.Retake());
      if (!outputInitialized_) ThrowHr(errors::kOutputDataNotInit);
    }
    ThrowIfFailed(recording_.Stop());
    events_.event(NotifyEvent::RecRunning).Reset();
    WriteSlot(kSlotOutputState, 0);
    recording_.Disconnect();
    WriteSlot(kSlotOutputStarted, 0);
    recording_.ApplyEncoderPreset(0);
    if (tunerIndex_ == kPeerTuner) NotifyPeerPreviewFree();
    return S_OK;
  } catch (const HResultError& e) {
    return ThrownCode(e);
  }
}

HRESULT DeviceManagerImpl::UninitializeOutputData(ULONG) {
  if (!outputInitialized_) return S_OK;
  peer_.Close();
  peerFound_ = false;
  WriteOwnerSlots(kSlotOutputProcess, false);
  recording_.Teardown();
  for (Selection& selection : selections_) selection = Selection{};
  outputInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::OutputData).Close();
  return S_OK;
}

// --- Peers ------------------------------------------------------------------------------------

bool DeviceManagerImpl::LookUpPeer(std::uint32_t code, int tuner) {
  peerFound_ = false;
  std::int32_t slots[kSlotCount] = {};
  const std::wstring entry = std::to_wstring(tuner) + identity_.GetPath();
  if (FAILED(stateTable_.ReadSlots(entry.c_str(), sizeof(slots), slots))) return false;
  int process = 0, object = 0, running = 0;
  ExclusiveInterface owner = ExclusiveInterface::OutputData;
  if (code == kPeerStopPreview || code == kPeerPreviewFree) {
    process = kSlotOutputProcess, object = kSlotOutputObject, running = kSlotOutputState;
  } else if (code == kPeerFindPreview || code == kPeerFindPreview + 1) {
    process = kSlotPreviewProcess, object = kSlotPreviewObject, running = kSlotPreviewState;
    owner = ExclusiveInterface::Preview;
  } else {
    ThrowHr(E_FAIL);
  }
  NamedMutex probe;
  if (!probe.SetName(DeviceObjectNames(identity_, tuner).ExclusiveUse(owner).c_str()) || !probe.AlreadyExists())
    return false;
  if (slots[running] == 0) return false;
  const auto pid = static_cast<DWORD>(slots[process]);
  const auto address = static_cast<std::uint32_t>(slots[object]);
  if (!peer_.IsOpen() || peerProcess_ != pid || peerObject_ != address) {
    peer_.Close();
    ThrowIfFailed(peer_.Open(identity_, pid, address, tuner));
    peerProcess_ = pid;
    peerObject_ = address;
  }
  peerFound_ = true;
  return true;
}

void DeviceManagerImpl::StopPeerPreview() {
  if (!LookUpPeer(kPeerFindPreview, kPeerTuner)) return;
  bool failed = false;
  const HRESULT answer = peer_.SendRequest(kPeerStopPreview, static_cast<std::uint32_t>(tunerIndex_), 0, &failed);
  if (failed) peer_.Close();
  ThrowIfFailed(answer);
}

void DeviceManagerImpl::NotifyPeerPreviewFree() {
  // Only the peer found this time: a link left open from an earlier exchange gets nothing.
  if (!peerFound_) return;
  peerFound_ = false;
  if (peer_.IsOpen()) ThrowIfFailed(peer_.SendNotification(kPeerPreviewFree, static_cast<std::uint32_t>(tunerIndex_), 0));
}

HRESULT DeviceManagerImpl::AnswerPeer(std::uint32_t code) {
  switch (code) {
    case kPeerStopPreview: {
      stoppedByPeer_ = 0;
      // No preview in this object: nothing to stop.
      if (!previewInitialized_) return S_OK;
      ULONG state = 0;
      RETURN_IF_FAILED(GetPreviewState(&state));
      stoppedByPeer_ = state;
      return state != 0 ? StopPreview(0) : S_OK;
    }
    case kPeerPreviewFree: {
      if (stoppedByPeer_ == 0 || !previewInitialized_) return S_OK;
      HANDLE event = nullptr;
      if (SUCCEEDED(preview_.GetNotifyEvent(7, &event)) && event) SetEvent(event);
      return S_OK;
    }
    default:
      return E_INVALIDARG;
  }
}

}  // namespace rul

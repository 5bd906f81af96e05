// IOutputData of the first family's device object and the output side of its shutdown: the
// output-data graph set up, its types chosen, started after the channel has settled and stopped
// again, with the recording event and device-state slots 8 to 11 following it.
#include "devices/tuner1/device_manager_impl.h"

#include <mmsystem.h>

#include <cstdint>
#include <vector>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/path.h"
#include "devices/core/channel_settle.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"

namespace {

// The kept MPEG subtype gives the encoder mode at Start; anything beyond the three modes
// records with mode 2.
ULONG EncoderModeFor(ULONG mpegSubtype) { return mpegSubtype <= 2 ? mpegSubtype : 2; }

HRESULT Failure(HRESULT code) { return FAILED(code) ? code : errors::kDmFailure; }

}  // namespace

// --- Set-up and tear-down -----------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeOutputData(ULONG) {
  if (outputDataInitialized_) return errors::kOutputDataInUse;  // this object holds it already
  RETURN_IF_FAILED(TakeExclusiveUse(ExclusiveInterface::OutputData, errors::kOutputDataInUse));
  try {
    InitializeOutputDataSteps();
  } catch (const HResultError& e) {
    outputGraph_.Release();
    outputChoices_.Clear();
    outputRouter_.Release();
    exclusive_.mutex(ExclusiveInterface::OutputData).Close();
    return Failure(e.code());
  }
  outputDataInitialized_ = true;
  return S_OK;
}

void DeviceManagerImpl::InitializeOutputDataSteps() {
  ThrowIfFailed(outputRouter_.Build(identity_, L"VEKA Crossbar"));
  ThrowIfFailed(outputGraph_.KeepDeviceItem(deviceItem_.Get()));
  outputChoices_.Clear();
  ThrowIfFailed(outputGraph_.Build(identity_, kInstanceNumber));
  // The graph's callback filter calls the choices, which call the host's callback of each type.
  ThrowIfFailed(outputGraph_.SetCallback(outputChoices_.dispatcher()));
  WriteSlot(kSlotOutputProcess, static_cast<std::int32_t>(GetCurrentProcessId()));
  WriteSlot(kSlotOutputObject, ObjectAddress32(this));
}

HRESULT DeviceManagerImpl::UninitializeOutputData(ULONG) {
  if (!outputDataInitialized_) return S_OK;
  WriteSlot(kSlotOutputProcess, 0);
  WriteSlot(kSlotOutputObject, 0);
  RETURN_IF_FAILED(outputGraph_.Release());  // stops and disconnects a running graph first
  if (events_.event(NotifyEvent::RecRunning).IsSet()) {
    // Torn down while recording: nothing records any longer.
    events_.event(NotifyEvent::RecRunning).Reset();
    WriteSlot(kSlotOutputState, 0);
    WriteSlot(kSlotOutputStarted, 0);
  }
  if (events_.event(NotifyEvent::LiveRunning).IsSet()) {
    events_.event(NotifyEvent::LiveInputAudio).Set();
    events_.event(NotifyEvent::LiveOutputAudio).Set();
  }
  outputChoices_.Clear();  // the host's callbacks are not held past the interface's use
  outputRouter_.Release();
  outputDataInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::OutputData).Close();
  return S_OK;
}

void DeviceManagerImpl::ShutdownOutputSide() noexcept {
  if (!outputDataInitialized_) return;
  OAFilterState state = State_Stopped;
  if (FAILED(outputGraph_.GetState(&state, 0)) || state != State_Stopped) StopOutputData(0);
  UninitializeOutputData(0);
}

// --- Output types ---------------------------------------------------------------------------

HRESULT DeviceManagerImpl::GetAvailableOutputDataType(long* count, ULONG** types) {
  return outputGraph_.GetAvailableOutputDataType(count, types);
}

HRESULT DeviceManagerImpl::GetAvailableOutputDataSubType(long type, long* count, ULONG** subTypes) {
  return outputGraph_.GetAvailableOutputDataSubType(type, count, subTypes);
}

HRESULT DeviceManagerImpl::SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) {
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  if (!type) return errors::kDmNullPointer;
  long count = 0;
  ULONG* listed = nullptr;
  RETURN_IF_FAILED(outputGraph_.GetAvailableOutputDataSubType(static_cast<long>(type->type), &count, &listed));
  const std::vector<ULONG> subtypes(listed, listed + count);
  CoTaskMemFree(listed);
  if (!output_data::OutputTypeChoices::Allowed(type->subtype, subtypes)) return errors::kDmInvalidArg;
  RETURN_IF_FAILED(outputGraph_.SetOutputDataType(*type, callback != nullptr));
  outputChoices_.Keep(type->type, type->subtype, callback);
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputDataType(long* count, _SHAL_OUTPUTDTATA_TYPE** types) {
  return outputChoices_.Records(count, types);
}

HRESULT DeviceManagerImpl::GetOutputDataInfo(long type, long subType, IHalItem** item) {
  *item = nullptr;
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  made->Clear();
  RETURN_IF_FAILED(outputGraph_.GetOutputDataInfo(type, subType, made.Get()));
  *item = made.Detach();
  return S_OK;
}

// --- Events, errors and audio modes ------------------------------------------------------------

HRESULT DeviceManagerImpl::GetOutputNotifyEvent(long type, ULONG* handle) {
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  if (!handle) return errors::kOutputNullPointer;
  HANDLE event = nullptr;
  RETURN_IF_FAILED(outputGraph_.GetNotifyEvent(type, &event));
  // Handles are 32-bit values on every Windows, 64-bit included.
  *handle = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(event));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputLastError(HRESULT* error, ULONG* reserve) {
  // Both out values are written on every path, as the preview's answer does.
  *error = S_OK;
  *reserve = 0;
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  *error = outputGraph_.GetLastError();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  *mode = {};
  RETURN_IF_FAILED(outputGraph_.GetCurrentInputAudioMode(mode));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetOutputOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  *mode = {};
  RETURN_IF_FAILED(outputGraph_.GetCurrentOutputAudioMode(mode));
  return S_OK;
}

// --- Start and Stop -----------------------------------------------------------------------------

output_data::OutputStatus DeviceManagerImpl::BuildOutputStatus() {
  output_data::OutputStatus status;
  if (!deviceItem_) return status;
  status.a = output_data::StatusWordA(info_.facts().capability);
  status.b = output_data::ReadDriverVersion(kDriverFile);
  status.c = output_data::ReadFileVersion(ModulePath::OfModule(ThisModule()).c_str());
  std::int32_t slots[kSlotCount] = {};
  if (!stateEntry_.empty()) stateTable_.ReadSlots(stateEntry_.c_str(), sizeof(slots), slots);
  status.d = output_data::StatusWordD(slots[kSlotBand], slots[kSlotTunerFunction]);
  return status;
}

void DeviceManagerImpl::WaitChannelSettle() {
  ::WaitChannelSettle(stamp_, interval_);
}

HRESULT DeviceManagerImpl::StartOutputData(ULONG) {
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  HRESULT hr = errors::kDmFailure;
  try {
    hr = StartOutputDataSteps();
  } catch (const HResultError& e) {
    hr = Failure(e.code());
  } catch (...) {
    hr = errors::kDmFailure;
  }
  if (FAILED(hr)) UndoOutputStart();
  return hr;
}

HRESULT DeviceManagerImpl::StartOutputDataSteps() {
  const output_data::OutputStatus status = BuildOutputStatus();
  RETURN_IF_FAILED(outputGraph_.SetAnalyzerParameters(static_cast<LONG>(status.a), static_cast<LONG>(status.b),
                                                       static_cast<LONG>(status.c), static_cast<LONG>(status.d)));
  RETURN_IF_FAILED(outputGraph_.SetEncoderParameters(EncoderModeFor(outputChoices_.subtype(output_data::kTypeMpeg))));
  WriteSlot(kSlotOutputStarted, 1);
  RETURN_IF_FAILED(outputGraph_.Connect());
  WaitChannelSettle();
  RETURN_IF_FAILED(outputGraph_.Run());
  events_.event(NotifyEvent::RecRunning).Set();
  WriteSlot(kSlotOutputState, 2);
  return S_OK;
}

void DeviceManagerImpl::UndoOutputStart() noexcept {
  // A failed start leaves nothing connected: the next start connects the types chosen then.
  GuardNoThrow([&] { outputGraph_.Disconnect(); });
  events_.event(NotifyEvent::RecRunning).Reset();
  WriteSlot(kSlotOutputState, 0);
  WriteSlot(kSlotOutputStarted, 0);
}

HRESULT DeviceManagerImpl::StopOutputData(ULONG stopMode) {
  if (!outputDataInitialized_) return errors::kOutputDataNotInit;
  return GuardHr(errors::kDmFailure, [&] {
    outputGraph_.WaitMinimumRecTime();
    // Ending the delivery is a courtesy to the host: the graph stops whatever it answers.
    if (stopMode != 0) outputGraph_.EndOfData(static_cast<LONG>(stopMode));
    RETURN_IF_FAILED(outputGraph_.Stop());
    events_.event(NotifyEvent::RecRunning).Reset();
    WriteSlot(kSlotOutputState, 0);
    outputGraph_.Disconnect();
    WriteSlot(kSlotOutputStarted, 0);
    RETURN_IF_FAILED(outputGraph_.SetEncoderParameters(0));
    return S_OK;
  });
}

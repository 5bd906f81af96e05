// The second family's device object: the preview. On tuner index 1 the preview and a recording
// exclude each other across the card: Run holds the card's exclusion mutex (taken before the
// device lock, which is let go while it waits), and a recording's start or stop asks this object
// through its pipe to stop (see device_manager_output.cpp).
#include <windows.h>

#include <cstring>

#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/link/packet_codecs.h"
#include "devices/core/sound/filter_link.h"
#include "devices/tuner2/device_manager_impl.h"

namespace rul {

namespace {

constexpr HRESULT kPreviewNotStopped = static_cast<HRESULT>(0x80072605);
constexpr LONG kExcludingTuner = 1;

}  // namespace

HRESULT DeviceManagerImpl::InitializePreview(ULONG) {
  if (previewInitialized_) return errors::kPreviewInUse;
  if (!bound()) return errors::kNoDeviceItem;
  if (tunerIndex_ != 0 && TunerZeroScanInUse()) return errors::kAutoScanInUse;
  RETURN_IF_FAILED(TakeExclusiveUse(ExclusiveInterface::Preview, errors::kPreviewInUse));
  const HRESULT hr = GuardHr(E_FAIL, [&] {
    preview_.SetDeviceItem(deviceItem_.Get());
    preview_.Build(identity_.GetPath());
    ThrowIfFailed(preview_.SetAudioLink(std::make_unique<FilterLink>(filterModule_)));
  });
  if (FAILED(hr)) {
    preview_.Teardown();
    preview_.SetAudioLink(nullptr);
    exclusive_.mutex(ExclusiveInterface::Preview).Close();
    return hr;
  }
  WriteSlot(kSlotPreviewProcess, static_cast<std::int32_t>(GetCurrentProcessId()));
  WriteSlot(kSlotPreviewObject, ObjectAddress32(this));
  previewInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::RunPreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  return GuardHr(E_FAIL, [&] {
    if (tunerIndex_ != kExcludingTuner) return RunPreviewSteps();
    DeviceLockGap gap(deviceLock());
    ExclusionHold exclusion(exclusion_);
    ThrowIfFailed(gap.Retake());
    if (!previewInitialized_) ThrowHr(errors::kPreviewNotInit);
    RunPreviewSteps();
  });
}

void DeviceManagerImpl::RunPreviewSteps() {
  const HRESULT hr = GuardHr(E_FAIL, [&] {
    // A failed connection is taken apart and tried once more.
    if (FAILED(GuardHr(E_FAIL, [&] { return preview_.Connect(); }))) {
      GuardNoThrow([&] { preview_.Disconnect(); });
      ThrowIfFailed(preview_.Connect());
    }
    WriteSlot(kSlotPreviewStarted, 1);
    ThrowIfFailed(preview_.Run());
    events_.event(NotifyEvent::LiveRunning).Set();
    WriteSlot(kSlotPreviewState, kSlotRunning);
  });
  if (FAILED(hr)) {
    // Nothing of the attempt stays: other processes read that the preview does not run.
    preview_.FilterGraphHolder::Stop();
    events_.event(NotifyEvent::LiveRunning).Reset();
    WriteSlot(kSlotPreviewState, kSlotStopped);
    GuardNoThrow([&] { preview_.Disconnect(); });
    WriteSlot(kSlotPreviewStarted, 0);
    ThrowHr(hr);
  }
}

HRESULT DeviceManagerImpl::StopPreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_.FilterGraphHolder::Stop());
  events_.event(NotifyEvent::LiveRunning).Reset();
  WriteSlot(kSlotPreviewState, kSlotStopped);
  RETURN_IF_FAILED(GuardHr(E_FAIL, [&] { return preview_.Disconnect(); }));
  WriteSlot(kSlotPreviewStarted, 0);
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewState(ULONG* state) {
  if (!state) return E_POINTER;
  *state = State_Stopped;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  OAFilterState graphState = State_Stopped;
  const HRESULT hr = preview_.GetState(&graphState, 0);
  *state = static_cast<ULONG>(graphState);
  return hr;
}

HRESULT DeviceManagerImpl::UninitializePreview(ULONG) {
  if (!previewInitialized_) return S_OK;
  OAFilterState state = State_Stopped;
  if (FAILED(preview_.GetState(&state, 0)) || state != State_Stopped) return kPreviewNotStopped;
  preview_.Teardown();
  preview_.SetAudioLink(nullptr);
  WriteSlot(kSlotPreviewProcess, 0);
  WriteSlot(kSlotPreviewObject, 0);
  previewInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::Preview).Close();
  return S_OK;
}

void DeviceManagerImpl::ShutdownPreview() noexcept {
  if (!previewInitialized_) return;
  ULONG state = 0;
  if (SUCCEEDED(GetPreviewState(&state)) && state != State_Stopped) StopPreview(0);
  if (FAILED(UninitializePreview(0))) {
    // A graph that would not stop goes all the same.
    preview_.Teardown();
    preview_.SetAudioLink(nullptr);
    previewInitialized_ = false;
    exclusive_.mutex(ExclusiveInterface::Preview).Close();
  }
}

HRESULT DeviceManagerImpl::GetPreviewNotifyEvent(long type, ULONG* handle) {
  if (!handle) return E_POINTER;
  *handle = 0;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  HANDLE event = nullptr;
  RETURN_IF_FAILED(preview_.GetNotifyEvent(type, &event));
  *handle = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(event));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewLastError(HRESULT* error, ULONG*) {
  if (!error) return E_POINTER;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  DWORD last = 0;
  RETURN_IF_FAILED(preview_.GetLastError(&last));
  *error = static_cast<HRESULT>(last);
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  if (!mode) return E_POINTER;
  *mode = {};
  if (!previewInitialized_) return errors::kPreviewNotInit;
  return preview_.GetCurrentInputAudioMode(mode);
}

HRESULT DeviceManagerImpl::GetPreviewOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  if (!mode) return E_POINTER;
  *mode = {};
  if (!previewInitialized_) return errors::kPreviewNotInit;
  return preview_.GetCurrentOutputAudioMode(mode);
}

HRESULT DeviceManagerImpl::GetVideoDataInfo(IHalItem** item) {
  if (!item) return E_POINTER;
  *item = nullptr;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  std::int32_t width = 720, height = 480;
  if (tunerIndex_ != 0) {
    // Other tuners give the encoder's picture size.
    driver_packets::EncoderParameterRecord record{};
    const auto index = static_cast<std::uint32_t>(tunerIndex_);
    std::memcpy(record.data(), &index, sizeof(index));
    RETURN_IF_FAILED(GuardHr(E_FAIL, [&] { driver_->GetEncoderParameters(&record); }));
    const driver_packets::AlignedEncoderRecord aligned = driver_packets::AlignEncoderRecord(record);
    width = static_cast<std::int32_t>(aligned.words[10]);
    height = static_cast<std::int32_t>(aligned.words[11]);
  }
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  const std::int32_t values[] = {width, height, 4, 1};
  for (long i = 0; i < 4; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, values[i]));
  *item = made.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetSoundDataInfo(IHalItem** item) {
  if (!item) return E_POINTER;
  *item = nullptr;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  DWORD format[3] = {};
  RETURN_IF_FAILED(preview_.GetSoundDataInfo(0, &format[0], &format[1], &format[2]));
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  for (long i = 0; i < 3; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, static_cast<std::int32_t>(format[i])));
  *item = made.Detach();
  return S_OK;
}

}  // namespace rul

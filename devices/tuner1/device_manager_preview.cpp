// The first family's device object: IPreview and IPreview2, the four window interfaces (one
// flag and one exclusive-use mutex for all of them) and ISound, all served by the preview graph.
//
// Preparation and state change are separate steps of the graph: Run prepares (chain, audio link,
// sound path: PreviewGraph::Run), then runs the graph; Stop stops the graph, then undoes the
// preparation (PreviewGraph::Stop). Slot 6 follows the preparation, slot 7 the graph's state.
#include "devices/tuner1/device_manager_impl.h"

#include <utility>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/host_arrays.h"

namespace {

// The preview crossbar's friendly name.
constexpr wchar_t kCrossbarName[] = L"VEKA Crossbar";
// The video format GetVideoDataInfo describes: width, height and two format words.
constexpr std::int32_t kVideoDataInfo[] = {720, 480, 4, 1};

}  // namespace

// --- IPreview / IPreview2 -----------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializePreview(ULONG) {
  // The object's own mutex counts too: a second Initialize finds the interface in use.
  if (previewInitialized_) return errors::kPreviewInUse;
  RETURN_IF_FAILED(TakeExclusiveUse(ExclusiveInterface::Preview, errors::kPreviewInUse));
  const HRESULT hr = GuardHr(errors::kDmFailure, [&] { return InitializePreviewSteps(); });
  if (FAILED(hr)) {
    if (preview_) GuardNoThrow([&] { preview_->Teardown(); });
    previewRouter_.Release();
    exclusive_.mutex(ExclusiveInterface::Preview).Close();
    return hr;
  }
  previewInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::InitializePreviewSteps() {
  RETURN_IF_FAILED(previewRouter_.Build(identity_, kCrossbarName));
  if (!preview_) {
    ChainSettings settings;
    settings.module = ThisModule();
    // The elements open the device object's own RecRunning event, which ends in this device
    // manager's instance number (0), not in the device item's tuner number: only the event the
    // device object signals while it records can tell them that a recording runs.
    settings.recRunningEvent = RecRunningEventName();
    settings.creation = FilterCreation::ModuleFileOnly;
    preview_ = std::make_unique<PreviewGraph>(std::move(settings), ThisModule());
  }
  RETURN_IF_FAILED(preview_->KeepDeviceItem(deviceItem_.Get()));
  preview_->Build(identity_, kInstanceNumber);
  WriteSlot(kSlotPreviewProcess, static_cast<std::int32_t>(GetCurrentProcessId()));
  WriteSlot(kSlotPreviewObject, ObjectAddress32(this));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewNotifyEvent(long type, ULONG* handle) {
  *handle = 0;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  HANDLE event = nullptr;
  RETURN_IF_FAILED(preview_->GetNotifyEvent(static_cast<int>(type), &event));
  // Handle values fit 32 bits (the interface hands them out as ULONG).
  *handle = static_cast<ULONG>(reinterpret_cast<uintptr_t>(event));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewLastError(HRESULT* error, ULONG* reserve) {
  *error = S_OK;
  *reserve = 0;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  *error = preview_->GetLastGraphError();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) {
  *mode = {};
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_->GetCurrentInputAudioMode(mode));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) {
  *mode = {};
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_->GetCurrentOutputAudioMode(mode));
  return S_OK;
}

HRESULT DeviceManagerImpl::GetMuteStatus(long* muteOn) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  LONG muted = 0;
  RETURN_IF_FAILED(preview_->GetMuteStatus(&muted));
  *muteOn = muted;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetPreviewState(ULONG* state) {
  *state = State_Stopped;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  OAFilterState graphState = State_Stopped;
  const HRESULT hr = preview_->GetState(&graphState, 0);
  *state = static_cast<ULONG>(graphState);
  return hr;
}

HRESULT DeviceManagerImpl::RunPreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  const HRESULT hr = GuardHr(errors::kDmFailure, [&] { return RunPreviewSteps(); });
  if (FAILED(hr)) {
    // Nothing of the attempt stays: the graph stopped, the preparation undone, the slots and
    // LiveRunning telling other processes that the preview does not run.
    GuardNoThrow([&] {
      preview_->StopGraph();
      preview_->Stop();
    });
    events_.event(NotifyEvent::LiveRunning).Reset();
    WriteSlot(kSlotPreviewState, kSlotStopped);
    WriteSlot(kSlotPreviewStarted, 0);
  }
  return hr;
}

HRESULT DeviceManagerImpl::PreparePreview() {
  if (SUCCEEDED(preview_->Run())) return S_OK;
  preview_->Stop();
  return preview_->Run();
}

HRESULT DeviceManagerImpl::RunPreviewSteps() {
  RETURN_IF_FAILED(PreparePreview());
  WriteSlot(kSlotPreviewStarted, 1);
  RETURN_IF_FAILED(preview_->RunGraph());
  events_.event(NotifyEvent::LiveRunning).Set();
  WriteSlot(kSlotPreviewState, kSlotRunning);
  // What the host gave the window side goes to the chain made since; a refusal ends the run
  // (RunPreview undoes it).
  return windowInitialized_ ? window_.ApplyRemembered() : S_OK;
}

HRESULT DeviceManagerImpl::PausePreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_->Pause());
  WriteSlot(kSlotPreviewState, kSlotPaused);
  return S_OK;
}

HRESULT DeviceManagerImpl::StopPreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_->StopGraph());
  events_.event(NotifyEvent::LiveRunning).Reset();
  WriteSlot(kSlotPreviewState, kSlotStopped);
  const HRESULT hr = GuardHr(errors::kDmFailure, [&] { return preview_->Stop(); });
  if (SUCCEEDED(hr)) WriteSlot(kSlotPreviewStarted, 0);
  return hr;
}

HRESULT DeviceManagerImpl::UninitializePreview(ULONG) {
  if (!previewInitialized_) return S_OK;
  OAFilterState state = State_Stopped;
  if (SUCCEEDED(preview_->GetState(&state, 0)) && state != State_Stopped) return errors::kGraphNotStopped;
  GuardNoThrow([&] { preview_->Teardown(); });
  previewRouter_.Release();
  WriteSlot(kSlotPreviewProcess, 0);
  WriteSlot(kSlotPreviewObject, 0);
  previewInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::Preview).Close();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetVideoDataInfo(IHalItem** item) {
  *item = nullptr;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  RETURN_IF_FAILED(made->Clear());
  for (long i = 0; i < 4; ++i) RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, kVideoDataInfo[i]));
  *item = made.Detach();
  return S_OK;
}

HRESULT DeviceManagerImpl::GetSoundDataInfo(IHalItem** item) {
  *item = nullptr;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  DWORD format[3] = {};
  RETURN_IF_FAILED(preview_->GetSoundDataInfo(&format[0], &format[1], &format[2]));
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  RETURN_IF_FAILED(made->Clear());
  for (long i = 0; i < 3; ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, static_cast<std::int32_t>(format[i])));
  *item = made.Detach();
  return S_OK;
}

// --- The window interfaces ------------------------------------------------------------------------

ULONG DeviceManagerImpl::CompleteOverlayMode(ULONG overlayMode) {
  return ::CompleteOverlayMode(overlayMode, deviceItem_ != nullptr, info_.facts().capability);
}

HRESULT DeviceManagerImpl::RefuseUnlessPreviewStopped() {
  if (!previewInitialized_) return S_OK;
  OAFilterState state = State_Stopped;
  if (SUCCEEDED(preview_->GetState(&state, 0)) && state != State_Stopped) return errors::kGraphNotStopped;
  return S_OK;
}

HRESULT DeviceManagerImpl::InitializeWindow(ULONG overlayMode, const CLSID* custom, BSTR module) {
  NamedMutex& mutex = exclusive_.mutex(ExclusiveInterface::PreviewWindow);
  // One mutex for the four interfaces: this object's own window counts as in use too.
  if (windowInitialized_) return errors::kWindowInUse;
  RETURN_IF_FAILED(TakeExclusiveUse(ExclusiveInterface::PreviewWindow, errors::kWindowInUse));
  window_.Forget();
  HRESULT hr = PreviewStopped(preview_.get());
  if (SUCCEEDED(hr)) {
    hr = GuardHr(errors::kDmFailure, [&] {
      RETURN_IF_FAILED(custom ? preview_->InsertCustomFilter(*custom, module ? module : L"")
                              : preview_->InsertCustomFilter(GUID_NULL, L""));
      return preview_->CreateVideoChain(overlayMode);
    });
  }
  if (FAILED(hr)) {
    mutex.Close();
    return hr;
  }
  windowInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::QueryInterfaceFromCustomFilter(REFIID iid, void** out) {
  *out = nullptr;
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.QueryInterfaceFromCustomFilter(iid, out);
}

HRESULT DeviceManagerImpl::SetVideoPosition(RECT* source, RECT* destination) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.SetPosition(source, destination, events_.event(NotifyEvent::LiveRunning).IsSet());
}

HRESULT DeviceManagerImpl::GetColorKey(ULONG* keyType, ULONG* paletteIndex, ULONG* low, ULONG* high) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.GetColorKey(keyType, paletteIndex, low, high);
}

HRESULT DeviceManagerImpl::RePaint(HWND window, HDC dc) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.RePaint(window, dc);
}

HRESULT DeviceManagerImpl::DisplayModeChanged(HWND) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.DisplayModeChanged();
}

HRESULT DeviceManagerImpl::GetCurrentImage(ULONG* size, BYTE** image) {
  *size = 0;
  *image = nullptr;
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.GetCurrentImage(size, image);
}

HRESULT DeviceManagerImpl::SetZoomMode(ULONG zoomMode) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.SetZoomMode(zoomMode);
}

HRESULT DeviceManagerImpl::GetZoomMode(ULONG* zoomMode) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.GetZoomMode(zoomMode);
}

HRESULT DeviceManagerImpl::UninitializePreviewWindow(ULONG) {
  if (!windowInitialized_) return S_OK;
  RETURN_IF_FAILED(RefuseUnlessPreviewStopped());
  if (preview_) RETURN_IF_FAILED(GuardHr(errors::kDmFailure, [&] { return preview_->ReleaseVideoChain(); }));
  windowInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::PreviewWindow).Close();
  return S_OK;
}

// --- ISound -------------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeSound(ULONG) {
  if (soundInitialized_) return S_OK;
  RETURN_IF_FAILED(PreviewStopped(preview_.get()));
  RETURN_IF_FAILED(GuardHr(errors::kDmFailure, [&] { return preview_->AddAudioRenderer(); }));
  soundInitialized_ = true;
  return S_OK;
}

HRESULT DeviceManagerImpl::GetAvailableSoundMode(long* count, ULONG** modes) {
  constexpr ULONG kModes[] = {0};
  return HandOutArray(kModes, 1, count, modes);
}

HRESULT DeviceManagerImpl::GetSoundMode(ULONG* mode) {
  *mode = 0;
  return S_OK;
}

HRESULT DeviceManagerImpl::SetSoundMode(ULONG mode) { return mode == 0 ? S_OK : errors::kDmInvalidArg; }

HRESULT DeviceManagerImpl::GetMix(_SHAL_AUDIOMIX* mix) {
  if (!soundInitialized_) return errors::kSoundNotInit;
  return preview_->soundControls().GetMix(&mix->fL, &mix->fR);
}

HRESULT DeviceManagerImpl::SetMix(_SHAL_AUDIOMIX* mix) {
  if (!soundInitialized_) return errors::kSoundNotInit;
  return preview_->soundControls().SetMix(mix->fL, mix->fR);
}

HRESULT DeviceManagerImpl::GetBalance(long* balance) {
  if (!soundInitialized_) return errors::kSoundNotInit;
  return preview_->soundControls().GetBalance(balance);
}

HRESULT DeviceManagerImpl::SetBalance(long balance) {
  if (!soundInitialized_) return errors::kSoundNotInit;
  return preview_->soundControls().SetBalance(balance);
}

HRESULT DeviceManagerImpl::GetVolume(long* volume) {
  if (!soundInitialized_) return errors::kSoundNotInit;
  return preview_->soundControls().GetVolume(volume);
}

HRESULT DeviceManagerImpl::SetVolume(long volume) {
  if (!soundInitialized_) return errors::kSoundNotInit;
  return preview_->soundControls().SetVolume(volume);
}

HRESULT DeviceManagerImpl::UninitializeSound(ULONG) {
  if (!soundInitialized_) return S_OK;
  RETURN_IF_FAILED(RefuseUnlessPreviewStopped());
  if (preview_) GuardNoThrow([&] { preview_->RemoveAudioRenderer(); });
  soundInitialized_ = false;
  return S_OK;
}

// --- Shutdown -------------------------------------------------------------------------------------

void DeviceManagerImpl::ShutdownPreviewSide() noexcept {
  GuardNoThrow([&] {
    if (previewInitialized_ && RefuseUnlessPreviewStopped() != S_OK) StopPreview(0);
    // Sound and window may outlive IPreview::Uninitialize: they end here in any case.
    UninitializeSound(0);
    UninitializePreviewWindow(0);
    UninitializePreview(0);
  });
  // Whatever refused above, nothing of the preview side stays: the graph's destruction stops it.
  GuardNoThrow([&] { preview_.reset(); });
  previewRouter_.Release();
  if (previewInitialized_) {
    WriteSlot(kSlotPreviewProcess, 0);
    WriteSlot(kSlotPreviewObject, 0);
  }
  previewInitialized_ = windowInitialized_ = soundInitialized_ = false;
  events_.event(NotifyEvent::LiveRunning).Reset();
  exclusive_.mutex(ExclusiveInterface::Preview).Close();
  exclusive_.mutex(ExclusiveInterface::PreviewWindow).Close();
}

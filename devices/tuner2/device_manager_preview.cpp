// The second family's device object: the preview. On tuner index 1 the preview and a recording
// exclude each other across the card: Run holds the card's exclusion mutex (taken before the
// device lock, which is let go while it waits), and a recording's start or stop asks this object
// through its pipe to stop (see device_manager_output.cpp).
//
// The window interfaces make the video chain behind the capture filter's video pin and hand it
// to the preview graph; ISound makes the sound path with the audio pacer in front of it. Both
// end with the preview graph they serve (IPreview::Uninitialize and the shutdown end them).
#include <windows.h>

#include <cstring>

#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/custom_video_chain_builder.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/host_arrays.h"
#include "devices/core/sound/sound_path.h"
#include "devices/core/video_chain_builder.h"
#include "devices/core/link/packet_codecs.h"
#include "devices/core/sound/filter_link.h"
#include "devices/tuner2/device_item.h"
#include "devices/tuner2/device_manager_impl.h"

namespace rul {

namespace {

constexpr LONG kExcludingTuner = 1;
// The preview's sound path: the rate adapter behind the live audio pacer.
constexpr int kSoundPathKind = FilterLink::kLiveSyncKind;
constexpr const wchar_t kCustomFilterName[] = L"CUSTOM FILTER";

}  // namespace

HRESULT DeviceManagerImpl::InitializePreview(ULONG) {
  if (previewInitialized_) return errors::kPreviewInUse;
  if (!bound()) return errors::kNoDeviceItem;
  if (tunerIndex_ != 0 && TunerZeroScanInUse()) return errors::kAutoScanInUse;
  return InitializeHeld(
      ExclusiveInterface::Preview, errors::kPreviewInUse, previewInitialized_,
      [&] {
        preview_.SetDeviceItem(deviceItem_.Get());
        preview_.Build(identity_.GetPath());
        ThrowIfFailed(preview_.SetAudioLink(std::make_unique<FilterLink>(filterModule_)));
        WriteOwnerSlots(kSlotPreviewProcess, true);
      },
      [&] {
        preview_.Teardown();
        preview_.SetAudioLink(nullptr);
      });
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
    // What the host gave the window side goes to the chain made since. A refusal ends the
    // run: the picture would show in the wrong window or place.
    if (windowInitialized_) ThrowIfFailed(window_.ApplyRemembered());
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

HRESULT DeviceManagerImpl::PausePreview(ULONG) {
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(preview_.FilterGraphHolder::Pause());
  WriteSlot(kSlotPreviewState, kSlotPaused);
  return S_OK;
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
  if (FAILED(preview_.GetState(&state, 0)) || state != State_Stopped) return errors::kGraphNotStopped;
  ReleaseSoundParts();
  ReleaseWindowParts();
  preview_.Teardown();
  preview_.SetAudioLink(nullptr);
  WriteOwnerSlots(kSlotPreviewProcess, false);
  previewInitialized_ = windowInitialized_ = soundInitialized_ = false;
  window_.Forget();
  exclusive_.mutex(ExclusiveInterface::Preview).Close();
  exclusive_.mutex(ExclusiveInterface::PreviewWindow).Close();
  return S_OK;
}

void DeviceManagerImpl::ShutdownPreview() noexcept {
  if (!previewInitialized_) return;
  ULONG state = 0;
  if (SUCCEEDED(GetPreviewState(&state)) && state != State_Stopped) StopPreview(0);
  if (FAILED(UninitializePreview(0))) {
    // A graph that would not stop goes all the same.
    ReleaseSoundParts();
    ReleaseWindowParts();
    preview_.Teardown();
    preview_.SetAudioLink(nullptr);
    previewInitialized_ = windowInitialized_ = soundInitialized_ = false;
    exclusive_.mutex(ExclusiveInterface::Preview).Close();
    exclusive_.mutex(ExclusiveInterface::PreviewWindow).Close();
  }
}

HRESULT DeviceManagerImpl::GetPreviewLastError(HRESULT* error, ULONG* reserve) {
  if (!error || !reserve) return E_POINTER;
  *reserve = 0;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  DWORD last = 0;
  RETURN_IF_FAILED(preview_.GetLastError(&last));
  *error = static_cast<HRESULT>(last);
  return S_OK;
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

// --- The window interfaces -------------------------------------------------------------------

ULONG DeviceManagerImpl::CompleteOverlayMode(ULONG overlayMode) {
  return ::CompleteOverlayMode(overlayMode, bound(), info_.facts().capability);
}

HRESULT DeviceManagerImpl::InitializeWindow(ULONG overlayMode, const CLSID* custom, BSTR module) {
  // One exclusive-use object for the four interfaces: this object's own window counts too.
  if (windowInitialized_) return errors::kWindowInUse;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(PreviewStopped(&preview_));
  const auto build = [&] {
    window_.Forget();
    ChainSettings settings;
    settings.module = filterModule_;
    settings.recRunningEvent = names().RecRunningEvent();
    std::unique_ptr<VideoChainBuilder> chain;
    // The preview's sound path holds the audio pacer: the video pacer goes first.
    RETURN_IF_FAILED(custom ? CustomVideoChainBuilder::Create(deviceItem_.Get(), settings, chain_policies::kFamily2,
                                                              true, &chain)
                            : CreateVideoChainBuilder(deviceItem_.Get(), settings, chain_policies::kFamily2, true,
                                                      &chain));
    ChainSource source;
    source.video = preview_.videoPin();
    if (custom) {
      source.customClsid = *custom;
      source.customModule = module ? module : L"";
      source.customName = kCustomFilterName;
    }
    RETURN_IF_FAILED(chain->Build(preview_.graph(), source, overlayMode));
    return preview_.SetVideoChain(std::move(chain));
  };
  return InitializeHeld(ExclusiveInterface::PreviewWindow, errors::kWindowInUse, windowInitialized_, build,
                        [&] { ReleaseWindowParts(); });
}

void DeviceManagerImpl::ReleaseWindowParts() noexcept {
  GuardNoThrow([&] {
    if (VideoChainBuilder* chain = preview_.videoChain()) chain->ReleaseFilters();
    preview_.SetVideoChain(nullptr);
  });
}

HRESULT DeviceManagerImpl::QueryInterfaceFromCustomFilter(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.QueryInterfaceFromCustomFilter(iid, out);
}

HRESULT DeviceManagerImpl::SetVideoPosition(RECT* source, RECT* destination) {
  if (!destination) return E_POINTER;
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.SetPosition(source, destination, events_.event(NotifyEvent::LiveRunning).IsSet());
}

HRESULT DeviceManagerImpl::SetZoomMode(ULONG zoomMode) {
  if (!windowInitialized_) return errors::kWindowNotInit;
  return window_.SetZoomMode(zoomMode);
}

HRESULT DeviceManagerImpl::GetZoomMode(ULONG* zoomMode) {
  if (!zoomMode) return E_POINTER;
  if (!windowInitialized_) return errors::kWindowNotInit;
  DWORD mode = 0;
  RETURN_IF_FAILED(window_.GetZoomMode(&mode));
  *zoomMode = mode;
  return S_OK;
}

HRESULT DeviceManagerImpl::UninitializePreviewWindow(ULONG) {
  if (!windowInitialized_) return S_OK;
  OAFilterState state = State_Stopped;
  if (FAILED(preview_.GetState(&state, 0)) || state != State_Stopped) return errors::kGraphNotStopped;
  ReleaseWindowParts();
  window_.Forget();
  windowInitialized_ = false;
  exclusive_.mutex(ExclusiveInterface::PreviewWindow).Close();
  return S_OK;
}

// --- ISound ---------------------------------------------------------------------------------------

HRESULT DeviceManagerImpl::InitializeSound(ULONG) {
  if (soundInitialized_) return S_OK;
  if (!previewInitialized_) return errors::kPreviewNotInit;
  RETURN_IF_FAILED(PreviewStopped(&preview_));
  const HRESULT hr = GuardHr(E_FAIL, [&] {
    std::unique_ptr<FilterHolder> sound = CreateSoundPath(kFamily23SoundPaths, kSoundPathKind, filterModule_);
    if (!sound) return E_OUTOFMEMORY;
    RETURN_IF_FAILED(sound->Build(CLSID_DSoundRender, 0, 0, preview_.graph()));
    // The pacer goes in front of the sound path: a new audio link that holds it.
    auto link = std::make_unique<FilterLink>(filterModule_);
    RETURN_IF_FAILED(link->Create(kSoundPathKind, preview_.graph(),
                                  hal_items::ReadInteger(deviceItem_.Get(), kItemBoardType), tunerIndex_));
    RETURN_IF_FAILED(preview_.SetAudioLink(std::move(link)));
    return preview_.SetSoundPath(std::move(sound));
  });
  if (FAILED(hr)) {
    ReleaseSoundParts();
    return hr;
  }
  soundInitialized_ = true;
  return S_OK;
}

void DeviceManagerImpl::ReleaseSoundParts() noexcept {
  GuardNoThrow([&] {
    preview_.SetSoundPath(nullptr);
    preview_.SetAudioLink(std::make_unique<FilterLink>(filterModule_));
  });
}

HRESULT DeviceManagerImpl::UninitializeSound(ULONG) {
  if (!soundInitialized_) return S_OK;
  OAFilterState state = State_Stopped;
  if (FAILED(preview_.GetState(&state, 0)) || state != State_Stopped) return errors::kGraphNotStopped;
  ReleaseSoundParts();
  soundInitialized_ = false;
  return S_OK;
}

}  // namespace rul

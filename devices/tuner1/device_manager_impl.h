// The first family's device object behind the tamDeviceManager facade: one per COM object,
// owning everything the object does with its tuner device. SetDeviceInfo binds it to one device
// (identity, driver link, named objects, pipe, device-state entry); the device-information
// answers come from the shared DeviceInfoAnswers with this family's lists.
//
// Operations that later work fills in still answer E_NOTIMPL through NotImplementedOperations.
//
// The facade holds the device lock over every operation; the pipe handler runs on the pipe's
// own threads and touches no member.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/device/named_pipe.h"
#include "common/module.h"
#include "devices/core/device_object_core.h"
#include "devices/core/device_objects.h"
#include "devices/core/output_session.h"
#include "devices/core/preview_window.h"
#include "devices/core/tuning/crossbar_router.h"
#include "devices/core/tuning/proc_amp.h"
#include "devices/tuner1/encoder_control.h"
#include "devices/tuner1/output_data_graph.h"
#include "devices/tuner1/preview_graph.h"
#include "devices/tuner1/tam_traits.h"
#include "devices/tuner1/tuner_control.h"

class DeviceManagerImpl final : public DeviceObjectCore {
 public:
  // Every name of this object's device ends in this instance number.
  static constexpr int kInstanceNumber = 0;

  // The system's device-state table.
  DeviceManagerImpl();
  // A device-state table under other names (tests keep theirs apart).
  DeviceManagerImpl(const wchar_t* stateSection, const wchar_t* stateMutex);
  ~DeviceManagerImpl() override;

  // --- Lifetime -----------------------------------------------------------------------------
  HRESULT Shutdown() override;

  // --- IDeviceSetup / IDevice ---------------------------------------------------------------
  HRESULT SetDeviceInfo(IHalItem* item) override;

  // --- IInputSwitch / IInputQualityControl ---------------------------------------------------
  HRESULT InitializeInputSwitch(ULONG reserve) override;
  HRESULT GetChannel(IHalItem** channel) override;
  HRESULT SetChannel(IHalItem* channel) override;
  HRESULT GetAvailableAudioFunction(long* count, ULONG** functions) override;
  HRESULT GetAudioFunction(ULONG* function) override;
  HRESULT SetAudioFunction(ULONG function) override;
  HRESULT UninitializeInputSwitch(ULONG reserve) override;
  HRESULT GetAvailableVidProcAmp(ULONG* bits) override;
  HRESULT GetVidProcAmpRange(long type, long* min, long* max, long* step, long* def, long* automatic) override;
  HRESULT GetVidProcAmpParam(long type, long* value) override;
  HRESULT SetVidProcAmpParam(long type, long value) override;

  // --- IAutoScan / IAutoScan2 ---------------------------------------------------------------
  HRESULT InitializeAutoScan(ULONG reserve) override;
  HRESULT GetChannelFreqLevel(_SHAL_BASECH* baseCh, ULONG freq, long* level, ULONG* tvfmt) override;
  HRESULT UninitializeAutoScan(ULONG reserve) override;

  // --- IPreview's lists and formats ---------------------------------------------------------
  HRESULT GetVideoDataInfo(IHalItem** item) override;
  HRESULT GetSoundDataInfo(IHalItem** item) override;

  // --- What the object's parts and the video chain read ---------------------------------------
  // The names of this device's objects (meaningful once bound).
  DeviceObjectNames names() const { return DeviceObjectNames(identity_, kInstanceNumber); }
  // The recording event's name, as the video chain's elements open it; empty before setup.
  std::wstring RecRunningEventName() const;
  ExclusiveUseSet& exclusiveUse() noexcept { return exclusive_; }
  InstanceStamp& instanceStamp() noexcept { return stamp_; }
  EncoderControl* driverLink() const noexcept { return driver_.get(); }
  // The device's name in the device-state table; empty when the item gave none (nothing is
  // registered and no slot is written then).
  const std::wstring& stateName() const noexcept { return stateEntry_; }
  TunerControl& tunerControl() noexcept { return tuner_; }
  ULONG currentBand() const noexcept { return currentBand_; }

 private:
  // Steps 2 to 13 of the setup; each failure throws.
  void Bind(IHalItem* item);
  void OpenDriverLink();
  void BuildBaseChannelList();
  // Undoes a failed setup (the driver link and a state registration stay).
  void Undo() noexcept;
  HRESULT InitializeInputSwitchSteps();
  HRESULT ApplyChannel(IHalItem* channel);
  // Tuner functions the device has: bit 0 function 1, bit 1 function 2 (block A word 2).
  ULONG DeviceFunctions() const noexcept;

  std::unique_ptr<EncoderControl> driver_;
  DeviceInfo12 blockA_{};  // word 1 band capability bits, word 2 tuner-function bits
  DeviceInfo32 blockB_{};  // scan capability, frequency range and step, band 1 and 2 channels
  ULONG currentBand_ = 0;  // band of the input set last (low 28 bits)
  TunerControl tuner_;

  // --- preview, window and sound (device_manager_preview.cpp) --------------------------------
 public:
  HRESULT InitializePreview(ULONG reserve) override;
  HRESULT GetPreviewNotifyEvent(long type, ULONG* handle) override;
  HRESULT GetPreviewLastError(HRESULT* error, ULONG* reserve) override;
  HRESULT GetPreviewInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override;
  HRESULT GetPreviewOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override;
  HRESULT RunPreview(ULONG reserve) override;
  HRESULT PausePreview(ULONG reserve) override;
  HRESULT StopPreview(ULONG reserve) override;
  HRESULT GetPreviewState(ULONG* state) override;
  HRESULT UninitializePreview(ULONG reserve) override;
  HRESULT GetMuteStatus(long* muteOn) override;

  ULONG CompleteOverlayMode(ULONG overlayMode) override;
  HRESULT QueryInterfaceFromCustomFilter(REFIID iid, void** out) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;
  HRESULT GetColorKey(ULONG* keyType, ULONG* paletteIndex, ULONG* low, ULONG* high) override;
  HRESULT RePaint(HWND window, HDC dc) override;
  HRESULT DisplayModeChanged(HWND window) override;
  HRESULT GetCurrentImage(ULONG* size, BYTE** image) override;
  HRESULT SetZoomMode(ULONG zoomMode) override;
  HRESULT GetZoomMode(ULONG* zoomMode) override;
  HRESULT UninitializePreviewWindow(ULONG reserve) override;

  HRESULT InitializeSound(ULONG reserve) override;
  HRESULT GetAvailableSoundMode(long* count, ULONG** modes) override;
  HRESULT GetSoundMode(ULONG* mode) override;
  HRESULT SetSoundMode(ULONG mode) override;
  HRESULT GetMix(_SHAL_AUDIOMIX* mix) override;
  HRESULT SetMix(_SHAL_AUDIOMIX* mix) override;
  HRESULT GetBalance(long* balance) override;
  HRESULT SetBalance(long balance) override;
  HRESULT GetVolume(long* volume) override;
  HRESULT SetVolume(long volume) override;
  HRESULT UninitializeSound(ULONG reserve) override;

  // The shutdown's preview step: stops the preview when it is not stopped, ends sound, window
  // and preview (closing their exclusive-use mutexes) and deletes the preview graph with its
  // events and watch thread.
  void ShutdownPreviewSide() noexcept;
  // The preview graph (made by IPreview::Initialize); null before.
  PreviewGraph* previewGraph() const noexcept { return preview_.get(); }

 private:
  HRESULT InitializePreviewSteps();
  HRESULT InitializeWindow(ULONG overlayMode, const CLSID* custom, BSTR module) override;
  // The preparation (chain, audio link, sound path), undone and tried once more on failure.
  HRESULT PreparePreview();
  HRESULT RunPreviewSteps();
  // 0x80072605 while an initialised preview is not stopped (window and sound Uninitialize).
  HRESULT RefuseUnlessPreviewStopped();

  PreviewWindowSide& windowSide() noexcept override { return window_; }

  std::unique_ptr<PreviewGraph> preview_;
  CrossbarRouter previewRouter_;
  PreviewWindowSide window_{TamTraits::kPreviewWindow,
                            [this] { return preview_ ? preview_->videoChain() : nullptr; }};

  // --- output data --------------------------------------------------------------------------
  // IOutputData (device_manager_output.cpp). The graph records from the card; the choices keep
  // the host's callbacks (referenced) and are the graph's one callback. A host must not let the
  // object go from inside OnData: stopping the graph waits for the thread that calls it.
 public:
  HRESULT InitializeOutputData(ULONG reserve) override;
  HRESULT GetOutputNotifyEvent(long type, ULONG* handle) override;
  HRESULT GetOutputLastError(HRESULT* error, ULONG* reserve) override;
  HRESULT StartOutputData(ULONG reserve) override;
  HRESULT StopOutputData(ULONG stopMode) override;
  HRESULT GetOutputInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode) override;
  HRESULT GetOutputOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode) override;
  HRESULT GetAvailableOutputDataType(long* count, ULONG** types) override;
  HRESULT GetAvailableOutputDataSubType(long type, long* count, ULONG** subTypes) override;
  HRESULT SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) override;
  HRESULT GetOutputDataType(long* count, _SHAL_OUTPUTDTATA_TYPE** types) override;
  HRESULT GetOutputDataInfo(long type, long subType, IHalItem** item) override;
  HRESULT UninitializeOutputData(ULONG reserve) override;

  // The driver file whose version the analyzer is told, in the system's "drivers" folder.
  static constexpr const wchar_t* kDriverFile = L"veka.sys";
  OutputDataGraph& outputGraph() noexcept { return outputGraph_; }
  // The four status words Start gives the analyzer (all 0 before setup).
  output_data::OutputStatus BuildOutputStatus();

 private:
  void InitializeOutputDataSteps();
  HRESULT StartOutputDataSteps();
  void UndoOutputStart() noexcept;
  // The channel-settle wait before recording starts.
  void WaitChannelSettle();
  // First step of the shutdown: output data stopped and uninitialised.
  void ShutdownOutputSide() noexcept;

  bool outputDataInitialized_ = false;
  CrossbarRouter outputRouter_;
  OutputDataGraph outputGraph_{ThisModule()};
  output_data::OutputTypeChoices outputChoices_;
};

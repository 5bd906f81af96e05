// The second family's device object behind the rulDeviceManager facade: one per COM object,
// bound by SetDeviceInfo to one tuner of a card (the device item's tuner index ends the name of
// every per-tuner named object). It owns the tuner's cross-process objects (exclusive-use
// mutexes, notify events, instance stamp, instance pipe, device-state entry), reads the card's
// hardware and tuner information through its own streaming device control and runs the input
// switch, picture controls and auto scan on the tuner control.
//
// Locks: the facade holds the device lock (an unnamed kernel mutex) over every operation but
// SetDeviceInfo's binding steps, which run under it too (harmless: the lock is per object). The
// card's preview/recording exclusion mutex is taken before the device lock, never after it.
//
// Operations the family does not offer still answer E_NOTIMPL through NotImplementedOperations.
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
#include "common/locks.h"
#include "devices/core/device_object_core.h"
#include "devices/core/device_objects.h"
#include "devices/core/preview_window.h"
#include "devices/core/tuning/proc_amp.h"
#include "devices/tuner2/instance_pipe.h"
#include "devices/tuner2/output_data_graph.h"
#include "devices/tuner2/preview_graph.h"
#include "devices/tuner2/rul_traits.h"
#include "devices/tuner2/streaming_device_control.h"
#include "devices/tuner2/tuner_control.h"

namespace rul {

class DeviceManagerImpl : public GraphForwards<PreviewGraph, OutputDataGraph> {
 public:
  // The system's device-state table.
  DeviceManagerImpl();
  // A device-state table under other names (tests keep theirs apart); the recording graph loads
  // the outside filters from the folder of `filterModule` (this module's by default).
  DeviceManagerImpl(const wchar_t* stateSection, const wchar_t* stateMutex, HMODULE filterModule = nullptr);
  ~DeviceManagerImpl() override;

  // --- Lifetime -----------------------------------------------------------------------------
  HRESULT Shutdown() override;

  // --- IDeviceSetup (IDevice and the information lists: DeviceObjectCore) ------------------
  HRESULT SetDeviceInfo(IHalItem* item) override;

  // --- IInputSwitch / IInputQualityControl ---------------------------------------------------
  HRESULT InitializeInputSwitch(ULONG reserve) override;
  HRESULT GetChannel(IHalItem** channel) override;
  HRESULT SetChannel(IHalItem* channel) override;
  HRESULT UninitializeInputSwitch(ULONG reserve) override;
  HRESULT GetAvailableVidProcAmp(ULONG* bits) override;
  HRESULT GetVidProcAmpRange(long type, long* min, long* max, long* step, long* def, long* automatic) override;
  HRESULT GetVidProcAmpParam(long type, long* value) override;
  HRESULT SetVidProcAmpParam(long type, long value) override;

  // --- IAutoScan / IAutoScan2 ---------------------------------------------------------------
  HRESULT InitializeAutoScan(ULONG reserve) override;
  HRESULT GetChannelFreqLevel(_SHAL_BASECH* baseCh, ULONG freq, long* level, ULONG* tvfmt) override;
  HRESULT UninitializeAutoScan(ULONG reserve) override;

  // --- IOutputData (device_manager_output.cpp) ----------------------------------------------
  HRESULT InitializeOutputData(ULONG reserve) override;
  HRESULT GetOutputLastError(HRESULT* error, ULONG* reserve) override;
  HRESULT StartOutputData(ULONG reserve) override;
  HRESULT StopOutputData(ULONG stopMode) override;
  HRESULT GetAvailableOutputDataType(long* count, ULONG** types) override;
  HRESULT GetAvailableOutputDataSubType(long type, long* count, ULONG** subTypes) override;
  HRESULT SetOutputDataType(_SHAL_OUTPUTDTATA_TYPE* type, IOutputDataCB* callback) override;
  HRESULT GetOutputDataType(long* count, _SHAL_OUTPUTDTATA_TYPE** types) override;
  HRESULT GetOutputDataInfo(long type, long subType, IHalItem** item) override;
  HRESULT UninitializeOutputData(ULONG reserve) override;

  // --- IPreview (device_manager_preview.cpp) ------------------------------------------------
  HRESULT InitializePreview(ULONG reserve) override;
  HRESULT GetPreviewLastError(HRESULT* error, ULONG* reserve) override;
  HRESULT GetVideoDataInfo(IHalItem** item) override;
  HRESULT GetSoundDataInfo(IHalItem** item) override;
  HRESULT RunPreview(ULONG reserve) override;
  HRESULT PausePreview(ULONG reserve) override;
  HRESULT StopPreview(ULONG reserve) override;
  HRESULT GetPreviewState(ULONG* state) override;
  HRESULT UninitializePreview(ULONG reserve) override;
  HRESULT SetVideoPosition(RECT* source, RECT* destination) override;

  // --- The window interfaces (one state and one exclusive-use object for the four) ----------
  // Mode 0x20 for a window without a renderer of its own on an overlay or system-renderer board.
  ULONG CompleteOverlayMode(ULONG overlayMode) override;
  HRESULT QueryInterfaceFromCustomFilter(REFIID iid, void** out) override;
  HRESULT SetZoomMode(ULONG zoomMode) override;
  HRESULT GetZoomMode(ULONG* zoomMode) override;
  HRESULT UninitializePreviewWindow(ULONG reserve) override;

  // --- ISound (the mode and the controls: DeviceObjectCore, GraphForwards) ------------------
  HRESULT InitializeSound(ULONG reserve) override;
  HRESULT UninitializeSound(ULONG reserve) override;

  // --- What tests and the object's parts read -----------------------------------------------
  LONG tunerIndex() const noexcept { return tunerIndex_; }
  // The names of this tuner's objects (meaningful once bound).
  DeviceObjectNames names() const { return DeviceObjectNames(identity_, tunerIndex_); }
  InstanceStamp& instanceStamp() noexcept { return stamp_; }
  ULONG lastBand() const noexcept { return lastBand_; }
  const std::wstring& stateName() const noexcept { return stateEntry_; }
  NamedMutex& exclusionMutex() noexcept { return exclusion_; }
  TunerControl& tunerControl() noexcept { return tuner_; }
  OutputDataGraph& recordingGraph() noexcept { return recording_; }
  PreviewGraph& previewGraph() noexcept { return preview_; }

 private:
  PreviewGraph& forwardedPreview() noexcept override { return preview_; }
  PreviewWindowSide& windowSide() noexcept override { return window_; }
  OutputDataGraph& forwardedOutput() noexcept override { return recording_; }
  // Steps 5 to 14 of the setup; each failure throws.
  void Bind(IHalItem* item);
  void ReadDriverInformation();
  void BuildBaseChannelList();
  // Undoes a failed setup.
  void Undo() noexcept;
  // Whether the auto scan of tuner index 0 is held by anyone (this object included).
  bool TunerZeroScanInUse() const;
  void InitializeInputSwitchSteps();
  // Lets go of the input switch (channel item, tuner control, slots, exclusive use).
  void ReleaseInputSwitch() noexcept;
  HRESULT ApplyChannel(IHalItem* channel);
  // The request handler of the instance pipe (runs on the pipe's connection threads).
  void RunPreviewSteps();
  // The preview's part of the shutdown: stopped, sound and window ended, then let go.
  void ShutdownPreview() noexcept;
  HRESULT InitializeWindow(ULONG overlayMode, const CLSID* custom, BSTR module) override;
  // The chain and the sound path leave the preview graph (the graph's audio link without pacer).
  void ReleaseWindowParts() noexcept;
  void ReleaseSoundParts() noexcept;
  // The recording steps between the peer exchanges.
  void StartRecordingSteps();
  // Finds the owner of the preview (code 0x403/0x404) or of the recording (0x401/0x402) of
  // `tuner` that is running, and opens a link to it; false when there is none. Throws.
  bool LookUpPeer(std::uint32_t code, int tuner);
  // Tuner index 1: stops a running preview of the tuner wherever it runs. Runs without the
  // device lock (the peer may be this object). Throws.
  void StopPeerPreview();
  void NotifyPeerPreviewFree();
  // The answer to a peer's request code (under the device lock).
  HRESULT AnswerPeer(std::uint32_t code);
  static void HandlePeerRequest(void* context, HANDLE pipe, DWORD requestSize, const BYTE* request,
                                DWORD* answerSize, BYTE* answer, DWORD answerCapacity);

  NamedMutex exclusion_;  // the card's preview/recording exclusion (no tuner index in its name)
  LONG tunerIndex_ = -1;
  std::unique_ptr<StreamingDeviceControl> driver_;
  StreamingDeviceControl::HardwareInfo hardware_{};  // word 1 input capabilities, word 2 switches
  StreamingDeviceControl::TunerInfo tunerInfo_{};    // word 0 scan flag, words 1-2 frequency range
  ULONG lastBand_ = 0;  // the band set last; 0: none remembered (the tuner control is asked)
  ULONG channelBand_ = 0;  // the band GetChannel reports: the one routed and tuned last (0: none)
  TunerControl tuner_;

  const HMODULE filterModule_;  // outside filters are loaded from its folder

  // Preview.
  PreviewGraph preview_;
  PreviewWindowSide window_{RulTraits::kPreviewWindow, [this] { return preview_.videoChain(); }};

  // Recording.
  struct Selection {
    ULONG subtype = 0;
    Microsoft::WRL::ComPtr<IOutputDataCB> callback;
  };
  OutputDataGraph recording_;
  Selection selections_[3];  // data types 1 to 3

  // The link to the object that owns the tuner's preview or recording elsewhere.
  InstancePipe peer_;
  DWORD peerProcess_ = 0;
  std::uint32_t peerObject_ = 0;
  bool peerFound_ = false;
  ULONG stoppedByPeer_ = 0;  // the preview state a peer's stop request found
};

// Holds the card's preview/recording exclusion mutex for a scope (abandoned counts as held);
// throws 0x80070102 when it is not obtained in time.
class ExclusionHold {
 public:
  static constexpr DWORD kTimeoutMs = 60000;
  explicit ExclusionHold(NamedMutex& mutex, DWORD timeoutMs = kTimeoutMs);
  ~ExclusionHold() { mutex_.Unlock(); }
  ExclusionHold(const ExclusionHold&) = delete;
  ExclusionHold& operator=(const ExclusionHold&) = delete;

 private:
  NamedMutex& mutex_;
};

}  // namespace rul

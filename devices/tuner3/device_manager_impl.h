// The third family's device object behind the pexDeviceManager facade: one per COM object,
// owning everything the object does with its tuner device. SetDeviceInfo binds it to one device
// (identity from the item's device path, the firmware step with its two description records,
// named objects, pipe, device-state entry); the device-information answers come from the shared
// DeviceInfoAnswers with this family's lists; input switching, the picture controls and auto
// scan work on the family's tuner control.
//
// The facade holds the instance lock (without a time limit) over every operation; the pipe
// handler runs on the pipe's own threads and touches no member. The facade checks no pointer
// argument for this family: every operation checks what it dereferences.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/device/named_pipe.h"
#include "devices/core/device_object_core.h"
#include "devices/core/device_objects.h"
#include "devices/core/preview_window.h"
#include "devices/core/tuning/proc_amp.h"
#include "devices/tuner3/device_control_channel.h"
#include "devices/tuner3/output_data_graph.h"
#include "devices/tuner3/pex_traits.h"
#include "devices/tuner3/preview_graph.h"
#include "devices/tuner3/tuner_control.h"

namespace pex {

// The device pipe's handler: no request is served; a request of at least 8 bytes whose second
// 32-bit word is non-zero is answered "busy", the 12 bytes {12, 0, E_FAIL}. Shorter requests and
// answer buffers of fewer than 12 bytes get no answer. Touches no state.
void BusyAnswer(void* context, HANDLE pipe, DWORD requestSize, const BYTE* request, DWORD* answerSize,
                BYTE* answer, DWORD answerCapacity);

// How long a capture start waits for the tuner to settle after the last channel change (the
// shared record; null or never set: no wait). The elapsed time counts modulo 2^32.
DWORD ChannelSettleWait(const InstanceRecord* record, DWORD now, DWORD interval) noexcept;

// What IOutputData::Start hands to the stream analyzer: the device kind and capabilities, the
// versions of the driver file and of this module, and the input and switches in use.
struct DeviceSummary {
  std::uint32_t words[4];
};

class DeviceManagerImpl final : public GraphForwards<PreviewGraph, OutputDataGraph> {
 public:
  // The system's device-state table.
  DeviceManagerImpl();
  // A device-state table under other names (tests keep theirs apart).
  // `filterModule`: the module beside which the outside filter files lie (this module's own
  // unless a test gives another).
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

  // --- IOutputData ---------------------------------------------------------------------------
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

  // --- IPreview and the stored window position ---------------------------------------------
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

  // --- IPreviewWindow / ICustomPreviewWindow (one state, one exclusive object) -----------------
  HRESULT InitializePreviewWindow(ULONG overlayMode) override;
  HRESULT InitializeCustomPreviewWindow(ULONG overlayMode, REFCLSID clsid, BSTR module) override;
  HRESULT QueryInterfaceFromCustomFilter(REFIID iid, void** out) override;
  HRESULT UninitializePreviewWindow(ULONG reserve) override;

  // --- ISound (the preview's sound path; the mode and controls: DeviceObjectCore) -------------
  HRESULT InitializeSound(ULONG reserve) override;
  HRESULT UninitializeSound(ULONG reserve) override;

  // --- IDeviceInfoDetail: an external band's channel range is 0 to 0 ------------------------
  HRESULT GetAvailableChannelInfo(_SHAL_BASECH* baseCh, ULONG* minCh, ULONG* maxCh) override;

  // --- What tests and the object's parts read ---------------------------------------------------
  // The names of this device's objects (this family has no instance numbers).
  DeviceObjectNames names() const { return DeviceObjectNames(identity_, DeviceObjectNames::kNoInstance); }
  InstanceStamp& channelStamp() noexcept { return stamp_; }
  ULONG currentBand() const noexcept { return currentBand_; }
  DeviceControlChannel* controlChannel() const noexcept { return channel_.get(); }
  OutputDataGraph& outputGraph() noexcept { return output_; }
  PreviewGraph& previewGraph() noexcept { return preview_; }
  DeviceSummary Summary();

 private:
  PreviewGraph& forwardedPreview() noexcept override { return preview_; }
  PreviewWindowSide& windowSide() noexcept override { return window_; }
  OutputDataGraph& forwardedOutput() noexcept override { return output_; }
  // Steps 3 to 12 of the setup; each failure throws.
  void Bind(IHalItem* item, const wchar_t* devicePath);
  void BuildBaseChannelList();
  // Undoes a failed setup, leaving the object unbound for a retry.
  void Undo() noexcept;
  HRESULT InitializeInputSwitchSteps();
  HRESULT ApplyChannel(IHalItem* channel);
  HRESULT StartOutputSteps();
  HRESULT RunPreviewSteps();
  HRESULT MakeWindow(ULONG overlayMode, REFCLSID clsid, const wchar_t* moduleFile);

  const HMODULE filterModule_;
  ULONG currentBand_ = 0;  // the input SetChannel set last; 0 before, after a failure or by frequency
  std::unique_ptr<DeviceControlChannel> channel_;  // kept from the firmware step
  DeviceControlChannel::DescriptionA recordA_{};   // word 1 inputs, word 2 tuner functions
  DeviceControlChannel::DescriptionB recordB_{};   // scan support, frequencies, channel ranges
  TunerControl tuner_;
  OutputDataGraph output_;
  PreviewGraph preview_;
  PreviewWindowSide window_{PexTraits::kPreviewWindow, [this] { return preview_.videoChain(); }};
  struct OutputType {
    ULONG subtype;
    IOutputDataCB* callback;  // as the host gave it; the graph's callback filter holds it
  };
  OutputType outputTypes_[3] = {};  // types 1, 2 and 3
};

}  // namespace pex

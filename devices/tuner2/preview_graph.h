// The second family's live preview graph: the tuner's numbered TV audio and capture filters
// ("DORU TvAudio n", "DORU Capture n", n = tuner index + 1) in a graph of their own. The
// capture filter's first output feeds the video chain, its audio output (the second output on
// tuner index 0, the third on every other tuner) the sound path through the audio pin link.
// The chain, the sound path and the link are made by the device manager and handed over; the
// graph holds them until they are handed back or it is destroyed.
//
// The graph creates the device's notify events, gives the audio-mode event to the driver
// through its streaming device control and runs a watch thread that turns the driver's
// audio-mode signal and the graph's error events into the events the host waits on.
//
// SetDeviceItem, Build, Connect and Disconnect throw HResultError; the other operations return
// their HRESULT. Not locked: the device manager's instance lock serialises the calls. The watch
// thread touches only the events, the graph's event interface, the graph's state query and the
// last error, and it ends before any of them is released.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <memory>

#include "common/errors.h"
#include "common/handles.h"
#include "common/locks.h"
#include "common/timeouts.h"
#include "devices/core/preview_graph_parts.h"
#include "devices/core/sound/filter_link.h"
#include "devices/core/sound/sound_controls.h"
#include "devices/core/sound/sound_path.h"
#include "devices/core/video_chain_builder.h"
#include "devices/idl/device_manager.h"
#include "devices/tuner2/streaming_device_control.h"
#include "devices/tuner2/tuner_graph.h"

namespace rul {

class PreviewGraph : public TunerGraph, public PreviewGraphParts {
 public:
  // Notify-event kinds: 0 graph error, 1 and 2 input and output audio, 3 and 7 to 10 unnamed,
  // 11 unnamed on tuner index 1 only, 12 none.
  static constexpr long kKindCount = 13;

  PreviewGraph() = default;
  ~PreviewGraph() override;

  // Keeps a clone of the item, its tuner index (see KeepDeviceItem) and its type 2; throws.
  void SetDeviceItem(IHalItem* item);

  // Disconnects, stops the watch thread, closes the events, removes and releases the filters,
  // the link to the driver, the item and the graph. The handed-over parts stay.
  void Teardown() noexcept override;

  // Attaches the audio pin to the link, connects the video chain and the sound path (those
  // present). errors::kPreviewNotBuilt unbuilt, S_OK when connected; throws errors::kPreviewNoChain without
  // a link or with a chain not built; a failure undoes the steps before it and is thrown.
  HRESULT Connect();
  // Detaches the audio pin, disconnects the chain and the sound path; every step runs, the
  // first failure is thrown after the graph is marked not connected.
  HRESULT Disconnect();
  // Runs the graph (nothing when it runs) and records the time; a failed run is undone.
  HRESULT Run() override;
  // Stops the graph (the sound path's own restarts suspended first), resets the device's
  // "LiveRunning" event, clears the preview's state slots 7 and 6 in the device-state table
  // and disconnects (slot 6 only once that succeeded).
  HRESULT Deactivate();

  // The parts the device manager makes (null hands one back). Refused while connected. The
  // host's window calls reach the chain through the device manager's window side.
  HRESULT SetVideoChain(std::unique_ptr<VideoChainBuilder> chain);
  HRESULT SetSoundPath(std::unique_ptr<FilterHolder> sound);
  HRESULT SetAudioLink(std::unique_ptr<FilterLink> link);
  VideoChainBuilder* videoChain() const noexcept { return chain_.get(); }

  HRESULT GetNotifyEvent(long kind, HANDLE* event) const;
  HRESULT GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode);
  HRESULT GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode);
  // {48000, 2, 16}: rate, channels, bits.
  HRESULT GetSoundDataInfo(ULONG type, DWORD* rate, DWORD* channels, DWORD* bits) const;

  // The sound side, forwarded to the sound path: E_POINTER without one, errors::kPreviewNotBuilt
  // unbuilt, E_INVALIDARG for a null out-pointer.
  static constexpr SoundControlRules kSoundControls = {E_POINTER, errors::kPreviewNotBuilt, true, NullOutCheck::Inside};
  SoundControls& soundControls() noexcept { return soundControls_; }

  DWORD lastRunTime() const noexcept { return runTime_; }

 private:
  void BuildSteps(const DeviceIdentity& identity) override;
  void OnOwnEvent() override;  // the audio-mode event
  void CreateEvents(const DeviceIdentity& identity);

  LONG boardType_ = 0;  // the item's type 2
  Microsoft::WRL::ComPtr<IBaseFilter> capture_;
  std::unique_ptr<VideoChainBuilder> chain_;
  std::unique_ptr<FilterHolder> sound_;
  SoundControls soundControls_{kSoundControls, *this, sound_};
  std::unique_ptr<FilterLink> link_;
  DWORD runTime_ = 0;

  // Besides the bases' stop and error (kind 0), audio-mode (handed to the driver), live input
  // audio (kind 1, the device object's own), live output audio (kind 2) and external input events:
  NamedEvent unnamed_[5];   // kinds 3, 7, 8, 9, 10
  NamedEvent index1_;     // kind 11, tuner index 1 only
  NamedEvent recording_;  // "Recording", tuner index 1 only (the recording graph sets it)
  std::unique_ptr<StreamingDeviceControl> link2Driver_;
};

}  // namespace rul

// The live-television graph of one first-family device: the card's capture and TV-audio
// filters, the video chain the window side adds behind the capture pin, the audio link and the
// sound path. It owns the preview's notification events, registers the audio-mode event with
// the driver and runs a watch thread that turns driver and graph events into the events the
// host waits on.
//
// Operations and the graph's own state changes are separate: `Run`/`Stop` connect and
// disconnect the chain, the audio link and the sound path (the device object's preparation and
// its undo); `RunGraph`/`StopGraph`/`Pause` change the graph's state. StopGraph ends the sound
// path's own graph restarts before it stops the graph.
//
// Not locked: the device object's lock serialises every call. The watch thread touches only
// the events, the graph's event interface and the last graph error.
#pragma once
#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>
#include <atomic>
#include <memory>
#include <string>
#include "common/device/device_identity.h"
#include "common/device/filter_graph_holder.h"
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

class EncoderControl;

class PreviewGraph : public FilterGraphHolder, public PreviewGraphParts {
 public:
  // The sound-path kind of the first family's preview: the selector into the audio renderer,
  // with the audio pacer in the link (so the video pacer leads the chain).
  static constexpr int kSoundPathKind = 4;
  static constexpr wchar_t kCustomFilterName[] = L"CUSTOM FILTER";

  enum NotifyType : int { kGraphError = 0, kLiveInputAudio = 1, kLiveOutputAudio = 2 };

  // `chainSettings`: the family's settings for the chain elements (module, RecRunning name,
  // creation rule); board and tuner come from the device item. `module`: the module beside
  // which the outside filter files lie.
  PreviewGraph(ChainSettings chainSettings, HMODULE module);
  ~PreviewGraph() override;

  // Keeps a clone of the device item, its board type and tuner number. 0x8007F042 for a null item; a failing
  // call throws.
  HRESULT KeepDeviceItem(IHalItem* item);
  // Builds the graph for the device (no-op when built); throws the failing step's code.
  // `instance`: the instance number that ends the device's object names.
  void Build(const DeviceIdentity& identity, int instance);
  // Connects the audio link, the video chain and the sound path. 0x80072601 unbuilt, S_OK when
  // running already, 0x80072602 without a video chain. A failure undoes what was connected.
  HRESULT Run() override;
  // Disconnects them again; the first failure is returned after every step ran.
  HRESULT Stop() override;
  // The graph's state changes (FilterGraphHolder's). StopGraph suspends the sound path's
  // restarts first.
  HRESULT RunGraph() { return FilterGraphHolder::Run(); }
  HRESULT StopGraph();
  // Stops the watch thread, closes the events, removes the card's filters, releases the graph.
  void Teardown();

  HRESULT GetMuteStatus(LONG* muted) const;
  HRESULT GetNotifyEvent(int type, HANDLE* event) const;
  HRESULT GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode);
  HRESULT GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode);
  HRESULT GetSoundDataInfo(DWORD* rate, DWORD* channels, DWORD* bits) const;
  HRESULT GetLastGraphError() const { return lastError_.load(); }

  // The window side: the chain behind the capture pin for the host's window mode. Deletes any
  // previous chain; the custom filter inserted before joins it. Failures of the build returned.
  HRESULT CreateVideoChain(DWORD windowMode);
  // Stops and deletes the chain.
  HRESULT ReleaseVideoChain();
  VideoChainBuilder* videoChain() const { return chain_.get(); }
  // The host's filter, made from `moduleFile` beside the device manager as "CUSTOM FILTER", joins
  // the next chain the window side creates.
  HRESULT InsertCustomFilter(REFCLSID clsid, const wchar_t* moduleFile);
  // The outside on-screen-display in-place filter, from its module file beside the device
  // manager, as the custom filter of the next chain.
  HRESULT InsertOsdFilter();

  // The sound side: the selector into the DirectSound renderer, behind the audio link.
  HRESULT AddAudioRenderer();
  HRESULT RemoveAudioRenderer();
  FilterHolder* soundPath() const { return sound_.get(); }
  // Volume, balance and mix: 0x80072601 unbuilt, then 0x8007F042 without a sound path.
  static constexpr SoundControlRules kSoundControls = {errors::kPreviewNullPointer, errors::kPreviewNotBuilt, false, NullOutCheck::None};
  SoundControls& soundControls() noexcept { return soundControls_; }

  bool running() const noexcept { return running_; }
  IBaseFilter* captureFilter() const noexcept { return capture_.Get(); }
  IPin* vbiPin() const noexcept { return vbiPin_.Get(); }
  // The watch thread's stop wait (timeouts::kWorkerStop unless a test shortens it).
  void SetStopTimeout(DWORD ms) noexcept { stopTimeout_ = ms; }

 private:
  void CreateEvents(const DeviceIdentity& identity, int instance);
  static DWORD WatchLoop(void* self);
  DWORD Watch();
  bool GraphStopped();
  // The TV-audio mode mapped to the host's pairs; false (and the failure) when not answerable.
  HRESULT ReadAudioMode(ULONG* left, ULONG* right);

  const ChainSettings chainSettings_;
  const HMODULE module_;
  Microsoft::WRL::ComPtr<IBaseFilter> capture_;
  Microsoft::WRL::ComPtr<IPin> vbiPin_;
  std::unique_ptr<VideoChainBuilder> chain_;
  std::unique_ptr<FilterHolder> sound_;
  SoundControls soundControls_{kSoundControls, *this, sound_};
  UniqueHandle watchThread_;
  UniqueHandle stop_;
  UniqueHandle graphError_;
  std::atomic<HRESULT> lastError_{S_OK};
  Microsoft::WRL::ComPtr<IHalItem> item_;
  DWORD boardType_ = 0;    // device item value 2
  DWORD tunerNumber_ = 0;  // device item value 8
  std::unique_ptr<EncoderControl> encoder_;
  std::unique_ptr<FilterLink> link_;
  Microsoft::WRL::ComPtr<IMediaEventEx> events_;  // the watch thread's, released when it ends
  bool running_ = false;
  CLSID customClsid_ = GUID_NULL;
  std::wstring customModule_;
  DWORD stopTimeout_ = timeouts::kWorkerStop;
};

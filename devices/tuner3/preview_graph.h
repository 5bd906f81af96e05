// The third family's live-preview graph: the card's preview source ("TAVO Preview": video pin
// "Preview", sound pin "Audio PCM") and TV-audio filter, with three attachments the device
// object adds and removes as the host initialises its interfaces: the video chain (made by the
// shared chain builder, handed in from outside), the sound path behind the audio sync wrapper,
// and the custom filter the chain carries. It registers the preview audio-mode event with the
// preview source's driver, and a watch thread turns that event and the graph's error events into
// the host's notify events.
//
// Not locked: the device object's lock serialises every call. The watch thread touches only
// the events, the graph's event interface and the last error (atomic); the chain has a lock
// of its own.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <memory>

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

class DeviceIdentity;

namespace pex {

// The preview's video size as the device object hands it up: width, height, 4, 1.
struct PreviewVideoSize {
  LONG width, height, planes, count;
};

class PreviewGraph : public FilterGraphHolder, public PreviewGraphParts {
 public:
  // The sound-path kind the preview is made with: the rate adapter behind the audio pacer.
  static constexpr int kSoundPathKind = 4;
  static constexpr wchar_t kCustomFilterName[] = L"CUSTOM FILTER";
  enum NotifyType : int { kGraphError = 0, kLiveInputAudio = 1, kLiveOutputAudio = 2 };

  // `module`: the module beside which the outside filter files lie (the device manager's).
  explicit PreviewGraph(HMODULE module);
  ~PreviewGraph() override;

  // Binds the device's TV-audio and preview-source filters, finds the two pins, creates the
  // notify events, registers the audio-mode event with the driver and starts the watch thread.
  // S_OK at once when built; a failure undoes every step (the event registration included).
  HRESULT Build(const DeviceIdentity& identity);
  // Disconnects, stops the watch thread, unregisters the driver event, closes the events and
  // removes the filters. Nothing to do when not built.
  void Teardown();

  // Attaches the sound pin to the sync wrapper, connects the video chain and the sound path.
  // 0x80072601 not built, 0x80072602 no wrapper or a chain not built; S_OK when connected. A
  // failure undoes what this call connected, so a later call can succeed.
  HRESULT ConnectStreams();
  // Detaches the sound pin, disconnects the chain and the sound path; the first failure.
  HRESULT DisconnectStreams();

  HRESULT GetNotifyEvent(int type, HANDLE* event) const;
  HRESULT GetLastError() const noexcept { return lastError_.load(); }
  HRESULT GetCurrentInputAudioMode(_SHAL_INPUT_AUDIOMODE* mode);
  HRESULT GetCurrentOutputAudioMode(_SHAL_OUTPUT_AUDIOMODE* mode);
  // E_POINTER not built; E_FAIL for a format neither VIDEOINFOHEADER nor VIDEOINFOHEADER2, or
  // one whose block is missing or shorter than the header it names.
  HRESULT GetVideoSize(PreviewVideoSize* size);
  HRESULT GetSoundDataInfo(DWORD* rate, DWORD* channels, DWORD* bits) const;
  // Clones the item and keeps its value 2 as the sound setting number.
  HRESULT SetSoundSettings(IHalItem* item);

  // The video chain: `chain` is the builder the device object made for the window interface
  // (null: its creation failed, E_OUTOFMEMORY). Releases the chain held, then builds `chain`
  // behind the video pin with the custom filter of `clsid` from `moduleFile` ("CUSTOM FILTER")
  // and the overlay mode; the chain is kept even when its build fails (ConnectStreams then
  // answers 0x80072602). 0x80072601 not built.
  HRESULT InsertCustomFilter(std::unique_ptr<VideoChainBuilder> chain, DWORD overlayMode, REFCLSID clsid,
                             const wchar_t* moduleFile);
  HRESULT ReleaseVideoChain();
  // The host's window calls reach it through the device object's window side.
  VideoChainBuilder* videoChain() const noexcept { return chain_.get(); }

  // The sound path of kind 4 behind the sync wrapper, for `renderer`.
  HRESULT AddAudioRenderer(REFCLSID renderer);
  HRESULT RemoveAudioRenderer();
  // Volume, balance and mix: E_INVALIDARG for a null out-pointer, E_POINTER without the
  // sound path, 0x80072601 unbuilt.
  static constexpr SoundControlRules kSoundControls = {E_POINTER, errors::kPreviewNotBuilt, true, NullOutCheck::First};
  SoundControls& soundControls() noexcept { return soundControls_; }

  // The preview source's "Audio PCM" output (the parts' sound pin).
  IPin* soundPin() const noexcept { return audioPin_.Get(); }
  bool connected() const noexcept { return flag_ != 0; }
  // The watch thread's stop wait (timeouts::kWorkerStop unless a test shortens it).
  void SetStopTimeout(DWORD ms) noexcept { stopTimeout_ = ms; }

 private:
  void BuildSteps(const DeviceIdentity& identity);
  static DWORD WatchLoop(void* self);
  DWORD Watch();
  // Both audio modes (zeroed first); only while the graph runs.
  HRESULT AudioModes(_SHAL_INPUT_AUDIOMODE* input, _SHAL_OUTPUT_AUDIOMODE* output);

  const HMODULE module_;
  Microsoft::WRL::ComPtr<IBaseFilter> preview_;
  Microsoft::WRL::ComPtr<IKsPropertySet> previewProperties_;
  std::unique_ptr<VideoChainBuilder> chain_;
  std::unique_ptr<FilterLink> link_;  // the audio sync wrapper
  std::unique_ptr<FilterHolder> sound_;
  SoundControls soundControls_{kSoundControls, *this, sound_};
  LONG soundSetting_ = -1;
  LONG secondSoundSetting_ = 0;
  Microsoft::WRL::ComPtr<IHalItem> soundItem_;
  bool registered_ = false;  // the driver holds our audio-mode event

  UniqueHandle watchThread_;
  NamedEvent stop_;
  NamedEvent graphError_;
  Microsoft::WRL::ComPtr<IMediaEventEx> events_;
  std::atomic<HRESULT> lastError_{S_OK};
  DWORD stopTimeout_ = timeouts::kWorkerStop;
};

}  // namespace pex

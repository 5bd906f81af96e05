// The parts every family's preview graph holds beside its graph: the source filter's video and
// sound pins, the TV-audio filter and its control, the four notify events the driver and the
// host share with it, how they are let go at teardown, and the connection of the streams (the
// sound pin through the audio link, the video chain, the sound path) with its undo.
//
// A second base of each family's preview graph (the first is its FilterGraphHolder); the source
// filter, the graph's own events and what a family answers without a chain stay the family's.
// Not locked: the graph's owner serialises the calls.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include "common/device/filter_graph_holder.h"
#include "common/locks.h"
#include "devices/core/sound/filter_link.h"
#include "devices/core/sound/sound_path.h"
#include "devices/core/video_chain_builder.h"
#include "devices/idl/device_manager.h"

class PreviewGraphParts {
 public:
  IPin* videoPin() const noexcept { return videoPin_.Get(); }
  IPin* audioPin() const noexcept { return audioPin_.Get(); }
  HANDLE externalInputEvent() const noexcept { return externalInput_.handle(); }
  HANDLE audioModeEvent() const noexcept { return audioMode_.handle(); }

 protected:
  // Which of the two filters leaves the graph first at teardown.
  enum class RemoveOrder { kSourceFirst, kTvAudioFirst };

  PreviewGraphParts() = default;
  PreviewGraphParts(const PreviewGraphParts&) = delete;
  PreviewGraphParts& operator=(const PreviewGraphParts&) = delete;
  ~PreviewGraphParts() = default;

  // Attaches the sound pin to `link`, connects `chain` (when there is one; one not built is
  // errors::kPreviewNoChain) and starts `sound` (when there is one) behind the link. A failure
  // undoes the steps before it (a pin the link refused included) and is returned; S_OK once
  // all are connected.
  HRESULT ConnectParts(FilterLink& link, VideoChainBuilder* chain, FilterHolder* sound);
  // Detaches the sound pin, disconnects the chain and stops the sound path (those present):
  // every step runs, the first failure is returned.
  static HRESULT DisconnectParts(FilterLink* link, VideoChainBuilder* chain, FilterHolder* sound);

  // The parts' teardown, once the watch thread ended and the driver let go of the audio-mode
  // event: closes the four events, takes `source` and the TV-audio filter out of the graph of
  // `holder` (when it has one) in `order`, then lets go of the pins, the TV-audio control,
  // `source`, the TV-audio filter and `item` (the device item the graph kept), in that order. A
  // family lets go of its own further references on the source filter first.
  void ReleaseParts(FilterGraphHolder& holder, Microsoft::WRL::ComPtr<IBaseFilter>& source,
                    Microsoft::WRL::ComPtr<IHalItem>& item, RemoveOrder order) noexcept;

  Microsoft::WRL::ComPtr<IPin> videoPin_, audioPin_;
  Microsoft::WRL::ComPtr<IBaseFilter> tvAudio_;
  Microsoft::WRL::ComPtr<IAMTVAudio> tvAudioControl_;
  NamedEvent audioMode_;        // "AudioMode" (the third family's "PreviewAudioMode"), given to the driver
  NamedEvent liveInputAudio_;   // "LiveInputAudio"
  NamedEvent liveOutputAudio_;  // "LiveOutputAudio"
  NamedEvent externalInput_;    // "ExternalInput": set while the sound comes from outside
};

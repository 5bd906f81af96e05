// The renderer's private graph: the internal source "VornVSrc.ax" (loaded from the renderer's
// own folder) connected to the platform's mixing renderer in windowless mode. The graph is
// built and driven on the caller's thread under the worker's lock; the worker's thread owns
// the message-only window that receives the graph's events and clips the mixing renderer.
//
// Locks: lock_ alone; nothing is called out to the renderer while it is held. Events are
// drained on the worker's thread with a reference to the event interface of its own.
#pragma once

#include "common/dshow.h"

#include <d3d9.h>
#include <vmr9.h>
#include <wrl/client.h>

#include <functional>

#include "common/window/message_window_thread.h"
#include "filters/base/lock.h"
#include "filters/include/filter_interfaces.h"

namespace vren {

constexpr wchar_t kSourceModuleName[] = L"VornVSrc.ax";
constexpr wchar_t kSourceFilterName[] = L"Zarn Lumacrest2 Source";
constexpr wchar_t kMixerFilterName[] = L"Video Renderer9";

class GraphWorker final : public MessageWindowThread {
 public:
  // Receives the internal graph's error events (on the worker's thread).
  using EventSink = std::function<void(long code, LONG_PTR param1, LONG_PTR param2)>;

  // `sourceFolderModule`: the module whose folder holds "VornVSrc.ax" (the renderer's own).
  GraphWorker(HMODULE sourceFolderModule, EventSink events);
  ~GraphWorker() override;

  // Builds the graph, the source and the mixing renderer once; a failure leaves nothing.
  HRESULT Connect();
  HRESULT SetSourceMediaType(const AM_MEDIA_TYPE* type);
  // Connects source and mixer and runs the graph, priming the mixer with two empty frames.
  HRESULT RunGraph();
  // Hands one frame to the source; the frame is kept for Rebuild.
  HRESULT Deliver(IMediaSample* sample);
  void StopGraph();
  void TearDown();
  // A new mixing renderer (after a display change) showing the last frame again.
  HRESULT Rebuild();

  bool IsConnected() const;
  bool IsRunning() const;
  // The mixing renderer, with a reference (null without one): for tests and diagnostics.
  Microsoft::WRL::ComPtr<IBaseFilter> Mixer() const;

 protected:
  DWORD Run() override;
  void OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  // The building steps, lock held: each stops at its first failure.
  HRESULT CreateGraph();
  void ReleaseGraph();
  HRESULT CreateSource();
  void RemoveAllFilters();
  HRESULT CreateMixer();
  void RemoveMixer();
  void StopGraphLocked();
  void TearDownLocked();
  HRESULT RunGraphLocked();
  void DrainEvents();

  const HMODULE sourceFolderModule_;
  const EventSink events_;
  mutable CCritSec lock_;
  Microsoft::WRL::ComPtr<IGraphBuilder> graph_;
  Microsoft::WRL::ComPtr<IMediaControl> control_;
  Microsoft::WRL::ComPtr<IMediaEventEx> eventsEx_;
  Microsoft::WRL::ComPtr<IBaseFilter> source_;
  Microsoft::WRL::ComPtr<IPin> sourcePin_;
  Microsoft::WRL::ComPtr<IKelvTransmit> transmit_;
  Microsoft::WRL::ComPtr<IBaseFilter> mixer_;
  Microsoft::WRL::ComPtr<IPin> mixerPin_;
  Microsoft::WRL::ComPtr<IVMRFilterConfig9> mixerConfig_;
  Microsoft::WRL::ComPtr<IVMRWindowlessControl9> windowless_;
  Microsoft::WRL::ComPtr<IVMRDeinterlaceControl9> deinterlace_;
  Microsoft::WRL::ComPtr<IMediaSample> held_;
  bool connected_ = false;
  bool running_ = false;
};

}  // namespace vren

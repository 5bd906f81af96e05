// The sound path through the outside sound selector into an audio renderer (AudioInputSelector)
// and the same behind the outside rate-matching filter (AudioRateAdapter).
//
// The renderer is the DirectSound device below the audio filter driver when that driver is to
// be bypassed (the registry says so), else the class the preview asks for. A watch worker reads
// the renderer's buffer fullness every "Watch Timer" ms (0 counts as not set) while the path is
// started and restarts the graph (stop, run, and pause again when it was paused:
// graph_state::Restore, which leaves every filter stopped after a refused step) when the
// fullness reaches "Buffer Limit" percent.
//
// A restart and the caller's own graph state changes never interleave: a restart runs under
// the watch lock and only while the watch is on, and Stop switches the watch off under that
// lock. The preview graph therefore stops the sound path BEFORE it stops the graph: once Stop
// has returned, no restart is in flight and none will start, so a graph stopped afterwards
// stays stopped.
//
// Lock order: the watch lock is taken alone (the worker calls into the graph under it, the
// graph never calls back into the sound path).
#pragma once

#include <windows.h>
#include <dshow.h>

#include <atomic>

#include "common/handles.h"
#include "common/locks.h"
#include "common/thread.h"
#include "devices/core/sound/sound_path.h"

struct ISelectorFilterControl;

class AudioInputSelector : public FilterHolder {
 public:
  static constexpr DWORD kDefaultWatchTimer = 1000;  // ms
  static constexpr DWORD kDefaultBufferLimit = 35;   // percent

  // `module`: the module whose directory holds the outside filter files.
  explicit AudioInputSelector(HMODULE module);
  ~AudioInputSelector() override;

  // Chooses and adds the renderer, adds the sound selector, takes the pins and starts the
  // watch worker. A failure leaves what was added for Teardown.
  HRESULT Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) override;
  // Stops, ends the worker, removes the filters, releases everything. S_OK.
  HRESULT Teardown() override;
  // Connects upstream -> selector -> renderer (the first failure is returned), re-reads the
  // watch settings and switches the watch on.
  HRESULT Start(IPin* upstream) override;
  // Switches the watch off (waiting out a restart in flight) and disconnects the pins.
  HRESULT Stop() override;
  // Switches the watch off; returns once a restart in flight has ended.
  void SuspendWatch() override;

  // Through the renderer's IBasicAudio, clamped; E_POINTER without it.
  HRESULT SetVolume(LONG volume) override;
  HRESULT GetVolume(LONG* volume) override;
  HRESULT SetBalance(LONG balance) override;
  HRESULT GetBalance(LONG* balance) override;
  HRESULT SetMix(ULONG, ULONG) override { return E_NOTIMPL; }
  HRESULT GetMix(ULONG*, ULONG*) override { return E_NOTIMPL; }

  // The graph's clock: mode 1 its default, any other the renderer's (sound_graph::SetClockMode).
  HRESULT SetClockMode(LONG mode);

  // Whether the audio filter driver is to be bypassed (registry).
  static bool BypassFilterDriver();

  IBaseFilter* renderer() const noexcept { return renderer_; }
  DWORD watchTimer() const noexcept { return watchTimer_; }
  DWORD bufferLimit() const noexcept { return bufferLimit_; }
  // The worker's stop wait (timeouts::kWorkerStop unless a test shortens it).
  void SetStopTimeout(DWORD ms) noexcept { worker_.SetStopTimeout(ms); }

 protected:
  // Called on the worker after each fullness check (`restarted`: the graph was restarted), and
  // when a restart begins, before the graph is stopped.
  virtual void OnWatched(bool restarted) { (void)restarted; }
  virtual void OnRestarting() {}

  // Connects `feed` -> selector -> renderer, switches the watch on and starts the base with
  // `upstream`; on failure nothing stays connected.
  HRESULT StartPath(IPin* upstream, IPin* feed);
  // Switches the watch off, disconnects `feed` -> selector -> renderer and stops the base.
  void StopPath(IPin* feed);

  HMODULE module_;

 private:
  class Worker final : public StoppableThread {
   public:
    explicit Worker(AudioInputSelector& owner)
        : StoppableThread(ComApartment::MultiThreaded), owner_(owner) {}
    ~Worker() override { Stop(); }

   protected:
    DWORD Run() override { return owner_.Watch(stopEvent()); }

   private:
    AudioInputSelector& owner_;
  };

  HRESULT AddRenderer(REFCLSID renderer);
  // One IBasicAudio value: set clamped to low..high, or read.
  HRESULT PutClamped(HRESULT (STDMETHODCALLTYPE IBasicAudio::*put)(long), LONG value, LONG low, LONG high);
  HRESULT GetValue(HRESULT (STDMETHODCALLTYPE IBasicAudio::*get)(long*), LONG* out);
  // The worker's loop.
  DWORD Watch(HANDLE stop);
  // One fullness check; true when the graph was restarted.
  bool Check(IMediaControl* control, IAMAudioRendererStats* stats);
  void Restart(IMediaControl* control);
  void ReleaseAll();

  IBaseFilter* renderer_ = nullptr;
  IBasicAudio* basicAudio_ = nullptr;
  IBaseFilter* selector_ = nullptr;
  ISelectorFilterControl* selectorControl_ = nullptr;
  IPin* rendererIn_ = nullptr;
  IPin* selectorIn_ = nullptr;
  IPin* selectorOut_ = nullptr;

  UniqueHandle start_;     // manual reset: the watch goes on
  UniqueHandle watchOff_;  // manual reset: the watch goes off
  std::atomic<DWORD> watchTimer_{kDefaultWatchTimer};
  std::atomic<DWORD> bufferLimit_{kDefaultBufferLimit};
  CriticalSection watchLock_;  // guards watching_; held across a restart
  bool watching_ = false;
  Worker worker_{*this};
};

class AudioRateAdapter final : public AudioInputSelector {
 public:
  explicit AudioRateAdapter(HMODULE module) : AudioInputSelector(module) {}
  ~AudioRateAdapter() override;

  // The selector path, then the rate-matching filter and its "Input" and "Output" pins
  // (E_OUTOFMEMORY when a pin is missing).
  HRESULT Build(REFCLSID renderer, LONG value1, LONG value2, IFilterGraph* graph) override;
  HRESULT Teardown() override;
  // upstream -> rate "Input", rate "Output" -> selector -> renderer.
  HRESULT Start(IPin* upstream) override;
  HRESULT Stop() override;

 private:
  IBaseFilter* rate_ = nullptr;
  IPin* rateIn_ = nullptr;
  IPin* rateOut_ = nullptr;
};

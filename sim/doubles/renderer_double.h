// The common part of the renderer stand-ins (sound and video): one input pin whose samples are
// held while paused and consumed while running once the graph's clock has come within the
// renderer's buffer of their start time (a video renderer buffers nothing: it takes each sample
// at its start time; a sound renderer writes samples into a device buffer ahead of their time, as
// a live source stamped with a presentation delay needs), state changes and flushes that wake a
// waiting Receive, and the end of stream that becomes EC_COMPLETE once the filter runs and the
// buffer has played out. A derived renderer says which types its input takes and what a consumed
// sample does, and adds its own interfaces.
#pragma once

#include <atomic>

#include "filters/base/filter.h"
#include "filters/base/pin.h"

namespace doubles {

class RendererDouble;

// The single input pin: checks types through the renderer and hands it what arrives.
class RendererInput final : public CBaseInputPin {
 public:
  RendererInput(const wchar_t* objectName, RendererDouble* filter, CCritSec* lock, HRESULT* phr,
                const wchar_t* pinName);
  HRESULT CheckMediaType(const CMediaType* type) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndOfStream() override;

 private:
  RendererDouble* const owner_;
};

class RendererDouble : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  // `buffer`: how far ahead of the clock a sample is taken (0: at its start time).
  RendererDouble(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, const wchar_t* pinObjectName,
                 const wchar_t* pinName, HRESULT* phr, REFERENCE_TIME buffer = 0);
  ~RendererDouble() override;

  // IAMFilterMiscFlags, then the filter's interfaces; a derived class asks here last.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &input_ : nullptr; }

  // State changes wake a Receive that waits (for the run, or for its sample's time).
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  // IAMFilterMiscFlags: a renderer (the graph waits for its EC_COMPLETE).
  STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

 protected:
  // The types the input accepts: S_OK or VFW_E_TYPE_NOT_ACCEPTED.
  virtual HRESULT CheckInputType(const CMediaType& type) = 0;
  // A sample whose time has come (or that has none); its result is Receive's.
  virtual HRESULT Consume(IMediaSample* sample) = 0;
  // A sample that reached the input, before the renderer waits for its time.
  virtual void Arrived(IMediaSample*) {}

  const RendererInput& Input() const { return input_; }
  CCritSec* FilterLock() { return &lock_; }

 private:
  friend class RendererInput;

  // The receive path: holds the sample while paused, waits while running until its start time
  // lies within the buffer.
  HRESULT Render(IMediaSample* sample);
  // Waits while paused, and while running until stream time `due` (none: not at all). S_OK when
  // running at `due`, S_FALSE when flushing, VFW_E_WRONG_STATE when stopped.
  HRESULT WaitRunningUntil(const REFERENCE_TIME* due);
  void Wake();
  // End of stream: EC_COMPLETE once running (when running now, once the buffer has played).
  HRESULT EndOfStream();
  void ClearEndOfStream();
  void SendComplete();  // filter lock held

  CCritSec lock_;  // the filter (state) lock
  HANDLE wake_;    // manual reset: a state change or a flush
  RendererInput input_;
  const REFERENCE_TIME buffer_;
  // Whether the buffer holds samples since the last Stop or flush (which clear it), and the
  // stop time of the last one (the streaming thread only).
  std::atomic<bool> buffered_{false};
  REFERENCE_TIME playedOut_ = 0;
  bool eosPending_ = false;  // filter lock
  bool eosSent_ = false;     // filter lock
};

}  // namespace doubles

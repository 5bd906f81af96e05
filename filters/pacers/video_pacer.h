// The live video pacer: an in-place filter first in the preview's video chain. It stamps every
// frame from the graph clock (or the hardware's own stamps) plus the configured delay, writes
// the start into the header of field-video frames, and queues the frame for its own delivery
// thread instead of delivering it on the streaming thread: the capture pin never waits for the
// renderer. The delivery thread hands frames on in arrival order and drops those already late.
#pragma once

#include <atomic>
#include <memory>

#include "filters/base/transinplace.h"
#include "filters/pacers/frame_pacer.h"
#include "filters/pacers/pacer_settings.h"
#include "filters/pacers/property_page_list.h"

class VideoPacer;

// The input pin: asks upstream for the configured number of buffers, and notes at connection
// whether upstream offers any VideoInfo2 type (then only VideoInfo2 is accepted).
class VideoInputPin : public CTransInPlaceInputPin {
 public:
  VideoInputPin(VideoPacer* filter, HRESULT* phr);

  // IMemInputPin: cBuffers := the allocator-buffer setting when it is positive; S_OK when the
  // request then names a count, else E_NOTIMPL. Nothing else of the request is touched.
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
  // IPin
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP QueryId(LPWSTR* id) override;
  STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;

 private:
  VideoPacer* const pacer_;  // owns us
};

class VideoPacer : public CTransInPlaceFilter {
 public:
  // Factory entry "Zarn Live Video Sync Filter".
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  VideoPacer(IUnknown* outer, HRESULT* phr);
  ~VideoPacer() override;

  // IPacerSettings, ISpecifyPropertyPages, then the filter's own.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // The pins, and the delivery thread once the output pin exists.
  CBasePin* GetPin(int n) override;

  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  STDMETHODIMP Pause() override;
  // Stops, then releases every queued frame (and discards the queued marks).
  STDMETHODIMP Stop() override;

  HRESULT CheckInputType(const CMediaType* in) override;
  // Stamps and queues the frame; S_FALSE (the base does not deliver it) or a failure.
  HRESULT Transform(IMediaSample* sample) override;

  // The end of the stream queues behind the frames (the delivery thread passes it on after
  // them); without a running delivery thread no frame can still leave, so it goes on at once.
  HRESULT EndOfStream() override;
  // A new segment queues behind the frames of the old one as well (the input pin has recorded
  // it already); it goes on at once without a running delivery thread, or while the filter is
  // stopped or flushing (every queued frame is then dropped, none can be overtaken).
  HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  // The delivery thread stops delivering, the flush goes downstream (a delivery blocked there
  // returns), then the queue empties, the queued marks with it.
  HRESULT BeginFlush() override;
  HRESULT EndFlush() override;

  IPacerSettings* Settings() { return settings_.get(); }
  FramePacer* Pacer() { return pacer_.get(); }
  void SetVideoInfo2Offered(bool offered) { vi2Offered_ = offered; }
  bool VideoInfo2Offered() const { return vi2Offered_; }

 protected:
  CTransformInputPin* CreateInputPin(HRESULT* phr) override;

 private:
  // Steps 2-7 of stamping: the frame's times (and field header) from the clock or the hardware.
  HRESULT Stamp(IMediaSample* sample, IReferenceClock* clock);

  std::unique_ptr<FramePacer> pacer_;  // made with the output pin; deleted first
  std::unique_ptr<PacerSettings> settings_;
  std::unique_ptr<PropertyPageList> pages_;
  std::atomic<bool> vi2Offered_{false};
  LONGLONG streamBase_ = 0;  // streaming thread; set at each discontinuity, kept across Stop
};

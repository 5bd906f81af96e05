// A recording sink for filter tests: one input pin "In" that accepts a configurable set of
// (partial) media types and records every sample it receives with the receiving thread and the
// arrival time; it can offer an allocator of N buffers that attaches a media type to each
// buffer, can block in Receive until released, and reports itself as a renderer (EC_COMPLETE
// after end of stream) so that a filter graph manager counts it.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "common/handles.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"

namespace graph_testkit {

struct ReceivedSample {
  HRESULT timeResult = S_OK;  // GetTime's answer
  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  HRESULT mediaTimeResult = S_OK;
  LONGLONG mediaStart = 0;
  LONGLONG mediaStop = 0;
  bool sync = false;
  bool preroll = false;
  bool discontinuity = false;
  LONG actualLength = 0;
  LONG size = 0;
  DWORD typeSpecificFlags = 0;
  DWORD sampleFlags = 0;
  std::shared_ptr<CMediaType> type;  // the attached type, when the sample carried one
  BYTE firstByte = 0;
  std::vector<BYTE> data;  // the whole buffer (GetSize bytes), while the sink keeps data
  DWORD threadId = 0;
  ULONGLONG arrivalMs = 0;  // GetTickCount64
};

class SinkInputPin;

class RecordingSink : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  // A new sink with one reference for the caller; with no types it accepts any type.
  static RecordingSink* Create(std::vector<CMediaType> accepted = {});
  ~RecordingSink() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;

  IPin* InputPin();  // no reference added
  CBaseInputPin* Input();

  // Our own allocator forced to `count` buffers of at least `size` bytes (0: as asked).
  void SetAllocator(LONG count, LONG size);
  // Reported by GetAllocatorRequirements (E_NOTIMPL while not set).
  void SetRequirements(const ALLOCATOR_PROPERTIES& props);
  // Every buffer of our allocator carries this type (null: none).
  void SetAttachType(std::shared_ptr<CMediaType> type);
  // Every buffer of our allocator is filled with `guard` before it is handed out, and every
  // record keeps the buffer's bytes: what a sender wrote past its data stays visible.
  void SetGuard(BYTE guard);
  // Receive waits (at most 10 s) until Unblock, a flush or Stop.
  void SetBlocking(bool block);
  void Unblock();
  // `action` runs once, on the thread of the next Receive, after the sample is recorded (what a
  // host does on a streaming thread: the last release of a filter upstream, say).
  void SetOnReceive(std::function<void()> action);
  // EC_COMPLETE to the graph after end of stream (default on).
  void SetNotifyComplete(bool on) { notifyComplete_ = on; }

  std::vector<ReceivedSample> Samples() const;
  size_t SampleCount() const;
  bool WaitForSamples(size_t count, DWORD timeoutMs) const;
  bool WaitForEndOfStream(DWORD timeoutMs) const;
  int EndOfStreamCount() const { return endOfStreams_; }
  int BeginFlushCount() const { return beginFlushes_; }
  int EndFlushCount() const { return endFlushes_; }
  int NewSegmentCount() const { return newSegments_; }
  // For each new segment, how many Receive calls had returned when it came.
  std::vector<size_t> NewSegmentPlaces() const;
  // Receive calls that have returned.
  size_t ReceivesReturned() const { return receivesReturned_; }
  bool ReadOnlyAllocator() const;
  void ClearRecords();

 private:
  friend class SinkInputPin;
  explicit RecordingSink(std::vector<CMediaType> accepted, HRESULT* phr);

  CCritSec lock_;
  mutable CCritSec recordLock_;  // records only (leaf)
  std::vector<CMediaType> accepted_;
  std::unique_ptr<SinkInputPin> pin_;
  std::vector<ReceivedSample> samples_;
  std::vector<size_t> newSegmentPlaces_;
  std::atomic<size_t> receivesReturned_{0};
  UniqueHandle sampleEvent_;   // auto-reset: a sample arrived
  UniqueHandle eosEvent_;      // manual-reset: end of stream seen
  UniqueHandle releaseEvent_;  // manual-reset: blocking Receive may go on
  std::atomic<bool> blocking_{false};
  std::function<void()> onReceive_;  // under recordLock_
  std::atomic<int> endOfStreams_{0};
  std::atomic<int> beginFlushes_{0};
  std::atomic<int> endFlushes_{0};
  std::atomic<int> newSegments_{0};
  bool notifyComplete_ = true;
  LONG allocatorCount_ = 0;
  LONG allocatorSize_ = 0;
  bool hasRequirements_ = false;
  ALLOCATOR_PROPERTIES requirements_{};
  std::shared_ptr<CMediaType> attachType_;
  bool guarded_ = false;
  BYTE guard_ = 0;
};

}  // namespace graph_testkit

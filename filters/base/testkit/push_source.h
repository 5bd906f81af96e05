// A controllable push source for filter tests: one output pin "Out" that offers the given media
// types and pushes samples described one by one (times, media times, flags, actual length,
// type-specific flags, an attached media type), on the caller's thread or on its own.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "common/handles.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"

namespace graph_testkit {

struct SamplePlan {
  std::optional<REFERENCE_TIME> start;  // no start: no times
  std::optional<REFERENCE_TIME> stop;
  std::optional<LONGLONG> mediaStart;
  std::optional<LONGLONG> mediaStop;
  bool sync = true;
  bool preroll = false;
  bool discontinuity = false;
  LONG actualLength = -1;  // -1: the whole buffer
  DWORD typeSpecificFlags = 0;
  std::shared_ptr<CMediaType> attachType;  // attached through IMediaSample2 (TYPECHANGED)
  BYTE fill = 0;  // written over the actual length
  DWORD bufferFlags = 0;  // GetBuffer flags (AM_GBF_NOWAIT)
};

class TestSourcePin;

class TestPushSource : public CBaseFilter {
 public:
  // A new source with one reference for the caller; with no types it offers YUY2 720x480.
  static TestPushSource* Create(std::vector<CMediaType> types = {});
  ~TestPushSource() override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
  STDMETHODIMP Stop() override;

  // "Live": paused, the source cannot cue data (GetState gives VFW_S_CANT_CUE).
  void SetLive(bool live) { live_ = live; }
  // Our wish for the buffers; the peer's requirements raise it. 0: from the type.
  void SetBufferRequest(LONG count, LONG size) {
    requestCount_ = count;
    requestSize_ = size;
  }
  // What the downstream pin asked for in GetAllocatorRequirements, and what was granted.
  // The allocator is announced downstream as read-only (NotifyAllocator(..., TRUE)).
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  ALLOCATOR_PROPERTIES PeerRequirements() const { return peerRequirements_; }
  ALLOCATOR_PROPERTIES Granted() const { return granted_; }
  bool UsedPeerAllocator() const { return usedPeerAllocator_; }

  IPin* OutputPin();  // no reference added
  CBaseOutputPin* Output();

  // Pushes one sample on the calling thread: the delivery result (or the buffer's failure).
  HRESULT Push(const SamplePlan& plan);
  HRESULT PushEndOfStream();
  HRESULT PushBeginFlush();
  HRESULT PushEndFlush();
  HRESULT PushNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  // Pushes the samples (then end of stream when asked) from a thread of the source, once the
  // filter has left the stopped state (waiting at most 10 s for that).
  HRESULT StartPushing(std::vector<SamplePlan> samples, bool endOfStream);
  // Waits (bounded) for the thread; true when it ended. Its results per sample follow.
  bool WaitPushed(DWORD timeoutMs);
  std::vector<HRESULT> PushResults() const { return pushResults_; }
  DWORD PushThreadId() const { return pushThreadId_; }

 private:
  friend class TestSourcePin;
  explicit TestPushSource(std::vector<CMediaType> types, HRESULT* phr);
  static unsigned __stdcall PushEntry(void* self);

  CCritSec lock_;
  std::vector<CMediaType> types_;
  std::unique_ptr<TestSourcePin> pin_;
  bool live_ = false;
  LONG requestCount_ = 0;
  LONG requestSize_ = 0;
  ALLOCATOR_PROPERTIES peerRequirements_{};
  ALLOCATOR_PROPERTIES granted_{};
  bool usedPeerAllocator_ = false;
  bool readOnly_ = false;

  UniqueHandle thread_;
  std::vector<SamplePlan> toPush_;
  bool pushEndOfStream_ = false;
  std::vector<HRESULT> pushResults_;
  volatile DWORD pushThreadId_ = 0;
  volatile bool abort_ = false;
};

}  // namespace graph_testkit

// The video pacer's delivery side: a first-in-first-out queue of media samples (each holds one
// reference while queued) and the delivery thread that hands them to the output pin in arrival
// order, dropping a frame that is already too late. The end of the stream and a new segment are
// queued between the frames like one of them: downstream hears of them only after every frame
// before them has been delivered or dropped (and a new segment before every frame after it),
// and a flush or stop discards them with the frames.
//
// Locks, in order: the delivery lock (a delivery in progress, the removal of the delivered
// sample, a flush), then the queue lock (the list only). The streaming thread takes only the
// queue lock, so it never waits for a delivery. The filter's clock is read through the base
// filter's clock lock (a leaf lock), never through the filter lock: Stop holds the filter lock
// while it flushes, and a flush waits for the delivery lock.
#pragma once

#include <wrl/client.h>

#include <atomic>
#include <deque>

#include "common/handles.h"
#include "common/timeouts.h"
#include "common/dshow.h"
#include "filters/base/filter.h"
#include "filters/base/lock.h"
#include "filters/base/pin.h"
#include "filters/pacers/pacer_timing.h"

class FrameQueue {
 public:
  FrameQueue() = default;
  FrameQueue(const FrameQueue&) = delete;
  FrameQueue& operator=(const FrameQueue&) = delete;
  ~FrameQueue() { Clear(); }

  // One entry: a sample, or a mark that travels between the samples. Every copy of an entry
  // holds a reference of its own on its sample.
  struct Entry {
    enum class Kind { kSample, kEndOfStream, kNewSegment };
    Kind kind = Kind::kSample;
    Microsoft::WRL::ComPtr<IMediaSample> sample;  // kSample only
    REFERENCE_TIME start = 0;        // kNewSegment only: the segment as received
    REFERENCE_TIME stop = 0;
    double rate = 1.0;
  };

  // Appends the sample with a reference of its own. E_POINTER for null, E_OUTOFMEMORY.
  HRESULT Push(IMediaSample* sample);
  // Appends an end-of-stream mark. E_OUTOFMEMORY.
  HRESULT PushEndOfStream();
  // Appends a new-segment mark. E_OUTOFMEMORY.
  HRESULT PushNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
  // A copy of the head entry (with a reference of its own on the sample); false when empty.
  bool PeekFront(Entry* head) const;
  // The head sample, borrowed (the queue keeps the reference) and not removed; null when empty
  // or when the head is a mark.
  IMediaSample* Front() const;
  // True when the head is an end-of-stream mark.
  bool EndOfStreamAtFront() const;
  // Removes the head entry (releasing a sample).
  void PopFront();
  // Removes every entry and releases the samples; the number of samples released.
  size_t Clear();
  // Entries: samples and marks.
  size_t Size() const;
  bool Empty() const { return Size() == 0; }

 private:
  mutable CCritSec lock_;
  std::deque<Entry> entries_;
};

class FramePacer {
 public:
  // The delivery thread's wait (WaitForMultipleObjects; tests put a failing one in its place).
  using WaitFunction = DWORD(WINAPI*)(DWORD count, const HANDLE* handles, BOOL all, DWORD timeoutMs);

  // Stores the filter and its output pin (neither referenced: the filter owns the pacer and
  // the pin), creates the events and starts the delivery thread. `*phr` receives the first
  // failure (it is left alone on success).
  FramePacer(CBaseFilter* filter, CBaseOutputPin* output, HRESULT* phr,
             WaitFunction wait = &WaitForMultipleObjects);
  FramePacer(const FramePacer&) = delete;
  FramePacer& operator=(const FramePacer&) = delete;
  // Stops the thread (exit event; waits the stop time-out, then terminates it), closes the
  // events and releases every sample still queued.
  virtual ~FramePacer();

  // Queues the sample for delivery. E_UNEXPECTED when the delivery thread does not run (it
  // never started, or it ended after a failed wait): the sample would never leave.
  HRESULT Queue(IMediaSample* sample);
  // Queues the end of the stream behind the frames queued so far: the delivery thread passes it
  // downstream once they are delivered or dropped (and drops it, as it does them, while the
  // filter is stopped or the output unconnected). E_UNEXPECTED when the delivery thread does not
  // run, E_OUTOFMEMORY.
  HRESULT QueueEndOfStream();
  // Queues a new segment behind the frames queued so far, for the delivery thread to pass on
  // (DeliverNewSegment) after them and before the frames queued after it; dropped like them
  // while the filter is stopped or the output unconnected, discarded by a flush. S_FALSE, with
  // nothing queued, while the filter is stopped or flushing: every queued frame is on its way
  // out undelivered then, so the caller passes the segment on at once (rather than have it
  // dropped). E_UNEXPECTED when the delivery thread does not run, E_OUTOFMEMORY.
  HRESULT QueueNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
  // Releases every queued sample and discards the queued marks without delivering them; waits
  // for a delivery in progress.
  void Flush();
  // While on, the delivery thread drops what it takes from the queue instead of delivering it:
  // set before a flush goes downstream, so that a delivery the flush releases is the last one.
  void SetFlushing(bool on) { flushing_ = on; }

  bool IsRunning() const;
  // Queued frames and marks.
  size_t QueuedCount() const { return queue_.Size(); }
  DWORD ThreadId() const;
  // The wait before termination in the destructor (timeouts::kWorkerStop unless a test
  // shortens it).
  void SetStopTimeout(DWORD ms) { stopTimeout_ = ms; }

 private:
  static DWORD Loop(void* self);
  DWORD Run();
  // Delivers or drops every queued entry; false when the exit event came meanwhile. The filter's
  // last release may come during a delivery: the loop then ends (LastReleaseDeferral).
  bool Drain(const pacer::FrameDropRule& rule);
  void DeliverOrDrop(IMediaSample* sample, const pacer::FrameDropRule& rule);

  CBaseFilter* const filter_;      // owns us
  CBaseOutputPin* const output_;   // owned by the filter
  const WaitFunction wait_;
  FrameQueue queue_;
  CCritSec deliveryLock_;
  UniqueHandle exit_;  // manual reset
  UniqueHandle data_;  // manual reset: samples were queued
  UniqueHandle thread_;
  std::atomic<bool> flushing_{false};
  DWORD stopTimeout_ = timeouts::kWorkerStop;
};

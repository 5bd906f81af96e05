// The video pacer's delivery side: a first-in-first-out queue of media samples (each holds one
// reference while queued) and the delivery thread that hands them to the output pin in arrival
// order, dropping a frame that is already too late. The end of the stream is queued behind the
// frames like one of them: downstream hears it only after every frame before it has been
// delivered or dropped, and a flush or stop discards it with them.
//
// Locks, in order: the delivery lock (a delivery in progress, the removal of the delivered
// sample, a flush), then the queue lock (the list only). The streaming thread takes only the
// queue lock, so it never waits for a delivery. The filter's clock is read through the base
// filter's clock lock (a leaf lock), never through the filter lock: Stop holds the filter lock
// while it flushes, and a flush waits for the delivery lock.
#pragma once

#include <atomic>
#include <deque>

#include "common/handles.h"
#include "common/timeouts.h"
#include "filters/base/dshow.h"
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

  // Appends the sample with a reference of its own. E_POINTER for null, E_OUTOFMEMORY.
  HRESULT Push(IMediaSample* sample);
  // Appends an end-of-stream mark. E_OUTOFMEMORY.
  HRESULT PushEndOfStream();
  // The head sample, without a reference and without removing it; null when empty or when the
  // head is an end-of-stream mark.
  IMediaSample* Front() const;
  // True when the head is an end-of-stream mark.
  bool EndOfStreamAtFront() const;
  // Removes the head entry (releasing a sample).
  void PopFront();
  // Removes every entry and releases the samples; the number of samples released.
  size_t Clear();
  // Entries: samples and end-of-stream marks.
  size_t Size() const;
  bool Empty() const { return Size() == 0; }

 private:
  mutable CCritSec lock_;
  std::deque<IMediaSample*> samples_;  // null: an end-of-stream mark
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
  // Releases every queued sample and discards a queued end of stream without delivering them;
  // waits for a delivery in progress.
  void Flush();
  // While on, the delivery thread drops what it takes from the queue instead of delivering it:
  // set before a flush goes downstream, so that a delivery the flush releases is the last one.
  void SetFlushing(bool on) { flushing_ = on; }

  bool IsRunning() const;
  // Queued frames and end-of-stream marks.
  size_t QueuedCount() const { return queue_.Size(); }
  DWORD ThreadId() const;
  // The wait before termination in the destructor (timeouts::kWorkerStop unless a test
  // shortens it).
  void SetStopTimeout(DWORD ms) { stopTimeout_ = ms; }

 private:
  static DWORD Loop(void* self);
  DWORD Run();
  // Delivers or drops every queued sample; false when the exit event came meanwhile.
  bool Drain(const pacer::FrameDropRule& rule);

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

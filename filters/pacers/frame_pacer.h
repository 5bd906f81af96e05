// The video pacer's delivery side: a first-in-first-out queue of media samples (each holds one
// reference while queued) and the delivery thread that hands them to the output pin in arrival
// order, dropping a frame that is already too late.
//
// Locks, in order: the delivery lock (a delivery in progress, the removal of the delivered
// sample, a flush), then the queue lock (the list only). The streaming thread takes only the
// queue lock, so it never waits for a delivery. The filter's clock is read through the base
// filter's clock lock (a leaf lock), never through the filter lock: Stop holds the filter lock
// while it flushes, and a flush waits for the delivery lock.
#pragma once

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
  // The head sample, without a reference and without removing it; null when empty.
  IMediaSample* Front() const;
  // Removes the head sample and releases it.
  void PopFront();
  // Removes and releases every sample; the number released.
  size_t Clear();
  size_t Size() const;
  bool Empty() const { return Size() == 0; }

 private:
  mutable CCritSec lock_;
  std::deque<IMediaSample*> samples_;
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
  // Releases every queued sample without delivering it; waits for a delivery in progress.
  void Flush();

  bool IsRunning() const;
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
  DWORD stopTimeout_ = timeouts::kWorkerStop;
};

#include "filters/pacers/frame_pacer.h"

#include <new>

#include "common/hresult.h"
#include "common/trace.h"
#include "common/worker_thread.h"

// --- FrameQueue ----------------------------------------------------------------------------------

HRESULT FrameQueue::Push(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  CAutoLock lock(&lock_);
  const HRESULT hr = GuardHr(E_OUTOFMEMORY, [&] { samples_.push_back(sample); });
  if (SUCCEEDED(hr)) sample->AddRef();
  return hr;
}

HRESULT FrameQueue::PushEndOfStream() {
  CAutoLock lock(&lock_);
  return GuardHr(E_OUTOFMEMORY, [&] { samples_.push_back(nullptr); });
}

IMediaSample* FrameQueue::Front() const {
  CAutoLock lock(&lock_);
  return samples_.empty() ? nullptr : samples_.front();
}

bool FrameQueue::EndOfStreamAtFront() const {
  CAutoLock lock(&lock_);
  return !samples_.empty() && !samples_.front();
}

void FrameQueue::PopFront() {
  IMediaSample* head = nullptr;
  {
    CAutoLock lock(&lock_);
    if (samples_.empty()) return;
    head = samples_.front();
    samples_.pop_front();
  }
  if (head) head->Release();  // back to its allocator: outside our lock
}

size_t FrameQueue::Clear() {
  std::deque<IMediaSample*> taken;
  {
    CAutoLock lock(&lock_);
    taken.swap(samples_);
  }
  size_t released = 0;
  for (IMediaSample* sample : taken) {
    if (!sample) continue;  // an end-of-stream mark
    sample->Release();
    ++released;
  }
  return released;
}

size_t FrameQueue::Size() const {
  CAutoLock lock(&lock_);
  return samples_.size();
}

// --- FramePacer ----------------------------------------------------------------------------------

FramePacer::FramePacer(CBaseFilter* filter, CBaseOutputPin* output, HRESULT* phr, WaitFunction wait)
    : filter_(filter), output_(output), wait_(wait ? wait : &WaitForMultipleObjects) {
  HRESULT hr = S_OK;
  exit_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!exit_) hr = HResultFromLastError();
  if (SUCCEEDED(hr)) {
    data_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!data_) hr = HResultFromLastError();
  }
  if (SUCCEEDED(hr)) hr = WorkerThread::Start(this, thread_, &FramePacer::Loop);
  if (FAILED(hr) && phr) *phr = hr;
}

FramePacer::~FramePacer() {
  WorkerThread::StopWorker(thread_, exit_.get(), stopTimeout_);
  exit_.reset();
  data_.reset();
  queue_.Clear();
}

bool FramePacer::IsRunning() const {
  return thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT;
}

DWORD FramePacer::ThreadId() const { return thread_ ? GetThreadId(thread_.get()) : 0; }

HRESULT FramePacer::Queue(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  if (!IsRunning()) return E_UNEXPECTED;
  RETURN_IF_FAILED(queue_.Push(sample));
  SetEvent(data_.get());
  return S_OK;
}

HRESULT FramePacer::QueueEndOfStream() {
  if (!IsRunning()) return E_UNEXPECTED;
  RETURN_IF_FAILED(queue_.PushEndOfStream());
  SetEvent(data_.get());
  return S_OK;
}

void FramePacer::Flush() {
  CAutoLock lock(&deliveryLock_);
  queue_.Clear();
}

DWORD FramePacer::Loop(void* self) { return static_cast<FramePacer*>(self)->Run(); }

DWORD FramePacer::Run() {
  const pacer::FrameDropRule rule = pacer::FrameDropRule::FromRegistry();
  const HANDLE handles[2] = {exit_.get(), data_.get()};
  for (;;) {
    const DWORD wait = wait_(2, handles, FALSE, INFINITE);
    switch (wait) {
      case WAIT_OBJECT_0:
      case WAIT_ABANDONED_0:
        return 0;
      case WAIT_OBJECT_0 + 1:
      case WAIT_ABANDONED_0 + 1:
        ResetEvent(data_.get());
        if (!Drain(rule)) return 0;
        break;
      default:
        // A wait that fails once fails again at once: tell the graph once and end, rather than
        // spin notifying it. Queue refuses samples from now on.
        filter_->NotifyEvent(EC_STREAM_ERROR_STILLPLAYING, HResultFromLastError(), 0);
        return 1;
    }
  }
}

bool FramePacer::Drain(const pacer::FrameDropRule& rule) {
  while (!queue_.Empty()) {
    if (WaitForSingleObject(exit_.get(), 0) == WAIT_OBJECT_0) return false;
    // Held over the delivery and the removal, so a flush that returns has seen the last of the
    // entries it discarded reach downstream (an end of stream included).
    CAutoLock lock(&deliveryLock_);
    const bool endOfStream = queue_.EndOfStreamAtFront();
    IMediaSample* head = queue_.Front();
    if (!head && !endOfStream) break;  // flushed meanwhile
    if (!flushing_ && output_ && output_->IsConnected() && !filter_->IsStopped()) {
      if (endOfStream) {
        output_->DeliverEndOfStream();
      } else {
        // The lateness test needs both a start time and a graph clock; without either the frame
        // goes on at once.
        bool late = false;
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        REFERENCE_TIME now = 0;
        if (SUCCEEDED(head->GetTime(&start, &stop)) && SUCCEEDED(filter_->StreamTime(now))) {
          late = rule.IsTooLate(now, start);
        }
        if (late) {
          ModuleTrace().WriteLine(TraceKind::Trace, L"Sample is too late. Drop 1 frame");
        } else {
          output_->Deliver(head);
        }
      }
    }
    queue_.PopFront();
  }
  return true;
}

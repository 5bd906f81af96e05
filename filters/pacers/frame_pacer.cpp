#include "filters/pacers/frame_pacer.h"

#include <new>
#include <utility>

#include "common/hresult.h"
#include "common/trace.h"
#include "common/worker_thread.h"

// --- FrameQueue ----------------------------------------------------------------------------------

HRESULT FrameQueue::Push(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  Entry entry;
  entry.sample = sample;  // released again if the entry does not get in
  CAutoLock lock(&lock_);
  return GuardHr(E_OUTOFMEMORY, [&] { entries_.push_back(std::move(entry)); });
}

HRESULT FrameQueue::PushEndOfStream() {
  Entry entry;
  entry.kind = Entry::Kind::kEndOfStream;
  CAutoLock lock(&lock_);
  return GuardHr(E_OUTOFMEMORY, [&] { entries_.push_back(entry); });
}

HRESULT FrameQueue::PushNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  Entry entry;
  entry.kind = Entry::Kind::kNewSegment;
  entry.start = start;
  entry.stop = stop;
  entry.rate = rate;
  CAutoLock lock(&lock_);
  return GuardHr(E_OUTOFMEMORY, [&] { entries_.push_back(entry); });
}

bool FrameQueue::PeekFront(Entry* head) const {
  CAutoLock lock(&lock_);
  if (entries_.empty()) return false;
  if (head) *head = entries_.front();
  return true;
}

IMediaSample* FrameQueue::Front() const {
  CAutoLock lock(&lock_);
  return entries_.empty() ? nullptr : entries_.front().sample.Get();
}

bool FrameQueue::EndOfStreamAtFront() const {
  CAutoLock lock(&lock_);
  return !entries_.empty() && entries_.front().kind == Entry::Kind::kEndOfStream;
}

void FrameQueue::PopFront() {
  Entry head;
  {
    CAutoLock lock(&lock_);
    if (entries_.empty()) return;
    head = std::move(entries_.front());
    entries_.pop_front();
  }
  // `head` hands its sample back to the allocator here: outside our lock.
}

size_t FrameQueue::Clear() {
  std::deque<Entry> taken;
  {
    CAutoLock lock(&lock_);
    taken.swap(entries_);
  }
  size_t released = 0;
  for (const Entry& entry : taken) {
    if (entry.sample) ++released;  // the marks carry none
  }
  return released;  // the samples go back to their allocators with `taken`
}

size_t FrameQueue::Size() const {
  CAutoLock lock(&lock_);
  return entries_.size();
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

HRESULT FramePacer::QueueNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  if (!IsRunning()) return E_UNEXPECTED;
  if (flushing_ || filter_->IsStopped()) return S_FALSE;
  RETURN_IF_FAILED(queue_.PushNewSegment(start, stop, rate));
  SetEvent(data_.get());
  return S_OK;
}

void FramePacer::Flush() {
  CAutoLock lock(&deliveryLock_);
  queue_.Clear();
}

DWORD FramePacer::Loop(void* self) {
  auto* pacer = static_cast<FramePacer*>(self);
  // A delivery may hand the filter's last reference over on this thread: the filter, and this
  // pacer with it, then goes when Run has returned, never under it.
  LastReleaseDeferral deferral(pacer->filter_);
  return pacer->Run();
}

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
        if (!Drain(rule) || LastReleaseDeferral::Released()) return 0;
        break;
      default:
        // A wait that fails once fails again at once: tell the graph once and end, rather than
        // spin notifying it. Queue refuses samples from now on.
        filter_->NotifyEvent(EC_STREAM_ERROR_STILLPLAYING, HResultFromLastError(), 0);
        return 1;
    }
  }
}

void FramePacer::DeliverOrDrop(IMediaSample* sample, const pacer::FrameDropRule& rule) {
  // The lateness test needs both a start time and a graph clock; without either the frame goes
  // on at once.
  bool late = false;
  REFERENCE_TIME start = 0;
  REFERENCE_TIME stop = 0;
  REFERENCE_TIME now = 0;
  if (SUCCEEDED(sample->GetTime(&start, &stop)) && SUCCEEDED(filter_->StreamTime(now))) {
    late = rule.IsTooLate(now, start);
  }
  if (late) {
    ModuleTrace().WriteLine(TraceKind::Trace, L"Sample is too late. Drop 1 frame");
  } else {
    output_->Deliver(sample);
  }
}

bool FramePacer::Drain(const pacer::FrameDropRule& rule) {
  while (!queue_.Empty()) {
    if (WaitForSingleObject(exit_.get(), 0) == WAIT_OBJECT_0) return false;
    if (LastReleaseDeferral::Released()) return false;  // the filter goes once Run has returned
    // Held over the delivery and the removal, so a flush that returns has seen the last of the
    // entries it discarded reach downstream (the marks included).
    CAutoLock lock(&deliveryLock_);
    FrameQueue::Entry head;
    if (!queue_.PeekFront(&head)) break;  // flushed meanwhile
    if (!flushing_ && output_ && output_->IsConnected() && !filter_->IsStopped()) {
      switch (head.kind) {
        case FrameQueue::Entry::Kind::kEndOfStream:
          output_->DeliverEndOfStream();
          break;
        case FrameQueue::Entry::Kind::kNewSegment:
          output_->DeliverNewSegment(head.start, head.stop, head.rate);
          break;
        case FrameQueue::Entry::Kind::kSample:
          DeliverOrDrop(head.sample.Get(), rule);
          break;
      }
    }
    queue_.PopFront();
  }
  return true;
}

#include "filters/base/testkit/recording_sink.h"

#include <algorithm>
#include <cstring>

namespace graph_testkit {

// {3C2A9B71-0E54-4F6D-8B1A-7D9E2C4F6B13}
static const CLSID kClsidRecordingSink = {0x3c2a9b71, 0x0e54, 0x4f6d, {0x8b, 0x1a, 0x7d, 0x9e, 0x2c, 0x4f, 0x6b, 0x13}};

namespace {

// The sink's own allocator: forced counts and sizes, and a type on every buffer.
class SinkAllocator final : public CMemAllocator {
 public:
  SinkAllocator(LONG count, LONG size, std::shared_ptr<CMediaType> type, bool guarded, BYTE guard, HRESULT* phr)
      : CMemAllocator(L"Sink allocator", nullptr, phr),
        count_(count),
        size_(size),
        type_(std::move(type)),
        guarded_(guarded),
        guard_(guard) {}

  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
    if (!request) return E_POINTER;
    ALLOCATOR_PROPERTIES forced = *request;
    if (count_ > 0) forced.cBuffers = count_;
    if (size_ > 0) forced.cbBuffer = std::max(size_, request->cbBuffer);
    return CMemAllocator::SetProperties(&forced, actual);
  }

  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                         DWORD flags) override {
    HRESULT hr = CMemAllocator::GetBuffer(sample, start, end, flags);
    BYTE* data = nullptr;
    if (SUCCEEDED(hr) && guarded_ && SUCCEEDED((*sample)->GetPointer(&data)) && data) {
      std::memset(data, guard_, static_cast<size_t>((*sample)->GetSize()));
    }
    if (SUCCEEDED(hr) && type_) {
      hr = (*sample)->SetMediaType(type_.get());
      if (FAILED(hr)) {
        (*sample)->Release();
        *sample = nullptr;
      }
    }
    return hr;
  }

 private:
  const LONG count_;
  const LONG size_;
  const std::shared_ptr<CMediaType> type_;
  const bool guarded_;
  const BYTE guard_;
};

}  // namespace

class SinkInputPin final : public CBaseInputPin {
 public:
  SinkInputPin(RecordingSink* sink, HRESULT* phr)
      : CBaseInputPin(L"Sink input pin", sink, &sink->lock_, phr, L"In"), sink_(sink) {}

  HRESULT CheckMediaType(const CMediaType* type) override {
    if (!type) return E_POINTER;
    if (sink_->accepted_.empty()) return S_OK;
    for (const CMediaType& accepted : sink_->accepted_) {
      if (type->MatchesPartial(&accepted)) return S_OK;
    }
    return VFW_E_TYPE_NOT_ACCEPTED;
  }

  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (static_cast<size_t>(position) >= sink_->accepted_.size()) return VFW_S_NO_MORE_ITEMS;
    return type->Set(sink_->accepted_[static_cast<size_t>(position)]);
  }

  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override {
    if (!allocator) return E_POINTER;
    {
      CAutoLock lock(m_pLock);
      if (!m_pAllocator && (sink_->allocatorCount_ > 0 || sink_->attachType_ || sink_->guarded_)) {
        HRESULT hr = S_OK;
        auto* own = new SinkAllocator(sink_->allocatorCount_, sink_->allocatorSize_, sink_->attachType_,
                                      sink_->guarded_, sink_->guard_, &hr);
        own->NonDelegatingAddRef();
        hr = own->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&m_pAllocator));
        own->NonDelegatingRelease();
        if (FAILED(hr)) return hr;
      }
    }
    return CBaseInputPin::GetAllocator(allocator);
  }

  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override {
    if (!props) return E_POINTER;
    if (!sink_->hasRequirements_) return E_NOTIMPL;
    *props = sink_->requirements_;
    return S_OK;
  }

  STDMETHODIMP Receive(IMediaSample* sample) override {
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    ReceivedSample record;
    record.threadId = GetCurrentThreadId();
    record.arrivalMs = GetTickCount64();
    record.timeResult = sample->GetTime(&record.start, &record.stop);
    record.mediaTimeResult = sample->GetMediaTime(&record.mediaStart, &record.mediaStop);
    record.sync = sample->IsSyncPoint() == S_OK;
    record.preroll = sample->IsPreroll() == S_OK;
    record.discontinuity = sample->IsDiscontinuity() == S_OK;
    record.actualLength = sample->GetActualDataLength();
    record.size = sample->GetSize();
    record.typeSpecificFlags = m_SampleProps.dwTypeSpecificFlags;
    record.sampleFlags = m_SampleProps.dwSampleFlags;
    AM_MEDIA_TYPE* type = nullptr;
    if (sample->GetMediaType(&type) == S_OK && type) {
      record.type = std::make_shared<CMediaType>(*type);
      DeleteMediaType(type);
    }
    BYTE* data = nullptr;
    if (SUCCEEDED(sample->GetPointer(&data)) && data && record.actualLength > 0) record.firstByte = data[0];
    if (data && sink_->guarded_ && record.size > 0) record.data.assign(data, data + record.size);
    {
      CAutoLock lock(&sink_->recordLock_);
      sink_->samples_.push_back(std::move(record));
    }
    SetEvent(sink_->sampleEvent_.get());
    std::function<void()> action;
    {
      CAutoLock lock(&sink_->recordLock_);
      action.swap(sink_->onReceive_);
    }
    if (action) action();
    if (sink_->blocking_) WaitForSingleObject(sink_->releaseEvent_.get(), 10000);
    ++sink_->receivesReturned_;
    return S_OK;
  }

  STDMETHODIMP EndOfStream() override {
    const HRESULT hr = CBaseInputPin::EndOfStream();
    if (hr != S_OK) return hr;
    ++sink_->endOfStreams_;
    SetEvent(sink_->eosEvent_.get());
    if (sink_->notifyComplete_) sink_->NotifyEvent(EC_COMPLETE, S_OK, 0);
    return S_OK;
  }

  STDMETHODIMP BeginFlush() override {
    ++sink_->beginFlushes_;
    SetEvent(sink_->releaseEvent_.get());  // a blocked Receive returns
    return CBaseInputPin::BeginFlush();
  }

  STDMETHODIMP EndFlush() override {
    ++sink_->endFlushes_;
    if (sink_->blocking_) ResetEvent(sink_->releaseEvent_.get());
    ResetEvent(sink_->eosEvent_.get());
    return CBaseInputPin::EndFlush();
  }

  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
    ++sink_->newSegments_;
    {
      CAutoLock lock(&sink_->recordLock_);
      sink_->newSegmentPlaces_.push_back(sink_->receivesReturned_);
    }
    return CBaseInputPin::NewSegment(start, stop, rate);
  }

 private:
  RecordingSink* const sink_;
};

RecordingSink::RecordingSink(std::vector<CMediaType> accepted, HRESULT* phr)
    : CBaseFilter(L"Recording sink", nullptr, &lock_, kClsidRecordingSink, phr),
      accepted_(std::move(accepted)),
      sampleEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      eosEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      releaseEvent_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  pin_ = std::make_unique<SinkInputPin>(this, phr);
}

RecordingSink::~RecordingSink() = default;

RecordingSink* RecordingSink::Create(std::vector<CMediaType> accepted) {
  HRESULT hr = S_OK;
  auto* sink = new RecordingSink(std::move(accepted), &hr);
  sink->NonDelegatingAddRef();
  return sink;
}

STDMETHODIMP RecordingSink::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), out);
  return CBaseFilter::NonDelegatingQueryInterface(iid, out);
}

CBasePin* RecordingSink::GetPin(int n) { return n == 0 ? pin_.get() : nullptr; }
IPin* RecordingSink::InputPin() { return pin_.get(); }
CBaseInputPin* RecordingSink::Input() { return pin_.get(); }

STDMETHODIMP RecordingSink::Stop() {
  SetEvent(releaseEvent_.get());  // a blocked Receive must not hold up the stop
  const HRESULT hr = CBaseFilter::Stop();
  ResetEvent(eosEvent_.get());
  return hr;
}

STDMETHODIMP RecordingSink::Pause() {
  if (blocking_ && IsStopped()) ResetEvent(releaseEvent_.get());  // blocks again from now on
  return CBaseFilter::Pause();
}

void RecordingSink::SetAllocator(LONG count, LONG size) {
  allocatorCount_ = count;
  allocatorSize_ = size;
}

void RecordingSink::SetRequirements(const ALLOCATOR_PROPERTIES& props) {
  requirements_ = props;
  hasRequirements_ = true;
}

void RecordingSink::SetAttachType(std::shared_ptr<CMediaType> type) { attachType_ = std::move(type); }

void RecordingSink::SetGuard(BYTE guard) {
  guarded_ = true;
  guard_ = guard;
}

void RecordingSink::SetBlocking(bool block) {
  blocking_ = block;
  if (block) {
    ResetEvent(releaseEvent_.get());
  } else {
    SetEvent(releaseEvent_.get());
  }
}

void RecordingSink::Unblock() { SetEvent(releaseEvent_.get()); }

void RecordingSink::SetOnReceive(std::function<void()> action) {
  CAutoLock lock(&recordLock_);
  onReceive_ = std::move(action);
}

std::vector<ReceivedSample> RecordingSink::Samples() const {
  CAutoLock lock(&recordLock_);
  return samples_;
}

std::vector<size_t> RecordingSink::NewSegmentPlaces() const {
  CAutoLock lock(&recordLock_);
  return newSegmentPlaces_;
}

size_t RecordingSink::SampleCount() const {
  CAutoLock lock(&recordLock_);
  return samples_.size();
}

bool RecordingSink::WaitForSamples(size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (SampleCount() < count) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(sampleEvent_.get(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)));
  }
  return true;
}

bool RecordingSink::WaitForEndOfStream(DWORD timeoutMs) const {
  return WaitForSingleObject(eosEvent_.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool RecordingSink::ReadOnlyAllocator() const { return pin_->IsReadOnly(); }

void RecordingSink::ClearRecords() {
  CAutoLock lock(&recordLock_);
  samples_.clear();
}

}  // namespace graph_testkit

// Test filters of the platform doubles' tests: a sink that keeps a copy of each sample's data,
// and samples of the test's own (from a memory allocator) to hand to an input pin directly.
#pragma once

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"

namespace platform_testing {

class DataSink;

class DataSinkPin final : public CBaseInputPin {
 public:
  DataSinkPin(DataSink* filter, CCritSec* lock, HRESULT* phr);
  HRESULT CheckMediaType(const CMediaType* type) override { return type->IsValid() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED; }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override {
    ++endOfStreams;
    return S_OK;
  }
  std::atomic<int> endOfStreams{0};

 private:
  DataSink* const owner_;
};

// Accepts any type; keeps the data of every sample it receives.
class DataSink final : public CBaseFilter {
 public:
  static DataSink* Create() {
    HRESULT hr = S_OK;
    auto* sink = new (std::nothrow) DataSink(&hr);
    if (sink) sink->NonDelegatingAddRef();
    return sink;
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }
  IPin* InputPin() { return &pin_; }
  const CMediaType& Type() const { return pin_.CurrentMediaType(); }
  int EndOfStreamCount() const { return pin_.endOfStreams.load(); }

  std::vector<std::vector<BYTE>> Samples() {
    CAutoLock lock(&dataLock_);
    return samples_;
  }
  void Keep(IMediaSample* sample) {
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    CAutoLock lock(&dataLock_);
    samples_.emplace_back(data, data + sample->GetActualDataLength());
  }

 private:
  explicit DataSink(HRESULT* phr) : CBaseFilter(L"Data sink", nullptr, &lock_, GUID_NULL, phr), pin_(this, &lock_, phr) {}
  CCritSec lock_;
  CCritSec dataLock_;
  DataSinkPin pin_;
  std::vector<std::vector<BYTE>> samples_;
};

inline DataSinkPin::DataSinkPin(DataSink* filter, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin(L"Data sink pin", filter, lock, phr, L"In"), owner_(filter) {}

inline STDMETHODIMP DataSinkPin::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  owner_->Keep(sample);
  return S_OK;
}

// Samples with chosen bytes, for IMemInputPin::Receive of a connected pin.
class SampleMaker {
 public:
  SampleMaker() {
    HRESULT hr = S_OK;
    allocator_ = new CMemAllocator(L"Test samples", nullptr, &hr);
    allocator_->NonDelegatingAddRef();
    ALLOCATOR_PROPERTIES wanted{4, 4096, 1, 0}, actual{};
    allocator_->SetProperties(&wanted, &actual);
    allocator_->Commit();
  }
  ~SampleMaker() {
    allocator_->Decommit();
    allocator_->Release();
  }
  // One sample holding `bytes`, times [start, start + 1 ms); null on failure.
  IMediaSample* Make(const std::vector<BYTE>& bytes, REFERENCE_TIME start = 0) {
    IMediaSample* sample = nullptr;
    if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, 0))) return nullptr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    for (size_t i = 0; i < bytes.size(); ++i) data[i] = bytes[i];
    sample->SetActualDataLength(static_cast<LONG>(bytes.size()));
    REFERENCE_TIME stop = start + 10000;
    sample->SetTime(&start, &stop);
    return sample;
  }

 private:
  CMemAllocator* allocator_ = nullptr;
};

}  // namespace platform_testing

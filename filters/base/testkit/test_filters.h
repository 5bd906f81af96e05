// Small filters on the transform bases for the tests: an identity transform (copies each sample
// into its output buffer) and an in-place filter that adds one to every byte. Both can be told
// to skip samples (Transform answers S_FALSE) or to block in Transform until released.
#pragma once

#include <atomic>
#include <memory>

#include "common/handles.h"
#include "filters/base/transform.h"
#include "filters/base/transinplace.h"

namespace graph_testkit {

// What both test filters share: which samples to skip and a gate in Transform.
struct TransformControl {
  std::atomic<int> skipFirstByte{-1};  // samples whose first byte is this are skipped
  std::atomic<int> transforms{0};
  std::atomic<int> startStreaming{0};
  std::atomic<int> stopStreaming{0};
  std::atomic<bool> gate{false};  // Transform waits (at most 10 s) for `release`
  UniqueHandle entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // auto-reset
  UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};   // manual-reset

  HRESULT Pass(IMediaSample* sample);  // S_FALSE for a sample to skip; waits at the gate
};

// A custom input pin that counts its Receive calls (a derived class supplying its own pin).
class CountingInputPin : public CTransformInputPin {
 public:
  using CTransformInputPin::CTransformInputPin;
  STDMETHODIMP Receive(IMediaSample* sample) override {
    ++received;
    return CTransformInputPin::Receive(sample);
  }
  std::atomic<int> received{0};
};

class IdentityTransform : public CTransformFilter {
 public:
  static IdentityTransform* Create(bool customInputPin = false);  // one reference for the caller

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;

  IPin* Input() { return GetPin(0); }
  IPin* Output() { return GetPin(1); }
  TransformControl control;

 protected:
  CTransformInputPin* CreateInputPin(HRESULT* phr) override;

 private:
  IdentityTransform(bool customInputPin, HRESULT* phr);
  const bool customInputPin_;
};

class IncrementInPlace : public CTransInPlaceFilter {
 public:
  static IncrementInPlace* Create();  // one reference for the caller

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT Transform(IMediaSample* sample) override;
  HRESULT Receive(IMediaSample* sample) override;
  HRESULT StartStreaming() override;
  HRESULT StopStreaming() override;

  IPin* Input() { return GetPin(0); }
  IPin* Output() { return GetPin(1); }
  TransformControl control;
  std::atomic<int> copies{0};  // Transform saw another sample than Receive got

 private:
  explicit IncrementInPlace(HRESULT* phr);
  IMediaSample* received_ = nullptr;  // the sample of the Receive under way (streaming thread)
};

}  // namespace graph_testkit

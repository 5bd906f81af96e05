// A media sample for fuzz cases, as a hostile upstream filter could hand one over: its buffer
// ends exactly at a no-access page, its actual length may lie about the buffer, and it may
// carry a type (AM_SAMPLE_TYPECHANGED) whose format block ends at a no-access page too. Both
// IMediaSample2 and IMediaSample give the same record; the properties record points at the
// sample's own type, so a filter that reads it reads the guarded block itself.
#pragma once

#include "common/dshow.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/testing/fuzz_driver.h"

namespace graph_testkit {

class GuardedSample final : public IMediaSample2 {
 public:
  GuardedSample() = default;
  GuardedSample(const GuardedSample&) = delete;
  GuardedSample& operator=(const GuardedSample&) = delete;

  // The buffer: a copy of `size` bytes ending at a no-access page; the actual length `actual`
  // (which may be negative or exceed the buffer); times 0 to 1 when `timed`.
  void SetPayload(const std::uint8_t* data, std::size_t size, LONG actual, bool timed = true);
  // The carried type (a copy; its format block ends at a no-access page), or none.
  void SetCarriedType(const AM_MEDIA_TYPE* type);

  // Calls made by the filter on the sample after it was handed back, as a whole: the sample
  // lives on the test's stack, so its references must be balanced when the call returns.
  LONG References() const { return references_; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references_); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references_); }

  // IMediaSample
  STDMETHODIMP GetPointer(BYTE** buffer) override;
  STDMETHODIMP_(LONG) GetSize() override { return static_cast<LONG>(size_); }
  STDMETHODIMP GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
  STDMETHODIMP SetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) override;
  STDMETHODIMP IsSyncPoint() override { return S_OK; }
  STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
  STDMETHODIMP_(LONG) GetActualDataLength() override { return actual_; }
  STDMETHODIMP SetActualDataLength(LONG length) override;
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override;
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
  STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }

  // IMediaSample2
  STDMETHODIMP GetProperties(DWORD bytes, BYTE* properties) override;
  STDMETHODIMP SetProperties(DWORD bytes, const BYTE* properties) override;

 private:
  std::atomic<LONG> references_{0};
  fuzzing::GuardedBuffer payload_;
  fuzzing::GuardedBuffer format_;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  LONG actual_ = 0;
  bool timed_ = true;
  bool hasType_ = false;
  AM_MEDIA_TYPE type_{};  // pbFormat points into format_
};

// A payload as a fuzz input: how the actual length is told (0 the payload's size, 1 the value
// modulo the payload's size plus one, 2 the value as it is, lying about the buffer), a 32-bit
// value, then the payload itself, which runs to the end of the input.
constexpr std::size_t kFuzzPayloadPrefix = 5;
struct FuzzPayload {
  const std::uint8_t* data;
  std::size_t size;
  LONG actual;
};
fuzzing::Bytes EncodeFuzzPayload(const fuzzing::Bytes& payload);
// False when the input is shorter than the prefix.
bool DecodeFuzzPayload(const std::uint8_t* data, std::size_t size, FuzzPayload* payload);

}  // namespace graph_testkit

// The VBI codec stand-in (found by friendly name in the VBI codec category): two raw VBI inputs,
// one output of Line 21 byte pairs. The simulated card carries line 21's two caption bytes at
// the start of each raw VBI sample; the codec passes them on as one byte-pair sample with the
// input sample's times (shorter samples carry no caption and are consumed). Either input may be
// connected, or both; end of stream goes downstream once every connected input has ended.
#include <new>

#include "filters/base/filter.h"
#include "filters/base/pin.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_filters.h"

namespace {

using doubles::Journal;

class VbiCodec;

class VbiInput final : public CBaseInputPin {
 public:
  VbiInput(VbiCodec* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name);
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type->Type() == doubles::kMediaTypeVbi && *type->Subtype() == doubles::kSubtypeRaw8
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
  }
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  HRESULT Active() override {
    ended_ = false;
    return CBaseInputPin::Active();
  }
  bool Ended() const { return ended_; }

 private:
  VbiCodec* const owner_;
  bool ended_ = false;  // the codec's streaming lock
};

class PairOutput final : public CBaseOutputPin {
 public:
  PairOutput(VbiCodec* filter, CCritSec* lock, HRESULT* phr);
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->SetType(&MEDIATYPE_AUXLine21Data);
    type->SetSubtype(&MEDIASUBTYPE_Line21_BytePair);
    type->SetFormatType(&FORMAT_None);
    type->SetSampleSize(2);
    return S_OK;
  }
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type->Type() == MEDIATYPE_AUXLine21Data && *type->Subtype() == MEDIASUBTYPE_Line21_BytePair
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES wanted = *request, actual{};
    if (wanted.cBuffers < 8) wanted.cBuffers = 8;
    if (wanted.cbBuffer < 2) wanted.cbBuffer = 2;
    const HRESULT hr = allocator->SetProperties(&wanted, &actual);
    return FAILED(hr) ? hr : (actual.cbBuffer < 2 ? E_FAIL : S_OK);
  }
};

class VbiCodec final : public CBaseFilter {
 public:
  VbiCodec(IUnknown* outer, HRESULT* phr)
      : CBaseFilter(L"Sim VBI codec", outer, &lock_, doubles::kClsidSimVbiCodec, phr),
        input1_(this, &lock_, phr, L"VBI Input 1"),
        input2_(this, &lock_, phr, L"VBI Input 2"),
        output_(this, &lock_, phr) {}

  int GetPinCount() override { return 3; }
  CBasePin* GetPin(int n) override {
    switch (n) {
      case 0: return &input1_;
      case 1: return &input2_;
      case 2: return &output_;
      default: return nullptr;
    }
  }

  HRESULT Received(IMediaSample* sample) {
    Journal& journal = Journal::Instance();
    CAutoLock lock(&streamLock_);
    journal.SetValue(doubles::kValueVbiSamples, journal.Value(doubles::kValueVbiSamples) + 1);
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data))) return E_POINTER;
    if (sample->GetActualDataLength() < 2 || !output_.IsConnected()) return S_OK;
    IMediaSample* out = nullptr;
    HRESULT hr = output_.GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* pair = nullptr;
    out->GetPointer(&pair);
    pair[0] = data[0];
    pair[1] = data[1];
    out->SetActualDataLength(2);
    REFERENCE_TIME start = 0, stop = 0;
    if (SUCCEEDED(sample->GetTime(&start, &stop))) out->SetTime(&start, &stop);
    out->SetSyncPoint(TRUE);
    hr = output_.Deliver(out);
    out->Release();
    return hr;
  }

  // With streamLock_ held by the caller.
  HRESULT EndedOne() {
    for (VbiInput* input : {&input1_, &input2_}) {
      if (input->IsConnected() && !input->Ended()) return S_OK;
    }
    return output_.IsConnected() ? output_.DeliverEndOfStream() : S_OK;
  }
  HRESULT BeginFlush() { return output_.IsConnected() ? output_.DeliverBeginFlush() : S_OK; }
  HRESULT EndFlush() { return output_.IsConnected() ? output_.DeliverEndFlush() : S_OK; }
  CCritSec* StreamLock() { return &streamLock_; }

 private:
  CCritSec lock_;
  CCritSec streamLock_;  // deliveries of both inputs; after lock_ when both are taken
  VbiInput input1_;
  VbiInput input2_;
  PairOutput output_;
};

PairOutput::PairOutput(VbiCodec* filter, CCritSec* lock, HRESULT* phr)
    : CBaseOutputPin(L"Sim VBI codec output", filter, lock, phr, L"Line21 Output") {}

VbiInput::VbiInput(VbiCodec* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name)
    : CBaseInputPin(L"Sim VBI codec input", filter, lock, phr, name), owner_(filter) {}

STDMETHODIMP VbiInput::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return owner_->Received(sample);
}

STDMETHODIMP VbiInput::EndOfStream() {
  const HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  CAutoLock lock(owner_->StreamLock());
  if (ended_) return S_OK;
  ended_ = true;
  return owner_->EndedOne();
}

STDMETHODIMP VbiInput::BeginFlush() {
  const HRESULT hr = CBaseInputPin::BeginFlush();
  if (FAILED(hr)) return hr;
  return owner_->BeginFlush();
}

STDMETHODIMP VbiInput::EndFlush() {
  {
    CAutoLock lock(owner_->StreamLock());
    ended_ = false;
  }
  const HRESULT hr = owner_->EndFlush();
  const HRESULT base = CBaseInputPin::EndFlush();
  return FAILED(hr) ? hr : base;
}

}  // namespace

CUnknown* CreateSimVbiCodec(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) VbiCodec(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

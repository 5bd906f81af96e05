#include "filters/base/testkit/test_filters.h"

#include <algorithm>
#include <cstring>

#include "filters/include/field_video.h"

namespace graph_testkit {

// {6E1D2B44-9A3C-4F51-8D27-3B5C9E0A7F12}
static const CLSID kClsidIdentityTransform = {0x6e1d2b44, 0x9a3c, 0x4f51, {0x8d, 0x27, 0x3b, 0x5c, 0x9e, 0x0a, 0x7f, 0x12}};
// {A4F07C19-2E6B-4D83-9C15-7E2A4B8D0C36}
static const CLSID kClsidIncrementInPlace = {0xa4f07c19, 0x2e6b, 0x4d83, {0x9c, 0x15, 0x7e, 0x2a, 0x4b, 0x8d, 0x0c, 0x36}};

HRESULT TransformControl::Pass(IMediaSample* sample) {
  ++transforms;
  if (gate) {
    SetEvent(entered.get());
    WaitForSingleObject(release.get(), 10000);
  }
  BYTE* data = nullptr;
  if (skipFirstByte >= 0 && SUCCEEDED(sample->GetPointer(&data)) && data && sample->GetActualDataLength() > 0 &&
      data[0] == skipFirstByte) {
    return S_FALSE;
  }
  return S_OK;
}

// --- IdentityTransform -------------------------------------------------------------------------

IdentityTransform::IdentityTransform(bool customInputPin, HRESULT* phr)
    : CTransformFilter(L"Identity transform", nullptr, kClsidIdentityTransform, phr), customInputPin_(customInputPin) {}

IdentityTransform* IdentityTransform::Create(bool customInputPin) {
  HRESULT hr = S_OK;
  auto* filter = new IdentityTransform(customInputPin, &hr);
  filter->NonDelegatingAddRef();
  return filter;
}

CTransformInputPin* IdentityTransform::CreateInputPin(HRESULT* phr) {
  if (!customInputPin_) return CTransformFilter::CreateInputPin(phr);
  return new CountingInputPin(L"Counting input pin", this, phr, L"Counting In");
}

HRESULT IdentityTransform::CheckInputType(const CMediaType* in) {
  return *in->Type() == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT IdentityTransform::CheckTransform(const CMediaType* in, const CMediaType* out) {
  return *in->Type() == *out->Type() && *in->Subtype() == *out->Subtype() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT IdentityTransform::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  return type->Set(m_pInput->CurrentMediaType());
}

HRESULT IdentityTransform::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES wanted = *request;
  wanted.cBuffers = std::max<LONG>(wanted.cBuffers, 1);
  wanted.cbBuffer = std::max<LONG>(wanted.cbBuffer, static_cast<LONG>(m_pInput->CurrentMediaType().GetSampleSize()));
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = allocator->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer >= wanted.cbBuffer ? S_OK : E_FAIL;
}

HRESULT IdentityTransform::Transform(IMediaSample* in, IMediaSample* out) {
  const HRESULT pass = control.Pass(in);
  if (pass != S_OK) return pass;
  BYTE* from = nullptr;
  BYTE* to = nullptr;
  HRESULT hr = in->GetPointer(&from);
  if (SUCCEEDED(hr)) hr = out->GetPointer(&to);
  const LONG length = in->GetActualDataLength();
  if (SUCCEEDED(hr)) hr = out->SetActualDataLength(length);
  if (FAILED(hr)) return hr;
  std::memcpy(to, from, static_cast<size_t>(length));
  // A new input type becomes the output's (the identity keeps the type).
  AM_MEDIA_TYPE* type = nullptr;
  if (in->GetMediaType(&type) == S_OK && type) {
    hr = out->SetMediaType(type);
    DeleteMediaType(type);
  }
  return hr;
}

HRESULT IdentityTransform::StartStreaming() {
  ++control.startStreaming;
  return S_OK;
}

HRESULT IdentityTransform::StopStreaming() {
  ++control.stopStreaming;
  return S_OK;
}

// --- IncrementInPlace --------------------------------------------------------------------------

IncrementInPlace::IncrementInPlace(HRESULT* phr)
    : CTransInPlaceFilter(L"Increment in place", nullptr, kClsidIncrementInPlace, phr, true) {}

IncrementInPlace* IncrementInPlace::Create() {
  HRESULT hr = S_OK;
  auto* filter = new IncrementInPlace(&hr);
  filter->NonDelegatingAddRef();
  return filter;
}

HRESULT IncrementInPlace::CheckInputType(const CMediaType* in) {
  return *in->Type() == MEDIATYPE_Video || *in->Type() == MEDIATYPE_FieldVideo ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT IncrementInPlace::Receive(IMediaSample* sample) {
  received_ = sample;
  const HRESULT hr = CTransInPlaceFilter::Receive(sample);
  received_ = nullptr;
  return hr;
}

HRESULT IncrementInPlace::Transform(IMediaSample* sample) {
  const HRESULT pass = control.Pass(sample);
  if (pass != S_OK) return pass;
  if (sample != received_) ++copies;
  BYTE* data = nullptr;
  const HRESULT hr = sample->GetPointer(&data);
  if (FAILED(hr)) return hr;
  const LONG length = sample->GetActualDataLength();
  for (LONG i = 0; i < length; ++i) ++data[i];
  return S_OK;
}

HRESULT IncrementInPlace::StartStreaming() {
  ++control.startStreaming;
  return S_OK;
}

HRESULT IncrementInPlace::StopStreaming() {
  ++control.stopStreaming;
  return S_OK;
}

}  // namespace graph_testkit

#include "filters/base/testkit/guarded_sample.h"

#include <cstring>

#include "filters/base/mediatype.h"

namespace graph_testkit {

void GuardedSample::SetPayload(const std::uint8_t* data, std::size_t size, LONG actual, bool timed) {
  data_ = payload_.Place(data, size);
  size_ = size;
  actual_ = actual;
  timed_ = timed;
}

void GuardedSample::SetCarriedType(const AM_MEDIA_TYPE* type) {
  hasType_ = type != nullptr;
  if (!type) return;
  type_ = *type;
  type_.pUnk = nullptr;
  if (type->pbFormat) type_.pbFormat = format_.Place(type->pbFormat, type->cbFormat);
}

STDMETHODIMP GuardedSample::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMediaSample || iid == IID_IMediaSample2) {
    *out = static_cast<IMediaSample2*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP GuardedSample::GetPointer(BYTE** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = data_;
  return S_OK;
}

STDMETHODIMP GuardedSample::GetTime(REFERENCE_TIME* start, REFERENCE_TIME* stop) {
  if (!timed_) return VFW_E_SAMPLE_TIME_NOT_SET;
  if (start) *start = 0;
  if (stop) *stop = 1;
  return S_OK;
}

STDMETHODIMP GuardedSample::SetTime(REFERENCE_TIME*, REFERENCE_TIME*) { return S_OK; }

STDMETHODIMP GuardedSample::SetActualDataLength(LONG length) {
  if (length < 0 || static_cast<std::size_t>(length) > size_) return VFW_E_BUFFER_OVERFLOW;
  actual_ = length;
  return S_OK;
}

STDMETHODIMP GuardedSample::GetMediaType(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  *type = nullptr;
  if (!hasType_) return S_FALSE;
  *type = CreateMediaType(&type_);
  return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP GuardedSample::SetMediaType(AM_MEDIA_TYPE*) { return E_NOTIMPL; }

STDMETHODIMP GuardedSample::GetProperties(DWORD bytes, BYTE* properties) {
  if (!properties) return E_POINTER;
  AM_SAMPLE2_PROPERTIES record{};
  record.cbData = sizeof(record);
  record.dwSampleFlags = AM_SAMPLE_SPLICEPOINT | (timed_ ? AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID : 0) |
                         (hasType_ ? AM_SAMPLE_TYPECHANGED : 0);
  record.lActual = actual_;
  record.tStart = 0;
  record.tStop = 1;
  record.dwStreamId = AM_STREAM_MEDIA;
  record.pMediaType = hasType_ ? &type_ : nullptr;
  record.pbBuffer = data_;
  record.cbBuffer = static_cast<LONG>(size_);
  std::memcpy(properties, &record, std::min<std::size_t>(bytes, sizeof(record)));
  return S_OK;
}

STDMETHODIMP GuardedSample::SetProperties(DWORD, const BYTE*) { return E_NOTIMPL; }

fuzzing::Bytes EncodeFuzzPayload(const fuzzing::Bytes& payload) {
  fuzzing::Bytes input(kFuzzPayloadPrefix + payload.size(), 0);
  if (!payload.empty()) std::memcpy(input.data() + kFuzzPayloadPrefix, payload.data(), payload.size());
  return input;
}

bool DecodeFuzzPayload(const std::uint8_t* data, std::size_t size, FuzzPayload* payload) {
  if (size < kFuzzPayloadPrefix) return false;
  payload->data = data + kFuzzPayloadPrefix;
  payload->size = size - kFuzzPayloadPrefix;
  const std::uint32_t value = fuzzing::ReadLe(data + 1, 4);
  payload->actual = static_cast<LONG>(payload->size);
  if (data[0] % 3 == 1) payload->actual = static_cast<LONG>(value % (payload->size + 1));
  if (data[0] % 3 == 2) payload->actual = static_cast<LONG>(value);
  return true;
}

}  // namespace graph_testkit

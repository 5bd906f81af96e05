#include "filters/base/testkit/push_source.h"

#include <ks.h>
#include <ksmedia.h>
#include <process.h>

#include <algorithm>
#include <cstring>

#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"

namespace graph_testkit {

// {8F0D5E2A-6C1B-4E37-9A4D-2B7C1E5F3A90}
static const CLSID kClsidTestPushSource = {0x8f0d5e2a, 0x6c1b, 0x4e37, {0x9a, 0x4d, 0x2b, 0x7c, 0x1e, 0x5f, 0x3a, 0x90}};

CMediaType MakeVideoType(LONG width, LONG height, const GUID& subtype, const GUID& formatType,
                         REFERENCE_TIME avgTimePerFrame) {
  CMediaType type(&MEDIATYPE_Video);
  type.SetSubtype(&subtype);
  type.SetFormatType(&formatType);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 16;
  header.biCompression = subtype.Data1;
  header.biSizeImage = GetBitmapSize(&header);
  const RECT rect{0, 0, width, height < 0 ? -height : height};
  if (formatType == FORMAT_VideoInfo2) {
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    vih->rcSource = rect;
    vih->rcTarget = rect;
    vih->AvgTimePerFrame = avgTimePerFrame;
    vih->dwPictAspectRatioX = 4;
    vih->dwPictAspectRatioY = 3;
    vih->bmiHeader = header;
  } else {
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    vih->rcSource = rect;
    vih->rcTarget = rect;
    vih->AvgTimePerFrame = avgTimePerFrame;
    vih->bmiHeader = header;
  }
  type.SetSampleSize(header.biSizeImage);
  type.SetTemporalCompression(FALSE);
  return type;
}

CMediaType MakeFieldVideoType(LONG width, LONG height, bool pal) {
  CMediaType type(&MEDIATYPE_FieldVideo);
  type.SetSubtype(&MEDIASUBTYPE_FieldPlanar420);
  type.SetFormatType(pal ? &FORMAT_FieldVideoPal : &FORMAT_FieldVideoNtsc);
  auto* format = reinterpret_cast<field_video::FieldVideoFormat*>(type.AllocFormatBuffer(sizeof(field_video::FieldVideoFormat)));
  format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format->bmiHeader.biWidth = width;
  format->bmiHeader.biHeight = height;
  format->bmiHeader.biPlanes = 1;
  format->bmiHeader.biBitCount = 12;
  const field_video::PlaneLayout layout = field_video::MakePlaneLayout(width, height);
  format->bmiHeader.biSizeImage = layout.totalBytes;
  type.SetSampleSize(layout.totalBytes);
  type.SetTemporalCompression(FALSE);
  return type;
}

CMediaType MakeVbiType() {
  CMediaType type(&KSDATAFORMAT_TYPE_VBI);
  type.SetSubtype(&KSDATAFORMAT_SUBTYPE_RAW8);
  type.SetFormatType(&FORMAT_None);
  type.SetSampleSize(160);
  return type;
}

class TestSourcePin final : public CBaseOutputPin {
 public:
  TestSourcePin(TestPushSource* filter, HRESULT* phr)
      : CBaseOutputPin(L"Test source pin", filter, &filter->lock_, phr, L"Out"), source_(filter) {}

  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (static_cast<size_t>(position) >= source_->types_.size()) return VFW_S_NO_MORE_ITEMS;
    return type->Set(source_->types_[static_cast<size_t>(position)]);
  }

  HRESULT CheckMediaType(const CMediaType* type) override {
    if (!type) return E_POINTER;
    for (const CMediaType& offered : source_->types_) {
      if (*offered.Type() == *type->Type() && *offered.Subtype() == *type->Subtype() &&
          *offered.FormatType() == *type->FormatType()) {
        return S_OK;
      }
    }
    return VFW_E_TYPE_NOT_ACCEPTED;
  }

  HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) override {
    ALLOCATOR_PROPERTIES required{};
    if (pin && FAILED(pin->GetAllocatorRequirements(&required))) required = ALLOCATOR_PROPERTIES{};
    source_->peerRequirements_ = required;
    source_->usedPeerAllocator_ = true;  // InitAllocator says otherwise
    HRESULT hr = CBaseOutputPin::DecideAllocator(pin, allocator);
    if (SUCCEEDED(hr) && source_->readOnly_) {
      hr = pin->NotifyAllocator(*allocator, TRUE);
      if (FAILED(hr)) {
        (*allocator)->Release();
        *allocator = nullptr;
      }
    }
    return hr;
  }

  HRESULT InitAllocator(IMemAllocator** allocator) override {
    source_->usedPeerAllocator_ = false;
    return CBaseOutputPin::InitAllocator(allocator);
  }

  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    if (!allocator || !request) return E_POINTER;
    LONG size = source_->requestSize_;
    if (size <= 0) {
      size = static_cast<LONG>(m_mt.GetSampleSize());
      if (const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_mt)) {
        size = std::max<LONG>(size, static_cast<LONG>(GetBitmapSize(header)));
      }
    }
    ALLOCATOR_PROPERTIES wanted = *request;
    wanted.cBuffers = std::max<LONG>({request->cBuffers, source_->requestCount_, 1});
    wanted.cbBuffer = std::max<LONG>({request->cbBuffer, size, 1});
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(&wanted, &actual);
    if (FAILED(hr)) return hr;
    source_->granted_ = actual;
    return actual.cBuffers >= wanted.cBuffers && actual.cbBuffer >= wanted.cbBuffer ? S_OK : E_FAIL;
  }

 private:
  TestPushSource* const source_;
};

TestPushSource::TestPushSource(std::vector<CMediaType> types, HRESULT* phr)
    : CBaseFilter(L"Test push source", nullptr, &lock_, kClsidTestPushSource, phr),
      types_(std::move(types)) {
  if (types_.empty()) types_.push_back(MakeVideoType(720, 480));
  pin_ = std::make_unique<TestSourcePin>(this, phr);
}

TestPushSource::~TestPushSource() {
  if (thread_) {
    abort_ = true;
    WaitForSingleObject(thread_.get(), 10000);
  }
}

TestPushSource* TestPushSource::Create(std::vector<CMediaType> types) {
  HRESULT hr = S_OK;
  auto* source = new TestPushSource(std::move(types), &hr);
  source->NonDelegatingAddRef();
  return source;
}

CBasePin* TestPushSource::GetPin(int n) { return n == 0 ? pin_.get() : nullptr; }

IPin* TestPushSource::OutputPin() { return pin_.get(); }

CBaseOutputPin* TestPushSource::Output() { return pin_.get(); }

STDMETHODIMP TestPushSource::GetState(DWORD timeoutMs, FILTER_STATE* state) {
  const HRESULT hr = CBaseFilter::GetState(timeoutMs, state);
  if (FAILED(hr)) return hr;
  return live_ && *state == State_Paused ? VFW_S_CANT_CUE : hr;
}

STDMETHODIMP TestPushSource::Stop() { return CBaseFilter::Stop(); }

HRESULT TestPushSource::Push(const SamplePlan& plan) {
  IMediaSample* sample = nullptr;
  HRESULT hr = pin_->GetDeliveryBuffer(&sample, nullptr, nullptr, plan.bufferFlags);
  if (FAILED(hr)) return hr;
  if (plan.start) {
    REFERENCE_TIME start = *plan.start;
    REFERENCE_TIME stop = plan.stop.value_or(0);
    sample->SetTime(&start, plan.stop ? &stop : nullptr);
  } else {
    sample->SetTime(nullptr, nullptr);
  }
  if (plan.mediaStart) {
    LONGLONG start = *plan.mediaStart;
    LONGLONG stop = plan.mediaStop.value_or(start + 1);
    sample->SetMediaTime(&start, &stop);
  }
  sample->SetSyncPoint(plan.sync);
  sample->SetPreroll(plan.preroll);
  sample->SetDiscontinuity(plan.discontinuity);
  const LONG length = plan.actualLength < 0 ? sample->GetSize() : plan.actualLength;
  hr = sample->SetActualDataLength(length);
  BYTE* data = nullptr;
  if (SUCCEEDED(hr) && SUCCEEDED(sample->GetPointer(&data)) && data && length > 0) {
    std::memset(data, plan.fill, static_cast<size_t>(length));
  }
  if (SUCCEEDED(hr) && (plan.typeSpecificFlags || plan.attachType)) {
    IMediaSample2* sample2 = nullptr;
    hr = sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2));
    if (SUCCEEDED(hr)) {
      AM_SAMPLE2_PROPERTIES props{};
      hr = sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
      if (SUCCEEDED(hr)) {
        props.dwTypeSpecificFlags = plan.typeSpecificFlags;
        if (plan.attachType) {
          props.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
          props.pMediaType = plan.attachType.get();
        }
        hr = sample2->SetProperties(sizeof(props), reinterpret_cast<const BYTE*>(&props));
      }
      sample2->Release();
    }
  }
  if (SUCCEEDED(hr)) hr = pin_->Deliver(sample);
  sample->Release();
  return hr;
}

HRESULT TestPushSource::PushEndOfStream() { return pin_->DeliverEndOfStream(); }
HRESULT TestPushSource::PushBeginFlush() { return pin_->DeliverBeginFlush(); }
HRESULT TestPushSource::PushEndFlush() { return pin_->DeliverEndFlush(); }
HRESULT TestPushSource::PushNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  return pin_->DeliverNewSegment(start, stop, rate);
}

HRESULT TestPushSource::StartPushing(std::vector<SamplePlan> samples, bool endOfStream) {
  if (thread_) {
    if (WaitForSingleObject(thread_.get(), 0) != WAIT_OBJECT_0) return VFW_E_WRONG_STATE;
    thread_.reset();
  }
  toPush_ = std::move(samples);
  pushEndOfStream_ = endOfStream;
  pushResults_.clear();
  abort_ = false;
  thread_.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &PushEntry, this, 0, nullptr)));
  return thread_ ? S_OK : E_FAIL;
}

bool TestPushSource::WaitPushed(DWORD timeoutMs) {
  return !thread_ || WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

unsigned __stdcall TestPushSource::PushEntry(void* self) {
  auto* source = static_cast<TestPushSource*>(self);
  source->pushThreadId_ = GetCurrentThreadId();
  for (int i = 0; i < 1000 && source->IsStopped() && !source->abort_; ++i) Sleep(10);
  for (const SamplePlan& plan : source->toPush_) {
    if (source->abort_) break;
    source->pushResults_.push_back(source->Push(plan));
  }
  if (source->pushEndOfStream_ && !source->abort_) source->PushEndOfStream();
  return 0;
}

}  // namespace graph_testkit

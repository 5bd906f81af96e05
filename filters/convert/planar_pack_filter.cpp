#include "filters/convert/planar_pack_filter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "common/hresult.h"

#include "filters/convert/planar_kernels.h"
#include "filters/include/field_video.h"

namespace convert {

CPlanerConvertFilter::CPlanerConvertFilter(IUnknown* outer, HRESULT* phr)
    : CTransformFilter(L"CPlanerConvertFilter", outer, CLSID_PlanarPack, phr) {}

CUnknown* CPlanerConvertFilter::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) CPlanerConvertFilter(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

STDMETHODIMP CPlanerConvertFilter::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPlanarFieldOrder) return GetInterface(static_cast<IPlanarFieldOrder*>(this), out);
  if (iid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), out);
  return CTransformFilter::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CPlanerConvertFilter::SetFieldOrder(LONG order) {
  CAutoLock lock(&orderLock_);
  fieldOrder_ = order;
  return S_OK;
}

STDMETHODIMP CPlanerConvertFilter::GetFieldOrder(LONG* order) {
  if (!order) return E_POINTER;
  CAutoLock lock(&orderLock_);
  *order = fieldOrder_;
  return S_OK;
}

STDMETHODIMP CPlanerConvertFilter::GetPages(CAUUID* pages) { return GetSinglePage(CLSID_PlanarFieldOrderPage, pages); }

HRESULT CPlanerConvertFilter::CheckInputType(const CMediaType* in) {
  OutputDebugStringW(L"CPlanerConvertFilter::CheckInputType\n");
  if (!in) return E_POINTER;
  if (*in->Type() != MEDIATYPE_FieldVideo || *in->Subtype() != MEDIASUBTYPE_FieldPlanar420) return E_INVALIDARG;
  const bool pal = *in->FormatType() == FORMAT_FieldVideoPal;
  if (!pal && *in->FormatType() != FORMAT_FieldVideoNtsc) return E_INVALIDARG;
  if (!in->Format() || in->FormatLength() != sizeof(field_video::FieldVideoFormat)) return E_INVALIDARG;
  const auto* format = reinterpret_cast<const field_video::FieldVideoFormat*>(in->Format());
  const LONG width = format->bmiHeader.biWidth;
  const LONG height = format->bmiHeader.biHeight;
  // Only 352 (in 384-sample rows) and 720 have a row layout the weave knows; any other width
  // would be converted 720 samples wide into narrower rows.
  if ((width != 352 && width != 720) || height <= 0) return E_INVALIDARG;
  palFormat_ = pal ? 1 : 0;
  frameWidth_ = width == 352 ? 384 : width;
  frameHeight_ = height;
  return S_OK;
}

HRESULT CPlanerConvertFilter::CheckTransform(const CMediaType*, const CMediaType* out) {
  if (!out) return E_POINTER;
  if (*out->Type() != MEDIATYPE_Video || *out->Subtype() != MEDIASUBTYPE_YUY2) return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(out);
  if (!header) return VFW_E_TYPE_NOT_ACCEPTED;
  if (header->biWidth < frameWidth_ || Magnitude(header->biHeight) != frameHeight_) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CPlanerConvertFilter::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (!type) return E_POINTER;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(
      SetYuy2VideoType(type, frameWidth_, frameHeight_, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER)));
  if (!vih) return E_OUTOFMEMORY;
  vih->AvgTimePerFrame = palFormat_ ? field_video::kFrameTimePal : field_video::kFrameTimeNtsc;
  vih->dwBitRate = static_cast<DWORD>(
      MulDiv(static_cast<int>(vih->bmiHeader.biSizeImage), 80000000, static_cast<int>(vih->AvgTimePerFrame)));
  return S_OK;
}

HRESULT CPlanerConvertFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (!allocator || !request) return E_POINTER;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_pOutput->CurrentMediaType());
  if (!header || header->biWidth <= 0) return E_FAIL;  // no geometry to size the buffers by
  ALLOCATOR_PROPERTIES wanted{};
  const long long bytes = static_cast<long long>(Magnitude(header->biHeight) + 4) * ((header->biWidth / 64) + 1) * 64 *
                          header->biBitCount / 8;
  if (bytes <= 0 || bytes > 0x7FFFFFFF) return E_FAIL;
  wanted.cbBuffer = static_cast<LONG>(bytes);
  wanted.cbAlign = 1;  // the kernels make no alignment assumption
  wanted.cBuffers = std::max<LONG>(request->cBuffers, 1);
  wanted.cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(&wanted, &actual));
  if (actual.cBuffers < wanted.cBuffers || actual.cbBuffer < wanted.cbBuffer) return E_FAIL;
  return S_OK;
}

HRESULT CPlanerConvertFilter::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
  if (direction == PINDIR_OUTPUT && type) {
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(type);
    if (header) outputStride_ = header->biWidth;
  }
  return S_OK;
}

HRESULT CPlanerConvertFilter::BreakConnect(PIN_DIRECTION direction) {
  if (direction == PINDIR_INPUT || !m_pInput || !m_pInput->IsConnected()) {
    frameWidth_ = 0;
    frameHeight_ = 0;
    outputStride_ = 0;
  }
  return S_OK;
}

HRESULT CPlanerConvertFilter::StreamTypeChange(const CMediaType* upstream, const CMediaType* downstream) {
  if (upstream) RETURN_IF_FAILED(m_pInput->SetMediaType(upstream));
  if (downstream) RETURN_IF_FAILED(m_pOutput->SetMediaType(downstream));
  return S_OK;
}

HRESULT CPlanerConvertFilter::Transform(IMediaSample* in, IMediaSample* out) {
  if (!in || !out) return E_POINTER;
  const LONG actual = in->GetActualDataLength();
  if (actual <= 0) return S_FALSE;
  BYTE* source = nullptr;
  BYTE* destination = nullptr;
  RETURN_IF_FAILED(in->GetPointer(&source));
  RETURN_IF_FAILED(out->GetPointer(&destination));
  if (!source || !destination) return E_POINTER;
  const std::size_t available = static_cast<std::size_t>(std::min(actual, in->GetSize()));
  if (available < kFieldFrameHeaderBytes) return S_FALSE;
  field_video::FieldFrameHeader header;
  std::memcpy(&header, source, sizeof(header));
  const std::uint32_t flags = header.FrameFlags;
  const bool all = flags == 0xFFFFFFFFu;
  if (!all && field_video::IsDropped(flags)) return S_FALSE;

  // The frame must fit both buffers as the geometry describes it; anything else is skipped.
  const LONG width = frameWidth_;
  const LONG height = frameHeight_;
  const LONG stride = outputStride_;
  const int samples = PlanarRowSamples(width);
  if (width <= 0 || height <= 0 || stride < samples) return S_FALSE;
  const long long outputBytes = static_cast<long long>(stride) * height * 2;
  if (outputBytes > out->GetSize()) return S_FALSE;
  const bool weave = (flags & field_video::kFrameFill) == 0;
  if (weave && available < PlanarFrameBytes(width, height)) return S_FALSE;

  const std::ptrdiff_t pitch = 2 * static_cast<std::ptrdiff_t>(stride);
  const std::size_t rowBytes = 2 * static_cast<std::size_t>(width);
  if (weave) {
    WeaveJob job;
    job.planes = source + kFieldFrameHeaderBytes;
    job.frameWidth = width;
    job.frameHeight = height;
    job.firstStoredIsTop = fieldOrder_.load() != 0;
    job.output = destination;
    job.outputPitch = pitch;
    WeaveFields(job, SelectedPackRow());
  } else {
    FillRows32(destination, pitch, height, rowBytes, header.fillPattern);
  }
  if (flags & field_video::kFrameBlack) FillRowsByte(destination, pitch, height, rowBytes, 0x10);
  if (field_video::IsDropped(flags)) return S_FALSE;
  return out->SetActualDataLength(static_cast<LONG>(outputBytes));
}

// ---- PlanarFieldOrderPage ------------------------------------------------------------------------

PlanarFieldOrderPage::PlanarFieldOrderPage(IUnknown* outer)
    : CBasePropertyPage(L"PlanarFieldOrderPage", outer, kDialogId, kTitleId) {}

CUnknown* PlanarFieldOrderPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* page = new (std::nothrow) PlanarFieldOrderPage(outer);
  if (!page && phr) *phr = E_OUTOFMEMORY;
  return page;
}

HRESULT PlanarFieldOrderPage::OnConnect(IUnknown* object) {
  if (!object) return E_POINTER;
  Microsoft::WRL::ComPtr<IPlanarFieldOrder> order;
  const HRESULT hr = object->QueryInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(order.GetAddressOf()));
  if (FAILED(hr) || !order) return E_NOINTERFACE;
  order_ = std::move(order);
  order_->GetFieldOrder(&pending_);
  return S_OK;
}

HRESULT PlanarFieldOrderPage::OnDisconnect() {
  if (!order_) return E_UNEXPECTED;
  order_.Reset();
  initialised_ = false;
  return S_OK;
}

HRESULT PlanarFieldOrderPage::OnActivate() {
  // Only exactly 1 reads as top first; the page shows any other value as bottom first.
  CheckRadioButton(m_hwnd, kTopFirst, kBottomFirst, pending_ == 1 ? kTopFirst : kBottomFirst);
  initialised_ = true;
  return S_OK;
}

HRESULT PlanarFieldOrderPage::OnApplyChanges() {
  if (!order_) return E_UNEXPECTED;
  return order_->SetFieldOrder(pending_);
}

INT_PTR PlanarFieldOrderPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && initialised_ && HIWORD(wParam) == BN_CLICKED) {
    const int id = LOWORD(wParam);
    if (id == kTopFirst || id == kBottomFirst) {
      pending_ = id == kTopFirst ? 1 : 0;
      SetDirty();
      return TRUE;
    }
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

}  // namespace convert

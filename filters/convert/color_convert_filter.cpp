#include "filters/convert/color_convert_filter.h"

#include <malloc.h>

#include <algorithm>
#include <new>

#include "common/hresult.h"

#include "filters/convert/tiled_kernels.h"
#include "filters/include/field_video.h"

namespace convert {

namespace {

constexpr std::size_t kInitialWorkBytes = 720 * 576 / 2;
// The tallest picture whose work memory a type's check reserves (twice a 576-line frame and
// more); a taller one is reserved for when a frame of it is converted.
constexpr LONG kMaxTiledHeight = 2048;

}  // namespace

CColorConvertFilter::CColorConvertFilter(IUnknown* outer, HRESULT* phr)
    : CTransformFilter(L"CColorConvertFilter", outer, CLSID_QfaCfc, phr) {
  scratch_ = static_cast<std::uint8_t*>(_aligned_malloc(kMaxTiledWidth, 16));
  const HRESULT hr = scratch_ ? EnsureWorkBuffer(kInitialWorkBytes) : E_OUTOFMEMORY;
  if (FAILED(hr) && phr) *phr = hr;
}

CColorConvertFilter::~CColorConvertFilter() {
  _aligned_free(work_);
  _aligned_free(scratch_);
}

CUnknown* CColorConvertFilter::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) CColorConvertFilter(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

HRESULT CColorConvertFilter::EnsureWorkBuffer(std::size_t bytes) {
  if (bytes <= workBytes_) return S_OK;
  auto* grown = static_cast<std::uint8_t*>(_aligned_malloc(bytes, 16));
  if (!grown) return E_OUTOFMEMORY;
  _aligned_free(work_);
  work_ = grown;
  workBytes_ = bytes;
  return S_OK;
}

HRESULT CColorConvertFilter::TakeGeometry(LONG width, LONG height) {
  height = static_cast<LONG>(Magnitude(height));
  inputWidth_ = outputWidth_ = width;
  inputHeight_ = outputHeight_ = height;
  // Memory only for a picture Transform converts (it reserves again for what it converts).
  if (width <= 0 || height <= 0 || width > kMaxTiledWidth || height > kMaxTiledHeight) return S_OK;
  return EnsureWorkBuffer(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) / 2);
}

HRESULT CColorConvertFilter::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  if (*in->Type() != MEDIATYPE_Video || *in->Subtype() != MEDIASUBTYPE_Tiled420) return E_INVALIDARG;
  if (*in->FormatType() != FORMAT_VideoInfo && *in->FormatType() != FORMAT_VideoInfo2) return E_INVALIDARG;
  return S_OK;
}

HRESULT CColorConvertFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (!in || !out) return E_POINTER;
  if (*out->Type() != MEDIATYPE_Video || *out->Subtype() != MEDIASUBTYPE_YUY2) return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(in);
  if (!header) return VFW_E_TYPE_NOT_ACCEPTED;
  return TakeGeometry(header->biWidth, header->biHeight);
}

HRESULT CColorConvertFilter::GetMediaType(int position, CMediaType* type) {
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (!type) return E_POINTER;
  const BITMAPINFOHEADER* in = GetBitmapInfoHeader(&m_pInput->CurrentMediaType());
  if (!in) return E_UNEXPECTED;
  RETURN_IF_FAILED(TakeGeometry(in->biWidth, in->biHeight));
  outputWidth_ = 720;
  outputHeight_ = inputHeight_ == 288 || inputHeight_ == 576 ? 576 : 480;

  return SetYuy2VideoType(type, outputWidth_, outputHeight_, FORMAT_VideoInfo, sizeof(VIDEOINFO)) ? S_OK
                                                                                               : E_OUTOFMEMORY;
}

HRESULT CColorConvertFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_pOutput->CurrentMediaType());
  if (!header || header->biWidth <= 0) return E_FAIL;
  RETURN_IF_FAILED(TakeGeometry(header->biWidth, header->biHeight));
  const long long bytes = static_cast<long long>(outputWidth_) * outputHeight_ * 2;
  if (bytes <= 0 || bytes > 0x7FFFFFFF) return E_FAIL;
  ALLOCATOR_PROPERTIES wanted{1, static_cast<LONG>(bytes), 1, 0};  // the kernels take any alignment
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(&wanted, &actual));
  if (actual.cBuffers < wanted.cBuffers || actual.cbBuffer < wanted.cbBuffer) return E_FAIL;
  return S_OK;
}

HRESULT CColorConvertFilter::Transform(IMediaSample* in, IMediaSample* out) {
  if (!in || !out) return E_POINTER;
  BYTE* source = nullptr;
  BYTE* destination = nullptr;
  RETURN_IF_FAILED(in->GetPointer(&source));
  RETURN_IF_FAILED(out->GetPointer(&destination));
  if (!source || !destination) return E_POINTER;

  AM_MEDIA_TYPE* changed = nullptr;
  if (out->GetMediaType(&changed) == S_OK && changed) {
    // The downstream filter's format change: only a type our output pin accepts is honoured.
    const CMediaType type(*changed);
    DeleteMediaType(changed);
    // The pin's check runs CheckTransform, which takes the input type's geometry; the input is
    // still read as the buffer decision said (a field-height type carries whole frames).
    const LONG readWidth = inputWidth_;
    const LONG readHeight = inputHeight_;
    const HRESULT accepted = m_pOutput->CheckMediaType(&type);
    inputWidth_ = readWidth;
    inputHeight_ = readHeight;
    if (accepted != S_OK) return E_FAIL;
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&type);
    if (!header) return E_FAIL;
    outputWidth_ = header->biWidth;
    outputHeight_ = static_cast<LONG>(Magnitude(header->biHeight));
  }
  if (inputWidth_ == 352) inputWidth_ = 320;  // a 352-wide picture is converted 320 wide

  // The tile reading knows widths of whole tiles up to one tile row and whole field pairs of
  // chroma rows; the sample must hold what the geometry reads, the buffer what it writes.
  const LONG width = inputWidth_;
  const LONG height = inputHeight_;
  if (width < 16 || width > kMaxTiledWidth || width % 16 != 0 || height < 4 || height % 4 != 0) return S_FALSE;
  const LONG actual = std::min(in->GetActualDataLength(), in->GetSize());
  if (actual < 0 || static_cast<std::size_t>(actual) < TiledFrameBytes(width, height)) return S_FALSE;
  const LONG columns = std::min(width, outputWidth_) / 16 * 16;
  if (columns <= 0) return S_FALSE;
  const long long rowBytes = 2LL * std::max(outputWidth_, columns);
  const long long pitch = 2LL * outputWidth_;
  if ((height - 1) * pitch + rowBytes > out->GetSize()) return S_FALSE;
  RETURN_IF_FAILED(EnsureWorkBuffer(static_cast<std::size_t>(width) * height / 2));

  TiledJob job;
  job.input = source;
  job.width = width;
  job.height = height;
  job.columns = columns;
  job.work = work_;
  job.scratch = scratch_;
  job.output = destination;
  job.outputPitch = static_cast<std::ptrdiff_t>(pitch);
  job.outputWidth = outputWidth_;
  ConvertTiledFrame(job, SelectedTiledKernels());
  return S_OK;
}

}  // namespace convert

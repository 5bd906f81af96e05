#include "filters/deinterlace/planar_transform_filter.h"

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/hresult.h"
#include "filters/base/mediatype.h"
#include "filters/deinterlace/line_buffers.h"
#include "filters/include/field_video.h"

namespace deinterlace {

namespace {

constexpr DWORD FourCc(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
         (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

bool IsFieldFormat(const GUID& formatType) {
  return formatType == FORMAT_FieldVideoNtsc || formatType == FORMAT_FieldVideoPal;
}

bool InRange(LONG value) { return value > 0 && value <= kMaxPictureSize; }

// The absolute bitmap height, 0 when out of range (LONG_MIN included).
LONG CheckedHeight(LONG height) {
  if (height < -kMaxPictureSize || height > kMaxPictureSize || height == 0) return 0;
  return height < 0 ? -height : height;
}

// The VideoInfo or VideoInfo2 header and target rectangle of a type whose block holds them.
bool VideoHeader(const AM_MEDIA_TYPE& type, const BITMAPINFOHEADER** header, const RECT** target) {
  if (!type.pbFormat) return false;
  if (type.formattype == FORMAT_VideoInfo2 && type.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    const auto* format = reinterpret_cast<const VIDEOINFOHEADER2*>(type.pbFormat);
    *header = &format->bmiHeader;
    *target = &format->rcTarget;
    return true;
  }
  if (type.formattype == FORMAT_VideoInfo && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const auto* format = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
    *header = &format->bmiHeader;
    *target = &format->rcTarget;
    return true;
  }
  return false;
}

}  // namespace

bool ReadInputGeometry(const AM_MEDIA_TYPE& type, InputGeometry* geometry) {
  const bool field = IsFieldFormat(type.formattype);
  // A field format describes field-planar frames only, and field-planar frames need it.
  if (field != (type.subtype == MEDIASUBTYPE_FieldPlanar420)) return false;
  InputGeometry g;
  if (field) {
    if (!type.pbFormat || type.cbFormat < sizeof(field_video::FieldVideoFormat)) return false;
    const BITMAPINFOHEADER& header = reinterpret_cast<const field_video::FieldVideoFormat*>(type.pbFormat)->bmiHeader;
    if (header.biWidth <= 0 || header.biWidth > kMaxFieldPlanarWidth) return false;
    g.width = header.biWidth;
    g.height = CheckedHeight(header.biHeight);
    g.pitch = field_video::RowPitch(header.biWidth);
    g.fieldPlanar = true;
  } else {
    const BITMAPINFOHEADER* header = nullptr;
    const RECT* target = nullptr;
    if (!VideoHeader(type, &header, &target) || !InRange(header->biWidth)) return false;
    g.width = header->biWidth;
    if (!IsRectEmpty(target)) {
      if (target->left < 0 || target->right > header->biWidth) return false;
      g.width = target->right - target->left;
    }
    g.height = CheckedHeight(header->biHeight);
    g.pitch = header->biWidth;
  }
  if (g.height <= 0) return false;
  *geometry = g;
  return true;
}

std::size_t InputSampleBytes(const InputGeometry& geometry) {
  const std::size_t planes = 2 * static_cast<std::size_t>(geometry.pitch) * static_cast<std::size_t>(geometry.height);
  return geometry.fieldPlanar ? kSampleHeaderBytes + planes : planes;
}

// ---- Work frames ----------------------------------------------------------------------------

WorkFrame::~WorkFrame() { _aligned_free(data_); }

HRESULT WorkFrame::Reserve(int pitch, int height) {
  if (pitch <= 0 || height <= 0) return S_OK;
  const std::size_t plane = static_cast<std::size_t>(pitch) * static_cast<std::size_t>(height);
  const std::ptrdiff_t needed = static_cast<std::ptrdiff_t>(2 * plane);
  if (needed <= size_) return S_OK;
  auto* data = static_cast<std::uint8_t*>(_aligned_malloc(static_cast<std::size_t>(needed), 32));
  if (!data) return E_OUTOFMEMORY;
  std::memset(data, 0, plane);
  std::memset(data + plane, 128, plane);
  _aligned_free(data_);
  data_ = data;
  size_ = needed;
  return S_OK;
}

void SplitPackedToPlanar(const std::uint8_t* source, std::uint8_t* y, std::uint8_t* u, std::uint8_t* v, int width,
                         int rows, int sourcePitch, int planarPitch) {
  const int pixels = std::min(width, sourcePitch) & ~1;
  for (int r = 0; r < rows; ++r) {
    const std::uint8_t* in = source + static_cast<std::size_t>(r) * 2 * sourcePitch;
    std::uint8_t* yRow = y + static_cast<std::size_t>(r) * planarPitch;
    std::uint8_t* uRow = u + static_cast<std::size_t>(r) * (planarPitch / 2);
    std::uint8_t* vRow = v + static_cast<std::size_t>(r) * (planarPitch / 2);
    for (int x = 0; x < pixels; x += 2) {
      yRow[x] = in[2 * x];
      uRow[x / 2] = in[2 * x + 1];
      yRow[x + 1] = in[2 * x + 2];
      vRow[x / 2] = in[2 * x + 3];
    }
  }
}

void JoinPlanarToPacked(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, std::uint8_t* destination,
                        int width, int rows, int planarPitch, int destinationPitch) {
  // The whole planar row (its padding is black) as far as the destination row holds it.
  const int pixels = std::min(std::max(width, planarPitch), destinationPitch) & ~1;
  for (int r = 0; r < rows; ++r) {
    std::uint8_t* out = destination + static_cast<std::size_t>(r) * 2 * destinationPitch;
    const std::uint8_t* yRow = y + static_cast<std::size_t>(r) * planarPitch;
    const std::uint8_t* uRow = u + static_cast<std::size_t>(r) * (planarPitch / 2);
    const std::uint8_t* vRow = v + static_cast<std::size_t>(r) * (planarPitch / 2);
    for (int x = 0; x < pixels; x += 2) {
      out[2 * x] = yRow[x];
      out[2 * x + 1] = uRow[x / 2];
      out[2 * x + 2] = yRow[x + 1];
      out[2 * x + 3] = vRow[x / 2];
    }
  }
}

// ---- The filter -----------------------------------------------------------------------------

PlanarTransformFilter::PlanarTransformFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid,
                                             FrameProcessor* processor, FrameDescriptor* processorInput,
                                             FrameDescriptor* processorOutput, const GUID& defaultOutputSubtype,
                                             HRESULT* phr)
    : CTransformFilter(name, outer, clsid, phr),
      processor_(processor),
      processorInput_(processorInput),
      processorOutput_(processorOutput),
      defaultOutputSubtype_(defaultOutputSubtype) {
  processorOutput_->SetFormat(720, 576, RoundUp64(720));
  SetProcessorInput(720, 576, 720);
  const HRESULT hr = ReallocateWorkFrames();
  if (FAILED(hr) && phr && SUCCEEDED(*phr)) *phr = hr;
}

void PlanarTransformFilter::SetProcessorInput(int width, int height, int pitch) {
  processorInput_->SetFormat(width, height, pitch);
  if (processor_) processor_->SetInputFormat(width, height, pitch);
}

void PlanarTransformFilter::SetProcessorOutput(int width, int height, int pitch) {
  processorOutput_->SetFormat(width, height, pitch);
  if (processor_) processor_->SetOutputFormat(width, height, pitch);
}

int PlanarTransformFilter::ProcessorPitch(int pitch) const {
  const bool keep = formats_.inputSubtype == MEDIASUBTYPE_YUY2 && defaultOutputSubtype_ == MEDIASUBTYPE_YUY2;
  return keep ? pitch : RoundUp64(pitch);
}

void PlanarTransformFilter::OutputSize(int width, int height, int* outWidth, int* outHeight) {
  *outWidth = width;
  *outHeight = height;
  if (processor_) processor_->GetOutputSize(width, height, outWidth, outHeight);
}

HRESULT PlanarTransformFilter::ReallocateWorkFrames() {
  HRESULT hr = inputWork_.Reserve(processorInput_->GetPitch(), processorInput_->GetHeight());
  if (SUCCEEDED(hr)) hr = outputWork_.Reserve(processorOutput_->GetPitch(), processorOutput_->GetHeight());
  return hr;
}

HRESULT PlanarTransformFilter::AcceptInputType(const CMediaType& in, InputGeometry* geometry) {
  const bool major = *in.Type() == MEDIATYPE_Video || *in.Type() == MEDIATYPE_FieldVideo;
  const GUID& format = *in.FormatType();
  const bool formatKnown = format == FORMAT_VideoInfo || format == FORMAT_VideoInfo2 || IsFieldFormat(format);
  const GUID& sub = *in.Subtype();
  const bool subKnown = sub == MEDIASUBTYPE_IYUV || sub == MEDIASUBTYPE_Tiled420 || sub == MEDIASUBTYPE_AuxVideo ||
                        sub == MEDIASUBTYPE_YUY2 || sub == MEDIASUBTYPE_FieldPlanar420;
  if (!major || !formatKnown || !subKnown || !ReadInputGeometry(in, geometry)) return E_INVALIDARG;
  return S_OK;
}

HRESULT PlanarTransformFilter::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  InputGeometry g;
  return PlanarTransformFilter::AcceptInputType(*in, &g);
}

HRESULT PlanarTransformFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (!in || !out) return E_POINTER;
  const bool outputSub = *out->Subtype() == MEDIASUBTYPE_YUY2 || *out->Subtype() == MEDIASUBTYPE_AuxVideo;
  const BITMAPINFOHEADER* outHeader = nullptr;
  const RECT* outTarget = nullptr;
  if (*out->Type() != MEDIATYPE_Video || !outputSub || !VideoHeader(*out, &outHeader, &outTarget)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  InputGeometry g;
  if (!ReadInputGeometry(*in, &g)) return VFW_E_INVALIDMEDIATYPE;
  int outWidth = 0, outHeight = 0;
  OutputSize(g.width, g.height, &outWidth, &outHeight);
  if (outWidth == outHeader->biWidth) return S_OK;
  const RECT expected = {0, 0, outWidth, outHeight};
  return EqualRect(outTarget, &expected) ? S_OK : VFW_E_INVALIDMEDIATYPE;
}

HRESULT PlanarTransformFilter::TakeInputType(const AM_MEDIA_TYPE& type) {
  InputGeometry g;
  if (!ReadInputGeometry(type, &g)) return VFW_E_INVALIDMEDIATYPE;
  const GUID& sub = type.subtype;
  formats_.inputSubtype = sub;  // the processor's pitch depends on it
  formats_.inputKind = sub == MEDIASUBTYPE_IYUV || sub == MEDIASUBTYPE_Tiled420 ? 1 : 2;
  own_.SetFormat(g.width, g.height, g.pitch);
  SetProcessorInput(g.width, g.height, ProcessorPitch(g.pitch));
  return ReallocateWorkFrames();
}

HRESULT PlanarTransformFilter::BuildOutputType(const CMediaType& input, int position, CMediaType* type,
                                               InputGeometry* geometry, int* outWidth, int* outHeight,
                                               int* outPitch) {
  InputGeometry& g = *geometry;
  if (!ReadInputGeometry(input, &g)) return E_UNEXPECTED;
  RETURN_IF_FAILED(type->Set(input));
  if (g.fieldPlanar) {
    auto* format = reinterpret_cast<VIDEOINFOHEADER2*>(type->AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    if (!format) return E_OUTOFMEMORY;
    static_assert(sizeof(VIDEOINFOHEADER2) == 112);
    format->dwPictAspectRatioX = 16 * static_cast<DWORD>(g.width);
    format->dwPictAspectRatioY = 15 * static_cast<DWORD>(g.height);
    format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format->bmiHeader.biPlanes = 1;
    format->bmiHeader.biBitCount = 16;
    format->AvgTimePerFrame = *input.FormatType() == FORMAT_FieldVideoPal ? 400000 : 333666;
    type->SetFormatType(&FORMAT_VideoInfo2);
    type->SetType(&MEDIATYPE_Video);
  } else if (*type->FormatType() == FORMAT_VideoInfo2) {
    auto* format = reinterpret_cast<VIDEOINFOHEADER2*>(type->Format());
    if (format->dwPictAspectRatioX == 0 && format->dwPictAspectRatioY == 0) {
      format->dwPictAspectRatioX = 4;
      format->dwPictAspectRatioY = 3;
    }
  }

  OutputSize(g.width, g.height, outWidth, outHeight);
  const int pitch = OfferedPitch(position, *outWidth);
  if (pitch == 0) return VFW_S_NO_MORE_ITEMS;
  *outPitch = pitch;
  BITMAPINFOHEADER* header = GetBitmapInfoHeader(type);
  if (!header) return E_UNEXPECTED;
  // Both headers start with rcSource and rcTarget: the picture, whatever the row pitch.
  static_assert(offsetof(VIDEOINFOHEADER, rcTarget) == sizeof(RECT) && offsetof(VIDEOINFOHEADER2, rcTarget) == sizeof(RECT));
  RECT* rects = reinterpret_cast<RECT*>(type->Format());
  SetRect(&rects[0], 0, 0, *outWidth, *outHeight);
  SetRect(&rects[1], 0, 0, *outWidth, *outHeight);
  const ULONG bytes = 2 * static_cast<ULONG>(pitch) * static_cast<ULONG>(*outHeight);
  header->biWidth = pitch;
  header->biHeight = *outHeight;
  header->biCompression = position == 0 ? FourCc('Y', 'V', '1', '6') : FourCc('Y', 'U', 'Y', '2');
  header->biSizeImage = bytes;
  type->SetSubtype(position == 0 ? &MEDIASUBTYPE_AuxVideo : &MEDIASUBTYPE_YUY2);
  type->SetSampleSize(bytes);
  return S_OK;
}

HRESULT PlanarTransformFilter::GetMediaType(int position, CMediaType* type) {
  if (!type) return E_POINTER;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  if (position < 0) return E_INVALIDARG;
  if (position > 2) return VFW_S_NO_MORE_ITEMS;
  // An offer only: the connected types, not the ones on offer, shape the processing.
  InputGeometry g;
  int outWidth = 0, outHeight = 0, outPitch = 0;
  return BuildOutputType(m_pInput->CurrentMediaType(), position, type, &g, &outWidth, &outHeight, &outPitch);
}

int PlanarTransformFilter::ConnectedOutputPosition(int width) {
  const CMediaType& connected = m_pOutput->CurrentMediaType();
  if (*connected.Subtype() == MEDIASUBTYPE_AuxVideo) return 0;
  // YUY2: the tight pitch, unless the connected rows were wider than the tight pitch of their
  // picture and a padded pitch is on offer for the new one.
  const BITMAPINFOHEADER* header = nullptr;
  const RECT* target = nullptr;
  if (!VideoHeader(connected, &header, &target)) return 1;
  const int connectedWidth = IsRectEmpty(target) ? header->biWidth : target->right - target->left;
  const bool padded = header->biWidth > OfferedPitch(1, connectedWidth);
  return padded && OfferedPitch(2, width) != 0 ? 2 : 1;
}

HRESULT PlanarTransformFilter::StreamOutputType(const CMediaType& input, CMediaType* output) {
  InputGeometry g;
  if (!ReadInputGeometry(input, &g)) return VFW_E_TYPE_NOT_ACCEPTED;
  int outWidth = 0, outHeight = 0, outPitch = 0;
  OutputSize(g.width, g.height, &outWidth, &outHeight);
  const int position = ConnectedOutputPosition(outWidth);
  const HRESULT hr = BuildOutputType(input, position, output, &g, &outWidth, &outHeight, &outPitch);
  return hr == S_OK ? S_OK : (FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED);
}

long PlanarTransformFilter::OutputBufferBytes() {
  IMemAllocator* allocator = m_pOutput ? m_pOutput->Allocator() : nullptr;
  ALLOCATOR_PROPERTIES props{};
  if (!allocator || FAILED(allocator->GetProperties(&props))) return 0;
  return props.cbBuffer;
}

HRESULT PlanarTransformFilter::PlanStreamChange(const CMediaType& input, long bufferBytes, StreamChange* change) {
  if (!m_pInput || !m_pOutput || !m_pOutput->IsConnected()) return VFW_E_NOT_CONNECTED;
  StreamChange plan;
  if (FAILED(AcceptInputType(input, &plan.geometry))) return VFW_E_TYPE_NOT_ACCEPTED;
  RETURN_IF_FAILED(plan.input.Set(input));
  RETURN_IF_FAILED(StreamOutputType(input, &plan.output));
  const BITMAPINFOHEADER* header = nullptr;
  const RECT* target = nullptr;
  if (!VideoHeader(plan.output, &header, &target) || !InRange(header->biWidth) || !CheckedHeight(header->biHeight)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  const std::size_t pictureBytes =
      2 * static_cast<std::size_t>(header->biWidth) * static_cast<std::size_t>(CheckedHeight(header->biHeight));
  if (bufferBytes < 0 || static_cast<std::size_t>(bufferBytes) < pictureBytes) return VFW_E_BUFFER_OVERFLOW;
  plan.outputChanged = plan.output != m_pOutput->CurrentMediaType();
  if (plan.outputChanged) {
    IPin* peer = m_pOutput->GetConnected();
    if (!peer || peer->QueryAccept(&plan.output) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
  }
  *change = std::move(plan);
  return S_OK;
}

HRESULT PlanarTransformFilter::CommitStreamChange(const StreamChange& change) {
  const InputGeometry& g = change.geometry;
  const GUID previousSubtype = formats_.inputSubtype;
  formats_.inputSubtype = *change.input.Subtype();  // the processor's pitch depends on it
  const int pitch = ProcessorPitch(g.pitch);
  formats_.inputSubtype = previousSubtype;
  // Memory first: a failure here leaves everything as it was.
  RETURN_IF_FAILED(inputWork_.Reserve(pitch, g.height));
  // The input pin's SetMediaType gives the descriptors and the processor the new shape.
  RETURN_IF_FAILED(m_pInput->SetMediaType(&change.input));
  if (change.outputChanged) RETURN_IF_FAILED(m_pOutput->SetMediaType(&change.output));
  return ReallocateWorkFrames();
}

int PlanarTransformFilter::OfferedPitch(int position, int width) {
  const int tight = 16 * BlockCount16(width), padded = RoundUp64(width);
  switch (position) {
    case 0: return padded;                         // planar 4:2:2
    case 1: return tight;                          // YUY2
    case 2: return padded != tight ? padded : 0;   // YUY2
    default: return 0;
  }
}

HRESULT PlanarTransformFilter::TakeOutputType(const AM_MEDIA_TYPE& type) {
  const BITMAPINFOHEADER* header = nullptr;
  const RECT* target = nullptr;
  if (!VideoHeader(type, &header, &target) || !InRange(header->biWidth) || !CheckedHeight(header->biHeight)) {
    return VFW_E_INVALIDMEDIATYPE;
  }
  int width = header->biWidth;
  if (!IsRectEmpty(target)) {
    if (target->left < 0 || target->right > header->biWidth) return VFW_E_INVALIDMEDIATYPE;
    width = target->right - target->left;
  }
  SetProcessorOutput(width, CheckedHeight(header->biHeight), header->biWidth);
  outputSubtype_ = type.subtype == MEDIASUBTYPE_AuxVideo ? MEDIASUBTYPE_AuxVideo : MEDIASUBTYPE_YUY2;
  return ReallocateWorkFrames();
}

HRESULT PlanarTransformFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  const long plane = static_cast<long>(processorOutput_->GetPitch()) * processorOutput_->GetHeight();
  request->cBuffers = std::max<long>(request->cBuffers, 1);
  request->cbBuffer = static_cast<long>((formats_.outputFactor + 2) * plane / 2 + kSampleHeaderBytes);
  request->cbAlign = 16;  // the kernels' rows
  if (request->cbPrefix < 0) request->cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(request, &actual));
  if (actual.cbBuffer < request->cbBuffer || actual.cBuffers < request->cBuffers) return E_FAIL;
  return S_OK;
}

HRESULT PlanarTransformFilter::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
  if (!type) return S_OK;
  return direction == PINDIR_OUTPUT ? TakeOutputType(*type) : TakeInputType(*type);
}

HRESULT PlanarTransformFilter::StartStreaming() {
  processorInput_->ClearFrames();
  return S_OK;
}

HRESULT PlanarTransformFilter::Transform(IMediaSample* in, IMediaSample* out) {
  if (!in || !out) return E_POINTER;
  BYTE* source = nullptr;
  BYTE* destination = nullptr;
  RETURN_IF_FAILED(in->GetPointer(&source));
  RETURN_IF_FAILED(out->GetPointer(&destination));

  AM_MEDIA_TYPE* changed = nullptr;
  if (in->GetMediaType(&changed) == S_OK && changed) {
    CMediaType type(*changed);
    DeleteMediaType(changed);
    StreamChange change;
    if (type != m_pInput->CurrentMediaType()) {
      if (FAILED(PlanStreamChange(type, out->GetSize(), &change)) || FAILED(CommitStreamChange(change))) return E_FAIL;
      if (change.outputChanged) RETURN_IF_FAILED(out->SetMediaType(&change.output));
    }
  }
  changed = nullptr;
  if (out->GetMediaType(&changed) == S_OK && changed) {
    CMediaType type(*changed);
    DeleteMediaType(changed);
    // A type of downstream's own (our own new type is already taken).
    if (type != m_pOutput->CurrentMediaType()) {
      RETURN_IF_FAILED(m_pOutput->SetMediaType(&type));
      RETURN_IF_FAILED(TakeOutputType(type));
    }
  }

  // A sample shorter than its type says is skipped.
  InputGeometry g{own_.GetWidth(), own_.GetHeight(), own_.GetPitch(), formats_.inputSubtype == MEDIASUBTYPE_FieldPlanar420};
  if (static_cast<std::size_t>(std::max<long>(in->GetActualDataLength(), 0)) < InputSampleBytes(g)) return S_FALSE;

  const int pitch = processorInput_->GetPitch();
  const int height = processorInput_->GetHeight();
  if (formats_.inputSubtype == MEDIASUBTYPE_YUY2) {
    std::uint8_t* y = inputWork_.Data();
    std::uint8_t* u = y + static_cast<std::size_t>(pitch) * height;
    std::uint8_t* v = u + static_cast<std::size_t>(pitch) * height / 2;
    SplitPackedToPlanar(source, y, u, v, own_.GetWidth(), std::min(height, own_.GetHeight()), own_.GetPitch(), pitch);
    processorInput_->SetFrame(y);
  } else {
    SetProcessorInput(own_.GetWidth(), own_.GetHeight(), own_.GetPitch());
    processorInput_->SetFrame(source);
  }

  const bool packedOutput = outputSubtype_ != MEDIASUBTYPE_AuxVideo;
  const int outPitch = processorOutput_->GetPitch();
  const int outHeight = processorOutput_->GetHeight();
  if (static_cast<std::size_t>(std::max<long>(out->GetSize(), 0)) < 2 * static_cast<std::size_t>(outPitch) * outHeight) {
    return E_FAIL;
  }
  processorOutput_->SetFrame(packedOutput ? outputWork_.Data() : destination);
  if (processor_) RETURN_IF_FAILED(processor_->Process(0));
  if (packedOutput) {
    const std::uint8_t* y = outputWork_.Data();
    const std::uint8_t* u = y + static_cast<std::size_t>(outPitch) * outHeight;
    const std::uint8_t* v = u + static_cast<std::size_t>(outPitch) * outHeight / 2;
    JoinPlanarToPacked(y, u, v, destination, processorOutput_->GetWidth(), outHeight, outPitch, outPitch);
  }
  return S_OK;
}

}  // namespace deinterlace

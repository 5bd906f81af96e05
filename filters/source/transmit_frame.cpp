#include "filters/source/transmit_frame.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vsrc {

static_assert(sizeof(VIDEOINFOHEADER2) == 112);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);

HRESULT MakeDefaultTransmitType(CMediaType* type) {
  if (!type) return E_POINTER;
  auto* format = reinterpret_cast<VIDEOINFOHEADER2*>(
      SetYuy2VideoType(type, kDefaultWidth, kDefaultHeight, FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2)));
  if (!format) return E_OUTOFMEMORY;
  static_assert(kDefaultImageSize == kDefaultWidth * 2 * kDefaultHeight);  // the header's image size
  format->rcSource = RECT{0, 0, kDefaultWidth, kDefaultHeight};
  format->rcTarget = format->rcSource;
  format->dwBitRate = kDefaultBitRate;
  format->dwBitErrorRate = 0;
  format->AvgTimePerFrame = kDefaultFrameTime;
  format->dwInterlaceFlags = AMINTERLACE_IsInterlaced;
  format->dwCopyProtectFlags = 0;
  format->dwPictAspectRatioX = 4;
  format->dwPictAspectRatioY = 3;
  format->dwControlFlags = 3;
  format->dwReserved2 = 0;
  return S_OK;
}

HRESULT DeriveOutputType(const AM_MEDIA_TYPE& given, CMediaType* target) {
  if (!target) return E_POINTER;
  if (*target->FormatType() != FORMAT_VideoInfo2 || !target->Format() ||
      target->FormatLength() < sizeof(VIDEOINFOHEADER2)) {
    return VFW_E_INVALIDMEDIATYPE;
  }
  auto* out = reinterpret_cast<VIDEOINFOHEADER2*>(target->Format());
  if (given.formattype == FORMAT_VideoInfo && given.pbFormat && given.cbFormat >= sizeof(VIDEOINFOHEADER)) {
    const auto* in = reinterpret_cast<const VIDEOINFOHEADER*>(given.pbFormat);
    out->dwBitRate = in->dwBitRate;
    out->dwBitErrorRate = in->dwBitErrorRate;
    out->AvgTimePerFrame = in->AvgTimePerFrame;
    return S_OK;
  }
  if (given.formattype == FORMAT_VideoInfo2 && given.pbFormat && given.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
    const auto* in = reinterpret_cast<const VIDEOINFOHEADER2*>(given.pbFormat);
    out->dwBitRate = in->dwBitRate;
    out->dwBitErrorRate = in->dwBitErrorRate;
    out->AvgTimePerFrame = in->AvgTimePerFrame;
    out->dwCopyProtectFlags = in->dwCopyProtectFlags;
    out->dwPictAspectRatioX = in->dwPictAspectRatioX;
    out->dwPictAspectRatioY = in->dwPictAspectRatioY;
    out->dwControlFlags = in->dwControlFlags;
    out->dwReserved2 = in->dwReserved2;
    return S_OK;
  }
  return VFW_E_INVALIDMEDIATYPE;
}

namespace {

// Rows of `pitch` bytes of which the first `rowBytes` fit in `bytes`.
std::int64_t RowsThatFit(std::size_t bytes, std::int64_t pitch, std::int64_t rowBytes) {
  const auto available = static_cast<std::int64_t>(bytes);
  if (pitch <= 0 || available < rowBytes) return 0;
  return (available - rowBytes) / pitch + 1;
}

}  // namespace

HRESULT CopyFrameRows(const FrameCopy& copy, LONG* rowsWritten) {
  if (!rowsWritten) return E_POINTER;
  *rowsWritten = 0;
  if (!copy.destination || !copy.inHeader || !copy.outHeader) return E_POINTER;
  const BITMAPINFOHEADER& in = *copy.inHeader;
  const BITMAPINFOHEADER& out = *copy.outHeader;

  const LONG width = std::min(in.biWidth, out.biWidth);
  if (width <= 0) return S_OK;
  const std::int64_t height = Magnitude(in.biHeight) <= Magnitude(out.biHeight) ? Magnitude(in.biHeight)
                                                                                : Magnitude(out.biHeight);
  const std::int64_t shift = copy.source && copy.dropFirstRow ? 1 : 0;
  const std::int64_t rowBytes = static_cast<std::int64_t>(width) * 2;
  const std::int64_t inPitch = static_cast<std::int64_t>(in.biWidth) * 2;
  const std::int64_t outPitch = static_cast<std::int64_t>(out.biWidth) * 2;

  // Whole output rows only: the actual length (rows x pitch) must lie inside the buffer.
  std::int64_t rows = std::min<std::int64_t>(height - shift, static_cast<std::int64_t>(copy.destinationBytes) / outPitch);
  if (copy.source) rows = std::min(rows, RowsThatFit(copy.sourceBytes, inPitch, rowBytes) - shift);
  if (rows <= 0) return S_OK;

  for (std::int64_t row = 0; row < rows; ++row) {
    BYTE* target = copy.destination + row * outPitch;
    if (copy.source) {
      std::memcpy(target, copy.source + (row + shift) * inPitch, static_cast<std::size_t>(rowBytes));
    } else {
      for (std::int64_t b = 0; b < rowBytes; b += 2) {  // whole pixels: never past the row
        target[b] = kBlackLuma;
        target[b + 1] = kBlackChroma;
      }
    }
  }
  *rowsWritten = static_cast<LONG>(rows);
  return S_OK;
}

}  // namespace vsrc

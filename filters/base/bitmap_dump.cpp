#include "filters/base/bitmap_dump.h"

#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "filters/base/mediatype.h"

namespace {

static_assert(sizeof(BITMAPFILEHEADER) == 14);
static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);

// Frames larger than this are not a video frame of this system; refusing them keeps every
// size below in 32 bits.
constexpr unsigned long long kMaxImageBytes = 256ull * 1024 * 1024;

BYTE Clamp(int value) { return static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value); }

// Fixed-point BT.601: luma scaled by 256, chroma centred on 128.
void StorePixel(BYTE* out, int y, int cb, int cr) {
  const int luma = 256 * y;
  out[0] = Clamp((luma + 454 * cb) >> 8);             // blue
  out[1] = Clamp((luma - 88 * cb - 183 * cr) >> 8);   // green
  out[2] = Clamp((luma + 359 * cr) >> 8);             // red
}

}  // namespace

std::wstring BitmapDump::FileName(const wchar_t* folder, const wchar_t* prefix, int number) {
  return FormatW(L"%ls\\%ls%03d.bmp", folder ? folder : L"", prefix ? prefix : L"", number);
}

DWORD BitmapDump::RowLength(LONG width) {
  return width <= 0 ? 0 : (static_cast<DWORD>(width) * 3 + 3) & ~3u;
}

void BitmapDump::ConvertYuy2ToRgb24(const BYTE* source, LONG width, LONG height, BYTE* destination,
                                    DWORD rowLength) {
  if (!source || !destination || width <= 0) return;
  const LONG rows = height < 0 ? -height : height;
  const std::size_t sourcePitch = static_cast<std::size_t>(width) * 2;
  const LONG pairs = width / 2;
  for (LONG row = 0; row < rows; ++row) {
    const BYTE* in = source + static_cast<std::size_t>(row) * sourcePitch;
    BYTE* out = destination + static_cast<std::size_t>(row) * rowLength;
    for (LONG pair = 0; pair < pairs; ++pair, in += 4, out += 6) {
      const int cb = in[1] - 128, cr = in[3] - 128;
      StorePixel(out, in[0], cb, cr);
      StorePixel(out + 3, in[2], cb, cr);
    }
    if (width & 1) {
      // The last pixel has its luma and blue difference in this row but no red difference of
      // its own: it borrows the previous pair's (none for a one-pixel row).
      const int cr = width > 1 ? in[-1] - 128 : 0;
      StorePixel(out, in[0], in[1] - 128, cr);
    }
  }
}

HRESULT BitmapDump::WriteFrame(const BYTE* frame, std::size_t frameBytes, const BITMAPINFOHEADER& header,
                               const wchar_t* path) {
  if (!frame || !path) return E_POINTER;
  const LONG width = header.biWidth;
  const LONG height = header.biHeight;
  if (width <= 0 || height == 0 || height == LONG_MIN) return E_INVALIDARG;
  const unsigned long long rows = static_cast<unsigned long long>(height < 0 ? -height : height);
  const unsigned long long rowLength = RowLength(width);
  const unsigned long long imageSize = rowLength * rows;
  const unsigned long long sourceSize = static_cast<unsigned long long>(width) * 2 * rows;
  if (imageSize > kMaxImageBytes) return E_INVALIDARG;
  if (frameBytes < sourceSize) return E_INVALIDARG;  // the frame claims more than it holds

  std::vector<BYTE> file(kHeadersSize + static_cast<std::size_t>(imageSize), 0);
  BITMAPFILEHEADER fileHeader{};
  fileHeader.bfType = 0x4D42;  // "BM"
  fileHeader.bfSize = static_cast<DWORD>(imageSize + kHeadersSize);
  fileHeader.bfOffBits = kHeadersSize;
  BITMAPINFOHEADER info{};
  info.biSize = sizeof(BITMAPINFOHEADER);
  info.biWidth = width;
  info.biHeight = -static_cast<LONG>(rows);  // rows run top-down
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = static_cast<DWORD>(imageSize);
  std::memcpy(file.data(), &fileHeader, sizeof(fileHeader));
  std::memcpy(file.data() + sizeof(fileHeader), &info, sizeof(info));
  ConvertYuy2ToRgb24(frame, width, static_cast<LONG>(rows), file.data() + kHeadersSize,
                     static_cast<DWORD>(rowLength));

  UniqueFileHandle out(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return HResultFromLastError();
  DWORD written = 0;
  if (!WriteFile(out.get(), file.data(), static_cast<DWORD>(file.size()), &written, nullptr)) {
    return HResultFromLastError();
  }
  return written == file.size() ? S_OK : HResultFromWin32(ERROR_WRITE_FAULT);
}

HRESULT BitmapDump::WriteFrame(IMediaSample* sample, const AM_MEDIA_TYPE* type, const wchar_t* folder,
                               const wchar_t* prefix, int number) {
  if (!sample || !type || !folder || !prefix) return E_POINTER;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(type);
  if (!header) return E_INVALIDARG;
  BYTE* buffer = nullptr;
  const HRESULT hr = sample->GetPointer(&buffer);
  if (FAILED(hr)) return hr;
  if (!buffer) return E_POINTER;
  const long size = sample->GetSize();
  if (size <= 0) return E_INVALIDARG;
  return WriteFrame(buffer, static_cast<std::size_t>(size), *header, FileName(folder, prefix, number).c_str());
}

// Diagnostic frame dumps: a YUY2 video frame written as a 24-bit top-down bitmap file. Used by
// the renderer and by its internal source. The bitmap header of a type: GetBitmapInfoHeader
// (mediatype.h).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstddef>
#include <string>

class BitmapDump {
 public:
  static constexpr DWORD kHeadersSize = 54;  // file header and info header

  // Writes the sample's YUY2 frame to "<folder>\<prefix><number, three digits>.bmp", created
  // anew. Nothing is written for a null argument, a type without a bitmap header, a sample too
  // small for the frame it claims, or a file that cannot be created. The result says which
  // (callers may ignore it: a dump never changes what the caller does).
  static HRESULT WriteFrame(IMediaSample* sample, const AM_MEDIA_TYPE* type, const wchar_t* folder,
                            const wchar_t* prefix, int number);
  // The same from a frame in memory of `frameBytes` bytes, to a full file path.
  static HRESULT WriteFrame(const BYTE* frame, std::size_t frameBytes, const BITMAPINFOHEADER& header,
                            const wchar_t* path);

  // File name of a dump: "%ls\%ls%03d.bmp".
  static std::wstring FileName(const wchar_t* folder, const wchar_t* prefix, int number);
  // Bytes of one bitmap row: width x 3 rounded up to a multiple of 4.
  static DWORD RowLength(LONG width);
  // Converts |height| rows of YUY2 (pitch width x 2 bytes) into 24-bit blue-green-red rows of
  // `rowLength` bytes each (padding left as it is). An odd width ends with a single pixel that
  // reads only its own row.
  static void ConvertYuy2ToRgb24(const BYTE* source, LONG width, LONG height, BYTE* destination,
                                 DWORD rowLength);
};

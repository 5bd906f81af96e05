// What the renderer's internal source does to each frame, free of COM plumbing: the type it
// offers before the renderer says anything, how the renderer's type changes that offer, and
// the row copy (or black fill) from the renderer's frame into a buffer of the downstream
// allocator. Every read and write is bounded by the buffers' real sizes.
#pragma once

#include <cstddef>

#include "common/dshow.h"
#include "filters/base/mediatype.h"

namespace vsrc {

constexpr LONG kDefaultWidth = 720;
constexpr LONG kDefaultHeight = 480;
constexpr DWORD kDefaultImageSize = kDefaultWidth * kDefaultHeight * 2;  // 691200
// Not the NTSC 333667: the frame time the renderer's graph has always announced.
constexpr REFERENCE_TIME kDefaultFrameTime = 330000;
constexpr DWORD kDefaultBitRate = 165888000;
// Black in YUY2 as this filter has always drawn it: Y 0, Cb and Cr 128.
constexpr BYTE kBlackLuma = 0x00;
constexpr BYTE kBlackChroma = 0x80;

// The offer before the renderer's type is known: YUY2 720x480 in a VIDEOINFOHEADER2, top-down
// rows announced with a positive height (the platform's rule for YUV; the mixing renderer
// refuses a negative one).
HRESULT MakeDefaultTransmitType(CMediaType* type);

// Takes the rate, aspect and control fields of the renderer's type into `target` (a
// VIDEOINFOHEADER2 type); the rectangles, interlace flags and bitmap header of `target` stay.
// VFW_E_INVALIDMEDIATYPE when `target` is not VIDEOINFOHEADER2 or `given` is neither
// VIDEOINFOHEADER nor VIDEOINFOHEADER2 (or its block is too short); `target` is then untouched.
HRESULT DeriveOutputType(const AM_MEDIA_TYPE& given, CMediaType* target);

// One frame's copy. `source` null: black rows. The input rows are read with the pitch of
// `inHeader` (width x 2) and the output written with the pitch of `outHeader`; both are taken
// top-down whatever the sign of their heights. `dropFirstRow` moves the picture up one row.
struct FrameCopy {
  const BYTE* source = nullptr;
  std::size_t sourceBytes = 0;  // the input sample's actual data length
  BYTE* destination = nullptr;
  std::size_t destinationBytes = 0;  // the output buffer's size
  const BITMAPINFOHEADER* inHeader = nullptr;
  const BITMAPINFOHEADER* outHeader = nullptr;
  bool dropFirstRow = false;
};

// Copies (or blackens) the rows; returns the rows written, bounded by both buffers. The output's
// actual data length is then rows x output pitch. E_POINTER without a destination or headers.
HRESULT CopyFrameRows(const FrameCopy& copy, LONG* rowsWritten);

}  // namespace vsrc

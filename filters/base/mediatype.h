// AM_MEDIA_TYPE as a value: deep copies of the format block (task memory, as the platform
// expects) and of the format's IUnknown, and the free helpers that pins and samples use.
#pragma once

#include <cstdint>

#include "common/dshow.h"

class CMediaType : public AM_MEDIA_TYPE {
 public:
  CMediaType();
  explicit CMediaType(const GUID* majorType);
  CMediaType(const AM_MEDIA_TYPE& type, HRESULT* phr = nullptr);
  CMediaType(const CMediaType& type, HRESULT* phr = nullptr);
  CMediaType(CMediaType&& type) noexcept;
  ~CMediaType();

  // A failed copy of the format block leaves an empty format (see Set for the HRESULT).
  CMediaType& operator=(const AM_MEDIA_TYPE& type);
  CMediaType& operator=(const CMediaType& type);
  CMediaType& operator=(CMediaType&& type) noexcept;
  HRESULT Set(const AM_MEDIA_TYPE& type);

  // Equal types: major, sub and format type, and the same format bytes.
  bool operator==(const CMediaType& other) const;
  bool operator!=(const CMediaType& other) const { return !(*this == other); }
  // This type fits `partial`: each of its GUIDs that is not GUID_NULL must match, and a format
  // block in `partial` must match byte for byte.
  bool MatchesPartial(const CMediaType* partial) const;
  bool IsPartiallySpecified() const;
  bool IsValid() const { return majortype != GUID_NULL; }

  const GUID* Type() const { return &majortype; }
  const GUID* Subtype() const { return &subtype; }
  const GUID* FormatType() const { return &formattype; }
  BYTE* Format() const { return pbFormat; }
  ULONG FormatLength() const { return cbFormat; }

  void SetType(const GUID* type) { majortype = *type; }
  void SetSubtype(const GUID* type) { subtype = *type; }
  void SetFormatType(const GUID* type) { formattype = *type; }
  void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }
  void SetSampleSize(ULONG size);  // 0: variable size
  void SetVariableSize() { bFixedSizeSamples = FALSE; }
  BOOL IsFixedSize() const { return bFixedSizeSamples; }
  BOOL IsTemporalCompressed() const { return bTemporalCompression; }
  ULONG GetSampleSize() const { return IsFixedSize() ? lSampleSize : 0; }

  // Replaces the format block with a copy of `length` bytes. FALSE when out of memory (the
  // old block is kept then).
  BOOL SetFormat(const BYTE* format, ULONG length);
  // A new zeroed format block of `length` bytes (the old one is freed); null when out of memory.
  BYTE* AllocFormatBuffer(ULONG length);
  // Grows or shrinks the format block keeping its leading bytes (new bytes are zero); null when
  // out of memory, with the old block kept.
  BYTE* ReallocFormatBuffer(ULONG length);
  void ResetFormatBuffer();
  // Back to an empty type (fixed-size samples of 1 byte), releasing what the type held.
  void InitMediaType();

 private:
  void SetDefaults();  // for raw storage: frees nothing
};

// Frees the format block and the format's IUnknown of a type (the record itself stays).
void FreeMediaType(AM_MEDIA_TYPE& type);
// Frees a type made by CreateMediaType (or handed out by a platform enumerator).
void DeleteMediaType(AM_MEDIA_TYPE* type);
// A task-memory copy of `source`; null when out of memory.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);
// Deep copy into `target` (whose old contents are NOT freed). E_OUTOFMEMORY leaves `target`
// with no format block.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);

// The BITMAPINFOHEADER inside a FORMAT_VideoInfo (offset 48) or FORMAT_VideoInfo2 (offset 72)
// format, or null when the type has another format, no block, or a block too short to hold the
// whole header.
const BITMAPINFOHEADER* GetBitmapInfoHeader(const AM_MEDIA_TYPE* type);
BITMAPINFOHEADER* GetBitmapInfoHeader(AM_MEDIA_TYPE* type);
// The image size of a header: DWORD-aligned rows times the absolute height. 0 for a null
// header or one whose size does not fit 32 bits.
DWORD GetBitmapSize(const BITMAPINFOHEADER* header);
// The size of a bitmap dimension (a negative height means top-down rows), in 64 bits so that
// no value overflows.
inline std::int64_t Magnitude(LONG value) { return value < 0 ? -static_cast<std::int64_t>(value) : value; }

// Makes `type` a YUY2 video type (MEDIATYPE_Video / MEDIASUBTYPE_YUY2, no temporal compression)
// of `width` x `height` with a zeroed format block of `formatBytes` bytes whose bitmap header
// is filled in (16 bits per pixel, image size from the header) and fixed-size samples of that
// image size. `formatType` is FORMAT_VideoInfo or FORMAT_VideoInfo2; the block must hold its
// header (VIDEOINFOHEADER or VIDEOINFOHEADER2). What the type held before is released. Returns
// the format block (owned by the type) for the caller's other fields; null when out of memory
// or for another format type or a block too short.
BYTE* SetYuy2VideoType(CMediaType* type, LONG width, LONG height, const GUID& formatType, ULONG formatBytes);

#include "filters/base/mediatype.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) == 72);

CMediaType::CMediaType() { SetDefaults(); }

CMediaType::CMediaType(const GUID* majorType) {
  SetDefaults();
  majortype = *majorType;
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& type, HRESULT* phr) {
  const HRESULT hr = CopyMediaType(this, &type);
  if (phr && FAILED(hr)) *phr = hr;
}

CMediaType::CMediaType(const CMediaType& type, HRESULT* phr)
    : CMediaType(static_cast<const AM_MEDIA_TYPE&>(type), phr) {}

CMediaType::CMediaType(CMediaType&& type) noexcept : AM_MEDIA_TYPE(type) {
  type.pbFormat = nullptr;
  type.cbFormat = 0;
  type.pUnk = nullptr;
}

CMediaType::~CMediaType() { FreeMediaType(*this); }

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& type) {
  if (&type == this) return S_OK;
  FreeMediaType(*this);
  return CopyMediaType(this, &type);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& type) {
  Set(type);
  return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& type) {
  Set(type);
  return *this;
}

CMediaType& CMediaType::operator=(CMediaType&& type) noexcept {
  if (this != &type) {
    FreeMediaType(*this);
    static_cast<AM_MEDIA_TYPE&>(*this) = type;
    type.pbFormat = nullptr;
    type.cbFormat = 0;
    type.pUnk = nullptr;
  }
  return *this;
}

bool CMediaType::operator==(const CMediaType& other) const {
  if (majortype != other.majortype || subtype != other.subtype || formattype != other.formattype ||
      cbFormat != other.cbFormat) {
    return false;
  }
  return cbFormat == 0 || (pbFormat && other.pbFormat && std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0);
}

bool CMediaType::MatchesPartial(const CMediaType* partial) const {
  if (!partial) return true;
  if (partial->majortype != GUID_NULL && partial->majortype != majortype) return false;
  if (partial->subtype != GUID_NULL && partial->subtype != subtype) return false;
  if (partial->formattype != GUID_NULL) {
    if (partial->formattype != formattype) return false;
    if (partial->cbFormat != 0) {
      if (partial->cbFormat != cbFormat || !partial->pbFormat || !pbFormat) return false;
      if (std::memcmp(partial->pbFormat, pbFormat, cbFormat) != 0) return false;
    }
  }
  return true;
}

bool CMediaType::IsPartiallySpecified() const {
  return majortype == GUID_NULL || subtype == GUID_NULL || formattype == GUID_NULL;
}

void CMediaType::SetSampleSize(ULONG size) {
  if (size == 0) {
    SetVariableSize();
  } else {
    bFixedSizeSamples = TRUE;
    lSampleSize = size;
  }
}

BOOL CMediaType::SetFormat(const BYTE* format, ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return TRUE;
  }
  if (!format) return FALSE;
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!block) return FALSE;
  std::memcpy(block, format, length);
  ResetFormatBuffer();
  pbFormat = block;
  cbFormat = length;
  return TRUE;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return nullptr;
  }
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!block) return nullptr;
  std::memset(block, 0, length);
  ResetFormatBuffer();
  pbFormat = block;
  cbFormat = length;
  return block;
}

BYTE* CMediaType::ReallocFormatBuffer(ULONG length) {
  if (length == 0) {
    ResetFormatBuffer();
    return nullptr;
  }
  if (length == cbFormat && pbFormat) return pbFormat;
  auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!block) return nullptr;
  const ULONG kept = pbFormat ? (cbFormat < length ? cbFormat : length) : 0;
  if (kept) std::memcpy(block, pbFormat, kept);
  if (length > kept) std::memset(block + kept, 0, length - kept);
  if (pbFormat) CoTaskMemFree(pbFormat);
  pbFormat = block;
  cbFormat = length;
  return block;
}

void CMediaType::ResetFormatBuffer() {
  if (pbFormat) CoTaskMemFree(pbFormat);
  pbFormat = nullptr;
  cbFormat = 0;
}

void CMediaType::InitMediaType() {
  FreeMediaType(*this);  // a held format block and format object are released, not leaked
  SetDefaults();
}

void CMediaType::SetDefaults() {
  std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
  lSampleSize = 1;
  bFixedSizeSamples = TRUE;
}

void FreeMediaType(AM_MEDIA_TYPE& type) {
  if (type.pbFormat) CoTaskMemFree(type.pbFormat);
  type.pbFormat = nullptr;
  type.cbFormat = 0;
  if (type.pUnk) {
    type.pUnk->Release();
    type.pUnk = nullptr;
  }
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  FreeMediaType(*type);
  CoTaskMemFree(type);
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) {
  if (!source) return nullptr;
  auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!type) return nullptr;
  if (FAILED(CopyMediaType(type, source))) {
    CoTaskMemFree(type);
    return nullptr;
  }
  return type;
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
  if (!target || !source) return E_POINTER;
  if (target == source) return S_OK;
  *target = *source;
  if (source->cbFormat != 0 && source->pbFormat) {
    target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
    if (!target->pbFormat) {
      target->cbFormat = 0;
      target->pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
  } else {
    target->pbFormat = nullptr;
    target->cbFormat = 0;
  }
  if (target->pUnk) target->pUnk->AddRef();
  return S_OK;
}

const BITMAPINFOHEADER* GetBitmapInfoHeader(const AM_MEDIA_TYPE* type) {
  if (!type || !type->pbFormat) return nullptr;
  size_t offset = 0;
  if (type->formattype == FORMAT_VideoInfo) {
    offset = offsetof(VIDEOINFOHEADER, bmiHeader);
  } else if (type->formattype == FORMAT_VideoInfo2) {
    offset = offsetof(VIDEOINFOHEADER2, bmiHeader);
  } else {
    return nullptr;
  }
  if (type->cbFormat < offset + sizeof(BITMAPINFOHEADER)) return nullptr;
  return reinterpret_cast<const BITMAPINFOHEADER*>(type->pbFormat + offset);
}

BITMAPINFOHEADER* GetBitmapInfoHeader(AM_MEDIA_TYPE* type) {
  return const_cast<BITMAPINFOHEADER*>(GetBitmapInfoHeader(static_cast<const AM_MEDIA_TYPE*>(type)));
}

DWORD GetBitmapSize(const BITMAPINFOHEADER* header) {
  if (!header || header->biWidth < 0) return 0;
  const unsigned long long rowBits =
      static_cast<unsigned long long>(header->biWidth) * header->biBitCount;
  const unsigned long long rowBytes = ((rowBits + 31) / 32) * 4;
  const unsigned long long height = static_cast<unsigned long long>(std::llabs(static_cast<long long>(header->biHeight)));
  const unsigned long long size = rowBytes * height;
  return size > 0xFFFFFFFFull ? 0 : static_cast<DWORD>(size);
}

BYTE* SetYuy2VideoType(CMediaType* type, LONG width, LONG height, const GUID& formatType, ULONG formatBytes) {
  if (!type) return nullptr;
  const ULONG needed = formatType == FORMAT_VideoInfo    ? sizeof(VIDEOINFOHEADER)
                       : formatType == FORMAT_VideoInfo2 ? sizeof(VIDEOINFOHEADER2)
                                                         : 0;
  if (needed == 0 || formatBytes < needed) return nullptr;
  type->InitMediaType();  // releases a format block the type may carry already
  type->SetType(&MEDIATYPE_Video);
  type->SetSubtype(&MEDIASUBTYPE_YUY2);
  type->SetFormatType(&formatType);
  type->SetTemporalCompression(FALSE);
  BYTE* format = type->AllocFormatBuffer(formatBytes);
  if (!format) return nullptr;
  BITMAPINFOHEADER* header = GetBitmapInfoHeader(static_cast<AM_MEDIA_TYPE*>(type));
  header->biSize = sizeof(BITMAPINFOHEADER);
  header->biWidth = width;
  header->biHeight = height;
  header->biPlanes = 1;
  header->biBitCount = 16;
  header->biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
  header->biSizeImage = GetBitmapSize(header);
  type->SetSampleSize(header->biSizeImage);
  return format;
}

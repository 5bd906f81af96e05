// The Line 21 decoder stand-in (created by the platform's class identifier): Line 21 byte pairs
// in, a caption picture out (RGB32, 320x240 unless SetOutputFormat chose another size).
//
// Decoding is simple on purpose: parity bits are dropped, printable characters are appended to
// one caption row (at most kMaxChars, the oldest dropped), and the pair 0x14 0x2C (erase
// displayed memory, either channel) clears the row. The picture is the background colour (black
// in transparent mode) with one white cell per character of the row, drawn only while a caption
// or text service is selected and the service state is on. Every IAMLine21Decoder call is
// recorded in the journal ("Line21Decoder") and can be made to fail.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "filters/base/transform.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_filters.h"

namespace {

using doubles::Journal;

constexpr char kObject[] = "Line21Decoder";
constexpr LONG kDefaultWidth = 320;
constexpr LONG kDefaultHeight = 240;
constexpr size_t kMaxChars = 32;
constexpr LONG kCellWidth = 8;
constexpr LONG kCellHeight = 12;
constexpr LONG kCellTop = 8;  // rows from the top of the picture

BITMAPINFOHEADER DefaultHeader() {
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = kDefaultWidth;
  header.biHeight = kDefaultHeight;
  header.biPlanes = 1;
  header.biBitCount = 32;
  header.biCompression = BI_RGB;
  header.biSizeImage = kDefaultWidth * kDefaultHeight * 4;
  return header;
}

class Line21Decoder final : public CTransformFilter, public IAMLine21Decoder {
 public:
  Line21Decoder(IUnknown* outer, HRESULT* phr) : CTransformFilter(L"Sim Line 21 decoder", outer, CLSID_Line21Decoder, phr) {
    // The pins exist from the start: a pin enumerator made before they do would be out of step.
    if (!GetPin(0) && phr) *phr = E_OUTOFMEMORY;
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IAMLine21Decoder) return GetInterface(static_cast<IAMLine21Decoder*>(this), out);
    return CTransformFilter::NonDelegatingQueryInterface(iid, out);
  }

  // --- Types ------------------------------------------------------------------------------------
  HRESULT CheckInputType(const CMediaType* in) override {
    return *in->Type() == MEDIATYPE_AUXLine21Data && *in->Subtype() == MEDIASUBTYPE_Line21_BytePair
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override {
    if (CheckInputType(in) != S_OK) return VFW_E_TYPE_NOT_ACCEPTED;
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(out);
    if (*out->Type() != MEDIATYPE_Video || *out->Subtype() != MEDIASUBTYPE_RGB32 ||
        *out->FormatType() != FORMAT_VideoInfo || !header) {
      return VFW_E_TYPE_NOT_ACCEPTED;
    }
    CAutoLock lock(&settingsLock_);
    return header->biWidth == format_.biWidth && std::abs(header->biHeight) == format_.biHeight &&
                   header->biBitCount == 32
               ? S_OK
               : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    VIDEOINFOHEADER info{};
    {
      CAutoLock lock(&settingsLock_);
      info.bmiHeader = format_;
    }
    info.AvgTimePerFrame = 333667;
    type->InitMediaType();
    type->SetType(&MEDIATYPE_Video);
    type->SetSubtype(&MEDIASUBTYPE_RGB32);
    type->SetFormatType(&FORMAT_VideoInfo);
    if (!type->SetFormat(reinterpret_cast<const BYTE*>(&info), sizeof(info))) return E_OUTOFMEMORY;
    type->SetSampleSize(info.bmiHeader.biSizeImage);
    return S_OK;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES wanted = *request, actual{};
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_pOutput->CurrentMediaType());
    if (!header) return VFW_E_TYPE_NOT_ACCEPTED;
    wanted.cBuffers = std::max<LONG>(wanted.cBuffers, 2);
    wanted.cbBuffer = std::max<LONG>(wanted.cbBuffer, static_cast<LONG>(GetBitmapSize(header)));
    HRESULT hr = allocator->SetProperties(&wanted, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < wanted.cbBuffer ? E_FAIL : S_OK;
  }

  // --- Streaming --------------------------------------------------------------------------------
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override {
    BYTE* source = nullptr;
    BYTE* target = nullptr;
    if (FAILED(in->GetPointer(&source)) || FAILED(out->GetPointer(&target))) return E_POINTER;
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_pOutput->CurrentMediaType());
    if (!header) return E_UNEXPECTED;
    const LONG length = in->GetActualDataLength();
    const LONG size = static_cast<LONG>(GetBitmapSize(header));
    if (out->GetSize() < size) return E_OUTOFMEMORY;

    Journal& journal = Journal::Instance();
    CAutoLock lock(&settingsLock_);
    for (LONG i = 0; i + 1 < length; i += 2) Decode(source[i] & 0x7F, source[i + 1] & 0x7F);
    journal.SetValue(doubles::kValueLine21Pairs, journal.Value(doubles::kValueLine21Pairs) + length / 2);

    const DWORD background = mode_ == AM_L21_DRAWBGMODE_Transparent ? 0 : background_;
    auto* pixels = reinterpret_cast<DWORD*>(target);
    const LONG width = header->biWidth, height = std::abs(header->biHeight);
    std::fill(pixels, pixels + width * height, background);
    if (Showing()) {
      for (size_t c = 0; c < row_.size(); ++c) {
        for (LONG y = kCellTop; y < kCellTop + kCellHeight - 2 && y < height; ++y) {
          // Bottom-up for a positive height: picture row y is buffer row height-1-y.
          const LONG line = header->biHeight > 0 ? height - 1 - y : y;
          for (LONG x = static_cast<LONG>(c) * kCellWidth; x < static_cast<LONG>(c + 1) * kCellWidth - 1 && x < width; ++x) {
            pixels[line * width + x] = 0x00FFFFFF;
          }
        }
      }
    }
    out->SetActualDataLength(size);
    journal.SetValue(doubles::kValueLine21Frames, journal.Value(doubles::kValueLine21Frames) + 1);
    return S_OK;
  }

  // --- IAMLine21Decoder -------------------------------------------------------------------------
  STDMETHODIMP GetDecoderLevel(AM_LINE21_CCLEVEL* level) override {
    if (!level) return E_POINTER;
    const HRESULT hr = Record("GetDecoderLevel");
    if (SUCCEEDED(hr)) *level = AM_L21_CCLEVEL_TC2;
    return hr;
  }
  STDMETHODIMP GetCurrentService(AM_LINE21_CCSERVICE* service) override {
    return GetSetting("GetCurrentService", service, service_);
  }
  STDMETHODIMP SetCurrentService(AM_LINE21_CCSERVICE service) override {
    const bool valid =
        (service >= AM_L21_CCSERVICE_None && service <= AM_L21_CCSERVICE_XDS) || service == AM_L21_CCSERVICE_DefChannel;
    return SetSetting("SetCurrentService", service, valid, service_,
                      service == AM_L21_CCSERVICE_DefChannel ? AM_L21_CCSERVICE_Caption1 : service);
  }
  STDMETHODIMP GetServiceState(AM_LINE21_CCSTATE* state) override {
    return GetSetting("GetServiceState", state, state_);
  }
  STDMETHODIMP SetServiceState(AM_LINE21_CCSTATE state) override {
    return SetSetting("SetServiceState", state, state == AM_L21_CCSTATE_Off || state == AM_L21_CCSTATE_On, state_, state);
  }
  STDMETHODIMP GetOutputFormat(LPBITMAPINFOHEADER header) override {
    return GetSetting("GetOutputFormat", header, format_);
  }
  // Any 32-bit RGB size from 16x16 to 1920x1080; not while the output is connected.
  STDMETHODIMP SetOutputFormat(LPBITMAPINFO info) override {
    if (!info) return E_POINTER;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    const HRESULT hr = Record("SetOutputFormat", h.biWidth, h.biHeight, h.biBitCount);
    if (FAILED(hr)) return hr;
    const LONG height = std::abs(h.biHeight);
    if (h.biBitCount != 32 || h.biCompression != BI_RGB || h.biWidth < 16 || h.biWidth > 1920 || height < 16 ||
        height > 1080) {
      return E_INVALIDARG;
    }
    CAutoLock state(&m_csFilter);
    if (OutputPin() && OutputPin()->IsConnected()) return VFW_E_ALREADY_CONNECTED;
    CAutoLock lock(&settingsLock_);
    format_ = DefaultHeader();
    format_.biWidth = h.biWidth;
    format_.biHeight = height;
    format_.biSizeImage = static_cast<DWORD>(h.biWidth * height * 4);
    return S_OK;
  }
  STDMETHODIMP GetBackgroundColor(DWORD* color) override {
    return GetSetting("GetBackgroundColor", color, background_);
  }
  STDMETHODIMP SetBackgroundColor(DWORD color) override {
    return SetSetting("SetBackgroundColor", color, true, background_, color);
  }
  STDMETHODIMP GetRedrawAlways(LPBOOL option) override {
    return GetSetting("GetRedrawAlways", option, redrawAlways_);
  }
  STDMETHODIMP SetRedrawAlways(BOOL option) override {
    return SetSetting("SetRedrawAlways", option, true, redrawAlways_, option ? TRUE : FALSE);
  }
  STDMETHODIMP GetDrawBackgroundMode(AM_LINE21_DRAWBGMODE* mode) override {
    return GetSetting("GetDrawBackgroundMode", mode, mode_);
  }
  STDMETHODIMP SetDrawBackgroundMode(AM_LINE21_DRAWBGMODE mode) override {
    return SetSetting("SetDrawBackgroundMode", mode,
                      mode == AM_L21_DRAWBGMODE_Opaque || mode == AM_L21_DRAWBGMODE_Transparent, mode_, mode);
  }

 private:
  static HRESULT Record(const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0, std::int64_t a2 = 0) {
    return Journal::Instance().Record(kObject, method, a0, a1, a2);
  }
  // A getter: the call recorded, then (unless the journal fails it) the setting copied out.
  template <class T>
  HRESULT GetSetting(const char* method, T* out, const T& setting) {
    if (!out) return E_POINTER;
    const HRESULT hr = Record(method);
    CAutoLock lock(&settingsLock_);
    if (SUCCEEDED(hr)) *out = setting;
    return hr;
  }
  // A setter: the call recorded with `given`, an invalid value refused, `value` stored.
  template <class T>
  HRESULT SetSetting(const char* method, std::int64_t given, bool valid, T& setting, T value) {
    const HRESULT hr = Record(method, given);
    if (FAILED(hr)) return hr;
    if (!valid) return E_INVALIDARG;
    CAutoLock lock(&settingsLock_);
    setting = value;
    return S_OK;
  }
  // With settingsLock_ held.
  bool Showing() const {
    return state_ == AM_L21_CCSTATE_On && service_ >= AM_L21_CCSERVICE_Caption1 && service_ <= AM_L21_CCSERVICE_Text2;
  }
  void Decode(BYTE first, BYTE second) {
    if ((first == 0x14 || first == 0x1C) && second == 0x2C) {
      row_.clear();
      return;
    }
    for (BYTE c : {first, second}) {
      if (c < 0x20) continue;  // padding and the control codes this decoder ignores
      if (row_.size() == kMaxChars) row_.erase(row_.begin());
      row_.push_back(static_cast<char>(c));
    }
  }

  CCritSec settingsLock_;  // the fields below; a leaf lock (the streaming thread takes it)
  BITMAPINFOHEADER format_ = DefaultHeader();
  AM_LINE21_CCSERVICE service_ = AM_L21_CCSERVICE_None;
  AM_LINE21_CCSTATE state_ = AM_L21_CCSTATE_On;
  AM_LINE21_DRAWBGMODE mode_ = AM_L21_DRAWBGMODE_Transparent;
  DWORD background_ = 0x00000000;
  BOOL redrawAlways_ = FALSE;
  std::string row_;
};

}  // namespace

CUnknown* CreateSimLine21Decoder(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) Line21Decoder(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

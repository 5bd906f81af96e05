// The capture filter of the simulated card: five output pins in the order the device manager
// counts them ("Virtual Video Out", "Virtual Audio Out", "Capture", "VBI", "AUDIO Out"), the
// picture controls (IAMVideoProcAmp) and the video decoder (IAMAnalogVideoDecoder).
// "Capture" and "AUDIO Out" are live sources; the virtual pins carry private types that only
// the encoder accepts and deliver nothing (the encoder makes its stream itself); "VBI" only
// connects.
// The second family's numbered capture filter ("DORU Capture n") has its own pin layout by the
// tuner number its friendly name ends in: tuner 1 [video, "Audio PCM"], every later tuner
// [video, "VBI", "Audio PCM"]; its video pin offers the field-planar type first.
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "filters/base/mediatype.h"
#include "filters/include/field_video.h"
#include "sim/card/card_filter.h"
#include "sim/card/live_pin.h"
#include "sim/card/picture.h"

namespace simcard {

namespace {

// {F72A76E1-EB0A-11D0-ACE4-0000C0CC16BA}
constexpr GUID kMediaTypeVbi = {0xf72a76e1, 0xeb0a, 0x11d0, {0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};
// {CA20D9A0-3E3E-11D1-9BF9-00C04FBBDEBF}
constexpr GUID kSubtypeRaw8 = {0xca20d9a0, 0x3e3e, 0x11d1, {0x9b, 0xf9, 0x00, 0xc0, 0x4f, 0xbb, 0xde, 0xbf}};

constexpr REFERENCE_TIME kFramePeriod = 333667;  // 29.97 frames per second
constexpr REFERENCE_TIME kAudioPeriod = 200000;  // 20 ms
constexpr int kAudioRate = 48000, kAudioChannels = 2, kAudioBits = 16;
constexpr LONG kAudioBuffer = kAudioRate / 50 * kAudioChannels * kAudioBits / 8;  // 3840 bytes

CMediaType VideoType(LONG width, LONG height, const GUID& subtype, WORD bits, bool info2) {
  CMediaType type(&MEDIATYPE_Video);
  type.SetSubtype(&subtype);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = bits;
  header.biCompression = subtype == MEDIASUBTYPE_RGB32 ? BI_RGB : subtype.Data1;
  header.biSizeImage = GetBitmapSize(&header);
  const RECT rect{0, 0, width, height};
  if (info2) {
    type.SetFormatType(&FORMAT_VideoInfo2);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    vih->rcSource = rect;
    vih->rcTarget = rect;
    vih->AvgTimePerFrame = kFramePeriod;
    vih->dwInterlaceFlags = AMINTERLACE_IsInterlaced;
    vih->dwPictAspectRatioX = 4;
    vih->dwPictAspectRatioY = 3;
    vih->bmiHeader = header;
  } else {
    type.SetFormatType(&FORMAT_VideoInfo);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    vih->rcSource = rect;
    vih->rcTarget = rect;
    vih->AvgTimePerFrame = kFramePeriod;
    vih->bmiHeader = header;
  }
  type.SetSampleSize(header.biSizeImage);
  type.SetTemporalCompression(FALSE);
  return type;
}

std::vector<CMediaType> VideoTypes(UINT format);

CMediaType FieldPlanarType(LONG width, LONG height) {
  CMediaType type(&MEDIATYPE_FieldVideo);
  type.SetSubtype(&MEDIASUBTYPE_FieldPlanar420);
  type.SetFormatType(&FORMAT_FieldVideoNtsc);
  auto* format = reinterpret_cast<field_video::FieldVideoFormat*>(type.AllocFormatBuffer(sizeof(field_video::FieldVideoFormat)));
  *format = {};
  format->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  format->bmiHeader.biWidth = width;
  format->bmiHeader.biHeight = height;
  format->bmiHeader.biPlanes = 1;
  format->bmiHeader.biBitCount = 16;
  format->bmiHeader.biCompression = MEDIASUBTYPE_FieldPlanar420.Data1;
  format->bmiHeader.biSizeImage = field_video::MakePlaneLayout(width, height).totalBytes;
  type.SetSampleSize(format->bmiHeader.biSizeImage);
  type.SetTemporalCompression(FALSE);
  return type;
}

// The picture's header: the format block itself for the field-planar type.
const BITMAPINFOHEADER* PictureHeader(const CMediaType& type) {
  if (*type.Type() == MEDIATYPE_FieldVideo) {
    return type.FormatLength() >= sizeof(BITMAPINFOHEADER) ? reinterpret_cast<const BITMAPINFOHEADER*>(type.Format())
                                                           : nullptr;
  }
  return GetBitmapInfoHeader(&type);
}

// A YUY2 frame (top row first) as a field-planar frame: even rows the field stored first.
void YuyvToFieldPlanar(const std::vector<std::uint8_t>& yuy2, LONG width, LONG height, BYTE* out) {
  const field_video::PlaneLayout layout = field_video::MakePlaneLayout(width, height);
  auto* header = reinterpret_cast<field_video::FieldFrameHeader*>(out);
  *header = {};
  header->duration = field_video::kFrameTimeNtsc;
  std::vector<std::uint8_t> luma(static_cast<size_t>(width)), u(static_cast<size_t>(width / 2)),
      v(static_cast<size_t>(width / 2));
  for (LONG y = 0; y < height; ++y) {
    const std::uint8_t* row = yuy2.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 2;
    for (LONG x = 0; x < width / 2; ++x) {
      luma[2 * x] = row[4 * x];
      u[x] = row[4 * x + 1];
      luma[2 * x + 1] = row[4 * x + 2];
      v[x] = row[4 * x + 3];
    }
    const int field = y % 2;
    const size_t line = static_cast<size_t>(y / 2);
    field_video::SampleGroup6of8::Pack(luma.data(), luma.size(), out + layout.luma[field] + line * layout.pitch);
    field_video::SampleGroup6of8::Pack(u.data(), u.size(), out + layout.u[field] + line * layout.chromaPitch);
    field_video::SampleGroup6of8::Pack(v.data(), v.size(), out + layout.v[field] + line * layout.chromaPitch);
  }
}

std::vector<CMediaType> VideoTypes(UINT format, bool fieldPlanar) {
  std::vector<CMediaType> types = VideoTypes(format);
  if (fieldPlanar) {
    const BITMAPINFOHEADER* first = GetBitmapInfoHeader(&types.front());
    types.insert(types.begin(), FieldPlanarType(first->biWidth, first->biHeight));
  }
  return types;
}

std::vector<CMediaType> VideoTypes(UINT format) {
  switch (format) {
    case kSimCaptureNarrow: return {VideoType(352, 480, MEDIASUBTYPE_YUY2, 16, false)};
    case kSimCaptureInterlaced: return {VideoType(720, 480, MEDIASUBTYPE_YUY2, 16, true)};
    default:
      return {VideoType(720, 480, MEDIASUBTYPE_YUY2, 16, false), VideoType(720, 480, MEDIASUBTYPE_RGB32, 32, false)};
  }
}

CMediaType AudioType() {
  CMediaType type(&MEDIATYPE_Audio);
  type.SetSubtype(&MEDIASUBTYPE_PCM);
  type.SetFormatType(&FORMAT_WaveFormatEx);
  auto* wave = reinterpret_cast<WAVEFORMATEX*>(type.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  wave->wFormatTag = WAVE_FORMAT_PCM;
  wave->nChannels = kAudioChannels;
  wave->nSamplesPerSec = kAudioRate;
  wave->wBitsPerSample = kAudioBits;
  wave->nBlockAlign = kAudioChannels * kAudioBits / 8;
  wave->nAvgBytesPerSec = kAudioRate * wave->nBlockAlign;
  type.SetSampleSize(wave->nBlockAlign);
  return type;
}

// A pin with fixed types that delivers nothing (the virtual pins and VBI).
class QuietPin final : public CBaseOutputPin {
 public:
  QuietPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, const GUID& major,
           const GUID& subtype)
      : CBaseOutputPin(L"Sim quiet pin", filter, lock, phr, name), major_(major), subtype_(subtype) {}

  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->SetType(&major_);
    type->SetSubtype(&subtype_);
    type->SetFormatType(&FORMAT_None);
    type->SetSampleSize(4096);
    return S_OK;
  }
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type->Type() == major_ && *type->Subtype() == subtype_ ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES wanted = *request, actual{};
    if (wanted.cBuffers < 1) wanted.cBuffers = 1;
    if (wanted.cbBuffer < 4096) wanted.cbBuffer = 4096;
    return allocator->SetProperties(&wanted, &actual);
  }

 private:
  const GUID major_, subtype_;
};

class CaptureFilter;

class VideoPin final : public LivePin {
 public:
  VideoPin(CaptureFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, bool fieldPlanar);
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

 protected:
  HRESULT FillSample(IMediaSample* sample, LONGLONG index) override;
  void Delivered() override;

 private:
  CaptureFilter* const capture_;
  const bool fieldPlanar_;
  // The last painted frame (streaming thread only).
  std::vector<std::uint8_t> frame_;
  SimCardPicture painted_{};
  DWORD paintedFrequency_ = 0xFFFFFFFF;
};

class AudioPin final : public LivePin {
 public:
  AudioPin(CaptureFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name);
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *type = AudioType();
    return S_OK;
  }
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type == AudioType() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES wanted = *request, actual{};
    if (wanted.cBuffers < 8) wanted.cBuffers = 8;
    if (wanted.cbBuffer < kAudioBuffer) wanted.cbBuffer = kAudioBuffer;
    const HRESULT hr = allocator->SetProperties(&wanted, &actual);
    return FAILED(hr) ? hr : (actual.cbBuffer >= kAudioBuffer ? S_OK : E_FAIL);
  }

 protected:
  HRESULT FillSample(IMediaSample* sample, LONGLONG index) override;
  void Delivered() override;

 private:
  CaptureFilter* const capture_;
};

std::mutex g_capturesLock;
std::set<CaptureFilter*> g_captures;  // bound capture filters alive now

class CaptureFilter final : public CardFilter,
                            public IAMVideoProcAmp,
                            public IAMAnalogVideoDecoder,
                            public IKsPropertySet {
 public:
  // `numbered`: the second family's layout (see the top of the file).
  CaptureFilter(IUnknown* outer, HRESULT* phr, bool numbered)
      : CardFilter(L"Sim capture", outer, numbered ? kClsidSimRulCapture : kClsidSimCapture, phr), numbered_(numbered) {
    if (numbered) {
      pins_[0] = std::make_unique<VideoPin>(this, &lock_, phr, L"Video", true);
      pins_[1] = std::make_unique<QuietPin>(this, &lock_, phr, L"VBI", kMediaTypeVbi, kSubtypeRaw8);
      pins_[2] = std::make_unique<AudioPin>(this, &lock_, phr, L"Audio PCM");
      pinCount_ = 2;
      return;
    }
    pins_[0] = std::make_unique<QuietPin>(this, &lock_, phr, L"Virtual Video Out", kMediaTypeSimVirtual,
                                          kSubtypeSimVirtualVideo);
    pins_[1] = std::make_unique<QuietPin>(this, &lock_, phr, L"Virtual Audio Out", kMediaTypeSimVirtual,
                                          kSubtypeSimVirtualAudio);
    pins_[2] = std::make_unique<VideoPin>(this, &lock_, phr, L"Capture", false);
    pins_[3] = std::make_unique<QuietPin>(this, &lock_, phr, L"VBI", kMediaTypeVbi, kSubtypeRaw8);
    pins_[4] = std::make_unique<AudioPin>(this, &lock_, phr, L"AUDIO Out");
    pinCount_ = 5;
  }
  ~CaptureFilter() override {
    std::lock_guard<std::mutex> guard(g_capturesLock);
    g_captures.erase(this);
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IAMVideoProcAmp) return GetInterface(static_cast<IAMVideoProcAmp*>(this), out);
    if (iid == IID_IAMAnalogVideoDecoder) return GetInterface(static_cast<IAMAnalogVideoDecoder*>(this), out);
    if (iid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet*>(this), out);
    return CardFilter::NonDelegatingQueryInterface(iid, out);
  }
  int GetPinCount() override { return pinCount_; }
  CBasePin* GetPin(int n) override {
    if (n < 0 || n >= pinCount_) return nullptr;
    // Tuner 1 of the numbered layout has no "VBI" between video and sound.
    if (numbered_ && pinCount_ == 2 && n == 1) return pins_[2].get();
    return pins_[n].get();
  }

  // The numbered layout learns its tuner from the friendly name's number.
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override {
    const HRESULT hr = CardFilter::Load(bag, log);
    if (FAILED(hr) || !numbered_) return hr;
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    if (SUCCEEDED(bag->Read(L"FriendlyName", &name, log)) && name.vt == VT_BSTR && name.bstrVal) {
      const wchar_t* digits = wcsrchr(name.bstrVal, L' ');
      const long number = digits ? wcstol(digits + 1, nullptr, 10) : 1;
      CAutoLock lock(&lock_);
      pinCount_ = number > 1 ? 3 : 2;
      IncrementPinVersion();
    }
    VariantClear(&name);
    return hr;
  }

  // A live source cannot cue data while paused.
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override {
    const HRESULT hr = CBaseFilter::GetState(timeoutMs, state);
    return SUCCEEDED(hr) && *state == State_Paused ? VFW_S_CANT_CUE : hr;
  }

  // IAMVideoProcAmp
  STDMETHODIMP GetRange(long property, long* minimum, long* maximum, long* step, long* defaultValue,
                        long* flags) override {
    if (!minimum || !maximum || !step || !defaultValue || !flags) return E_POINTER;
    std::shared_ptr<CardState> card;
    HRESULT hr = Enter("GetRange", &card);
    if (FAILED(hr)) return hr;
    ProcAmpRange range{};
    hr = card->GetProcAmp(property, &range);
    if (FAILED(hr)) return hr;
    *minimum = range.minimum;
    *maximum = range.maximum;
    *step = range.step;
    *defaultValue = range.defaultValue;
    *flags = range.flags;
    return S_OK;
  }
  STDMETHODIMP Set(long property, long value, long flags) override {
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("Set", &card);
    return FAILED(hr) ? hr : card->SetProcAmpValue(property, value, flags);
  }
  STDMETHODIMP Get(long property, long* value, long* flags) override {
    if (!value || !flags) return E_POINTER;
    std::shared_ptr<CardState> card;
    HRESULT hr = Enter("Get", &card);
    if (FAILED(hr)) return hr;
    ProcAmpRange range{};
    hr = card->GetProcAmp(property, &range);
    if (FAILED(hr)) return hr;
    *value = range.value;
    *flags = range.valueFlags;
    return S_OK;
  }

  // IAMAnalogVideoDecoder: an NTSC-M decoder, always locked.
  STDMETHODIMP get_AvailableTVFormats(long* formats) override { return Answer(formats, AnalogVideo_NTSC_M); }
  STDMETHODIMP put_TVFormat(long format) override { return format == AnalogVideo_NTSC_M ? S_OK : E_INVALIDARG; }
  STDMETHODIMP get_TVFormat(long* format) override { return Answer(format, AnalogVideo_NTSC_M); }
  STDMETHODIMP get_HorizontalLocked(long* locked) override { return Answer(locked, 1); }
  STDMETHODIMP put_VCRHorizontalLocking(long) override { return S_OK; }
  STDMETHODIMP get_VCRHorizontalLocking(long* locking) override { return Answer(locking, 0); }
  STDMETHODIMP get_NumberOfLines(long* lines) override { return Answer(lines, 525); }
  STDMETHODIMP put_OutputEnable(long) override { return S_OK; }
  STDMETHODIMP get_OutputEnable(long* enabled) override { return Answer(enabled, 1); }

  std::shared_ptr<CardState> Card() const { return card(); }
  HRESULT Post(long code, LONG_PTR p1, LONG_PTR p2) { return NotifyEvent(code, p1, p2); }

  // IKsPropertySet: the card's properties of this filter's role.
  STDMETHODIMP Set(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize) override {
    return WithKs("KsSet", [&](KsProperties& ks) {
      return ks.Set(kSimRoleCapture, set, id, instance, instanceSize, data, dataSize);
    });
  }
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize,
                   DWORD* returned) override {
    return WithKs("KsGet", [&](KsProperties& ks) {
      return ks.Get(kSimRoleCapture, set, id, instance, instanceSize, data, dataSize, returned);
    });
  }
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override {
    return WithKs("QuerySupported",
                  [&](KsProperties& ks) { return ks.QuerySupported(kSimRoleCapture, set, id, support); });
  }

 protected:
  void OnBound() override {
    std::lock_guard<std::mutex> guard(g_capturesLock);
    g_captures.insert(this);
  }

 private:
  static HRESULT Answer(long* out, long value) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
  }

  const bool numbered_;
  int pinCount_ = 5;
  std::unique_ptr<CBaseOutputPin> pins_[5];
};

VideoPin::VideoPin(CaptureFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, bool fieldPlanar)
    : LivePin(L"Sim capture pin", filter, lock, phr, name, kFramePeriod), capture_(filter), fieldPlanar_(fieldPlanar) {}

HRESULT VideoPin::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  std::shared_ptr<CardState> card = capture_->Card();
  const std::vector<CMediaType> types = VideoTypes(card ? card->captureFormat() : kSimCaptureDefault, fieldPlanar_);
  if (static_cast<size_t>(position) >= types.size()) return VFW_S_NO_MORE_ITEMS;
  *type = types[static_cast<size_t>(position)];
  return S_OK;
}

HRESULT VideoPin::CheckMediaType(const CMediaType* type) {
  std::shared_ptr<CardState> card = capture_->Card();
  for (const CMediaType& offered : VideoTypes(card ? card->captureFormat() : kSimCaptureDefault, fieldPlanar_)) {
    if (offered == *type) return S_OK;
  }
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT VideoPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  const BITMAPINFOHEADER* header = PictureHeader(m_mt);
  if (!header) return E_UNEXPECTED;
  const LONG size = *m_mt.Type() == MEDIATYPE_FieldVideo ? static_cast<LONG>(header->biSizeImage)
                                                         : static_cast<LONG>(GetBitmapSize(header));
  ALLOCATOR_PROPERTIES wanted = *request, actual{};
  if (wanted.cBuffers < 4) wanted.cBuffers = 4;
  if (wanted.cbBuffer < size) wanted.cbBuffer = size;
  const HRESULT hr = allocator->SetProperties(&wanted, &actual);
  return FAILED(hr) ? hr : (actual.cbBuffer >= size ? S_OK : E_FAIL);
}

HRESULT VideoPin::FillSample(IMediaSample* sample, LONGLONG) {
  std::shared_ptr<CardState> card = capture_->Card();
  const BITMAPINFOHEADER* header = PictureHeader(m_mt);
  if (!card || !header) return S_FALSE;
  const bool field = *m_mt.Type() == MEDIATYPE_FieldVideo;
  const DWORD frequency = capture_->TunedFrequency();
  const SimCardPicture picture = card->Picture(frequency);
  const PixelFormat format = header->biCompression == BI_RGB ? PixelFormat::Rgb32 : PixelFormat::Yuy2;
  const size_t size = field ? static_cast<size_t>(header->biWidth) * static_cast<size_t>(header->biHeight) * 2
                            : GetBitmapSize(header);
  if (frame_.size() != size || frequency != paintedFrequency_ || std::memcmp(&picture, &painted_, sizeof(picture)) != 0) {
    frame_ = PaintFrame(picture, frequency, header->biWidth, header->biHeight, format);
    painted_ = picture;
    paintedFrequency_ = frequency;
  }
  const size_t bytes = field ? header->biSizeImage : frame_.size();
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < static_cast<LONG>(bytes)) return E_FAIL;
  if (field) {
    YuyvToFieldPlanar(frame_, header->biWidth, header->biHeight, data);
  } else {
    std::memcpy(data, frame_.data(), frame_.size());
  }
  return sample->SetActualDataLength(static_cast<LONG>(bytes));
}

void VideoPin::Delivered() {
  if (auto card = capture_->Card()) card->CountVideoFrame();
}

AudioPin::AudioPin(CaptureFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name)
    : LivePin(L"Sim audio pin", filter, lock, phr, name, kAudioPeriod), capture_(filter) {}

HRESULT AudioPin::FillSample(IMediaSample* sample, LONGLONG index) {
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < kAudioBuffer) return E_FAIL;
  // A tone per channel: the left one from the tuned frequency, the right a fifth above it.
  const DWORD frequency = capture_->TunedFrequency();
  const double left = 300.0 + 100.0 * static_cast<double>((frequency / 250000u) % 8u);
  const double right = left * 1.5;
  auto* pcm = reinterpret_cast<std::int16_t*>(data);
  const int frames = kAudioRate / 50;
  const LONGLONG first = index * frames;
  constexpr double kTwoPi = 6.283185307179586;
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(first + i) / kAudioRate;
    pcm[i * 2] = static_cast<std::int16_t>(8000.0 * std::sin(kTwoPi * left * t));
    pcm[i * 2 + 1] = static_cast<std::int16_t>(8000.0 * std::sin(kTwoPi * right * t));
  }
  return sample->SetActualDataLength(kAudioBuffer);
}

void AudioPin::Delivered() {
  if (auto card = capture_->Card()) card->CountAudioBuffer();
}

}  // namespace

CUnknown* CreateCaptureFilter(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) CaptureFilter(outer, phr, false);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

CUnknown* CreateRulCaptureFilter(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) CaptureFilter(outer, phr, true);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

HRESULT PostCaptureEvent(const std::wstring& key, long code, LONG_PTR param1, LONG_PTR param2) {
  std::lock_guard<std::mutex> guard(g_capturesLock);
  HRESULT result = S_FALSE;
  for (CaptureFilter* capture : g_captures) {
    std::shared_ptr<CardState> card = capture->Card();
    if (!card || card->key() != key) continue;
    if (SUCCEEDED(capture->Post(code, param1, param2))) {
      card->CountEvent();
      result = S_OK;
    }
  }
  return result;
}

}  // namespace simcard

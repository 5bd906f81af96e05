// The third family's own filters of the simulated card:
// - the preview source "TAVO Preview": output 1 "Preview" (YUY2 720x480 frames; IAMStreamConfig
//   reports the card's preview format: VIDEOINFOHEADER, VIDEOINFOHEADER2 or another format
//   block), output 2 "Audio PCM" (48 kHz stereo 16-bit), IKsPropertySet with the preview
//   audio-mode event registration;
// - the stand-alone encoder "TAVO Encode": output "MPEG Stream" (packs of a byte pattern with a
//   counter), IKsPropertySet with the encoder's parameters and its two event registrations. On a
//   change from running to paused it signals the registered "end" event (at once, after the
//   card's delay, or never); "error" is signalled on the test's command (SimCard_SignalKsEvent).
// Both stream slowly, so that graphs of many tests stay cheap.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "filters/base/mediatype.h"
#include "sim/card/card_filter.h"
#include "sim/card/picture.h"
#include "sim/card/live_pin.h"

namespace simcard {

namespace {

constexpr LONG kWidth = 720, kHeight = 480;
constexpr REFERENCE_TIME kPreviewPeriod = 1000000;  // 10 frames per second
constexpr REFERENCE_TIME kAudioPeriod = 200000;     // 20 ms
constexpr LONG kAudioBuffer = 48000 / 50 * 4;       // 20 ms of 48 kHz stereo 16-bit
constexpr LONG kPackSize = 2048;
constexpr REFERENCE_TIME kPackPeriod = 100000;  // 10 ms

CMediaType PreviewType(UINT format) {
  CMediaType type(&MEDIATYPE_Video);
  type.SetSubtype(&MEDIASUBTYPE_YUY2);
  BITMAPINFOHEADER header{};
  header.biSize = sizeof(header);
  header.biWidth = kWidth;
  header.biHeight = kHeight;
  header.biPlanes = 1;
  header.biBitCount = 16;
  header.biCompression = MEDIASUBTYPE_YUY2.Data1;
  header.biSizeImage = kWidth * kHeight * 2;
  if (format == kSimPreviewVideoInfo2) {
    type.SetFormatType(&FORMAT_VideoInfo2);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
    vih->AvgTimePerFrame = kPreviewPeriod;
    vih->bmiHeader = header;
  } else if (format == kSimPreviewVideoInfo) {
    type.SetFormatType(&FORMAT_VideoInfo);
    auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    vih->AvgTimePerFrame = kPreviewPeriod;
    vih->bmiHeader = header;
  } else {
    // A block that carries the same header but is neither of the video-information formats.
    type.SetFormatType(&FORMAT_MPEG2Video);
    auto* block = reinterpret_cast<VIDEOINFOHEADER*>(type.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
    block->bmiHeader = header;
  }
  type.SetSampleSize(header.biSizeImage);
  return type;
}

CMediaType PcmType() {
  CMediaType type(&MEDIATYPE_Audio);
  type.SetSubtype(&MEDIASUBTYPE_PCM);
  type.SetFormatType(&FORMAT_WaveFormatEx);
  auto* wave = reinterpret_cast<WAVEFORMATEX*>(type.AllocFormatBuffer(sizeof(WAVEFORMATEX)));
  wave->wFormatTag = WAVE_FORMAT_PCM;
  wave->nChannels = 2;
  wave->nSamplesPerSec = 48000;
  wave->wBitsPerSample = 16;
  wave->nBlockAlign = 4;
  wave->nAvgBytesPerSec = 48000 * 4;
  type.SetSampleSize(4);
  return type;
}

HRESULT SetBuffers(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request, LONG count, LONG size) {
  ALLOCATOR_PROPERTIES wanted = *request, actual{};
  if (wanted.cBuffers < count) wanted.cBuffers = count;
  if (wanted.cbBuffer < size) wanted.cbBuffer = size;
  const HRESULT hr = allocator->SetProperties(&wanted, &actual);
  return FAILED(hr) ? hr : (actual.cbBuffer >= size ? S_OK : E_FAIL);
}

// A live pin of one fixed media type whose samples are filled by a function of the index.
class FixedPin : public LivePin {
 public:
  using Fill = void (*)(BYTE* data, LONG size, LONGLONG index);
  FixedPin(CardFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, REFERENCE_TIME period,
           LONG count, LONG size, Fill fill)
      : LivePin(L"Sim TAVO pin", filter, lock, phr, name, period), count_(count), size_(size), fill_(fill),
        owner_(filter) {}

  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *type = Type();
    return S_OK;
  }
  HRESULT CheckMediaType(const CMediaType* type) override {
    const CMediaType mine = Type();
    return *type->Type() == *mine.Type() && *type->Subtype() == *mine.Subtype() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    return SetBuffers(allocator, request, count_, size_);
  }

 protected:
  virtual CMediaType Type() const = 0;
  std::shared_ptr<CardState> Card() const { return owner_->card(); }
  const CardFilter* owner() const { return owner_; }
  HRESULT FillSample(IMediaSample* sample, LONGLONG index) override {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < size_) return E_FAIL;
    fill_(data, size_, index);
    return sample->SetActualDataLength(size_);
  }

 private:
  const LONG count_, size_;
  const Fill fill_;
  CardFilter* const owner_;
};

void FillBlack(BYTE* data, LONG size, LONGLONG) {
  for (LONG i = 0; i + 1 < size; i += 2) {
    data[i] = 0x10;
    data[i + 1] = 0x80;
  }
}
void FillSilence(BYTE* data, LONG size, LONGLONG) { std::memset(data, 0, static_cast<size_t>(size)); }
// The pack counter, then a pattern that follows it.
void FillPack(BYTE* data, LONG size, LONGLONG index) {
  const auto counter = static_cast<std::uint32_t>(index);
  std::memcpy(data, &counter, sizeof(counter));
  for (LONG i = sizeof(counter); i < size; ++i) data[i] = static_cast<BYTE>(counter + static_cast<std::uint32_t>(i));
}

// The card's picture for the tuned frequency, as the first family's capture pin shows it.
class PreviewPin final : public FixedPin, public IAMStreamConfig {
 public:
  PreviewPin(CardFilter* filter, CCritSec* lock, HRESULT* phr)
      : FixedPin(filter, lock, phr, L"Preview", kPreviewPeriod, 2, kWidth * kHeight * 2, &FillBlack) {}

  HRESULT FillSample(IMediaSample* sample, LONGLONG index) override {
    std::shared_ptr<CardState> card = Card();
    if (!card) return FixedPin::FillSample(sample, index);
    const DWORD frequency = owner()->TunedFrequency();
    const SimCardPicture picture = card->Picture(frequency);
    if (frame_.empty() || frequency != paintedFrequency_ || std::memcmp(&picture, &painted_, sizeof(picture)) != 0) {
      frame_ = PaintFrame(picture, frequency, kWidth, kHeight, PixelFormat::Yuy2);
      painted_ = picture;
      paintedFrequency_ = frequency;
    }
    BYTE* data = nullptr;
    const auto bytes = static_cast<LONG>(frame_.size());
    if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < bytes) return E_FAIL;
    std::memcpy(data, frame_.data(), frame_.size());
    return sample->SetActualDataLength(bytes);
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IAMStreamConfig) return GetInterface(static_cast<IAMStreamConfig*>(this), out);
    return FixedPin::NonDelegatingQueryInterface(iid, out);
  }

  // IAMStreamConfig: the format is the card's; nothing can be changed.
  STDMETHODIMP SetFormat(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override {
    if (!type) return E_POINTER;
    const CMediaType mine = Type();
    *type = CreateMediaType(&mine);
    if (!*type) return E_OUTOFMEMORY;
    // The formats whose sizes lie: the block is the VIDEOINFOHEADER one, its size or its
    // pointer is not.
    std::shared_ptr<CardState> card = Card();
    const UINT format = card ? card->previewFormat() : kSimPreviewVideoInfo;
    if (format == kSimPreviewShortBlock) (*type)->cbFormat = sizeof(BITMAPINFOHEADER);
    if (format == kSimPreviewNoBlock) {
      CoTaskMemFree((*type)->pbFormat);
      (*type)->pbFormat = nullptr;
    }
    return S_OK;
  }
  STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override {
    if (!count || !size) return E_POINTER;
    *count = 0;
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
  }
  STDMETHODIMP GetStreamCaps(int, AM_MEDIA_TYPE**, BYTE*) override { return E_INVALIDARG; }

 protected:
  CMediaType Type() const override {
    std::shared_ptr<CardState> card = Card();
    const UINT format = card ? card->previewFormat() : kSimPreviewVideoInfo;
    return PreviewType(format == kSimPreviewShortBlock || format == kSimPreviewNoBlock ? kSimPreviewVideoInfo : format);
  }

 private:
  // Painted again only when the picture or the frequency changed (the streaming thread's own).
  std::vector<std::uint8_t> frame_;
  SimCardPicture painted_{};
  DWORD paintedFrequency_ = 0;
};

class PcmPin final : public FixedPin {
 public:
  PcmPin(CardFilter* filter, CCritSec* lock, HRESULT* phr)
      : FixedPin(filter, lock, phr, L"Audio PCM", kAudioPeriod, 8, kAudioBuffer, &FillSilence) {}

 protected:
  CMediaType Type() const override { return PcmType(); }
};

class MpegStreamPin final : public FixedPin {
 public:
  MpegStreamPin(CardFilter* filter, CCritSec* lock, HRESULT* phr)
      : FixedPin(filter, lock, phr, L"MPEG Stream", kPackPeriod, 16, kPackSize, &FillPack) {}

 protected:
  CMediaType Type() const override {
    CMediaType type(&MEDIATYPE_Stream);
    type.SetSubtype(&MEDIASUBTYPE_MPEG2_PROGRAM);
    type.SetFormatType(&FORMAT_None);
    type.SetSampleSize(kPackSize);
    return type;
  }
};

// A card filter with output pins of its own and the card's properties of its role.
class KsCardFilter : public CardFilter, public IKsPropertySet {
 public:
  KsCardFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid, UINT role, HRESULT* phr)
      : CardFilter(name, outer, clsid, phr), role_(role) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet*>(this), out);
    return CardFilter::NonDelegatingQueryInterface(iid, out);
  }
  int GetPinCount() override { return static_cast<int>(pins_.size()); }
  CBasePin* GetPin(int n) override { return n >= 0 && n < GetPinCount() ? pins_[static_cast<size_t>(n)].get() : nullptr; }

  // A live source cannot cue data while paused.
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override {
    const HRESULT hr = CBaseFilter::GetState(timeoutMs, state);
    return SUCCEEDED(hr) && *state == State_Paused ? VFW_S_CANT_CUE : hr;
  }

  STDMETHODIMP Set(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize) override {
    return WithKs("KsSet", [&](KsProperties& ks) { return ks.Set(role_, set, id, instance, instanceSize, data, dataSize); });
  }
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize,
                   DWORD* returned) override {
    return WithKs("KsGet", [&](KsProperties& ks) {
      return ks.Get(role_, set, id, instance, instanceSize, data, dataSize, returned);
    });
  }
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override {
    return WithKs("QuerySupported", [&](KsProperties& ks) { return ks.QuerySupported(role_, set, id, support); });
  }

 protected:
  std::vector<std::unique_ptr<CBaseOutputPin>> pins_;

 private:
  const UINT role_;
};

class PreviewFilter final : public KsCardFilter {
 public:
  PreviewFilter(IUnknown* outer, HRESULT* phr)
      : KsCardFilter(L"Sim TAVO preview", outer, kClsidSimPexPreview, kSimRolePexPreview, phr) {
    pins_.push_back(std::make_unique<PreviewPin>(this, &lock_, phr));
    pins_.push_back(std::make_unique<PcmPin>(this, &lock_, phr));
  }
};

// Signals the encoder's "end" event after a delay, unless stopped first.
class DelayedEnd final : public StoppableThread {
 public:
  DelayedEnd() { SetStopTimeout(5000); }
  ~DelayedEnd() override { Stop(); }
  HRESULT Arm(DWORD delayMs, std::shared_ptr<CardState> card) {
    Stop();
    delayMs_ = delayMs;
    card_ = std::move(card);
    return Start();
  }

 protected:
  DWORD Run() override {
    if (WaitForSingleObject(stopEvent(), delayMs_) == WAIT_TIMEOUT) Signal(*card_);
    return 0;
  }

 public:
  static void Signal(CardState& card) {
    if (HANDLE end = card.ks().RegisteredHandle(kSimKsEncoderSet, 4)) {
      SetEvent(end);
      card.CountEncoderStop();
    }
  }

 private:
  DWORD delayMs_ = 0;
  std::shared_ptr<CardState> card_;
};

class PexEncoderFilter final : public KsCardFilter {
 public:
  PexEncoderFilter(IUnknown* outer, HRESULT* phr)
      : KsCardFilter(L"Sim TAVO encoder", outer, kClsidSimPexEncoder, kSimRoleEncoder, phr) {
    pins_.push_back(std::make_unique<MpegStreamPin>(this, &lock_, phr));
  }
  ~PexEncoderFilter() override { delayed_.Stop(); }

  STDMETHODIMP Pause() override {
    CAutoLock lock(&lock_);
    const bool wasRunning = m_State == State_Running;
    const HRESULT hr = CardFilter::Pause();
    if (SUCCEEDED(hr) && wasRunning) Ended();
    return hr;
  }
  STDMETHODIMP Stop() override {
    CAutoLock lock(&lock_);
    delayed_.Stop();
    return CBaseFilter::Stop();
  }

 private:
  void Ended() {
    std::shared_ptr<CardState> card = this->card();
    if (!card) return;
    switch (card->encoderStopMode()) {
      case kSimEncoderStopAtOnce: DelayedEnd::Signal(*card); break;
      case kSimEncoderStopDelayed: delayed_.Arm(card->encoderStopDelay(), card); break;
      default: break;
    }
  }

  DelayedEnd delayed_;
};

}  // namespace

CUnknown* CreatePexPreviewFilter(IUnknown* outer, HRESULT* phr) { return CreateCardFilter<PreviewFilter>(outer, phr); }
CUnknown* CreatePexEncoderFilter(IUnknown* outer, HRESULT* phr) { return CreateCardFilter<PexEncoderFilter>(outer, phr); }

}  // namespace simcard

// The encoder/multiplexer of the simulated card: two inputs that accept only the capture
// filter's private types ("Virtual Video In", "Virtual Audio In") and one output "MPEG Out"
// that delivers synthetic MPEG-2 program stream packs while the filter runs. On a change from
// running to paused it tells the driver stand-in "encoder stopped" (at once, after a delay, or
// never, as the card is set).
// The second family's numbered encoder ("DORU Encode n") has the output only, named "MPEG Stream".
#include <cstring>
#include <memory>
#include <new>

#include "filters/base/pin.h"
#include "sim/card/card_filter.h"
#include "sim/card/live_pin.h"

namespace simcard {

namespace {

constexpr LONG kPackSize = 2048;
constexpr REFERENCE_TIME kPackPeriod = 100000;  // 10 ms: about 1.6 Mbit/s

class VirtualInputPin final : public CBaseInputPin {
 public:
  VirtualInputPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, const GUID& subtype)
      : CBaseInputPin(L"Sim encoder input", filter, lock, phr, name), subtype_(subtype) {}
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type->Type() == kMediaTypeSimVirtual && *type->Subtype() == subtype_ ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  STDMETHODIMP Receive(IMediaSample* sample) override {
    const HRESULT hr = CBaseInputPin::Receive(sample);
    return FAILED(hr) ? hr : S_OK;
  }

 private:
  const GUID subtype_;
};

class EncoderFilter;

class MpegPin final : public LivePin {
 public:
  MpegPin(EncoderFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name);
  HRESULT GetMediaType(int position, CMediaType* type) override {
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    type->InitMediaType();
    type->SetType(&MEDIATYPE_Stream);
    type->SetSubtype(&MEDIASUBTYPE_MPEG2_PROGRAM);
    type->SetFormatType(&FORMAT_None);
    type->SetSampleSize(kPackSize);
    return S_OK;
  }
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type->Type() == MEDIATYPE_Stream && *type->Subtype() == MEDIASUBTYPE_MPEG2_PROGRAM ? S_OK
                                                                                               : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES wanted = *request, actual{};
    if (wanted.cBuffers < 16) wanted.cBuffers = 16;
    if (wanted.cbBuffer < kPackSize) wanted.cbBuffer = kPackSize;
    const HRESULT hr = allocator->SetProperties(&wanted, &actual);
    return FAILED(hr) ? hr : (actual.cbBuffer >= kPackSize ? S_OK : E_FAIL);
  }

 protected:
  HRESULT FillSample(IMediaSample* sample, LONGLONG index) override;
  void Delivered() override;

 private:
  EncoderFilter* const encoder_;
};

// Signals "encoder stopped" after a delay, unless stopped first.
class DelayedStop final : public StoppableThread {
 public:
  DelayedStop() { SetStopTimeout(5000); }
  ~DelayedStop() override { Stop(); }
  HRESULT Arm(DWORD delayMs, UINT driverCard, std::shared_ptr<CardState> card) {
    Stop();
    delayMs_ = delayMs;
    driverCard_ = driverCard;
    card_ = std::move(card);
    return Start();
  }

 protected:
  DWORD Run() override {
    if (WaitForSingleObject(stopEvent(), delayMs_) == WAIT_TIMEOUT) {
      DriverLink::Instance().SignalEncoderStopped(driverCard_);
      if (card_) card_->CountEncoderStop();
    }
    return 0;
  }

 private:
  DWORD delayMs_ = 0;
  UINT driverCard_ = 0;
  std::shared_ptr<CardState> card_;
};

class EncoderFilter final : public CardFilter {
 public:
  EncoderFilter(IUnknown* outer, HRESULT* phr, bool numbered)
      : CardFilter(L"Sim encoder", outer, numbered ? kClsidSimRulEncoder : kClsidSimEncoder, phr), numbered_(numbered) {
    video_ = std::make_unique<VirtualInputPin>(this, &lock_, phr, L"Virtual Video In", kSubtypeSimVirtualVideo);
    audio_ = std::make_unique<VirtualInputPin>(this, &lock_, phr, L"Virtual Audio In", kSubtypeSimVirtualAudio);
    mpeg_ = std::make_unique<MpegPin>(this, &lock_, phr, numbered ? L"MPEG Stream" : L"MPEG Out");
  }
  ~EncoderFilter() override { delayed_.Stop(); }

  int GetPinCount() override { return numbered_ ? 1 : 3; }
  CBasePin* GetPin(int n) override {
    if (numbered_) return n == 0 ? mpeg_.get() : nullptr;
    switch (n) {
      case 0: return video_.get();
      case 1: return audio_.get();
      case 2: return mpeg_.get();
      default: return nullptr;
    }
  }

  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override {
    const HRESULT hr = CBaseFilter::GetState(timeoutMs, state);
    return SUCCEEDED(hr) && *state == State_Paused ? VFW_S_CANT_CUE : hr;
  }

  STDMETHODIMP Pause() override {
    CAutoLock lock(&lock_);
    const bool wasRunning = m_State == State_Running;
    const HRESULT hr = CardFilter::Pause();
    if (SUCCEEDED(hr) && wasRunning) EncoderStopped();
    return hr;
  }
  STDMETHODIMP Stop() override {
    CAutoLock lock(&lock_);
    delayed_.Stop();
    return CBaseFilter::Stop();
  }

  std::shared_ptr<CardState> Card() const { return card(); }

 private:
  void EncoderStopped() {
    std::shared_ptr<CardState> card = this->card();
    UINT driverCard = 0;
    if (!card || !DriverCard(&driverCard)) return;
    switch (card->encoderStopMode()) {
      case kSimEncoderStopAtOnce:
        DriverLink::Instance().SignalEncoderStopped(driverCard);
        card->CountEncoderStop();
        break;
      case kSimEncoderStopDelayed:
        delayed_.Arm(card->encoderStopDelay(), driverCard, card);
        break;
      default:
        break;
    }
  }

  const bool numbered_;
  std::unique_ptr<VirtualInputPin> video_;
  std::unique_ptr<VirtualInputPin> audio_;
  std::unique_ptr<MpegPin> mpeg_;
  DelayedStop delayed_;
};

MpegPin::MpegPin(EncoderFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name)
    : LivePin(L"Sim MPEG pin", filter, lock, phr, name, kPackPeriod), encoder_(filter) {}

HRESULT MpegPin::FillSample(IMediaSample* sample, LONGLONG index) {
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || sample->GetSize() < kPackSize) return E_FAIL;
  std::memset(data, 0xFF, kPackSize);
  // Pack header: start code 00 00 01 BA, then the MPEG-2 system clock reference of the pack
  // (90 kHz base, marker bits as the syntax has them), the mux rate and no stuffing.
  const std::uint64_t scr = static_cast<std::uint64_t>(index) * 900;  // 10 ms at 90 kHz
  data[0] = 0x00;
  data[1] = 0x00;
  data[2] = 0x01;
  data[3] = 0xBA;
  data[4] = static_cast<BYTE>(0x44 | ((scr >> 27) & 0x38) | ((scr >> 28) & 0x03));
  data[5] = static_cast<BYTE>(scr >> 20);
  data[6] = static_cast<BYTE>(((scr >> 12) & 0xF8) | 0x04 | ((scr >> 13) & 0x03));
  data[7] = static_cast<BYTE>(scr >> 5);
  data[8] = static_cast<BYTE>(((scr << 3) & 0xF8) | 0x04);
  data[9] = 0x01;
  const std::uint32_t muxRate = 20000;  // 50-byte units per second
  data[10] = static_cast<BYTE>(muxRate >> 14);
  data[11] = static_cast<BYTE>(muxRate >> 6);
  data[12] = static_cast<BYTE>(((muxRate << 2) & 0xFC) | 0x03);
  data[13] = 0xF8;
  // One padding packet fills the rest of the pack.
  const std::uint32_t rest = kPackSize - 14 - 6;
  data[14] = 0x00;
  data[15] = 0x00;
  data[16] = 0x01;
  data[17] = 0xBE;
  data[18] = static_cast<BYTE>(rest >> 8);
  data[19] = static_cast<BYTE>(rest);
  return sample->SetActualDataLength(kPackSize);
}

void MpegPin::Delivered() {
  if (auto card = encoder_->Card()) card->CountPack();
}

}  // namespace

CUnknown* CreateEncoderFilter(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) EncoderFilter(outer, phr, false);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

CUnknown* CreateRulEncoderFilter(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) EncoderFilter(outer, phr, true);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

}  // namespace simcard

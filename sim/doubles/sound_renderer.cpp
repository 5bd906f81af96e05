// The audio renderer stand-in: one PCM input that consumes its samples in real time against the
// graph's clock (no sound is made), IBasicAudio keeping and recording volume and balance, and
// IAMAudioRendererStats reporting a buffer fullness that the test sets through the journal.
#include <new>

#include "filters/base/filter.h"
#include "filters/base/pin.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_filters.h"

#include <mmreg.h>

namespace {

using doubles::Journal;

constexpr char kObject[] = "SimSound";
// The longest wait for one sample's time: a sample further ahead is consumed in steps.
constexpr DWORD kMaxWaitMs = 200;

class SoundRenderer;

class SoundInput final : public CBaseInputPin {
 public:
  SoundInput(SoundRenderer* filter, CCritSec* lock, HRESULT* phr);
  HRESULT CheckMediaType(const CMediaType* type) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP EndOfStream() override;

 private:
  SoundRenderer* const owner_;
};

class SoundRenderer final : public CBaseFilter,
                            public IBasicAudio,
                            public IAMAudioRendererStats,
                            public IAMFilterMiscFlags {
 public:
  SoundRenderer(IUnknown* outer, HRESULT* phr)
      : CBaseFilter(L"Sim sound renderer", outer, &lock_, doubles::kClsidSimSound, phr),
        wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        input_(this, &lock_, phr) {
    if (!wake_ && phr) *phr = E_OUTOFMEMORY;
  }
  ~SoundRenderer() override {
    if (wake_) CloseHandle(wake_);
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IBasicAudio || iid == IID_IDispatch) return GetInterface(static_cast<IBasicAudio*>(this), out);
    if (iid == IID_IAMAudioRendererStats) return GetInterface(static_cast<IAMAudioRendererStats*>(this), out);
    if (iid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), out);
    return CBaseFilter::NonDelegatingQueryInterface(iid, out);
  }

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &input_ : nullptr; }

  // State changes wake a Receive that waits (for the run, or for its time).
  STDMETHODIMP Stop() override {
    const HRESULT hr = CBaseFilter::Stop();
    SetEvent(wake_);
    ClearEndOfStream();
    return hr;
  }
  STDMETHODIMP Pause() override {
    const HRESULT hr = CBaseFilter::Pause();
    SetEvent(wake_);
    return hr;
  }
  STDMETHODIMP Run(REFERENCE_TIME start) override {
    const HRESULT hr = CBaseFilter::Run(start);
    SetEvent(wake_);
    CAutoLock lock(&lock_);
    if (SUCCEEDED(hr) && eosPending_) SendComplete();
    return hr;
  }

  // IDispatch: the automation side of IBasicAudio is not offered.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // IBasicAudio: volume -10000..0, balance -10000..10000 (hundredths of a decibel).
  STDMETHODIMP put_Volume(long volume) override {
    HRESULT hr = Journal::Instance().Record(kObject, "put_Volume", volume);
    if (FAILED(hr)) return hr;
    if (volume < -10000 || volume > 0) return E_INVALIDARG;
    volume_ = volume;
    return S_OK;
  }
  STDMETHODIMP get_Volume(long* volume) override {
    if (!volume) return E_POINTER;
    const HRESULT hr = Journal::Instance().Record(kObject, "get_Volume");
    if (SUCCEEDED(hr)) *volume = volume_;
    return hr;
  }
  STDMETHODIMP put_Balance(long balance) override {
    HRESULT hr = Journal::Instance().Record(kObject, "put_Balance", balance);
    if (FAILED(hr)) return hr;
    if (balance < -10000 || balance > 10000) return E_INVALIDARG;
    balance_ = balance;
    return S_OK;
  }
  STDMETHODIMP get_Balance(long* balance) override {
    if (!balance) return E_POINTER;
    const HRESULT hr = Journal::Instance().Record(kObject, "get_Balance");
    if (SUCCEEDED(hr)) *balance = balance_;
    return hr;
  }

  // IAMAudioRendererStats: only the buffer fullness (percent) is known.
  STDMETHODIMP GetStatParam(DWORD param, DWORD* value1, DWORD* value2) override {
    if (!value1 || !value2) return E_POINTER;
    const HRESULT hr = Journal::Instance().Record(kObject, "GetStatParam", param);
    if (FAILED(hr)) return hr;
    if (param != AM_AUDREND_STAT_PARAM_BUFFERFULLNESS) return E_NOTIMPL;
    *value1 = static_cast<DWORD>(Journal::Instance().Value(doubles::kValueSoundFullness));
    *value2 = 0;
    return S_OK;
  }

  // IAMFilterMiscFlags: a renderer (the graph waits for its EC_COMPLETE).
  STDMETHODIMP_(ULONG) GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

  // The receive path: waits while paused, then until the sample's start time while running.
  HRESULT Render(IMediaSample* sample) {
    for (;;) {
      if (input_.IsFlushing()) return S_FALSE;
      const FILTER_STATE state = m_State.load();
      if (state == State_Stopped) return VFW_E_WRONG_STATE;
      if (state == State_Paused) {
        ResetEvent(wake_);
        if (m_State.load() == State_Paused && !input_.IsFlushing()) WaitForSingleObject(wake_, kMaxWaitMs);
        continue;
      }
      REFERENCE_TIME start = 0, stop = 0;
      REFERENCE_TIME now = 0;
      if (FAILED(sample->GetTime(&start, &stop)) || StreamTime(now) != S_OK || start <= now) break;
      const REFERENCE_TIME ahead = (start - now) / 10000;
      ResetEvent(wake_);
      if (m_State.load() != State_Running || input_.IsFlushing()) continue;
      WaitForSingleObject(wake_, ahead > kMaxWaitMs ? kMaxWaitMs : static_cast<DWORD>(ahead) + 1);
    }
    Journal& journal = Journal::Instance();
    journal.SetValue(doubles::kValueSoundBytes,
                     journal.Value(doubles::kValueSoundBytes) + sample->GetActualDataLength());
    journal.SetValue(doubles::kValueSoundSamples, journal.Value(doubles::kValueSoundSamples) + 1);
    return S_OK;
  }

  void Wake() { SetEvent(wake_); }

  // End of stream: EC_COMPLETE once running (at once when running now).
  HRESULT EndOfStream() {
    CAutoLock lock(&lock_);
    if (m_State == State_Stopped) return VFW_E_WRONG_STATE;
    eosPending_ = true;
    if (m_State == State_Running) SendComplete();
    return S_OK;
  }
  void ClearEndOfStream() {
    CAutoLock lock(&lock_);
    eosPending_ = false;
    eosSent_ = false;
  }

 private:
  void SendComplete() {
    if (eosSent_) return;
    eosSent_ = true;
    eosPending_ = false;
    NotifyEvent(EC_COMPLETE, S_OK, 0);
  }

  CCritSec lock_;
  HANDLE wake_;  // manual reset: a state change or a flush
  SoundInput input_;
  long volume_ = 0;
  long balance_ = 0;
  bool eosPending_ = false;  // state lock
  bool eosSent_ = false;     // state lock
};

SoundInput::SoundInput(SoundRenderer* filter, CCritSec* lock, HRESULT* phr)
    : CBaseInputPin(L"Sim sound input", filter, lock, phr, L"Audio Input pin (rendered)"), owner_(filter) {}

HRESULT SoundInput::CheckMediaType(const CMediaType* type) {
  if (*type->Type() != MEDIATYPE_Audio || *type->Subtype() != MEDIASUBTYPE_PCM ||
      *type->FormatType() != FORMAT_WaveFormatEx || type->FormatLength() < sizeof(WAVEFORMATEX)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  const auto* format = reinterpret_cast<const WAVEFORMATEX*>(type->Format());
  if (format->wFormatTag != WAVE_FORMAT_PCM && format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (format->nChannels == 0 || format->nChannels > 2 || format->nSamplesPerSec == 0 ||
      (format->wBitsPerSample != 8 && format->wBitsPerSample != 16)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return S_OK;
}

STDMETHODIMP SoundInput::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return owner_->Render(sample);
}

STDMETHODIMP SoundInput::BeginFlush() {
  const HRESULT hr = CBaseInputPin::BeginFlush();
  owner_->Wake();
  owner_->ClearEndOfStream();
  return hr;
}

STDMETHODIMP SoundInput::EndFlush() { return CBaseInputPin::EndFlush(); }

STDMETHODIMP SoundInput::EndOfStream() {
  const HRESULT hr = CheckStreaming();
  if (hr != S_OK) return hr;
  return owner_->EndOfStream();
}

}  // namespace

CUnknown* CreateSimSoundRenderer(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) SoundRenderer(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

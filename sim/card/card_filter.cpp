// The card filter base and the three control filters: tuner, crossbar and TV audio.
#include "sim/card/card_filter.h"

#include <new>

namespace simcard {

CardFilter::CardFilter(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid, HRESULT* phr)
    : CBaseFilter(objectName, outer, &lock_, clsid, phr) {}

STDMETHODIMP CardFilter::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPersistPropertyBag) return GetInterface(static_cast<IPersistPropertyBag*>(this), out);
  return CBaseFilter::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CardFilter::Load(IPropertyBag* bag, IErrorLog* log) {
  if (!bag) return E_POINTER;
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  HRESULT hr = bag->Read(L"DevicePath", &value, log);
  if (FAILED(hr)) return hr;
  if (value.vt != VT_BSTR || !value.bstrVal) {
    VariantClear(&value);
    return E_INVALIDARG;
  }
  std::wstring path(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);
  std::shared_ptr<CardState> card = FindOrCreateCard(path.c_str());
  if (!card) return E_INVALIDARG;
  CAutoLock lock(&lock_);
  {
    CAutoLock bind(&bindLock_);
    devicePath_ = path;
    card_ = std::move(card);
  }
  UINT driverCard = 0;
  DriverLink::Instance().Card(path.c_str(), &driverCard);  // makes the card known there
  OnBound();
  return S_OK;
}

STDMETHODIMP CardFilter::Save(IPropertyBag* bag, BOOL, BOOL) {
  if (!bag) return E_POINTER;
  std::wstring path;
  {
    CAutoLock bind(&bindLock_);
    path = devicePath_;
  }
  if (path.empty()) return E_UNEXPECTED;
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
  if (!value.bstrVal) return E_OUTOFMEMORY;
  const HRESULT hr = bag->Write(L"DevicePath", &value);
  VariantClear(&value);
  return hr;
}

STDMETHODIMP CardFilter::Pause() {
  CAutoLock lock(&lock_);
  if (m_State == State_Stopped && this->card()) {
    std::shared_ptr<CardState> card;
    const HRESULT injected = Enter("Pause", &card);
    if (FAILED(injected)) return injected;
  }
  return CBaseFilter::Pause();
}

std::shared_ptr<CardState> CardFilter::card() const {
  CAutoLock bind(&bindLock_);
  return card_;
}

HRESULT CardFilter::Enter(const char* method, std::shared_ptr<CardState>* card) const {
  *card = this->card();
  if (!*card) return E_UNEXPECTED;
  return (*card)->TakeFailure(method);
}

bool CardFilter::DriverCard(UINT* card) const {
  std::wstring path;
  {
    CAutoLock bind(&bindLock_);
    path = devicePath_;
  }
  return !path.empty() && DriverLink::Instance().Card(path.c_str(), card);
}

DWORD CardFilter::Frequency() const {
  UINT card = 0;
  SimDriverCardState state{};
  if (!DriverCard(&card) || !DriverLink::Instance().State(card, &state)) return 0;
  return state.frequency;
}

namespace {

// --- Tuner ------------------------------------------------------------------------------------------
// Only the input type of connection 0 is simulated; every other method is not.
class TunerFilter final : public CardFilter, public IAMTVTuner, public IKsPropertySet {
 public:
  TunerFilter(IUnknown* outer, HRESULT* phr) : CardFilter(L"Sim tuner", outer, kClsidSimTuner, phr) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IAMTVTuner) return GetInterface(static_cast<IAMTVTuner*>(this), out);
    if (iid == IID_IAMTuner) return GetInterface(static_cast<IAMTuner*>(this), out);
    if (iid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet*>(this), out);
    return CardFilter::NonDelegatingQueryInterface(iid, out);
  }
  int GetPinCount() override { return 0; }
  CBasePin* GetPin(int) override { return nullptr; }

  // IAMTuner
  STDMETHODIMP put_Channel(long channel, long, long) override {
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("put_Channel", &card);
    if (FAILED(hr)) return hr;
    card->SetChannel(channel);
    return S_OK;
  }
  STDMETHODIMP get_Channel(long* channel, long* video, long* audio) override {
    if (!channel || !video || !audio) return E_POINTER;
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("get_Channel", &card);
    if (FAILED(hr)) return hr;
    *channel = card->channel();
    *video = *audio = -1;
    return S_OK;
  }
  STDMETHODIMP ChannelMinMax(long*, long*) override { return E_NOTIMPL; }
  STDMETHODIMP put_CountryCode(long) override { return E_NOTIMPL; }
  STDMETHODIMP get_CountryCode(long*) override { return E_NOTIMPL; }
  STDMETHODIMP put_TuningSpace(long) override { return E_NOTIMPL; }
  STDMETHODIMP get_TuningSpace(long*) override { return E_NOTIMPL; }
  STDMETHODIMP Logon(HANDLE) override { return E_NOTIMPL; }
  STDMETHODIMP Logout() override { return E_NOTIMPL; }
  STDMETHODIMP SignalPresent(long*) override { return E_NOTIMPL; }
  STDMETHODIMP put_Mode(AMTunerModeType) override { return E_NOTIMPL; }
  STDMETHODIMP get_Mode(AMTunerModeType*) override { return E_NOTIMPL; }
  STDMETHODIMP GetAvailableModes(long*) override { return E_NOTIMPL; }
  STDMETHODIMP RegisterNotificationCallBack(IAMTunerNotification*, long) override { return E_NOTIMPL; }
  STDMETHODIMP UnRegisterNotificationCallBack(IAMTunerNotification*) override { return E_NOTIMPL; }

  // IAMTVTuner
  STDMETHODIMP get_AvailableTVFormats(long*) override { return E_NOTIMPL; }
  STDMETHODIMP get_TVFormat(long*) override { return E_NOTIMPL; }
  STDMETHODIMP AutoTune(long, long*) override { return E_NOTIMPL; }
  STDMETHODIMP StoreAutoTune() override { return E_NOTIMPL; }
  STDMETHODIMP get_NumInputConnections(long* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP put_InputType(long index, TunerInputType type) override {
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("put_InputType", &card);
    if (FAILED(hr)) return hr;
    if (index != 0) return E_INVALIDARG;
    card->SetTunerInputType(type);
    return S_OK;
  }
  STDMETHODIMP get_InputType(long index, TunerInputType* type) override {
    if (!type) return E_POINTER;
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("get_InputType", &card);
    if (FAILED(hr)) return hr;
    if (index != 0) return E_INVALIDARG;
    *type = static_cast<TunerInputType>(card->tunerInputType());
    return S_OK;
  }
  STDMETHODIMP put_ConnectInput(long) override { return E_NOTIMPL; }
  STDMETHODIMP get_ConnectInput(long*) override { return E_NOTIMPL; }
  STDMETHODIMP get_VideoFrequency(long*) override { return E_NOTIMPL; }
  STDMETHODIMP get_AudioFrequency(long*) override { return E_NOTIMPL; }

  // IKsPropertySet: the card's properties of this filter's role.
  STDMETHODIMP Set(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize) override {
    return WithKs("KsSet", [&](KsProperties& ks) {
      return ks.Set(kSimRoleTuner, set, id, instance, instanceSize, data, dataSize);
    });
  }
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instance, DWORD instanceSize, void* data, DWORD dataSize,
                   DWORD* returned) override {
    return WithKs("KsGet", [&](KsProperties& ks) {
      return ks.Get(kSimRoleTuner, set, id, instance, instanceSize, data, dataSize, returned);
    });
  }
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override {
    return WithKs("QuerySupported",
                  [&](KsProperties& ks) { return ks.QuerySupported(kSimRoleTuner, set, id, support); });
  }
};

// --- Crossbar ---------------------------------------------------------------------------------------
// Pins and routing are the card's: a route made through one instance is seen by all.
class CrossbarFilter final : public CardFilter, public IAMCrossbar {
 public:
  CrossbarFilter(IUnknown* outer, HRESULT* phr) : CardFilter(L"Sim crossbar", outer, kClsidSimCrossbar, phr) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IAMCrossbar) return GetInterface(static_cast<IAMCrossbar*>(this), out);
    return CardFilter::NonDelegatingQueryInterface(iid, out);
  }
  int GetPinCount() override { return 0; }
  CBasePin* GetPin(int) override { return nullptr; }

  STDMETHODIMP get_PinCounts(long* outputs, long* inputs) override {
    if (!outputs || !inputs) return E_POINTER;
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("get_PinCounts", &card);
    if (FAILED(hr)) return hr;
    *outputs = static_cast<long>(card->Outputs().size());
    *inputs = static_cast<long>(card->Inputs().size());
    return S_OK;
  }
  STDMETHODIMP CanRoute(long output, long input) override {
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("CanRoute", &card);
    return FAILED(hr) ? hr : card->CanRoute(output, input);
  }
  STDMETHODIMP Route(long output, long input) override {
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("Route", &card);
    return FAILED(hr) ? hr : card->Route(output, input);
  }
  STDMETHODIMP get_IsRoutedTo(long output, long* input) override {
    if (!input) return E_POINTER;
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("get_IsRoutedTo", &card);
    if (FAILED(hr)) return hr;
    if (output < 0 || output >= static_cast<long>(card->Outputs().size())) return E_INVALIDARG;
    *input = card->RoutedTo(output);
    return *input < 0 ? S_FALSE : S_OK;
  }
  STDMETHODIMP get_CrossbarPinInfo(BOOL isInput, long index, long* related, long* type) override {
    if (!related || !type) return E_POINTER;
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("get_CrossbarPinInfo", &card);
    if (FAILED(hr)) return hr;
    const std::vector<CrossbarPin> pins = isInput ? card->Inputs() : card->Outputs();
    if (index < 0 || index >= static_cast<long>(pins.size())) return E_INVALIDARG;
    *related = pins[index].related;
    *type = pins[index].type;
    return S_OK;
  }
};

// --- TV audio ---------------------------------------------------------------------------------------
// The broadcast mode is the driver stand-in's (it signals the audio-mode events on a change).
class TvAudioFilter final : public CardFilter, public IAMTVAudio {
 public:
  TvAudioFilter(IUnknown* outer, HRESULT* phr) : CardFilter(L"Sim TV audio", outer, kClsidSimTvAudio, phr) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IAMTVAudio) return GetInterface(static_cast<IAMTVAudio*>(this), out);
    return CardFilter::NonDelegatingQueryInterface(iid, out);
  }
  int GetPinCount() override { return 0; }
  CBasePin* GetPin(int) override { return nullptr; }

  // Mono, stereo, and the language bits A, B and both.
  static constexpr long kModes = 0x1 | 0x2 | 0x10 | 0x20 | 0x30 | 0x40;

  STDMETHODIMP GetHardwareSupportedTVAudioModes(long* modes) override {
    if (!modes) return E_POINTER;
    std::shared_ptr<CardState> card;
    const HRESULT hr = Enter("GetHardwareSupportedTVAudioModes", &card);
    if (FAILED(hr)) return hr;
    *modes = kModes;
    return S_OK;
  }
  // The modes the broadcast offers now: the configured mode.
  STDMETHODIMP GetAvailableTVAudioModes(long* modes) override { return ConfiguredMode("GetAvailableTVAudioModes", modes); }
  STDMETHODIMP get_TVAudioMode(long* mode) override { return ConfiguredMode("get_TVAudioMode", mode); }
  HRESULT ConfiguredMode(const char* method, long* mode) {
    if (!mode) return E_POINTER;
    std::shared_ptr<CardState> card;
    HRESULT hr = Enter(method, &card);
    if (FAILED(hr)) return hr;
    UINT driverCard = 0;
    SimDriverCardState state{};
    if (!DriverCard(&driverCard) || !DriverLink::Instance().State(driverCard, &state)) return E_FAIL;
    *mode = static_cast<long>(state.tvAudioMode);
    return S_OK;
  }
  STDMETHODIMP put_TVAudioMode(long mode) override {
    std::shared_ptr<CardState> card;
    HRESULT hr = Enter("put_TVAudioMode", &card);
    if (FAILED(hr)) return hr;
    if ((mode & ~kModes) != 0) return E_INVALIDARG;
    UINT driverCard = 0;
    if (!DriverCard(&driverCard)) return E_FAIL;
    return DriverLink::Instance().SetTvAudioMode(driverCard, static_cast<DWORD>(mode));
  }
  STDMETHODIMP RegisterNotificationCallBack(IAMTunerNotification*, long) override { return E_NOTIMPL; }
  STDMETHODIMP UnRegisterNotificationCallBack(IAMTunerNotification*) override { return E_NOTIMPL; }
};

}  // namespace

CUnknown* CreateTunerFilter(IUnknown* outer, HRESULT* phr) { return CreateCardFilter<TunerFilter>(outer, phr); }
CUnknown* CreateCrossbarFilter(IUnknown* outer, HRESULT* phr) { return CreateCardFilter<CrossbarFilter>(outer, phr); }
CUnknown* CreateTvAudioFilter(IUnknown* outer, HRESULT* phr) { return CreateCardFilter<TvAudioFilter>(outer, phr); }

}  // namespace simcard

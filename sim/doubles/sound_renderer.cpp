// The audio renderer stand-in: one PCM input that takes its samples into a device buffer of one
// second and plays them in real time against the graph's clock (no sound is made), IBasicAudio
// keeping and recording volume and balance, and IAMAudioRendererStats reporting a buffer fullness
// that the test sets through the journal.
#include <new>

#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_filters.h"
#include "sim/doubles/renderer_double.h"

#include <mmreg.h>

namespace {

using doubles::Journal;

constexpr char kObject[] = "SimSound";
// The device buffer: samples are written into it up to a second ahead of their time.
constexpr REFERENCE_TIME kDeviceBuffer = 10000000;

class SoundRenderer final : public doubles::RendererDouble, public IBasicAudio, public IAMAudioRendererStats {
 public:
  SoundRenderer(IUnknown* outer, HRESULT* phr)
      : RendererDouble(L"Sim sound renderer", outer, doubles::kClsidSimSound, L"Sim sound input",
                       L"Audio Input pin (rendered)", phr, kDeviceBuffer) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IBasicAudio || iid == IID_IDispatch) return GetInterface(static_cast<IBasicAudio*>(this), out);
    if (iid == IID_IAMAudioRendererStats) return GetInterface(static_cast<IAMAudioRendererStats*>(this), out);
    return RendererDouble::NonDelegatingQueryInterface(iid, out);
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

 protected:
  HRESULT CheckInputType(const CMediaType& type) override;
  // Counts the sample and its bytes as they enter the device buffer; nothing is played.
  HRESULT Consume(IMediaSample* sample) override {
    Journal& journal = Journal::Instance();
    journal.SetValue(doubles::kValueSoundBytes,
                     journal.Value(doubles::kValueSoundBytes) + sample->GetActualDataLength());
    journal.SetValue(doubles::kValueSoundSamples, journal.Value(doubles::kValueSoundSamples) + 1);
    return S_OK;
  }

 private:
  long volume_ = 0;
  long balance_ = 0;
};

HRESULT SoundRenderer::CheckInputType(const CMediaType& type) {
  if (*type.Type() != MEDIATYPE_Audio || *type.Subtype() != MEDIASUBTYPE_PCM ||
      *type.FormatType() != FORMAT_WaveFormatEx || type.FormatLength() < sizeof(WAVEFORMATEX)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  const auto* format = reinterpret_cast<const WAVEFORMATEX*>(type.Format());
  if (format->wFormatTag != WAVE_FORMAT_PCM && format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (format->nChannels == 0 || format->nChannels > 2 || format->nSamplesPerSec == 0 ||
      (format->wBitsPerSample != 8 && format->wBitsPerSample != 16)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return S_OK;
}

}  // namespace

CUnknown* CreateSimSoundRenderer(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) SoundRenderer(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

// Doubles of the outside filter modules and of the preview-control class: one module, built
// once and copied under each module file name beside the device manager (each copy serves every
// class). Every call of a private interface is recorded in the journal (double_journal.h) and
// can be made to fail; so can a filter's start (its pause from stopped).
//
// The filters: pin 0 of the inputs passes its samples through (copied) to output 0; the other
// inputs consume theirs. The MPEG analyzer adds one index record per kIndexEvery samples on
// "INDEX_INFO"; the callback filter hands each sample of a selected stream to the host's
// IOutputDataCB::OnData from the upstream filter's streaming thread.
//
// The deinterlacing filter ("QfaTesk.ax") is the system's own; this double stands in for it in
// the device managers' tests (the end-to-end tests load the real module). It passes its frames through unchanged and answers ITeskControl,
// ITeskSettings and IPlanarFieldOrder over the real parameter table of the deinterlacing core,
// registered as the filter registers it.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "devices/idl/device_manager.h"
#include "filters/base/factory.h"
#include "filters/base/filter.h"
#include "filters/base/pin.h"
#include "filters/deinterlace/contrast_processor.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/sharpness_processor.h"
#include "filters/include/filter_interfaces.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/outside_interfaces.h"

namespace {

using doubles::Journal;

// {5C1A0020-7E2B-4D3A-9F10-3B6C0D5E7A01}: the analyzer's index records.
constexpr GUID kSubtypeIndexRecords = {0x5c1a0020, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
constexpr LONG kIndexEvery = 8;

enum class Kind { Callback, Analyzer, Selector, RateMatcher, Osd, Deinterlace, Mor, VideoInfo, Mixer1, Mixer2, Tesk };

// An input pin: its name and the major type it takes, as the real filter's pin does (an MPEG or
// index stream, PCM audio, video frames; a caption mixer takes the decoded caption picture).
struct InputInfo {
  const wchar_t* name;
  const GUID* majorType;
};

struct KindInfo {
  const char* name;  // the journal's object name
  const CLSID* clsid;
  std::vector<InputInfo> inputs;
  std::vector<const wchar_t*> outputs;
};

const KindInfo& InfoOf(Kind kind) {
  static const KindInfo kInfos[] = {
      {"CallbackFilter", &doubles::kClsidCallbackFilter, {{L"MPEG Input", &MEDIATYPE_Stream}, {L"INDEX Input", &MEDIATYPE_Stream}, {L"PCM Input", &MEDIATYPE_Audio}}, {}},
      {"MpegAnalyzer", &doubles::kClsidMpegAnalyzer, {{L"Input", &MEDIATYPE_Stream}}, {L"Output", L"INDEX_INFO"}},
      {"SoundSelector", &doubles::kClsidSoundSelector, {{L"Input", &MEDIATYPE_Audio}}, {L"Output"}},
      {"RateMatcher", &doubles::kClsidRateMatcher, {{L"Input", &MEDIATYPE_Audio}}, {L"Output"}},
      {"Osd", &doubles::kClsidOsd, {{L"Input", &MEDIATYPE_Video}}, {L"Output"}},
      {"Deinterlace", &doubles::kClsidDeinterlace, {{L"Input", &MEDIATYPE_Video}}, {L"Output"}},
      {"MorDeinterlace", &doubles::kClsidMorDeinterlace, {{L"Input", &MEDIATYPE_Video}}, {L"Output"}},
      {"VideoInfo", &doubles::kClsidVideoInfo, {{L"Input", &MEDIATYPE_Video}}, {L"Output"}},
      {"CaptionMixer1", &doubles::kClsidCaptionMixer1, {{L"Video", &MEDIATYPE_Video}, {L"Captions", &MEDIATYPE_Video}}, {L"Output"}},
      {"CaptionMixer2", &doubles::kClsidCaptionMixer2, {{L"Video", &MEDIATYPE_Video}, {L"Captions", &MEDIATYPE_Video}}, {L"Output"}},
      {"Tesk", &doubles::kClsidTesk, {{L"Input", &MEDIATYPE_Video}}, {L"Output"}},
  };
  return kInfos[static_cast<int>(kind)];
}

class DoubleFilter;

class DoubleInput final : public CBaseInputPin {
 public:
  DoubleInput(DoubleFilter* filter, CCritSec* lock, HRESULT* phr, const InputInfo& info, int index);
  HRESULT CheckMediaType(const CMediaType* type) override {
    return type->IsValid() && *type->Type() == *majorType_ ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  STDMETHODIMP Receive(IMediaSample* sample) override;

 private:
  DoubleFilter* const owner_;
  const int index_;
  const GUID* const majorType_;
};

class DoubleOutput final : public CBaseOutputPin {
 public:
  DoubleOutput(DoubleFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, int index);
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT BreakConnect() override;
  // Copies `length` bytes into a buffer of ours and delivers it with the source's times.
  HRESULT DeliverCopy(const BYTE* data, LONG length, IMediaSample* timesFrom);

 private:
  DoubleFilter* const owner_;
  const int index_;
};

class DoubleFilter : public CBaseFilter,
                     public ICallbackFilterControl,
                     public IAnalyzerControl,
                     public IStreamAnalyzerControl,
                     public ISelectorFilterControl,
                     public ICaptionMixerControl,
                     public IDeinterlaceModuleControl,
                     public IMorDeinterlaceControl,
                     public IVideoInfoControl {
 public:
  DoubleFilter(Kind kind, IUnknown* outer, HRESULT* phr)
      : CBaseFilter(L"Outside module double", outer, &lock_, *InfoOf(kind).clsid, phr), kind_(kind) {
    const KindInfo& info = InfoOf(kind);
    Journal& journal = Journal::Instance();
    const bool withoutIndexPin = kind == Kind::Callback && journal.Value(doubles::kValueCallbackWithoutIndexPin) != 0;
    for (size_t i = 0; i < info.inputs.size(); ++i) {
      if (withoutIndexPin && i == 1) continue;  // keeps the other pins' stream numbers
      inputs_.push_back(std::make_unique<DoubleInput>(this, &lock_, phr, info.inputs[i], static_cast<int>(i)));
    }
    for (size_t i = 0; i < info.outputs.size(); ++i) {
      outputs_.push_back(std::make_unique<DoubleOutput>(this, &lock_, phr, info.outputs[i], static_cast<int>(i)));
    }
    journal.SetValue(doubles::kValueLiveFilterDoubles, journal.Value(doubles::kValueLiveFilterDoubles) + 1);
  }
  ~DoubleFilter() override {
    Journal& journal = Journal::Instance();
    journal.SetValue(doubles::kValueLiveFilterDoubles, journal.Value(doubles::kValueLiveFilterDoubles) - 1);
    for (IOutputDataCB* callback : callbacks_)
      if (callback) callback->Release();
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    switch (kind_) {
      case Kind::Callback:
        if (iid == IID_ICallbackFilterControl) return GetInterface(static_cast<ICallbackFilterControl*>(this), out);
        break;
      case Kind::Analyzer:
        if (iid == IID_IAnalyzerControl) return GetInterface(static_cast<IAnalyzerControl*>(this), out);
        if (iid == IID_IStreamAnalyzerControl) return GetInterface(static_cast<IStreamAnalyzerControl*>(this), out);
        break;
      case Kind::Selector:
        if (iid == IID_ISelectorFilterControl) return GetInterface(static_cast<ISelectorFilterControl*>(this), out);
        break;
      case Kind::Deinterlace:
        if (iid == IID_IDeinterlaceModuleControl) return GetInterface(static_cast<IDeinterlaceModuleControl*>(this), out);
        break;
      case Kind::Mor:
        if (iid == IID_IMorDeinterlaceControl) return GetInterface(static_cast<IMorDeinterlaceControl*>(this), out);
        break;
      case Kind::VideoInfo:
        if (iid == IID_IVideoInfoControl) return GetInterface(static_cast<IVideoInfoControl*>(this), out);
        break;
      case Kind::Mixer1:
      case Kind::Mixer2:
        if (iid == IID_ICaptionMixerControl) return GetInterface(static_cast<ICaptionMixerControl*>(this), out);
        break;
      default:
        break;
    }
    return CBaseFilter::NonDelegatingQueryInterface(iid, out);
  }

  int GetPinCount() override { return static_cast<int>(inputs_.size() + outputs_.size()); }
  CBasePin* GetPin(int n) override {
    if (n < 0) return nullptr;
    if (static_cast<size_t>(n) < inputs_.size()) return inputs_[n].get();
    n -= static_cast<int>(inputs_.size());
    return static_cast<size_t>(n) < outputs_.size() ? outputs_[n].get() : nullptr;
  }

  const char* Name() const { return InfoOf(kind_).name; }
  HRESULT Record(const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0, std::int64_t a2 = 0,
                 std::int64_t a3 = 0) const {
    return Journal::Instance().Record(Name(), method, a0, a1, a2, a3);
  }

  // ICallbackFilterControl
  // Each type has its own host callback; a null one switches the type off.
  STDMETHODIMP SelectStream(ULONG type, ULONG subtype, IUnknown* callback) override {
    const HRESULT hr = Record("SelectStream", type, subtype, callback ? 1 : 0);
    if (FAILED(hr)) return hr;
    if (type < 1 || type > 3) return E_INVALIDARG;
    IOutputDataCB* target = nullptr;
    if (callback && FAILED(callback->QueryInterface(IID_IOutputDataCB, reinterpret_cast<void**>(&target)))) {
      return E_NOINTERFACE;
    }
    IOutputDataCB* previous = nullptr;
    {
      CAutoLock lock(&callbackLock_);
      previous = callbacks_[type - 1];
      callbacks_[type - 1] = target;
      subtype_[type - 1] = subtype;
    }
    if (previous) previous->Release();
    return S_OK;
  }
  // A start (stopped to paused) can be refused as a filter refusing its start would:
  // Journal::InjectFailure(name, "Pause", error, times); a refusal is recorded.
  STDMETHODIMP Pause() override {
    {
      CAutoLock lock(&lock_);
      if (m_State == State_Stopped) {
        const HRESULT refused = Journal::Instance().TakeFailure(Name(), "Pause");
        if (FAILED(refused)) return refused;
      }
    }
    return CBaseFilter::Pause();
  }
  // An ended delivery lasts until the filter stops: the next run delivers again.
  STDMETHODIMP Stop() override {
    {
      CAutoLock lock(&callbackLock_);
      ended_ = false;
    }
    return CBaseFilter::Stop();
  }
  STDMETHODIMP EndDelivery(LONG stopMode) override {
    const HRESULT hr = Record("EndDelivery", stopMode);
    if (FAILED(hr)) return hr;
    CAutoLock lock(&callbackLock_);
    ended_ = true;
    return S_OK;
  }

  // IAnalyzerControl
  STDMETHODIMP SetParameters(LONG a, LONG b, LONG c, LONG d) override { return Record("SetParameters", a, b, c, d); }
  // IStreamAnalyzerControl
  STDMETHODIMP SetParameter(LONG index, LONG value) override { return Record("SetParameter", index, value); }
  // ISelectorFilterControl
  STDMETHODIMP Select(LONG a, LONG b) override { return Record("Select", a, b); }
  // ICaptionMixerControl
  STDMETHODIMP Reset() override {
    const HRESULT hr = Record("Reset");
    if (SUCCEEDED(hr)) mixerState_ = 1;
    return hr;
  }
  STDMETHODIMP Enable(LONG on) override {
    const HRESULT hr = Record("Enable", on);
    if (SUCCEEDED(hr)) mixerEnabled_ = on;
    return hr;
  }
  STDMETHODIMP GetState(LONG* state) override {
    if (!state) return E_POINTER;
    const HRESULT hr = Record("GetState");
    if (SUCCEEDED(hr)) *state = mixerState_ && mixerEnabled_ ? 1 : 0;
    return hr;
  }
  // The deinterlace, MOR and video-information controls: the value is only recorded.
  STDMETHODIMP Unused1() override { return E_NOTIMPL; }
  STDMETHODIMP Unused2() override { return E_NOTIMPL; }
  STDMETHODIMP Unused3() override { return E_NOTIMPL; }
  STDMETHODIMP Unused4() override { return E_NOTIMPL; }
  STDMETHODIMP SetMode(LONG mode) override { return Record("SetMode", mode); }
  STDMETHODIMP SetInterlaceFlags(LONG flags) override { return Record("SetInterlaceFlags", flags); }

  // The receive path of input `index`.
  HRESULT Received(int index, IMediaSample* sample) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data))) return E_POINTER;
    const LONG length = sample->GetActualDataLength();
    if (kind_ == Kind::Callback) return Deliver(index, data, length);
    if (index != 0 || outputs_.empty()) return S_OK;
    HRESULT hr = S_OK;
    if (outputs_[0]->IsConnected()) hr = outputs_[0]->DeliverCopy(data, length, sample);
    if (kind_ == Kind::Analyzer && ++packs_ % kIndexEvery == 0 && outputs_[1]->IsConnected()) {
      // One index record: pack count and the stream offset of this pack.
      const std::int64_t record[2] = {packs_, offset_};
      outputs_[1]->DeliverCopy(reinterpret_cast<const BYTE*>(record), sizeof(record), sample);
    }
    offset_ += length;
    return hr;
  }

  // Output `index` completed or broke a connection (under the filter lock).
  virtual void OutputConnectionChanged(int index) { (void)index; }

  const CMediaType* InputType() const { return inputs_.empty() ? nullptr : &inputs_[0]->CurrentMediaType(); }
  bool InputConnected() const { return !inputs_.empty() && inputs_[0]->IsConnected(); }
  Kind kind() const { return kind_; }

 private:
  // The callback filter: MPEG input 0 is type 1, INDEX input 1 type 3, PCM input 2 type 2.
  HRESULT Deliver(int index, BYTE* data, LONG length) {
    static const ULONG kTypes[] = {1, 3, 2};
    const ULONG type = kTypes[index];
    IOutputDataCB* callback = nullptr;
    ULONG subtype = 0;
    {
      CAutoLock lock(&callbackLock_);
      if (ended_ || !callbacks_[type - 1]) return S_OK;
      callback = callbacks_[type - 1];
      callback->AddRef();
      subtype = subtype_[type - 1];
    }
    Record("OnData", type, subtype, length);
    const HRESULT hr = callback->OnData(type, subtype, 0, 0, static_cast<ULONG>(length), data);
    callback->Release();
    return SUCCEEDED(hr) ? S_OK : hr;
  }

  const Kind kind_;
  CCritSec lock_;
  CCritSec callbackLock_;  // the callback fields only (a leaf, taken on the streaming threads)
  std::vector<std::unique_ptr<DoubleInput>> inputs_;
  std::vector<std::unique_ptr<DoubleOutput>> outputs_;
  IOutputDataCB* callbacks_[3] = {nullptr, nullptr, nullptr};  // by type, referenced
  ULONG subtype_[3] = {0, 0, 0};
  bool ended_ = false;
  std::int64_t packs_ = 0;
  std::int64_t offset_ = 0;
  LONG mixerState_ = 0;
  LONG mixerEnabled_ = 0;
};

DoubleInput::DoubleInput(DoubleFilter* filter, CCritSec* lock, HRESULT* phr, const InputInfo& info, int index)
    : CBaseInputPin(L"Double input", filter, lock, phr, info.name), owner_(filter), index_(index),
      majorType_(info.majorType) {}

STDMETHODIMP DoubleInput::Receive(IMediaSample* sample) {
  const HRESULT hr = CBaseInputPin::Receive(sample);
  if (hr != S_OK) return hr;
  return owner_->Received(index_, sample);
}

DoubleOutput::DoubleOutput(DoubleFilter* filter, CCritSec* lock, HRESULT* phr, const wchar_t* name, int index)
    : CBaseOutputPin(L"Double output", filter, lock, phr, name), owner_(filter), index_(index) {}

HRESULT DoubleOutput::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (owner_->kind() == Kind::Analyzer && index_ == 1) {
    type->InitMediaType();
    type->SetType(&MEDIATYPE_Stream);
    type->SetSubtype(&kSubtypeIndexRecords);
    type->SetFormatType(&FORMAT_None);
    return S_OK;
  }
  if (!owner_->InputConnected()) return VFW_E_NOT_CONNECTED;
  *type = *owner_->InputType();
  return S_OK;
}

HRESULT DoubleOutput::CheckMediaType(const CMediaType* type) {
  CMediaType mine;
  const HRESULT hr = GetMediaType(0, &mine);
  if (hr != S_OK) return hr;
  return *type->Type() == *mine.Type() && *type->Subtype() == *mine.Subtype() ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT DoubleOutput::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  ALLOCATOR_PROPERTIES wanted = *request, actual{};
  LONG size = 4096;
  if (const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_mt)) size = static_cast<LONG>(GetBitmapSize(header));
  if (wanted.cBuffers < 4) wanted.cBuffers = 4;
  if (wanted.cbBuffer < size) wanted.cbBuffer = size;
  return allocator->SetProperties(&wanted, &actual);
}

HRESULT DoubleOutput::CompleteConnect(IPin* receivePin) {
  const HRESULT hr = CBaseOutputPin::CompleteConnect(receivePin);
  if (SUCCEEDED(hr)) owner_->OutputConnectionChanged(index_);
  return hr;
}

HRESULT DoubleOutput::BreakConnect() {
  owner_->OutputConnectionChanged(index_);
  return CBaseOutputPin::BreakConnect();
}

HRESULT DoubleOutput::DeliverCopy(const BYTE* data, LONG length, IMediaSample* timesFrom) {
  IMediaSample* out = nullptr;
  HRESULT hr = GetDeliveryBuffer(&out, nullptr, nullptr, 0);
  if (FAILED(hr)) return hr;
  BYTE* target = nullptr;
  if (SUCCEEDED(out->GetPointer(&target)) && out->GetSize() >= length) {
    std::memcpy(target, data, static_cast<size_t>(length));
    out->SetActualDataLength(length);
    REFERENCE_TIME start = 0, stop = 0;
    if (SUCCEEDED(timesFrom->GetTime(&start, &stop))) out->SetTime(&start, &stop);
    out->SetSyncPoint(timesFrom->IsSyncPoint() == S_OK);
    hr = Deliver(out);
  } else {
    hr = E_OUTOFMEMORY;
  }
  out->Release();
  return hr;
}

// --- The deinterlacing filter ---------------------------------------------------------------------
// The table with the filter's key set before anything registers or loads (as the filter's
// factory does).
class TeskTable final : public deinterlace::ParameterTable {
 public:
  TeskTable() { SetKey(deinterlace::kFilterParameterKey); }
};

class TeskDouble;

// IPlanarFieldOrder shares its method names with ITeskControl but means "Qfa First Field":
// a sub-object of its own, delegating its identity to the filter.
class PlanarFieldOrderPart final : public IPlanarFieldOrder {
 public:
  explicit PlanarFieldOrderPart(TeskDouble* owner) : owner_(owner) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP SetFieldOrder(LONG order) override;
  STDMETHODIMP GetFieldOrder(LONG* order) override;

 private:
  TeskDouble* const owner_;  // our owner contains us
};

class TeskDouble final : public DoubleFilter, public ITeskControl, public ITeskSettings {
 public:
  TeskDouble(IUnknown* outer, HRESULT* phr) : DoubleFilter(Kind::Tesk, outer, phr), planar_(this) {
    // As the filter is made: the processors' parameters (registered by their constructors
    // above), the filter's own, then the processing switches; then every value is taken.
    deinterlace::RegisterFilterParameters(table_, deinterlace::IsMmxPath(deinterlace::ProcessorMask::Get()));
    RegisterSwitches();
    TakeParameters();
  }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_ITeskControl || iid == IID_ITeskControlAlias) {
      return GetInterface(static_cast<ITeskControl*>(this), out);
    }
    if (iid == IID_ITeskSettings) return GetInterface(static_cast<ITeskSettings*>(this), out);
    if (iid == IID_IPlanarFieldOrder) return GetInterface(&planar_, out);
    return DoubleFilter::NonDelegatingQueryInterface(iid, out);
  }

  // The forced field order returns to automatic whenever the output connects or disconnects.
  void OutputConnectionChanged(int) override { fieldOrder_ = kFieldOrderAuto; }

  // ITeskControl: the mode is "Qfa Deintermode" (clamped); the field order is kept unchecked.
  STDMETHODIMP GetDeinterlaceMode(LONG* mode) override {
    if (!mode) return E_POINTER;
    const HRESULT hr = Record("GetDeinterlaceMode");
    if (SUCCEEDED(hr)) *mode = table_.GetByName(deinterlace::params::kDeintermode);
    return hr;
  }
  STDMETHODIMP SetDeinterlaceMode(LONG mode) override {
    const HRESULT hr = Record("SetDeinterlaceMode", mode);
    if (SUCCEEDED(hr)) table_.SetByName(deinterlace::params::kDeintermode, mode);
    return hr;
  }
  STDMETHODIMP GetFieldOrder(LONG* order) override {
    const HRESULT hr = Record("GetFieldOrder");
    if (SUCCEEDED(hr) && order) *order = fieldOrder_.load();  // a null pointer is no error
    return hr;
  }
  STDMETHODIMP SetFieldOrder(LONG order) override {
    const HRESULT hr = Record("SetFieldOrder", order);
    if (SUCCEEDED(hr)) fieldOrder_ = order;
    return hr;
  }

  // ITeskSettings
  STDMETHODIMP GetParameterTable(deinterlace::ParameterTableLayout** table) override {
    if (!table) return E_POINTER;
    const HRESULT hr = Record("GetParameterTable");
    if (SUCCEEDED(hr)) *table = table_.Raw();
    return hr;
  }
  STDMETHODIMP ApplyParameters() override {
    const HRESULT hr = Record("ApplyParameters");
    if (SUCCEEDED(hr)) TakeParameters();
    return hr;
  }
  // The processor's interface means something only inside the real module: none here.
  STDMETHODIMP GetProcessor(GUID requester, void** processor) override {
    if (!processor) return E_POINTER;
    *processor = nullptr;
    const HRESULT hr = Record("GetProcessor", requester.Data1);
    return FAILED(hr) ? hr : E_NOTIMPL;
  }
  STDMETHODIMP LoadParameters() override {
    const HRESULT hr = Record("LoadParameters");
    if (FAILED(hr)) return hr;
    deinterlace::RegisterFilterParameters(table_, deinterlace::IsMmxPath(deinterlace::ProcessorMask::Get()));
    TakeParameters();
    return S_OK;
  }
  STDMETHODIMP GetPages(CAUUID* pages) override {
    if (!pages) return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    return Record("GetPages");
  }

  // IPlanarFieldOrder, through the sub-object: "Qfa First Field" (clamped to 0..1).
  HRESULT SetFirstField(LONG first) {
    const HRESULT hr = Record("SetPlanarFieldOrder", first);
    if (SUCCEEDED(hr)) table_.SetByName(deinterlace::params::kFirstField, first);
    return hr;
  }
  HRESULT GetFirstField(LONG* first) {
    if (!first) return E_POINTER;
    const HRESULT hr = Record("GetPlanarFieldOrder");
    if (SUCCEEDED(hr)) *first = table_.GetByName(deinterlace::params::kFirstField);
    return hr;
  }

 private:
  static constexpr LONG kFieldOrderAuto = 2;

  // The Tesk processor's switches (its own registration, then a load, as the processor does).
  void RegisterSwitches() {
    table_.Register(deinterlace::params::kContrast, 0, 1, 1, 2);
    table_.Register(deinterlace::params::kSharpness, 0, 1, 1, 2);
    table_.Register(deinterlace::params::kFirstField, 0, 1, 1, 2);
    table_.Load();
  }
  // The processors take the table's current values.
  void TakeParameters() {
    contrast_.LoadParameters();
    contrast_.ReadBorders();
    sharpness_.LoadParameters();
  }

  TeskTable table_;  // before the processors, which register in it when they are made
  deinterlace::ContrastProcessor contrast_{&table_};
  deinterlace::SharpnessProcessor sharpness_{&table_};
  PlanarFieldOrderPart planar_;
  std::atomic<LONG> fieldOrder_{kFieldOrderAuto};
};

STDMETHODIMP PlanarFieldOrderPart::QueryInterface(REFIID iid, void** out) {
  return owner_->GetOwner()->QueryInterface(iid, out);
}
STDMETHODIMP_(ULONG) PlanarFieldOrderPart::AddRef() { return owner_->GetOwner()->AddRef(); }
STDMETHODIMP_(ULONG) PlanarFieldOrderPart::Release() { return owner_->GetOwner()->Release(); }
STDMETHODIMP PlanarFieldOrderPart::SetFieldOrder(LONG order) { return owner_->SetFirstField(order); }
STDMETHODIMP PlanarFieldOrderPart::GetFieldOrder(LONG* order) { return owner_->GetFirstField(order); }

// --- The preview-control class -------------------------------------------------------------------
class PreviewControlDouble final : public CUnknown, public IPreviewControl {
 public:
  explicit PreviewControlDouble(IUnknown* outer) : CUnknown(L"Preview control double", outer) {}

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IPreviewControl) return GetInterface(static_cast<IPreviewControl*>(this), out);
    return CUnknown::NonDelegatingQueryInterface(iid, out);
  }

  STDMETHODIMP Initialize(LONG reserve) override { return Record("Initialize", reserve); }
  STDMETHODIMP SetVideoSize(SIZE* size) override {
    if (!size) return E_POINTER;
    return Record("SetVideoSize", size->cx, size->cy);
  }
  STDMETHODIMP SetVideoClippingWindow(HWND window) override {
    return Record("SetVideoClippingWindow", static_cast<std::int64_t>(reinterpret_cast<uintptr_t>(window)));
  }
  STDMETHODIMP SetVideoPosition(RECT* source, RECT* destination) override {
    const RECT d = destination ? *destination : RECT{};
    (void)source;
    return Record("SetVideoPosition", d.left, d.top, d.right, d.bottom);
  }
  STDMETHODIMP GetVideoPosition(RECT*, RECT*) override { return Record("GetVideoPosition"); }
  STDMETHODIMP SetColorKey(DWORD key) override { return Record("SetColorKey", key); }
  STDMETHODIMP GetColorKey(DWORD* key) override {
    if (!key) return E_POINTER;
    const HRESULT hr = Record("GetColorKey");
    if (SUCCEEDED(hr)) *key = 0x00100010;
    return hr;
  }
  STDMETHODIMP RepaintVideo(HWND window, HDC) override {
    return Record("RepaintVideo", static_cast<std::int64_t>(reinterpret_cast<uintptr_t>(window)));
  }
  STDMETHODIMP DisplayModeChanged() override { return Record("DisplayModeChanged"); }
  STDMETHODIMP SetZoomMode(DWORD mode) override {
    const HRESULT hr = Record("SetZoomMode", mode);
    if (SUCCEEDED(hr)) zoom_ = mode;
    return hr;
  }
  STDMETHODIMP GetZoomMode(DWORD* mode) override {
    if (!mode) return E_POINTER;
    const HRESULT hr = Record("GetZoomMode");
    if (SUCCEEDED(hr)) *mode = zoom_;
    return hr;
  }
  STDMETHODIMP Uninitialize(LONG reserve) override { return Record("Uninitialize", reserve); }

 private:
  static HRESULT Record(const char* method, std::int64_t a0 = 0, std::int64_t a1 = 0, std::int64_t a2 = 0,
                        std::int64_t a3 = 0) {
    return Journal::Instance().Record("PreviewControl", method, a0, a1, a2, a3);
  }
  DWORD zoom_ = 0;
};

template <Kind kind>
CUnknown* CreateDouble(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) DoubleFilter(kind, outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

CUnknown* CreateTesk(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) TeskDouble(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

CUnknown* CreatePreviewControl(IUnknown* outer, HRESULT* phr) {
  auto* control = new (std::nothrow) PreviewControlDouble(outer);
  if (!control && phr) *phr = E_OUTOFMEMORY;
  return control;
}

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"Callback Filter double", &doubles::kClsidCallbackFilter, &CreateDouble<Kind::Callback>, nullptr, nullptr},
    {L"MPEG Analyzer double", &doubles::kClsidMpegAnalyzer, &CreateDouble<Kind::Analyzer>, nullptr, nullptr},
    {L"Sound Selector double", &doubles::kClsidSoundSelector, &CreateDouble<Kind::Selector>, nullptr, nullptr},
    {L"Rate Matcher double", &doubles::kClsidRateMatcher, &CreateDouble<Kind::RateMatcher>, nullptr, nullptr},
    {L"OSD double", &doubles::kClsidOsd, &CreateDouble<Kind::Osd>, nullptr, nullptr},
    {L"Deinterlace double", &doubles::kClsidDeinterlace, &CreateDouble<Kind::Deinterlace>, nullptr, nullptr},
    {L"MOR Deinterlace double", &doubles::kClsidMorDeinterlace, &CreateDouble<Kind::Mor>, nullptr, nullptr},
    {L"Video Info double", &doubles::kClsidVideoInfo, &CreateDouble<Kind::VideoInfo>, nullptr, nullptr},
    {L"Caption Mixer double", &doubles::kClsidCaptionMixer1, &CreateDouble<Kind::Mixer1>, nullptr, nullptr},
    {L"Caption Mixer 2 double", &doubles::kClsidCaptionMixer2, &CreateDouble<Kind::Mixer2>, nullptr, nullptr},
    {L"Preview Control double", &doubles::kClsidPreviewControl, &CreatePreviewControl, nullptr, nullptr},
    {L"Qfa-Tesk double", &doubles::kClsidTesk, &CreateTesk, nullptr, nullptr},
};
// Registration is for the preview-control class (created by class identifier); the filters are
// loaded from their files and need none, but registering them does no harm.
VORN_FILTER_MODULE_ENTRY_POINTS()

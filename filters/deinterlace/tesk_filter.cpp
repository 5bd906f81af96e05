#include "filters/deinterlace/tesk_filter.h"

#include <algorithm>
#include <new>

#include "common/format.h"
#include "common/hresult.h"
#include "filters/base/mediatype.h"
#include "filters/convert/planar_kernels.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/include/field_video.h"

namespace deinterlace {

namespace {

constexpr REFERENCE_TIME kSecondOutputAllowance = 160000;  // 16 ms more for the later field
constexpr DWORD kBlackPattern = 0x80008000;                 // luma 0, chroma 128
constexpr long kMinInputBuffers = 3;                        // the history holds three samples

// The VIDEOINFOHEADER2 of a type, or null.
VIDEOINFOHEADER2* VideoInfo2(AM_MEDIA_TYPE* type) {
  if (type->formattype != FORMAT_VideoInfo2 || !type->pbFormat || type->cbFormat < sizeof(VIDEOINFOHEADER2)) {
    return nullptr;
  }
  return reinterpret_cast<VIDEOINFOHEADER2*>(type->pbFormat);
}
const VIDEOINFOHEADER2* VideoInfo2(const AM_MEDIA_TYPE& type) { return VideoInfo2(const_cast<AM_MEDIA_TYPE*>(&type)); }

}  // namespace

TeskParts::TeskParts(std::uint32_t mask) : processor(&table, &input, &output, mask) {
  table.SetKey(kFilterParameterKey);
}

// ---- Sub-objects of the clashing interfaces --------------------------------------------------------

template <class Interface>
class TeskFilter::Part : public Interface {
 public:
  explicit Part(TeskFilter* filter) : filter_(filter) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return filter_->GetOwner()->QueryInterface(iid, out); }
  STDMETHODIMP_(ULONG) AddRef() override { return filter_->GetOwner()->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return filter_->GetOwner()->Release(); }

 protected:
  TeskFilter* const filter_;  // contains us
};

class TeskFilter::ControlPart final : public Part<ITeskControl> {
 public:
  using Part::Part;
  STDMETHODIMP GetDeinterlaceMode(LONG* mode) override { return filter_->TeskControl_GetDeinterlaceMode(mode); }
  STDMETHODIMP SetDeinterlaceMode(LONG mode) override { return filter_->TeskControl_SetDeinterlaceMode(mode); }
  STDMETHODIMP GetFieldOrder(LONG* order) override { return filter_->TeskControl_GetFieldOrder(order); }
  STDMETHODIMP SetFieldOrder(LONG order) override { return filter_->TeskControl_SetFieldOrder(order); }
};

class TeskFilter::FieldOrderPart final : public Part<IPlanarFieldOrder> {
 public:
  using Part::Part;
  STDMETHODIMP SetFieldOrder(LONG order) override { return filter_->PlanarFieldOrder_SetFieldOrder(order); }
  STDMETHODIMP GetFieldOrder(LONG* order) override { return filter_->PlanarFieldOrder_GetFieldOrder(order); }
};

// The input pin: asks for three buffers (any alignment: the kernels read rows unaligned) and
// refuses an allocator that grants fewer. The history holds two distinct samples between
// inputs while upstream fills a third; with two buffers upstream would wait in GetBuffer for
// a sample that only its next delivery releases, and the stream would stall for good.
class TeskFilter::InputPin final : public CTransformInputPin {
 public:
  InputPin(TeskFilter* filter, HRESULT* phr)
      : CTransformInputPin(L"Tesk input pin", filter, phr, L"XForm In"), tesk_(filter) {}

  // While streaming a type is judged by whether the stream can change to it (the output
  // follows the input's size); otherwise against the connected output type as in negotiation.
  HRESULT CheckMediaType(const CMediaType* type) override {
    if (!type) return E_POINTER;
    CTransformOutputPin* output = tesk_->OutputPin();
    if (!IsConnected() || !output || !output->IsConnected() || tesk_->IsStopped()) {
      return CTransformInputPin::CheckMediaType(type);
    }
    return tesk_->CheckStreamType(*type);
  }

  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override {
    if (!props) return E_POINTER;
    *props = ALLOCATOR_PROPERTIES{kMinInputBuffers, 0, 1, 0};
    return S_OK;
  }

  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override {
    if (!allocator) return E_POINTER;
    ALLOCATOR_PROPERTIES props{};
    RETURN_IF_FAILED(allocator->GetProperties(&props));
    if (props.cBuffers < kMinInputBuffers) {
      ALLOCATOR_PROPERTIES wanted = props;  // the size kept
      wanted.cBuffers = kMinInputBuffers;
      wanted.cbAlign = std::max<long>(props.cbAlign, 1);
      wanted.cbPrefix = 0;
      ALLOCATOR_PROPERTIES granted{};
      if (SUCCEEDED(allocator->SetProperties(&wanted, &granted))) props = granted;
      if (props.cBuffers < kMinInputBuffers) return VFW_E_SIZENOTSET;
    }
    return CTransformInputPin::NotifyAllocator(allocator, readOnly);
  }

 private:
  TeskFilter* const tesk_;  // owns us
};

// ---- Construction ---------------------------------------------------------------------------------

CUnknown* TeskFilter::CreateInstance(IUnknown* outer, HRESULT* phr) {
  std::unique_ptr<TeskParts> parts(new (std::nothrow) TeskParts(ProcessorMask::Get()));
  if (!parts) {
    if (phr) *phr = E_ACCESSDENIED;
    return nullptr;
  }
  HRESULT hr = S_OK;
  auto* filter = new (std::nothrow) TeskFilter(outer, std::move(parts), &hr);
  if (!filter) hr = E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete filter;
    filter = nullptr;
  }
  if (phr) *phr = hr;
  return filter;
}

TeskFilter::TeskFilter(IUnknown* outer, std::unique_ptr<TeskParts> parts, HRESULT* phr)
    : PlanarTransformFilter(L"Zarn (Qfa) Tesk", outer, CLSID_QfaTesk, &parts->processor, &parts->input,
                            &parts->output, MEDIASUBTYPE_YUY2, phr),
      parts_(std::move(parts)),
      drawer_(GetOwner(), !IsMmxPath(parts_->processor.Mask())),
      controlPart_(new ControlPart(this)),
      fieldOrderPart_(new FieldOrderPart(this)) {
  LoadParameters();
  parts_->table.Load();
  ApplyParameters();
  parts_->processor.Attach(this);
  parts_->processor.LoadParameters();
}

TeskFilter::~TeskFilter() {
  ClearHistory();
  drawer_.ReleaseSample();
  parts_->processor.Attach(nullptr);
}

STDMETHODIMP TeskFilter::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_ITeskControl || iid == IID_ITeskControlAlias) {
    return GetInterface(static_cast<ITeskControl*>(controlPart_.get()), out);
  }
  if (iid == IID_IPlanarFieldOrder) return GetInterface(static_cast<IPlanarFieldOrder*>(fieldOrderPart_.get()), out);
  if (iid == IID_ITeskSettings) return GetInterface(static_cast<ITeskSettings*>(this), out);
  if (iid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), out);
  if (drawer_.QueryDrawerInterface(iid, out) == S_OK) return S_OK;
  return PlanarTransformFilter::NonDelegatingQueryInterface(iid, out);
}

CTransformInputPin* TeskFilter::CreateInputPin(HRESULT* phr) { return new (std::nothrow) InputPin(this, phr); }

// ---- Settings ---------------------------------------------------------------------------------------

STDMETHODIMP TeskFilter::GetParameterTable(ParameterTableLayout** table) {
  if (!table) return E_POINTER;
  *table = parts_->table.Raw();
  return S_OK;
}

STDMETHODIMP TeskFilter::ApplyParameters() {
  parts_->processor.ApplyParameters();
  debug_ = Param(params::kDebugMessages) == 1;
  return S_OK;
}

STDMETHODIMP TeskFilter::GetProcessor(GUID, void** processor) {
  if (!processor) return E_POINTER;
  *processor = static_cast<FrameProcessor*>(&parts_->processor);
  return S_OK;
}

STDMETHODIMP TeskFilter::LoadParameters() {
  mmxPath_ = RegisterFilterParameters(parts_->table, IsMmxPath(parts_->processor.Mask()));
  return ApplyParameters();
}

STDMETHODIMP TeskFilter::GetPages(CAUUID* pages) {
  if (!pages) return E_POINTER;
  static const GUID kPages[] = {CLSID_TeskModePage, CLSID_TeskContrastPage, CLSID_TeskSharpnessPage,
                                CLSID_TeskMenuBackPage, CLSID_TeskFieldOrderPage};
  const GUID* list = mmxPath_ ? &CLSID_TeskMmxModePage : kPages;
  const ULONG count = mmxPath_ ? 1 : 5;
  pages->cElems = 0;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(count * sizeof(GUID)));
  if (!pages->pElems) return E_OUTOFMEMORY;
  std::copy(list, list + count, pages->pElems);
  pages->cElems = count;
  return S_OK;
}

HRESULT TeskFilter::TeskControl_GetDeinterlaceMode(LONG* mode) {
  if (!mode) return E_POINTER;
  CAutoLock lock(&settingsLock_);
  *mode = Param(params::kDeintermode);
  return S_OK;
}

HRESULT TeskFilter::TeskControl_SetDeinterlaceMode(LONG mode) {
  CAutoLock lock(&settingsLock_);
  parts_->table.SetByName(params::kDeintermode, mode);
  return S_OK;
}

HRESULT TeskFilter::TeskControl_GetFieldOrder(LONG* order) {
  // Callers of this interface pass null to probe it: that is not an error.
  if (order) *order = forcedOrder_;
  return S_OK;
}

HRESULT TeskFilter::TeskControl_SetFieldOrder(LONG order) {
  forcedOrder_ = order;
  return S_OK;
}

HRESULT TeskFilter::PlanarFieldOrder_SetFieldOrder(LONG order) {
  CAutoLock lock(&settingsLock_);
  parts_->table.SetByName(params::kFirstField, order);
  return S_OK;
}

HRESULT TeskFilter::PlanarFieldOrder_GetFieldOrder(LONG* order) {
  if (!order) return E_POINTER;
  CAutoLock lock(&settingsLock_);
  *order = Param(params::kFirstField);
  return S_OK;
}

bool TeskFilter::OwnerInputLayout(bool* planar) {
  *planar = inputPlanar_;
  return inputConnected_;
}

// ---- Negotiation --------------------------------------------------------------------------------------

bool TeskFilter::DetectBottomFirst(const AM_MEDIA_TYPE& type, bool* bottomFirst) {
  if (const VIDEOINFOHEADER2* info = VideoInfo2(type)) {
    *bottomFirst = info->dwInterlaceFlags != 0 && (info->dwInterlaceFlags & AMINTERLACE_Field1First) == 0;
    return true;
  }
  if (type.formattype == FORMAT_FieldVideoPal || type.formattype == FORMAT_FieldVideoNtsc) {
    *bottomFirst = type.formattype == FORMAT_FieldVideoNtsc;
    return true;
  }
  return false;
}

void TeskFilter::InitialFieldOrder(const AM_MEDIA_TYPE& type) {
  bool bottom = false;
  const VIDEOINFOHEADER2* info2 = VideoInfo2(type);
  if (info2 && info2->dwInterlaceFlags != 0) {
    DetectBottomFirst(type, &bottom);
  } else if (info2 || (type.formattype == FORMAT_VideoInfo && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER))) {
    const REFERENCE_TIME frame = info2 ? info2->AvgTimePerFrame
                                       : reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->AvgTimePerFrame;
    bottom = frame == 333667 || frame == 300000 || frame == 166833 || frame == 150000;
  } else {
    DetectBottomFirst(type, &bottom);
  }
  detectedBottomFirst_ = bottom;
  bottomFirst_ = bottom;
}

void TeskFilter::ApplyDvdBypass(const AM_MEDIA_TYPE& type) {
  const VIDEOINFOHEADER2* info = VideoInfo2(type);
  if (!info) return;
  CAutoLock lock(&settingsLock_);
  if (info->dwInterlaceFlags == 0 && Param(params::kDvdBypass) == 1) {
    bypassActive_ = true;
    if (!modeSaved_) {
      savedMode_ = Param(params::kDeintermode);
      parts_->table.SetByName(params::kDeintermode, mmxPath_ ? 7 : 0);
      modeSaved_ = true;
    }
  } else {
    bypassActive_ = false;
    if (modeSaved_) {
      parts_->table.SetByName(params::kDeintermode, savedMode_);
      modeSaved_ = false;
    }
  }
}

HRESULT TeskFilter::AcceptInputType(const CMediaType& in, InputGeometry* geometry) {
  RETURN_IF_FAILED(PlanarTransformFilter::AcceptInputType(in, geometry));
  if (*in.Subtype() == MEDIASUBTYPE_YUY2 || *in.Subtype() == MEDIASUBTYPE_FieldPlanar420) return S_OK;
  return VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT TeskFilter::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  // Judged whole before the base takes the type's sizes.
  InputGeometry g;
  RETURN_IF_FAILED(AcceptInputType(*in, &g));
  return PlanarTransformFilter::CheckInputType(in);
}

HRESULT TeskFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  // An answer only: field order, bypass and shapes follow the types taken (SetMediaType).
  return PlanarTransformFilter::CheckTransform(in, out);
}

bool TeskFilter::OneOutputPerInput() {
  if (mmxPath_) return true;
  CAutoLock lock(&settingsLock_);
  return bypassActive_;
}

bool TeskFilter::BypassFor(const AM_MEDIA_TYPE& input) {
  const VIDEOINFOHEADER2* info = VideoInfo2(input);
  if (!info) {
    CAutoLock lock(&settingsLock_);
    return bypassActive_;  // the bypass rule leaves it as it is
  }
  return info->dwInterlaceFlags == 0 && Param(params::kDvdBypass) == 1;
}

bool TeskFilter::HalvesFrameTimeFor(const AM_MEDIA_TYPE& input) {
  return !mmxPath_ && Param(params::kSingleField) == 0 && !BypassFor(input);
}

void TeskFilter::AdjustOutputType(CMediaType* type, bool halve) {
  if (VIDEOINFOHEADER2* info = VideoInfo2(type)) {
    if (halve) {
      info->AvgTimePerFrame /= 2;
      info->dwBitRate *= 2;
    }
    info->dwInterlaceFlags = 0;
  } else if (*type->FormatType() == FORMAT_VideoInfo && type->Format() &&
             type->FormatLength() >= sizeof(VIDEOINFOHEADER)) {
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->Format());
    if (halve) {
      info->AvgTimePerFrame /= 2;
      info->dwBitRate *= 2;
    }
  }
}

HRESULT TeskFilter::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  const HRESULT hr = PlanarTransformFilter::GetMediaType(position + 1, type);
  if (hr != S_OK) return hr;
  // The rate as it will be once the input's bypass rule has run (at the first connection the
  // output is offered before it runs).
  AdjustOutputType(type, HalvesFrameTimeFor(m_pInput->CurrentMediaType()));
  return S_OK;
}

HRESULT TeskFilter::StreamOutputType(const CMediaType& input, CMediaType* output) {
  // The rate as it will be once the type's DVD bypass rule has run.
  const bool halve = HalvesFrameTimeFor(input);
  if (!VideoInfo2(input)) {
    RETURN_IF_FAILED(PlanarTransformFilter::StreamOutputType(input, output));
    AdjustOutputType(output, halve);
    return S_OK;
  }
  RETURN_IF_FAILED(output->Set(input));
  AdjustOutputType(output, halve);
  VIDEOINFOHEADER2* copy = VideoInfo2(output);
  if (!copy) return E_OUTOFMEMORY;
  if (copy->dwPictAspectRatioX == 0 && copy->dwPictAspectRatioY == 0) {
    copy->dwPictAspectRatioX = 4;
    copy->dwPictAspectRatioY = 3;
  }
  return S_OK;
}

HRESULT TeskFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&m_pOutput->CurrentMediaType());
  if (!header) return E_UNEXPECTED;
  const long width = header->biWidth;
  const long height = header->biHeight < 0 ? -header->biHeight : header->biHeight;
  request->cbAlign = 1;  // the kernels store the output rows unaligned
  request->cbPrefix = 0;
  request->cBuffers = std::max<long>(request->cBuffers, 1);
  request->cbBuffer = ((width / 64) * 64 + 64) * header->biBitCount * (height + 8) / 8 + 48;
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(request, &actual));
  return actual.cbBuffer >= request->cbBuffer ? S_OK : E_FAIL;
}

void TeskFilter::TypeRules(const AM_MEDIA_TYPE& input) {
  bool bottom = false;
  if (DetectBottomFirst(input, &bottom)) {
    detectedBottomFirst_ = bottom;
    bottomFirst_ = bottom;
  }
  ApplyDvdBypass(input);
}

HRESULT TeskFilter::SetMediaType(PIN_DIRECTION direction, const CMediaType* type) {
  if (!type) return S_OK;
  RETURN_IF_FAILED(PlanarTransformFilter::SetMediaType(direction, type));
  if (direction == PINDIR_INPUT) {
    inputPlanar_ = type->subtype == MEDIASUBTYPE_FieldPlanar420;
    inputConnected_ = true;
    const FrameDescriptor& input = parts_->input;
    drawer_.SetGeometry(2 * input.GetPitch(), 0, input.GetPitch(), input.GetHeight());
  }
  // With the history made, a type taken runs the type's field-order and bypass rules.
  if (historyExists_) TypeRules(direction == PINDIR_INPUT ? *type : m_pInput->CurrentMediaType());
  return S_OK;
}

HRESULT TeskFilter::CompleteConnect(PIN_DIRECTION direction, IPin*) {
  if (direction == PINDIR_OUTPUT) {
    if (!historyExists_) {
      historyExists_ = true;
      InitialFieldOrder(m_pInput->CurrentMediaType());
      // The types were taken before the history existed.
      ApplyDvdBypass(m_pInput->CurrentMediaType());
    }
    forcedOrder_ = 2;
  }
  return S_OK;
}

HRESULT TeskFilter::BreakConnect(PIN_DIRECTION direction) {
  if (direction == PINDIR_OUTPUT) {
    forcedOrder_ = 2;
    pendingOutput_.reset();  // a new connection agrees on its type afresh
  }
  if (direction == PINDIR_INPUT) inputConnected_ = false;
  ClearHistory();
  drawer_.ReleaseSample();
  return S_OK;
}

// ---- Streaming ------------------------------------------------------------------------------------------

void TeskFilter::ClearHistory() {
  parts_->input.ClearFrames();
  for (IMediaSample*& held : history_) {
    if (held) held->Release();
    held = nullptr;
  }
  historyIndex_ = 0;
  primed_ = false;
}

void TeskFilter::PutHistory(IMediaSample* sample, BYTE* buffer) {
  if (primed_) {
    historyIndex_ = (historyIndex_ + 2) % 3;
    if (history_[historyIndex_]) history_[historyIndex_]->Release();
    sample->AddRef();
    history_[historyIndex_] = sample;
  } else {
    for (IMediaSample*& held : history_) {
      sample->AddRef();
      held = sample;
    }
    primed_ = true;
  }
  parts_->input.PushFrame(buffer);
}

HRESULT TeskFilter::CheckStreamType(const CMediaType& type) {
  CAutoLock lock(&typeLock_);
  if (type == m_pInput->CurrentMediaType()) return S_OK;
  StreamChange change;
  return PlanStreamChange(type, OutputBufferBytes(), &change);
}

HRESULT TeskFilter::TakeStreamType(const CMediaType& type, long bufferBytes) {
  StreamChange change;
  {
    CAutoLock lock(&typeLock_);
    RETURN_IF_FAILED(PlanStreamChange(type, bufferBytes, &change));
    RETURN_IF_FAILED(CommitStreamChange(change));
  }
  // Nothing held was made for the new shape.
  ClearHistory();
  drawer_.ReleaseSample();
  if (change.outputChanged) pendingOutput_ = std::move(change.output);
  return S_OK;
}

HRESULT TeskFilter::StopStreaming() {
  ClearHistory();
  drawer_.ReleaseSample();
  return S_OK;
}

HRESULT TeskFilter::EndFlush() {
  const HRESULT hr = CTransformFilter::EndFlush();
  StopStreaming();  // the input pin holds the streaming lock here
  return hr;
}

bool TeskFilter::InTime(REFERENCE_TIME allowance, const char* which) {
  const AM_SAMPLE2_PROPERTIES& props = *m_pInput->SampleProps();
  REFERENCE_TIME now = 0;
  // Without a clock or a time stamp there is nothing to be late against.
  if (!m_pClock || !(props.dwSampleFlags & AM_SAMPLE_TIMEVALID) || FAILED(m_pClock->GetTime(&now))) return true;
  const REFERENCE_TIME late = now - m_tStart - props.tStart;
  if (late < Param(params::kFrameDropTime) * REFERENCE_TIME{10000} + allowance) return true;
  if (debug_) {
    OutputDebugStringA(FormatA("%hs Frame is droped : rtLate = %lld\n", which, static_cast<long long>(late)).c_str());
  }
  return false;
}

HRESULT TeskFilter::DeliverOne() { return CTransformFilter::Receive(current_); }

HRESULT TeskFilter::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  BYTE* buffer = nullptr;
  RETURN_IF_FAILED(sample->GetPointer(&buffer));
  const AM_SAMPLE2_PROPERTIES& props = *m_pInput->SampleProps();
  const long length = sample->GetActualDataLength();

  // A new type: taken before any output of this sample (or the sample is refused); the history
  // and the frame record forget the old samples.
  if ((props.dwSampleFlags & AM_SAMPLE_TYPECHANGED) && props.pMediaType) {
    const CMediaType type(*props.pMediaType);
    if (type != m_pInput->CurrentMediaType()) RETURN_IF_FAILED(TakeStreamType(type, OutputBufferBytes()));
    ClearHistory();
    bool bottom = false;
    if (DetectBottomFirst(type, &bottom)) detectedBottomFirst_ = bottom;
    ApplyDvdBypass(type);
  }

  const bool planar = inputPlanar_;
  const FrameDescriptor& input = parts_->input;
  InputGeometry geometry{input.GetWidth(), input.GetHeight(), input.GetPitch(), planar};
  if (planar) {
    if (length < static_cast<long>(kSampleHeaderBytes)) return S_OK;
    const auto* header = reinterpret_cast<const field_video::FieldFrameHeader*>(buffer);
    // A dropped frame is not an error, and not a refusal either: S_FALSE would tell upstream
    // (the capture pin, the pacer) to stop sending until the next stop or flush.
    if (field_video::IsDropped(header->FrameFlags)) return S_OK;
  }
  if (length < 0 || static_cast<std::size_t>(length) < InputSampleBytes(geometry)) return S_OK;  // short: skipped
  if (!planar && !mmxPath_ && !drawer_.Blackout()) drawer_.Draw(buffer, buffer, length);

  // Field order: the type's, unless forced.
  const LONG forced = forcedOrder_;
  bottomFirst_ = forced == 0 ? true : (forced == 1 ? false : detectedBottomFirst_);

  current_ = sample;
  const int singleField = Param(params::kSingleField);
  const bool frameDrop = Param(params::kFrameDrop) == 1;
  // The MMX path and the bypass make one output per input: "Single Field" 2 then gives it as 1
  // does instead of skipping it.
  const bool onePerInput = OneOutputPerInput();
  PutHistory(sample, buffer);
  firstOutput_ = true;
  keepTop_ = bottomFirst_;
  HRESULT hr = S_OK;
  // "Single Field" 2 keeps only the second output (middle..end), with frame drop on as well:
  // the drop test decides whether an output that is made goes, not which outputs are made.
  if ((singleField != 2 || onePerInput) && (!frameDrop || InTime(0, "1st"))) hr = DeliverOne();
  if (FAILED(hr)) return hr;

  PutHistory(sample, buffer);
  firstOutput_ = false;
  keepTop_ = !bottomFirst_;
  if (onePerInput || singleField == 1) return S_OK;
  if (!frameDrop || InTime(kSecondOutputAllowance, "2nd")) hr = DeliverOne();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT TeskFilter::Transform(IMediaSample* in, IMediaSample* out) {
  if (!in || !out) return E_POINTER;

  AM_MEDIA_TYPE* changed = nullptr;
  if (in->GetMediaType(&changed) == S_OK && changed) {
    CMediaType type(*changed);
    DeleteMediaType(changed);
    // Receive has taken the type of a sample it was given; one that is still new here is
    // taken now or fails the transform.
    if (type != m_pInput->CurrentMediaType()) {
      if (FAILED(TakeStreamType(type, out->GetSize()))) return E_FAIL;
      ApplyDvdBypass(type);
    }
  }
  changed = nullptr;
  if (out->GetMediaType(&changed) == S_OK && changed) {
    CMediaType type(*changed);
    DeleteMediaType(changed);
    // Downstream's own type for this buffer, unless our new one has yet to reach it (the
    // buffer's type then describes the old picture). The output pin's SetMediaType gives the
    // processor the type's row pitch.
    if (!pendingOutput_ && type != m_pOutput->CurrentMediaType() &&
        (m_pOutput->CheckMediaType(&type) != S_OK || FAILED(m_pOutput->SetMediaType(&type)))) {
      return E_FAIL;
    }
  }
  if (pendingOutput_) RETURN_IF_FAILED(out->SetMediaType(&*pendingOutput_));
  const HRESULT hr = TransformPicture(in, out);
  if (hr == S_OK) pendingOutput_.reset();  // on its way downstream
  return hr;
}

HRESULT TeskFilter::TransformPicture(IMediaSample* in, IMediaSample* out) {
  // Times: the first output of an input takes start..middle, the second middle..end; one
  // output per input (bypass, MMX path, single field 1) takes it whole.
  REFERENCE_TIME start = 0, end = 0;
  HRESULT hr = in->GetTime(&start, &end);
  if (hr == VFW_E_SAMPLE_TIME_NOT_SET) start = end = 0;
  else if (FAILED(hr)) return hr;
  LONGLONG mediaStart = 0, mediaEnd = 0;
  hr = in->GetMediaTime(&mediaStart, &mediaEnd);
  if (hr == VFW_E_MEDIA_TIME_NOT_SET) mediaStart = mediaEnd = 0;
  else if (FAILED(hr)) return hr;
  const bool whole = OneOutputPerInput() || Param(params::kSingleField) == 1;
  const REFERENCE_TIME middle = whole ? end : (start + end) / 2;
  const LONGLONG mediaMiddle = whole ? mediaEnd : (mediaStart + mediaEnd) / 2;
  REFERENCE_TIME times[2] = {firstOutput_ ? start : middle, firstOutput_ ? middle : end};
  LONGLONG mediaTimes[2] = {firstOutput_ ? mediaStart : mediaMiddle, firstOutput_ ? mediaMiddle : mediaEnd};
  out->SetTime(&times[0], &times[1]);
  out->SetMediaTime(&mediaTimes[0], &mediaTimes[1]);

  BYTE* destination = nullptr;
  RETURN_IF_FAILED(out->GetPointer(&destination));
  FrameDescriptor& output = parts_->output;
  const std::size_t rowBytes = 2 * static_cast<std::size_t>(output.GetPitch());
  const std::size_t frameBytes = rowBytes * static_cast<std::size_t>(output.GetHeight());
  if (out->GetSize() < 0 || static_cast<std::size_t>(out->GetSize()) < frameBytes) return E_FAIL;
  out->SetActualDataLength(static_cast<long>(frameBytes));
  output.SetFrame(destination);

  drawer_.HoldSample(in);
  if (drawer_.Blackout()) {
    convert::FillRows32(destination, 0, 1, frameBytes, kBlackPattern);
    return S_OK;
  }
  hr = parts_->processor.ProcessField(keepTop_ ? 2 : 1);
  if (FAILED(hr)) return hr;

  if (inputPlanar_) {
    BYTE* source = nullptr;
    RETURN_IF_FAILED(in->GetPointer(&source));
    const auto* header = reinterpret_cast<const field_video::FieldFrameHeader*>(source);
    const int rows = output.GetHeight();
    if (header->FrameFlags & field_video::kFrameFill) {
      convert::FillRows32(destination, static_cast<std::ptrdiff_t>(rowBytes), rows, rowBytes, header->fillPattern);
    }
    if (header->FrameFlags & field_video::kFrameBlack) {
      convert::FillRowsByte(destination, static_cast<std::ptrdiff_t>(rowBytes), rows, rowBytes, 0x10);
    }
  }
  return S_OK;
}

}  // namespace deinterlace

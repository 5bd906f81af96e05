// The renderer filter: creation as the system's only renderer, the type rules, its allocator,
// the schedule shift, the render path with type changes and frame steps, and frame stepping
// through IKsPropertySet.
#include "filters/renderer/video_renderer.h"

#include <atomic>
#include <cstring>
#include <new>

#include "common/errors.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/registry.h"
#include "filters/base/bitmap_dump.h"
#include "common/format.h"
#include "common/trace.h"
#include "filters/base/mediatype.h"
#include "filters/renderer/property_pages.h"

namespace vren {

namespace {

constexpr REFERENCE_TIME kMinFrameTime = 333333;
constexpr REFERENCE_TIME kMaxFrameTime = 333667;
// A deinterlacer delivers a frame per field: half the frame time, truncated as it halves it.
constexpr REFERENCE_TIME kMinFieldTime = kMinFrameTime / 2;
constexpr REFERENCE_TIME kMaxFieldTime = kMaxFrameTime / 2;

bool NtscFrameTime(REFERENCE_TIME t) {
  return t == 0 || (t >= kMinFrameTime && t <= kMaxFrameTime) || (t >= kMinFieldTime && t <= kMaxFieldTime);
}

// The VIDEOINFOHEADER or VIDEOINFOHEADER2 rectangles of a format block.
RECT* SourceRect(CMediaType* type) { return &reinterpret_cast<VIDEOINFOHEADER*>(type->Format())->rcSource; }
RECT* TargetRect(CMediaType* type) { return &reinterpret_cast<VIDEOINFOHEADER*>(type->Format())->rcTarget; }

bool FillEmpty(RECT* rect, const BITMAPINFOHEADER& header) {
  if (rect->right > rect->left && rect->bottom > rect->top) return false;
  *rect = RECT{0, 0, header.biWidth, header.biHeight};
  return true;
}

std::atomic<HMODULE> g_sourceFolderModule{nullptr};

HMODULE SourceFolderModule() {
  const HMODULE module = g_sourceFolderModule.load();
  return module ? module : ThisModule();
}

}  // namespace

// --- PresentationOffset, FrameStepCounter -------------------------------------------------------

PresentationOffset PresentationOffset::Read() {
  const RegistryKeyPath key(kRendererSettingsKey);
  PresentationOffset offset;
  offset.forward = static_cast<REFERENCE_TIME>(key.ReadDwordValue(L"Video Forward", kDefaultForward / 10000)) * 10000;
  offset.delay = static_cast<REFERENCE_TIME>(key.ReadDwordValue(L"Video Delay", 0)) * 10000;
  return offset;
}

void FrameStepCounter::Step(long count) {
  CAutoLock lock(&lock_);
  remaining_ = count;
}

void FrameStepCounter::Cancel() {
  CAutoLock lock(&lock_);
  remaining_ = -1;
}

bool FrameStepCounter::Idle() const {
  CAutoLock lock(&lock_);
  return remaining_ < 0;
}

FrameStepCounter::Verdict FrameStepCounter::OnFrame() {
  CAutoLock lock(&lock_);
  if (remaining_ < 0) return Verdict::Deliver;
  if (remaining_ > 1) {
    --remaining_;
    return Verdict::Drop;
  }
  remaining_ = -1;
  return Verdict::DeliverAndComplete;
}

// --- BitmapDump ---------------------------------------------------------------------------------

BitmapDump::BitmapDump()
    : outputBitmap_(RegistryKeyPath(kRendererSettingsKey).ReadDwordValue(L"Output Bitmap", 0)),
      outputPulldown_(RegistryKeyPath(kRendererSettingsKey).ReadDwordValue(L"Output Pulldown", 0)) {}

void BitmapDump::CheckPulldown(IMediaSample* sample, int framesDrawn) {
  if (!outputPulldown_ || !sample) return;
  // Only a frame that holds the rows compared.
  if (sample->GetActualDataLength() < kPulldownOffset + 2 * kPulldownRowBytes) return;
  BYTE* data = nullptr;
  if (FAILED(sample->GetPointer(&data)) || !data) return;
  const BYTE* rows = data + kPulldownOffset;
  if (memcmp(rows, reference_, kPulldownRowBytes) == 0 &&
      memcmp(rows + kPulldownRowBytes, reference_ + kPulldownRowBytes, kPulldownRowBytes) != 0) {
    OutputDebugStringW(FormatW(L"[Kelv DVD] Detect 2-3Pulldown (Frame No: %d)\r\n", framesDrawn).c_str());
  }
  memcpy(reference_, rows, sizeof(reference_));
}

void BitmapDump::Dump(IMediaSample* sample, const AM_MEDIA_TYPE& type) {
  if (!outputBitmap_ || !sample) return;
  if (!NamedMutex(kDumpMutexName).AlreadyExists()) {
    counter_ = 0;
    return;
  }
  ::BitmapDump::WriteFrame(sample, &type, kDumpFolder, kDumpPrefix, counter_);
  ++counter_;
}

bool TopFieldFirst(DWORD videoConfig, const CMediaType& connected, DWORD typeSpecificFlags) {
  if (videoConfig == 2) return false;
  if (videoConfig != 0) return true;
  if (*connected.FormatType() != FORMAT_VideoInfo2 || connected.FormatLength() < sizeof(VIDEOINFOHEADER2)) {
    return true;
  }
  const DWORD interlace = reinterpret_cast<const VIDEOINFOHEADER2*>(connected.Format())->dwInterlaceFlags;
  const bool flagged = (typeSpecificFlags & AM_VIDEO_FLAG_FIELD1FIRST) != 0;
  const bool invert = (interlace & AMINTERLACE_IsInterlaced) && (interlace & AMINTERLACE_Field1First);
  return invert ? !flagged : flagged;
}

// --- RendererAllocator --------------------------------------------------------------------------

RendererAllocator::RendererAllocator(VideoRenderer* renderer, HRESULT* phr)
    : CMemAllocator(L"Renderer allocator", nullptr, phr), renderer_(renderer) {}

STDMETHODIMP RendererAllocator::SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) {
  if (!request) return E_POINTER;
  // Every buffer holds the whole 720 x 480 picture that a type change may propose; an upstream
  // filter that asks for more (the deinterlacer pads its rows for its kernels) gets it.
  ALLOCATOR_PROPERTIES forced = *request;
  if (forced.cbBuffer < kBufferBytes) forced.cbBuffer = kBufferBytes;
  if (forced.cBuffers < 2) forced.cBuffers = 2;
  return CMemAllocator::SetProperties(&forced, actual);
}

STDMETHODIMP RendererAllocator::GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end,
                                          DWORD flags) {
  HRESULT hr = CMemAllocator::GetBuffer(sample, start, end, flags);
  if (FAILED(hr)) return hr;
  if (!*sample) return E_OUTOFMEMORY;
  CMediaType type;
  RendererInputPin* pin = renderer_->Input();
  if (!pin || !pin->ConnectionType(&type)) {
    (*sample)->Release();
    *sample = nullptr;
    return VFW_E_NOT_CONNECTED;
  }
  BITMAPINFOHEADER* header = GetBitmapInfoHeader(&type);
  if (!header) return S_OK;
  bool changed = FillEmpty(SourceRect(&type), *header);
  changed = FillEmpty(TargetRect(&type), *header) || changed;
  if (header->biWidth < kMaxWidth || header->biHeight < kMaxHeight) {
    header->biWidth = kMaxWidth;
    header->biHeight = kMaxHeight;
    header->biSizeImage = kBufferBytes;
    changed = true;
  }
  if (!changed) return S_OK;
  hr = pin->CheckMediaType(&type);
  if (hr == S_OK) {
    IMediaSample2* sample2 = nullptr;
    if (SUCCEEDED((*sample)->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)))) {
      AM_SAMPLE2_PROPERTIES props{};
      hr = sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
      if (SUCCEEDED(hr)) {
        props.dwSampleFlags |= AM_SAMPLE_TYPECHANGED;
        props.pMediaType = &type;
        hr = sample2->SetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
      }
      sample2->Release();
    } else {
      hr = (*sample)->SetMediaType(&type);
    }
  } else if (SUCCEEDED(hr)) {
    hr = VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (FAILED(hr)) {
    (*sample)->Release();
    *sample = nullptr;
    return hr;
  }
  return S_OK;
}

// --- RendererInputPin ---------------------------------------------------------------------------

RendererInputPin::RendererInputPin(VideoRenderer* renderer, HRESULT* phr)
    : CRendererInputPin(renderer, phr, L"Video Input") {}

RendererInputPin::~RendererInputPin() {
  if (own_) own_->Release();
}

STDMETHODIMP RendererInputPin::GetAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  {
    CAutoLock lock(m_pLock);
    if (!own_) {
      HRESULT hr = S_OK;
      auto* created = new (std::nothrow) RendererAllocator(static_cast<VideoRenderer*>(m_pRenderer), &hr);
      if (!created) return E_OUTOFMEMORY;
      created->NonDelegatingAddRef();
      if (SUCCEEDED(hr)) {
        hr = created->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&own_));
      }
      created->NonDelegatingRelease();
      if (FAILED(hr)) return hr;
    }
    if (!m_pAllocator) {
      m_pAllocator = own_;
      m_pAllocator->AddRef();
    }
  }
  return CRendererInputPin::GetAllocator(allocator);
}

STDMETHODIMP RendererInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) {
  if (!allocator) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (!own_ || allocator != own_) return VFW_E_NO_ALLOCATOR;
  allocator->AddRef();
  if (m_pAllocator) m_pAllocator->Release();
  m_pAllocator = allocator;
  m_bReadOnly = readOnly != FALSE;
  return S_OK;
}

bool RendererInputPin::ConnectionType(CMediaType* type) {
  CAutoLock lock(m_pLock);
  if (!IsConnected()) return false;
  *type = m_mt;
  return true;
}

HRESULT RendererInputPin::CheckAndSetType(const CMediaType& type) {
  CAutoLock lock(m_pLock);
  return CBaseInputPin::SetMediaType(&type);
}

// --- KsPropertySet ------------------------------------------------------------------------------

KsPropertySet::KsPropertySet(VideoRenderer* renderer, HRESULT* phr)
    : CUnknown(L"KsPropertySet", static_cast<IBaseFilter*>(renderer), phr), renderer_(renderer) {}

STDMETHODIMP KsPropertySet::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP KsPropertySet::Set(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD dataLength) {
  TraceScope scope(ModuleTrace(), L"KsPropertySet::Set()");
  if (set != kFrameStepPropertySet) return HResultFromWin32(ERROR_SET_NOT_FOUND);
  switch (id) {
    case kStep: {
      if (!data) return E_POINTER;
      if (dataLength < sizeof(DWORD)) return E_INVALIDARG;
      const long count = *static_cast<const LONG*>(data);
      if (count <= 0) return E_INVALIDARG;
      renderer_->FrameStep().Step(count);
      return S_OK;
    }
    case kCancelStep:
      renderer_->FrameStep().Cancel();
      return S_OK;
    case kStepReserved1:
    case kStepReserved2:
      return S_OK;
    default:
      return HResultFromWin32(ERROR_NOT_FOUND);
  }
}

STDMETHODIMP KsPropertySet::Get(REFGUID, DWORD, void*, DWORD, void*, DWORD, DWORD*) {
  TraceScope scope(ModuleTrace(), L"KsPropertySet::Get()");
  return HResultFromWin32(ERROR_SET_NOT_FOUND);
}

STDMETHODIMP KsPropertySet::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
  TraceScope scope(ModuleTrace(), L"KsPropertySet::QuerySupported()");
  if (set != kFrameStepPropertySet) return HResultFromWin32(ERROR_SET_NOT_FOUND);
  if (id < kStep || id > kStepReserved2) return HResultFromWin32(ERROR_NOT_FOUND);
  if (support) *support = KSPROPERTY_SUPPORT_SET;
  return S_OK;
}

// --- VideoRenderer ------------------------------------------------------------------------------

CUnknown* VideoRenderer::CreateInstance(IUnknown* outer, HRESULT* phr) {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::CreateInstance()");
  auto* renderer = new (std::nothrow) VideoRenderer(outer, phr);
  if (!renderer && phr) *phr = E_OUTOFMEMORY;
  return renderer;
}

VideoRenderer::VideoRenderer(IUnknown* outer, HRESULT* phr)
    : CBaseVideoRenderer(L"VideoRenderer", outer, CLSID_VornVideoRenderer, &lock_, phr),
      worker_(SourceFolderModule(), [this](long code, LONG_PTR param1, LONG_PTR param2) { NotifyEvent(code, param1, param2); }),
      offset_(PresentationOffset::Read()) {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::VideoRenderer()");
  if (phr && FAILED(*phr)) return;
  HRESULT hr = preview_.Connect();
  if (SUCCEEDED(hr)) {
    // One atomic create: two renderers starting together cannot both win.
    const HRESULT exclusive = instance_.CreateExclusive();
    hr = exclusive == S_OK ? S_OK : exclusive == S_FALSE ? errors::kRendererSecondInstance : E_UNEXPECTED;
  }
  if (SUCCEEDED(hr)) hr = preview_.Initialize(0);  // S_FALSE: the control is another's; we go on
  if (SUCCEEDED(hr)) {
    preview_.SetMuteTimer(kMuteTimerOff);
    hr = worker_.Start();
  }
  if (SUCCEEDED(hr)) {
    window_.reset(new (std::nothrow) VideoWindow(this, &preview_));
    hr = window_ ? window_->Create() : E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr)) hr = CreateParts();
  if (phr && FAILED(hr)) *phr = hr;
}

HRESULT VideoRenderer::CreateParts() {
  HRESULT hr = S_OK;
  filterConfig_.reset(new (std::nothrow) VMRFilterConfig(this));
  windowless_.reset(new (std::nothrow) VMRWindowlessControl(this, &preview_));
  ksPropertySet_.reset(new (std::nothrow) KsPropertySet(this, &hr));
  videoConfig_.reset(new (std::nothrow) VideoConfig(this));
  kivraNtsc2_.reset(videoConfig_ ? new (std::nothrow) KivraNtsc2Object(this, videoConfig_.get()) : nullptr);
  zoom_.reset(new (std::nothrow) KivraNtscZoomObject(this, &preview_));
  kelvUtil_.reset(new (std::nothrow) KelvUtil(this, &preview_));
  pages_.reset(new (std::nothrow) PropertyPageList(this));
  if (FAILED(hr)) return hr;
  if (!filterConfig_ || !windowless_ || !ksPropertySet_ || !videoConfig_ || !kivraNtsc2_ || !zoom_ || !kelvUtil_ ||
      !pages_) {
    return E_OUTOFMEMORY;
  }
  return GuardHr(E_OUTOFMEMORY, [this] {
    for (const CLSID* page : {&CLSID_QualityPage, &CLSID_FieldOrderPage, &CLSID_ZoomModePage}) pages_->Add(*page);
    return S_OK;
  });
}

void VideoRenderer::SetSourceFolderModule(HMODULE module) { g_sourceFolderModule = module; }

VideoRenderer::~VideoRenderer() {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::~VideoRenderer()");
  pages_.reset();
  kelvUtil_.reset();
  videoConfig_.reset();
  zoom_.reset();
  kivraNtsc2_.reset();
  ksPropertySet_.reset();
  windowless_.reset();
  filterConfig_.reset();
  window_.reset();
  worker_.TearDown();
  worker_.Stop();
  preview_.Uninitialize(0);
  preview_.Disconnect();
}

void VideoRenderer::DeleteVideoWindow() {
  CAutoLock lock(&lock_);
  window_.reset();
}

SIZE VideoRenderer::NativeSize() {
  CAutoLock lock(&lock_);
  return SIZE{nativeWidth_, nativeHeight_};
}

STDMETHODIMP VideoRenderer::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IVideoWindow || iid == IID_IBasicVideo) {
    if (window_) return window_->NonDelegatingQueryInterface(iid, out);
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Each sub-object answers its own interfaces; the rest is the base's.
  const struct {
    const IID* iid;
    CUnknown* part;
  } routes[] = {{&IID_IVMRFilterConfig, filterConfig_.get()}, {&IID_IVMRWindowlessControl, windowless_.get()},
                {&IID_IKsPropertySet, ksPropertySet_.get()},   {&IID_KivraNtsc, kivraNtsc2_.get()},
                {&IID_KivraNtsc2, kivraNtsc2_.get()},          {&IID_KivraNtscZoom, zoom_.get()},
                {&IID_IVideoConfig, videoConfig_.get()},       {&IID_IKelvUtil, kelvUtil_.get()},
                {&IID_ISpecifyPropertyPages, pages_.get()}};
  for (const auto& route : routes) {
    if (iid == *route.iid && route.part) return route.part->NonDelegatingQueryInterface(iid, out);
  }
  return CBaseVideoRenderer::NonDelegatingQueryInterface(iid, out);
}

CRendererInputPin* VideoRenderer::CreateInputPin(HRESULT* phr) {
  return new (std::nothrow) RendererInputPin(this, phr);
}

HRESULT VideoRenderer::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  if (*type->Type() != MEDIATYPE_Video || *type->Subtype() != MEDIASUBTYPE_YUY2) return VFW_E_TYPE_NOT_ACCEPTED;
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(type);
  // Unsigned: a negative (top-down) height is refused with the oversized ones.
  if (!header || static_cast<DWORD>(header->biWidth) > static_cast<DWORD>(kMaxWidth) ||
      static_cast<DWORD>(header->biHeight) > static_cast<DWORD>(kMaxHeight)) {
    return VFW_E_INVALIDMEDIATYPE;
  }
  REFERENCE_TIME frameTime = 0;
  if (*type->FormatType() == FORMAT_VideoInfo) {
    frameTime = reinterpret_cast<const VIDEOINFOHEADER*>(type->Format())->AvgTimePerFrame;
  } else if (*type->FormatType() == FORMAT_VideoInfo2) {
    frameTime = reinterpret_cast<const VIDEOINFOHEADER2*>(type->Format())->AvgTimePerFrame;
  } else {
    return VFW_E_INVALIDMEDIATYPE;
  }
  if (!NtscFrameTime(frameTime)) return VFW_E_INVALIDMEDIATYPE;
  return S_OK;
}

HRESULT VideoRenderer::SetMediaType(const CMediaType* type) {
  CAutoLock lock(&lock_);
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(type);
  if (!header) return VFW_E_INVALIDMEDIATYPE;
  nativeWidth_ = header->biWidth;
  nativeHeight_ = header->biHeight;
  connected_ = *type;
  worker_.SetSourceMediaType(type);  // a graph not built yet takes the type when it is
  return CBaseVideoRenderer::SetMediaType(type);
}

HRESULT VideoRenderer::CompleteConnect(IPin* receivePin) {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::CompleteConnect()");
  CAutoLock lock(&lock_);
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&connected_);
  if (!header) return VFW_E_INVALIDMEDIATYPE;
  HRESULT hr = CBaseVideoRenderer::CompleteConnect(receivePin);
  if (FAILED(hr)) return hr;
  nativeWidth_ = header->biWidth;
  nativeHeight_ = header->biHeight;
  filterConfig_->Fix();
  const bool windowed = window_ && filterConfig_->Mode() == kWindowed;
  HWND window = nullptr;
  RECT source = {}, destination = {};
  if (windowed) {
    window = window_->GetWindowHWND();
    source = destination = RECT{0, 0, nativeWidth_, nativeHeight_};
  } else {
    windowless_->Placement(nativeWidth_, nativeHeight_, &window, &source, &destination);
  }
  hr = worker_.Connect();
  if (SUCCEEDED(hr)) hr = worker_.SetSourceMediaType(&connected_);
  if (SUCCEEDED(hr)) hr = worker_.RunGraph();
  if (FAILED(hr)) {
    worker_.TearDown();
    return hr;
  }
  SIZE size = {nativeWidth_, nativeHeight_};
  preview_.SetMuteTimer(kMuteTimerDisplayChange);
  preview_.SetVideoSize(&size);
  preview_.SetVideoClippingWindow(window);
  preview_.SetVideoPosition(&source, &destination);
  if (windowed) {
    NotifyWindow(window);
    if (FAILED(window_->SetTargetRect(&destination))) window_->SetDefaultTargetRect();
    window_->OnVideoSizeChange();
    window_->SetFormat(&connected_);
  }
  return S_OK;
}

void VideoRenderer::NotifyWindow(HWND window) {
  IPin* peer = m_pInputPin ? m_pInputPin->GetConnected() : nullptr;
  IMediaEventSink* sink = nullptr;
  if (peer && SUCCEEDED(peer->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink)))) {
    sink->Notify(EC_NOTIFY_WINDOW, reinterpret_cast<LONG_PTR>(window), 0);
    sink->Release();
  }
  NotifyEvent(EC_NOTIFY_WINDOW, reinterpret_cast<LONG_PTR>(window), 0);
}

HRESULT VideoRenderer::Active() {
  CBaseVideoRenderer::Active();
  if (!window_ || !filterConfig_ || filterConfig_->Mode() != kWindowed || !preview_.IsInitialized()) return S_OK;
  const HWND hwnd = window_->GetWindowHWND();
  if (window_->AutoShow() && !IsWindowVisible(hwnd)) {
    ShowWindow(hwnd, SW_SHOWNORMAL);
    SetForegroundWindow(hwnd);
  }
  return S_OK;
}

HRESULT VideoRenderer::BreakConnect() {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::BreakConnect()");
  CAutoLock lock(&lock_);
  if (m_pInputPin && m_pInputPin->IsConnected()) NotifyWindow(nullptr);
  preview_.SetMuteTimer(kMuteTimerOff);
  worker_.TearDown();
  if (window_) {
    const HWND hwnd = window_->GetWindowHWND();
    long style = 0;
    if (SUCCEEDED(window_->get_WindowStyle(&style)) && !(style & WS_CAPTION)) SendMessageW(hwnd, WM_RBUTTONDBLCLK, 0, 0);
    InvalidateRect(hwnd, nullptr, TRUE);
  }
  const HRESULT hr = CBaseVideoRenderer::BreakConnect();
  if (FAILED(hr)) return hr;
  connected_ = CMediaType();
  return S_OK;
}

STDMETHODIMP VideoRenderer::Pause() {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::Pause()");
  CAutoLock lock(&lock_);
  return CBaseVideoRenderer::Pause();
}

STDMETHODIMP VideoRenderer::Run(REFERENCE_TIME start) {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::Run", L"%I64d", start);
  CAutoLock lock(&lock_);
  return CBaseVideoRenderer::Run(start);
}

STDMETHODIMP VideoRenderer::Stop() {
  TraceScope scope(ModuleTrace(), L"VideoRenderer::Stop()");
  frameStep_.Cancel();
  CAutoLock lock(&lock_);
  return CBaseVideoRenderer::Stop();
}

HRESULT VideoRenderer::ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* end) {
  *start += offset_.Offset();
  if (end) *end += offset_.Offset();
  const HRESULT hr = CBaseVideoRenderer::ShouldDrawSampleNow(sample, start, end);
  // A discontinuity is drawn rather than dropped.
  if (FAILED(hr) && sample->IsDiscontinuity() == S_OK) return S_OK;
  return hr;
}

void VideoRenderer::ApplySampleType(IMediaSample* sample) {
  IMediaSample2* sample2 = nullptr;
  if (FAILED(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)))) return;
  AM_SAMPLE2_PROPERTIES props{};
  const HRESULT got = sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
  sample2->Release();
  if (FAILED(got) || !(props.dwSampleFlags & AM_SAMPLE_TYPECHANGED) || !props.pMediaType) return;
  const CMediaType type(*props.pMediaType);
  // The size held before the type is applied is the one compared.
  LONG oldWidth = 0, oldHeight = 0;
  {
    CAutoLock lock(&lock_);
    oldWidth = nativeWidth_;
    oldHeight = nativeHeight_;
  }
  const HRESULT hr = SetMediaType(&type);
  if (FAILED(hr)) {
    NotifyEvent(EC_STREAM_ERROR_STILLPLAYING, hr, 0);
    return;
  }
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&type);
  if (header->biWidth != oldWidth || header->biHeight != oldHeight) {
    NotifyEvent(EC_VIDEO_SIZE_CHANGED,
                static_cast<LONG_PTR>((static_cast<DWORD>(header->biHeight & 0xFFFF) << 16) |
                                      static_cast<DWORD>(header->biWidth & 0xFFFF)),
                0);
  }
}

void VideoRenderer::MarkFieldOrder(IMediaSample* sample) {
  IMediaSample2* sample2 = nullptr;
  if (FAILED(sample->QueryInterface(IID_IMediaSample2, reinterpret_cast<void**>(&sample2)))) return;
  AM_SAMPLE2_PROPERTIES props{};
  if (SUCCEEDED(sample2->GetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props)))) {
    CMediaType connected;
    {
      CAutoLock lock(&lock_);
      connected = connected_;
    }
    if (TopFieldFirst(videoConfig_ ? videoConfig_->FieldOrder() : 0, connected, props.dwTypeSpecificFlags)) {
      props.dwTypeSpecificFlags |= AM_VIDEO_FLAG_FIELD1FIRST;
    } else {
      props.dwTypeSpecificFlags &= ~static_cast<DWORD>(AM_VIDEO_FLAG_FIELD1FIRST);
    }
    sample2->SetProperties(sizeof(props), reinterpret_cast<BYTE*>(&props));
  }
  sample2->Release();
}

HRESULT VideoRenderer::DoRenderSample(IMediaSample* sample) {
  int drawn = 0;
  get_FramesDrawn(&drawn);
  dump_.CheckPulldown(sample, drawn);
  ApplySampleType(sample);
  switch (frameStep_.OnFrame()) {
    case FrameStepCounter::Verdict::Drop:
      return S_OK;
    case FrameStepCounter::Verdict::DeliverAndComplete:
      NotifyEvent(kStepComplete, 0, 0);
      break;
    case FrameStepCounter::Verdict::Deliver:
      break;
  }
  if (sample->GetActualDataLength() > 0) {
    BYTE* data = nullptr;
    RETURN_IF_FAILED(sample->GetPointer(&data));
    MarkFieldOrder(sample);
    RETURN_IF_FAILED(worker_.Deliver(sample));
  }
  CMediaType connected;
  if (Input()->ConnectionType(&connected)) dump_.Dump(sample, connected);
  return S_OK;
}

}  // namespace vren

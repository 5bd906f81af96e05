// "Zarn Lumacrest2 Renderer": the video renderer the device managers put at the end of their
// preview graphs. One YUY2 input of at most 720 x 480; each frame is handed on (with its type
// changes, frame steps and field order) and may be dumped. Only one renderer exists in the
// whole system at a time.
//
// Locks: the filter lock (state, connection, settings), the receive lock (DoRenderSample),
// FrameStepCounter's own lock, the preview controller's and the graph worker's, in that
// order: the filter lock may be held while the controller or the worker is called, and the
// controller holds its lock while it calls the worker, never the other way. DoRenderSample takes the filter lock
// briefly (a type change, the connection type); nothing that holds the filter lock waits for
// the receive lock, and the worker's lock is never held while a frame travels.
#pragma once

#include <memory>

#include "common/locks.h"
#include "filters/base/allocator.h"
#include "filters/base/renderer.h"
#include "filters/renderer/graph_worker.h"
#include "filters/renderer/preview_controller.h"
#include "filters/renderer/renderer_interfaces.h"
#include "filters/renderer/video_window.h"

namespace vren {

// {B1E39656-ABCE-4B23-A6FB-6776C7399B1E}
inline constexpr CLSID CLSID_VornVideoRenderer = {
    0xb1e39656, 0xabce, 0x4b23, {0xa6, 0xfb, 0x67, 0x76, 0xc7, 0x39, 0x9b, 0x1e}};
// The frame-step property set {C830ACBD-AB07-492F-8852-45B6987C2979}.
inline constexpr GUID kFrameStepPropertySet = {
    0xc830acbd, 0xab07, 0x492f, {0x88, 0x52, 0x45, 0xb6, 0x98, 0x7c, 0x29, 0x79}};
enum FrameStepProperty : DWORD { kStep = 1, kCancelStep = 2, kStepReserved1 = 3, kStepReserved2 = 4 };

constexpr wchar_t kRendererSettingsKey[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Lumacrest2\\Renderer";
constexpr wchar_t kInstanceMutexName[] = L"Global\\{66EF77CB-A63C-4097-B4B2-D2F838A7226F}";
constexpr LONG kMaxWidth = 720;
constexpr LONG kMaxHeight = 480;
constexpr LONG kBufferBytes = kMaxWidth * kMaxHeight * 2;  // 691200
constexpr long kStepComplete = 0x24;                       // EC_STEP_COMPLETE

// The renderer's schedule shift: "Video Delay" minus "Video Forward" (registry milliseconds).
struct PresentationOffset {
  static constexpr REFERENCE_TIME kDefaultForward = 1000000;  // 100 ms
  REFERENCE_TIME forward = kDefaultForward;
  REFERENCE_TIME delay = 0;

  static PresentationOffset Read();
  REFERENCE_TIME Offset() const { return delay - forward; }
};

// Frame stepping: -1 idle, else the frames still to pass before the step completes.
class FrameStepCounter {
 public:
  enum class Verdict { Deliver, Drop, DeliverAndComplete };

  void Step(long count);
  void Cancel();
  bool Idle() const;
  // The verdict for one arriving frame.
  Verdict OnFrame();

 private:
  mutable CCritSec lock_;
  long remaining_ = -1;
};

constexpr wchar_t kDumpMutexName[] = L"OutputBitmap_VornVRen";
constexpr wchar_t kDumpFolder[] = L"d:";
constexpr wchar_t kDumpPrefix[] = L"VornVRen";

// The renderer's diagnostics, both off unless switched on in the registry: frames written as
// bitmaps while an outside tool holds the dump mutex ("Output Bitmap"), and repeated fields of
// 2-3 pulldown reported to the debugger ("Output Pulldown"). Receive lock only. The pulldown
// reference and the dump numbering belong to the module: a renderer made for a new graph
// carries on where the last one stopped rather than writing over its files.
class BitmapDump {
 public:
  static constexpr LONG kPulldownOffset = 345600;  // row 240 of a 720-pixel YUY2 frame
  static constexpr LONG kPulldownRowBytes = 1440;

  BitmapDump();
  // Reports a frame whose row 240 repeats the previous frame's while row 241 changed.
  void CheckPulldown(IMediaSample* sample, int framesDrawn);
  // Writes the frame while the dump mutex exists; the numbering restarts once it is gone.
  void Dump(IMediaSample* sample, const AM_MEDIA_TYPE& type);

 private:
  const DWORD outputBitmap_;
  const DWORD outputPulldown_;
  static inline BYTE reference_[2 * kPulldownRowBytes] = {};
  static inline int counter_ = 0;
};

// The top-field-first flag the renderer sets on a frame: `videoConfig` 0 decides by the
// format (VideoInfo: always; VideoInfo2: the sample's flag, inverted when the connection says
// interlaced with field 1 first), 2 never, any other value always.
bool TopFieldFirst(DWORD videoConfig, const CMediaType& connected, DWORD typeSpecificFlags);

class VideoRenderer;

// The buffers of the input: always 720 x 480 x 2 bytes, at least two of them; a smaller
// connection is offered the full picture size with each buffer.
class RendererAllocator final : public CMemAllocator {
 public:
  RendererAllocator(VideoRenderer* renderer, HRESULT* phr);
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) override;

 private:
  VideoRenderer* const renderer_;  // our owner's filter outlives its pin's allocator use
};

class RendererInputPin final : public CRendererInputPin {
 public:
  RendererInputPin(VideoRenderer* renderer, HRESULT* phr);
  ~RendererInputPin() override;
  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
  // The connection type, copied (false when not connected).
  bool ConnectionType(CMediaType* type);
  // The base class's type check and type setting, for the allocator and for type changes.
  HRESULT CheckAndSetType(const CMediaType& type);

 private:
  IMemAllocator* own_ = nullptr;  // referenced: the only allocator we take
};

// IKsPropertySet of the filter: the frame-step set.
class KsPropertySet final : public CUnknown, public IKsPropertySet {
 public:
  KsPropertySet(VideoRenderer* renderer, HRESULT* phr);
  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                   DWORD dataLength) override;
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data,
                   DWORD dataLength, DWORD* returned) override;
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

 private:
  VideoRenderer* const renderer_;
};

class VideoRenderer final : public CBaseVideoRenderer {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  ~VideoRenderer() override;

  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT SetMediaType(const CMediaType* type) override;
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT Active() override;
  HRESULT BreakConnect() override;
  HRESULT DoRenderSample(IMediaSample* sample) override;
  HRESULT ShouldDrawSampleNow(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* end) override;
  CRendererInputPin* CreateInputPin(HRESULT* phr) override;

  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;

  FrameStepCounter& FrameStep() { return frameStep_; }
  CCritSec* FilterLock() { return &lock_; }
  // The connected picture size (0 x 0 before the first connection).
  SIZE NativeSize();
  VMRFilterConfig* FilterConfig() { return filterConfig_.get(); }
  PreviewController& Preview() { return preview_; }
  // Windowless rendering needs no video window of the renderer's own.
  void DeleteVideoWindow();
  VideoWindow* Window() { return window_.get(); }
  RendererInputPin* Input() { return static_cast<RendererInputPin*>(InputPin()); }
  const PresentationOffset& Offset() const { return offset_; }
  GraphWorker& Worker() { return worker_; }
  // The module whose folder holds the internal source for renderers made from now on (null:
  // the renderer's own module). For tests that link the renderer into their program.
  static void SetSourceFolderModule(HMODULE module);

 private:
  VideoRenderer(IUnknown* outer, HRESULT* phr);
  // The interface sub-objects, in their order; E_OUTOFMEMORY when one cannot be made.
  HRESULT CreateParts();
  // EC_NOTIFY_WINDOW to the upstream pin (when it takes events) and to the host graph.
  void NotifyWindow(HWND window);
  // A type arriving with a sample: applied, with EC_VIDEO_SIZE_CHANGED for a new size.
  void ApplySampleType(IMediaSample* sample);
  // Sets or clears AM_VIDEO_FLAG_FIELD1FIRST on the frame.
  void MarkFieldOrder(IMediaSample* sample);

  CCritSec lock_;  // the filter lock
  NamedMutex instance_{kInstanceMutexName};
  GraphWorker worker_;
  PreviewController preview_{&worker_};
  std::unique_ptr<VideoWindow> window_;  // windowed mode only
  // The interface sub-objects, made in this order and deleted in the reverse one.
  std::unique_ptr<VMRFilterConfig> filterConfig_;
  std::unique_ptr<VMRWindowlessControl> windowless_;
  std::unique_ptr<KsPropertySet> ksPropertySet_;
  std::unique_ptr<KivraNtsc2Object> kivraNtsc2_;
  std::unique_ptr<KivraNtscZoomObject> zoom_;
  std::unique_ptr<VideoConfig> videoConfig_;
  std::unique_ptr<KelvUtil> kelvUtil_;
  std::unique_ptr<PropertyPageList> pages_;
  PresentationOffset offset_;
  CMediaType connected_;  // filter lock
  LONG nativeWidth_ = 0;  // filter lock
  LONG nativeHeight_ = 0;
  FrameStepCounter frameStep_;
  BitmapDump dump_;
};

}  // namespace vren

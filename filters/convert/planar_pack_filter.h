// The planar-to-YUY2 converter: field-planar capture frames in, one interleaved YUY2 frame out
// per input, the two stored fields woven in the order set through IPlanarFieldOrder, the frame
// header's drop, pattern and black flags honoured. Its one page sets the field order.
//
// Geometry (FrameWidth, FrameHeight, OutputStride, PalFormat) is written by the connection calls
// and by format changes on the streaming thread; the field order may change from any thread at
// any time (orderLock_ for writers, one atomic read per frame).
#pragma once

#include <wrl/client.h>

#include <atomic>

#include "filters/base/property_page.h"
#include "filters/base/transform.h"
#include "filters/include/filter_interfaces.h"

namespace convert {

// {33B30828-7AD6-4DB1-A681-02C23C4E790A}
inline constexpr CLSID CLSID_PlanarPack = {0x33b30828, 0x7ad6, 0x4db1, {0xa6, 0x81, 0x02, 0xc2, 0x3c, 0x4e, 0x79, 0x0a}};
// {BE994107-E9AB-4AD0-8814-2C49F1D533CA}: also registered by the deinterlacing filter's module.
inline constexpr CLSID CLSID_PlanarFieldOrderPage = {
    0xbe994107, 0xe9ab, 0x4ad0, {0x88, 0x14, 0x2c, 0x49, 0xf1, 0xd5, 0x33, 0xca}};

class CPlanerConvertFilter final : public CTransformFilter, public IPlanarFieldOrder, public ISpecifyPropertyPages {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IPlanarFieldOrder: any value is kept; non-zero means the field stored first is the top one.
  STDMETHODIMP SetFieldOrder(LONG order) override;
  STDMETHODIMP GetFieldOrder(LONG* order) override;
  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* type) override;
  HRESULT BreakConnect(PIN_DIRECTION direction) override;
  // Upstream's new type is taken without touching the geometry; downstream's sets the row pitch
  // from that sample on.
  HRESULT StreamTypeChange(const CMediaType* upstream, const CMediaType* downstream) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

  LONG FrameWidth() const { return frameWidth_; }
  LONG FrameHeight() const { return frameHeight_; }
  LONG OutputStride() const { return outputStride_; }
  LONG PalFormat() const { return palFormat_; }

 private:
  CPlanerConvertFilter(IUnknown* outer, HRESULT* phr);

  LONG palFormat_ = 0;
  LONG frameWidth_ = 352;
  LONG frameHeight_ = 480;
  LONG outputStride_ = 352;
  CCritSec orderLock_;
  std::atomic<LONG> fieldOrder_{1};
};

class PlanarFieldOrderPage final : public CBasePropertyPage {
 public:
  static constexpr int kDialogId = 104;
  static constexpr int kTitleId = 101;
  static constexpr int kTopFirst = 1000;
  static constexpr int kBottomFirst = 1001;

  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnActivate() override;
  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

  LONG PendingOrder() const { return pending_; }

 private:
  explicit PlanarFieldOrderPage(IUnknown* outer);

  Microsoft::WRL::ComPtr<IPlanarFieldOrder> order_;  // while connected
  LONG pending_ = 1;
  bool initialised_ = false;
};

}  // namespace convert

// The caption relay: hardware caption records in (one per sample, from a VBI pin), the Line 21
// byte pair of each record of the chosen channel out, as a 2-byte sample of the platform's
// byte-pair type. Its page changes the channel live and puts it back unless applied.
#pragma once

#include <wrl/client.h>

#include <atomic>

#include "filters/base/property_page.h"
#include "filters/base/transform.h"

namespace caption {

// {98E948BB-8F1C-4683-80FF-78D950485E38}
inline constexpr CLSID CLSID_CcRelay = {0x98e948bb, 0x8f1c, 0x4683, {0x80, 0xff, 0x78, 0xd9, 0x50, 0x48, 0x5e, 0x38}};
// {341CFBFB-1693-4B67-A105-3D252B71E634}
inline constexpr CLSID CLSID_CcChannelPage = {0x341cfbfb, 0x1693, 0x4b67, {0xa1, 0x05, 0x3d, 0x25, 0x2b, 0x71, 0xe6, 0x34}};

// The caption channel, 1 or 2.
DECLARE_INTERFACE_(ICcChannel, IUnknown) {
  STDMETHOD(SetChannel)(THIS_ long channel) PURE;
  STDMETHOD(GetChannel)(THIS_ long* channel) PURE;
};
// {ECFE0718-92D9-4921-885A-6100F1210150}
inline constexpr IID IID_ICcChannel = {0xecfe0718, 0x92d9, 0x4921, {0x88, 0x5a, 0x61, 0x00, 0xf1, 0x21, 0x01, 0x50}};

class CCcRelayFilter final : public CTransformFilter, public ICcChannel, public ISpecifyPropertyPages {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // ICcChannel
  STDMETHODIMP SetChannel(long channel) override;
  STDMETHODIMP GetChannel(long* channel) override;
  // ISpecifyPropertyPages
  STDMETHODIMP GetPages(CAUUID* pages) override;

  HRESULT CheckInputType(const CMediaType* in) override;
  HRESULT CheckTransform(const CMediaType* in, const CMediaType* out) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;
  HRESULT Transform(IMediaSample* in, IMediaSample* out) override;

 private:
  CCcRelayFilter(IUnknown* outer, HRESULT* phr);

  CCritSec channelLock_;  // writers; the streaming thread reads the value once per record
  std::atomic<long> channel_{1};
};

class CcChannelPage final : public CBasePropertyPage {
 public:
  static constexpr int kDialogId = 9;
  static constexpr int kTitleId = 105;
  static constexpr int kChannel1 = 1001;
  static constexpr int kChannel2 = 1002;

  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);

  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnActivate() override;
  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  explicit CcChannelPage(IUnknown* outer);

  Microsoft::WRL::ComPtr<ICcChannel> channel_;  // while connected
  long saved_ = 1;    // the filter's channel when the page was activated, or the last applied
  long current_ = 1;  // the page's choice
};

}  // namespace caption

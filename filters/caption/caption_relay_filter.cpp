#include "filters/caption/caption_relay_filter.h"

#include <ks.h>
#include <ksmedia.h>

#include <new>
#include <utility>

#include "common/hresult.h"
#include "filters/caption/caption_record.h"

namespace caption {

CCcRelayFilter::CCcRelayFilter(IUnknown* outer, HRESULT* phr)
    : CTransformFilter(L"CcRelay", outer, CLSID_CcRelay, phr) {}

CUnknown* CCcRelayFilter::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* filter = new (std::nothrow) CCcRelayFilter(outer, phr);
  if (!filter && phr) *phr = E_OUTOFMEMORY;
  return filter;
}

STDMETHODIMP CCcRelayFilter::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_ICcChannel) return GetInterface(static_cast<ICcChannel*>(this), out);
  if (iid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), out);
  return CTransformFilter::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CCcRelayFilter::SetChannel(long channel) {
  if (!IsValidChannel(channel)) return E_INVALIDARG;
  CAutoLock lock(&channelLock_);
  channel_ = channel;
  return S_OK;
}

STDMETHODIMP CCcRelayFilter::GetChannel(long* channel) {
  if (!channel) return E_POINTER;
  CAutoLock lock(&channelLock_);
  *channel = channel_;
  return S_OK;
}

STDMETHODIMP CCcRelayFilter::GetPages(CAUUID* pages) { return GetSinglePage(CLSID_CcChannelPage, pages); }

HRESULT CCcRelayFilter::CheckInputType(const CMediaType* in) {
  if (!in) return E_POINTER;
  if (*in->Type() != KSDATAFORMAT_TYPE_VBI || *in->FormatType() != FORMAT_None) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CCcRelayFilter::CheckTransform(const CMediaType* in, const CMediaType* out) {
  if (!in || !out) return E_POINTER;
  if (*in->Type() != KSDATAFORMAT_TYPE_VBI) return VFW_E_TYPE_NOT_ACCEPTED;
  if (*out->Type() != MEDIATYPE_AUXLine21Data || *out->Subtype() != MEDIASUBTYPE_Line21_BytePair ||
      *out->FormatType() != FORMAT_None) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  return S_OK;
}

HRESULT CCcRelayFilter::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  if (position > 0) return VFW_S_NO_MORE_ITEMS;
  if (!type) return E_POINTER;
  if (!m_pInput || !m_pInput->IsConnected()) return E_UNEXPECTED;
  RETURN_IF_FAILED(type->Set(m_pInput->CurrentMediaType()));
  type->SetType(&MEDIATYPE_AUXLine21Data);
  type->SetSubtype(&MEDIASUBTYPE_Line21_BytePair);
  type->SetFormatType(&FORMAT_None);
  type->ResetFormatBuffer();
  return S_OK;
}

HRESULT CCcRelayFilter::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  ALLOCATOR_PROPERTIES wanted{};
  wanted.cbBuffer = 2;
  wanted.cbAlign = request->cbAlign > 0 ? request->cbAlign : 1;
  wanted.cBuffers = request->cBuffers > 0 ? request->cBuffers : 1;
  wanted.cbPrefix = 0;
  ALLOCATOR_PROPERTIES actual{};
  RETURN_IF_FAILED(allocator->SetProperties(&wanted, &actual));
  if (actual.cBuffers < wanted.cBuffers || actual.cbBuffer < 2) return E_FAIL;
  return S_OK;
}

HRESULT CCcRelayFilter::Transform(IMediaSample* in, IMediaSample* out) {
  if (!in || !out) return E_POINTER;
  BYTE* record = nullptr;
  RETURN_IF_FAILED(in->GetPointer(&record));
  const LONG length = std::min(in->GetActualDataLength(), in->GetSize());
  std::uint8_t pair[2] = {};
  const HRESULT kept = ExtractBytePair(record, length > 0 ? static_cast<std::size_t>(length) : 0, channel_.load(), pair);
  if (kept != S_OK) return FAILED(kept) ? kept : S_FALSE;  // another channel, or no whole record
  BYTE* data = nullptr;
  RETURN_IF_FAILED(out->GetPointer(&data));
  if (!data || out->GetSize() < 2) return S_FALSE;
  RETURN_IF_FAILED(out->SetActualDataLength(2));
  data[0] = pair[0];
  data[1] = pair[1];
  return S_OK;
}

// ---- CcChannelPage -------------------------------------------------------------------------------

CcChannelPage::CcChannelPage(IUnknown* outer) : CBasePropertyPage(L"CcChannelPage", outer, kDialogId, kTitleId) {}

CUnknown* CcChannelPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* page = new (std::nothrow) CcChannelPage(outer);
  if (!page && phr) *phr = E_OUTOFMEMORY;
  return page;
}

HRESULT CcChannelPage::OnConnect(IUnknown* object) {
  if (!object) return E_POINTER;
  Microsoft::WRL::ComPtr<ICcChannel> channel;
  RETURN_IF_FAILED(object->QueryInterface(IID_ICcChannel, reinterpret_cast<void**>(channel.GetAddressOf())));
  channel_ = std::move(channel);
  return S_OK;
}

HRESULT CcChannelPage::OnDisconnect() {
  if (!channel_) return S_OK;
  channel_->SetChannel(saved_);  // a choice that was never applied is undone
  channel_.Reset();
  return S_OK;
}

HRESULT CcChannelPage::OnActivate() {
  if (channel_) channel_->GetChannel(&saved_);
  current_ = saved_;
  CheckDlgButton(m_hwnd, kChannel1, saved_ == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hwnd, kChannel2, saved_ == 2 ? BST_CHECKED : BST_UNCHECKED);
  return S_OK;
}

HRESULT CcChannelPage::OnApplyChanges() {
  saved_ = current_;
  return S_OK;
}

INT_PTR CcChannelPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && HIWORD(wParam) == 0) {
    const int id = LOWORD(wParam);
    if (id == kChannel1 || id == kChannel2) {
      current_ = id == kChannel1 ? 1 : 2;
      SetDirty();
      if (channel_) channel_->SetChannel(current_);  // heard at once
      return TRUE;
    }
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

}  // namespace caption

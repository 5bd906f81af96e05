#include "filters/pacers/live_sync_page.h"

#include <new>

#include "common/format.h"
#include "filters/pacers/live_sync_resource.h"
#include "filters/pacers/pacer_timing.h"

CUnknown* LiveSyncPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  auto* page = new (std::nothrow) LiveSyncPage(outer, phr);
  if (!page && phr) *phr = E_OUTOFMEMORY;
  return page;
}

LiveSyncPage::LiveSyncPage(IUnknown* outer, HRESULT*)
    : CBasePropertyPage(L"Live Sync Property Page", outer, IDD_LIVE_SYNC, IDS_LIVE_SYNC_TITLE) {}

HRESULT LiveSyncPage::OnConnect(IUnknown* object) {
  if (settings_) return S_OK;
  if (!object) return E_POINTER;
  return object->QueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(settings_.GetAddressOf()));
}

HRESULT LiveSyncPage::OnDisconnect() {
  settings_.Reset();
  return S_OK;
}

HRESULT LiveSyncPage::OnActivate() {
  if (!settings_) return E_UNEXPECTED;
  SetDlgItemTextW(m_hwnd, IDC_ALLOCATOR_BUFFERS, FormatW(L"%ld", static_cast<long>(settings_->GetAllocatorBuffers())).c_str());
  SetDlgItemTextW(m_hwnd, IDC_DELAY, FormatW(L"%ld", static_cast<long>(settings_->GetDelay())).c_str());
  CheckDlgButton(m_hwnd, IDC_TIME_STAMPING, settings_->GetTimeStamping() == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hwnd, IDC_HW_TIME_STAMP, settings_->GetHwTimeStamp() == 1 ? BST_CHECKED : BST_UNCHECKED);
  // Filling the edits above reported changes; what the page shows now is what is stored.
  m_bDirty = false;
  if (m_pPageSite) m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
  return S_OK;
}

long LiveSyncPage::ReadNumber(int controlId) const {
  wchar_t text[256] = {};
  GetDlgItemTextW(m_hwnd, controlId, text, 255);
  return pacer::ParseLeadingNumber(text);
}

HRESULT LiveSyncPage::OnApplyChanges() {
  if (!settings_ || !m_hwnd) return E_UNEXPECTED;
  settings_->SetAllocatorBuffers(ReadNumber(IDC_ALLOCATOR_BUFFERS));
  settings_->SetDelay(ReadNumber(IDC_DELAY));
  settings_->SetTimeStamping(IsDlgButtonChecked(m_hwnd, IDC_TIME_STAMPING) == BST_CHECKED ? 1 : 0);
  settings_->SetHwTimeStamp(IsDlgButtonChecked(m_hwnd, IDC_HW_TIME_STAMP) == BST_CHECKED ? 1 : 0);
  return S_OK;
}

INT_PTR LiveSyncPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) {
    const UINT code = HIWORD(wParam);
    const UINT id = LOWORD(wParam);
    if ((code == BN_CLICKED || code == EN_CHANGE) && id >= IDC_ALLOCATOR_BUFFERS && id <= IDC_HW_TIME_STAMP) {
      SetDirty();
    }
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

#include "filters/renderer/property_pages.h"

#include <new>

#include "common/format.h"
#include "filters/renderer/renderer_resources.h"

namespace vren {

namespace {

template <class Page>
CUnknown* Create(IUnknown* outer, HRESULT* phr) {
  auto* page = new (std::nothrow) Page(outer);
  if (!page && phr) *phr = E_OUTOFMEMORY;
  return page;
}

// A click (notification 0) on one of the page's buttons: its control identifier, else 0.
int Clicked(UINT message, WPARAM wParam) {
  return message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED ? LOWORD(wParam) : 0;
}

}  // namespace

// --- Field Order ---------------------------------------------------------------------------------

CUnknown* FieldOrderPage::CreateInstance(IUnknown* outer, HRESULT* phr) { return Create<FieldOrderPage>(outer, phr); }

FieldOrderPage::FieldOrderPage(IUnknown* outer)
    : BoundPage(L"Field Order Property Page", outer, IDD_FIELD_ORDER_PAGE, IDS_FIELD_ORDER_TITLE, IID_IVideoConfig) {}

INT_PTR FieldOrderPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG && bound_) {
    LONG order = 0;
    bound_->GetFieldOrder(&order);
    const int checked = order == 1 ? IDC_FIELD_TOP_FIRST : order == 2 ? IDC_FIELD_BOTTOM_FIRST : IDC_FIELD_AUTO;
    CheckRadioButton(hwnd, IDC_FIELD_AUTO, IDC_FIELD_BOTTOM_FIRST, checked);
  } else if (const int id = Clicked(message, wParam); id && bound_) {
    bound_->SetFieldOrder(id == IDC_FIELD_TOP_FIRST ? 1 : id == IDC_FIELD_BOTTOM_FIRST ? 2 : 0);
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

// --- Zoom Mode -----------------------------------------------------------------------------------

CUnknown* ZoomModePage::CreateInstance(IUnknown* outer, HRESULT* phr) { return Create<ZoomModePage>(outer, phr); }

ZoomModePage::ZoomModePage(IUnknown* outer)
    : BoundPage(L"Zoom Mode Property Page", outer, IDD_ZOOM_MODE_PAGE, IDS_ZOOM_MODE_TITLE, IID_KivraNtscZoom) {}

INT_PTR ZoomModePage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG && bound_) {
    LONG mode = 0;
    bound_->GetZoomMode(&mode);
    CheckRadioButton(hwnd, IDC_ZOOM_NORMAL, IDC_ZOOM_WIDE, mode == 1 ? IDC_ZOOM_WIDE : IDC_ZOOM_NORMAL);
  } else if (const int id = Clicked(message, wParam); id && bound_) {
    bound_->SetZoomMode(id == IDC_ZOOM_WIDE ? 1 : 0);
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

// --- Quality -------------------------------------------------------------------------------------

CUnknown* QualityPage::CreateInstance(IUnknown* outer, HRESULT* phr) { return Create<QualityPage>(outer, phr); }

QualityPage::QualityPage(IUnknown* outer)
    : BoundPage(L"Quality Property Page", outer, IDD_QUALITY_PAGE, IDS_QUALITY_TITLE, IID_IQualProp) {}

INT_PTR QualityPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      Refresh(hwnd);
      if (!timer_) timer_ = SetTimer(hwnd, kRefreshTimer, kRefreshMs, nullptr);
      break;
    case WM_TIMER:
      if (wParam == kRefreshTimer) Refresh(hwnd);
      break;
    case WM_DESTROY:
      StopTimer(hwnd);
      break;
    default:
      break;
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

// The base takes the page off its dialog before destroying it, so WM_DESTROY does not reach us.
HRESULT QualityPage::OnDeactivate() {
  StopTimer(m_hwnd);
  return S_OK;
}

void QualityPage::StopTimer(HWND hwnd) {
  if (!timer_) return;
  KillTimer(hwnd, kRefreshTimer);
  timer_ = 0;
}

void QualityPage::Refresh(HWND hwnd) {
  if (!bound_) return;
  int value = 0;
  const auto show = [hwnd](int control, const std::wstring& text) {
    SendDlgItemMessageW(hwnd, control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  };
  if (SUCCEEDED(bound_->get_FramesDroppedInRenderer(&value))) show(IDC_FRAMES_DROPPED, FormatW(L"%d", value));
  if (SUCCEEDED(bound_->get_FramesDrawn(&value))) show(IDC_FRAMES_PLAYED, FormatW(L"%d", value));
  if (SUCCEEDED(bound_->get_AvgFrameRate(&value))) show(IDC_FRAME_RATE, FormatW(L"%d.%02d", value / 100, value % 100));
  if (SUCCEEDED(bound_->get_Jitter(&value))) show(IDC_JITTER, FormatW(L"%d", value));
  if (SUCCEEDED(bound_->get_AvgSyncOffset(&value))) show(IDC_SYNC_AVERAGE, FormatW(L"%d", value));
  if (SUCCEEDED(bound_->get_DevSyncOffset(&value))) show(IDC_SYNC_DEVIATION, FormatW(L"%d", value));
}

}  // namespace vren

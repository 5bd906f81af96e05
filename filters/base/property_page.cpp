#include "filters/base/property_page.h"

#include <cstring>

#include "common/hresult.h"
#include "common/module.h"

CBasePropertyPage::CBasePropertyPage(const wchar_t* objectName, IUnknown* outer, int dialogId, int titleId)
    : CUnknown(objectName, outer), m_DialogId(dialogId), m_TitleId(titleId) {}

CBasePropertyPage::~CBasePropertyPage() {
  // A frame that let go of the page without deactivating it leaves the window and the site.
  if (m_hwnd) {
    SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
    DestroyWindow(m_hwnd);
  }
  if (m_pPageSite) m_pPageSite->Release();
}

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IPropertyPage) return GetInterface(static_cast<IPropertyPage*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
  if (site) {
    if (m_pPageSite) return E_UNEXPECTED;
    site->AddRef();
    m_pPageSite = site;
    return S_OK;
  }
  if (!m_pPageSite) return E_UNEXPECTED;
  m_pPageSite->Release();
  m_pPageSite = nullptr;
  return S_OK;
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CBasePropertyPage* page = nullptr;
  if (message == WM_INITDIALOG) {
    page = reinterpret_cast<CBasePropertyPage*>(lParam);
    if (!page) return FALSE;
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    page->m_hwnd = hwnd;  // the page's handlers may use it from the first message on
  } else {
    page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (!page) return FALSE;
  INT_PTR result = FALSE;
  GuardNoThrow([&] { result = page->OnReceiveMessage(hwnd, message, wParam, lParam); });
  return result;
}

INT_PTR CALLBACK CBasePropertyPage::MeasureProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_STYLECHANGING && wParam == static_cast<WPARAM>(GWL_EXSTYLE)) {
    auto* style = reinterpret_cast<STYLESTRUCT*>(lParam);
    style->styleNew |= WS_EX_CONTROLPARENT;
    return FALSE;
  }
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

STDMETHODIMP CBasePropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (!rect) return E_POINTER;
  if (m_hwnd) return E_UNEXPECTED;
  HWND hwnd = CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(m_DialogId), parent, &DialogProc,
                                 reinterpret_cast<LPARAM>(this));
  if (!hwnd) {
    m_hwnd = nullptr;
    return HResultFromLastError();
  }
  m_hwnd = hwnd;
  HRESULT hr = OnActivate();
  if (FAILED(hr)) {
    Deactivate();
    return hr;
  }
  hr = Move(rect);
  if (SUCCEEDED(hr)) hr = Show(SW_SHOWNORMAL);
  return hr;
}

STDMETHODIMP CBasePropertyPage::Deactivate() {
  if (!m_hwnd) return E_UNEXPECTED;
  const HRESULT hr = OnDeactivate();
  // The frame's dialog would otherwise look for focus in a window that is going away.
  const LONG_PTR exStyle = GetWindowLongPtrW(m_hwnd, GWL_EXSTYLE);
  SetWindowLongPtrW(m_hwnd, GWL_EXSTYLE, exStyle & ~static_cast<LONG_PTR>(WS_EX_CONTROLPARENT));
  SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
  DestroyWindow(m_hwnd);
  m_hwnd = nullptr;
  return hr;
}

STDMETHODIMP CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  std::memset(info, 0, sizeof(*info));
  info->cb = sizeof(*info);

  const wchar_t* text = nullptr;
  const int length = LoadStringW(ThisModule(), static_cast<UINT>(m_TitleId), reinterpret_cast<LPWSTR>(&text), 0);
  const size_t chars = length > 0 && text ? static_cast<size_t>(length) : 0;
  info->pszTitle = static_cast<LPOLESTR>(CoTaskMemAlloc((chars + 1) * sizeof(wchar_t)));
  if (!info->pszTitle) return E_OUTOFMEMORY;
  if (chars) std::memcpy(info->pszTitle, text, chars * sizeof(wchar_t));
  info->pszTitle[chars] = L'\0';

  // The size of the dialog in pixels, from a hidden instance of it made without the page's
  // handlers.
  HWND measure = CreateDialogParamW(ThisModule(), MAKEINTRESOURCEW(m_DialogId), GetDesktopWindow(), &MeasureProc, 0);
  if (measure) {
    RECT r{};
    GetWindowRect(measure, &r);
    info->size.cx = r.right - r.left;
    info->size.cy = r.bottom - r.top;
    DestroyWindow(measure);
  }
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count == 1) {
    if (!objects || !objects[0]) return E_POINTER;
    // A page serves one object: a new one replaces the old.
    if (m_bObjectSet) {
      m_bObjectSet = false;
      OnDisconnect();
    }
    const HRESULT hr = OnConnect(objects[0]);
    m_bObjectSet = SUCCEEDED(hr);
    return hr;
  }
  if (count == 0) {
    m_bObjectSet = false;
    return OnDisconnect();
  }
  return E_UNEXPECTED;
}

STDMETHODIMP CBasePropertyPage::Show(UINT command) {
  if (!m_hwnd) return E_UNEXPECTED;
  if (command != SW_SHOW && command != SW_SHOWNORMAL && command != SW_HIDE) return E_INVALIDARG;
  ShowWindow(m_hwnd, static_cast<int>(command));
  InvalidateRect(m_hwnd, nullptr, TRUE);
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT rect) {
  if (!rect) return E_POINTER;
  if (!m_hwnd) return E_UNEXPECTED;
  MoveWindow(m_hwnd, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::IsPageDirty() { return m_bDirty ? S_OK : S_FALSE; }

STDMETHODIMP CBasePropertyPage::Apply() {
  // Nothing to apply to, or no frame around the page.
  if (!m_bObjectSet || !m_pPageSite) return E_UNEXPECTED;
  if (!m_bDirty) return S_OK;
  const HRESULT hr = OnApplyChanges();
  if (SUCCEEDED(hr)) m_bDirty = false;
  return hr;
}

STDMETHODIMP CBasePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

STDMETHODIMP CBasePropertyPage::TranslateAccelerator(MSG*) { return E_NOTIMPL; }

void CBasePropertyPage::SetDirty() {
  m_bDirty = true;
  if (m_pPageSite) m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

HRESULT GetSinglePage(REFCLSID page, CAUUID* pages) {
  if (!pages) return E_POINTER;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (!pages->pElems) {
    pages->cElems = 0;
    return E_OUTOFMEMORY;
  }
  pages->cElems = 1;
  pages->pElems[0] = page;
  return S_OK;
}

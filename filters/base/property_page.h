// The property-page base: an IPropertyPage whose window is a dialog from this module's
// resources (a child dialog template without a caption) and whose title is a string resource.
//
// The property frame drives it: SetPageSite, SetObjects (the filter: OnConnect; no objects:
// OnDisconnect), Activate (the dialog is made, OnActivate, moved and shown), Deactivate
// (OnDeactivate, the dialog destroyed), Apply (OnApplyChanges while the page is dirty; clean
// again when that succeeds). The derived page reports a change with SetDirty, which also tells
// the page site. Messages of the dialog go to OnReceiveMessage.
//
// All of it runs on the property frame's thread; the page holds no lock.
#pragma once

#include <ocidl.h>

#include "filters/base/unknown.h"

class CBasePropertyPage : public CUnknown, public IPropertyPage {
 public:
  CBasePropertyPage(const wchar_t* objectName, IUnknown* outer, int dialogId, int titleId);
  ~CBasePropertyPage() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IPropertyPage
  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
  STDMETHODIMP Show(UINT command) override;
  STDMETHODIMP Move(LPCRECT rect) override;
  STDMETHODIMP IsPageDirty() override;
  STDMETHODIMP Apply() override;
  STDMETHODIMP Help(LPCOLESTR helpDir) override;
  STDMETHODIMP TranslateAccelerator(MSG* msg) override;

  // --- Hooks of the derived page -----------------------------------------------------------------
  virtual HRESULT OnConnect(IUnknown*) { return S_OK; }
  virtual HRESULT OnDisconnect() { return S_OK; }
  // The dialog exists (m_hwnd) and WM_INITDIALOG has been handled.
  virtual HRESULT OnActivate() { return S_OK; }
  virtual HRESULT OnDeactivate() { return S_OK; }
  virtual HRESULT OnApplyChanges() { return S_OK; }
  // A message of the page's dialog; the result is the dialog procedure's. The base keeps the
  // page a control parent (tabbing into it from the frame) and handles nothing else.
  virtual INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // Marks the page changed and tells the site (PROPPAGESTATUS_DIRTY).
  void SetDirty();
  bool IsDirty() const { return m_bDirty; }
  HWND Window() const { return m_hwnd; }

 protected:
  HWND m_hwnd = nullptr;  // the page's dialog while active
  IPropertyPageSite* m_pPageSite = nullptr;  // referenced while set
  bool m_bDirty = false;
  bool m_bObjectSet = false;  // SetObjects gave an object that OnConnect accepted
  const int m_DialogId;
  const int m_TitleId;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK MeasureProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};

// ISpecifyPropertyPages::GetPages of a filter with one page: `pages` lists `page`, in an array
// from CoTaskMemAlloc that the caller frees. E_OUTOFMEMORY leaves the list empty.
HRESULT GetSinglePage(REFCLSID page, CAUUID* pages);

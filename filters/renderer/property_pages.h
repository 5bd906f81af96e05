// The renderer's three property pages. Each binds one interface of the filter while it is
// connected and applies a choice as soon as it is clicked; the quality page refreshes its
// statistics every 500 ms while shown.
#pragma once

#include <wrl/client.h>

#include "common/dshow.h"
#include "filters/base/property_page.h"
#include "filters/include/filter_interfaces.h"
#include "filters/renderer/renderer_interfaces.h"

namespace vren {

// {E32D59C2-0EFA-11D4-A57A-00400541C5CE}
inline constexpr CLSID CLSID_QualityPage = {0xe32d59c2, 0x0efa, 0x11d4, {0xa5, 0x7a, 0x00, 0x40, 0x05, 0x41, 0xc5, 0xce}};
// {045C3268-A0AF-42B9-8AF5-56699C574908}
inline constexpr CLSID CLSID_FieldOrderPage = {0x045c3268, 0xa0af, 0x42b9, {0x8a, 0xf5, 0x56, 0x69, 0x9c, 0x57, 0x49, 0x08}};
// {0F4F5FD8-E587-45C1-91F2-1C094078F980}
inline constexpr CLSID CLSID_ZoomModePage = {0x0f4f5fd8, 0xe587, 0x45c1, {0x91, 0xf2, 0x1c, 0x09, 0x40, 0x78, 0xf9, 0x80}};

// A page bound to one interface of its object.
template <class Interface>
class BoundPage : public CBasePropertyPage {
 protected:
  BoundPage(const wchar_t* name, IUnknown* outer, int dialogId, int titleId, const IID& iid)
      : CBasePropertyPage(name, outer, dialogId, titleId), iid_(iid) {}
  HRESULT OnConnect(IUnknown* object) override {
    if (!object) return E_POINTER;
    const HRESULT hr = object->QueryInterface(iid_, reinterpret_cast<void**>(bound_.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) return hr;
    return bound_ ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT OnDisconnect() override {
    bound_.Reset();
    return S_OK;
  }
  const IID& iid_;
  Microsoft::WRL::ComPtr<Interface> bound_;
};

class FieldOrderPage final : public BoundPage<IVideoConfig> {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  explicit FieldOrderPage(IUnknown* outer);
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class ZoomModePage final : public BoundPage<KivraNtscZoom> {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  explicit ZoomModePage(IUnknown* outer);
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
};

class QualityPage final : public BoundPage<IQualProp> {
 public:
  static constexpr UINT_PTR kRefreshTimer = 1;
  static constexpr UINT kRefreshMs = 500;

  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  explicit QualityPage(IUnknown* outer);
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  HRESULT OnDeactivate() override;
  bool Refreshing() const { return timer_ != 0; }

 private:
  void Refresh(HWND hwnd);
  void StopTimer(HWND hwnd);

  UINT_PTR timer_ = 0;
};

}  // namespace vren

// The deinterlacing filter's property pages: the mode page and its twin for the MMX path, the
// contrast and sharpness pages (on the processor's parameter table), the field-order page and
// the menu background test panel. Each is made through the module's class factory.
//
// Mode clicks, check boxes and track bars take effect at once; Apply writes what only Apply
// writes (the mode page's remembered mode and field order, the field-order page's order).
#pragma once

#include <cstddef>

#include "filters/base/property_page.h"
#include "filters/deinterlace/drawer_interfaces.h"
#include "filters/deinterlace/tesk_processor.h"
#include "filters/include/filter_interfaces.h"

namespace deinterlace {

class ParameterTable;

// Holds the connected object and its ITeskSettings.
class SettingsPropertyPage : public CBasePropertyPage {
 public:
  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;

 protected:
  SettingsPropertyPage(const wchar_t* name, IUnknown* outer, int dialogId, int titleId)
      : CBasePropertyPage(name, outer, dialogId, titleId) {}
  ~SettingsPropertyPage() override;

  IUnknown* object_ = nullptr;        // referenced while connected
  ITeskSettings* settings_ = nullptr;  // referenced while connected
};

// Edits the Tesk processor's parameter table (the filter's), taken again at every activation.
class ProcessorPropertyPage : public SettingsPropertyPage {
 public:
  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnActivate() override;
  // The processor takes the table's values at once; E_UNEXPECTED without a processor.
  HRESULT ApplyToProcessor();

 protected:
  using SettingsPropertyPage::SettingsPropertyPage;
  HRESULT Attach();
  // The derived page shows the table's values (the dialog exists).
  virtual HRESULT FillControls() { return S_OK; }

  FrameProcessor* processor_ = nullptr;  // the filter's, not referenced
  ParameterTable* table_ = nullptr;
};

// Modes 0..6 (dialog 401) or, on the MMX path, 7..9 (dialog 409).
class TeskModePage final : public CBasePropertyPage {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  static CUnknown* CreateMmxInstance(IUnknown* outer, HRESULT* phr);

  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnActivate() override;
  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  TeskModePage(IUnknown* outer, bool mmx);
  ~TeskModePage() override;
  void SetTableValue(const char* name, int value);
  int TableValue(const char* name);

  const bool mmx_;
  ITeskControl* control_ = nullptr;    // referenced while connected
  ITeskSettings* settings_ = nullptr;  // optional; referenced while connected
  LONG mode_ = 0;
  LONG order_ = 2;
};

class TeskContrastPage final : public ProcessorPropertyPage {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  explicit TeskContrastPage(IUnknown* outer);
  HRESULT FillControls() override;
  void Update();
};

class TeskSharpnessPage final : public ProcessorPropertyPage {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  explicit TeskSharpnessPage(IUnknown* outer);
  HRESULT FillControls() override;
  void Update();
};

class TeskFieldOrderPage final : public CBasePropertyPage {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  HRESULT OnActivate() override;
  HRESULT OnApplyChanges() override;
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  explicit TeskFieldOrderPage(IUnknown* outer);
  ~TeskFieldOrderPage() override;

  IPlanarFieldOrder* order_ = nullptr;  // referenced while connected
  LONG pending_ = 1;
  bool active_ = false;
};

constexpr std::size_t kMenuFieldCount = 10;

// A test panel for the menu background drawer.
class MenuBackgroundPage final : public CBasePropertyPage {
 public:
  static CUnknown* CreateInstance(IUnknown* outer, HRESULT* phr);
  HRESULT OnConnect(IUnknown* object) override;
  HRESULT OnDisconnect() override;
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  explicit MenuBackgroundPage(IUnknown* outer);
  ~MenuBackgroundPage() override;
  void Command(int id);

  IMenuBackground* menu_ = nullptr;  // referenced while connected
  LONG toggle_ = 0;
  int fields_[kMenuFieldCount];  // index, left, top, width, height, alpha %, alpha 1 %, alpha 2 %, times
};

// An opacity percentage as the drawer's alpha (the top byte): percent * 255 / 100, with 32, 64
// and 80 rounded up to 82, 164 and 204; 0 outside 0..100.
DWORD PercentToAlpha(int percent);

}  // namespace deinterlace

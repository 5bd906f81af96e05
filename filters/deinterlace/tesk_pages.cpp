#include "filters/deinterlace/tesk_pages.h"

#include <commctrl.h>

#include <cstddef>
#include <cstdlib>
#include <new>

#include "common/module.h"
#include "filters/deinterlace/parameter_table.h"
#include "filters/deinterlace/tesk_resource.h"

namespace deinterlace {

namespace {

// The track bars of the contrast and sharpness pages.
void InitTrackBars() {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
}

// A page the factory made (null: out of memory).
CUnknown* Made(CUnknown* page, HRESULT* phr) {
  if (!page && phr) *phr = E_OUTOFMEMORY;
  return page;
}

void SetInt(HWND dialog, int id, int value) { SetDlgItemInt(dialog, id, static_cast<UINT>(value), TRUE); }

// A parameter's range and value on a track bar with its texts; false when it is not registered.
bool ShowParameter(HWND dialog, ParameterTable& table, const char* name, int bar, int nameText, int minText,
                   int maxText, int valueText, bool pageSize) {
  int minimum = 0, maximum = 0;
  if (table.Find(name, &minimum, &maximum, nullptr) < 0) return false;
  SetDlgItemTextA(dialog, nameText, name);
  SetInt(dialog, minText, minimum);
  SetInt(dialog, maxText, maximum);
  const HWND track = GetDlgItem(dialog, bar);
  SendMessageW(track, TBM_SETRANGE, TRUE, MAKELPARAM(minimum, maximum));
  if (pageSize) SendMessageW(track, TBM_SETPAGESIZE, 0, (maximum - minimum) / 10);
  else SendMessageW(track, TBM_SETTICFREQ, static_cast<WPARAM>((maximum - minimum) / 10), 0);
  SendMessageW(track, TBM_SETPOS, TRUE, table.GetByName(name));
  SetInt(dialog, valueText, table.GetByName(name));
  return true;
}

// The track bar's position into the table; the stored (clamped) value shown.
void StoreTrackBar(HWND dialog, ParameterTable& table, const char* name, int bar, int valueText) {
  const int position = static_cast<int>(SendDlgItemMessageW(dialog, bar, TBM_GETPOS, 0, 0));
  table.SetByName(name, position);
  SetInt(dialog, valueText, table.GetByName(name));
}

bool IsTrackBarCommand(WPARAM wParam, int first, int second) {
  const int id = LOWORD(wParam);
  return HIWORD(wParam) == 0x0114 && (id == first || id == second);
}

}  // namespace

DWORD PercentToAlpha(int percent) {
  if (percent < 0 || percent > 100) return 0;
  switch (percent) {
    case 32: return 0x52000000;
    case 64: return 0xA4000000;
    case 80: return 0xCC000000;
    default: return static_cast<DWORD>(percent * 255 / 100) << 24;
  }
}

// ---- Page bases -----------------------------------------------------------------------------------

SettingsPropertyPage::~SettingsPropertyPage() {
  if (object_) OnDisconnect();
}

HRESULT SettingsPropertyPage::OnConnect(IUnknown* object) {
  if (!object) return E_POINTER;
  if (object_) return E_UNEXPECTED;
  ITeskSettings* settings = nullptr;
  if (FAILED(object->QueryInterface(IID_ITeskSettings, reinterpret_cast<void**>(&settings))) || !settings) {
    return E_NOINTERFACE;
  }
  object->AddRef();
  object_ = object;
  settings_ = settings;
  return S_OK;
}

HRESULT SettingsPropertyPage::OnDisconnect() {
  if (!object_) return E_UNEXPECTED;
  settings_->Release();
  object_->Release();
  settings_ = nullptr;
  object_ = nullptr;
  return S_OK;
}

HRESULT ProcessorPropertyPage::OnConnect(IUnknown* object) {
  HRESULT hr = SettingsPropertyPage::OnConnect(object);
  if (SUCCEEDED(hr)) hr = Attach();
  if (FAILED(hr) && object_) OnDisconnect();
  return hr;
}

HRESULT ProcessorPropertyPage::OnDisconnect() {
  processor_ = nullptr;
  table_ = nullptr;
  return SettingsPropertyPage::OnDisconnect();
}

HRESULT ProcessorPropertyPage::OnActivate() { return Attach(); }

HRESULT ProcessorPropertyPage::Attach() {
  if (!settings_) return E_UNEXPECTED;
  void* processor = nullptr;
  const HRESULT hr = settings_->GetProcessor(GUID_NULL, &processor);
  if (FAILED(hr)) return hr;
  if (!processor) return E_UNEXPECTED;
  processor_ = static_cast<FrameProcessor*>(processor);
  table_ = processor_->GetParameterTable();
  if (!table_) return E_UNEXPECTED;
  return m_hwnd ? FillControls() : S_OK;
}

HRESULT ProcessorPropertyPage::ApplyToProcessor() { return processor_ ? processor_->UpdateParameters() : E_UNEXPECTED; }

// ---- Mode pages -------------------------------------------------------------------------------------

TeskModePage::TeskModePage(IUnknown* outer, bool mmx)
    : CBasePropertyPage(L"TeskModePage", outer, mmx ? IDD_TESK_MMX_MODE : IDD_TESK_MODE, IDS_TESK_MODE_TITLE),
      mmx_(mmx) {}

TeskModePage::~TeskModePage() {
  if (control_) OnDisconnect();
}

CUnknown* TeskModePage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  return Made(new (std::nothrow) TeskModePage(outer, false), phr);
}
CUnknown* TeskModePage::CreateMmxInstance(IUnknown* outer, HRESULT* phr) {
  return Made(new (std::nothrow) TeskModePage(outer, true), phr);
}

HRESULT TeskModePage::OnConnect(IUnknown* object) {
  if (!object) return E_POINTER;
  ITeskControl* control = nullptr;
  if (FAILED(object->QueryInterface(IID_ITeskControl, reinterpret_cast<void**>(&control))) || !control) {
    return E_NOINTERFACE;
  }
  if (control_) OnDisconnect();
  control_ = control;
  control_->GetDeinterlaceMode(&mode_);
  control_->GetFieldOrder(&order_);
  if (FAILED(object->QueryInterface(IID_ITeskSettings, reinterpret_cast<void**>(&settings_)))) settings_ = nullptr;
  return S_OK;
}

HRESULT TeskModePage::OnDisconnect() {
  if (!control_) return E_UNEXPECTED;
  control_->Release();
  control_ = nullptr;
  if (settings_) settings_->Release();
  settings_ = nullptr;
  return S_OK;
}

int TeskModePage::TableValue(const char* name) {
  void* processor = nullptr;
  if (!settings_ || FAILED(settings_->GetProcessor(GUID_NULL, &processor)) || !processor) return -1;
  ParameterTable* table = static_cast<FrameProcessor*>(processor)->GetParameterTable();
  return table ? table->GetByName(name) : -1;
}

void TeskModePage::SetTableValue(const char* name, int value) {
  void* processor = nullptr;
  if (!settings_ || FAILED(settings_->GetProcessor(GUID_NULL, &processor)) || !processor) return;
  if (ParameterTable* table = static_cast<FrameProcessor*>(processor)->GetParameterTable()) {
    table->SetByName(name, value);
  }
}

HRESULT TeskModePage::OnActivate() {
  if (mmx_) {
    if (mode_ >= 7 && mode_ <= 9) CheckRadioButton(m_hwnd, IDC_MMX_NONE, IDC_MMX_ADAPTIVE, IDC_MMX_NONE + mode_ - 7);
    return S_OK;
  }
  if (mode_ >= 0 && mode_ <= 6) CheckRadioButton(m_hwnd, IDC_MODE_WEAVE, IDC_MODE_S5, IDC_MODE_WEAVE + mode_);
  CheckDlgButton(m_hwnd, IDC_MOTION_VECTORS, TableValue(params::kShowMotionVectors) == 1 ? BST_CHECKED : BST_UNCHECKED);
  CheckDlgButton(m_hwnd, IDC_SINGLE_FIELD, TableValue(params::kSingleField) == 1 ? BST_CHECKED : BST_UNCHECKED);
  const HWND list = GetDlgItem(m_hwnd, IDC_FIELD_ORDER);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (int id : {IDS_ORDER_BOTTOM, IDS_ORDER_TOP, IDS_ORDER_AUTO}) {
    wchar_t text[64] = {};
    LoadStringW(ThisModule(), static_cast<UINT>(id), text, 64);
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }
  SendMessageW(list, CB_SETCURSEL, order_ >= 0 && order_ <= 2 ? order_ : 2, 0);
  return S_OK;
}

HRESULT TeskModePage::OnApplyChanges() {
  if (!control_) return E_UNEXPECTED;
  control_->SetDeinterlaceMode(mode_);
  control_->SetFieldOrder(order_);
  return S_OK;
}

INT_PTR TeskModePage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_COMMAND || !control_) return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
  const int id = LOWORD(wParam);
  const int code = HIWORD(wParam);
  const int first = mmx_ ? IDC_MMX_NONE : IDC_MODE_WEAVE;
  const int last = mmx_ ? IDC_MMX_ADAPTIVE : IDC_MODE_S5;
  if (code == BN_CLICKED && id >= first && id <= last) {
    mode_ = (mmx_ ? 7 : 0) + id - first;
    control_->SetDeinterlaceMode(mode_);  // at once: Cancel does not undo it
    CheckRadioButton(hwnd, first, last, id);
    if (!mmx_ && id >= IDC_MODE_WEAVE + 5) {
      SetTableValue(params::kShowMotionVectors, IsDlgButtonChecked(hwnd, IDC_MOTION_VECTORS) == BST_CHECKED ? 1 : 0);
    }
    return TRUE;
  }
  if (mmx_) return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
  if (code == BN_CLICKED && (id == IDC_SINGLE_FIELD || id == IDC_MOTION_VECTORS)) {
    SetTableValue(id == IDC_SINGLE_FIELD ? params::kSingleField : params::kShowMotionVectors,
                  IsDlgButtonChecked(hwnd, id) == BST_CHECKED ? 1 : 0);
    return TRUE;
  }
  if (code == CBN_SELCHANGE && id == IDC_FIELD_ORDER) {
    order_ = static_cast<LONG>(SendDlgItemMessageW(hwnd, IDC_FIELD_ORDER, CB_GETCURSEL, 0, 0));
    SetDirty();
    return TRUE;
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

// ---- Contrast and sharpness -----------------------------------------------------------------------------

TeskContrastPage::TeskContrastPage(IUnknown* outer)
    : ProcessorPropertyPage(L"TeskContrastPage", outer, IDD_TESK_CONTRAST, IDS_TESK_CONTRAST_TITLE) {
  InitTrackBars();
}

CUnknown* TeskContrastPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  return Made(new (std::nothrow) TeskContrastPage(outer), phr);
}

HRESULT TeskContrastPage::FillControls() {
  if (!table_) return E_UNEXPECTED;
  ShowParameter(m_hwnd, *table_, params::kContrastFactor, IDC_CONTRAST_BAR, IDC_CONTRAST_NAME, IDC_CONTRAST_MIN,
                IDC_CONTRAST_MAX, IDC_CONTRAST_VALUE, true);
  CheckDlgButton(m_hwnd, IDC_CONTRAST_ON, table_->GetByName(params::kContrast) > 0 ? BST_CHECKED : BST_UNCHECKED);
  return S_OK;
}

void TeskContrastPage::Update() {
  StoreTrackBar(m_hwnd, *table_, params::kContrastFactor, IDC_CONTRAST_BAR, IDC_CONTRAST_VALUE);
  ApplyToProcessor();
}

INT_PTR TeskContrastPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_HSCROLL && message != WM_COMMAND) {
    return ProcessorPropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
  }
  if (!table_) return E_UNEXPECTED;
  if (message == WM_HSCROLL || IsTrackBarCommand(wParam, IDC_CONTRAST_BAR, IDC_CONTRAST_BAR)) {
    Update();
    return message == WM_HSCROLL ? 0 : TRUE;
  }
  if (LOWORD(wParam) == IDC_CONTRAST_ON && HIWORD(wParam) == BN_CLICKED) {
    table_->SetByName(params::kContrast, IsDlgButtonChecked(hwnd, IDC_CONTRAST_ON) == BST_CHECKED ? 1 : 0);
  }
  return TRUE;
}

TeskSharpnessPage::TeskSharpnessPage(IUnknown* outer)
    : ProcessorPropertyPage(L"TeskSharpnessPage", outer, IDD_TESK_SHARPNESS, IDS_TESK_SHARPNESS_TITLE) {
  InitTrackBars();
}

CUnknown* TeskSharpnessPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  return Made(new (std::nothrow) TeskSharpnessPage(outer), phr);
}

HRESULT TeskSharpnessPage::FillControls() {
  if (!table_) return E_UNEXPECTED;
  ShowParameter(m_hwnd, *table_, params::kSharpnessFactor, IDC_FACTOR_BAR, IDC_FACTOR_NAME, IDC_FACTOR_MIN,
                IDC_FACTOR_MAX, IDC_FACTOR_VALUE, false);
  ShowParameter(m_hwnd, *table_, params::kSharpnessCoring, IDC_CORING_BAR, IDC_CORING_NAME, IDC_CORING_MIN,
                IDC_CORING_MAX, IDC_CORING_VALUE, false);
  CheckDlgButton(m_hwnd, IDC_SHARPNESS_ON, table_->GetByName(params::kSharpness) > 0 ? BST_CHECKED : BST_UNCHECKED);
  return S_OK;
}

void TeskSharpnessPage::Update() {
  StoreTrackBar(m_hwnd, *table_, params::kSharpnessFactor, IDC_FACTOR_BAR, IDC_FACTOR_VALUE);
  StoreTrackBar(m_hwnd, *table_, params::kSharpnessCoring, IDC_CORING_BAR, IDC_CORING_VALUE);
  ApplyToProcessor();
}

INT_PTR TeskSharpnessPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_HSCROLL && message != WM_COMMAND) {
    return message == WM_INITDIALOG ? TRUE : ProcessorPropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
  }
  if (!table_) return E_UNEXPECTED;
  if (message == WM_HSCROLL) {
    Update();
    return 0;
  }
  if (IsTrackBarCommand(wParam, IDC_FACTOR_BAR, IDC_CORING_BAR)) {
    Update();
  } else if (LOWORD(wParam) == IDC_SHARPNESS_ON && HIWORD(wParam) == BN_CLICKED) {
    table_->SetByName(params::kSharpness, IsDlgButtonChecked(hwnd, IDC_SHARPNESS_ON) == BST_CHECKED ? 1 : 0);
  }
  return TRUE;
}

// ---- Field order ------------------------------------------------------------------------------------------

TeskFieldOrderPage::TeskFieldOrderPage(IUnknown* outer)
    : CBasePropertyPage(L"TeskFieldOrderPage", outer, IDD_TESK_FIELD_ORDER, IDS_TESK_FIELD_ORDER_TITLE) {}

TeskFieldOrderPage::~TeskFieldOrderPage() {
  if (order_) OnDisconnect();
}

CUnknown* TeskFieldOrderPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  return Made(new (std::nothrow) TeskFieldOrderPage(outer), phr);
}

HRESULT TeskFieldOrderPage::OnConnect(IUnknown* object) {
  if (!object) return E_POINTER;
  IPlanarFieldOrder* order = nullptr;
  if (FAILED(object->QueryInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(&order))) || !order) {
    return E_NOINTERFACE;
  }
  if (order_) order_->Release();
  order_ = order;
  order_->GetFieldOrder(&pending_);
  return S_OK;
}

HRESULT TeskFieldOrderPage::OnDisconnect() {
  if (!order_) return E_UNEXPECTED;
  order_->Release();
  order_ = nullptr;
  active_ = false;
  return S_OK;
}

HRESULT TeskFieldOrderPage::OnActivate() {
  CheckRadioButton(m_hwnd, IDC_TOP_FIRST, IDC_BOTTOM_FIRST, pending_ == 1 ? IDC_TOP_FIRST : IDC_BOTTOM_FIRST);
  active_ = true;
  return S_OK;
}

HRESULT TeskFieldOrderPage::OnApplyChanges() { return order_ ? order_->SetFieldOrder(pending_) : E_UNEXPECTED; }

INT_PTR TeskFieldOrderPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && active_ && HIWORD(wParam) == BN_CLICKED) {
    const int id = LOWORD(wParam);
    if (id == IDC_TOP_FIRST || id == IDC_BOTTOM_FIRST) {
      pending_ = id == IDC_TOP_FIRST ? 1 : 0;
      SetDirty();
      return TRUE;
    }
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

// ---- Menu background test panel ------------------------------------------------------------------------

namespace {

struct MenuField {
  int control;
  int value;
};
// The panel's fields and their starting values (kept per page in the edit controls).
constexpr MenuField kMenuFields[] = {{IDC_MENU_INDEX, 0},   {IDC_MENU_LEFT, 360},   {IDC_MENU_TOP, 0},
                                     {IDC_MENU_WIDTH, 360}, {IDC_MENU_HEIGHT, 480}, {IDC_MENU_ALPHA, 32},
                                     {IDC_MENU_ALPHA1, 64}, {IDC_MENU_ALPHA2, 80},  {IDC_MENU_TIME, 500},
                                     {IDC_MENU_FADE_TIME, 500}};
static_assert(sizeof(kMenuFields) / sizeof(kMenuFields[0]) == kMenuFieldCount);

int ReadField(HWND dialog, int control) {
  char text[257] = {};
  GetDlgItemTextA(dialog, control, text, 257);
  return std::atoi(text);
}

}  // namespace

MenuBackgroundPage::MenuBackgroundPage(IUnknown* outer)
    : CBasePropertyPage(L"MenuBackgroundPage", outer, IDD_TESK_MENU_BACK, IDS_TESK_MENU_BACK_TITLE) {
  for (size_t i = 0; i < kMenuFieldCount; ++i) fields_[i] = kMenuFields[i].value;
}

MenuBackgroundPage::~MenuBackgroundPage() {
  if (menu_) OnDisconnect();
}

CUnknown* MenuBackgroundPage::CreateInstance(IUnknown* outer, HRESULT* phr) {
  return Made(new (std::nothrow) MenuBackgroundPage(outer), phr);
}

HRESULT MenuBackgroundPage::OnConnect(IUnknown* object) {
  if (!object) return E_POINTER;
  IMenuBackground* menu = nullptr;
  if (FAILED(object->QueryInterface(IID_IMenuBackground, reinterpret_cast<void**>(&menu))) || !menu) {
    return E_NOINTERFACE;
  }
  if (menu_) menu_->Release();
  menu_ = menu;
  menu_->SetCount(8);
  toggle_ = 0;
  return S_OK;
}

HRESULT MenuBackgroundPage::OnDisconnect() {
  if (!menu_) return E_UNEXPECTED;
  menu_->Release();
  menu_ = nullptr;
  return S_OK;
}

void MenuBackgroundPage::Command(int id) {
  // The fields are read and kept whether or not a drawer is connected.
  for (size_t i = 0; i < kMenuFieldCount; ++i) fields_[i] = ReadField(m_hwnd, kMenuFields[i].control);
  if (!menu_) return;
  const auto field = [this](int control) {
    for (size_t i = 0; i < kMenuFieldCount; ++i) {
      if (kMenuFields[i].control == control) return fields_[i];
    }
    return 0;
  };
  const int index = field(IDC_MENU_INDEX);
  menu_->SetRect(index, field(IDC_MENU_LEFT), field(IDC_MENU_TOP), field(IDC_MENU_WIDTH), field(IDC_MENU_HEIGHT),
                 PercentToAlpha(field(IDC_MENU_ALPHA)));
  const LONG show = toggle_ == 0 ? 1 : 0;
  if (id == IDC_MENU_SHOW) menu_->Fade(index, show, field(IDC_MENU_TIME));
  if (id == IDC_MENU_SHOW_ALL) menu_->FadeAll(show, field(IDC_MENU_TIME));
  if (id == IDC_MENU_FADE) {
    menu_->SetFade(index, PercentToAlpha(field(IDC_MENU_ALPHA1)), PercentToAlpha(field(IDC_MENU_ALPHA2)),
                   field(IDC_MENU_FADE_TIME));
  }
  toggle_ = toggle_ ? 0 : 1;
}

INT_PTR MenuBackgroundPage::OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      for (size_t i = 0; i < kMenuFieldCount; ++i) SetInt(hwnd, kMenuFields[i].control, fields_[i]);
      return TRUE;
    case WM_DESTROY:
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        const int id = LOWORD(wParam);
        if (id == IDC_MENU_SHOW || id == IDC_MENU_SHOW_ALL || id == IDC_MENU_FADE) Command(id);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
}

}  // namespace deinterlace

// The deinterlacing filter's property pages on a real filter, activated on a window of their
// own and driven with clicks, list selections and track-bar moves as a user would, through
// IPropertyPage with a stub page site.
#include "filters/deinterlace/tesk_pages.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/stub_page_site.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/tesk_filter.h"
#include "filters/deinterlace/tesk_resource.h"

namespace deinterlace {
namespace {

using graph_testkit::NewObject;
using graph_testkit::StubPropertyPageSite;

// A page connected to a filter and activated on a parent window of the test.
struct PageRig {
  TeskFilter* filter = nullptr;
  IPropertyPage* page = nullptr;
  StubPropertyPageSite* site = StubPropertyPageSite::Create();
  HWND parent = CreateWindowExW(0, L"STATIC", L"page parent", WS_OVERLAPPEDWINDOW, 0, 0, 600, 500, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  HWND dialog = nullptr;

  PageRig(CUnknown* (*create)(IUnknown*, HRESULT*), std::uint32_t mask = 0) {
    if (mask) ProcessorMask::SetOverride(mask);
    filter = NewObject<TeskFilter>();
    if (mask) ProcessorMask::ClearOverride();
    HRESULT hr = S_OK;
    CUnknown* object = create(nullptr, &hr);
    object->NonDelegatingAddRef();
    object->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page));
    object->NonDelegatingRelease();
    page->SetPageSite(site);
  }
  HRESULT Connect() {
    IUnknown* object = filter->GetOwner();
    return page->SetObjects(1, &object);
  }
  void Activate() {
    RECT rect{0, 0, 500, 400};
    ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
    dialog = GetWindow(parent, GW_CHILD);
    ASSERT_NE(dialog, nullptr);
  }
  void Click(int id) { SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
  bool Checked(int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
  int Text(int id) { return static_cast<int>(GetDlgItemInt(dialog, id, nullptr, TRUE)); }
  void MoveTrackBar(int id, int position) {
    SendDlgItemMessageW(dialog, id, TBM_SETPOS, TRUE, position);
    SendMessageW(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  }
  int Param(const char* name) { return filter->Table().GetByName(name); }
  bool ReportedDirty() {
    for (DWORD change : site->StatusChanges()) {
      if (change & PROPPAGESTATUS_DIRTY) return true;
    }
    return false;
  }
  ~PageRig() {
    if (dialog) page->Deactivate();
    page->SetObjects(0, nullptr);
    page->SetPageSite(nullptr);
    DestroyWindow(parent);
    EXPECT_EQ(page->Release(), 0u);
    EXPECT_EQ(site->Release(), 0u);
    EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
  }
};

TEST(TeskPages, ModeClicksActAtOnceAndApplyWritesModeAndOrder) {
  PageRig rig(&TeskModePage::CreateInstance, kCpuMmx | kCpuSseInteger | kCpuSse2);
  rig.filter->Table().SetByName(params::kSingleField, 2);
  ASSERT_EQ(rig.Connect(), S_OK);
  rig.Activate();
  EXPECT_TRUE(rig.Checked(IDC_MODE_WEAVE + 4));
  EXPECT_FALSE(rig.Checked(IDC_SINGLE_FIELD));  // 2 shows unchecked
  EXPECT_EQ(SendDlgItemMessageW(rig.dialog, IDC_FIELD_ORDER, CB_GETCURSEL, 0, 0), 2);

  rig.Click(IDC_MODE_WEAVE + 1);  // "Bob"
  EXPECT_EQ(rig.Param(params::kDeintermode), 1);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(rig.dialog, IDC_MODE_WEAVE + 6)));  // "Adaptive S5"
  rig.Click(IDC_SINGLE_FIELD);
  EXPECT_EQ(rig.Param(params::kSingleField), 1);
  rig.Click(IDC_SINGLE_FIELD);
  EXPECT_EQ(rig.Param(params::kSingleField), 0);
  EXPECT_EQ(rig.page->IsPageDirty(), S_FALSE);

  SendDlgItemMessageW(rig.dialog, IDC_FIELD_ORDER, CB_SETCURSEL, 1, 0);
  SendMessageW(rig.dialog, WM_COMMAND, MAKEWPARAM(IDC_FIELD_ORDER, CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(GetDlgItem(rig.dialog, IDC_FIELD_ORDER)));
  EXPECT_EQ(rig.page->IsPageDirty(), S_OK);
  EXPECT_TRUE(rig.ReportedDirty());
  LONG order = -1;
  rig.filter->TeskControl_GetFieldOrder(&order);
  EXPECT_EQ(order, 2);  // not before Apply
  rig.filter->Table().SetByName(params::kDeintermode, 3);
  ASSERT_EQ(rig.page->Apply(), S_OK);
  rig.filter->TeskControl_GetFieldOrder(&order);
  EXPECT_EQ(order, 1);
  EXPECT_EQ(rig.Param(params::kDeintermode), 1);  // the remembered mode
  EXPECT_EQ(rig.page->IsPageDirty(), S_FALSE);

  // Cancel (disconnect without Apply) leaves a clicked mode in place.
  rig.Click(IDC_MODE_WEAVE + 2);
  ASSERT_EQ(rig.page->Deactivate(), S_OK);
  rig.dialog = nullptr;
  ASSERT_EQ(rig.page->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(rig.Param(params::kDeintermode), 2);
}

TEST(TeskPages, TheMmxPathPageSetsModesSevenToNine) {
  PageRig rig(&TeskModePage::CreateMmxInstance, kCpuMmx);
  ASSERT_EQ(rig.Connect(), S_OK);
  rig.Activate();
  EXPECT_TRUE(rig.Checked(IDC_MMX_ADAPTIVE));
  rig.Click(IDC_MMX_NONE);
  EXPECT_EQ(rig.Param(params::kDeintermode), 7);
  EXPECT_TRUE(rig.Checked(IDC_MMX_NONE));
}

TEST(TeskPages, FieldOrderPageCountsClicksOnlyOnceActive) {
  PageRig rig(&TeskFieldOrderPage::CreateInstance);
  auto* page = static_cast<TeskFieldOrderPage*>(rig.page);
  page->OnReceiveMessage(nullptr, WM_COMMAND, MAKEWPARAM(IDC_BOTTOM_FIRST, BN_CLICKED), 0);
  EXPECT_EQ(rig.page->IsPageDirty(), S_FALSE);
  ASSERT_EQ(rig.Connect(), S_OK);
  page->OnReceiveMessage(nullptr, WM_COMMAND, MAKEWPARAM(IDC_BOTTOM_FIRST, BN_CLICKED), 0);
  EXPECT_EQ(rig.page->IsPageDirty(), S_FALSE);
  rig.Activate();
  EXPECT_TRUE(rig.Checked(IDC_TOP_FIRST));
  rig.Click(IDC_BOTTOM_FIRST);
  EXPECT_EQ(rig.page->IsPageDirty(), S_OK);
  EXPECT_EQ(rig.Param(params::kFirstField), 1);
  ASSERT_EQ(rig.page->Apply(), S_OK);
  EXPECT_EQ(rig.Param(params::kFirstField), 0);
}

TEST(TeskPages, ContrastTrackBarStoresClampedValuesAndApplies) {
  PageRig rig(&TeskContrastPage::CreateInstance);
  auto* page = static_cast<TeskContrastPage*>(rig.page);
  EXPECT_EQ(page->OnReceiveMessage(nullptr, WM_HSCROLL, 0, 0), E_UNEXPECTED);  // no table yet
  ASSERT_EQ(rig.Connect(), S_OK);
  rig.Activate();
  const HWND bar = GetDlgItem(rig.dialog, IDC_CONTRAST_BAR);
  EXPECT_EQ(SendMessageW(bar, TBM_GETRANGEMIN, 0, 0), 0);
  EXPECT_EQ(SendMessageW(bar, TBM_GETRANGEMAX, 0, 0), 100);
  EXPECT_EQ(SendMessageW(bar, TBM_GETPAGESIZE, 0, 0), 10);  // (max - min) / 10, positive
  EXPECT_EQ(SendMessageW(bar, TBM_GETPOS, 0, 0), 80);
  EXPECT_TRUE(rig.Checked(IDC_CONTRAST_ON));
  rig.MoveTrackBar(IDC_CONTRAST_BAR, 37);
  EXPECT_EQ(rig.Param(params::kContrastFactor), 37);
  EXPECT_EQ(rig.Text(IDC_CONTRAST_VALUE), 37);
  EXPECT_EQ(rig.filter->Processor().Contrast().factor(), 37);  // applied
  rig.MoveTrackBar(IDC_CONTRAST_BAR, 250);
  EXPECT_EQ(rig.Param(params::kContrastFactor), 100);
  rig.Click(IDC_CONTRAST_ON);
  EXPECT_EQ(rig.Param(params::kContrast), 0);
}

TEST(TeskPages, SharpnessTrackBarsStoreAndApplyAtOnce) {
  PageRig rig(&TeskSharpnessPage::CreateInstance);
  ASSERT_EQ(rig.Connect(), S_OK);
  rig.Activate();
  EXPECT_EQ(SendDlgItemMessageW(rig.dialog, IDC_FACTOR_BAR, TBM_GETRANGEMAX, 0, 0), 100);
  EXPECT_EQ(SendDlgItemMessageW(rig.dialog, IDC_CORING_BAR, TBM_GETRANGEMAX, 0, 0), 10);
  EXPECT_EQ(rig.Text(IDC_FACTOR_VALUE), 25);
  EXPECT_EQ(rig.Text(IDC_CORING_VALUE), 3);
  rig.Click(IDC_SHARPNESS_ON);
  EXPECT_EQ(rig.Param(params::kSharpness), 0);
  SendDlgItemMessageW(rig.dialog, IDC_CORING_BAR, TBM_SETPOS, TRUE, 7);
  rig.MoveTrackBar(IDC_FACTOR_BAR, 75);
  EXPECT_EQ(rig.Param(params::kSharpnessFactor), 75);
  EXPECT_EQ(rig.Param(params::kSharpnessCoring), 7);
  EXPECT_EQ(rig.Text(IDC_CORING_VALUE), 7);
  EXPECT_EQ(rig.filter->Processor().Sharpness().gain(), SharpnessGainFromFactor(75));
  EXPECT_EQ(rig.filter->Processor().Sharpness().coring(), 7);
}

TEST(TeskPages, MenuBackgroundPanelDrivesTheDrawer) {
  PageRig rig(&MenuBackgroundPage::CreateInstance);
  ASSERT_EQ(rig.Connect(), S_OK);
  MenuRect rect;
  EXPECT_TRUE(rig.filter->Drawer().Rect(7, &rect));  // eight rectangles
  EXPECT_FALSE(rig.filter->Drawer().Rect(8, &rect));
  rig.Activate();
  EXPECT_EQ(rig.Text(IDC_MENU_LEFT), 360);
  rig.Click(IDC_MENU_SHOW);
  ASSERT_TRUE(rig.filter->Drawer().Rect(0, &rect));
  EXPECT_EQ(rect.px * 1000 + rect.pw, 360360);
  EXPECT_EQ(rect.ph, 480);
  EXPECT_EQ(rect.target, 174);  // 32 %: opacity 82
  EXPECT_EQ(rect.start * 1000 + rect.end, 256174);
  EXPECT_EQ(rect.fadeTime, 500);
  rig.Click(IDC_MENU_SHOW);  // the second click hides it
  ASSERT_TRUE(rig.filter->Drawer().Rect(0, &rect));
  EXPECT_EQ(rect.start * 1000 + rect.end, 174256);
  SetDlgItemInt(rig.dialog, IDC_MENU_INDEX, 8, FALSE);
  rig.Click(IDC_MENU_FADE);  // refused by the drawer, ignored by the page

  struct Case {
    int percent;
    DWORD alpha;
  };
  for (const Case& c : {Case{32, 0x52000000}, Case{64, 0xA4000000}, Case{80, 0xCC000000}, Case{50, 127u << 24},
                        Case{100, 255u << 24}, Case{-1, 0}, Case{101, 0}}) {
    EXPECT_EQ(PercentToAlpha(c.percent), c.alpha) << c.percent;
  }
}

TEST(TeskPages, ObjectsWithoutTheInterfacesAreRefused) {
  for (auto create : {&TeskModePage::CreateInstance, &TeskContrastPage::CreateInstance,
                      &TeskSharpnessPage::CreateInstance, &TeskFieldOrderPage::CreateInstance,
                      &MenuBackgroundPage::CreateInstance}) {
    PageRig rig(create);
    IUnknown* stranger = static_cast<IPropertyPageSite*>(rig.site);
    EXPECT_EQ(rig.page->SetObjects(1, &stranger), E_NOINTERFACE);
  }
}

}  // namespace
}  // namespace deinterlace

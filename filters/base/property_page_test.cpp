// The property-page base with a test page on a window of the test's own: the dialog comes from
// the program's resources, connect and activate reach the page's hooks, an edit marks the page
// dirty and tells the site, Apply calls OnApplyChanges once and leaves the page clean.
#include <gtest/gtest.h>

#include <string>

#include "common/dshow.h"
#include "filters/base/property_page.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/stub_page_site.h"

using namespace graph_testkit;

namespace {

constexpr int kDialog = 100;
constexpr int kTitle = 101;
constexpr int kEdit = 1001;

// Shows a number of its object (a string held by the test) and writes the edited one back.
class TestPage : public CBasePropertyPage {
 public:
  explicit TestPage(IUnknown* outer = nullptr) : CBasePropertyPage(L"Test page", outer, kDialog, kTitle) {}

  HRESULT OnConnect(IUnknown* object) override {
    ++connects;
    object->AddRef();
    object_ = object;
    return S_OK;
  }
  HRESULT OnDisconnect() override {
    if (!object_) return E_UNEXPECTED;
    object_->Release();
    object_ = nullptr;
    return S_OK;
  }
  HRESULT OnActivate() override {
    SetDlgItemTextW(m_hwnd, kEdit, value.c_str());  // before counting: not an edit of the user
    ++activations;
    return S_OK;
  }
  HRESULT OnDeactivate() override {
    ++deactivations;
    return S_OK;
  }
  HRESULT OnApplyChanges() override {
    ++applies;
    wchar_t text[64] = {};
    GetDlgItemTextW(m_hwnd, kEdit, text, 64);
    value = text;
    return S_OK;
  }
  INT_PTR OnReceiveMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_INITDIALOG) initDialogSeen = (hwnd == m_hwnd);
    if (message == WM_COMMAND && LOWORD(wParam) == kEdit && HIWORD(wParam) == EN_CHANGE && activations > 0) {
      SetDirty();
      return TRUE;
    }
    return CBasePropertyPage::OnReceiveMessage(hwnd, message, wParam, lParam);
  }

  std::wstring value = L"25";
  int connects = 0, activations = 0, deactivations = 0, applies = 0;
  bool initDialogSeen = false;

 private:
  IUnknown* object_ = nullptr;
};

IPropertyPage* Page(TestPage* p) { return static_cast<IPropertyPage*>(p); }

class PropertyPage : public ::testing::Test {
 protected:
  void SetUp() override {
    parent_ = CreateWindowExW(0, L"STATIC", L"page host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
    page_ = new TestPage;
    page_->NonDelegatingAddRef();
    site_ = StubPropertyPageSite::Create();
    object_ = StubPropertyPageSite::Create();  // any COM object will do
  }
  void TearDown() override {
    if (page_) {
      EXPECT_EQ(Page(page_)->Release(), 0u);
    }
    EXPECT_EQ(site_->Release(), 0u);
    EXPECT_EQ(object_->Release(), 0u);
    DestroyWindow(parent_);
  }
  static void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }

  HWND parent_ = nullptr;
  TestPage* page_ = nullptr;
  StubPropertyPageSite* site_ = nullptr;
  StubPropertyPageSite* object_ = nullptr;
};

TEST_F(PropertyPage, PageInfoComesFromTheModulesResources) {
  PROPPAGEINFO info{};
  ASSERT_EQ(Page(page_)->GetPageInfo(&info), S_OK);
  EXPECT_STREQ(info.pszTitle, L"Test Page");
  EXPECT_GT(info.size.cx, 100);
  EXPECT_GT(info.size.cy, 30);
  EXPECT_EQ(info.pszDocString, nullptr);
  CoTaskMemFree(info.pszTitle);
  EXPECT_EQ(Page(page_)->GetPageInfo(nullptr), E_POINTER);
}

TEST_F(PropertyPage, ActivatedOnAWindowItReportsDirtyAndAppliesOnce) {
  IPropertyPage* page = Page(page_);
  IUnknown* object = static_cast<IPropertyPageSite*>(object_);
  ASSERT_EQ(page->SetPageSite(site_), S_OK);
  EXPECT_EQ(page->SetPageSite(site_), E_UNEXPECTED);  // one site at a time
  ASSERT_EQ(page->SetObjects(1, &object), S_OK);
  EXPECT_EQ(page_->connects, 1);

  RECT rect{10, 10, 300, 120};
  ASSERT_EQ(page->Activate(parent_, &rect, FALSE), S_OK);
  HWND dialog = page_->Window();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(page_->initDialogSeen);
  EXPECT_EQ(GetParent(dialog), parent_);
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(page_->activations, 1);
  EXPECT_EQ(page->Activate(parent_, &rect, FALSE), E_UNEXPECTED);
  RECT placed{};
  GetWindowRect(dialog, &placed);
  MapWindowPoints(nullptr, parent_, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_EQ(placed.left, 10);
  EXPECT_EQ(placed.right - placed.left, 290);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  Pump();

  // The user types: the page is dirty and the site hears it.
  SetDlgItemTextW(dialog, kEdit, L"42");
  Pump();
  EXPECT_EQ(page->IsPageDirty(), S_OK);
  const auto changes = site_->StatusChanges();
  ASSERT_FALSE(changes.empty());
  EXPECT_EQ(changes.back(), static_cast<DWORD>(PROPPAGESTATUS_DIRTY));

  ASSERT_EQ(page->Apply(), S_OK);
  EXPECT_EQ(page_->applies, 1);
  EXPECT_EQ(page_->value, L"42");
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  ASSERT_EQ(page->Apply(), S_OK);  // clean: nothing to do
  EXPECT_EQ(page_->applies, 1);

  EXPECT_EQ(page->Show(SW_HIDE), S_OK);
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_EQ(page->Show(SW_MAXIMIZE), E_INVALIDARG);
  ASSERT_EQ(page->Deactivate(), S_OK);
  EXPECT_EQ(page_->deactivations, 1);
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);
  EXPECT_EQ(page->Show(SW_SHOW), E_UNEXPECTED);

  ASSERT_EQ(page->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(page->SetObjects(0, nullptr), E_UNEXPECTED);  // the page's own answer: nothing connected
  page_->SetDirty();
  EXPECT_EQ(page->Apply(), E_UNEXPECTED);  // no object to apply to
  ASSERT_EQ(page->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(page->SetPageSite(nullptr), E_UNEXPECTED);
}

TEST_F(PropertyPage, BadCallsAreRefusedAndARemainingWindowGoesWithThePage) {
  IPropertyPage* page = Page(page_);
  EXPECT_EQ(page->SetObjects(1, nullptr), E_POINTER);
  IUnknown* none = nullptr;
  EXPECT_EQ(page->SetObjects(1, &none), E_POINTER);
  IUnknown* two[2] = {static_cast<IPropertyPageSite*>(object_), static_cast<IPropertyPageSite*>(object_)};
  EXPECT_EQ(page->SetObjects(2, two), E_UNEXPECTED);
  EXPECT_EQ(page->Activate(parent_, nullptr, FALSE), E_POINTER);
  EXPECT_EQ(page->Move(nullptr), E_POINTER);
  EXPECT_EQ(page->Apply(), E_UNEXPECTED);
  EXPECT_EQ(page->Help(nullptr), E_NOTIMPL);

  // Released while active and with a site: the window and the site go with it.
  RECT rect{0, 0, 200, 100};
  ASSERT_EQ(page->SetPageSite(site_), S_OK);
  ASSERT_EQ(page->Activate(parent_, &rect, FALSE), S_OK);
  HWND dialog = page_->Window();
  EXPECT_EQ(page->Release(), 0u);
  page_ = nullptr;
  EXPECT_FALSE(IsWindow(dialog));
}

TEST_F(PropertyPage, ComIdentityAndAggregation) {
  IPropertyPage* page = Page(page_);
  ExpectInterfaces(page, {&IID_IPropertyPage},
                   {&IID_IPropertyPage2, &IID_IBaseFilter, &IID_IPropertyPageSite, &IID_ISpecifyPropertyPages});

  AggregatingOuter outer;
  auto* aggregated = new TestPage(&outer);
  outer.Aggregate(aggregated);
  IPropertyPage* inner = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&inner)), S_OK);
  EXPECT_EQ(outer.refs, 2);
  IUnknown* identity = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  inner->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(aggregated->NonDelegatingRelease(), 0u);
}

}  // namespace

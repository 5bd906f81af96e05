// The pieces both pacers carry: the settings object and its COM identity, the page list, and
// the "Live Sync" page driven through its own methods with a stub page site.
#include <gtest/gtest.h>

#include <ocidl.h>

#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/stub_page_site.h"
#include "filters/pacers/audio_pacer.h"
#include "filters/pacers/live_sync_page.h"
#include "filters/pacers/live_sync_resource.h"
#include "filters/pacers/pacer_ids.h"
#include "filters/pacers/testing/pacer_test_support.h"
#include "filters/pacers/video_pacer.h"

using namespace pacer_testing;
using graph_testkit::ExpectInterfaces;

namespace {

template <class F>
class PacerSettingsTest : public ::testing::Test {};
using Pacers = ::testing::Types<AudioPacer, VideoPacer>;
TYPED_TEST_SUITE(PacerSettingsTest, Pacers);

IPacerSettings* SettingsOf(IUnknown* filter) {
  IPacerSettings* settings = nullptr;
  EXPECT_EQ(filter->QueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(&settings)), S_OK);
  return settings;
}

}  // namespace

TYPED_TEST(PacerSettingsTest, NewFilterHasTheDefaultsAndGettersReturnTheValueItself) {
  IBaseFilter* filter = CreateFilter<TypeParam>();
  ASSERT_NE(filter, nullptr);
  IPacerSettings* s = SettingsOf(filter);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->GetAllocatorBuffers(), 0);
  EXPECT_EQ(s->GetDelay(), 0);
  EXPECT_EQ(s->GetTimeStamping(), 1);
  EXPECT_EQ(s->GetHwTimeStamp(), 0);
  // No range checks: whatever is stored comes back.
  s->SetAllocatorBuffers(7);
  s->SetDelay(-120);
  s->SetTimeStamping(2);
  s->SetHwTimeStamp(-1);
  EXPECT_EQ(s->GetAllocatorBuffers(), 7);
  EXPECT_EQ(s->GetDelay(), -120);
  EXPECT_EQ(s->GetTimeStamping(), 2);
  EXPECT_EQ(s->GetHwTimeStamp(), -1);
  s->Release();
  EXPECT_EQ(filter->Release(), 0u);

  // Nothing is kept: a second filter starts from the defaults again.
  filter = CreateFilter<TypeParam>();
  s = SettingsOf(filter);
  EXPECT_EQ(s->GetAllocatorBuffers(), 0);
  EXPECT_EQ(s->GetDelay(), 0);
  EXPECT_EQ(s->GetTimeStamping(), 1);
  s->Release();
  EXPECT_EQ(filter->Release(), 0u);
}

TYPED_TEST(PacerSettingsTest, SubObjectsShareTheFilterIdentity) {
  IBaseFilter* filter = CreateFilter<TypeParam>();
  ASSERT_NE(filter, nullptr);
  IUnknown* identity = nullptr;
  ASSERT_EQ(filter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);

  IPacerSettings* s = SettingsOf(filter);
  IUnknown* viaSettings = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaSettings)), S_OK);
  EXPECT_EQ(viaSettings, identity);
  viaSettings->Release();

  ISpecifyPropertyPages* pages = nullptr;
  ASSERT_EQ(s->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&pages)), S_OK);
  IBaseFilter* back = nullptr;
  ASSERT_EQ(pages->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, filter);
  back->Release();

  CAUUID ids{};
  ASSERT_EQ(pages->GetPages(&ids), S_OK);
  ASSERT_EQ(ids.cElems, 1u);
  EXPECT_TRUE(IsEqualGUID(ids.pElems[0], CLSID_LiveSyncPage));
  CoTaskMemFree(ids.pElems);
  EXPECT_EQ(pages->GetPages(nullptr), E_POINTER);
  pages->Release();
  s->Release();
  identity->Release();
  EXPECT_EQ(filter->Release(), 0u);
}

TEST(PacerSettingsObject, AnswersOnlyItsOwnInterfaceAndDelegatesCounting) {
  Outer owner;
  HRESULT hr = S_OK;
  PacerSettings settings(L"LiveSync", &owner, &hr);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(settings.NonDelegatingQueryInterface(IID_IUnknown, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(settings.NonDelegatingQueryInterface(IID_IPacerSettings, nullptr), E_POINTER);
  IPacerSettings* s = nullptr;
  ASSERT_EQ(settings.NonDelegatingQueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(&s)), S_OK);
  EXPECT_EQ(owner.refs, 2);  // counted on the owner
  s->Release();
  EXPECT_EQ(owner.refs, 1);

  PropertyPageList list(L"SpecifyPropertyPages", &owner, &hr);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(list.NonDelegatingQueryInterface(IID_IPacerSettings, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  CAUUID ids{};
  ids.cElems = 9;
  EXPECT_EQ(list.GetPages(&ids), S_OK);  // empty list: nothing allocated
  EXPECT_EQ(ids.cElems, 0u);
  EXPECT_EQ(ids.pElems, nullptr);
  ASSERT_EQ(list.AddPage(CLSID_AudioPacer), S_OK);
  ASSERT_EQ(list.AddPage(CLSID_VideoPacer), S_OK);
  ASSERT_EQ(list.GetPages(&ids), S_OK);
  ASSERT_EQ(ids.cElems, 2u);
  EXPECT_TRUE(IsEqualGUID(ids.pElems[0], CLSID_AudioPacer));  // list order
  EXPECT_TRUE(IsEqualGUID(ids.pElems[1], CLSID_VideoPacer));
  CoTaskMemFree(ids.pElems);
}

// --- The page ----------------------------------------------------------------------------------

namespace {

class LiveSyncPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    filter_ = CreateFilter<VideoPacer>();
    ASSERT_NE(filter_, nullptr);
    settings_ = SettingsOf(filter_);
    HRESULT hr = S_OK;
    CUnknown* object = LiveSyncPage::CreateInstance(nullptr, &hr);
    ASSERT_NE(object, nullptr);
    object->NonDelegatingAddRef();
    ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page_)), S_OK);
    object->NonDelegatingRelease();
    site_ = graph_testkit::StubPropertyPageSite::Create();
    parent_ = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(parent_, nullptr);
    ASSERT_EQ(page_->SetPageSite(site_), S_OK);
    IUnknown* objects[] = {filter_};
    ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  }
  void Activate() {
    RECT r{0, 0, 300, 220};
    ASSERT_EQ(page_->Activate(parent_, &r, FALSE), S_OK);
    hwnd_ = GetWindow(parent_, GW_CHILD);
    ASSERT_NE(hwnd_, nullptr);
  }
  void TearDown() override {
    if (hwnd_) page_->Deactivate();
    if (page_) {
      page_->SetObjects(0, nullptr);
      page_->SetPageSite(nullptr);
      EXPECT_EQ(page_->Release(), 0u);
    }
    if (site_) {
      EXPECT_EQ(site_->Release(), 0u);
    }
    if (settings_) settings_->Release();
    if (filter_) {
      EXPECT_EQ(filter_->Release(), 0u);  // the page let go of the settings
    }
    if (parent_) DestroyWindow(parent_);
  }
  std::wstring Text(int id) {
    wchar_t text[64] = {};
    GetDlgItemTextW(hwnd_, id, text, 64);
    return text;
  }
  // What a user's typing or click sends the page.
  void Command(int id, UINT code) {
    SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(hwnd_, id)));
  }

  IBaseFilter* filter_ = nullptr;
  IPacerSettings* settings_ = nullptr;
  IPropertyPage* page_ = nullptr;
  graph_testkit::StubPropertyPageSite* site_ = nullptr;
  HWND parent_ = nullptr;
  HWND hwnd_ = nullptr;
};

}  // namespace

TEST_F(LiveSyncPageTest, ActivateShowsTheValuesAndReportsItselfClean) {
  settings_->SetAllocatorBuffers(4);
  settings_->SetDelay(-35);
  settings_->SetTimeStamping(2);  // only 1 counts as checked
  settings_->SetHwTimeStamp(1);
  Activate();
  EXPECT_EQ(Text(IDC_ALLOCATOR_BUFFERS), L"4");
  EXPECT_EQ(Text(IDC_DELAY), L"-35");
  EXPECT_EQ(IsDlgButtonChecked(hwnd_, IDC_TIME_STAMPING), static_cast<UINT>(BST_UNCHECKED));
  EXPECT_EQ(IsDlgButtonChecked(hwnd_, IDC_HW_TIME_STAMP), static_cast<UINT>(BST_CHECKED));
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  ASSERT_FALSE(site_->StatusChanges().empty());
  EXPECT_EQ(site_->StatusChanges().back(), static_cast<DWORD>(PROPPAGESTATUS_DIRTY));

  PROPPAGEINFO info{};
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  EXPECT_STREQ(info.pszTitle, L"Live Sync");
  EXPECT_GT(info.size.cx, 0);
  CoTaskMemFree(info.pszTitle);
  CoTaskMemFree(info.pszDocString);
  CoTaskMemFree(info.pszHelpFile);
}

TEST_F(LiveSyncPageTest, EditsAndClicksMarkThePageDirty) {
  Activate();
  for (int id : {IDC_ALLOCATOR_BUFFERS, IDC_DELAY, IDC_TIME_STAMPING, IDC_HW_TIME_STAMP}) {
    // Apply through the page itself cleans it; every control makes it dirty again.
    ASSERT_EQ(page_->Apply(), S_OK);
    ASSERT_EQ(page_->IsPageDirty(), S_FALSE);
    const size_t before = site_->StatusChanges().size();
    Command(id, id == IDC_ALLOCATOR_BUFFERS || id == IDC_DELAY ? EN_CHANGE : BN_CLICKED);
    EXPECT_EQ(page_->IsPageDirty(), S_OK) << id;
    EXPECT_GT(site_->StatusChanges().size(), before) << id;
  }
  // Other notifications and other controls leave it alone.
  ASSERT_EQ(page_->Apply(), S_OK);
  Command(IDC_DELAY, EN_SETFOCUS);
  Command(206, BN_CLICKED);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  // Typing for real reaches the same handler.
  SetDlgItemTextW(hwnd_, IDC_ALLOCATOR_BUFFERS, L"9");
  EXPECT_EQ(page_->IsPageDirty(), S_OK);
}

TEST_F(LiveSyncPageTest, ApplyWritesAllFourValues) {
  settings_->SetDelay(80);
  Activate();
  SetDlgItemTextW(hwnd_, IDC_ALLOCATOR_BUFFERS, L"6");
  SetDlgItemTextW(hwnd_, IDC_DELAY, L"");  // emptied: the delay becomes 0
  CheckDlgButton(hwnd_, IDC_TIME_STAMPING, BST_UNCHECKED);
  CheckDlgButton(hwnd_, IDC_HW_TIME_STAMP, BST_CHECKED);
  ASSERT_EQ(page_->IsPageDirty(), S_OK);
  ASSERT_EQ(page_->Apply(), S_OK);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  EXPECT_EQ(settings_->GetAllocatorBuffers(), 6);
  EXPECT_EQ(settings_->GetDelay(), 0);
  EXPECT_EQ(settings_->GetTimeStamping(), 0);
  EXPECT_EQ(settings_->GetHwTimeStamp(), 1);

  // A negative delay shown by the page survives an apply; text after the digits is ignored.
  SetDlgItemTextW(hwnd_, IDC_DELAY, L"-40");
  SetDlgItemTextW(hwnd_, IDC_ALLOCATOR_BUFFERS, L"12x");
  ASSERT_EQ(page_->Apply(), S_OK);
  EXPECT_EQ(settings_->GetDelay(), -40);
  EXPECT_EQ(settings_->GetAllocatorBuffers(), 12);
}

TEST_F(LiveSyncPageTest, ConnectNeedsTheSettingsInterface) {
  HRESULT hr = S_OK;
  CUnknown* object = LiveSyncPage::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  IPropertyPage* other = nullptr;
  ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&other)), S_OK);
  object->NonDelegatingRelease();
  ExpectInterfaces(other, {&IID_IUnknown, &IID_IPropertyPage}, {&IID_IPacerSettings, &IID_IBaseFilter});
  IUnknown* notAFilter[] = {site_};
  EXPECT_EQ(other->SetObjects(1, notAFilter), E_NOINTERFACE);
  EXPECT_EQ(other->Release(), 0u);
}

#include "common/window/window_subclass.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Counts the WM_APP messages it sees, then passes everything on.
template <int N>
class Counting final : public WindowSubclassOf<Counting<N>> {
 public:
  static constexpr wchar_t kPropertyName[] = {L'{', L't', L'e', L's', L't', static_cast<wchar_t>(L'0' + N), L'}', 0};
  ~Counting() override { this->Detach(); }
  int seen = 0;

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_APP) ++seen;
    return this->CallPrevious(hwnd, message, wParam, lParam);
  }
};

class Owner final : public DisplayChangeOwner {
 public:
  int changes = 0;
  HRESULT OnDisplayChange() override {
    ++changes;
    return S_OK;
  }
};

class TestWindows {
 public:
  TestWindows() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VornSubclassTestWindow";
    RegisterClassExW(&wc);
  }
  HWND Create(DWORD style = WS_OVERLAPPED, HWND parent = nullptr) {
    const HWND hwnd = CreateWindowExW(0, L"VornSubclassTestWindow", L"", style, 0, 0, 64, 64, parent,
                                      nullptr, GetModuleHandleW(nullptr), nullptr);
    windows_.push_back(hwnd);
    return hwnd;
  }
  ~TestWindows() {
    for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) DestroyWindow(*it);
  }

 private:
  std::vector<HWND> windows_;
};

}  // namespace

TEST(WindowSubclass, DetachingTheLowerHookKeepsTheUpperOneAndTheOriginalComesBack) {
  TestWindows windows;
  const HWND hwnd = windows.Create();
  ASSERT_NE(hwnd, nullptr);
  const LONG_PTR original = GetWindowLongPtrW(hwnd, GWLP_WNDPROC);
  Counting<1> a;
  Counting<2> b;
  ASSERT_EQ(a.Attach(hwnd), S_OK);
  ASSERT_EQ(b.Attach(hwnd), S_OK);
  SendMessageW(hwnd, WM_APP, 0, 0);
  EXPECT_EQ(a.seen, 1);
  EXPECT_EQ(b.seen, 1);

  a.Detach();  // b sits above a: a stays in the chain as a pass-through
  SendMessageW(hwnd, WM_APP, 0, 0);
  EXPECT_EQ(a.seen, 1);
  EXPECT_EQ(b.seen, 2);
  EXPECT_EQ(GetPropW(hwnd, Counting<2>::kPropertyName) != nullptr, true);

  b.Detach();
  EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_WNDPROC), original);
  EXPECT_EQ(GetPropW(hwnd, Counting<1>::kPropertyName), nullptr);
  EXPECT_EQ(GetPropW(hwnd, Counting<2>::kPropertyName), nullptr);
  SendMessageW(hwnd, WM_APP, 0, 0);
  EXPECT_EQ(b.seen, 2);
}

TEST(WindowSubclass, AttachRefusesMissingWindowsAndAPassThroughDiesWithItsWindow) {
  Counting<3> a;
  EXPECT_EQ(a.Attach(nullptr), E_INVALIDARG);
  TestWindows windows;
  const HWND hwnd = windows.Create();
  const HWND dead = windows.Create();
  DestroyWindow(dead);
  EXPECT_EQ(a.Attach(dead), E_INVALIDARG);
  EXPECT_EQ(a.window(), nullptr);

  Counting<4> b;
  ASSERT_EQ(a.Attach(hwnd), S_OK);
  ASSERT_EQ(b.Attach(hwnd), S_OK);
  a.Detach();
  DestroyWindow(hwnd);  // takes the pass-through with it; b finds its window gone
  b.Detach();
  EXPECT_EQ(b.window(), nullptr);
}

TEST(DisplayChangeHook, HooksTheTopLevelWindowAboveAChildAndTellsItsOwner) {
  TestWindows windows;
  const HWND top = windows.Create();
  const HWND child = windows.Create(WS_CHILD, top);
  const HWND grandchild = windows.Create(WS_CHILD, child);
  ASSERT_NE(grandchild, nullptr);
  Owner owner;
  DisplayChangeHook hook(&owner);
  EXPECT_EQ(hook.Attach(nullptr), E_INVALIDARG);
  ASSERT_EQ(hook.Attach(grandchild), S_OK);
  EXPECT_EQ(hook.window(), top);
  SendMessageW(top, WM_DISPLAYCHANGE, 32, MAKELPARAM(800, 600));
  SendMessageW(top, WM_APP, 0, 0);
  EXPECT_EQ(owner.changes, 1);
}

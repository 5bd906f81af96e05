#include "common/window/message_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/hresult.h"
#include "common/testing/paths.h"
#include "common/window/message_window_thread.h"

namespace {

constexpr UINT kBlock = WM_APP + 1;  // the handler waits for `release`
constexpr UINT kCall = WM_APP + 2;
constexpr UINT kArmTimer = WM_APP + 3;

struct Handled {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

class Worker final : public MessageThread {
 public:
  Worker() {
    release.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    posted.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    timedOut.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  ~Worker() override { Stop(); }

  HRESULT Post(UINT message, WPARAM wParam, LPARAM lParam) override {
    const HRESULT hr = MessageThread::Post(message, wParam, lParam);
    SetEvent(posted.get());
    return hr;
  }

  UniqueHandle release, posted, timedOut;
  CriticalSection lock;
  std::vector<Handled> handled;
  std::atomic<int> timeouts{0};

 protected:
  void OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == kBlock) WaitForSingleObject(release.get(), 10000);
    if (message == kArmTimer) SetWaitTimeout(static_cast<DWORD>(wParam));
    LockGuard guard(lock, INFINITE);
    handled.push_back({message, wParam, lParam});
  }
  void OnTimeout() override {
    ++timeouts;
    SetWaitTimeout(INFINITE);
    SetEvent(timedOut.get());
  }
};

bool WasHandled(Worker& w, WPARAM wParam) {
  LockGuard guard(w.lock, INFINITE);
  for (const auto& h : w.handled)
    if (h.message == kCall && h.wParam == wParam) return true;
  return false;
}

}  // namespace

TEST(MessageThread, QueuedSendsRunInOrderAndEachCallerWaitsForItsOwnCall) {
  Worker w;
  ASSERT_EQ(w.Start(), S_OK);
  ASSERT_EQ(w.Post(kBlock, 0, 0), S_OK);  // the worker is busy while the calls queue up
  ResetEvent(w.posted.get());
  constexpr int kCallers = 4;
  std::atomic<int> returnedEarly{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] {
      const HRESULT hr = w.Send(kCall, i, 100 + i);
      if (hr != S_OK || !WasHandled(w, i)) ++returnedEarly;
    });
    ASSERT_EQ(WaitForSingleObject(w.posted.get(), 5000), WAIT_OBJECT_0);  // posted in this order
  }
  SetEvent(w.release.get());
  for (auto& t : callers) t.join();
  EXPECT_EQ(returnedEarly, 0);
  ASSERT_EQ(w.handled.size(), 1u + kCallers);
  for (int i = 0; i < kCallers; ++i) {
    const Handled& h = w.handled[1 + i];
    EXPECT_EQ(h.message, kCall);  // the packet's fields, not the registered message's
    EXPECT_EQ(h.wParam, static_cast<WPARAM>(i));
    EXPECT_EQ(h.lParam, 100 + i);
  }
}

TEST(MessageThread, TimedOutSendIsWithdrawnAndLaterCallsWork) {
  Worker w;
  w.SetCallTimeout(50);
  ASSERT_EQ(w.Start(), S_OK);
  ASSERT_EQ(w.Post(kBlock, 0, 0), S_OK);
  EXPECT_EQ(w.Send(kCall, 7, 0), HRESULT_FROM_WIN32(WAIT_TIMEOUT));  // its packet went with the caller's frame
  SetEvent(w.release.get());
  w.SetCallTimeout(5000);
  EXPECT_EQ(w.Send(kCall, 8, 0), S_OK);
  EXPECT_FALSE(WasHandled(w, 7));  // never run late
  EXPECT_TRUE(WasHandled(w, 8));
  w.Stop();
  EXPECT_TRUE(FAILED(w.Send(kCall, 9, 0)));
  EXPECT_TRUE(FAILED(w.Post(kCall, 9, 0)));
}

TEST(MessageThread, TimeoutSetInAHandlerTakesEffectOnTheNextWait) {
  Worker w;
  ASSERT_EQ(w.Start(), S_OK);
  ASSERT_EQ(w.Send(kArmTimer, 20, 0), S_OK);
  ASSERT_EQ(WaitForSingleObject(w.timedOut.get(), 5000), WAIT_OBJECT_0);
  ASSERT_EQ(w.Send(kCall, 1, 0), S_OK);
  EXPECT_EQ(w.timeouts, 1);  // disarmed by its own handler
  EXPECT_EQ(w.waitTimeout(), INFINITE);
}

namespace {

class FailingStart final : public MessageThread {
 public:
  explicit FailingStart(DWORD code) : code_(code) {}
  ~FailingStart() override { Stop(); }

 protected:
  DWORD Run() override {
    if (code_ == WAIT_TIMEOUT) {  // never ready
      WaitForSingleObject(GetCurrentThread(), 20000);
      return 0;
    }
    return code_;
  }

 private:
  DWORD code_;
};

}  // namespace

TEST(MessageThread, StartReportsARunThatEndsOrHangsBeforeReady) {
  const struct {
    DWORD exitCode;
    HRESULT expected;
  } cases[] = {
      {ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {static_cast<DWORD>(E_NOTIMPL), E_NOTIMPL},
      {0, E_FAIL},  // ended without becoming ready is never success
      {WAIT_TIMEOUT, HRESULT_FROM_WIN32(WAIT_TIMEOUT)},
  };
  for (const auto& c : cases) {
    FailingStart t(c.exitCode);
    t.SetStartTimeout(100);
    EXPECT_EQ(t.Start(), c.expected) << c.exitCode;
    EXPECT_FALSE(t.IsRunning());
  }
}

namespace {

class WindowWorker final : public MessageWindowThread {
 public:
  ~WindowWorker() override { Stop(); }
  std::atomic<DWORD> seenOn{0};

 protected:
  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_APP) {
      seenOn = GetCurrentThreadId();
      return 1;
    }
    return MessageWindowThread::WindowProc(hwnd, message, wParam, lParam);
  }
};

}  // namespace

TEST(MessageWindowThread, WindowMessagesRunOnTheThreadAndTheWindowGoesWithIt) {
  WindowWorker w;
  ASSERT_EQ(w.Start(), S_OK);
  const HWND window = w.window();
  ASSERT_TRUE(IsWindow(window));
  EXPECT_EQ(w.SendWindowMessage(WM_APP, 0, 0), S_OK);
  EXPECT_EQ(w.seenOn, w.threadId());
  EXPECT_TRUE(FAILED(w.SendWindowMessage(WM_APP + 9, 0, 0)));  // a zero answer is no success
  w.Stop();
  EXPECT_FALSE(IsWindow(window));
}

TEST(MessageWindowThread, WindowClassGoesWithTheModuleAndWorksAfterAReload) {
  using Probe = HRESULT(__stdcall*)();
  const std::wstring path = testing_support::BinPath(L"vorn_message_window_probe.dll");
  WNDCLASSEXW info = {};
  info.cbSize = sizeof(info);
  for (int round = 0; round < 2; ++round) {
    const HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr);
    const auto probe = reinterpret_cast<Probe>(reinterpret_cast<void*>(GetProcAddress(module, "ProbeWindowThread")));
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe(), S_OK) << "round " << round;
    EXPECT_TRUE(GetClassInfoExW(module, MessageWindowThread::kWindowClassName, &info));
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), MessageWindowThread::kWindowClassName, &info));
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(GetClassInfoExW(module, MessageWindowThread::kWindowClassName, &info));
  }
}

#include "common/window/video_mute_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/testing/registry_fixture.h"

namespace {

class RecordingHook final : public MuteHook {
 public:
  RecordingHook() { unmuted.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }
  void OnMute(DWORD flag) override {
    LockGuard guard(lock, INFINITE);  // an owner's own lock, as the preview engine takes it
    calls.push_back(flag);
    if (!flag) {
      unmutedAt = GetTickCount();
      SetEvent(unmuted.get());
    }
  }
  CriticalSection lock;
  std::vector<DWORD> calls;
  DWORD unmutedAt = 0;
  UniqueHandle unmuted;
};

// A key that does not exist: the monitor keeps its defaults.
const wchar_t kMissingKey[] = L"HKEY_CURRENT_USER\\Software\\VornTests\\NoSuchVideoMuteKey";

VideoMuteSettings Fast(DWORD muteTime) {
  VideoMuteSettings s;
  s.muteTime = muteTime;
  s.limitRight = 100;
  s.limitBottom = 100;
  return s;
}

// Waits (bounded) until the monitor's timer has run out and been disarmed.
bool WaitForDisarm(const VideoMuteMonitor& m) {
  for (int i = 0; i < 500 && m.waitTimeout() != INFINITE; ++i) Sleep(10);
  return m.waitTimeout() == INFINITE;
}

}  // namespace

TEST(VideoMuteSettings, DefaultsWithoutAKeyAndFourByteValuesOfAnyType) {
  VideoMuteSettings d;
  d.Load(kMissingKey);
  EXPECT_EQ(d.limitLeft, 0);
  EXPECT_EQ(d.limitBottom, 0);
  EXPECT_EQ(d.muteTime, 500u);
  EXPECT_EQ(d.muteInScreen, 0u);
  EXPECT_EQ(d.muteOnEdge, 1u);

  testing_support::ScratchRegistryKey key;
  const DWORD minusOne = 0xFFFFFFFF;
  ASSERT_TRUE(key.SetDword(L"MuteTime", 250));
  ASSERT_TRUE(key.Set(L"", L"LimitLeft", REG_BINARY, &minusOne, 4));
  ASSERT_TRUE(key.Set(L"", L"MuteOnEdge", REG_BINARY, &minusOne, 2));  // not four bytes: ignored
  VideoMuteSettings s;
  s.Load(key.path().c_str());
  EXPECT_EQ(s.muteTime, 250u);
  EXPECT_EQ(s.limitLeft, -1);
  EXPECT_EQ(s.muteOnEdge, 1u);
}

TEST(VideoMuteMonitor, MutesOnceAndLiftsTheMuteMuteTimeAfterTheLastMessage) {
  RecordingHook hook;
  VideoMuteMonitor m(&hook, kMissingKey);
  m.SetSettings(Fast(150));
  m.SetWatchedRect({10, 10, 50, 50});
  ASSERT_EQ(m.Start(), S_OK);
  ASSERT_EQ(m.Post(VideoMuteMessage(), 1, 0), S_OK);
  ASSERT_EQ(m.Send(VideoMuteMessage(), 1, 0), S_OK);
  const DWORD last = GetTickCount();
  ASSERT_EQ(WaitForSingleObject(hook.unmuted.get(), 5000), WAIT_OBJECT_0);
  EXPECT_GE(hook.unmutedAt - last, 130u);
  EXPECT_EQ(hook.calls, (std::vector<DWORD>{1, 0}));
  EXPECT_EQ(m.muted(), 0u);
}

TEST(VideoMuteMonitor, ARectangleWhollyOutsideTheLimitBoxStaysMuted) {
  RecordingHook hook;
  VideoMuteMonitor m(&hook, kMissingKey);
  m.SetSettings(Fast(20));
  m.SetWatchedRect({150, 10, 250, 50});  // right of LimitRight
  ASSERT_EQ(m.Start(), S_OK);
  ASSERT_EQ(m.Send(VideoMuteMessage(), 1, 0), S_OK);
  ASSERT_TRUE(WaitForDisarm(m));
  EXPECT_EQ(hook.calls, (std::vector<DWORD>{1}));
  EXPECT_EQ(m.muted(), 1u);

  m.SetWatchedRect({50, 10, 90, 50});  // back inside: the next time-out lifts it
  ASSERT_EQ(m.Send(VideoMuteMessage(), 1, 0), S_OK);
  ASSERT_EQ(WaitForSingleObject(hook.unmuted.get(), 5000), WAIT_OBJECT_0);
}

TEST(VideoMuteMonitor, AnOwnerPostingUnderItsOwnLockDoesNotDeadlockWithTheHook) {
  RecordingHook hook;
  VideoMuteMonitor m(&hook, kMissingKey);
  m.SetSettings(Fast(1));
  m.SetStopTimeout(2000);
  ASSERT_EQ(m.Start(), S_OK);
  std::atomic<bool> done{false};
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) {
      LockGuard guard(hook.lock, INFINITE);
      m.SetWatchedRect({i % 200, 0, i % 200 + 10, 10});
      (void)m.settings();
      m.Post(VideoMuteMessage(), i & 1, 0);
    }
    done = true;
  });
  for (int i = 0; i < 2000 && !done; ++i) Sleep(10);
  if (!done) {
    poster.detach();
    FAIL() << "the poster and the monitor deadlocked";
  }
  poster.join();
}

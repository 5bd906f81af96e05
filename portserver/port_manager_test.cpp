// Port manager rules with a port double: open counting, the lock and its keys, resets, and the
// watchdog against real client processes that end.
#include "portserver/port_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "common/errors.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/testing/child.h"

namespace {

using testing_support::ChildProcess;

// Records what the manager does to the port; answers every transfer with its request echoed.
class FakePort : public SerialPort {
 public:
  HRESULT Open() override {
    if (open_) return S_OK;
    ++opens;
    if (FAILED(failOpen)) return failOpen;
    open_ = true;
    state = PortState{57600, 8, 0, 0};
    timeout = 1000;
    return S_OK;
  }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  HRESULT SetState(const PortState& s) override {
    state = s;
    return S_OK;
  }
  HRESULT GetState(PortState* s) override {
    if (!open_) return HResultFromWin32(ERROR_INVALID_HANDLE);
    *s = state;
    return S_OK;
  }
  HRESULT SetTimeouts(DWORD ms) override {
    timeout = ms;
    return S_OK;
  }
  HRESULT Transfer(DWORD writeSize, const BYTE* write, DWORD* readSize, BYTE* read) override {
    ++transfers;
    const DWORD n = writeSize < *readSize ? writeSize : *readSize;
    memcpy(read, write, n);
    const HRESULT hr = n == *readSize ? S_OK : S_FALSE;
    *readSize = n;
    return hr;
  }

  std::atomic<int> opens{0};
  std::atomic<int> transfers{0};
  HRESULT failOpen = S_OK;
  PortState state{};
  DWORD timeout = 0;

 private:
  std::atomic<bool> open_{false};
};

// The manager with each watchdog tick signalled, so that a test can wait for ticks to have run.
class WatchedManager : public LockedPortManager {
 public:
  using LockedPortManager::LockedPortManager;
  ~WatchedManager() override { Stop(); }  // no tick may reach a half-destroyed object

  // Waits (bounded) until `count` more ticks have run.
  bool WaitForTicks(long count, DWORD timeoutMs) {
    const long target = ticks_ + count;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (ticks_ < target) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline || WaitForSingleObject(ticked_.get(), static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
        return ticks_ >= target;
      }
    }
    return true;
  }

 protected:
  void Tick() override {
    LockedPortManager::Tick();
    ++ticks_;
    SetEvent(ticked_.get());
  }

 private:
  std::atomic<long> ticks_{0};
  UniqueHandle ticked_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

struct Manager {
  Manager() {
    auto p = std::make_unique<FakePort>();
    port = p.get();
    manager = std::make_unique<WatchedManager>(std::move(p));
  }
  HRESULT Send(BYTE value = 0x5A) {
    BYTE in[1] = {value}, out[1] = {};
    DWORD size = 1;
    return manager->SendCommand(1, in, &size, out);
  }
  HRESULT SendEx(DWORD key) {
    BYTE in[1] = {1}, out[1] = {};
    DWORD size = 1;
    return manager->SendCommandEx(key, 1, in, &size, out);
  }
  FakePort* port;
  std::unique_ptr<WatchedManager> manager;
};

const DWORD kSelf = GetCurrentProcessId();

// Waits (bounded) for a condition that the watchdog brings about.
template <class F>
bool WaitFor(F done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
  return true;
}

VORN_CHILD(SleepingClient) {
  Sleep(30000);  // ended by the test long before
  return 0;
}

VORN_CHILD(QuickExit) { return 0; }

VORN_CHILD(ExitStillActive) { return STILL_ACTIVE; }

TEST(PortManagerOpens, EveryOpenNeedsItsOwnClose) {
  Manager m;
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  EXPECT_EQ(m.port->opens, 1);
  EXPECT_EQ(m.manager->ClientCountOf(kSelf), 2u);
  // A process that never opened changes nothing and is no error.
  EXPECT_EQ(m.manager->ClosePort(kSelf + 4), S_OK);
  EXPECT_TRUE(m.manager->IsPortOpen());
  EXPECT_EQ(m.manager->ClosePort(kSelf), S_OK);
  EXPECT_TRUE(m.manager->IsPortOpen());
  EXPECT_EQ(m.manager->ClosePort(kSelf), S_OK);
  EXPECT_FALSE(m.manager->IsPortOpen());
  EXPECT_EQ(m.manager->ClosePort(kSelf), S_OK);
}

TEST(PortManagerOpens, FailedOpenLeavesNoRecord) {
  Manager m;
  m.port->failOpen = HResultFromWin32(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(m.manager->OpenPort(kSelf), HResultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(m.manager->ClientCount(), 0u);
  EXPECT_FALSE(m.manager->IsPortOpen());
}

TEST(PortManagerSend, ChecksPointersSizeAndPort) {
  Manager m;
  BYTE in[4] = {1, 2, 3, 4}, out[4] = {};
  DWORD size = 4;
  EXPECT_EQ(m.manager->SendCommand(4, nullptr, &size, out), E_POINTER);
  EXPECT_EQ(m.manager->SendCommand(4, in, nullptr, out), E_POINTER);
  EXPECT_EQ(m.manager->SendCommand(4, in, &size, nullptr), E_POINTER);
  EXPECT_EQ(m.manager->SendCommand(4, in, &size, out), errors::kPortNotOpen);
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  size = kMaxReadSize + 1;  // more than the input queue holds: never handed to the port
  EXPECT_EQ(m.manager->SendCommand(4, in, &size, out), E_INVALIDARG);
  EXPECT_EQ(m.port->transfers, 0);
  size = 4;
  EXPECT_EQ(m.manager->SendCommand(4, in, &size, out), S_OK);
  EXPECT_EQ(out[3], 4);
}

TEST(PortManagerReset, ClosedPortIsNotOpen) {
  Manager m;
  EXPECT_EQ(m.manager->ResetPort(), errors::kPortNotOpen);
}

TEST(PortManagerReset, FailedReopenIsReportedAndKeepsTheClients) {
  Manager m;
  ChildProcess child = ChildProcess::Start("SleepingClient");
  ASSERT_TRUE(child.valid());
  const DWORD other = child.pid();
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  ASSERT_EQ(m.manager->OpenPort(other), S_OK);
  m.port->failOpen = HResultFromWin32(ERROR_ACCESS_DENIED);
  EXPECT_EQ(m.manager->ResetPort(), HResultFromWin32(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(m.manager->IsPortOpen());
  EXPECT_EQ(m.Send(), errors::kPortNotOpen);
  // The next open reopens the port for everybody: the other client's record survives.
  m.port->failOpen = S_OK;
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  EXPECT_EQ(m.manager->ClientCountOf(other), 1u);
  EXPECT_EQ(m.manager->ClientCountOf(kSelf), 2u);
  EXPECT_EQ(m.Send(), S_OK);
  TerminateProcess(child.handle(), 1);
}

TEST(PortManagerReset, ResetRestoresTheStoredSettings) {
  Manager m;
  DWORD key = 0;
  ASSERT_EQ(m.manager->OpenLockedPort(&key, kSelf), S_OK);
  const PortState fast{115200, 7, 2, 2};
  ASSERT_EQ(m.manager->SetState(key, &fast), S_OK);
  ASSERT_EQ(m.manager->SetTimeout(key, 250), S_OK);
  PortState got{};
  ASSERT_EQ(m.manager->GetState(&got), S_OK);
  EXPECT_EQ(got.baudrate, 115200u);
  EXPECT_EQ(m.port->timeout, 250u);
  ASSERT_EQ(m.manager->ResetLockedPort(key), S_OK);
  ASSERT_EQ(m.manager->GetState(&got), S_OK);
  EXPECT_EQ(got.baudrate, 57600u);
  EXPECT_EQ(got.parity, 0);
  EXPECT_EQ(m.port->timeout, 1000u);
}

TEST(PortManagerLock, LockOnlyOnAClosedPortAndRefusesPlainCalls) {
  Manager m;
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  DWORD key = 0;
  EXPECT_EQ(m.manager->OpenLockedPort(&key, kSelf), errors::kPortOpenWithoutLock);
  ASSERT_EQ(m.manager->ClosePort(kSelf), S_OK);
  EXPECT_EQ(m.manager->OpenLockedPort(nullptr, kSelf), E_POINTER);
  ASSERT_EQ(m.manager->OpenLockedPort(&key, kSelf), S_OK);
  EXPECT_NE(key, 0u);
  DWORD second = 0;
  EXPECT_EQ(m.manager->OpenLockedPort(&second, kSelf), errors::kPortLocked);
  EXPECT_EQ(m.manager->OpenPort(kSelf), errors::kPortLocked);
  EXPECT_EQ(m.manager->ClosePort(kSelf), errors::kPortLocked);
  EXPECT_EQ(m.manager->ResetPort(), errors::kPortLocked);
  EXPECT_EQ(m.Send(), errors::kPortLocked);
  EXPECT_EQ(m.SendEx(key), S_OK);
  EXPECT_EQ(m.SendEx(key ^ 1), errors::kPortWrongKey);
  EXPECT_EQ(m.SendEx(0), errors::kPortWrongKey);
  EXPECT_EQ(m.manager->ResetLockedPort(key + 1), errors::kPortWrongKey);
  const PortState s{9600, 8, 0, 0};
  EXPECT_EQ(m.manager->SetState(key + 1, &s), errors::kPortWrongKey);
  EXPECT_EQ(m.manager->SetState(key, nullptr), E_POINTER);
  EXPECT_EQ(m.manager->SetTimeout(key + 1, 10), errors::kPortWrongKey);
  EXPECT_EQ(m.manager->CloseLockedPort(key + 1, kSelf), errors::kPortWrongKey);
  EXPECT_TRUE(m.manager->IsPortOpen());
  EXPECT_EQ(m.manager->CloseLockedPort(key, kSelf), S_OK);
  EXPECT_FALSE(m.manager->IsPortOpen());
  EXPECT_EQ(m.manager->OpenPort(kSelf), S_OK);  // plain use again
}

TEST(PortManagerLock, WithoutALockKeyZeroActsPlainButStateNeedsALock) {
  Manager m;
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  EXPECT_EQ(m.SendEx(0), S_OK);
  EXPECT_EQ(m.SendEx(1), errors::kPortWrongKey);
  EXPECT_EQ(m.manager->ResetLockedPort(0), S_OK);
  const PortState s{9600, 8, 0, 0};
  EXPECT_EQ(m.manager->SetState(0, &s), errors::kPortNoLock);
  EXPECT_EQ(m.manager->SetTimeout(0, 10), errors::kPortNoLock);
  PortState got{};
  EXPECT_EQ(m.manager->GetState(&got), S_OK);
  EXPECT_EQ(m.manager->GetState(nullptr), E_POINTER);
  EXPECT_EQ(m.manager->CloseLockedPort(0, kSelf), S_OK);
  EXPECT_FALSE(m.manager->IsPortOpen());
}

TEST(PortManagerLock, KeysDifferBetweenLocks) {
  Manager m;
  std::vector<DWORD> keys;
  for (int i = 0; i < 3; ++i) {
    DWORD key = 0;
    ASSERT_EQ(m.manager->OpenLockedPort(&key, kSelf), S_OK);
    EXPECT_NE(key, 0u);
    keys.push_back(key);
    ASSERT_EQ(m.manager->CloseLockedPort(key, kSelf), S_OK);
    // The key follows the tick count: the next one comes with a new tick.
    for (const DWORD tick = GetTickCount(); GetTickCount() == tick;) Sleep(1);
  }
  EXPECT_NE(keys[0], keys[2]);
}

TEST(PortManagerWatchdog, KilledClientIsDroppedAndThePortCloses) {
  Manager m;
  ChildProcess child = ChildProcess::Start("SleepingClient");
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(m.manager->OpenPort(child.pid()), S_OK);
  ASSERT_EQ(m.manager->OpenPort(child.pid()), S_OK);
  ASSERT_EQ(m.manager->Start(1000), S_OK);
  ASSERT_TRUE(m.manager->WaitForTicks(1, 5000));
  EXPECT_EQ(m.manager->ClientCount(), 2u) << "a live client must keep its opens";
  ASSERT_TRUE(TerminateProcess(child.handle(), 1));
  const ULONGLONG killed = GetTickCount64();
  EXPECT_TRUE(WaitFor([&] { return !m.manager->IsPortOpen(); }, 3000));
  EXPECT_LT(GetTickCount64() - killed, 2500u);
  EXPECT_EQ(m.manager->ClientCount(), 0u);
  m.manager->Stop();
}

TEST(PortManagerWatchdog, DeadClientGoesButTheLiveOneKeepsThePort) {
  Manager m;
  ChildProcess child = ChildProcess::Start("SleepingClient");
  ASSERT_TRUE(child.valid());
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  ASSERT_EQ(m.manager->OpenPort(child.pid()), S_OK);
  ASSERT_TRUE(TerminateProcess(child.handle(), 1));
  ASSERT_EQ(m.manager->Start(1000), S_OK);
  EXPECT_TRUE(WaitFor([&] { return m.manager->ClientCount() == 1; }, 3000));
  EXPECT_EQ(m.manager->ClientCountOf(kSelf), 1u);
  EXPECT_TRUE(m.manager->IsPortOpen());
  m.manager->Stop();
}

TEST(PortManagerWatchdog, DeadLockHolderReleasesTheKey) {
  Manager m;
  ChildProcess child = ChildProcess::Start("SleepingClient");
  ASSERT_TRUE(child.valid());
  DWORD key = 0;
  ASSERT_EQ(m.manager->OpenLockedPort(&key, child.pid()), S_OK);
  ASSERT_EQ(m.manager->Start(1000), S_OK);
  ASSERT_TRUE(TerminateProcess(child.handle(), 1));
  EXPECT_TRUE(WaitFor([&] { return !m.manager->IsPortOpen(); }, 3000));
  EXPECT_EQ(m.manager->OpenPort(kSelf), S_OK) << "the lock must be gone";
  m.manager->Stop();
}

// Every identifier is taken; one whose process cannot be watched counts as ended, and the next
// tick closes its open (or its lock). A process that ended with the exit code that reads as
// "still active" has ended all the same.
TEST(PortManagerWatchdog, ClientsThatCannotBeWatchedAreTakenAndDroppedAtTheNextTick) {
  ChildProcess ended = ChildProcess::Start("QuickExit");
  ChildProcess endedStillActive = ChildProcess::Start("ExitStillActive");
  ASSERT_TRUE(ended.valid() && endedStillActive.valid());
  for (HANDLE h : {ended.handle(), endedStillActive.handle()}) ASSERT_EQ(WaitForSingleObject(h, 20000), WAIT_OBJECT_0);
  const struct {
    const char* what;
    DWORD pid;
  } kClients[] = {{"process 0", 0},
                  {"ended", ended.pid()},
                  {"ended with code 259", endedStillActive.pid()},
                  {"no such process", 0xFFFFFFF0u}};
  for (const auto& client : kClients) {
    SCOPED_TRACE(client.what);
    Manager m;
    ASSERT_EQ(m.manager->OpenPort(client.pid), S_OK);
    EXPECT_EQ(m.Send(), S_OK);
    ASSERT_EQ(m.manager->Start(20), S_OK);
    ASSERT_TRUE(m.manager->WaitForTicks(2, 5000));
    EXPECT_FALSE(m.manager->IsPortOpen());
    EXPECT_EQ(m.manager->ClientCount(), 0u);
    m.manager->Stop();

    DWORD key = 0;
    ASSERT_EQ(m.manager->OpenLockedPort(&key, client.pid), S_OK);
    ASSERT_EQ(m.manager->Start(20), S_OK);
    ASSERT_TRUE(m.manager->WaitForTicks(2, 5000));
    EXPECT_FALSE(m.manager->IsPortOpen());
    EXPECT_EQ(m.manager->OpenPort(kSelf), S_OK) << "the lock must be gone";
    m.manager->Stop();
  }
}

// What the caller asks for reaches the port as it is: an empty write (the reply is still read),
// a line state outside the name tables (the driver judges it), and a lock closed with another
// identifier than its holder's (the lock goes; the holder's open stays until it closes or ends).
TEST(PortManagerRequests, ReachThePortAsAsked) {
  Manager m;
  ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
  BYTE in[1] = {1}, out[4] = {};
  DWORD size = 4;
  EXPECT_EQ(m.manager->SendCommand(0, in, &size, out), S_FALSE);
  size = 4;
  EXPECT_EQ(m.manager->SendCommandEx(0, 0, in, &size, out), S_FALSE);
  EXPECT_EQ(m.port->transfers, 2);
  ASSERT_EQ(m.manager->ClosePort(kSelf), S_OK);

  DWORD key = 0;
  ASSERT_EQ(m.manager->OpenLockedPort(&key, kSelf), S_OK);
  const PortState kStates[] = {{250000, 8, 0, 0}, {57601, 5, 4, 1}};
  for (const PortState& state : kStates) {
    EXPECT_EQ(m.manager->SetState(key, &state), S_OK);
    EXPECT_EQ(m.port->state.baudrate, state.baudrate);
    EXPECT_EQ(m.port->state.parity, state.parity);
  }
  ChildProcess other = ChildProcess::Start("SleepingClient");
  ASSERT_TRUE(other.valid());
  EXPECT_EQ(m.manager->CloseLockedPort(key, other.pid()), S_OK);
  EXPECT_EQ(m.manager->SetTimeout(key, 10), errors::kPortNoLock);
  EXPECT_TRUE(m.manager->IsPortOpen());
  EXPECT_EQ(m.manager->ClientCountOf(kSelf), 1u);
  EXPECT_EQ(m.Send(), S_OK);
  EXPECT_EQ(m.manager->ClosePort(kSelf), S_OK);
  EXPECT_FALSE(m.manager->IsPortOpen());
  TerminateProcess(other.handle(), 1);
}

DWORD WINAPI OpenSendCloseLoop(void* p) {
  auto* m = static_cast<Manager*>(p);
  for (int i = 0; i < 2000; ++i) {
    m->manager->OpenPort(kSelf);
    m->Send();
    m->manager->ClosePort(kSelf);
  }
  return 0;
}

TEST(PortManagerWatchdog, TicksRacingCallsKeepTheCountsRight) {
  Manager m;
  ASSERT_EQ(m.manager->Start(1), S_OK);
  // A second caller thread besides this one, as COM calls and the watchdog would overlap.
  HANDLE other = CreateThread(nullptr, 0, &OpenSendCloseLoop, &m, 0, nullptr);
  ASSERT_NE(other, nullptr);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(m.manager->OpenPort(kSelf), S_OK);
    m.manager->ClosePort(kSelf);
  }
  EXPECT_EQ(WaitForSingleObject(other, 30000), WAIT_OBJECT_0);
  CloseHandle(other);
  m.manager->Stop();
  EXPECT_EQ(m.manager->ClientCount(), 0u);
  EXPECT_FALSE(m.manager->IsPortOpen());
}

}  // namespace

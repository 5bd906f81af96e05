#include "common/locks.h"

#include <gtest/gtest.h>

#include <thread>
#include <memory>
#include <vector>
#include <stdexcept>
#include <string>

#include "common/testing/child.h"

using testing_support::ChildProcess;
using testing_support::RunChild;
using testing_support::UniqueName;

namespace {
// Child protocol: args[0] mutex name, args[1] "ready" event, args[2] "release" event.
HANDLE OpenEv(const std::wstring& name) { return OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()); }
}  // namespace

// Takes the mutex, tells the parent, and exits without releasing it (abandons it).
VORN_CHILD(AbandonMutex) {
  NamedMutex m(args.at(0).c_str());
  if (!m.Create() || !m.Lock(5000)) return 2;
  SetEvent(OpenEv(args.at(1)));
  ExitProcess(0);
}

// Holds the mutex until told to let go.
VORN_CHILD(HoldMutex) {
  NamedMutex m(args.at(0).c_str());
  if (!m.Create() || !m.Lock(5000)) return 2;
  SetEvent(OpenEv(args.at(1)));
  WaitForSingleObject(OpenEv(args.at(2)), 20000);
  m.Unlock();
  return 0;
}

// Races for the exclusive object of each round and keeps what it won until the parent says
// both contenders are through; the exit code is the number of rounds won.
// args: base name, rounds, "go" event, own "finished" event, "all done" event.
VORN_CHILD(ExclusiveRounds) {
  const int rounds = std::stoi(args.at(1));
  std::vector<std::unique_ptr<NamedMutex>> won;
  WaitForSingleObject(OpenEv(args.at(2)), 10000);
  for (int i = 0; i < rounds; ++i) {
    auto m = std::make_unique<NamedMutex>((args.at(0) + std::to_wstring(i)).c_str());
    if (m->CreateExclusive() == S_OK) won.push_back(std::move(m));
  }
  SetEvent(OpenEv(args.at(3)));
  WaitForSingleObject(OpenEv(args.at(4)), 20000);
  return static_cast<int>(won.size());
}

// Tries to take the mutex with a short time-out while another process holds it.
VORN_CHILD(ShortGuard) {
  NamedMutex m(args.at(0).c_str());
  if (!m.Create()) return 2;
  {
    LockGuard guard(m, 50);
    if (guard.owns() || guard.result() != LockResult::TimedOut) return 3;
  }
  return 0;
}

TEST(NamedMutex, WithoutNameNothingIsCreatedAndTheGuardIsANoOp) {
  NamedMutex m;
  EXPECT_FALSE(m.Create());
  EXPECT_FALSE(m.IsValid());
  EXPECT_FALSE(m.Lock(0));
  EXPECT_FALSE(m.Unlock());
  LockGuard guard(m, 10);
  EXPECT_FALSE(guard.owns());
}

TEST(NamedMutex, UnnamedCreationGivesARealLock) {
  NamedMutex m;
  ASSERT_TRUE(m.CreateUnnamed());
  ASSERT_TRUE(m.Lock(0));
  int result = -1;
  std::thread([&] { result = m.Lock(20) ? 1 : 0; }).join();
  EXPECT_EQ(result, 0);  // another thread is kept out
  EXPECT_TRUE(m.Unlock());
}

TEST(NamedMutex, TooLongNamesAreRefusedNotTruncated) {
  const std::wstring longName(NamedMutex::kNameCapacity, L'x');
  NamedMutex m;
  EXPECT_FALSE(m.SetName(longName.c_str()));
  EXPECT_EQ(m.name(), nullptr);
  EXPECT_FALSE(m.Open(longName.c_str()));
  const std::wstring fits(NamedMutex::kNameCapacity - 1 - 8, L'y');
  const std::wstring name = L"Local\\" + fits.substr(6);
  EXPECT_TRUE(m.Open(name.c_str()));
}

TEST(NamedMutex, AbandonedByAChildIsOwnedAndReleasedByTheGuard) {
  const std::wstring name = UniqueName(L"Global\\vorn_abandon_");
  const std::wstring ready = UniqueName(L"vorn_ready_");
  HANDLE readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
  NamedMutex m(name.c_str());
  ASSERT_TRUE(m.Create());
  ASSERT_EQ(RunChild("AbandonMutex", {name, ready}), 0u);
  {
    LockGuard guard(m, 5000);
    EXPECT_EQ(guard.result(), LockResult::Abandoned);
    EXPECT_TRUE(guard.owns());
  }
  // The guard released it: a third party gets it at once.
  NamedMutex other(name.c_str());
  ASSERT_TRUE(other.Create());
  EXPECT_TRUE(other.Lock(0));
  other.Unlock();
  CloseHandle(readyEvent);
}

TEST(NamedMutex, AbandonedMutexLockReportsFalse) {
  const std::wstring name = UniqueName(L"Global\\vorn_abandon2_");
  const std::wstring ready = UniqueName(L"vorn_ready_");
  HANDLE readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
  NamedMutex m(name.c_str());
  ASSERT_TRUE(m.Create());
  ASSERT_EQ(RunChild("AbandonMutex", {name, ready}), 0u);
  EXPECT_FALSE(m.Lock(5000));
  EXPECT_TRUE(m.Unlock());
  CloseHandle(readyEvent);
}

TEST(NamedMutex, ShortGuardOnAMutexHeldElsewhereProceedsAndReleasesNothing) {
  const std::wstring name = UniqueName(L"Global\\vorn_held_");
  const std::wstring ready = UniqueName(L"vorn_ready_"), release = UniqueName(L"vorn_release_");
  HANDLE readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
  HANDLE releaseEvent = CreateEventW(nullptr, TRUE, FALSE, release.c_str());
  ChildProcess holder = ChildProcess::Start("HoldMutex", {name, ready, release});
  ASSERT_EQ(WaitForSingleObject(readyEvent, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(RunChild("ShortGuard", {name}), 0u);
  {
    NamedMutex m(name.c_str());
    ASSERT_TRUE(m.Create());
    LockGuard guard(m, 50);
    EXPECT_FALSE(guard.owns());
  }
  // Still held by the child: the guards released nothing of it.
  NamedMutex probe(name.c_str());
  ASSERT_TRUE(probe.Create());
  EXPECT_EQ(probe.Acquire(0), LockResult::TimedOut);
  SetEvent(releaseEvent);
  EXPECT_EQ(holder.Wait(10000), 0u);
  CloseHandle(readyEvent);
  CloseHandle(releaseEvent);
}

TEST(NamedMutex, AlreadyExistsIsAProbeThatLeavesNothingBehind) {
  const std::wstring name = UniqueName(L"Global\\vorn_probe_");
  NamedMutex probe(name.c_str());
  EXPECT_FALSE(probe.AlreadyExists());
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
  NamedMutex holder(name.c_str());
  ASSERT_TRUE(holder.Create());
  EXPECT_TRUE(probe.AlreadyExists());
  holder.Close();
  EXPECT_FALSE(probe.AlreadyExists());
}

TEST(NamedMutex, ExclusiveCreationHasExactlyOneWinnerPerRound) {
  constexpr int kRounds = 200;
  const std::wstring base = UniqueName(L"Global\\vorn_excl_") + L"_";
  const std::wstring go = UniqueName(L"vorn_go_"), doneA = UniqueName(L"vorn_a_"),
                     doneB = UniqueName(L"vorn_b_"), all = UniqueName(L"vorn_all_");
  HANDLE events[] = {CreateEventW(nullptr, TRUE, FALSE, go.c_str()),
                     CreateEventW(nullptr, TRUE, FALSE, doneA.c_str()),
                     CreateEventW(nullptr, TRUE, FALSE, doneB.c_str()),
                     CreateEventW(nullptr, TRUE, FALSE, all.c_str())};
  const std::wstring rounds = std::to_wstring(kRounds);
  ChildProcess a = ChildProcess::Start("ExclusiveRounds", {base, rounds, go, doneA, all});
  ChildProcess b = ChildProcess::Start("ExclusiveRounds", {base, rounds, go, doneB, all});
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, events + 1, TRUE, 30000), WAIT_OBJECT_0);
  SetEvent(events[3]);
  const DWORD winsA = a.Wait(30000), winsB = b.Wait(30000);
  for (HANDLE e : events) CloseHandle(e);
  ASSERT_NE(winsA, STILL_ACTIVE);
  ASSERT_NE(winsB, STILL_ACTIVE);
  EXPECT_EQ(winsA + winsB, static_cast<DWORD>(kRounds));
}

TEST(NamedMutex, ExclusiveCreationKeepsTheObjectUntilClosed) {
  const std::wstring name = UniqueName(L"Global\\vorn_excl1_");
  NamedMutex first(name.c_str()), second(name.c_str());
  EXPECT_EQ(first.CreateExclusive(), S_OK);
  EXPECT_EQ(second.CreateExclusive(), S_FALSE);
  EXPECT_FALSE(second.IsValid());
  EXPECT_TRUE(second.AlreadyExists());
  first.Close();
  EXPECT_EQ(second.CreateExclusive(), S_OK);
}

TEST(CriticalSection, GuardUnlocksOnUnwind) {
  CriticalSection cs;
  try {
    LockGuard guard(cs, INFINITE);
    EXPECT_TRUE(guard.owns());
    throw std::runtime_error("unwind");
  } catch (const std::runtime_error&) {
  }
  // Another thread can enter: the guard left the section.
  bool entered = false;
  std::thread([&] {
    LockGuard other(cs, INFINITE);
    entered = other.owns();
  }).join();
  EXPECT_TRUE(entered);
}

TEST(NamedEvent, ManualResetAndSharedByName) {
  const std::wstring name = UniqueName(L"Global\\vorn_ev_");
  NamedEvent a, b;
  EXPECT_EQ(a.Create(name.c_str()), S_OK);
  EXPECT_EQ(b.Create(name.c_str()), S_FALSE);
  EXPECT_FALSE(b.IsSet());
  a.Set();
  EXPECT_TRUE(b.IsSet());
  EXPECT_TRUE(b.IsSet());  // manual reset: stays signalled
  b.Reset();
  EXPECT_FALSE(a.IsSet());
  NamedEvent missing;
  EXPECT_EQ(missing.Open(UniqueName(L"Global\\vorn_none_").c_str()), static_cast<HRESULT>(0x80070002));
}

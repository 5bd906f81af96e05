#include "common/testing/stall_watch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/path.h"
#include "common/testing/time_scale.h"

namespace {

// A thread of this program that waits in a function of its own until released.
struct WaitingThread {
  UniqueHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  DWORD id = 0;
  volatile bool waited = false;

  __attribute__((noinline)) static DWORD WINAPI Main(void* self) {
    auto* waiting = static_cast<WaitingThread*>(self);
    SetEvent(waiting->started.get());
    const DWORD result = WaitForSingleObject(waiting->release.get(), 30000);
    waiting->waited = true;  // work after the wait: the wait is a call from this frame, not its tail
    return result;
  }
  WaitingThread() {
    thread.reset(CreateThread(nullptr, 0, &Main, this, 0, &id));
    WaitForSingleObject(started.get(), 10000);
  }
  ~WaitingThread() {
    SetEvent(release.get());
    WaitForSingleObject(thread.get(), 10000);
  }
};

std::string ThisProgram() {
  const std::wstring name = ModulePath::OfProcess().GetFileNameWithExtension().str();
  return std::string(name.begin(), name.end());
}

TEST(ThreadStacks, AWaitingThreadIsFoundInsideTheCodeThatWaits) {
  WaitingThread waiting;
  ASSERT_TRUE(waiting.thread);
  const std::string report = testing_support::ThreadStacks();
  const std::string head = FormatA("thread 0x%lx: at ", static_cast<unsigned long>(waiting.id));
  const std::size_t line = report.find(head);
  ASSERT_NE(line, std::string::npos) << report;
  const std::string text = report.substr(line, report.find('\n', line) - line);
  EXPECT_NE(text.find(" " + ThisProgram() + "+0x"), std::string::npos) << text;
  EXPECT_EQ(report.find(FormatA("thread 0x%lx:", static_cast<unsigned long>(GetCurrentThreadId()))), std::string::npos)
      << "the reporting thread is not suspended by itself";
}

// "name+0x..." of an address in this program, as the report writes it.
std::string InThisProgram(std::uintptr_t address) {
  const auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  return FormatA("%hs+0x%lx", ThisProgram().c_str(), static_cast<unsigned long>(address - base));
}

// The report's line for one thread (empty when it has none).
std::string LineOf(const std::string& report, DWORD id) {
  const std::size_t line = report.find(FormatA("thread 0x%lx: ", static_cast<unsigned long>(id)));
  if (line == std::string::npos) return {};
  return report.substr(line, report.find('\n', line) - line);
}

// A call chain Main -> Outer -> Inner that waits in Inner. Outer keeps, live in its frame for the
// whole wait, words that look like return addresses into this program but are no frame of it
// (a stale one); Inner notes the address it returns to in Outer.
struct ChainThread {
  UniqueHandle waiting{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  DWORD id = 0;
  std::uintptr_t intoOuter = 0;
  static void* volatile staleTarget;

  __attribute__((noinline)) static DWORD Inner(ChainThread* self) {
    self->intoOuter = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    SetEvent(self->waiting.get());
    return WaitForSingleObject(self->release.get(), 30000);
  }
  __attribute__((noinline)) static DWORD Outer(ChainThread* self) {
    volatile std::uintptr_t stale[8];
    for (auto& word : stale) word = reinterpret_cast<std::uintptr_t>(staleTarget) + 4;
    const DWORD result = Inner(self);
    std::uintptr_t sum = 0;
    for (const auto& word : stale) sum += word;
    return result + (sum == 0 ? 1 : 0);
  }
  static DWORD WINAPI Main(void* self) { return Outer(static_cast<ChainThread*>(self)); }
  static void Unused() { OutputDebugStringW(L"never called"); }

  ChainThread() {
    thread.reset(CreateThread(nullptr, 0, &Main, this, 0, &id));
    WaitForSingleObject(waiting.get(), testing_support::ScaledBound(10000));
  }
  ~ChainThread() {
    SetEvent(release.get());
    WaitForSingleObject(thread.get(), testing_support::ScaledBound(10000));
  }
};
void* volatile ChainThread::staleTarget = reinterpret_cast<void*>(&ChainThread::Unused);

TEST(ThreadStacks, ListsTheFramesOfTheCallChainAndNoStaleWordOfTheStack) {
  ChainThread chain;
  ASSERT_TRUE(chain.thread);
  ASSERT_NE(chain.intoOuter, 0u);
  const std::string line = LineOf(testing_support::ThreadStacks(), chain.id);
  ASSERT_FALSE(line.empty());
  EXPECT_NE(line.find(" " + InThisProgram(chain.intoOuter) + " "), std::string::npos) << line;
  EXPECT_EQ(line.find(InThisProgram(reinterpret_cast<std::uintptr_t>(ChainThread::staleTarget) + 4)), std::string::npos)
      << line;
}

// A section entered by an owner thread, and a thread that then waits to enter it.
struct ContendedSection {
  CRITICAL_SECTION section;
  UniqueHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle owner, waiter;
  DWORD ownerId = 0, waiterId = 0;
  bool ownerEnds = false;

  static DWORD WINAPI Own(void* self) {
    auto* s = static_cast<ContendedSection*>(self);
    EnterCriticalSection(&s->section);
    SetEvent(s->entered.get());
    if (s->ownerEnds) return 0;  // ends holding the section
    WaitForSingleObject(s->release.get(), 30000);
    LeaveCriticalSection(&s->section);
    return 0;
  }
  static DWORD WINAPI Wait(void* self) {
    auto* s = static_cast<ContendedSection*>(self);
    EnterCriticalSection(&s->section);
    LeaveCriticalSection(&s->section);
    return 0;
  }
  explicit ContendedSection(bool ends) : ownerEnds(ends) {
    InitializeCriticalSection(&section);
    testing_support::NameCriticalSection(&section, "the test's section");
    owner.reset(CreateThread(nullptr, 0, &Own, this, 0, &ownerId));
    WaitForSingleObject(entered.get(), testing_support::ScaledBound(10000));
    if (ownerEnds) WaitForSingleObject(owner.get(), testing_support::ScaledBound(10000));
    waiter.reset(CreateThread(nullptr, 0, &Wait, this, 0, &waiterId));
  }
  ~ContendedSection() {
    if (ownerEnds) LeaveCriticalSection(&section);  // for the owner that ended: the waiter goes on
    SetEvent(release.get());
    WaitForSingleObject(waiter.get(), testing_support::ScaledBound(10000));
    WaitForSingleObject(owner.get(), testing_support::ScaledBound(10000));
    testing_support::NameCriticalSection(&section, {});
    DeleteCriticalSection(&section);
  }
};

TEST(ThreadStacks, NamesTheSectionAThreadWaitsForAndWhetherItsOwnerLives) {
  for (const bool ownerEnds : {false, true}) {
    SCOPED_TRACE(ownerEnds ? "owner ended" : "owner alive");
    ContendedSection contended(ownerEnds);
    ASSERT_TRUE(contended.owner && contended.waiter);
    const std::string waits = FormatA("waits for critical section %p \"the test's section\"", &contended.section);
    // The waiter enters the section's wait on its own time: a bounded poll for it.
    std::string line;
    const ULONGLONG until = GetTickCount64() + testing_support::ScaledBound(10000);
    do {
      line = LineOf(testing_support::ThreadStacks(), contended.waiterId);
    } while (line.find(waits) == std::string::npos && GetTickCount64() < until);
    EXPECT_NE(line.find(waits), std::string::npos) << line;
    EXPECT_NE(line.find(FormatA("owner thread 0x%lx (%hs)", static_cast<unsigned long>(contended.ownerId),
                                ownerEnds ? "ended" : "alive")),
              std::string::npos)
        << line;
    EXPECT_EQ(LineOf(testing_support::ThreadStacks(), contended.ownerId).find("waits for"), std::string::npos);
  }
}

TEST(StallWatch, ReportsTheLastMarkOnceNoProgressWasMarkedForTheBound) {
  UniqueHandle stalled(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::string report;
  testing_support::StallWatch watch(200, [&](const std::string& text) {
    report = text;
    SetEvent(stalled.get());
  });
  watch.Mark("round 1: tuned");
  ASSERT_EQ(WaitForSingleObject(stalled.get(), 10000), WAIT_OBJECT_0);
  EXPECT_NE(report.find("ms since round 1: tuned\n"), std::string::npos) << report;
  EXPECT_NE(report.find("threads besides the reporting one"), std::string::npos) << report;
}

}  // namespace

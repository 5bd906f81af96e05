#include "common/testing/stall_watch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/path.h"

namespace {

// A thread of this program that waits in a function of its own until released.
struct WaitingThread {
  UniqueHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle thread;
  DWORD id = 0;

  __attribute__((noinline)) static DWORD WINAPI Main(void* self) {
    auto* waiting = static_cast<WaitingThread*>(self);
    SetEvent(waiting->started.get());
    return WaitForSingleObject(waiting->release.get(), 30000);
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

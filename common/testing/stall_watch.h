// Test support: where every thread of this process is, for a program that stopped making
// progress, and a watch that writes it once no progress was marked for a bound.
//
// Each thread is suspended just long enough to copy its context, its frames and the top of its
// stack; the rest of the report is made after it runs again, so that a thread suspended while it
// holds the loader, heap or stdio lock cannot stop the report. A line per thread: its identifier,
// its instruction pointer and its frames, innermost first, each as module+offset from the
// module's base. The frames are an unwind of the thread's stack: by the modules' unwind tables on
// x86_64, by the chain of frame pointers on i686 (which the build keeps for that reason); no stale
// word of the stack appears. An x86_64 thread of another process lists its stack's code words
// instead, marked as such. A thread whose innermost frames wait to enter a critical section also
// names the section (its address, and the name given by NameCriticalSection), its owner thread,
// whether that thread still lives, and the section's lock and recursion counts. With a
// RelWithDebInfo build, `addr2line -f -e <module> <preferred base + offset>` names the function
// (`objdump -p` shows the preferred base).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "common/locks.h"
#include "common/thread.h"

namespace testing_support {

// Names a critical section in the reports; an empty name forgets it.
void NameCriticalSection(const CRITICAL_SECTION* section, std::string name);

// One line per thread of this process, the calling one excepted.
std::string ThreadStacks();
// The same for another process of the same kind (32 or 64 bits), every thread of it.
std::string ThreadStacks(DWORD processId);

// Ends the program with a report when no progress was marked for `boundMs`: the last mark, how
// long ago it was made and ThreadStacks(), written to standard output; then `onStall` runs with
// the report (by default the process ends with kStalledExit, its other threads still stuck).
class StallWatch final : private StoppableThread {
 public:
  static constexpr UINT kStalledExit = 0xE1;
  using StallAction = std::function<void(const std::string& report)>;

  explicit StallWatch(DWORD boundMs, StallAction onStall = {});
  ~StallWatch() override;

  // Progress: `where` says what was last done ("rul round 1: IPreview::Run").
  void Mark(std::string where);

 private:
  DWORD Run() override;

  const DWORD boundMs_;
  const StallAction onStall_;
  CriticalSection markLock_;
  std::string where_;
  ULONGLONG markedAt_;
};

}  // namespace testing_support

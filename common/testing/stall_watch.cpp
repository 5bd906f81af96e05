// Thread stacks of this process and the stall watch (stall_watch.h).
#include "common/testing/stall_watch.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/format.h"
#include "common/testing/time_scale.h"
#include "common/handles.h"

namespace testing_support {
namespace {

constexpr std::size_t kScanWords = 4096;  // of the stack, from its pointer up
constexpr int kFramesPerThread = 32;        // code addresses printed per thread

struct ThreadSnapshot {
  DWORD id = 0;
  bool taken = false;
  std::uintptr_t pc = 0;
  std::size_t words = 0;
  std::uintptr_t stack[kScanWords];
};

// The identifiers of a process's threads, from the system's process list (Wine's Toolhelp
// snapshot lists only the calling thread). Each thread record follows its process record; one
// whose owner is not that process means the layout is not the one assumed, and ends the list.
std::vector<DWORD> ThreadIds(DWORD processId) {
  using QueryFn = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  struct ThreadRecord {
    LARGE_INTEGER times[3];
    ULONG waitTime;
    PVOID startAddress;
    CLIENT_ID client;
    LONG priority, basePriority;
    ULONG switches, state, waitReason;
  };
  const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<DWORD> ids;
  if (!query) return ids;
  std::vector<std::uint64_t> buffer(1 << 16);  // aligned for the records
  for (int attempt = 0; attempt < 4; ++attempt, buffer.resize(buffer.size() * 2)) {
    ULONG needed = 0;
    if (query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(buffer[0])),
              &needed) < 0)
      continue;
    const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto* process = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(bytes);
      const DWORD pid = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(process->UniqueProcessId));
      if (pid == processId) {
        const auto* threads = reinterpret_cast<const ThreadRecord*>(process + 1);
        for (ULONG t = 0; t < process->NumberOfThreads; ++t) {
          if (reinterpret_cast<std::uintptr_t>(threads[t].client.UniqueProcess) != pid) break;
          ids.push_back(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(threads[t].client.UniqueThread)));
        }
        return ids;
      }
      if (!process->NextEntryOffset) return ids;
      bytes += process->NextEntryOffset;
    }
  }
  return ids;
}

// Copies a suspended thread's instruction pointer and the top of its stack (in `process`, which
// may be another process of the same kind: 32 or 64 bits).
void Take(HANDLE process, ThreadSnapshot& snapshot) {
  UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE,
                                 snapshot.id));
  if (!thread || SuspendThread(thread.get()) == static_cast<DWORD>(-1)) return;
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL;
  if (GetThreadContext(thread.get(), &context)) {
#if defined(__x86_64__)
    const std::uintptr_t sp = context.Rsp;
    snapshot.pc = context.Rip;
#else
    const std::uintptr_t sp = context.Esp;
    snapshot.pc = context.Eip;
#endif
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQueryEx(process, reinterpret_cast<const void*>(sp), &region, sizeof(region)) == sizeof(region) &&
        region.State == MEM_COMMIT) {
      const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
      const std::size_t words = std::min<std::size_t>(kScanWords, (end - sp) / sizeof(std::uintptr_t));
      SIZE_T read = 0;
      if (ReadProcessMemory(process, reinterpret_cast<const void*>(sp), snapshot.stack, words * sizeof(std::uintptr_t),
                            &read))
        snapshot.words = read / sizeof(std::uintptr_t);
    }
    snapshot.taken = true;
  }
  ResumeThread(thread.get());
}

struct ModuleRange {
  std::uintptr_t base, end;
  std::string name;
};

// The loaded modules. PSAPI reads the loader's list as memory, without the loader lock, which a
// stuck thread may hold.
std::vector<ModuleRange> Modules(HANDLE process) {
  std::vector<ModuleRange> ranges;
  HMODULE modules[1024];
  DWORD bytes = 0;
  if (!EnumProcessModules(process, modules, sizeof(modules), &bytes)) return ranges;
  for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 1024; ++i) {
    MODULEINFO info{};
    char name[MAX_PATH] = {};
    if (!GetModuleInformation(process, modules[i], &info, sizeof(info)) ||
        !GetModuleBaseNameA(process, modules[i], name, MAX_PATH))
      continue;
    const auto base = reinterpret_cast<std::uintptr_t>(info.lpBaseOfDll);
    ranges.push_back({base, base + info.SizeOfImage, name});
  }
  return ranges;
}

// "module+0x1234" for an address in a module's executable pages, else empty.
std::string CodeAddress(HANDLE process, const std::vector<ModuleRange>& modules, std::uintptr_t address) {
  for (const ModuleRange& module : modules) {
    if (address < module.base || address >= module.end) continue;
    MEMORY_BASIC_INFORMATION region{};
    constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (VirtualQueryEx(process, reinterpret_cast<const void*>(address), &region, sizeof(region)) != sizeof(region) ||
        !(region.Protect & kExecutable))
      return {};
    return FormatA("%hs+0x%lx", module.name.c_str(), static_cast<unsigned long>(address - module.base));
  }
  return {};
}

}  // namespace

std::string ThreadStacks() { return ThreadStacks(GetCurrentProcessId()); }

std::string ThreadStacks(DWORD processId) {
  const bool own = processId == GetCurrentProcessId();
  UniqueHandle opened(own ? nullptr : OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!own && !opened) return FormatA("process %lu: cannot be opened\n", static_cast<unsigned long>(processId));
  const HANDLE process = own ? GetCurrentProcess() : opened.get();
  std::vector<DWORD> ids = ThreadIds(processId);
  // All memory is taken before any thread is suspended: a suspended thread may hold the heap lock.
  std::vector<std::unique_ptr<ThreadSnapshot>> snapshots;
  for (const DWORD id : ids) {
    if (id == GetCurrentThreadId()) continue;
    snapshots.push_back(std::make_unique<ThreadSnapshot>());
    snapshots.back()->id = id;
  }
  for (auto& snapshot : snapshots) Take(process, *snapshot);

  const std::vector<ModuleRange> modules = Modules(process);
  std::string report = own ? FormatA("%u threads besides the reporting one\n", static_cast<unsigned>(snapshots.size()))
                           : FormatA("process %lu: %u threads\n", static_cast<unsigned long>(processId),
                                     static_cast<unsigned>(snapshots.size()));
  for (const auto& snapshot : snapshots) {
    if (!snapshot->taken) {
      report += FormatA("thread 0x%lx: no context\n", static_cast<unsigned long>(snapshot->id));
      continue;
    }
    const std::string pc = CodeAddress(process, modules, snapshot->pc);
    report += FormatA("thread 0x%lx: at %hs; stack:", static_cast<unsigned long>(snapshot->id),
                      pc.empty() ? FormatA("%p", reinterpret_cast<void*>(snapshot->pc)).c_str() : pc.c_str());
    int frames = 0;
    for (std::size_t w = 0; w < snapshot->words && frames < kFramesPerThread; ++w) {
      const std::string code = CodeAddress(process, modules, snapshot->stack[w]);
      if (code.empty()) continue;
      report += " " + code;
      ++frames;
    }
    report += "\n";
  }
  return report;
}

StallWatch::StallWatch(DWORD boundMs, StallAction onStall)
    : boundMs_(testing_support::ScaledBound(boundMs)), onStall_(std::move(onStall)), markedAt_(GetTickCount64()) {
  Start();
}

StallWatch::~StallWatch() { Stop(); }

void StallWatch::Mark(std::string where) {
  LockGuard guard(markLock_, INFINITE);
  where_ = std::move(where);
  markedAt_ = GetTickCount64();
}

DWORD StallWatch::Run() {
  const DWORD poll = std::max<DWORD>(boundMs_ / 8, 10);
  while (WaitForSingleObject(stopEvent(), poll) == WAIT_TIMEOUT) {
    std::string where;
    ULONGLONG since = 0;
    {
      LockGuard guard(markLock_, INFINITE);
      since = GetTickCount64() - markedAt_;
      if (since < boundMs_) continue;
      where = where_.empty() ? std::string("the start") : where_;
    }
    const std::string report = FormatA("stalled: nothing done for %llu ms since %hs\n", since, where.c_str()) + ThreadStacks();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    if (onStall_) {
      onStall_(report);
    } else {
      TerminateProcess(GetCurrentProcess(), kStalledExit);
    }
    return 0;
  }
  return 0;
}

}  // namespace testing_support

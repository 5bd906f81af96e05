// Thread stacks of this process and the stall watch (stall_watch.h).
#include "common/testing/stall_watch.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "common/format.h"
#include "common/testing/time_scale.h"
#include "common/handles.h"

namespace testing_support {
namespace {

constexpr std::size_t kStackWords = 4096;  // copied from the stack pointer up: a waited-for section's search
constexpr int kMaxFrames = 48;
constexpr int kWaitFrames = 8;  // a section's wait is looked for among the innermost frames
constexpr int kSavedRegisters = 8;

// One frame: where it runs, its stack pointer and, on x86_64, the registers a callee preserves
// as they stand in it (a waiting function keeps what it waits for there).
struct Frame {
  std::uintptr_t pc = 0, sp = 0;
  std::uintptr_t saved[kSavedRegisters] = {};
};

struct ThreadSnapshot {
  DWORD id = 0;
  bool taken = false;
  bool unwound = false;  // frames from an unwind; else the code words of the stack
  int frames = 0;
  Frame frame[kMaxFrames];
  std::uintptr_t sp = 0;
  std::size_t words = 0;
  std::uintptr_t stack[kStackWords];
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

const ModuleRange* ModuleOf(const std::vector<ModuleRange>& modules, std::uintptr_t address) {
  for (const ModuleRange& module : modules)
    if (address >= module.base && address < module.end) return &module;
  return nullptr;
}

// "module+0x1234" for an address in a module's executable pages, else empty.
std::string CodeAddress(HANDLE process, const std::vector<ModuleRange>& modules, std::uintptr_t address) {
  const ModuleRange* module = ModuleOf(modules, address);
  if (!module) return {};
  MEMORY_BASIC_INFORMATION region{};
  constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  if (VirtualQueryEx(process, reinterpret_cast<const void*>(address), &region, sizeof(region)) != sizeof(region) ||
      !(region.Protect & kExecutable))
    return {};
  return FormatA("%hs+0x%lx", module->name.c_str(), static_cast<unsigned long>(address - module->base));
}

// A read of `process`'s memory that fails, rather than faults, where nothing readable is.
bool Read(HANDLE process, std::uintptr_t address, void* out, std::size_t size) {
  SIZE_T read = 0;
  return ReadProcessMemory(process, reinterpret_cast<const void*>(address), out, size, &read) && read == size;
}

// The part of a thread's stack in use: from its stack pointer to the end of the committed region.
struct StackBounds {
  std::uintptr_t low = 0, high = 0;
  bool Holds(std::uintptr_t address, std::size_t size) const {
    return address >= low && address <= high && high - address >= size;
  }
};

#if defined(__x86_64__)
// Unwinds a thread of this process by the modules' unwind tables. Runs while the thread is
// suspended, so it allocates nothing and looks up only addresses inside a module (the lookup
// then reads the module's tables without a lock; one outside would take the lock of the
// run-time function tables, which the suspended thread may hold). Every stack address the
// unwind reads from, the stack pointer and a function's frame register, is checked first.
void Unwind(const CONTEXT& top, const StackBounds& stack, const std::vector<ModuleRange>& modules,
            ThreadSnapshot& snapshot) {
  CONTEXT context = top;
  while (snapshot.frames < kMaxFrames) {
    Frame& frame = snapshot.frame[snapshot.frames++];
    frame.pc = context.Rip;
    frame.sp = context.Rsp;
    const DWORD64 saved[kSavedRegisters] = {context.Rbx, context.Rbp, context.Rsi, context.Rdi,
                                            context.R12, context.R13, context.R14, context.R15};
    std::copy(std::begin(saved), std::end(saved), frame.saved);
    if (!ModuleOf(modules, context.Rip) || !stack.Holds(context.Rsp, sizeof(DWORD64))) return;
    const DWORD64 sp = context.Rsp;
    DWORD64 base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
    if (!function) {  // a leaf function: its return address is at the stack pointer
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += sizeof(DWORD64);
    } else {
      // The frame register (0: none) is the low half of the unwind information's fourth byte;
      // the registers follow each other in CONTEXT from Rax in the encoding's order.
      const unsigned frameRegister = reinterpret_cast<const BYTE*>(base + function->UnwindData)[3] & 0x0F;
      if (frameRegister && !stack.Holds((&context.Rax)[frameRegister], sizeof(DWORD64))) return;
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData, &establisher, nullptr);
    }
    if (!context.Rip || context.Rsp <= sp || !stack.Holds(context.Rsp, 0)) return;
  }
}
#else
// Follows the chain of frame pointers: each frame's saved frame pointer and return address, every
// read inside the stack in use, each link further up than the last, each return address in a
// module. A function built without a frame pointer leaves no link of its own: its caller's frame
// stands for it.
void FrameChain(HANDLE process, const CONTEXT& top, const StackBounds& stack, const std::vector<ModuleRange>& modules,
                ThreadSnapshot& snapshot) {
  Frame& first = snapshot.frame[snapshot.frames++];
  first.pc = top.Eip;
  first.sp = top.Esp;
  const std::uintptr_t saved[] = {top.Ebx, top.Ebp, top.Esi, top.Edi};
  std::copy(std::begin(saved), std::end(saved), first.saved);
  std::uintptr_t fp = top.Ebp;
  while (snapshot.frames < kMaxFrames && fp % sizeof(DWORD) == 0 && stack.Holds(fp, 2 * sizeof(DWORD))) {
    DWORD link[2] = {};  // the caller's frame pointer, the return address
    if (!Read(process, fp, link, sizeof(link)) || !ModuleOf(modules, link[1])) return;
    Frame& frame = snapshot.frame[snapshot.frames++];
    frame.pc = link[1];
    frame.sp = fp + sizeof(link);
    if (link[0] <= fp) return;
    fp = link[0];
  }
}
#endif

// Copies a suspended thread's frames and the top of its stack (in `process`, which may be another
// process of the same kind: 32 or 64 bits). An x86_64 thread of another process is not unwound
// (the unwind reads the tables of this process's modules): its stack's code words stand in.
void Take(HANDLE process, bool own, const std::vector<ModuleRange>& modules, ThreadSnapshot& snapshot) {
  UniqueHandle thread(OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE,
                                 snapshot.id));
  if (!thread || SuspendThread(thread.get()) == static_cast<DWORD>(-1)) return;
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  if (GetThreadContext(thread.get(), &context)) {
#if defined(__x86_64__)
    const std::uintptr_t sp = context.Rsp;
#else
    const std::uintptr_t sp = context.Esp;
#endif
    StackBounds stack{sp, sp};
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQueryEx(process, reinterpret_cast<const void*>(sp), &region, sizeof(region)) == sizeof(region) &&
        region.State == MEM_COMMIT) {
      stack.high = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
      const std::size_t words = std::min<std::size_t>(kStackWords, (stack.high - sp) / sizeof(std::uintptr_t));
      SIZE_T read = 0;
      if (ReadProcessMemory(process, reinterpret_cast<const void*>(sp), snapshot.stack, words * sizeof(std::uintptr_t),
                            &read))
        snapshot.words = read / sizeof(std::uintptr_t);
    }
    snapshot.sp = sp;
#if defined(__x86_64__)
    if (own) {
      Unwind(context, stack, modules, snapshot);
      snapshot.unwound = true;
    } else {
      snapshot.frame[0].pc = context.Rip;
      snapshot.frame[0].sp = sp;
      snapshot.frames = 1;
    }
#else
    (void)own;
    FrameChain(process, context, stack, modules, snapshot);
    snapshot.unwound = true;
#endif
    snapshot.taken = true;
  }
  ResumeThread(thread.get());
}

// --- Critical sections ----------------------------------------------------------------------

struct SectionNames {
  CriticalSection lock;
  std::map<std::uintptr_t, std::string> byAddress;
};
SectionNames& Names() {
  static SectionNames names;
  return names;
}

std::string NameOf(std::uintptr_t section) {
  SectionNames& names = Names();
  LockGuard guard(names.lock, INFINITE);
  const auto found = names.byAddress.find(section);
  return found == names.byAddress.end() ? std::string() : found->second;
}

// Where a thread waits to enter a critical section: the two functions of ntdll that do, as
// addresses in `process` (ntdll is the same file in every process of one kind). A frame is in
// one of them when the nearest export of ntdll at or below its address is that function.
class SectionWait {
 public:
  SectionWait(const std::vector<ModuleRange>& modules) {
    const auto* ntdll = reinterpret_cast<const BYTE*>(GetModuleHandleW(L"ntdll.dll"));
    const ModuleRange* there = nullptr;
    for (const ModuleRange& module : modules)
      if (_stricmp(module.name.c_str(), "ntdll.dll") == 0) there = &module;
    if (!ntdll || !there) return;
    base_ = there->base;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(ntdll);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(ntdll + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (!directory.VirtualAddress) return;
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(ntdll + directory.VirtualAddress);
    const auto* functions = reinterpret_cast<const DWORD*>(ntdll + exports->AddressOfFunctions);
    exports_.assign(functions, functions + exports->NumberOfFunctions);
    std::sort(exports_.begin(), exports_.end());
    for (const char* name : {"RtlEnterCriticalSection", "RtlpWaitForCriticalSection"})
      if (const FARPROC function = GetProcAddress(reinterpret_cast<HMODULE>(const_cast<BYTE*>(ntdll)), name))
        waits_.push_back(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(function) -
                                            reinterpret_cast<std::uintptr_t>(ntdll)));
  }

  bool Holds(std::uintptr_t pc) const {
    if (pc < base_ || exports_.empty()) return false;
    const auto rva = static_cast<DWORD>(pc - base_);
    const auto above = std::upper_bound(exports_.begin(), exports_.end(), rva);
    if (above == exports_.begin()) return false;
    return std::find(waits_.begin(), waits_.end(), *(above - 1)) != waits_.end();
  }

 private:
  std::uintptr_t base_ = 0;
  std::vector<DWORD> exports_;  // addresses of ntdll's exports, from its base, in order
  std::vector<DWORD> waits_;
};

// The section a thread waits for, when its innermost frames are in the section's wait: the
// values the waiting functions keep (registers as they stand in those frames, then the stack's
// words up to a few past the caller's stack pointer, where its argument was) are tried in turn,
// and the first that reads as a section held by another thread, whose debug record points back
// to it, is the one (a list node alone also points back: the record's type and the owner tell).
std::string WaitedSection(HANDLE process, DWORD processId, const SectionWait& wait, const ThreadSnapshot& snapshot) {
  int last = -1;
  for (int f = 0; f < snapshot.frames && f < kWaitFrames; ++f)
    if (wait.Holds(snapshot.frame[f].pc)) last = f;
  if (last < 0) return {};
  std::vector<std::uintptr_t> candidates;
  for (int f = 0; f <= last; ++f)
    candidates.insert(candidates.end(), std::begin(snapshot.frame[f].saved), std::end(snapshot.frame[f].saved));
  const std::uintptr_t reach =
      last + 1 < snapshot.frames ? snapshot.frame[last + 1].sp + 8 * sizeof(std::uintptr_t) : snapshot.sp + 512;
  for (std::size_t w = 0; w < snapshot.words && snapshot.sp + w * sizeof(std::uintptr_t) < reach; ++w)
    candidates.push_back(snapshot.stack[w]);
  for (const std::uintptr_t candidate : candidates) {
    RTL_CRITICAL_SECTION section{};
    RTL_CRITICAL_SECTION_DEBUG debug{};
    if (!candidate || candidate % sizeof(void*) || !Read(process, candidate, &section, sizeof(section)) ||
        !Read(process, reinterpret_cast<std::uintptr_t>(section.DebugInfo), &debug, sizeof(debug)) ||
        reinterpret_cast<std::uintptr_t>(debug.CriticalSection) != candidate || debug.Type != RTL_CRITSECT_TYPE)
      continue;
    // Held by another thread (a section being handed over to this one is not stuck).
    const auto owner = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(section.OwningThread));
    if (!owner || owner == snapshot.id || section.RecursionCount < 1) continue;
    const std::string name = NameOf(candidate);
    UniqueHandle thread(owner ? OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, owner) : nullptr);
    const bool alive = thread && GetProcessIdOfThread(thread.get()) == processId &&
                       WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
    return FormatA("; waits for critical section %p%hs: owner thread 0x%lx (%hs), lock count %ld, recursion %ld",
                   reinterpret_cast<void*>(candidate), name.empty() ? "" : (" \"" + name + "\"").c_str(),
                   static_cast<unsigned long>(owner), alive ? "alive" : "ended", static_cast<long>(section.LockCount),
                   static_cast<long>(section.RecursionCount));
  }
  return "; waits for a critical section (not found among the values its wait keeps)";
}

}  // namespace

void NameCriticalSection(const CRITICAL_SECTION* section, std::string name) {
  SectionNames& names = Names();
  LockGuard guard(names.lock, INFINITE);
  const auto address = reinterpret_cast<std::uintptr_t>(section);
  if (name.empty()) {
    names.byAddress.erase(address);
  } else {
    names.byAddress[address] = std::move(name);
  }
}

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
  const std::vector<ModuleRange> modules = Modules(process);
  for (auto& snapshot : snapshots) Take(process, own, modules, *snapshot);

  const SectionWait wait(modules);
  std::string report = own ? FormatA("%u threads besides the reporting one\n", static_cast<unsigned>(snapshots.size()))
                           : FormatA("process %lu: %u threads\n", static_cast<unsigned long>(processId),
                                     static_cast<unsigned>(snapshots.size()));
  const auto where = [&](std::uintptr_t address) {
    const std::string code = CodeAddress(process, modules, address);
    return code.empty() ? FormatA("%p", reinterpret_cast<void*>(address)) : code;
  };
  for (const auto& snapshot : snapshots) {
    if (!snapshot->taken) {
      report += FormatA("thread 0x%lx: no context\n", static_cast<unsigned long>(snapshot->id));
      continue;
    }
    report += FormatA("thread 0x%lx: at %hs; %hs:", static_cast<unsigned long>(snapshot->id),
                      where(snapshot->frame[0].pc).c_str(), snapshot->unwound ? "frames" : "stack words (not unwound)");
    if (snapshot->unwound) {
      for (int f = 1; f < snapshot->frames; ++f) report += " " + where(snapshot->frame[f].pc);
    } else {
      int listed = 0;
      for (std::size_t w = 0; w < snapshot->words && listed < kMaxFrames; ++w) {
        const std::string code = CodeAddress(process, modules, snapshot->stack[w]);
        if (code.empty()) continue;
        report += " " + code;
        ++listed;
      }
    }
    report += WaitedSection(process, processId, wait, *snapshot) + "\n";
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

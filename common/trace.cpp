#include "common/trace.h"

#include <stdio.h>

#include <atomic>
#include <string>

#include "common/file.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/path.h"
#include "common/registry.h"
#include "common/shared_memory.h"
#include "common/strings.h"

namespace {

constexpr wchar_t kMutexName[] = L"Global\\RELTRACE_MUTEX";
constexpr wchar_t kGlobalViewName[] = L"Global\\RELTRACE_VIEW_MMF";
constexpr wchar_t kLogViewPrefix[] = L"Global\\MMF";
constexpr wchar_t kLogViewDropped[] = L":/\\. ";

constexpr DWORD kToDebugger = 0x1;
constexpr DWORD kToLogFile = 0x2;

// Both views: the number of records counted in them and the tick of the first one. A new
// section is zero, so the first record sets the tick.
struct TraceView {
  DWORD count;
  DWORD firstTick;
};
static_assert(sizeof(TraceView) == 8);

enum Phase : int { kNotInitialized, kReady, kFailed, kShutDown };

// Restores the caller's last error however the trace's own calls changed it.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : saved_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(saved_); }

 private:
  DWORD saved_;
};

class SharedLock {
 public:
  explicit SharedLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
  ~SharedLock() { ReleaseSRWLockShared(&lock_); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SRWLOCK& lock_;
};

// Formats the arguments; false when they cannot be formatted.
bool TryFormat(const wchar_t* format, va_list args, std::wstring* text) {
  text->clear();
  if (!format || !*format) return true;
  va_list count;
  va_copy(count, args);
  const int length = _vscwprintf(format, count);
  va_end(count);
  if (length < 0) return false;
  text->assign(static_cast<std::size_t>(length) + 1, L'\0');
  const int written = _vsnwprintf(text->data(), text->size(), format, args);
  if (written < 0) return false;
  text->resize(static_cast<std::size_t>(written));
  return true;
}

}  // namespace

const wchar_t* TraceKindName(TraceKind kind) {
  switch (kind) {
    case TraceKind::In: return L"IN";
    case TraceKind::Out: return L"OUT";
    case TraceKind::Trace: return L"TRACE";
  }
  return L"";
}

// Writers hold `lock` shared while they use the objects; initialisation and shutdown hold it
// exclusively. The trace mutex is taken inside it (one direction only).
struct ReleaseTrace::State {
  std::wstring settingsKey;
  HMODULE module = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;
  std::atomic<int> phase{kNotInitialized};

  DWORD flags = 0;
  std::wstring logPath;
  std::wstring processName;
  DWORD processId = 0;
  std::wstring moduleName;
  NamedMutex mutex;
  SharedMemory globalView;
  SharedMemory logView;
  VCLFile logFile;

  // Reads the settings and opens the objects; false when the trace cannot work at all.
  bool Open();
  void CloseObjects();
  bool LogOpen() const { return logFile.IsOpen() && logView.view(); }
  void Write(TraceKind kind, const wchar_t* text);
};

bool ReleaseTrace::State::Open() {
  const RegistryKeyPath key{WideString(settingsKey)};
  flags = key.ReadDwordValue(L"trace", 0);
  WideString log;
  key.ReadString(L"log", log, L"");

  processName = ModulePath::OfProcess().GetFileNameWithExtension().str();
  processId = GetCurrentProcessId();
  moduleName = ModulePath::OfModule(module).GetFileNameWithExtension().str();

  // The module's own subkey overrides the common values.
  if (!moduleName.empty()) {
    const RegistryKeyPath own = key.SubKey(WideString(moduleName));
    flags = own.ReadDwordValue(L"trace", flags);
    const WideString common = log;
    own.ReadString(L"log", log, common.c_str());
  }
  logPath = log.str();

  if (!mutex.Open(kMutexName)) return false;
  if (FAILED(globalView.Create(kGlobalViewName, 0, sizeof(TraceView)))) return false;

  if ((flags & kToLogFile) && !logPath.empty()) {
    WideString viewName(logPath);
    viewName.RemoveChars(kLogViewDropped);
    if (SUCCEEDED(logView.Create((kLogViewPrefix + viewName.str()).c_str(), 0, sizeof(TraceView)))) {
      if (!logFile.Open(logPath.c_str(), VCLFile::kAppendShared)) logView.Close();
    }
  }
  return true;
}

void ReleaseTrace::State::CloseObjects() {
  logFile.Close();
  logView.Close();
  globalView.Close();
  mutex.Close();
}

void ReleaseTrace::State::Write(TraceKind kind, const wchar_t* text) {
  SharedLock shared(lock);
  if (phase.load() != kReady) return;

  const bool toDebugger = (flags & kToDebugger) != 0;
  const bool toLog = LogOpen();
  // The record itself does not depend on the views: build it before taking the trace mutex.
  std::wstring line;
  if (toDebugger || toLog) {
    line = FormatW(L"\"%ls\",[%ls],%ls,0x%08X,%ls,0x%08X", text ? text : L"", TraceKindName(kind),
                   processName.c_str(), static_cast<unsigned>(processId), moduleName.c_str(),
                   static_cast<unsigned>(GetCurrentThreadId()));
  }

  LockGuard guard(mutex, INFINITE);
  const DWORD tick = GetTickCount();
  auto* global = globalView.As<TraceView>();
  if (global->count == 0) global->firstTick = tick;
  ++global->count;
  TraceView* perLog = logView.As<TraceView>();
  if (perLog) {
    if (perLog->count == 0) perLog->firstTick = tick;
    ++perLog->count;
  }

  if (toDebugger) {
    // The elapsed time is printed as a signed 32-bit number, as every reader of the log expects.
    const long elapsed = static_cast<long>(tick - global->firstTick);
    OutputDebugStringW(FormatW(L"%ls,%012ld\n", line.c_str(), elapsed).c_str());
  }
  if (toLog && perLog) {
    const long elapsed = static_cast<long>(tick - perLog->firstTick);
    const AnsiString bytes(FormatW(L"%ls,%012ld\r\n", line.c_str(), elapsed));
    logFile.Seek(0, FILE_END);
    logFile.Write(bytes.c_str(), static_cast<DWORD>(bytes.length()));
  }
}

ReleaseTrace::ReleaseTrace(const wchar_t* settingsKey, HMODULE module) {
  // Nothing but remembering: this may run under the loader lock, before anyone set the registry.
  GuardNoThrow([&] {
    state_ = std::make_unique<State>();
    state_->settingsKey = settingsKey ? settingsKey : L"";
    state_->module = module;
  });
}

ReleaseTrace::~ReleaseTrace() { Shutdown(); }

void ReleaseTrace::Initialize() {
  if (!state_) return;
  const LastErrorKeeper keeper;
  State& s = *state_;
  const int phase = s.phase.load();
  if (phase == kReady || phase == kFailed) return;
  AcquireSRWLockExclusive(&s.lock);
  if (s.phase.load() == kNotInitialized || s.phase.load() == kShutDown) {
    bool ok = false;
    GuardNoThrow([&] { ok = s.Open(); });
    if (!ok) s.CloseObjects();
    s.phase.store(ok ? kReady : kFailed);
  }
  ReleaseSRWLockExclusive(&s.lock);
}

void ReleaseTrace::Shutdown() {
  if (!state_) return;
  const LastErrorKeeper keeper;
  State& s = *state_;
  s.phase.store(kShutDown);  // new records stop here
  // Wait briefly for records in progress. At process exit a thread may have been ended inside
  // one; the objects are then left to the system rather than waited for.
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (TryAcquireSRWLockExclusive(&s.lock)) {
      s.CloseObjects();
      ReleaseSRWLockExclusive(&s.lock);
      return;
    }
    Sleep(1);
  }
}

void ReleaseTrace::WriteLine(TraceKind kind, const wchar_t* text) {
  if (!state_) return;
  const LastErrorKeeper keeper;
  GuardNoThrow([&] {
    if (state_->phase.load() == kNotInitialized) Initialize();
    state_->Write(kind, text);
  });
}

void ReleaseTrace::Printf(TraceKind kind, const wchar_t* format, ...) {
  const LastErrorKeeper keeper;
  va_list args;
  va_start(args, format);
  GuardNoThrow([&] {
    std::wstring text;
    const bool ok = TryFormat(format, args, &text);
    WriteLine(kind, ok ? text.c_str() : (format ? format : L""));
  });
  va_end(args);
}

bool ReleaseTrace::enabled() {
  if (!state_) return false;
  const LastErrorKeeper keeper;
  if (state_->phase.load() == kNotInitialized) Initialize();
  SharedLock shared(state_->lock);
  return state_->phase.load() == kReady && ((state_->flags & kToDebugger) || state_->LogOpen());
}

TraceScope::TraceScope(ReleaseTrace& trace, const wchar_t* name) : trace_(trace), name_(name ? name : L"") {
  trace_.WriteLine(TraceKind::In, name_);
}

TraceScope::TraceScope(ReleaseTrace& trace, const wchar_t* name, const wchar_t* format, ...)
    : trace_(trace), name_(name ? name : L"") {
  const LastErrorKeeper keeper;
  va_list args;
  va_start(args, format);
  GuardNoThrow([&] {
    // The arguments are formatted only when a record will be seen; the record is counted
    // either way.
    std::wstring arguments;
    if (!trace_.enabled() || !TryFormat(format, args, &arguments)) {
      trace_.WriteLine(TraceKind::In, name_);
      return;
    }
    // "Class::Method" renders as "Class::Method(arguments)"; a name already ending in "()"
    // does not get a second pair.
    std::wstring text = name_;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"()") == 0) text.resize(text.size() - 2);
    text += L'(';
    text += arguments;
    text += L')';
    trace_.WriteLine(TraceKind::In, text.c_str());
  });
  va_end(args);
}

TraceScope::~TraceScope() { trace_.WriteLine(TraceKind::Out, name_); }

// The release trace: scope records ("IN" on entry, "OUT" on exit, "TRACE" for free text) that
// every tracing module writes to the debugger and to one shared log file, serialised across
// processes by global named objects. Switched by the DWORD "trace" (bit 0 debugger, bit 1 log
// file) and the string "log" under the module's settings key (and its subkey named after the
// module file, whose values override). Tracing never changes a caller's result.
//
// Each tracing module defines its context once, naming its settings key:
//   VORN_MODULE_TRACE(kTraceKeyLumacrest2)
// and public methods open a scope, name-only or with arguments:
//   TraceScope scope(ModuleTrace(), L"CRulDeviceManager::SetChannel()");
//   TraceScope scope(ModuleTrace(), L"LumacrestPort::OpenPort", L"%lu", pid);
// Settings are read on the first record (never under the loader lock); the context closes its
// objects when the module unloads. Writing a record keeps the caller's last error, never throws
// and reports nothing: a context whose initialisation failed simply writes nothing.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <memory>
#include <string>

#include "common/module.h"

constexpr wchar_t kTraceKeyLumacrest2[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Lumacrest2\\RELTrace";
constexpr wchar_t kTraceKeyTovrel[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace";

enum class TraceKind { In, Out, Trace };
const wchar_t* TraceKindName(TraceKind kind);  // "IN", "OUT", "TRACE"

class ReleaseTrace {
 public:
  // `module` is the module whose file name the records carry (the one holding the context).
  explicit ReleaseTrace(const wchar_t* settingsKey, HMODULE module = ThisModule());
  ReleaseTrace(const ReleaseTrace&) = delete;
  ReleaseTrace& operator=(const ReleaseTrace&) = delete;
  ~ReleaseTrace();

  // Reads the settings and opens the shared objects; runs once, on first use (thread-safe).
  // A context whose initialisation failed writes nothing.
  void Initialize();
  // Closes the log file, the views and the mutex.
  void Shutdown();
  // Writes one record.
  void WriteLine(TraceKind kind, const wchar_t* text);
  void Printf(TraceKind kind, const wchar_t* format, ...);
  // True when any output (debugger or log file) is switched on.
  bool enabled();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The context of the module this code is linked into; defined by VORN_MODULE_TRACE.
ReleaseTrace& ModuleTrace();

// The first call constructs the context (nothing more: settings are read on the first record);
// the caller's last error survives the static's guard.
#define VORN_MODULE_TRACE(settingsKey)                \
  ReleaseTrace& ModuleTrace() {                       \
    const DWORD vornSavedLastError = ::GetLastError(); \
    static ReleaseTrace context(settingsKey);         \
    ::SetLastError(vornSavedLastError);               \
    return context;                                   \
  }

// Scope record: "IN" with the name (or "name(arguments)" in the formatted form) when
// constructed, "OUT" with the name when destroyed. Name-only scopes take "Class::Method()";
// formatted scopes take the bare "Class::Method" and render "Class::Method(arguments)" on entry
// ("Class::Method()" for an empty format; a name already ending in "()" gets no second pair)
// and the name on exit. Arguments that cannot be formatted give the name alone.
class TraceScope {
 public:
  TraceScope(ReleaseTrace& trace, const wchar_t* name);
  TraceScope(ReleaseTrace& trace, const wchar_t* name, const wchar_t* format, ...);
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;
  ~TraceScope();

 private:
  ReleaseTrace& trace_;
  const wchar_t* name_;
};

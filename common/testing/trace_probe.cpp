// Test support: a module of its own with its own release-trace context, so that tests see
// records of two modules side by side and the path of a DLL next to the process image.
#include <windows.h>

#include "common/module.h"
#include "common/path.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

// Opens and closes one name-only scope.
extern "C" void WINAPI TraceProbeScope(const wchar_t* name) {
  TraceScope scope(ModuleTrace(), name);
}

// This module's path as ModulePath reads it; the number of characters copied (0 when it does
// not fit).
extern "C" DWORD WINAPI TraceProbeModulePath(wchar_t* buffer, DWORD size) {
  const PathString path = ModulePath::OfModule(ThisModule());
  if (!buffer || path.length() + 1 > size) return 0;
  for (std::size_t i = 0; i <= path.length(); ++i) buffer[i] = path.c_str()[i];
  return static_cast<DWORD>(path.length());
}

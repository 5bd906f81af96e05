// The module this code is linked into (DLL or EXE alike).
#pragma once

#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

inline HMODULE ThisModule() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

// A typed export of a module (null when missing). The cast through void* is the documented way
// from FARPROC to a real function type.
template <class Fn>
Fn GetProcAs(HMODULE module, const char* name) noexcept {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// Rewrites entries of a loaded module's import address table. Entries are matched by the name of
// the imported function in every import descriptor, whichever DLL the module imports it from;
// entries imported by ordinal, and descriptors whose name table was dropped by binding, are
// left alone.
#pragma once

#include <windows.h>

#include <vector>

struct ImportHook {
  const char* name;
  void* replacement;
};

struct PatchedImport {
  void** slot;
  void* original;
};

// Rewrites every matching entry of `module` and appends what it changed to `patched`.
// E_INVALIDARG for a null module or one without valid PE headers; the last error of a failed
// page protection change otherwise (entries changed before it stay in `patched`).
HRESULT PatchImports(HMODULE module, const ImportHook* hooks, size_t hookCount,
                     std::vector<PatchedImport>* patched);

// Writes the original values back.
HRESULT RestoreImports(const std::vector<PatchedImport>& patched);

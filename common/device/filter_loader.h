// Creates COM objects (mostly DirectShow filters) straight from their module files, without
// the registry: load the file, ask its DllGetClassObject export for the class factory, create.
//
// Every module that an object was created from stays loaded, with one load reference held in
// the loaded-module set, until UnloadAll. The set belongs to the module this library is linked
// into (each device manager, the renderer): that module's DllMain calls OnProcessDetach.
//
// Thread safety: all operations may be called from any thread at once (the device managers are
// "Both"-threaded and several objects build graphs at the same time). The set is only ever
// given a module after an object was created from it, so a call that fails on a module can
// never unload what another thread has just created from the same file.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

class FilterLoader {
 public:
  // Loads `path` (LoadLibraryExW with LOAD_WITH_ALTERED_SEARCH_PATH) and creates `clsid` through
  // its class factory. `context` is accepted for the caller's symmetry with CoCreateInstance
  // and not used. E_POINTER for a null out, E_INVALIDARG for a null path, E_FAIL when the file
  // cannot be loaded or lacks the export; otherwise the failure of DllGetClassObject or of
  // CreateInstance. On failure the module is left exactly as loaded as it was before.
  static HRESULT CreateFromFile(const wchar_t* path, REFCLSID clsid, IUnknown* outer, DWORD context,
                                REFIID iid, void** out);

  // The file `fileName` in the directory of `module` (null: the process image). E_FAIL when the
  // module's path cannot be read or does not fit 260 characters.
  static HRESULT CreateFromNamedModule(HMODULE module, const wchar_t* fileName, REFCLSID clsid,
                                       IUnknown* outer, DWORD context, REFIID iid, void** out);

  // SearchDirectory over the directory of `module`.
  static HRESULT CreateFromModuleDirectory(HMODULE module, REFCLSID clsid, IUnknown* outer,
                                           DWORD context, REFIID iid, void** out);

  // Tries every "*.dll" of `directory`, then every "*.ax", in the order the file search gives
  // them; the first module that creates the object ends the search (S_OK). E_FAIL when none
  // did. Runs DllMain of every module it tries: point it at a directory of filter modules only.
  static HRESULT SearchDirectory(const wchar_t* directory, REFCLSID clsid, IUnknown* outer,
                                 DWORD context, REFIID iid, void** out);

  // Frees the modules of the set. A module whose DllCanUnloadNow does not answer S_OK still
  // has live objects (its code would be unmapped under them): it stays loaded and in the set.
  static void UnloadAll();

  // For the linking module's DllMain at DLL_PROCESS_DETACH: UnloadAll when the module is being
  // freed (`reserved` null); nothing when the process is terminating (`reserved` set), where
  // calling into other modules is unsafe.
  static void OnProcessDetach(void* reserved);

  // How many modules the set holds now.
  static std::size_t KeptModuleCount();
};

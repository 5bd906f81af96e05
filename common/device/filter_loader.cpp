#include "common/device/filter_loader.h"

#include <wrl/client.h>

#include <set>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/locks.h"
#include "common/module.h"

using Microsoft::WRL::ComPtr;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The loaded-module set of this module, one load reference per entry.
struct ModuleMap {
  CriticalSection lock;
  std::set<HMODULE> modules;  // guarded by lock
};

ModuleMap& Map() {
  static ModuleMap map;
  return map;
}

// The directory of `module` with its trailing "\", read into the fixed 260-character buffer
// that the callers' paths are made for. Empty when the path cannot be read, was cut off, or
// has no "\".
std::wstring ModuleDirectory(HMODULE module) {
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};  // failed or truncated
  std::wstring path(buffer, length);
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  path.resize(slash + 1);
  return path;
}

std::wstring Join(const std::wstring& directory, const wchar_t* name) {
  std::wstring path = directory;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path + name;
}

}  // namespace

HRESULT FilterLoader::CreateFromFile(const wchar_t* path, REFCLSID clsid, IUnknown* outer,
                                     DWORD /*context*/, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!path) return E_INVALIDARG;

  // This call's own reference, dropped on every path out except "the set takes it".
  UniqueModule module(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return E_FAIL;
  const auto getClassObject = GetProcAs<GetClassObjectFn>(module.get(), "DllGetClassObject");
  if (!getClassObject) return E_FAIL;

  HRESULT hr;
  {
    ComPtr<IClassFactory> factory;
    hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = factory ? factory->CreateInstance(outer, iid, out) : E_FAIL;
  }  // the factory is released while the module is surely still loaded
  if (FAILED(hr)) {
    *out = nullptr;
    return hr;
  }

  ModuleMap& map = Map();
  LockGuard guard(map.lock, INFINITE);
  // A module new to the set keeps this call's reference; one already there has its own.
  if (map.modules.insert(module.get()).second) module.release();
  return hr;
}

HRESULT FilterLoader::CreateFromNamedModule(HMODULE module, const wchar_t* fileName, REFCLSID clsid,
                                            IUnknown* outer, DWORD context, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!fileName || !*fileName) return E_INVALIDARG;
  const std::wstring directory = ModuleDirectory(module);
  if (directory.empty()) return E_FAIL;
  return CreateFromFile(Join(directory, fileName).c_str(), clsid, outer, context, iid, out);
}

HRESULT FilterLoader::CreateFromModuleDirectory(HMODULE module, REFCLSID clsid, IUnknown* outer,
                                                DWORD context, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  const std::wstring directory = ModuleDirectory(module);
  if (directory.empty()) return E_FAIL;
  return SearchDirectory(directory.c_str(), clsid, outer, context, iid, out);
}

HRESULT FilterLoader::SearchDirectory(const wchar_t* directory, REFCLSID clsid, IUnknown* outer,
                                      DWORD context, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!directory || !*directory) return E_INVALIDARG;
  const std::wstring base(directory);
  for (const wchar_t* pattern : {L"*.dll", L"*.ax"}) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Join(base, pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    // The search handle is closed with FindClose, not CloseHandle: no UniqueFileHandle here.
    bool created = false;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (SUCCEEDED(CreateFromFile(Join(base, found.cFileName).c_str(), clsid, outer, context, iid, out))) {
        created = true;
        break;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (created) return S_OK;
  }
  return E_FAIL;
}

void FilterLoader::UnloadAll() {
  std::vector<HMODULE> unload;
  {
    ModuleMap& map = Map();
    LockGuard guard(map.lock, INFINITE);
    for (auto it = map.modules.begin(); it != map.modules.end();) {
      const auto canUnloadNow = GetProcAs<CanUnloadNowFn>(*it, "DllCanUnloadNow");
      if (canUnloadNow && canUnloadNow() != S_OK) {
        ++it;  // objects of this module are alive: keep it mapped
        continue;
      }
      unload.push_back(*it);
      it = map.modules.erase(it);
    }
  }
  for (HMODULE module : unload) FreeLibrary(module);
}

void FilterLoader::OnProcessDetach(void* reserved) {
  if (reserved) return;  // process termination: other modules may already be gone
  UnloadAll();
}

std::size_t FilterLoader::KeptModuleCount() {
  ModuleMap& map = Map();
  LockGuard guard(map.lock, INFINITE);
  return map.modules.size();
}

#include "portserver/registration.h"

#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "common/class_registration.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "portserver/VornPort.h"

namespace port_registration {
namespace {

HRESULT DeleteTree(const std::wstring& key) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
    RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    return S_OK;
  }
  return HResultFromWin32(status);
}

std::wstring Folder(const wchar_t* path) {
  std::wstring folder = path;
  const size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

std::wstring FileName(const wchar_t* path) {
  std::wstring name = path;
  const size_t slash = name.find_last_of(L"\\/");
  return slash == std::wstring::npos ? name : name.substr(slash + 1);
}

// The class as COM knows it; `server` is the server program's path.
LocalServerClass ServerClass(const wchar_t* server) {
  // A command line: quoted when the path has blanks.
  std::wstring command = server;
  if (command.find(L' ') != std::wstring::npos) command = L"\"" + command + L"\"";
  return {GuidKeyName(CLSID_LumacrestPort), kClassName, GuidKeyName(kAppId), kAppName, FileName(server),
          command, kProgId, kVersionIndependentProgId, GuidKeyName(LIBID_VornPortLib)};
}

// Calls DllRegisterServer or DllUnregisterServer of the proxy/stub module beside the server.
HRESULT CallProxyModule(const wchar_t* server, const char* entry) {
  const std::wstring path = Folder(server) + kProxyModule;
  UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return HResultFromLastError();
  auto fn = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module.get(), entry);
  if (!fn) return HResultFromLastError();
  return fn();
}

}  // namespace

HRESULT Register(const wchar_t* server) {
  for (const ClassesRootValue& value : LocalServerValues(ServerClass(server))) {
    RETURN_IF_FAILED(SetClassesRootValue(value));
  }

  // The type library is resource 1 of the server itself.
  ITypeLib* lib = nullptr;
  RETURN_IF_FAILED(LoadTypeLibEx(server, REGKIND_REGISTER, &lib));
  lib->Release();

  return CallProxyModule(server, "DllRegisterServer");
}

HRESULT Unregister(const wchar_t* server) {
  HRESULT result = S_OK;
  auto keep = [&result](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  };
  for (const std::wstring& key : LocalServerKeys(ServerClass(server))) keep(DeleteTree(key));
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  const HRESULT hr = UnRegisterTypeLib(LIBID_VornPortLib, 1, 0, LOCALE_NEUTRAL, kind);
  if (hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY) keep(hr);
  keep(CallProxyModule(server, "DllUnregisterServer"));
  return result;
}

}  // namespace port_registration

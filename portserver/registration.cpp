#include "portserver/registration.h"

#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "portserver/VornPort.h"

namespace port_registration {
namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

HRESULT SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  UniqueRegKey k;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, k.put(), nullptr);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HResultFromWin32(status);
}

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
  const std::wstring clsid = GuidText(CLSID_LumacrestPort);
  const std::wstring appId = GuidText(kAppId);
  const std::wstring classKey = L"CLSID\\" + clsid;
  // A command line: quoted when the path has blanks.
  std::wstring command = server;
  if (command.find(L' ') != std::wstring::npos) command = L"\"" + command + L"\"";

  RETURN_IF_FAILED(SetValue(classKey, nullptr, kClassName));
  RETURN_IF_FAILED(SetValue(classKey, L"AppID", appId));
  RETURN_IF_FAILED(SetValue(classKey + L"\\LocalServer32", nullptr, command));
  RETURN_IF_FAILED(SetValue(classKey + L"\\ProgID", nullptr, kProgId));
  RETURN_IF_FAILED(SetValue(classKey + L"\\VersionIndependentProgID", nullptr,
                            kVersionIndependentProgId));
  RETURN_IF_FAILED(SetValue(classKey + L"\\TypeLib", nullptr, GuidText(LIBID_VornPortLib)));

  RETURN_IF_FAILED(SetValue(kProgId, nullptr, kClassName));
  RETURN_IF_FAILED(SetValue(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED(SetValue(kVersionIndependentProgId, nullptr, kClassName));
  RETURN_IF_FAILED(SetValue(std::wstring(kVersionIndependentProgId) + L"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED(SetValue(std::wstring(kVersionIndependentProgId) + L"\\CurVer", nullptr, kProgId));

  RETURN_IF_FAILED(SetValue(L"AppID\\" + appId, nullptr, kAppName));
  RETURN_IF_FAILED(SetValue(L"AppID\\" + FileName(server), L"AppID", appId));

  // The type library is resource 1 of the server itself.
  ITypeLib* lib = nullptr;
  RETURN_IF_FAILED(LoadTypeLibEx(server, REGKIND_REGISTER, &lib));
  lib->Release();

  return CallProxyModule(server, "DllRegisterServer");
}

HRESULT Unregister(const wchar_t* server) {
  const std::wstring clsid = GuidText(CLSID_LumacrestPort);
  HRESULT result = S_OK;
  auto keep = [&result](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  };
  keep(DeleteTree(L"CLSID\\" + clsid));
  keep(DeleteTree(kProgId));
  keep(DeleteTree(kVersionIndependentProgId));
  keep(DeleteTree(L"AppID\\" + GuidText(kAppId)));
  keep(DeleteTree(L"AppID\\" + FileName(server)));
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  const HRESULT hr = UnRegisterTypeLib(LIBID_VornPortLib, 1, 0, LOCALE_NEUTRAL, kind);
  if (hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY) keep(hr);
  keep(CallProxyModule(server, "DllUnregisterServer"));
  return result;
}

}  // namespace port_registration

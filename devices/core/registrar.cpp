#include "devices/core/registrar.h"

#include <objbase.h>
#include <oleauto.h>

#include <cwchar>
#include <string>

#include "common/handles.h"
#include "common/hresult.h"
#include "devices/idl/proxy.h"

namespace {

HRESULT FromStatus(LONG status) { return HResultFromWin32(static_cast<DWORD>(status)); }

// Creates HKCR\<path> and sets its value `name` (null: the default value) to `value`.
HRESULT SetKeyValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  UniqueRegKey key;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                            key.put(), nullptr);
  if (rc != ERROR_SUCCESS) return FromStatus(rc);
  rc = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return FromStatus(rc);
}

// The default value of HKCR\<path>; empty when the key or value is missing.
std::wstring ReadDefault(const std::wstring& path) {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer,
                   &bytes) != ERROR_SUCCESS)
    return {};
  return buffer;
}

HRESULT DeleteTree(const std::wstring& path) {
  const LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(rc);
}

HRESULT ModulePath(HMODULE module, std::wstring* path) {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, buffer, MAX_PATH);
  if (n == 0) return HResultFromLastError();
  if (n >= MAX_PATH) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  path->assign(buffer, n);
  return S_OK;
}

SYSKIND ThisSysKind() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

// Calls f(iid, name, methodCount) for every interface that the linked proxy files serve.
template <class F>
void ForEachProxyInterface(F&& f) {
  const unsigned count = VornProxyInterfaceCount();
  for (unsigned i = 0; i < count; ++i) {
    IID iid{};
    const char* name = nullptr;
    unsigned long methods = 0;
    if (VornProxyInterfaceAt(i, &iid, &name, &methods)) f(iid, name, methods);
  }
}

HRESULT RegisterProxies(const std::wstring& path) {
  const std::wstring psClsid = GuidText(CLSID_VornDeviceProxyStub);
  const std::wstring classKey = L"CLSID\\" + psClsid;
  RETURN_IF_FAILED(SetKeyValue(classKey, nullptr, L"PSFactoryBuffer"));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\InprocServer32", nullptr, path));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"));
  HRESULT result = S_OK;
  ForEachProxyInterface([&](const IID& iid, const char* name, unsigned long methods) {
    if (FAILED(result)) return;
    const std::wstring key = L"Interface\\" + GuidText(iid);
    std::wstring wideName;
    for (const char* p = name; p && *p; ++p) wideName += static_cast<wchar_t>(*p);
    result = SetKeyValue(key, nullptr, wideName);
    if (SUCCEEDED(result)) result = SetKeyValue(key + L"\\NumMethods", nullptr, std::to_wstring(methods));
    if (SUCCEEDED(result)) result = SetKeyValue(key + L"\\ProxyStubClsid32", nullptr, psClsid);
  });
  return result;
}

HRESULT UnregisterProxies(const std::wstring& path) {
  const std::wstring psClsid = GuidText(CLSID_VornDeviceProxyStub);
  const std::wstring classKey = L"CLSID\\" + psClsid;
  // Another module serves the proxies now: its registration stays.
  const std::wstring server = ReadDefault(classKey + L"\\InprocServer32");
  if (!server.empty() && _wcsicmp(server.c_str(), path.c_str()) != 0) return S_OK;
  HRESULT result = S_OK;
  ForEachProxyInterface([&](const IID& iid, const char*, unsigned long) {
    const std::wstring key = L"Interface\\" + GuidText(iid);
    if (_wcsicmp(ReadDefault(key + L"\\ProxyStubClsid32").c_str(), psClsid.c_str()) != 0) return;
    const HRESULT hr = DeleteTree(key);
    if (SUCCEEDED(result)) result = hr;
  });
  const HRESULT hr = DeleteTree(classKey);
  return FAILED(result) ? result : hr;
}

}  // namespace

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

HRESULT RegisterServer(const ServerRegistration& server, HMODULE module) {
  std::wstring path;
  RETURN_IF_FAILED(ModulePath(module, &path));

  // The type library first: its registration may write interface keys that the proxy
  // registration below then completes.
  ITypeLib* typeLib = nullptr;
  RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &typeLib));
  typeLib->Release();

  const std::wstring clsid = GuidText(server.clsid);
  const std::wstring classKey = L"CLSID\\" + clsid;
  RETURN_IF_FAILED(SetKeyValue(classKey, nullptr, server.description));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\ProgID", nullptr, server.progId));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\VersionIndependentProgID", nullptr, server.currentProgId));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\InprocServer32", nullptr, path));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\InprocServer32", L"ThreadingModel", server.threadingModel));
  RETURN_IF_FAILED(SetKeyValue(classKey + L"\\TypeLib", nullptr, GuidText(server.typeLibId)));

  const std::wstring progId = server.progId;
  RETURN_IF_FAILED(SetKeyValue(progId, nullptr, server.description));
  RETURN_IF_FAILED(SetKeyValue(progId + L"\\CLSID", nullptr, clsid));
  const std::wstring current = server.currentProgId;
  RETURN_IF_FAILED(SetKeyValue(current, nullptr, server.description));
  RETURN_IF_FAILED(SetKeyValue(current + L"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED(SetKeyValue(current + L"\\CurVer", nullptr, progId));

  return RegisterProxies(path);
}

HRESULT UnregisterServer(const ServerRegistration& server, HMODULE module) {
  std::wstring path;
  RETURN_IF_FAILED(ModulePath(module, &path));
  HRESULT result = S_OK;
  const auto keep = [&](HRESULT hr) {
    if (SUCCEEDED(result) && FAILED(hr)) result = hr;
  };
  keep(UnregisterProxies(path));
  keep(DeleteTree(server.progId));
  keep(DeleteTree(server.currentProgId));
  keep(DeleteTree(L"CLSID\\" + GuidText(server.clsid)));
  // A library that is not registered is no failure of ours.
  const HRESULT hr = UnRegisterTypeLib(server.typeLibId, server.typeLibMajor, server.typeLibMinor,
                                       LOCALE_NEUTRAL, ThisSysKind());
  if (hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY) keep(hr);
  return result;
}

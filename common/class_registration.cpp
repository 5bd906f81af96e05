#include "common/class_registration.h"

#include <objbase.h>
#include <oleauto.h>

#include <cwchar>

#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"

std::wstring GuidKeyName(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring LocalServerCommand(const std::wstring& serverPath) { return L"\"" + serverPath + L"\""; }

std::vector<ClassesRootValue> LocalServerValues(const LocalServerClass& c) {
  const std::wstring classKey = L"CLSID\\" + c.clsid;
  return {
      {classKey, nullptr, c.className},
      {classKey, L"AppID", c.appId},
      {classKey + L"\\LocalServer32", nullptr, c.command},
      {classKey + L"\\ProgID", nullptr, c.progId},
      {classKey + L"\\VersionIndependentProgID", nullptr, c.versionIndependentProgId},
      {classKey + L"\\TypeLib", nullptr, c.typeLib},
      {c.progId, nullptr, c.className},
      {c.progId + L"\\CLSID", nullptr, c.clsid},
      {c.versionIndependentProgId, nullptr, c.className},
      {c.versionIndependentProgId + L"\\CLSID", nullptr, c.clsid},
      {c.versionIndependentProgId + L"\\CurVer", nullptr, c.progId},
      {L"AppID\\" + c.appId, nullptr, c.appName},
      {L"AppID\\" + c.exeName, L"AppID", c.appId},
  };
}

std::vector<std::wstring> LocalServerKeys(const LocalServerClass& c) {
  // A key is named only by its own part: with that part empty the path would name the whole
  // CLSID or AppID branch (or HKEY_CLASSES_ROOT itself), and a removal would take all of it.
  std::vector<std::wstring> keys;
  if (!c.clsid.empty()) keys.push_back(L"CLSID\\" + c.clsid);
  if (!c.progId.empty()) keys.push_back(c.progId);
  if (!c.versionIndependentProgId.empty()) keys.push_back(c.versionIndependentProgId);
  if (!c.appId.empty()) keys.push_back(L"AppID\\" + c.appId);
  if (!c.exeName.empty()) keys.push_back(L"AppID\\" + c.exeName);
  return keys;
}

HRESULT SetClassesRootValue(const ClassesRootValue& value) {
  UniqueRegKey key;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, value.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = RegSetValueExW(key.get(), value.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data.c_str()),
                          static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
  return HResultFromWin32(status);
}

HRESULT SetClassesRootValues(const std::vector<ClassesRootValue>& values) {
  for (const ClassesRootValue& value : values) RETURN_IF_FAILED(SetClassesRootValue(value));
  return S_OK;
}

std::wstring ReadClassesRootValue(const std::wstring& key, const wchar_t* name) {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS) {
    return {};
  }
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, text.data(),
                   &bytes) != ERROR_SUCCESS) {
    return {};
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  return text;
}

bool ClassesRootKeyExists(const std::wstring& key) {
  UniqueRegKey handle;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

bool NamesOwner(const std::wstring& value, const std::wstring& owner) {
  const auto unquoted = [](const std::wstring& text) {
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') return text.substr(1, text.size() - 2);
    return text;
  };
  return _wcsicmp(unquoted(value).c_str(), unquoted(owner).c_str()) == 0;
}

HRESULT DeleteClassesRootKey(const std::wstring& key) {
  if (key.empty()) return E_INVALIDARG;  // would name the whole root
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  // RegDeleteTree empties the key; some systems leave the empty key itself behind.
  const LSTATUS gone = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  return gone == ERROR_SUCCESS || gone == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(gone);
}

HRESULT DeleteOwnedKey(const OwnedKey& key, const std::wstring& owner) {
  const std::wstring naming = key.namingSubkey.empty() ? key.key : key.key + L"\\" + key.namingSubkey;
  const std::wstring named = ReadClassesRootValue(naming, key.name);
  if (!named.empty() && !NamesOwner(named, owner)) return S_OK;  // someone else's registration now
  return DeleteClassesRootKey(key.key);
}

namespace {

bool IsEmptyKey(HKEY root, const std::wstring& path) {
  UniqueRegKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
  DWORD subkeys = 0, values = 0;
  if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return subkeys == 0 && values == 0;
}

}  // namespace

HRESULT DeleteKeyAndEmptyParents(HKEY root, const std::wstring& path, int levels) {
  if (path.empty()) return E_INVALIDARG;
  const LSTATUS status = RegDeleteTreeW(root, path.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HResultFromWin32(status);
  RegDeleteKeyW(root, path.c_str());
  std::wstring parent = path;
  for (int i = 0; i < levels; ++i) {
    const size_t slash = parent.rfind(L'\\');
    if (slash == std::wstring::npos || slash == 0) break;
    parent.resize(slash);
    if (!IsEmptyKey(root, parent)) break;
    RegDeleteKeyW(root, parent.c_str());
  }
  return S_OK;
}

HRESULT DeleteLocalServer(const LocalServerClass& c) {
  HRESULT result = S_OK;
  if (!c.clsid.empty()) {
    KeepFirstFailure(result, DeleteOwnedKey({L"CLSID\\" + c.clsid, L"LocalServer32", nullptr}, c.command));
  }
  for (const std::wstring* progId : {&c.progId, &c.versionIndependentProgId}) {
    if (!progId->empty()) KeepFirstFailure(result, DeleteOwnedKey({*progId, L"CLSID", nullptr}, c.clsid));
  }
  if (!c.appId.empty()) KeepFirstFailure(result, DeleteOwnedKey({L"AppID\\" + c.appId, L"", nullptr}, c.appName));
  if (!c.exeName.empty()) {
    KeepFirstFailure(result, DeleteOwnedKey({L"AppID\\" + c.exeName, L"", L"AppID"}, c.appId));
  }
  return result;
}

std::vector<ProxyInterface> ProxyInterfaces(unsigned count, ProxyInterfaceAt at) {
  std::vector<ProxyInterface> interfaces;
  for (unsigned i = 0; i < count; ++i) {
    IID iid{};
    const char* name = nullptr;
    unsigned long methods = 0;
    if (!at(i, &iid, &name, &methods)) continue;
    std::wstring wideName;
    for (const char* p = name; p && *p; ++p) wideName += static_cast<wchar_t>(*p);
    interfaces.push_back({iid, wideName, methods});
  }
  return interfaces;
}

HRESULT RegisterProxyStub(REFCLSID proxyClass, const std::wstring& modulePath,
                          const std::vector<ProxyInterface>& interfaces) {
  const std::wstring clsid = GuidKeyName(proxyClass);
  const std::wstring classKey = L"CLSID\\" + clsid;
  std::vector<ClassesRootValue> values = {
      {classKey, nullptr, L"PSFactoryBuffer"},
      {classKey + L"\\InprocServer32", nullptr, modulePath},
      {classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
  };
  for (const ProxyInterface& itf : interfaces) {
    const std::wstring key = L"Interface\\" + GuidKeyName(itf.iid);
    values.push_back({key, nullptr, itf.name});
    values.push_back({key + L"\\NumMethods", nullptr, std::to_wstring(itf.methods)});
    values.push_back({key + L"\\ProxyStubClsid32", nullptr, clsid});
  }
  return SetClassesRootValues(values);
}

HRESULT UnregisterProxyStub(REFCLSID proxyClass, const std::wstring& modulePath,
                            const std::vector<ProxyInterface>& interfaces) {
  const std::wstring clsid = GuidKeyName(proxyClass);
  const std::wstring classKey = L"CLSID\\" + clsid;
  const std::wstring server = ReadClassesRootValue(classKey + L"\\InprocServer32", nullptr);
  if (!server.empty() && !NamesOwner(server, modulePath)) return S_OK;  // another module serves them
  HRESULT result = S_OK;
  for (const ProxyInterface& itf : interfaces) {
    KeepFirstFailure(result, DeleteOwnedKey({L"Interface\\" + GuidKeyName(itf.iid), L"ProxyStubClsid32", nullptr}, clsid));
  }
  KeepFirstFailure(result, DeleteClassesRootKey(classKey));
  return result;
}

HRESULT AddRegistrant(const std::wstring& key, const std::wstring& registrant) {
  return SetClassesRootValue({key, registrant.c_str(), L""});
}

HRESULT RemoveRegistrant(const std::wstring& key, const std::wstring& registrant) {
  UniqueRegKey handle;
  LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, handle.put());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = RegDeleteValueW(handle.get(), registrant.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HResultFromWin32(status);
  // Named values left are other registrants' marks (the default value is the key's name).
  DWORD values = 0, longestName = 0;
  status = RegQueryInfoKeyW(handle.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                            &longestName, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  for (DWORD i = 0; i < values; ++i) {
    std::wstring name(longestName + 1, L'\0');
    DWORD chars = longestName + 1;
    if (RegEnumValueW(handle.get(), i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        chars > 0) {
      return S_FALSE;
    }
  }
  return S_OK;
}

HRESULT RegisterModuleTypeLib(const std::wstring& path) {
  ITypeLib* library = nullptr;
  RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library));
  std::wstring file = path;  // the call takes a non-const path
  const HRESULT hr = RegisterTypeLib(library, file.data(), nullptr);
  library->Release();
  return hr;
}

HRESULT UnregisterModuleTypeLib(REFGUID libId, WORD major, WORD minor, const std::wstring& modulePath) {
  const std::wstring key = FormatW(L"TypeLib\\%ls\\%x.%x", GuidKeyName(libId).c_str(), major, minor);
  if (!ClassesRootKeyExists(key)) return S_OK;  // nothing of ours to remove
  const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
  // The file this platform's registration names: another copy of the module registered the
  // library since, and it stays theirs.
  const std::wstring file = ReadClassesRootValue(key + (kind == SYS_WIN64 ? L"\\0\\win64" : L"\\0\\win32"), nullptr);
  if (!file.empty() && !NamesOwner(file, modulePath)) return S_OK;
  const HRESULT hr = UnRegisterTypeLib(libId, major, minor, LOCALE_NEUTRAL, kind);
  // Registered for another platform only: not ours to remove.
  return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

HRESULT UnregisterModuleTypeLib(REFGUID libId, WORD major, WORD minor) {
  return UnregisterModuleTypeLib(libId, major, minor, ModulePath::OfModule(ThisModule()).str());
}

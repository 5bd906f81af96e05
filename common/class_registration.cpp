#include "common/class_registration.h"

#include <objbase.h>

#include "common/handles.h"
#include "common/hresult.h"

std::wstring GuidKeyName(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

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

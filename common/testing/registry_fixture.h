// Test support: a registry key of the test's own, deleted with everything under it when the
// object goes, and readers of registered classes. Values are written and read with the plain
// Win32 calls so that tests do not depend on the code they check.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "common/testing/child.h"

namespace testing_support {

class ScratchRegistryKey {
 public:
  // A new key "HKEY_CURRENT_USER\Software\VornTests\<unique>".
  ScratchRegistryKey() : ScratchRegistryKey(HKEY_CURRENT_USER, L"HKEY_CURRENT_USER",
                                            UniqueName(L"Software\\VornTests\\k")) {}
  // A fixed key (for readers whose key is built in); deleted beforehand and afterwards.
  ScratchRegistryKey(HKEY root, const std::wstring& rootName, const std::wstring& subKey)
      : root_(root), subKey_(subKey), path_(rootName + L"\\" + subKey) {
    RegDeleteTreeW(root_, subKey_.c_str());
  }
  ~ScratchRegistryKey() { RegDeleteTreeW(root_, subKey_.c_str()); }
  ScratchRegistryKey(const ScratchRegistryKey&) = delete;
  ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

  // The full path as the readers take it ("HKEY_CURRENT_USER\Software\...").
  const std::wstring& path() const { return path_; }

  // Writes a raw value under the key or under `sub` (created on demand); true on success.
  bool Set(const std::wstring& sub, const wchar_t* name, DWORD type, const void* data, DWORD bytes) const {
    const std::wstring key = sub.empty() ? subKey_ : subKey_ + L"\\" + sub;
    return RegSetKeyValueW(root_, key.c_str(), name, type, data, bytes) == ERROR_SUCCESS;
  }
  bool SetDword(const wchar_t* name, DWORD value, const std::wstring& sub = L"") const {
    return Set(sub, name, REG_DWORD, &value, sizeof(value));
  }
  bool SetString(const wchar_t* name, const std::wstring& value, const std::wstring& sub = L"") const {
    return Set(sub, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

 private:
  HKEY root_;
  std::wstring subKey_;
  std::wstring path_;
};

// "CLSID\{...}", the class's key under HKEY_CLASSES_ROOT.
inline std::wstring ClassKey(REFGUID clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  return std::wstring(L"CLSID\\") + text;
}

inline bool KeyExists(const std::wstring& path, HKEY root = HKEY_CLASSES_ROOT) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A string value (null `name`: the default value); "<none>" when there is none.
inline std::wstring ReadString(const std::wstring& path, const wchar_t* name, HKEY root = HKEY_CLASSES_ROOT) {
  wchar_t value[512] = {};
  DWORD bytes = sizeof(value) - sizeof(wchar_t);
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
    return L"<none>";
  }
  return value;
}

}  // namespace testing_support

// Test support: a registry key of the test's own, deleted with everything under it when the
// object goes. Values are written with the plain Win32 calls so that tests do not depend on
// the readers they check.
#pragma once

#include <windows.h>

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

}  // namespace testing_support

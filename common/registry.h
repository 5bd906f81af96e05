// Registry values addressed by one path string: "HKEY_LOCAL_MACHINE\SOFTWARE\...". The root
// names are the five exact, case-sensitive names of the predefined keys.
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"
#include "common/strings.h"

class RegistryKeyPath {
 public:
  RegistryKeyPath() = default;
  explicit RegistryKeyPath(WideString path) : path_(std::move(path)) {}

  const WideString& path() const noexcept { return path_; }
  // The path of a subkey ("path\name").
  RegistryKeyPath SubKey(const WideString& name) const;

  // The predefined key of a root name, null for a name not in the table.
  static HKEY RootKey(const std::wstring& name);
  // Opens the key (leading separators skipped, split at the first "\"). An unknown root name
  // or a failed open gives no key.
  UniqueRegKey Open(REGSAM access = KEY_READ) const;

  // The DWORD value, or `defaultValue` when the key or value is missing or is not a REG_DWORD.
  DWORD ReadDword(const WideString& name, DWORD defaultValue) const;
  DWORD ReadDwordValue(const wchar_t* name, DWORD defaultValue) const;
  // A REG_SZ value into `out`: its characters up to the first terminator (a value stored
  // without one is kept whole). A missing value, another type or a failed read gives
  // `defaultValue` (empty when null). Returns the resulting length.
  int ReadString(const WideString& name, WideString& out, const wchar_t* defaultValue) const;

  // Writes a REG_DWORD value, creating the key when missing.
  HRESULT WriteDword(const WideString& name, DWORD value) const;

 private:
  // Splits the path into its root key and the subkey path; false for an unknown root.
  bool Split(HKEY* root, std::wstring* subKey) const;

  WideString path_;
};

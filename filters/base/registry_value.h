// Four-byte settings of the filters, read whatever registry type they were stored with: the
// installed machines carry some of them as REG_BINARY, others as REG_DWORD.
#pragma once

#include <windows.h>

#include "common/registry.h"

// The value `name` under `key` when it is exactly four bytes long, else `defaultValue` (key or
// value missing, or another size).
inline DWORD ReadFourByteValue(const RegistryKeyPath& key, const wchar_t* name, DWORD defaultValue) {
  const UniqueRegKey opened = key.Open();
  if (!opened) return defaultValue;
  DWORD value = 0;
  DWORD size = sizeof(value);
  const LSTATUS status = RegQueryValueExW(opened.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  return status == ERROR_SUCCESS && size == sizeof(value) ? value : defaultValue;
}

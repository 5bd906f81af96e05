#include "filters/deinterlace/registry_readers.h"

#include <vector>

#include "common/handles.h"

namespace deinterlace {

namespace {

constexpr REGSAM kKeyRead = 0x20019;  // KEY_READ

LONG OpenForRead(const char* keyPath, UniqueRegKey* key) {
  if (!keyPath) return ERROR_INVALID_PARAMETER;
  return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, kKeyRead, key->put());
}

}  // namespace

LONG ReadRegistryDword(const char* keyPath, const char* valueName, DWORD* value) {
  if (!value) return ERROR_INVALID_PARAMETER;
  UniqueRegKey key;
  LONG result = OpenForRead(keyPath, &key);
  if (result != ERROR_SUCCESS) return result;
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  result = ::RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  if (result != ERROR_SUCCESS) return result;
  // A string "1" read as four bytes would give 49: only a real DWORD counts.
  if (type != REG_DWORD || size != sizeof(data)) return ERROR_FILE_NOT_FOUND;
  *value = data;
  return ERROR_SUCCESS;
}

LONG ReadRegistryString(const char* keyPath, const char* valueName, char* buffer, DWORD* size) {
  if (!buffer || !size || *size == 0) return ERROR_INVALID_PARAMETER;
  UniqueRegKey key;
  LONG result = OpenForRead(keyPath, &key);
  if (result != ERROR_SUCCESS) return result;
  DWORD type = 0;
  DWORD needed = 0;
  result = ::RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &needed);
  if (result != ERROR_SUCCESS) return result;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
  // Read the whole value (it may have grown since the size query), then truncate into the
  // caller's buffer with a terminator.
  std::vector<char> data;
  for (int attempt = 0; attempt < 4; ++attempt) {
    data.assign(needed + 1, '\0');
    DWORD got = needed;
    result = ::RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
    if (result == ERROR_MORE_DATA) {
      needed = got;
      continue;
    }
    if (result != ERROR_SUCCESS) return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
    DWORD length = 0;
    while (length < got && data[length] != '\0') ++length;
    if (length > *size - 1) {
      // Too long for the caller's buffer: the size it needs, nothing written.
      *size = length + 1;
      return ERROR_MORE_DATA;
    }
    for (DWORD i = 0; i < length; ++i) buffer[i] = data[i];
    buffer[length] = '\0';
    *size = length + 1;
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

}  // namespace deinterlace

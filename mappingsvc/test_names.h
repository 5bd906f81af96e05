// Helpers shared by the mapping service's tests: BSTR ownership, the callers' side of the name
// scrambling contract, and a probe for a section name.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "common/handles.h"

namespace mappingsvc_test {

class Bstr {
 public:
  explicit Bstr(const std::wstring& s)
      : value_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator BSTR() const { return value_; }

 private:
  BSTR value_;
};

// Scrambles a name as the service's callers do, written out independently of the service.
inline std::wstring Scramble(std::wstring plain) {
  static const wchar_t key[] = L"Qm7#tR2pL9zW!eK4sB8nH0xD6cV1fJ3gY5a";
  static_assert(sizeof(key) / sizeof(key[0]) == 36);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<wchar_t>(plain[i] ^ key[i % 35]);
  return plain;
}

// True when a section of that name exists (someone holds it).
inline bool NameExists(const std::wstring& name) {
  UniqueHandle h(OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
  return h.valid();
}

}  // namespace mappingsvc_test

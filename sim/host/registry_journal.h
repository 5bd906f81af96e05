// Registry values written for a test run, with what they replaced. Restore puts every changed
// value back as it was, deletes the values that did not exist before and the keys that were
// created (the topmost created key with all below it).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/registry.h"

namespace sim_host {

class RegistryJournal {
 public:
  RegistryJournal() = default;
  RegistryJournal(const RegistryJournal&) = delete;
  RegistryJournal& operator=(const RegistryJournal&) = delete;
  ~RegistryJournal() { Restore(); }

  // Writes a value under `key` ("HKEY_LOCAL_MACHINE\..."), creating missing keys; the first
  // change of a value or key is remembered.
  HRESULT SetValue(const RegistryKeyPath& key, const wchar_t* name, DWORD type, const void* data, DWORD bytes);
  HRESULT SetDword(const RegistryKeyPath& key, const wchar_t* name, DWORD value);
  HRESULT SetString(const RegistryKeyPath& key, const wchar_t* name, const std::wstring& value);

  // Undoes every change, last first, and forgets them: S_OK or the first failure.
  HRESULT Restore() noexcept;
  bool empty() const noexcept { return changes_.empty(); }

 private:
  struct Change {
    HKEY root;
    std::wstring subKey;
    bool createdKey;    // subKey did not exist: its tree goes
    std::wstring name;  // else: the value, and what it held
    bool existed;
    DWORD type;
    std::vector<BYTE> data;  // `size` bytes and a guard
    DWORD size;
  };
  // Records the state before a write to root\subKey\name, unless already recorded.
  HRESULT Remember(HKEY root, const std::wstring& subKey, const std::wstring& name);

  std::vector<Change> changes_;
};

}  // namespace sim_host

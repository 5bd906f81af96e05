// Test fixture: a throw-away key under HKEY_LOCAL_MACHINE for the registry readers and loads.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/testing/child.h"

namespace deinterlace::testing {

class TestRegistryKey {
 public:
  TestRegistryKey() {
    const std::wstring unique = testing_support::UniqueName(L"DeinterlaceTest");
    path_ = "Software\\Zarn Corporation\\";
    for (wchar_t c : unique) path_ += static_cast<char>(c);
    HKEY key = nullptr;
    EXPECT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr),
              ERROR_SUCCESS);
    key_ = key;
  }
  ~TestRegistryKey() {
    if (key_) ::RegCloseKey(key_);
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
  }
  TestRegistryKey(const TestRegistryKey&) = delete;
  TestRegistryKey& operator=(const TestRegistryKey&) = delete;

  const std::string& path() const { return path_; }
  std::string pathWithSlash() const { return path_ + "\\"; }

  void SetDword(const char* name, DWORD value) {
    ASSERT_EQ(::RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
  }
  // `bytes` exactly as stored (no terminator added).
  void SetRaw(const char* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(::RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

}  // namespace deinterlace::testing

#include "common/registry.h"

#include <gtest/gtest.h>

#include "common/testing/registry_fixture.h"

using testing_support::ScratchRegistryKey;

TEST(RegistryKeyPathOpen, RootNamesAreExactAndSeparatorsSkipped) {
  ScratchRegistryKey key;
  ASSERT_TRUE(key.SetDword(L"v", 5));
  EXPECT_EQ(RegistryKeyPath(key.path()).ReadDword(L"v", 0), 5u);
  EXPECT_EQ(RegistryKeyPath(L"\\\\" + key.path()).ReadDword(L"v", 0), 5u);  // leading separators
  EXPECT_EQ(RegistryKeyPath(L"HKEY_CURRENT_USER").ReadDword(L"none", 9), 9u);
  EXPECT_TRUE(RegistryKeyPath(L"HKEY_CURRENT_USER").Open());  // the root itself

  std::wstring lower = key.path();
  lower.replace(0, 17, L"hkey_current_user");
  EXPECT_EQ(RegistryKeyPath(lower).ReadDword(L"v", 7), 7u);  // case-sensitive root names
  EXPECT_EQ(RegistryKeyPath(L"HKCU\\Software").ReadDword(L"v", 7), 7u);
  EXPECT_FALSE(RegistryKeyPath(L"").Open());
  EXPECT_FALSE(RegistryKeyPath(key.path() + L"\\missing").Open());
  EXPECT_EQ(RegistryKeyPath::RootKey(L"HKEY_LOCAL_MACHINE"), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegistryKeyPath::RootKey(L"HKEY_CLASSES_ROOT"), HKEY_CLASSES_ROOT);
  EXPECT_EQ(RegistryKeyPath::RootKey(L"HKEY_CURRENT_CONFIG"), HKEY_CURRENT_CONFIG);
  EXPECT_EQ(RegistryKeyPath::RootKey(L"HKEY_USERS"), HKEY_USERS);
}

TEST(RegistryKeyPathDword, OnlyADwordValueCounts) {
  ScratchRegistryKey key;
  ASSERT_TRUE(key.SetString(L"text", L"12"));
  const unsigned long long wide = 0x1122334455667788ull;
  ASSERT_TRUE(key.Set(L"", L"qword", REG_QWORD, &wide, sizeof(wide)));
  const BYTE two[2] = {1, 2};
  ASSERT_TRUE(key.Set(L"", L"short", REG_DWORD, two, sizeof(two)));
  const RegistryKeyPath path(key.path());
  EXPECT_EQ(path.ReadDword(L"text", 3), 3u);
  EXPECT_EQ(path.ReadDword(L"qword", 3), 3u);
  EXPECT_EQ(path.ReadDwordValue(L"short", 3), 3u);
  EXPECT_EQ(path.ReadDwordValue(L"missing", 3), 3u);
  EXPECT_EQ(RegistryKeyPath(key.path() + L"\\nokey").ReadDword(L"text", 4), 4u);

  EXPECT_EQ(path.WriteDword(L"written", 0xDEADBEEF), S_OK);
  EXPECT_EQ(path.ReadDword(L"written", 0), 0xDEADBEEFu);
  EXPECT_EQ(path.SubKey(L"new\\deeper").WriteDword(L"x", 1), S_OK);  // creates the key
  EXPECT_EQ(path.SubKey(L"new\\deeper").ReadDword(L"x", 0), 1u);
  EXPECT_TRUE(FAILED(RegistryKeyPath(L"NOROOT\\x").WriteDword(L"x", 1)));
}

TEST(RegistryKeyPathString, LengthComesFromTheData) {
  ScratchRegistryKey key;
  const RegistryKeyPath path(key.path());
  WideString out;

  ASSERT_TRUE(key.SetString(L"plain", L"hello"));
  EXPECT_EQ(path.ReadString(L"plain", out, L"def"), 5);
  EXPECT_EQ(out.str(), L"hello");

  // Stored without a terminator: every character is kept.
  ASSERT_TRUE(key.Set(L"", L"unterminated", REG_SZ, L"abc", 3 * sizeof(wchar_t)));
  EXPECT_EQ(path.ReadString(L"unterminated", out, L"def"), 3);
  EXPECT_EQ(out.str(), L"abc");

  // Empty (0 bytes) and odd (1 byte) values give an empty string, never a negative length.
  ASSERT_TRUE(key.Set(L"", L"empty", REG_SZ, nullptr, 0));
  EXPECT_EQ(path.ReadString(L"empty", out, L"def"), 0);
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(key.Set(L"", L"odd", REG_SZ, "x", 1));
  EXPECT_EQ(path.ReadString(L"odd", out, L"def"), 0);
  EXPECT_TRUE(out.empty());

  // Several terminators stored: the text ends at the first.
  ASSERT_TRUE(key.Set(L"", L"padded", REG_SZ, L"ab\0\0\0", 5 * sizeof(wchar_t)));
  EXPECT_EQ(path.ReadString(L"padded", out, L"def"), 2);
  EXPECT_EQ(wcslen(out.c_str()), out.length());

  // Other types and missing values give the default (empty for null).
  const std::wstring expand = L"%TEMP%\\x";
  ASSERT_TRUE(key.Set(L"", L"expand", REG_EXPAND_SZ, expand.c_str(),
                      static_cast<DWORD>((expand.size() + 1) * sizeof(wchar_t))));
  EXPECT_EQ(path.ReadString(L"expand", out, L"def"), 3);
  EXPECT_EQ(out.str(), L"def");
  ASSERT_TRUE(key.SetDword(L"number", 1));
  EXPECT_EQ(path.ReadString(L"number", out, nullptr), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(path.ReadString(L"missing", out, L"fallback"), 8);
  EXPECT_EQ(out.str(), L"fallback");

  // Long values are read whole.
  const std::wstring big(20000, L'q');
  ASSERT_TRUE(key.SetString(L"big", big));
  EXPECT_EQ(path.ReadString(L"big", out, L""), 20000);
  EXPECT_EQ(out.str(), big);
}

#include "common/class_registration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

LocalServerClass FullClass() {
  return {L"{11111111-2222-3333-4444-555555555555}", L"Demo Class", L"{66666666-7777-8888-9999-AAAAAAAAAAAA}",
          L"Demo App", L"demo.exe", L"\"C:\\dir\\demo.exe\"", L"DemoLib.Demo.1", L"DemoLib.Demo",
          L"{BBBBBBBB-CCCC-DDDD-EEEE-FFFFFFFFFFFF}"};
}

// A removal deletes each key with its subkeys: none may name a whole branch or the root.
bool NamesABranch(const std::wstring& key) {
  return key.empty() || key == L"CLSID\\" || key == L"AppID\\" || key == L"CLSID" || key == L"AppID";
}

}  // namespace

TEST(LocalServerKeys, ListsTheClassProgIdsAndAppIdsInRemovalOrder) {
  const std::vector<std::wstring> expected = {
      L"CLSID\\{11111111-2222-3333-4444-555555555555}", L"DemoLib.Demo.1", L"DemoLib.Demo",
      L"AppID\\{66666666-7777-8888-9999-AAAAAAAAAAAA}", L"AppID\\demo.exe"};
  EXPECT_EQ(LocalServerKeys(FullClass()), expected);
}

TEST(LocalServerKeys, AnEmptyNameNeverTurnsIntoAWholeBranch) {
  // A server path ending in a separator gives an empty program name, a failed path read gives
  // empty everything: removing the listed keys must not take the AppID branch or the root.
  LocalServerClass noExe = FullClass();
  noExe.exeName.clear();
  const std::vector<std::wstring> keys = LocalServerKeys(noExe);
  EXPECT_EQ(keys.size(), 4u);
  for (const std::wstring& key : keys) EXPECT_FALSE(NamesABranch(key)) << "key: " << std::string(key.begin(), key.end());

  for (const std::wstring& key : LocalServerKeys(LocalServerClass{})) {
    ADD_FAILURE() << "an empty class lists a key: " << std::string(key.begin(), key.end());
  }
}

TEST(LocalServerValues, WritesEveryValueUnderTheClassProgIdAndAppIdKeys) {
  const std::vector<ClassesRootValue> values = LocalServerValues(FullClass());
  ASSERT_EQ(values.size(), 13u);
  EXPECT_EQ(values[2].key, L"CLSID\\{11111111-2222-3333-4444-555555555555}\\LocalServer32");
  EXPECT_EQ(values[2].name, nullptr);
  EXPECT_EQ(values[2].data, L"\"C:\\dir\\demo.exe\"");
  EXPECT_EQ(values[10].key, L"DemoLib.Demo\\CurVer");
  EXPECT_EQ(values[10].data, L"DemoLib.Demo.1");
  EXPECT_EQ(values[12].key, L"AppID\\demo.exe");
  EXPECT_STREQ(values[12].name, L"AppID");
  EXPECT_EQ(values[12].data, L"{66666666-7777-8888-9999-AAAAAAAAAAAA}");
}

TEST(GuidKeyName, IsTheBracedUpperCaseForm) {
  const GUID guid = {0x0a1b2c3d, 0x4e5f, 0x6071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};
  EXPECT_EQ(GuidKeyName(guid), L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
}

#include "common/class_registration.h"

#include <gtest/gtest.h>

#include "common/testing/child.h"

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

// --- The writer and remover, on keys of the test's own -------------------------------------

namespace {

std::wstring OwnKey(const wchar_t* tag) { return testing_support::UniqueName(std::wstring(L"VornRegTest.") + tag); }

}  // namespace

TEST(NamesOwner, IgnoresCaseAndTheQuotesOfACommand) {
  EXPECT_TRUE(NamesOwner(L"\"C:\\Dir\\Server.exe\"", L"c:\\dir\\server.EXE"));
  EXPECT_TRUE(NamesOwner(L"C:\\dir\\a.dll", L"\"C:\\dir\\a.dll\""));
  EXPECT_FALSE(NamesOwner(L"C:\\dir\\a.dll", L"C:\\other\\a.dll"));
  EXPECT_FALSE(NamesOwner(L"", L"C:\\dir\\a.dll"));
}

TEST(DeleteOwnedKey, RemovesOnlyWhatNamesTheOwnerOrNobody) {
  const std::wstring mine = L"C:\\dir\\mine.dll", theirs = L"C:\\dir\\theirs.dll";
  const struct {
    const wchar_t* server;  // InprocServer32 (null: none)
    bool removed;
  } cases[] = {{mine.c_str(), true}, {L"C:\\DIR\\MINE.DLL", true}, {theirs.c_str(), false}, {nullptr, true}, {L"", true}};
  for (const auto& c : cases) {
    const std::wstring key = OwnKey(L"owned");
    ASSERT_EQ(SetClassesRootValue({key, nullptr, L"class"}), S_OK);
    if (c.server) {
      ASSERT_EQ(SetClassesRootValue({key + L"\\InprocServer32", nullptr, c.server}), S_OK);
    }
    EXPECT_EQ(DeleteOwnedKey({key, L"InprocServer32", nullptr}, mine), S_OK);
    EXPECT_EQ(ClassesRootKeyExists(key), !c.removed) << (c.server ? std::string(c.server, c.server + wcslen(c.server)) : "none");
    EXPECT_EQ(DeleteClassesRootKey(key), S_OK);
    EXPECT_FALSE(ClassesRootKeyExists(key));
  }
  EXPECT_EQ(DeleteOwnedKey({OwnKey(L"missing"), L"InprocServer32", nullptr}, mine), S_OK);
}

TEST(Registrants, TheRegistrationGoesWithTheLastMark) {
  const std::wstring key = OwnKey(L"shared");
  ASSERT_EQ(SetClassesRootValue({key, nullptr, L"PSFactoryBuffer"}), S_OK);
  ASSERT_EQ(AddRegistrant(key, L"C:\\dir\\server.exe"), S_OK);
  ASSERT_EQ(AddRegistrant(key, L"C:\\dir\\proxy.dll"), S_OK);
  ASSERT_EQ(AddRegistrant(key, L"C:\\dir\\proxy.dll"), S_OK);  // once per registrant
  EXPECT_EQ(RemoveRegistrant(key, L"C:\\dir\\proxy.dll"), S_FALSE);
  EXPECT_EQ(RemoveRegistrant(key, L"C:\\dir\\proxy.dll"), S_FALSE);
  EXPECT_EQ(RemoveRegistrant(key, L"C:\\dir\\server.exe"), S_OK);
  EXPECT_EQ(RemoveRegistrant(OwnKey(L"none"), L"C:\\dir\\server.exe"), S_OK);
  EXPECT_EQ(DeleteClassesRootKey(key), S_OK);
}

TEST(DeleteKeyAndEmptyParents, StopsAtAParentThatHoldsAnything) {
  const std::wstring top = OwnKey(L"category");
  ASSERT_EQ(SetClassesRootValue({top + L"\\Instance\\mine", L"FriendlyName", L"mine"}), S_OK);
  ASSERT_EQ(SetClassesRootValue({top + L"\\Instance\\other", L"FriendlyName", L"other"}), S_OK);
  EXPECT_EQ(DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, top + L"\\Instance\\mine", 2), S_OK);
  EXPECT_FALSE(ClassesRootKeyExists(top + L"\\Instance\\mine"));
  EXPECT_TRUE(ClassesRootKeyExists(top + L"\\Instance\\other"));
  EXPECT_EQ(DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, top + L"\\Instance\\other", 2), S_OK);
  EXPECT_FALSE(ClassesRootKeyExists(top + L"\\Instance"));
  EXPECT_FALSE(ClassesRootKeyExists(top));
  // A parent with a value of its own stays.
  ASSERT_EQ(SetClassesRootValue({top, nullptr, L"named"}), S_OK);
  ASSERT_EQ(SetClassesRootValue({top + L"\\Instance\\mine", L"FriendlyName", L"mine"}), S_OK);
  EXPECT_EQ(DeleteKeyAndEmptyParents(HKEY_CLASSES_ROOT, top + L"\\Instance\\mine", 2), S_OK);
  EXPECT_FALSE(ClassesRootKeyExists(top + L"\\Instance"));
  EXPECT_TRUE(ClassesRootKeyExists(top));
  EXPECT_EQ(DeleteClassesRootKey(top), S_OK);
}

TEST(UnregisterModuleTypeLib, ALibraryThatIsNotRegisteredIsNoFailure) {
  const GUID unknown = {0x5c1a0042, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x42}};
  EXPECT_EQ(UnregisterModuleTypeLib(unknown, 1, 0), S_OK);
}

// The registrar's removal rules, with this test program standing in for the module: a clean
// state unregisters without a failure, and keys that name another module stay.
#include "devices/core/registrar.h"

#include <gtest/gtest.h>

#include <string>

#include "common/class_registration.h"

namespace {

// A class of the test's own: {5C1A0040-7E2B-4D3A-9F10-3B6C0D5E7A40}, its library
// {5C1A0041-...}.
const ServerRegistration kServer = {
    {0x5c1a0040, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x40}},
    L"Registrar test class",
    L"VornRegistrarTest.Class.1",
    L"VornRegistrarTest.Class",
    L"Both",
    {0x5c1a0041, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x41}},
    1,
    0};

TEST(Registrar, UnregisteringACleanStateSucceeds) {
  EXPECT_EQ(UnregisterServer(kServer, nullptr), S_OK);
  EXPECT_EQ(UnregisterServer(kServer, nullptr), S_OK);
}

TEST(Registrar, KeysOfAnotherModuleStay) {
  const std::wstring classKey = L"CLSID\\" + GuidKeyName(kServer.clsid);
  const std::wstring other = L"C:\\elsewhere\\tamDevice.dll";
  ASSERT_EQ(SetClassesRootValues({{classKey + L"\\InprocServer32", nullptr, other},
                                  {kServer.progId, nullptr, kServer.description},
                                  {std::wstring(kServer.progId) + L"\\CLSID", nullptr, L"{00000000-0000-0000-0000-000000000001}"}}),
            S_OK);
  EXPECT_EQ(UnregisterServer(kServer, nullptr), S_OK);
  EXPECT_EQ(ReadClassesRootValue(classKey + L"\\InprocServer32", nullptr), other);
  EXPECT_TRUE(ClassesRootKeyExists(kServer.progId)) << "a ProgID that names another class";
  EXPECT_EQ(DeleteClassesRootKey(classKey), S_OK);
  EXPECT_EQ(DeleteClassesRootKey(kServer.progId), S_OK);
  EXPECT_FALSE(ClassesRootKeyExists(classKey));
}

}  // namespace

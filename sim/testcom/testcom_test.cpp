// The module harness end to end: a real PE module with .def exports, registered and created
// through COM under Wine.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"

extern "C" const CLSID CLSID_VornTestObject;
const CLSID CLSID_VornTestObject = {0x6e0c1a3b, 0x3c55, 0x4f7b, {0x9d, 0x2a, 0x0b, 0x7e, 0x5d, 0x3c, 0x9a, 0x11}};

using testing_support::BinPath;

TEST(TestComModule, ExportsTheEntryPointsByPlainName) {
  HMODULE m = LoadLibraryW(BinPath(L"vorn_testcom.dll").c_str());
  ASSERT_NE(m, nullptr) << GetLastError();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(GetProcAddress(m, name), nullptr) << name;
  FreeLibrary(m);
}

TEST(TestComModule, RegistersAndCreatesThroughCom) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  HMODULE m = LoadLibraryW(BinPath(L"vorn_testcom.dll").c_str());
  ASSERT_NE(m, nullptr);
  auto reg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(m, "DllRegisterServer");
  auto unreg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(m, "DllUnregisterServer");
  ASSERT_EQ(reg(), S_OK);
  IPersist* p = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_VornTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                             reinterpret_cast<void**>(&p)), S_OK);
  CLSID got{};
  EXPECT_EQ(p->GetClassID(&got), S_OK);
  EXPECT_TRUE(IsEqualCLSID(got, CLSID_VornTestObject));
  EXPECT_EQ(p->Release(), 0u);
  EXPECT_EQ(unreg(), S_OK);
  EXPECT_EQ(CoCreateInstance(CLSID_VornTestObject, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist,
                             reinterpret_cast<void**>(&p)), REGDB_E_CLASSNOTREG);
  FreeLibrary(m);
  CoUninitialize();
}

// A crash anywhere in a test program fails it: Wine may end such a process with status 0.
DWORD WINAPI ReadNowhere(void*) {
  volatile int* nowhere = nullptr;
  return static_cast<DWORD>(*nowhere);
}

VORN_CHILD(CrashesOnAThread) {
  if (args.empty() || args[0] != L"worker") return static_cast<int>(ReadNowhere(nullptr));
  UniqueHandle thread(CreateThread(nullptr, 0, &ReadNowhere, nullptr, 0, nullptr));
  WaitForSingleObject(thread.get(), INFINITE);
  return 0;
}

TEST(TestHarness, AProgramThatCrashesEndsWithAFailureStatus) {
  for (const wchar_t* where : {L"main", L"worker"}) {
    testing_support::ChildProcess child = testing_support::ChildProcess::Start("CrashesOnAThread", {where});
    ASSERT_TRUE(child.valid());
    const DWORD status = child.Wait();
    EXPECT_NE(status, 0u) << where;
    EXPECT_NE(status, static_cast<DWORD>(STILL_ACTIVE)) << where;
  }
}

#include "common/shared_memory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/testing/child.h"

using testing_support::RunChild;
using testing_support::UniqueName;

// Maps the section, checks it was not created and the parent's bytes are there, writes back.
VORN_CHILD(SharedMemoryPeer) {
  SharedMemory mem;
  BOOL created = TRUE;
  if (FAILED(mem.Create(args.at(0).c_str(), 0, 4096, &created))) return 2;
  if (created) return 3;
  if (std::strcmp(mem.As<char>(), "from parent") != 0) return 4;
  std::strcpy(mem.As<char>() + 100, "from child");
  return 0;
}

TEST(SharedMemory, SecondCreatorSeesTheFirstOnesBytesAcrossProcesses) {
  const std::wstring name = UniqueName(L"Global\\vorn_mem_");
  SharedMemory mem;
  BOOL created = FALSE;
  ASSERT_EQ(mem.Create(name.c_str(), 0, 4096, &created), S_OK);
  EXPECT_TRUE(created);
  std::strcpy(mem.As<char>(), "from parent");
  ASSERT_EQ(RunChild("SharedMemoryPeer", {name}), 0u);
  EXPECT_STREQ(mem.As<char>() + 100, "from child");

  SharedMemory again;
  ASSERT_EQ(again.Create(name.c_str(), 0, 4096), S_OK);  // created flag may be null
  EXPECT_STREQ(again.As<char>(), "from parent");
}

TEST(SharedMemory, RecreatingClosesThePreviousMapping) {
  SharedMemory mem;
  const std::wstring first = UniqueName(L"Global\\vorn_mem1_"), second = UniqueName(L"Global\\vorn_mem2_");
  ASSERT_EQ(mem.Create(first.c_str(), 0, 64), S_OK);
  ASSERT_EQ(mem.Create(second.c_str(), 0, 64), S_OK);
  // The first section is gone: nobody holds it any more.
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, first.c_str()), nullptr);
  mem.Close();
  EXPECT_EQ(mem.view(), nullptr);
  EXPECT_EQ(mem.handle(), nullptr);
}

TEST(SharedMemory, FailureHoldsNothing) {
  SharedMemory mem;
  // A mutex of the same name makes the section name unusable.
  const std::wstring name = UniqueName(L"Global\\vorn_clash_");
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  const HRESULT hr = mem.Create(name.c_str(), 0, 64);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(HRESULT_FACILITY(hr), FACILITY_WIN32);
  EXPECT_EQ(mem.view(), nullptr);
  EXPECT_EQ(mem.handle(), nullptr);
  CloseHandle(mutex);
}

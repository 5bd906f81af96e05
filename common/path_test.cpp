#include "common/path.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"

using testing_support::BinPath;

TEST(PathStringCombine, FollowsTheFourRules) {
  auto combine = [](const wchar_t* a, const wchar_t* b) { return PathString::Combine(a, b).str(); };
  EXPECT_EQ(combine(L"", L"part"), L"part");
  EXPECT_EQ(combine(L"base", L""), L"base");
  EXPECT_EQ(combine(L"", L""), L"");
  EXPECT_EQ(combine(L"C:", L"dir"), L"C:dir");
  EXPECT_EQ(combine(L"file", L".ini"), L"file.ini");
  EXPECT_EQ(combine(L"a\\", L"\\b"), L"a\\b");
  EXPECT_EQ(combine(L"a\\", L"b"), L"a\\b");
  EXPECT_EQ(combine(L"a", L"\\b"), L"a\\b");
  EXPECT_EQ(combine(L"a", L"b"), L"a\\b");
}

TEST(PathStringParts, SplitLikeTheRuntime) {
  const PathString path(L"C:\\dir\\sub\\name.part.ext");
  EXPECT_EQ(path.GetDrive().str(), L"C:");
  EXPECT_EQ(path.GetDirectory().str(), L"\\dir\\sub\\");
  EXPECT_EQ(path.GetFileName().str(), L"name.part");
  EXPECT_EQ(path.GetExtension().str(), L".ext");
  EXPECT_EQ(path.GetFileNameWithExtension().str(), L"name.part.ext");
  EXPECT_EQ(path.WithExtension(L".ini").str(), L"C:\\dir\\sub\\name.part.ini");

  const PathString bare(L"tool");
  EXPECT_EQ(bare.GetDrive().str(), L"");
  EXPECT_EQ(bare.GetExtension().str(), L"");
  EXPECT_EQ(bare.GetFileNameWithExtension().str(), L"tool");
  EXPECT_EQ(PathString().GetFileName().str(), L"");

  // Parts longer than the classic fixed limits are split whole.
  const std::wstring longDir(600, L'd');
  const PathString deep(L"Z:\\" + longDir + L"\\file.txt");
  EXPECT_EQ(deep.GetDirectory().str(), L"\\" + longDir + L"\\");
  EXPECT_EQ(deep.GetFileNameWithExtension().str(), L"file.txt");
}

TEST(ModulePathOf, ADllModuleDiffersFromTheProcessImage) {
  const std::wstring dllPath = BinPath(L"vorn_trace_probe.dll");
  UniqueModule probe(LoadLibraryW(dllPath.c_str()));
  ASSERT_TRUE(probe);
  auto own = GetProcAs<DWORD(WINAPI*)(wchar_t*, DWORD)>(probe.get(), "TraceProbeModulePath");
  ASSERT_NE(own, nullptr);
  wchar_t fromInside[1024] = {};
  ASSERT_GT(own(fromInside, 1024), 0u);

  const PathString dll = ModulePath::OfModule(probe.get());
  EXPECT_EQ(dll.str(), fromInside);
  EXPECT_EQ(_wcsicmp(dll.GetFileNameWithExtension().c_str(), L"vorn_trace_probe.dll"), 0);

  const PathString process = ModulePath::OfProcess();
  wchar_t image[1024] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, image, 1024), 0u);
  EXPECT_EQ(process.str(), image);
  EXPECT_EQ(ModulePath::OfModule(nullptr).str(), image);
  EXPECT_EQ(ModulePath::OfModule(ThisModule()).str(), image);  // code linked into the program
  EXPECT_NE(process.str(), dll.str());
}

TEST(ModulePathOf, AnUnknownModuleGivesAnEmptyPathAtOnce) {
  // Not a module: the call fails, and the reader stops instead of growing its buffer forever.
  EXPECT_TRUE(ModulePath::OfModule(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10))).empty());
}

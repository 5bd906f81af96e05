#include "sim/driver/import_patch.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"

namespace {

using CloseFn = BOOL (*)(HANDLE);

volatile LONG g_closes = 0;
BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  InterlockedIncrement(&g_closes);
  return ::CloseHandle(handle);
}

TEST(ImportPatchTest, RewritesTheNamedImportOfALoadedModuleAndPutsItBack) {
  UniqueModule probe(LoadLibraryW(testing_support::BinPath(L"driverprobe.dll").c_str()));
  ASSERT_TRUE(probe);
  auto close = GetProcAs<CloseFn>(probe.get(), "Probe_CloseHandle");
  ASSERT_NE(nullptr, close);

  const ImportHook hooks[] = {{"CloseHandle", reinterpret_cast<void*>(&CountingCloseHandle)},
                              {"NoSuchImport", reinterpret_cast<void*>(&CountingCloseHandle)}};
  std::vector<PatchedImport> patched;
  ASSERT_EQ(S_OK, PatchImports(probe.get(), hooks, 2, &patched));
  ASSERT_EQ(1u, patched.size());
  EXPECT_EQ(reinterpret_cast<void*>(&CountingCloseHandle), *patched[0].slot);

  EXPECT_TRUE(close(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  EXPECT_EQ(1, g_closes);
  // Patching again changes nothing (the entry already points at the hook).
  std::vector<PatchedImport> again;
  ASSERT_EQ(S_OK, PatchImports(probe.get(), hooks, 2, &again));
  EXPECT_TRUE(again.empty());

  ASSERT_EQ(S_OK, RestoreImports(patched));
  EXPECT_TRUE(close(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  EXPECT_EQ(1, g_closes);
  // This program's own entry was never touched.
  EXPECT_TRUE(CloseHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  EXPECT_EQ(1, g_closes);
}

TEST(ImportPatchTest, RefusesWhatIsNotAModule) {
  std::vector<PatchedImport> patched;
  const ImportHook hook{"CloseHandle", reinterpret_cast<void*>(&CountingCloseHandle)};
  EXPECT_EQ(E_INVALIDARG, PatchImports(nullptr, &hook, 1, &patched));
  static char notAnImage[4096] = {};
  EXPECT_EQ(E_INVALIDARG, PatchImports(reinterpret_cast<HMODULE>(notAnImage), &hook, 1, &patched));
  EXPECT_TRUE(patched.empty());
}

}  // namespace

// Entry of every test program: a registered child when started with --child, GoogleTest
// otherwise.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/handles.h"
#include "common/testing/child.h"

namespace {

// Tells the harness (tools/winerun) that the program got going: a program that fails before
// this point did not start, which the harness reports as such.
void MarkStarted() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"VORN_START_MARKER", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  UniqueFileHandle marker(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  int exitCode = 0;
  if (testing_support::DispatchChild(&exitCode)) return exitCode;
  MarkStarted();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// Entry of every test program: a registered child when started with --child, GoogleTest
// otherwise.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>

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

// Adds a word to the harness's marker file. Safe to call from the exception filter: no heap.
void AppendMark(const char* word) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"VORN_START_MARKER", path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  UniqueFileHandle marker(CreateFileW(path, FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!marker.valid()) return;
  DWORD written = 0;
  WriteFile(marker.get(), word, static_cast<DWORD>(std::strlen(word)), &written, nullptr);
}

// Tells the harness that the tests ran to the end and with what result: a program that leaves
// without this mark (a crash Wine turns into exit status 0, an exit() from a test) has not
// passed. The result lets the harness judge a program whose loader Wine's server killed after
// the process had ended (see tools/winerun).
void MarkFinished(int result) { AppendMark(result == 0 ? "finished 0\n" : "finished 1\n"); }

// An exception no code handles ends the program with a failure status on any thread; without
// this Wine can end such a process with status 0.
constexpr UINT kUnhandledExceptionExit = 0xE0;

LONG WINAPI EndOnUnhandledException(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
  std::fprintf(stderr, "unhandled exception 0x%08lx at %p in thread %lu\n",
               record ? static_cast<unsigned long>(record->ExceptionCode) : 0ul,
               record ? record->ExceptionAddress : nullptr, static_cast<unsigned long>(GetCurrentThreadId()));
  std::fflush(stderr);
  AppendMark("fault\n");
  TerminateProcess(GetCurrentProcess(), kUnhandledExceptionExit);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(&EndOnUnhandledException);
  int exitCode = 0;
  if (testing_support::DispatchChild(&exitCode)) return exitCode;
  MarkStarted();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  MarkFinished(result);
  return result;
}

// Test support: a test program can start itself as a child process ("--child <name> args...")
// to exercise cross-process behaviour. Children are registered with VORN_CHILD and must be
// short-lived: a child holds ctest's output pipe until it exits.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"

namespace testing_support {

using ChildArgs = std::vector<std::wstring>;
using ChildMain = int (*)(const ChildArgs& args);

struct ChildRegistrar {
  ChildRegistrar(const char* name, ChildMain main);
};

// Runs a registered child when the command line asks for one; returns true and the exit code.
bool DispatchChild(int* exitCode);

class ChildProcess {
 public:
  // Starts this test program as the named child and waits (bounded) until it runs its code; one
  // that ends before (its start-up failed) is started once more.
  static ChildProcess Start(const char* name, const ChildArgs& args = {});
  ChildProcess() = default;

  bool valid() const { return process_.valid(); }
  HANDLE handle() const { return process_.get(); }
  DWORD pid() const { return pid_; }
  // The exit code, or STILL_ACTIVE when the child did not end within the time-out (it is then
  // terminated, so that no child outlives its test).
  DWORD Wait(DWORD timeoutMs = 30000);

  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&&) = default;
  ~ChildProcess();

 private:
  UniqueHandle process_;
  DWORD pid_ = 0;
};

// Starts the named child and waits for its exit code (STILL_ACTIVE on time-out).
DWORD RunChild(const char* name, const ChildArgs& args = {}, DWORD timeoutMs = 30000);

// A name no other test run uses: prefix + a new GUID.
std::wstring UniqueName(const std::wstring& prefix);

}  // namespace testing_support

#define VORN_CHILD(id)                                                                    \
  static int id##_ChildMain(const ::testing_support::ChildArgs& args);                    \
  static ::testing_support::ChildRegistrar id##_ChildRegistrar(#id, &id##_ChildMain);     \
  static int id##_ChildMain([[maybe_unused]] const ::testing_support::ChildArgs& args)

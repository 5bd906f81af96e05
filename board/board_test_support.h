// Test support for the tests that reach the board: the serial port server registered for the
// test program's run, and the simulated board reset to the filler profile before each case.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/board_controller.h"
#include "board/panel_test_files.h"
#include "common/handles.h"
#include "common/testing/registry_fixture.h"
#include "common/testing/paths.h"
#include "portserver/testing/server_processes.h"
#include "sim/board/board_sim_client.h"

namespace board_testing {

inline DWORD RunProgram(const std::wstring& path, const std::wstring& args) {
  std::wstring command = L"\"" + path + L"\" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &si, &pi))
    return GetLastError();
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    return STILL_ACTIVE;
  }
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  return code;
}

// Base of a fixture whose cases talk to the simulated board through the real port server.
class OnTheBoard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!board_sim::BoardSim::Available()) return;
    // Once more after a failure, which is printed: a registration refused once under the full
    // suite's load (not reproduced alone) must not fail cases that test something else.
    for (int attempt = 0; attempt < 2 && !registered_; ++attempt) {
      registration_ = RunProgram(testing_support::BinPath(L"VornPort.exe"), L"/RegServer");
      registered_ = registration_ == 0;
      if (!registered_) std::fprintf(stderr, "VornPort.exe /RegServer answered 0x%08lX\n", registration_);
    }
  }
  static void TearDownTestSuite() {
    if (registered_) RunProgram(testing_support::BinPath(L"VornPort.exe"), L"/UnregServer");
    registered_ = false;
    EXPECT_TRUE(port_testing::EndServers()) << "a port server did not leave when asked";
  }
  void SetUp() override {
    if (!board_sim::BoardSim::Available()) GTEST_SKIP() << "no Wine session with the simulated board";
    ASSERT_TRUE(registered_) << "VornPort.exe /RegServer failed: 0x" << std::hex << registration_;
    ASSERT_EQ(board_.ResetAll(), S_OK);
    ASSERT_EQ(board_.Command("profile-filler"), S_OK);
    ASSERT_EQ(board_.Command("reload"), S_OK);
  }

  // The board's received frames of one kind ("write", "read", "reset").
  std::vector<board_sim::LoggedFrame> Requests(const std::string& op) const {
    std::vector<board_sim::LoggedFrame> out;
    for (const auto& f : board_.Frames())
      if (f.direction == "RX" && f.op == op) out.push_back(f);
    return out;
  }

  // The data of every write the board received at `addr`.
  std::vector<std::vector<std::uint8_t>> WritesAt(int addr) const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& f : Requests("write"))
      if (f.addr == addr) out.push_back(f.data);
    return out;
  }
  // The board's mute writes: true for "muted" (bit 0 clear).
  std::vector<bool> Mutes() const {
    std::vector<bool> out;
    for (const auto& d : WritesAt(0x50E4)) out.push_back((d[0] & 1) == 0);
    return out;
  }

  static inline bool registered_ = false;
  static inline DWORD registration_ = 0;  // the last registration's exit code
  board_sim::BoardSim board_;
};

// An 11-bit register value (three high bits, then eight) at `at`.
inline int Get11(const std::vector<std::uint8_t>& d, size_t at) { return ((d[at] & 7) << 8) | d[at + 1]; }

// A borderless top-level window whose client area starts at (x, y) of the 1280 x 1024 screen.
class HostWindow {
 public:
  HostWindow(int x, int y, int w, int h)
      : window_(CreateWindowExW(0, L"STATIC", L"host", WS_POPUP | WS_VISIBLE, x, y, w, h, nullptr, nullptr,
                                nullptr, nullptr)) {}
  ~HostWindow() { DestroyWindow(window_); }
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;
  HWND get() const { return window_; }

 private:
  HWND window_;
};

// A board controller's world of the test's own: the board enabled under a scratch key, a
// panel file in a scratch folder (PanelText), object names no other case uses.
class PanelFixture : public OnTheBoard {
 protected:
  virtual std::string PanelText() const { return PanelFile(); }

  void SetUp() override {
    OnTheBoard::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(key_.SetDword(L"Kelv2", 1));
    folder_.Write(PanelText());
    setup_.enableKey = key_.path();
    setup_.settingsDirectory = folder_.dir();
    for (auto* name : {&setup_.accessMutex, &setup_.instanceMutex, &setup_.viewOwnerMutex,
                       &setup_.viewStateSection, &setup_.registerCacheSection})
      *name = L"Global\\" + testing_support::UniqueName(L"vorn-board-test-");
  }

  testing_support::ScratchRegistryKey key_;
  PanelFolder folder_;
  board::ControllerSetup setup_;
};

}  // namespace board_testing

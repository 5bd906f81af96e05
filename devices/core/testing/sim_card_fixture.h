// Test support: the driver stand-in attached to this test program, and one new simulated card
// per test. Every test process gets a state of its own, so parallel runs never meet.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "common/device/device_identity.h"
#include "common/format.h"
#include "common/testing/child.h"
#include "sim/driver/sim_driver.h"

namespace driver_test {

// Every test process connects to one state; children are told its name.
inline std::wstring& StateName() {
  static std::wstring name = testing_support::UniqueName(L"Global\\VornSimDriverTest_");
  return name;
}

// Connects to `name` and attaches the stand-in to this program's own imports. The suites of one
// program each attach: the entries the first one rewrote stay rewritten, and the stand-in counts
// only the entries it rewrites now.
inline bool AttachStandIn(const std::wstring& name) {
  static bool attached = false;
  UINT patched = 0;
  if (FAILED(SimDriver_Connect(name.c_str())) || FAILED(SimDriver_Attach(GetModuleHandleW(nullptr), &patched)))
    return false;
  if (patched >= 3) attached = true;
  return attached;
}

// A capture-filter path of a simulated card; `instance` ends the instance segment.
inline std::wstring CardPath(const std::wstring& instance) {
  return FormatW(L"\\\\?\\sim#ven_5a52&dev_7130&subsys_00011a2b&rev_01#3&2411e6fe&0&%ls"
                 L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\capture",
                 instance.c_str());
}

inline std::vector<SimDriverLogEntry> LogSince(UINT from) {
  std::vector<SimDriverLogEntry> entries(256);
  UINT count = 0;
  if (FAILED(SimDriver_ReadLog(from, entries.data(), static_cast<UINT>(entries.size()), &count, nullptr))) count = 0;
  entries.resize(count);
  return entries;
}

inline UINT LogNext() {
  UINT count = 0, next = 0;
  SimDriver_ReadLog(0, nullptr, 0, &count, &next);
  return next;
}

inline SimDriverCardState CardState(UINT card) {
  SimDriverCardState state{};
  SimDriver_GetCardState(card, &state);
  return state;
}

class SimCardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(AttachStandIn(StateName())); }

  void SetUp() override {
    path_ = CardPath(testing_support::UniqueName(L"48_"));
    ASSERT_EQ(S_OK, SimDriver_AddCard(path_.c_str(), &card_));
    identity_ = DeviceIdentity(path_.c_str());
  }

  std::wstring path_;
  UINT card_ = 0;
  DeviceIdentity identity_;
};

}  // namespace driver_test

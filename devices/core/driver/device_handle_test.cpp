#include "devices/core/driver/device_handle.h"

#include <gtest/gtest.h>

#include "devices/core/testing/sim_card_fixture.h"

using namespace driver_test;

namespace {

// The simulated card answers on its encoder object.
constexpr wchar_t kSuffix[] = L"\\Zarn Orvane encoder device";

class DeviceHandleTest : public SimCardTest {};

TEST_F(DeviceHandleTest, OpenCloseAndReopen) {
  DeviceHandle link;
  EXPECT_FALSE(link.IsOpen());
  ASSERT_EQ(S_OK, link.Open(identity_, kSuffix));
  EXPECT_TRUE(link.IsOpen());
  ASSERT_EQ(S_OK, link.Open(identity_, kSuffix));  // the first is closed
  EXPECT_EQ(1u, CardState(card_).openHandles);
  link.Close();
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(0u, CardState(card_).openHandles);
  {
    DeviceHandle scoped;
    ASSERT_EQ(S_OK, scoped.Open(identity_, kSuffix));
  }
  EXPECT_EQ(0u, CardState(card_).openHandles);  // the destructor closes
}

TEST_F(DeviceHandleTest, FailedOpensLeaveItClosed) {
  DeviceHandle link;
  EXPECT_EQ(HRESULT(0x80070002), link.Open(DeviceIdentity(), kSuffix));
  EXPECT_FALSE(link.IsOpen());
  // Without the suffix the path is the capture filter's, which is not a driver object.
  EXPECT_TRUE(FAILED(link.Open(identity_, L"")));
  EXPECT_FALSE(link.IsOpen());
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, TRUE, 0x12345));
  EXPECT_EQ(HRESULT(0x80072345), link.Open(identity_, kSuffix));
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, TRUE, 0));  // a failure without an error code
  EXPECT_EQ(HRESULT(0x8007F030), link.Open(identity_, kSuffix));
  EXPECT_FALSE(link.IsOpen());
}

TEST_F(DeviceHandleTest, IoControlResults) {
  DeviceHandle link;
  std::uint32_t words[3] = {};
  EXPECT_EQ(HRESULT(0x80070006), link.IoControl(0x220190, words, 12, words, 12, nullptr, nullptr));
  ASSERT_EQ(S_OK, link.Open(identity_, kSuffix));
  DWORD returned = 0;
  EXPECT_EQ(S_OK, link.IoControl(0x220190, words, 12, words, 12, &returned, nullptr));
  EXPECT_EQ(12u, returned);
  EXPECT_EQ(S_OK, link.IoControl(0x220190, words, 12, words, 12, nullptr, nullptr));  // no count wanted
  EXPECT_EQ(HRESULT(0x80070001), link.IoControl(0x220004, words, 12, words, 12, nullptr, nullptr));
}

}  // namespace

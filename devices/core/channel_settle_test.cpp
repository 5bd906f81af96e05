// The channel-settle arithmetic: what is left of the interval after a recorded channel change.
#include <gtest/gtest.h>

#include "devices/core/channel_settle.h"

namespace {

TEST(ChannelSettle, WaitsTheRestOfTheIntervalSinceTheChange) {
  const struct {
    std::uint32_t flag, changed;
    DWORD now, expected;
  } cases[] = {
      {0, 1000, 1000, 0},                // no channel was set
      {1, 1000, 1000, 100},              // the same millisecond: the whole interval
      {1, 1000, 1030, 70},               // 30 ms after
      {1, 1000, 1100, 0},                // the interval has passed
      {1, 1000, 5000, 0},
      {1, 0xFFFFFFF0u, 0x10, 68},        // the counter wrapped 32 ms after the change
      {1, 0xFFFFFFFFu, 0xFFFFFFFFu, 100},
  };
  for (const auto& c : cases) {
    const InstanceRecord record{c.flag, c.changed};
    EXPECT_EQ(ChannelSettleRemaining(record, 100, c.now), c.expected) << c.changed << " " << c.now;
  }
}

}  // namespace

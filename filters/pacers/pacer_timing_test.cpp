// The pacers' arithmetic: audio stamps from byte counts, the clock across the counter's wrap,
// the skip rule, the late-frame rule and the page's number parsing.
#include "filters/pacers/pacer_timing.h"

#include <gtest/gtest.h>

using namespace pacer;

namespace {
constexpr DWORD kRate = 192000;  // 48 kHz, 16-bit stereo
constexpr LONGLONG kMs = kUnitsPerMs;
}  // namespace

TEST(AudioTiming, DurationCountsWholeMillisecondsOnly) {
  EXPECT_EQ(AudioDuration(4800, kRate), 25 * kMs);  // exactly 25 ms
  EXPECT_EQ(AudioDuration(191, kRate), 0);           // under 1 ms
  EXPECT_EQ(AudioDuration(4990, kRate), 25 * kMs);   // 25.99 ms, truncated
  EXPECT_EQ(AudioDuration(0, kRate), 0);
  EXPECT_EQ(AudioDuration(-5, kRate), 0);
  EXPECT_EQ(AudioDuration(4800, 0), 0);  // no rate: nothing to divide by
  // Beyond 4,294,967 bytes the 32-bit product would wrap; 64 bits keep the answer.
  EXPECT_EQ(AudioDuration(0x7FFFFFFF, 1000), 2147483647LL * kMs);
}

TEST(AudioTiming, PositionFollowsTheByteCountWithoutWrapping) {
  EXPECT_EQ(AudioPosition(0, kRate), 0);
  EXPECT_EQ(AudioPosition(4800, kRate), 25 * kMs);
  EXPECT_EQ(AudioPosition(9600, kRate), 50 * kMs);
  // 30 days of audio: the whole-millisecond count no longer fits 32 bits.
  const LONGLONG thirtyDays = static_cast<LONGLONG>(kRate) * 86400 * 30;
  EXPECT_EQ(AudioPosition(thirtyDays, kRate), 86400LL * 30 * 1000 * kMs);
  EXPECT_EQ(AudioPosition(4800, 0), 0);
}

TEST(AudioClockTiming, ElapsedTimeIsExactAcrossTheCounterWrap) {
  EXPECT_EQ(TickElapsed(1500, 1000), 500 * kMs);
  EXPECT_EQ(TickElapsed(1000, 1000), 0);
  // 0xFFFFFFF0 -> 0x10 is 32 ms (the wrap itself counts one).
  EXPECT_EQ(TickElapsed(0x10, 0xFFFFFFF0u), 32 * kMs);
  // More than 24.8 days without a new anchor stays positive.
  EXPECT_EQ(TickElapsed(0x90000000u, 0x00000000u), static_cast<LONGLONG>(0x90000000u) * kMs);
  EXPECT_EQ(AnchoredTime(7 * kMs, 100, 110), 17 * kMs);
}

TEST(AudioClockTiming, ClockIsLeftAloneOnlyOnceWhileItLeadsByMoreThanHalfASample) {
  const LONGLONG d = 25 * kMs;
  EXPECT_FALSE(SkipReanchor(d / 2, d, 0));      // exactly half: pulled back
  EXPECT_TRUE(SkipReanchor(d / 2 + 1, d, 0));   // more: left alone once
  EXPECT_FALSE(SkipReanchor(d / 2 + 1, d, 1));  // and pulled back the next time
  EXPECT_FALSE(SkipReanchor(-d, d, 0));         // behind: always pulled
  EXPECT_TRUE(SkipReanchor(1, 0, 0));           // a zero-length duration: any lead
}

TEST(FrameDropRule, DropsFramesLateByTheDropTimeOrMore) {
  FrameDropRule rule;  // defaults: on, 22 ms
  EXPECT_EQ(rule.dropEnabled, 1u);
  EXPECT_EQ(rule.dropTimeMs, 22u);
  const LONGLONG start = 1000 * kMs;
  EXPECT_TRUE(rule.IsTooLate(start + 22 * kMs, start));
  EXPECT_FALSE(rule.IsTooLate(start + 22 * kMs - 1, start));  // 21.9999 ms
  EXPECT_FALSE(rule.IsTooLate(start - 500 * kMs, start));     // in the future
  EXPECT_TRUE(rule.IsTooLate(start + 60000 * kMs, start));
  rule.dropEnabled = 0;
  EXPECT_FALSE(rule.IsTooLate(start + 60000 * kMs, start));
  rule = FrameDropRule{5, 0};  // any non-zero switch drops; a drop time of 0 drops on time
  EXPECT_TRUE(rule.IsTooLate(start, start));
  EXPECT_FALSE(rule.IsTooLate(start - 1, start));
}

TEST(ParseLeadingNumber, TakesTheLeadingDigitsWithAnOptionalSign) {
  EXPECT_EQ(ParseLeadingNumber(L"42"), 42);
  EXPECT_EQ(ParseLeadingNumber(L"12ab"), 12);
  EXPECT_EQ(ParseLeadingNumber(L""), 0);
  EXPECT_EQ(ParseLeadingNumber(L"abc"), 0);
  EXPECT_EQ(ParseLeadingNumber(nullptr), 0);
  EXPECT_EQ(ParseLeadingNumber(L"-40"), -40);  // a negative delay survives the page
  EXPECT_EQ(ParseLeadingNumber(L"  7"), 7);
  EXPECT_EQ(ParseLeadingNumber(L"-"), 0);
  EXPECT_EQ(ParseLeadingNumber(L"99999999999"), 2147483647L);
  EXPECT_EQ(ParseLeadingNumber(L"-99999999999"), -2147483647L - 1);
}

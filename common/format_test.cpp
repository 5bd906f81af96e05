#include "common/format.h"

#include <gtest/gtest.h>

TEST(Format, ExplicitWidthsKeepTheirMeaning) {
  EXPECT_EQ(FormatW(L"%ls|%hs|%d", L"wide", "narrow", 42), L"wide|narrow|42");
  EXPECT_EQ(FormatW(L"0x%08X", 0xBEEFu), L"0x0000BEEF");
  EXPECT_EQ(FormatA("%s,%012ld", "x", 7L), "x,000000000007");
}

TEST(Format, LongResultsAreNeverTruncated) {
  const std::wstring big(5000, L'a');
  const std::wstring out = FormatW(L"[%ls]", big.c_str());
  ASSERT_EQ(out.size(), 5002u);
  EXPECT_EQ(out.front(), L'[');
  EXPECT_EQ(out.back(), L']');
  EXPECT_EQ(FormatW(L""), L"");
  EXPECT_EQ(FormatW(nullptr), L"");
}

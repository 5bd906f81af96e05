#include "mappingsvc/switches.h"

#include <gtest/gtest.h>

using mappingsvc::ParseSwitch;
using mappingsvc::Switch;

TEST(Switches, AreIntroducedByDashOrSlashAndIgnoreCase) {
  EXPECT_EQ(ParseSwitch(L"-RegServer"), Switch::RegServer);
  EXPECT_EQ(ParseSwitch(L"/regserver"), Switch::RegServer);
  EXPECT_EQ(ParseSwitch(L"-UNREGSERVER"), Switch::UnregServer);
  EXPECT_EQ(ParseSwitch(L"/Service"), Switch::Service);
  EXPECT_EQ(ParseSwitch(L"  \t-service  "), Switch::Service);
}

TEST(Switches, EndAtABlankOrTabAndTheFirstKnownOneWins) {
  EXPECT_EQ(ParseSwitch(L"-Embedding"), Switch::None);
  EXPECT_EQ(ParseSwitch(L"-Embedding -UnregServer"), Switch::UnregServer);
  EXPECT_EQ(ParseSwitch(L"-Service\t-RegServer"), Switch::Service);
  EXPECT_EQ(ParseSwitch(L"-RegServerX"), Switch::None);
  EXPECT_EQ(ParseSwitch(L"-Reg Server"), Switch::None);
  EXPECT_EQ(ParseSwitch(L"RegServer"), Switch::None);       // no introducer
  EXPECT_EQ(ParseSwitch(L"x-RegServer"), Switch::None);     // not at the start of a word
  EXPECT_EQ(ParseSwitch(L"-"), Switch::None);
  EXPECT_EQ(ParseSwitch(L""), Switch::None);
  EXPECT_EQ(ParseSwitch(nullptr), Switch::None);
}

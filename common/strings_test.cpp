#include "common/strings.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

std::vector<std::wstring> Tokens(const WideString& text, const wchar_t* separators, int* endPosition) {
  std::vector<std::wstring> tokens;
  int position = 0;
  for (int guard = 0; guard < 100; ++guard) {
    const WideString token = text.Tokenize(separators, position);
    if (position == -1) {
      EXPECT_TRUE(token.empty());
      break;
    }
    tokens.push_back(token.str());
  }
  *endPosition = position;
  return tokens;
}

}  // namespace

TEST(WideStringTokenize, SkipsLeadingTrailingAndRepeatedSeparators) {
  int end = 0;
  EXPECT_EQ(Tokens(L",,a,,b;c,,", L",;", &end), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  EXPECT_EQ(end, -1);
  EXPECT_EQ(Tokens(L"single", L",", &end), (std::vector<std::wstring>{L"single"}));
  EXPECT_EQ(end, -1);
  EXPECT_TRUE(Tokens(L",,,", L",", &end).empty());
  EXPECT_EQ(end, -1);
  EXPECT_TRUE(Tokens(L"", L",", &end).empty());
  EXPECT_EQ(end, -1);
}

TEST(WideStringTokenize, PositionMovesPastTheSeparatorAndStaysAtTheEnd) {
  const WideString text(L"ab,cd");
  int position = 0;
  EXPECT_EQ(text.Tokenize(L",", position).str(), L"ab");
  EXPECT_EQ(position, 3);
  EXPECT_EQ(text.Tokenize(L",", position).str(), L"cd");
  EXPECT_EQ(position, 5);
  EXPECT_TRUE(text.Tokenize(L",", position).empty());
  EXPECT_EQ(position, -1);
  EXPECT_TRUE(text.Tokenize(L",", position).empty());  // a call at -1 stays at the end
  EXPECT_EQ(position, -1);
  position = 99;  // beyond the text
  EXPECT_TRUE(text.Tokenize(L",", position).empty());
  EXPECT_EQ(position, -1);
}

TEST(WideStringEdit, RemoveCharsAndJoining) {
  WideString path(L"C:\\Program Files\\a.log");
  EXPECT_EQ(path.RemoveChars(L":/\\. "), 5u);
  EXPECT_EQ(path.str(), L"CProgramFilesalog");
  EXPECT_EQ(path.RemoveChars(nullptr), 0u);

  WideString text(L"ab");
  text.AppendChar(L'c').AppendText(L"de").AppendText(nullptr);
  EXPECT_EQ(text.str(), L"abcde");
  EXPECT_EQ((WideString(L"x") + WideString(L"y")).str(), L"xy");
  EXPECT_EQ(WideString(static_cast<const wchar_t*>(nullptr)).str(), L"");
}

TEST(WideStringCopies, AreIndependentAcrossThreads) {
  // Copies of one string made and changed on several threads never affect each other.
  const WideString shared(std::wstring(1000, L'a'));
  std::vector<std::thread> threads;
  std::vector<bool> ok(8, false);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      bool good = true;
      for (int i = 0; i < 2000; ++i) {
        WideString copy = shared;
        copy.AppendChar(static_cast<wchar_t>(L'0' + t));
        good = good && copy.length() == 1001 && copy[1000] == static_cast<wchar_t>(L'0' + t);
      }
      ok[t] = good;
    });
  }
  for (auto& t : threads) t.join();
  for (bool b : ok) EXPECT_TRUE(b);
  EXPECT_EQ(shared.length(), 1000u);
}

TEST(AnsiStringConversion, UsesTheAnsiCodePage) {
  const std::wstring text = L"caf\u00e9 \u00fc";
  const AnsiString ansi(text);
  // The same bytes as the platform's own conversion, and back again where the page has them.
  char expected[64] = {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, expected, sizeof(expected), nullptr, nullptr);
  ASSERT_GT(bytes, 0);
  EXPECT_EQ(ansi.str(), std::string(expected));
  EXPECT_EQ(AnsiString(L"").str(), "");
  EXPECT_EQ(WideFromAnsi(AnsiString(L"plain ascii").str()), L"plain ascii");
  if (GetACP() == 1252) {
    EXPECT_EQ(ansi.str(), "caf\xe9 \xfc");
    EXPECT_EQ(WideFromAnsi(ansi.str()), text);
  }
  // A character the page lacks becomes its default character rather than failing the text.
  EXPECT_FALSE(AnsiString(L"\u4e2d\u6587").empty());
}

#include "common/strings.h"

#include <climits>
#include <cwchar>

std::size_t WideString::RemoveChars(const wchar_t* set) {
  if (!set || !*set) return 0;
  const std::size_t before = text_.size();
  std::wstring kept;
  kept.reserve(before);
  for (wchar_t c : text_) {
    if (!std::wcschr(set, c)) kept += c;
  }
  text_.swap(kept);
  return before - text_.size();
}

WideString WideString::Tokenize(const wchar_t* separators, int& position) const {
  if (position < 0 || static_cast<std::size_t>(position) >= text_.size()) {
    position = -1;
    return {};
  }
  const wchar_t* set = separators ? separators : L"";
  const std::size_t start = text_.find_first_not_of(set, static_cast<std::size_t>(position));
  if (start == std::wstring::npos) {
    position = -1;
    return {};
  }
  std::size_t end = text_.find_first_of(set, start);
  if (end == std::wstring::npos) end = text_.size();
  // Past the separator that ended the token (or at the end of the text). Positions are ints
  // in this interface; text longer than that has no further tokens.
  const std::size_t next = end < text_.size() ? end + 1 : end;
  position = next > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(next);
  return WideString(text_.substr(start, end - start));
}

WideString WideString::Concatenate(const WideString& left, const WideString& right) {
  std::wstring joined;
  joined.reserve(left.length() + right.length());
  joined += left.text_;
  joined += right.text_;
  return WideString(std::move(joined));
}

WideString& WideString::AppendText(const wchar_t* text) {
  if (text) text_ += text;
  return *this;
}

WideString& WideString::AppendChar(wchar_t c) {
  text_ += c;
  return *this;
}

AnsiString::AnsiString(std::wstring_view text, UINT codePage) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return;
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string converted(static_cast<std::size_t>(bytes), '\0');
  const int written = WideCharToMultiByte(codePage, 0, text.data(), length, converted.data(), bytes,
                                          nullptr, nullptr);
  if (written <= 0) return;
  converted.resize(static_cast<std::size_t>(written));
  text_.swap(converted);
}

std::wstring WideFromAnsi(std::string_view text, UINT codePage) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int chars = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (chars <= 0) return {};
  std::wstring converted(static_cast<std::size_t>(chars), L'\0');
  const int written = MultiByteToWideChar(codePage, 0, text.data(), length, converted.data(), chars);
  if (written <= 0) return {};
  converted.resize(static_cast<std::size_t>(written));
  return converted;
}

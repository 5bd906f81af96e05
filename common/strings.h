// The library's string values: a wide string with the few operations the modules use
// (character removal, tokenizing, joining), its ANSI counterpart, and the object form.
// Built on std::wstring: copies are independent, so strings may be copied on any thread.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

class WideString {
 public:
  WideString() = default;
  WideString(const wchar_t* text) : text_(text ? text : L"") {}  // null gives the empty string
  WideString(std::wstring text) : text_(std::move(text)) {}
  WideString(std::wstring_view text) : text_(text) {}
  virtual ~WideString() = default;
  WideString(const WideString&) = default;
  WideString(WideString&&) noexcept = default;
  WideString& operator=(const WideString&) = default;
  WideString& operator=(WideString&&) noexcept = default;

  const wchar_t* c_str() const noexcept { return text_.c_str(); }
  const std::wstring& str() const noexcept { return text_; }
  std::size_t length() const noexcept { return text_.size(); }
  bool empty() const noexcept { return text_.empty(); }
  wchar_t operator[](std::size_t i) const { return text_[i]; }

  // Removes every character that appears in `set`; returns how many were removed.
  std::size_t RemoveChars(const wchar_t* set);
  // Skips separators from `position`, returns the token up to the next separator and moves
  // `position` past that separator. When no token is left: the empty string and position -1
  // (and a call with position -1 stays there).
  WideString Tokenize(const wchar_t* separators, int& position) const;

  // string + text, string + one character.
  static WideString Concatenate(const WideString& left, const WideString& right);
  WideString& AppendText(const wchar_t* text);
  WideString& AppendChar(wchar_t c);
  WideString& operator+=(const WideString& text) { return AppendText(text.c_str()); }

  friend bool operator==(const WideString& a, const WideString& b) { return a.text_ == b.text_; }

 protected:
  std::wstring text_;
};

inline WideString operator+(const WideString& left, const WideString& right) {
  return WideString::Concatenate(left, right);
}

// A wide string handed around as an object; nothing of its own.
class WideStringObject : public WideString {
 public:
  using WideString::WideString;
  WideStringObject(const WideString& text) : WideString(text) {}
  ~WideStringObject() override = default;
};

// Narrow text in the ANSI code page, converted from wide text. Characters the code page lacks
// become its default character; a conversion that fails gives the empty string.
class AnsiString {
 public:
  AnsiString() = default;
  explicit AnsiString(std::wstring_view text, UINT codePage = CP_ACP);
  explicit AnsiString(const WideString& text) : AnsiString(std::wstring_view(text.str())) {}
  explicit AnsiString(const wchar_t* text) : AnsiString(std::wstring_view(text ? text : L"")) {}
  explicit AnsiString(const std::wstring& text) : AnsiString(std::wstring_view(text)) {}

  const char* c_str() const noexcept { return text_.c_str(); }
  const std::string& str() const noexcept { return text_; }
  std::size_t length() const noexcept { return text_.size(); }
  bool empty() const noexcept { return text_.empty(); }

 private:
  std::string text_;
};

// Wide text from narrow text of the given code page (the empty string when conversion fails).
std::wstring WideFromAnsi(std::string_view text, UINT codePage = CP_ACP);

#include "mappingsvc/switches.h"

#include <windows.h>

namespace mappingsvc {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool WordIs(const wchar_t* word, size_t length, const wchar_t* name) {
  const int n = static_cast<int>(length);
  return static_cast<size_t>(lstrlenW(name)) == length &&
         CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, word, n, name, n) == CSTR_EQUAL;
}

}  // namespace

Switch ParseSwitch(const wchar_t* arguments) noexcept {
  if (!arguments) return Switch::None;
  const wchar_t* p = arguments;
  while (*p) {
    while (IsBlank(*p)) ++p;
    if (!*p) break;
    const wchar_t* start = p;
    while (*p && !IsBlank(*p)) ++p;
    if (*start != L'-' && *start != L'/') continue;
    const wchar_t* word = start + 1;
    const size_t length = static_cast<size_t>(p - word);
    if (WordIs(word, length, L"RegServer")) return Switch::RegServer;
    if (WordIs(word, length, L"UnregServer")) return Switch::UnregServer;
    if (WordIs(word, length, L"Service")) return Switch::Service;
  }
  return Switch::None;
}

}  // namespace mappingsvc

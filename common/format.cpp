#include "common/format.h"

#include <stdio.h>
#include <wchar.h>

std::wstring FormatWV(const wchar_t* format, va_list args) {
  if (!format) return {};
  va_list count;
  va_copy(count, args);
  const int length = _vscwprintf(format, count);
  va_end(count);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int written = _vsnwprintf(text.data(), text.size(), format, args);
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return text;
}

std::wstring FormatW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatWV(format, args);
  va_end(args);
  return text;
}

std::string FormatAV(const char* format, va_list args) {
  if (!format) return {};
  va_list count;
  va_copy(count, args);
  const int length = _vscprintf(format, count);
  va_end(count);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int written = _vsnprintf(text.data(), text.size(), format, args);
  text.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return text;
}

std::string FormatA(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatAV(format, args);
  va_end(args);
  return text;
}

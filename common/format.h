// The one formatting helper. Format strings use the Windows conventions of _vsnwprintf with
// explicit widths: %ls for wide strings, %hs for narrow ones (mingw's swprintf would read %s as
// narrow). The result is never truncated.
#pragma once

#include <cstdarg>
#include <string>

std::wstring FormatW(const wchar_t* format, ...);
std::wstring FormatWV(const wchar_t* format, va_list args);
std::string FormatA(const char* format, ...);
std::string FormatAV(const char* format, va_list args);

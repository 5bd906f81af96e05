// Where a test finds the built modules and the sources, as Windows paths (Wine maps the host's
// "/" to drive Z:). Test programs (VORN_TEST_PROGRAM) lie in <build>/tests: the modules are in
// <build>/bin, and the build wrote the source folder's host path into tests/source-folder.txt.
// Nothing of either path is compiled in, so that the same sources compile to the same objects in
// any checkout (the compiler cache serves them).
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace testing_support {

inline std::wstring HostToWindowsPath(const char* hostPath) {
  std::wstring path = L"Z:";
  for (const char* p = hostPath; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
}

#ifdef VORN_TEST_PROGRAM
// The folder of the running test program (<build>\tests), without a trailing backslash.
inline std::wstring TestProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length < MAX_PATH ? length : 0);
  const std::size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

// The folder of the built modules (<build>\bin).
inline std::wstring BinFolder() {
  static const std::wstring folder = [] {
    const std::wstring tests = TestProgramFolder();
    const std::size_t slash = tests.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring(L"..") : tests.substr(0, slash)) + L"\\bin";
  }();
  return folder;
}

// A file in the folder of the built modules (bin/).
inline std::wstring BinPath(const std::wstring& file) { return BinFolder() + L"\\" + file; }

// The top of the source tree, from the file the build wrote beside the test programs (empty when
// it cannot be read).
inline std::wstring SourceFolder() {
  static const std::wstring folder = [] {
    const std::wstring file = TestProgramFolder() + L"\\source-folder.txt";
    UniqueFileHandle handle(
        CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle) return std::wstring();
    char text[MAX_PATH] = {};
    DWORD read = 0;
    if (!ReadFile(handle.get(), text, MAX_PATH - 1, &read, nullptr)) return std::wstring();
    while (read > 0 && (text[read - 1] == '\n' || text[read - 1] == '\r')) text[--read] = '\0';
    return HostToWindowsPath(text);
  }();
  return folder;
}

// A file of the source tree, by its path from the top ("sim/board/panel.ini").
inline std::wstring SourcePath(const std::wstring& relative) {
  std::wstring path = SourceFolder() + L"\\" + relative;
  for (auto& c : path) if (c == L'/') c = L'\\';
  return path;
}
#endif

}  // namespace testing_support

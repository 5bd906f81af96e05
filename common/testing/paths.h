// Where a test finds the built modules and the sources, as Windows paths (Wine maps the host's
// "/" to drive Z:). VORN_BIN_DIR and VORN_SOURCE_DIR are defined for every test program.
#pragma once

#include <string>

namespace testing_support {

inline std::wstring HostToWindowsPath(const char* hostPath) {
  std::wstring path = L"Z:";
  for (const char* p = hostPath; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
}

#ifdef VORN_BIN_DIR
// A file in the folder of the built modules (bin/).
inline std::wstring BinPath(const std::wstring& file) {
  return HostToWindowsPath(VORN_BIN_DIR) + L"\\" + file;
}
#endif
#ifdef VORN_SOURCE_DIR
// A file of the source tree, by its path from the top ("sim/board/panel.ini").
inline std::wstring SourcePath(const std::wstring& relative) {
  std::wstring path = HostToWindowsPath(VORN_SOURCE_DIR) + L"\\" + relative;
  for (auto& c : path) if (c == L'/') c = L'\\';
  return path;
}
#endif

}  // namespace testing_support

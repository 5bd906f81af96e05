// A settings file read through the profile-file functions (GetPrivateProfile*W): the device
// managers' "<module>.ini" beside the module, the panel files of the board control.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "common/path.h"

class SettingsFile {
 public:
  SettingsFile() = default;
  explicit SettingsFile(PathString path) : path_(std::move(path)) {}

  // The file beside a module, named after it: "C:\dir\tuner.dll" gives "C:\dir\tuner.ini".
  static SettingsFile ForModule(HMODULE module);
  // A file of the given name in a module's directory ("C:\dir\" + name).
  static SettingsFile InModuleDirectory(HMODULE module, const wchar_t* name);

  const PathString& path() const noexcept { return path_; }
  // True when the path names an existing file (not a directory).
  bool Exists() const;

  // An integer value as GetPrivateProfileIntW reads it (decimal, optional sign); `defaultValue`
  // when the file, section or key is missing.
  int ReadInt(const wchar_t* section, const wchar_t* key, int defaultValue) const;
  // A text value; `defaultValue` (empty when null) when missing. Never cut short.
  std::wstring ReadString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue) const;
  // The names of all sections, in file order.
  std::vector<std::wstring> ReadSectionNames() const;
  // The "key=value" lines of a section, split at the first "=" (lines without one are left out),
  // in file order.
  std::vector<std::pair<std::wstring, std::wstring>> ReadSection(const wchar_t* section) const;

 private:
  PathString path_;
};

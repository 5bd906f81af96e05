// File paths: the parts of a path, joining two paths, and the paths of modules and of the
// process image.
#pragma once

#include <windows.h>

#include "common/strings.h"

class PathString : public WideString {
 public:
  using WideString::WideString;
  PathString(const WideString& text) : WideString(text) {}
  ~PathString() override = default;

  // The parts as the runtime's path splitter gives them: "C:", "\dir\sub\", "name", ".ext".
  PathString GetDrive() const;
  PathString GetDirectory() const;
  PathString GetFileName() const;  // without the extension
  PathString GetExtension() const;
  // File name with its extension ("name.ext").
  PathString GetFileNameWithExtension() const;
  // Drive and directory ("C:\dir\sub\"), empty for a bare file name.
  PathString GetFolder() const;
  // Drive, directory and file name with the extension replaced ("C:\dir\name" + ".ini").
  PathString WithExtension(const wchar_t* extension) const;

  // Joins two paths:
  //  - an empty side gives the other;
  //  - a base ending in ":" or a part starting with "." are joined directly ("C:" + "dir",
  //    "file" + ".ini");
  //  - a base ending in "\" and a part starting with "\" keep one of the two;
  //  - otherwise one "\" is put between them unless the part starts with one.
  static PathString Combine(const WideString& base, const WideString& part);
};

class ModulePath {
 public:
  // Full path of a loaded module (null: the process image); empty when it cannot be read.
  static PathString OfModule(HMODULE module);
  // Full image path of the current process; empty when it cannot be read.
  static PathString OfProcess();
};

// The version number of a file as the device managers report it: the "FileVersion" string of
// the file's first translation, split at ".", " " and ","; its first four numbers a, b, c, d
// give a * 100000000 + b * 10000000 + c * 100000 + d (32 bits, wrapping). 0 without a version
// resource or when the file cannot be read.
#pragma once

#include <windows.h>

#include <cstdint>

namespace file_version {

std::uint32_t ReadFileVersion(const wchar_t* path);
// The packing alone, from the version text.
std::uint32_t PackVersionText(const wchar_t* text);

}  // namespace file_version

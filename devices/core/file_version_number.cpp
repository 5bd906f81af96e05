#include "devices/core/file_version_number.h"

#include <cwchar>
#include <vector>

#include "common/format.h"

namespace file_version {

std::uint32_t PackVersionText(const wchar_t* text) {
  if (!text) return 0;
  std::uint32_t parts[4] = {};
  int found = 0;
  for (const wchar_t* p = text; *p && found < 4;) {
    if (*p >= L'0' && *p <= L'9') {
      std::uint32_t value = 0;
      for (; *p >= L'0' && *p <= L'9'; ++p) value = value * 10 + static_cast<std::uint32_t>(*p - L'0');
      parts[found++] = value;
    } else {
      ++p;
    }
  }
  return parts[0] * 100000000u + parts[1] * 10000000u + parts[2] * 100000u + parts[3];
}

std::uint32_t ReadFileVersion(const wchar_t* path) {
  if (!path) return 0;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  if (size == 0) return 0;
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path, 0, size, info.data())) return 0;
  struct Translation {
    WORD language, codePage;
  };
  Translation* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(Translation))
    return 0;
  const std::wstring key = FormatW(L"\\StringFileInfo\\%04X%04X\\FileVersion", translation->language,
                                   translation->codePage);
  wchar_t* text = nullptr;
  if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length) || length == 0) return 0;
  return PackVersionText(text);
}

}  // namespace file_version

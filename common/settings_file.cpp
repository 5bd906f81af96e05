#include "common/settings_file.h"

namespace {

// Runs a profile call that fills a buffer, growing the buffer until the result fits. `slack`
// is how much shorter than the buffer a complete result is (1 for a single string, 2 for a
// list of strings ending in two terminators).
template <class Call>
std::wstring ReadGrowing(Call call, DWORD slack) {
  constexpr DWORD kLimit = 16 * 1024 * 1024;
  for (DWORD size = 1024; size <= kLimit; size *= 2) {
    std::wstring buffer(size, L'\0');
    const DWORD length = call(buffer.data(), size);
    if (length < size - slack) {
      buffer.resize(length);
      return buffer;
    }
  }
  return {};
}

// Splits a list of strings each ending in a terminator (the list ends in an empty one).
std::vector<std::wstring> SplitList(const std::wstring& list) {
  std::vector<std::wstring> items;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t end = list.find(L'\0', start);
    if (end == std::wstring::npos) end = list.size();
    if (end > start) items.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

}  // namespace

SettingsFile SettingsFile::ForModule(HMODULE module) {
  const PathString modulePath = ModulePath::OfModule(module);
  return SettingsFile(modulePath.empty() ? PathString() : modulePath.WithExtension(L".ini"));
}

SettingsFile SettingsFile::InModuleDirectory(HMODULE module, const wchar_t* name) {
  const PathString modulePath = ModulePath::OfModule(module);
  if (modulePath.empty()) return SettingsFile();
  return SettingsFile(PathString::Combine(modulePath.GetFolder(), WideString(name)));
}

bool SettingsFile::Exists() const {
  if (path_.empty()) return false;
  const DWORD attributes = GetFileAttributesW(path_.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int SettingsFile::ReadInt(const wchar_t* section, const wchar_t* key, int defaultValue) const {
  if (path_.empty() || !section || !key) return defaultValue;
  return static_cast<int>(GetPrivateProfileIntW(section, key, defaultValue, path_.c_str()));
}

std::wstring SettingsFile::ReadString(const wchar_t* section, const wchar_t* key,
                                      const wchar_t* defaultValue) const {
  const wchar_t* fallback = defaultValue ? defaultValue : L"";
  if (path_.empty() || !section || !key) return fallback;
  return ReadGrowing(
      [&](wchar_t* buffer, DWORD size) {
        return GetPrivateProfileStringW(section, key, fallback, buffer, size, path_.c_str());
      },
      1);
}

std::vector<std::wstring> SettingsFile::ReadSectionNames() const {
  if (path_.empty()) return {};
  return SplitList(ReadGrowing(
      [&](wchar_t* buffer, DWORD size) {
        return GetPrivateProfileSectionNamesW(buffer, size, path_.c_str());
      },
      2));
}

std::vector<std::pair<std::wstring, std::wstring>> SettingsFile::ReadSection(const wchar_t* section) const {
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  if (path_.empty() || !section) return entries;
  const auto lines = SplitList(ReadGrowing(
      [&](wchar_t* buffer, DWORD size) {
        return GetPrivateProfileSectionW(section, buffer, size, path_.c_str());
      },
      2));
  for (const auto& line : lines) {
    const std::size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) continue;
    entries.emplace_back(line.substr(0, equals), line.substr(equals + 1));
  }
  return entries;
}

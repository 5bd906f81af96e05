// Settings files under the mutation driver: whatever a file holds (cut lines, stray brackets,
// long values, other encodings), reading it ends, and the names and values come back as
// strings without terminators inside.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/handles.h"
#include "common/settings_file.h"
#include "common/testing/child.h"
#include "common/testing/fuzz_driver.h"

namespace {

bool HasTerminator(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

std::string CheckFile(const std::uint8_t* data, std::size_t size) {
  // A fresh name per input: the profile functions may keep a file they read recently.
  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + testing_support::UniqueName(L"vorn_fuzz_") + L".ini";
  {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file.valid() || !WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size)
      return "could not write the file";
  }
  struct Remove {
    const std::wstring& path;
    ~Remove() { DeleteFileW(path.c_str()); }
  } remove{path};

  const SettingsFile file{PathString(path)};
  const std::vector<std::wstring> sections = file.ReadSectionNames();
  for (std::size_t s = 0; s < std::min<std::size_t>(sections.size(), 8); ++s) {
    const std::wstring& section = sections[s];
    if (section.empty() || HasTerminator(section)) return "a section name empty or with a terminator";
    const auto entries = file.ReadSection(section.c_str());
    for (std::size_t e = 0; e < std::min<std::size_t>(entries.size(), 16); ++e) {
      const auto& [key, value] = entries[e];
      if (key.find(L'=') != std::wstring::npos || HasTerminator(key) || HasTerminator(value))
        return "a line split wrongly";
      if (HasTerminator(file.ReadString(section.c_str(), key.c_str(), L"")))
        return "a value with a terminator";
      file.ReadInt(section.c_str(), key.c_str(), -1);
    }
    if (file.ReadString(section.c_str(), L"vorn fuzz missing key", L"fallback") != L"fallback")
      return "a missing key did not give the default";
  }
  if (file.ReadInt(L"vorn fuzz missing section", L"Key", 17) != 17) return "a missing section did not give the default";
  return {};
}

fuzzing::Bytes Text(const std::string& text) { return fuzzing::Bytes(text.begin(), text.end()); }

TEST(SettingsFileFuzz, AnyFileReadsToTheEndWithWholeStrings) {
  fuzzing::Target target;
  target.name = "settings_file";
  std::string many = "[Big]\r\n";
  for (int i = 0; i < 60; ++i) many += "Key" + std::to_string(i) + "=" + std::to_string(i * 3) + "\r\n";
  const std::string wide = "[W]\r\nA=1\r\n";
  fuzzing::Bytes utf16 = {0xFF, 0xFE};
  for (char c : wide) {
    utf16.push_back(static_cast<std::uint8_t>(c));
    utf16.push_back(0);
  }
  target.seeds = {Text("[SetChannel]\r\nInterval=250\r\nNegative=-5\r\n[AutoScan]\r\nName=tuner one\r\n"),
                  Text("[First]\r\nA=1\r\nnoequals\r\nB=x=y\r\n[Second]\r\n" + many),
                  Text("[Panel]\nDelay=5000\n  Spaced Key = \"quoted value\" \n;comment\n[Broken\nX=1"),
                  Text("Long=" + std::string(3000, 'v') + "\r\n[Tail]\r\nK=2"),
                  utf16};
  target.check = CheckFile;
  target.maxSize = 8192;
  target.defaultRuns = 800;
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
}

}  // namespace

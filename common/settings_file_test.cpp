#include "common/settings_file.h"

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"

namespace {

struct TempIni {
  explicit TempIni(const std::string& content) {
    wchar_t folder[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, folder);
    path = std::wstring(folder) + testing_support::UniqueName(L"vorn_ini_") + L".ini";
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  }
  ~TempIni() { DeleteFileW(path.c_str()); }
  std::wstring path;
};

}  // namespace

TEST(SettingsFileValues, IntegersTextsAndDefaults) {
  const std::string longValue(5000, 'v');
  const TempIni ini("[SetChannel]\r\nInterval=250\r\nNegative=-5\r\n[AutoScan]\r\nName=tuner one\r\n"
                    "Long=" + longValue + "\r\n");
  const SettingsFile file{PathString(ini.path)};
  EXPECT_TRUE(file.Exists());
  EXPECT_EQ(file.ReadInt(L"SetChannel", L"Interval", 100), 250);
  EXPECT_EQ(file.ReadInt(L"SetChannel", L"Negative", 100), -5);
  EXPECT_EQ(file.ReadInt(L"SetChannel", L"Missing", 100), 100);
  EXPECT_EQ(file.ReadString(L"AutoScan", L"Name", L"x"), L"tuner one");
  EXPECT_EQ(file.ReadString(L"AutoScan", L"Missing", L"x"), L"x");
  EXPECT_EQ(file.ReadString(L"AutoScan", L"Missing", nullptr), L"");
  EXPECT_EQ(file.ReadString(L"AutoScan", L"Long", L""), std::wstring(longValue.begin(), longValue.end()));

  const SettingsFile missing{PathString(ini.path + L".none")};
  EXPECT_FALSE(missing.Exists());
  EXPECT_EQ(missing.ReadInt(L"SetChannel", L"Interval", 100), 100);
  EXPECT_TRUE(missing.ReadSectionNames().empty());
}

TEST(SettingsFileSections, NamesAndKeyValueLinesInFileOrder) {
  std::string many = "[Big]\r\n";
  for (int i = 0; i < 400; ++i) many += "Key" + std::to_string(i) + "=" + std::to_string(i * 3) + "\r\n";
  const TempIni ini("[First]\r\nA=1\r\nnoequals\r\nB=x=y\r\n[Second]\r\n" + many);
  const SettingsFile file{PathString(ini.path)};
  EXPECT_EQ(file.ReadSectionNames(), (std::vector<std::wstring>{L"First", L"Second", L"Big"}));
  const auto first = file.ReadSection(L"First");
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], (std::pair<std::wstring, std::wstring>{L"A", L"1"}));
  EXPECT_EQ(first[1], (std::pair<std::wstring, std::wstring>{L"B", L"x=y"}));
  EXPECT_TRUE(file.ReadSection(L"Second").empty());
  const auto big = file.ReadSection(L"Big");  // far more than a fixed 2000-character buffer
  ASSERT_EQ(big.size(), 400u);
  EXPECT_EQ(big[399].first, L"Key399");
  EXPECT_EQ(big[399].second, L"1197");
}

TEST(SettingsFilePaths, BesideTheModule) {
  wchar_t image[1024] = {};
  GetModuleFileNameW(nullptr, image, 1024);
  std::wstring expected = image;
  expected = expected.substr(0, expected.rfind(L'.')) + L".ini";
  EXPECT_EQ(SettingsFile::ForModule(ThisModule()).path().str(), expected);
  std::wstring folder = image;
  folder = folder.substr(0, folder.rfind(L'\\') + 1);
  EXPECT_EQ(SettingsFile::InModuleDirectory(ThisModule(), L"VornConP07.ini").path().str(),
            folder + L"VornConP07.ini");
}

// The registry journal and the host environment's own promise: what Install writes is gone after
// Remove, every value that was there before is back with its type, and a missing file module
// stops Install before anything is registered.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/path.h"
#include "common/testing/child.h"
#include "common/testing/registry_fixture.h"
#include "sim/doubles/hal_item.h"
#include "sim/doubles/outside_interfaces.h"
#include "sim/host/sim_environment.h"

namespace {

using sim_host::SimEnvironment;
using testing_support::ClassKey;

// Every key and value below root\subKey ("" for a missing key): key paths end in "\", values
// map to their type and bytes.
using Snapshot = std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>>;

void Collect(HKEY root, const std::wstring& subKey, Snapshot* out) {
  UniqueRegKey key;
  if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
  (*out)[subKey + L"\\"] = {};
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256, type = 0, bytes = 0;
    if (RegEnumValueW(key.get(), i, name, &chars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
    std::vector<BYTE> data(bytes);
    chars = 256;
    RegEnumValueW(key.get(), i, name, &chars, nullptr, &type, data.data(), &bytes);
    (*out)[subKey + L"\\" + name] = {type, data};
  }
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256;
    if (RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  for (const std::wstring& child : children) Collect(root, subKey + L"\\" + child, out);
}

// What the environment touches: the settings keys of both hives, the sound mapper, and the
// class and category keys of what it registers.
Snapshot MachineState() {
  Snapshot s;
  Collect(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Zarn Corporation", &s);
  Collect(HKEY_CURRENT_USER, L"Software\\Zarn Corporation", &s);
  Collect(HKEY_CURRENT_USER, L"Software\\Microsoft\\Multimedia\\Sound Mapper", &s);
  CLSID tam{};
  CLSIDFromString(L"{DFD021C0-14CE-47DD-9792-ACE51354850D}", &tam);
  const GUID* const keys[] = {&tam, &kClsidHalItem, &doubles::kClsidPreviewControl, &kClsidSimCapture,
                              &kCategoryTvTuner, &kCategoryVideoInput, &kCategoryEncoder};
  for (const GUID* g : keys) Collect(HKEY_CLASSES_ROOT, ClassKey(*g), &s);
  return s;
}

std::string FileBytes(const std::wstring& path) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes;
  char buffer[512];
  DWORD read = 0;
  while (file && ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) bytes.append(buffer, read);
  return bytes;
}

struct ComScope {
  ComScope() { EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
  ~ComScope() { CoUninitialize(); }
};

TEST(RegistryJournal, PutsBackTypesAndBytesDeletesWhatItCreated) {
  testing_support::ScratchRegistryKey scratch;
  const DWORD seven = 7;
  const BYTE raw[] = {'a', 0, 'b', 0};  // a string stored without its terminator
  ASSERT_TRUE(scratch.Set(L"", L"number", REG_DWORD, &seven, sizeof(seven)));
  ASSERT_TRUE(scratch.Set(L"", L"text", REG_SZ, raw, sizeof(raw)));
  ASSERT_TRUE(scratch.SetString(L"kept", L"yes"));
  Snapshot before;
  Collect(HKEY_CURRENT_USER, scratch.path().substr(scratch.path().find(L'\\') + 1), &before);

  const RegistryKeyPath key{WideString(scratch.path())};
  {
    sim_host::RegistryJournal journal;
    EXPECT_EQ(S_OK, journal.SetString(key, L"number", L"now a string"));
    EXPECT_EQ(S_OK, journal.SetDword(key, L"number", 9));  // the first change is what counts
    EXPECT_EQ(S_OK, journal.SetDword(key, L"text", 1));
    EXPECT_EQ(S_OK, journal.SetDword(key, L"new", 1));
    EXPECT_EQ(S_OK, journal.SetDword(key.SubKey(L"a\\b"), L"deep", 1));
    EXPECT_EQ(S_OK, journal.SetDword(key.SubKey(L"a"), L"shallow", 1));  // inside a created key
    EXPECT_EQ(E_INVALIDARG, journal.SetDword(RegistryKeyPath(WideString(L"HKEY_NOWHERE\\x")), L"v", 1));
    EXPECT_EQ(9u, key.ReadDword(L"number", 0));
    EXPECT_EQ(S_OK, journal.Restore());
    EXPECT_TRUE(journal.empty());
    Snapshot after;
    Collect(HKEY_CURRENT_USER, scratch.path().substr(scratch.path().find(L'\\') + 1), &after);
    EXPECT_EQ(before, after);

    // The destructor restores what is left.
    EXPECT_EQ(S_OK, journal.SetDword(key, L"kept", 3));
  }
  WideString kept;
  key.ReadString(L"kept", kept, L"");
  EXPECT_EQ(L"yes", kept.str());
}

TEST(SimEnvironment, RemoveLeavesTheMachineAsInstallFoundIt) {
  ComScope com;
  const std::wstring ini = SimEnvironment().settings().path().str();
  struct DeleteAtEnd {
    const std::wstring& path;
    ~DeleteAtEnd() { DeleteFileW(path.c_str()); }
  } seededIni{ini};
  // Values of the test's own before the environment: one it overwrites (with another type),
  // one it leaves alone; a settings file with a section of its own.
  testing_support::ScratchRegistryKey board(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                            L"SOFTWARE\\Zarn Corporation\\TunerBrdInfo");
  ASSERT_TRUE(board.SetString(L"DXVA", L"seeded"));
  ASSERT_TRUE(board.SetDword(L"Qfa Tesk", 3));
  for (const bool seededFile : {false, true}) {
    SCOPED_TRACE(seededFile ? "settings file there before" : "no settings file before");
    DeleteFileW(ini.c_str());
    if (seededFile) {
      ASSERT_TRUE(WritePrivateProfileStringW(L"AutoScan", L"Start", L"7", ini.c_str()));
    }
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
    const std::string fileBefore = FileBytes(ini);
    const Snapshot before = MachineState();
    {
      SimEnvironment env;
      ASSERT_EQ(S_OK, env.Install({0, 1})) << testing::PrintToString(env.error());
      auto& reg = env.registry();
      EXPECT_EQ(S_OK, reg.SetDword(sim_host::BoardInfoKey(), L"DXVA", 1));
      EXPECT_EQ(S_OK, reg.SetDword(sim_host::BoardInfoKey(), L"MOR Deinterlace", 1));
      EXPECT_EQ(S_OK, reg.SetDword(sim_host::TunerKey(18, 0, L"Qfa Tesk"), L"field order rec", 0));
      EXPECT_EQ(S_OK, reg.SetDword(sim_host::TovrelKey(), L"Max Volume", 80));
      EXPECT_EQ(S_OK, env.SetTrace(2, L"Z:\\tmp\\host.log"));
      EXPECT_EQ(S_OK, env.BypassSound());
      EXPECT_EQ(S_OK, env.SetSetting(L"AutoScan", L"Start", L"5"));
      // The device manager's tuner keys name the tuner number + 1.
      EXPECT_EQ(0u, RegistryKeyPath(WideString(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\TunerBrdInfo"
                                               L"\\BoardType18\\Tuner1\\Qfa Tesk"))
                        .ReadDword(L"field order rec", 9));
      EXPECT_EQ(2u, RegistryKeyPath(WideString(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace"))
                        .ReadDword(L"trace", 0));
      EXPECT_NE(before, MachineState());
      EXPECT_EQ(S_OK, env.Remove()) << testing::PrintToString(env.error());
      EXPECT_EQ(before, MachineState());
      EXPECT_EQ(fileBefore, FileBytes(ini));
      EXPECT_EQ(S_OK, env.Remove());  // nothing left to undo
      // Only the cards asked for are in the categories; the destructor removes this install.
      ASSERT_EQ(S_OK, env.Install({1})) << testing::PrintToString(env.error());
      const std::wstring instances = ClassKey(kCategoryVideoInput) + L"\\Instance\\";
      EXPECT_FALSE(RegistryKeyPath(WideString(L"HKEY_CLASSES_ROOT\\" + instances + L"SimCard0_3")).Open());
      EXPECT_TRUE(RegistryKeyPath(WideString(L"HKEY_CLASSES_ROOT\\" + instances + L"SimCard1_3")).Open());
    }
    EXPECT_EQ(before, MachineState());
    EXPECT_EQ(fileBefore, FileBytes(ini));
  }
}

TEST(SimEnvironment, MissingFileModuleStopsInstallAndIsNamed) {
  ComScope com;
  const Snapshot before = MachineState();
  // A folder without the modules.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + testing_support::UniqueName(L"host");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  SimEnvironment env(folder);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), env.Install());
  EXPECT_NE(std::wstring::npos, env.error().find(DOUBLES_CALLBACK_FILE)) << testing::PrintToString(env.error());
  EXPECT_EQ(nullptr, env.tamModule());
  EXPECT_EQ(before, MachineState());
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

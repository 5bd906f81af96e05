// Test support for the diagnostic frame dumps, which go to drive "d:": the drive made a link to
// a folder of the run when the session's prefix has none, and a dump file read back whole.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/testing/paths.h"

namespace testing_support {

// Drive "d:" of this run's Wine prefix, made a link to a folder of the run when it is missing.
// Empty when it cannot be had (not in a test session).
inline std::wstring MapDumpDrive() {
  if (GetFileAttributesW(L"d:\\") != INVALID_FILE_ATTRIBUTES) return L"d:";
  wchar_t prefix[MAX_PATH] = {};
  wchar_t runDir[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH) ||
      !GetEnvironmentVariableW(L"VORN_RUN_DIR", runDir, MAX_PATH)) {
    return {};
  }
  const std::wstring target = std::wstring(runDir) + L"/ddrive";
  CreateDirectoryW(HostToWindowsPath(std::string(target.begin(), target.end()).c_str()).c_str(), nullptr);
  // Wine starts host programs as well: the link is made by the host's ln.
  std::wstring command = L"Z:\\bin\\ln -sfn " + target + L" " + prefix + L"/dosdevices/d:";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return {};
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 100 && GetFileAttributesW(L"d:\\") == INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
  return GetFileAttributesW(L"d:\\") != INVALID_FILE_ATTRIBUTES ? L"d:" : L"";
}

// The whole file, or what could be read of it (nothing when it cannot be opened).
inline std::vector<BYTE> ReadFileBytes(const wchar_t* path) {
  std::vector<BYTE> bytes;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  bytes.resize(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  CloseHandle(file);
  return bytes;
}

}  // namespace testing_support

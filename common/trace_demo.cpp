// Shows the release trace at work: switches the trace of this build's key on with a log file,
// writes scopes from this process and from a second one, and prints the shared log. Settings
// it changed are put back afterwards.
//   vorn_trace_demo.exe
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/path.h"
#include "common/registry.h"
#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

namespace {

constexpr wchar_t kSubKey[] = L"SOFTWARE\\Zarn Corporation\\Lumacrest2\\RELTrace";

void DoWork(const wchar_t* who, int steps) {
  TraceScope scope(ModuleTrace(), L"TraceDemo::Run", L"%ls, %d", who, steps);
  for (int i = 0; i < steps; ++i) {
    TraceScope step(ModuleTrace(), L"TraceDemo::Step", L"%d", i);
    Sleep(40);
  }
}

// A value of the key as it was, to put back.
struct SavedValue {
  const wchar_t* name;
  std::optional<std::wstring> text;
  std::optional<DWORD> number;
};

SavedValue Save(HKEY key, const wchar_t* name) {
  SavedValue saved{name, std::nullopt, std::nullopt};
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return saved;
  std::wstring data(bytes / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
    return saved;
  if (type == REG_DWORD) saved.number = *reinterpret_cast<const DWORD*>(data.data());
  if (type == REG_SZ) saved.text = std::wstring(data.c_str());
  return saved;
}

void Restore(HKEY key, const SavedValue& saved) {
  if (saved.number) {
    RegSetValueExW(key, saved.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&*saved.number), sizeof(DWORD));
  } else if (saved.text) {
    RegSetValueExW(key, saved.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(saved.text->c_str()),
                   static_cast<DWORD>((saved.text->size() + 1) * sizeof(wchar_t)));
  } else {
    RegDeleteValueW(key, saved.name);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && std::wstring(argv[1]) == L"--second") {
    DoWork(L"second process", 3);
    return 0;
  }

  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, folder);
  const std::wstring log = PathString::Combine(WideString(folder), WideString(L"vorn_trace_demo.log")).str();
  DeleteFileW(log.c_str());

  UniqueRegKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSubKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot open the trace key\n");
    return 1;
  }
  const SavedValue oldTrace = Save(key.get(), L"trace"), oldLog = Save(key.get(), L"log");
  const DWORD flags = 2;  // log file only
  RegSetValueExW(key.get(), L"trace", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof(flags));
  RegSetValueExW(key.get(), L"log", 0, REG_SZ, reinterpret_cast<const BYTE*>(log.c_str()),
                 static_cast<DWORD>((log.size() + 1) * sizeof(wchar_t)));

  // A second process writes into the same log while this one does.
  std::wstring command = L"\"" + ModulePath::OfProcess().str() + L"\" --second";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  DoWork(L"first process", 12);
  if (started) {
    WaitForSingleObject(pi.hProcess, 30000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  ModuleTrace().Shutdown();
  Restore(key.get(), oldTrace);
  Restore(key.get(), oldLog);

  std::printf("Release trace log %ls:\n", log.c_str());
  UniqueFileHandle file(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  if (!file) {
    std::printf("(no log written)\n");
    return 1;
  }
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read) {
    std::fwrite(buffer, 1, read, stdout);
  }
  file.reset();
  DeleteFileW(log.c_str());
  return started ? 0 : 1;
}

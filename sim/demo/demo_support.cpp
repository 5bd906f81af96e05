#include "sim/demo/demo_support.h"

#include <tlhelp32.h>
#include <winerror.h>

#include <cstdio>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "sim/host/sim_environment.h"

namespace demo {

namespace {
FILE* output = nullptr;  // null: the standard output
}  // namespace

void SayTo(FILE* file) { output = file; }

void Say(const std::wstring& text) {
  FILE* to = output ? output : stdout;
  std::fprintf(to, "%ls\n", text.c_str());
  std::fflush(to);
}

void Step(const wchar_t* title) { Say(FormatW(L"\n== %ls", title)); }

std::wstring HrText(HRESULT hr) {
  struct Name {
    HRESULT hr;
    const wchar_t* name;
  };
  static const Name kNames[] = {
      {S_OK, L"S_OK"},
      {S_FALSE, L"S_FALSE"},
      {E_NOTIMPL, L"E_NOTIMPL"},
      {E_NOINTERFACE, L"E_NOINTERFACE"},
      {E_POINTER, L"E_POINTER"},
      {E_FAIL, L"E_FAIL"},
      {E_INVALIDARG, L"E_INVALIDARG"},
      {E_OUTOFMEMORY, L"E_OUTOFMEMORY"},
      {E_ACCESSDENIED, L"E_ACCESSDENIED"},
      {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG"},
      {CO_E_SERVER_EXEC_FAILURE, L"CO_E_SERVER_EXEC_FAILURE"},
      {TYPE_E_ELEMENTNOTFOUND, L"TYPE_E_ELEMENTNOTFOUND"},
      {HResultFromWin32(ERROR_FILE_NOT_FOUND), L"ERROR_FILE_NOT_FOUND"},
      {HResultFromWin32(ERROR_MOD_NOT_FOUND), L"ERROR_MOD_NOT_FOUND"},
      {HResultFromWin32(ERROR_PROC_NOT_FOUND), L"ERROR_PROC_NOT_FOUND"},
      {HResultFromWin32(ERROR_TIMEOUT), L"ERROR_TIMEOUT"},
      {errors::kPortNotOpen, L"port not open"},
      {errors::kDeviceAlreadySet, L"device already set"},
      {errors::kDeviceNotSet, L"device not set"},
      {errors::kDmNullPointer, L"null pointer or no device object"},
      {errors::kDmFailure, L"device manager failure"},
  };
  for (const Name& n : kNames)
    if (n.hr == hr) return FormatW(L"0x%08lX %ls", static_cast<unsigned long>(hr), n.name);
  return FormatW(L"0x%08lX", static_cast<unsigned long>(hr));
}

bool Verdict::Check(const std::wstring& action, HRESULT hr, HRESULT expected) {
  const bool good = hr == expected;
  if (good) {
    Say(FormatW(L"  %ls: %ls", action.c_str(), HrText(hr).c_str()));
  } else {
    Say(FormatW(L"  %ls: %ls  <-- FAILED (expected %ls)", action.c_str(), HrText(hr).c_str(),
                HrText(expected).c_str()));
    ++failures_;
  }
  return good;
}

void Verdict::Fail(const std::wstring& what) {
  Say(FormatW(L"  %ls  <-- FAILED", what.c_str()));
  ++failures_;
}

void Undo::Add(std::wstring action, std::function<HRESULT()> undo) {
  actions_.emplace_back(std::move(action), std::move(undo));
}

void Undo::RunAll(Verdict& verdict) {
  while (!actions_.empty()) {
    auto [action, undo] = std::move(actions_.back());
    actions_.pop_back();
    verdict.Check(action, undo());
  }
}

std::wstring BinFolder() { return ModulePath::OfProcess().GetFolder().str(); }

std::wstring BinPath(const wchar_t* name) {
  return PathString::Combine(WideString(BinFolder()), WideString(name)).str();
}

std::wstring DeviceManagerFolder() { return BinPath(L"e2e"); }

std::wstring LoadedDeinterlacer() {
  // The system's own module, then the outside ones the first family may choose instead.
  for (const wchar_t* name : {L"QfaTesk.ax", L"ZarnDeinterlace.ax", L"MorDeinterlace.ax"})
    if (const HMODULE module = GetModuleHandleW(name)) return ModulePath::OfModule(module).str();
  return {};
}

std::wstring RunFolder() {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableW(L"VORN_RUN_DIR", buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || buffer[0] != L'/') return {};
  // The session's folders are host paths; Wine shows the host's root as drive Z:.
  std::wstring path = L"Z:" + std::wstring(buffer, n);
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

bool RegisterInproc(Session& session, const wchar_t* name, HMODULE* module, const std::wstring& folder) {
  const std::wstring path =
      folder.empty() ? BinPath(name) : PathString::Combine(WideString(folder), WideString(name)).str();
  if (!session.verdict.Check(FormatW(L"%ls DllRegisterServer", name),
                             sim_host::CallServerEntry(path, "DllRegisterServer", module)))
    return false;
  const HMODULE loaded = *module;
  session.undo.Add(FormatW(L"%ls DllUnregisterServer", name), [loaded] {
    using EntryFn = HRESULT(STDAPICALLTYPE*)();
    const auto unregister = GetProcAs<EntryFn>(loaded, "DllUnregisterServer");
    const HRESULT hr = unregister ? unregister() : HResultFromWin32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(loaded);
    return hr;
  });
  return true;
}

HRESULT RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD* exitCode,
                   DWORD timeoutMs) {
  *exitCode = STILL_ACTIVE;
  std::wstring command = L"\"" + path + L"\" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &si, &pi))
    return HResultFromLastError();
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    return HResultFromWin32(ERROR_TIMEOUT);
  }
  GetExitCodeProcess(process.get(), exitCode);
  return S_OK;
}

HRESULT RunServerSwitch(const wchar_t* program, const wchar_t* switchText) {
  DWORD code = STILL_ACTIVE;
  RETURN_IF_FAILED(RunProgram(BinPath(program), switchText, &code));
  return static_cast<HRESULT>(code);
}

HRESULT ProcessRunning(const wchar_t* imageName, bool* running) {
  *running = false;
  const HANDLE raw = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (raw == INVALID_HANDLE_VALUE) return HResultFromLastError();
  UniqueHandle snapshot(raw);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
    if (_wcsicmp(entry.szExeFile, imageName) == 0) *running = true;
  return S_OK;
}

std::wstring HexBytes(const unsigned char* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i < size; ++i) text += FormatW(i ? L" %02X" : L"%02X", data[i]);
  return text;
}

}  // namespace demo

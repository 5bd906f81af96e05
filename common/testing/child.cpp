#include "common/testing/child.h"

#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <map>
#include <string>

#include "common/format.h"
#include "common/testing/time_scale.h"

namespace testing_support {
namespace {

std::map<std::string, ChildMain>& Registry() {
  static std::map<std::string, ChildMain> children;
  return children;
}

std::wstring QuoteArg(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') quoted.append(backslashes * 2 + 1, L'\\');
    else quoted.append(backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

constexpr DWORD kStartMs = 30000;  // a child's start-up under load, bounded

// The event a child sets once it runs: named by the child's process id, created by the parent
// while the child is still suspended.
std::wstring StartedEventName(DWORD pid) { return FormatW(L"Local\\vorn-child-started-%lu", static_cast<unsigned long>(pid)); }

// Starts the command suspended; the process and its started event, or an invalid process.
bool StartOnce(std::wstring command, UniqueHandle* process, DWORD* pid, UniqueHandle* started) {
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi))
    return false;
  UniqueHandle thread(pi.hThread);
  process->reset(pi.hProcess);
  *pid = pi.dwProcessId;
  started->reset(CreateEventW(nullptr, TRUE, FALSE, StartedEventName(pi.dwProcessId).c_str()));
  ResumeThread(thread.get());
  return true;
}

}  // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildMain main) { Registry()[name] = main; }

bool DispatchChild(int* exitCode) {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return false;
  bool dispatched = false;
  if (argc >= 3 && std::wstring(argv[1]) == L"--child") {
    std::string name;
    for (const wchar_t* p = argv[2]; *p; ++p) name += static_cast<char>(*p);
    UniqueHandle started(OpenEventW(EVENT_MODIFY_STATE, FALSE, StartedEventName(GetCurrentProcessId()).c_str()));
    if (started) SetEvent(started.get());
    ChildArgs args(argv + 3, argv + argc);
    auto it = Registry().find(name);
    *exitCode = it == Registry().end() ? 97 : it->second(args);
    dispatched = true;
  }
  LocalFree(argv);
  return dispatched;
}

ChildProcess ChildProcess::Start(const char* name, const ChildArgs& args) {
  wchar_t self[MAX_PATH * 2] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  std::wstring command = QuoteArg(self) + L" --child ";
  for (const char* p = name; *p; ++p) command += static_cast<wchar_t>(*p);
  for (const auto& a : args) command += L" " + QuoteArg(a);
  // A process that ends before it reaches the child's code did not start (the loader gave up,
  // which a heavily loaded machine sees now and then): it ran nothing, and is started once more.
  ChildProcess child;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    UniqueHandle started;
    if (!StartOnce(command, &child.process_, &child.pid_, &started)) break;
    if (!started) return child;
    const HANDLE waits[] = {started.get(), child.process_.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, ScaledBound(kStartMs)) != WAIT_OBJECT_0 + 1) return child;
    DWORD code = 0;
    GetExitCodeProcess(child.process_.get(), &code);
    std::fputs(FormatA("child %hs: did not start (attempt %d, exit code 0x%08lX)\n", name, attempt,
                       static_cast<unsigned long>(code)).c_str(),
               stderr);
    std::fflush(stderr);
  }
  return child;
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
  if (!process_) return STILL_ACTIVE;
  if (WaitForSingleObject(process_.get(), ScaledBound(timeoutMs)) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 5000);
    return STILL_ACTIVE;
  }
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process_.get(), &code);
  return code;
}

ChildProcess::~ChildProcess() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 5000);
  }
}

DWORD RunChild(const char* name, const ChildArgs& args, DWORD timeoutMs) {
  ChildProcess child = ChildProcess::Start(name, args);
  return child.Wait(timeoutMs);
}

std::wstring UniqueName(const std::wstring& prefix) {
  GUID guid{};
  CoCreateGuid(&guid);
  return prefix + FormatW(L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
                          static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3,
                          guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                          guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

}  // namespace testing_support

// The host demo: what a host application sees of the system against the simulated hardware.
// It grows with every subsystem; for now it shows the cross-process named objects every module
// relies on: a Global\ section and mutex shared with a second process, and a worker thread.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/format.h"
#include "common/locks.h"
#include "common/shared_memory.h"
#include "common/thread.h"

namespace {

constexpr wchar_t kSection[] = L"Global\\VornDemo_Section";
constexpr wchar_t kMutex[] = L"Global\\VornDemo_Mutex";

void Say(const std::wstring& text) {
  std::printf("%ls\n", text.c_str());
  std::fflush(stdout);
}

int Peer() {
  NamedMutex mutex(kMutex);
  SharedMemory memory;
  BOOL created = TRUE;
  if (!mutex.Create() || FAILED(memory.Create(kSection, 0, 4096, &created))) return 2;
  LockGuard guard(mutex, 5000);
  Say(FormatW(L"  peer %lu: section %ls, mutex %ls; host wrote \"%hs\"", GetCurrentProcessId(),
              created ? L"created" : L"opened", guard.owns() ? L"taken" : L"NOT taken",
              memory.As<char>()));
  std::strcpy(memory.As<char>() + 256, "hello from the peer");
  return created ? 3 : 0;
}

class Ticker final : public PeriodicThread {
 public:
  ~Ticker() override { Stop(); }
  volatile LONG ticks = 0;

 protected:
  void Tick() override { InterlockedIncrement(&ticks); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"--peer") return Peer();

  Say(L"host demo: shared named objects");
  SharedMemory memory;
  BOOL created = FALSE;
  HRESULT hr = memory.Create(kSection, 0, 4096, &created);
  if (FAILED(hr)) {
    Say(FormatW(L"  section failed: 0x%08lX", static_cast<unsigned long>(hr)));
    return 1;
  }
  std::strcpy(memory.As<char>(), "hello from the host");
  Say(FormatW(L"  host %lu: section %ls", GetCurrentProcessId(), created ? L"created" : L"opened"));

  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = FormatW(L"\"%ls\" --peer", self);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    Say(L"  cannot start the peer process");
    return 1;
  }
  WaitForSingleObject(pi.hProcess, 30000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  Say(FormatW(L"  peer exited with %lu; it wrote \"%hs\"", code, memory.As<char>() + 256));

  Ticker ticker;
  ticker.Start(20);
  Sleep(200);
  ticker.Stop();
  Say(FormatW(L"  worker thread ticked %ld times in 200 ms (period 20 ms)", ticker.ticks));
  const bool ok = code == 0;
  Say(ok ? L"host demo: ok" : L"host demo: FAILED");
  return ok ? 0 : 1;
}

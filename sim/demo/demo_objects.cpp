// The cross-process named objects every module relies on: a Global\ section and mutex shared
// with a second process, and a worker thread.
#include <windows.h>

#include <cstring>
#include <string>

#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/shared_memory.h"
#include "common/thread.h"
#include "sim/demo/demo_support.h"

namespace demo {
namespace {

constexpr wchar_t kSection[] = L"Global\\VornDemo_Section";
constexpr wchar_t kMutex[] = L"Global\\VornDemo_Mutex";

class Ticker final : public PeriodicThread {
 public:
  ~Ticker() override { Stop(); }
  volatile LONG ticks = 0;

 protected:
  void Tick() override { InterlockedIncrement(&ticks); }
};

}  // namespace

int NamedObjectsPeer() {
  NamedMutex mutex(kMutex);
  SharedMemory memory;
  BOOL created = TRUE;
  if (!mutex.Create() || FAILED(memory.Create(kSection, 0, 4096, &created))) return 2;
  LockGuard guard(mutex, 5000);
  Say(FormatW(L"  peer process %lu: section %ls, mutex %ls; the host wrote \"%hs\"", GetCurrentProcessId(),
              created ? L"created" : L"opened", guard.owns() ? L"taken" : L"NOT taken", memory.As<char>()));
  std::strcpy(memory.As<char>() + 256, "hello from the peer");
  return created ? 3 : 0;
}

void NamedObjectsStep(Session& session) {
  Verdict& verdict = session.verdict;
  Step(L"Shared named objects");
  SharedMemory memory;
  BOOL created = FALSE;
  if (!verdict.Check(FormatW(L"create section %ls", kSection), memory.Create(kSection, 0, 4096, &created)))
    return;
  std::strcpy(memory.As<char>(), "hello from the host");

  std::wstring command = FormatW(L"\"%ls\" --peer", BinPath(L"vorn_demo.exe").c_str());
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!verdict.Check(L"start a peer process",
                     CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)
                         ? S_OK
                         : HResultFromLastError()))
    return;
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
  if (code == 0) {
    Say(FormatW(L"  peer exited with 0; it wrote \"%hs\"", memory.As<char>() + 256));
  } else {
    verdict.Fail(FormatW(L"peer exited with %lu", code));
  }

  Ticker ticker;
  ticker.Start(20);
  Sleep(200);
  ticker.Stop();
  Say(FormatW(L"  worker thread ticked %ld times in 200 ms (period 20 ms)", ticker.ticks));
  if (ticker.ticks == 0) verdict.Fail(L"the worker thread never ticked");
}

}  // namespace demo

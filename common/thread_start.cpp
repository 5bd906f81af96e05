#include "common/thread_start.h"

#include <new>

#include "common/hresult.h"

namespace {

struct StartBlock {
  ThreadRoutine routine;
  void* parameter;
  HMODULE module;  // the thread's own reference to the module that holds this code
};

// Started with CreateThread, not _beginthreadex. The modules link the system's msvcrt.dll
// (mingw-w64's default runtime; the toolchain files choose no other), which makes a thread's
// runtime data on first use by any thread and frees it when the thread detaches from msvcrt.dll,
// which ExitThread, and so FreeLibraryAndExitThread, still delivers. _beginthreadex adds only a
// start block of its own, freed as the thread starts, and its _endthreadex (skipped by a thread
// that ends in FreeLibraryAndExitThread) is ExitThread and that same freeing: it would buy
// nothing. (The universal runtime differs: its _beginthreadex takes a module reference of its
// own that only its _endthreadex gives back. A build on that runtime keeps this choice.)
// mingw-w64's own thread data (thread_local destructors, emulated TLS) goes at thread detach too.
DWORD WINAPI ModuleThreadEntry(void* param) {
  const StartBlock block = *static_cast<StartBlock*>(param);
  delete static_cast<StartBlock*>(param);
  DWORD result = static_cast<DWORD>(E_UNEXPECTED);
  GuardNoThrow([&] { result = block.routine(block.parameter); });
  // The routine may have run the last release of the module's last object, and the host may
  // unload the module as soon as it can: let go of it and end in one call.
  FreeLibraryAndExitThread(block.module, result);
}

}  // namespace

HRESULT StartModuleThread(ThreadRoutine routine, void* parameter, UniqueHandle& thread, DWORD* id) {
  if (!routine) return E_POINTER;
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ModuleThreadEntry), &module)) {
    return HResultFromLastError();
  }
  auto* block = new (std::nothrow) StartBlock{routine, parameter, module};
  if (!block) {
    FreeLibrary(module);
    return E_OUTOFMEMORY;
  }
  DWORD threadId = 0;
  const HANDLE h = CreateThread(nullptr, 0, &ModuleThreadEntry, block, 0, &threadId);
  if (!h) {
    const HRESULT hr = HResultFromLastError();
    FreeLibrary(module);
    delete block;
    return hr;
  }
  thread.reset(h);
  if (id) *id = threadId;
  return S_OK;
}

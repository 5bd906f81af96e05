#include "common/worker_thread.h"

#include <objbase.h>
#include <process.h>

#include <new>

#include "common/hresult.h"

namespace {

struct StartBlock {
  WorkerThread::Loop loop;
  void* object;
  HMODULE module;  // a reference to the module that holds this code, the thread's own
};

unsigned __stdcall WorkerEntry(void* param) {
  const StartBlock block = *static_cast<StartBlock*>(param);
  delete static_cast<StartBlock*>(param);
  const bool comInitialised = SUCCEEDED(CoInitialize(nullptr));
  DWORD result = static_cast<DWORD>(E_UNEXPECTED);
  GuardNoThrow([&] { result = block.loop(block.object); });
  if (comInitialised) CoUninitialize();
  // The last object of the module may have gone on this very thread (its final release ran
  // here), and the host may unload the module as soon as it has: the thread lets go of the
  // module and ends in one call that returns into none of its code.
  if (block.module) FreeLibraryAndExitThread(block.module, result);
  return result;
}

// A reference to the module that holds this code (null when none can be had).
HMODULE ReferenceOwnModule() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerEntry), &module))
    return nullptr;
  return module;
}

}  // namespace

HRESULT WorkerThread::Start(void* object, UniqueHandle& slot, Loop loop) {
  if (slot) {
    if (WaitForSingleObject(slot.get(), 0) != WAIT_OBJECT_0) return S_OK;
    slot.reset();  // ended on its own (or stopped itself): collect it and start anew
  }
  if (!loop) return E_POINTER;
  auto* block = new (std::nothrow) StartBlock{loop, object, nullptr};
  if (!block) return E_OUTOFMEMORY;
  block->module = ReferenceOwnModule();
  unsigned id = 0;
  const uintptr_t h = _beginthreadex(nullptr, 0, &WorkerEntry, block, 0, &id);
  if (!h) {
    const DWORD error = _doserrno ? static_cast<DWORD>(_doserrno) : ERROR_NOT_ENOUGH_MEMORY;
    if (block->module) FreeLibrary(block->module);
    delete block;
    return HResultFromWin32(error);
  }
  slot.reset(reinterpret_cast<HANDLE>(h));
  return S_OK;
}

HRESULT WorkerThread::StopWorker(UniqueHandle& slot, HANDLE exitEvent, DWORD timeoutMs) {
  if (!slot) return S_OK;
  if (exitEvent) SetEvent(exitEvent);
  if (GetThreadId(slot.get()) == GetCurrentThreadId()) return S_FALSE;
  HRESULT result = S_OK;
  const DWORD wait = WaitForSingleObject(slot.get(), timeoutMs);
  if (wait != WAIT_OBJECT_0) {
    TerminateThread(slot.get(), wait);
    result = S_FALSE;
  }
  slot.reset();
  return result;
}

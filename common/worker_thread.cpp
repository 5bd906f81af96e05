#include "common/worker_thread.h"

#include <objbase.h>

#include <new>

#include "common/hresult.h"
#include "common/thread_start.h"

namespace {

struct StartBlock {
  WorkerThread::Loop loop;
  void* object;
};

DWORD WorkerEntry(void* param) {
  const StartBlock block = *static_cast<StartBlock*>(param);
  delete static_cast<StartBlock*>(param);
  const bool comInitialised = SUCCEEDED(CoInitialize(nullptr));
  DWORD result = static_cast<DWORD>(E_UNEXPECTED);
  GuardNoThrow([&] { result = block.loop(block.object); });
  if (comInitialised) CoUninitialize();
  return result;
}

}  // namespace

HRESULT WorkerThread::Start(void* object, UniqueHandle& slot, Loop loop) {
  if (slot) {
    if (WaitForSingleObject(slot.get(), 0) != WAIT_OBJECT_0) return S_OK;
    slot.reset();  // ended on its own (or stopped itself): collect it and start anew
  }
  if (!loop) return E_POINTER;
  auto* block = new (std::nothrow) StartBlock{loop, object};
  if (!block) return E_OUTOFMEMORY;
  const HRESULT hr = StartModuleThread(&WorkerEntry, block, slot);
  if (FAILED(hr)) delete block;
  return hr;
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

// The two thread helpers of the device managers' worker objects, shared with the video pacer:
// start an object's loop on a thread of its own (COM initialised on it) into a handle slot the
// object keeps, and stop it again through the object's exit event.
//
// Unlike StoppableThread (thread.h) the object owns its events and its loop; these helpers only
// create, wait for and collect the thread.
#pragma once

#include <windows.h>

#include "common/handles.h"
#include "common/timeouts.h"

class WorkerThread {
 public:
  // The object's loop, run on the new thread; its result is the thread's exit code.
  using Loop = DWORD (*)(void* object);

  // Does nothing and returns S_OK when `slot` holds a thread that still runs; a thread that has
  // ended (on its own or after stopping itself) is collected first. Otherwise creates a
  // thread that initialises COM (single-threaded apartment), runs loop(object), uninitialises
  // COM and ends with the loop's result, and stores its handle in `slot`. The thread starts
  // through StartModuleThread (thread_start.h): it holds its module until it has ended. A
  // failed creation returns the Win32 error as an HRESULT and leaves `slot` empty. Exceptions
  // never leave the loop (the thread then ends with E_UNEXPECTED).
  static HRESULT Start(void* object, UniqueHandle& slot, Loop loop);

  // Stops the thread in `slot`: sets `exitEvent`, waits up to `timeoutMs` for the thread to end,
  // terminates it (with the wait's result as exit code) when the wait timed out or failed,
  // then closes the handle and clears the slot. Nothing to do without a thread (S_OK).
  // S_OK when the thread ended by itself, S_FALSE when it had to be terminated. Called on the
  // thread in `slot` itself it only sets the event (waiting would wait for itself) and returns
  // S_FALSE, leaving the slot as it is (the next Start or StopWorker collects the handle): an
  // object destroyed on its own worker must have let its loop end first (LastReleaseDeferral,
  // filters/base/unknown.h).
  static HRESULT StopWorker(UniqueHandle& slot, HANDLE exitEvent,
                            DWORD timeoutMs = timeouts::kWorkerStop);
};

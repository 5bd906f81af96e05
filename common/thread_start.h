// The one way a module of this system starts a thread. Every thread a shipped module starts
// (StoppableThread, WorkerThread, the named pipe's server and connection threads) goes through
// StartModuleThread: the new thread holds a reference to the module whose code it runs until it
// has ended, so a host that unloads the module once its objects are gone (their last release may
// even run on this very thread) never unloads it under the thread.
#pragma once

#include <windows.h>

#include "common/handles.h"

// A thread's work; its result is the thread's exit code.
using ThreadRoutine = DWORD (*)(void* parameter);

// Starts routine(parameter) on a new thread (default stack) that first took a reference to the
// module holding this code, and that lets go of it as it ends, in one call that returns into
// none of the module's code. Exceptions never leave the routine (the thread then ends with
// E_UNEXPECTED). S_OK with the thread's handle in `thread` (and its id in `*id` when asked);
// E_POINTER without a routine; a failed creation returns the Win32 error as an HRESULT, leaves
// `thread` alone and the routine never runs.
//
// A thread that is terminated never lets go of the module (nor of its start block): termination
// stays the last resort.
HRESULT StartModuleThread(ThreadRoutine routine, void* parameter, UniqueHandle& thread,
                          DWORD* id = nullptr);

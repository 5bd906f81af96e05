// How long a plain local server stays: it counts its live objects and server locks with COM's own
// server-process count (CoAddRefServerProcess/CoReleaseServerProcess: reaching zero suspends the
// process's class objects, so that a new activation starts a new server) and leaves its message
// loop when the count returns to zero. A service (or the class linked in-process) sets no quit
// thread: it keeps its own count only and is never ended by it.
#pragma once

#include <windows.h>

namespace mappingsvc::server_lifetime {

// The thread whose message loop receives WM_QUIT when the count drops to zero (0: nobody). Set
// before the class object is registered, cleared after the server has left its loop.
void SetQuitThread(DWORD threadId) noexcept;
void AddRef() noexcept;
void Release() noexcept;
// Live objects plus server locks.
LONG Count() noexcept;
// GetTickCount64 at the last release of an object or lock (0: none yet). While the count is zero,
// the server has been idle since then.
ULONGLONG LastRelease() noexcept;

}  // namespace mappingsvc::server_lifetime

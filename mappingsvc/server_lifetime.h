// How long a plain local server stays: it counts its live objects and server locks and leaves its
// message loop when the count returns to zero. A service (or the class linked in-process) sets
// no quit thread and is never ended by the count.
#pragma once

#include <windows.h>

namespace mappingsvc::server_lifetime {

// The thread whose message loop receives WM_QUIT when the count drops to zero (0: nobody).
void SetQuitThread(DWORD threadId) noexcept;
void AddRef() noexcept;
void Release() noexcept;
// Live objects plus server locks.
LONG Count() noexcept;

}  // namespace mappingsvc::server_lifetime

#include "mappingsvc/server_lifetime.h"

#include <objbase.h>

namespace mappingsvc::server_lifetime {
namespace {
volatile LONG g_count = 0;
volatile LONG g_quitThread = 0;
volatile LONGLONG g_lastRelease = 0;
}  // namespace

void SetQuitThread(DWORD threadId) noexcept {
  InterlockedExchange(&g_quitThread, static_cast<LONG>(threadId));
}

void AddRef() noexcept {
  InterlockedIncrement(&g_count);
  if (InterlockedCompareExchange(&g_quitThread, 0, 0) != 0) CoAddRefServerProcess();
}

void Release() noexcept {
  // Stamped before the count falls, so that a zero count is never seen with an older stamp.
  InterlockedExchange64(&g_lastRelease, static_cast<LONGLONG>(GetTickCount64()));
  // Never below zero: an unbalanced LockServer(FALSE) must not end a server that has objects.
  LONG count = InterlockedCompareExchange(&g_count, 0, 0);
  for (;;) {
    if (count <= 0) return;
    const LONG seen = InterlockedCompareExchange(&g_count, count - 1, count);
    if (seen == count) break;
    count = seen;
  }
  const DWORD thread = static_cast<DWORD>(InterlockedCompareExchange(&g_quitThread, 0, 0));
  if (thread == 0) return;
  // COM's count falls with ours; at zero it has suspended the class object already.
  CoReleaseServerProcess();
  if (count == 1) PostThreadMessageW(thread, WM_QUIT, 0, 0);
}

LONG Count() noexcept { return InterlockedCompareExchange(&g_count, 0, 0); }

ULONGLONG LastRelease() noexcept {
  return static_cast<ULONGLONG>(InterlockedCompareExchange64(&g_lastRelease, 0, 0));
}

}  // namespace mappingsvc::server_lifetime

// A test client's overlapped transfer on its end of a device pipe, bounded by a time-out.
#pragma once

#include <windows.h>

#include "common/handles.h"

namespace testing_support {

// Writes (or reads) `size` bytes in one overlapped transfer; false when it fails or does not end
// within `timeoutMs` (the transfer is then cancelled and waited out).
inline bool PipeClientTransfer(HANDLE pipe, bool write, BYTE* buffer, DWORD size, DWORD* moved, DWORD timeoutMs) {
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = done.get();
  const BOOL started = write ? WriteFile(pipe, buffer, size, nullptr, &overlapped)
                             : ReadFile(pipe, buffer, size, nullptr, &overlapped);
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(done.get(), timeoutMs) != WAIT_OBJECT_0) {
    CancelIo(pipe);
    GetOverlappedResult(pipe, &overlapped, moved, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe, &overlapped, moved, FALSE) != FALSE;
}

}  // namespace testing_support

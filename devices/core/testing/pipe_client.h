// A test client of a pipe server: its connection and its overlapped transfers, each bounded by
// a time-out.
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

namespace testing_support {

// Opens the client end (overlapped). Between two clients a server listens again only once it has
// handed the last one over (for a moment there is no instance at all, or only busy ones), so a
// busy or missing pipe is tried again until `timeoutMs` has passed. Invalid when it never opened;
// GetLastError() then tells the last refusal.
inline UniqueFileHandle PipeClientConnect(const std::wstring& name, DWORD timeoutMs) {
  UniqueFileHandle client;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    client.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr));
    const DWORD error = GetLastError();
    if (client.valid() || GetTickCount64() > deadline) break;
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 1000);
    } else if (error == ERROR_FILE_NOT_FOUND) {
      Sleep(1);  // no instance listens yet, and there is nothing to wait on
    } else {
      break;
    }
  }
  return client;
}

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

// The system's long waits, named once. Objects that wait this long take an override so that
// tests run in milliseconds.
#pragma once

#include <windows.h>

namespace timeouts {
constexpr DWORD kWorkerStop = 30000;     // stopping a worker thread, then it is terminated
constexpr DWORD kDeviceLock = 30000;     // the device managers' device lock
constexpr DWORD kDriverIo = 30000;       // one driver request's wait for the device's I/O mutex
constexpr DWORD kMessageCall = 30000;    // a synchronous call into a message thread
constexpr DWORD kServerLinger = 5000;    // a local server's stay after its last object left
constexpr DWORD kPortWatchdog = 1000;    // the serial port server's client check
constexpr DWORD kBoardDelay = 5000;      // the longest board delay a panel file may ask for
}  // namespace timeouts

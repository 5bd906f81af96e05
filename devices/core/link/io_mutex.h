// The card-wide I/O mutex of the driver links that send command packets: every link to one
// card, in every process, formats the same name from the device's identity, and each request
// holds the mutex across its whole DeviceIoControl exchange.
//
// A request that cannot take the mutex in time fails (0x80070102, wait time-out) instead of
// running unserialised; a mutex that cannot be waited on at all fails with E_FAIL.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "common/device/device_identity.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/timeouts.h"

class DeviceIoMutex {
 public:
  // "Global\MutexName_IoCtrl_" and identity fields 1 to 6 joined with "_" (empty when absent).
  static std::wstring NameFor(const DeviceIdentity& identity);

  // Opens the device's mutex or creates it (NULL DACL); FALSE when neither works.
  BOOL Open(const DeviceIdentity& identity) { return mutex_.Open(NameFor(identity).c_str()); }
  // Releases it if held and closes the handle.
  void Close() { mutex_.Close(); }

  // Runs `request` with the mutex held; throws HResultError when the mutex is not obtained.
  template <class F>
  decltype(auto) Serialise(F&& request) {
    LockGuard guard(mutex_, timeout_);
    ThrowIfNotOwned(guard);
    return std::forward<F>(request)();
  }

  // How long a request waits (timeouts::kDriverIo unless a test shortens it).
  void SetTimeout(DWORD ms) noexcept { timeout_ = ms; }

 private:
  static void ThrowIfNotOwned(const LockGuard& guard);

  NamedMutex mutex_;
  DWORD timeout_ = timeouts::kDriverIo;
};

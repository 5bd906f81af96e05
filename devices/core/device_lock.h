// The device lock of a device-manager object: an unnamed kernel mutex that every operation of
// the object holds over its work. A kernel mutex is re-entrant on its owning thread, so an
// operation that calls another operation of the same object (the shutdown calls Stop and
// Uninitialize) takes it again without blocking.
//
// The wait is bounded (timeouts::kDeviceLock). When it times out the operation does not run:
// it fails with HRESULT_FROM_WIN32(WAIT_TIMEOUT), so that two threads are never inside one
// device object at once. An abandoned mutex (its owner thread ended while holding it) counts as
// acquired.
#pragma once

#include <windows.h>

#include "common/locks.h"
#include "common/timeouts.h"

class DeviceLock {
 public:
  DeviceLock() = default;
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // Creates the unnamed mutex; S_OK when a mutex is held (also when it was already created).
  HRESULT Create();
  void Close() { mutex_.Close(); }
  bool valid() const noexcept { return mutex_.IsValid() != FALSE; }

  // The longest wait of one acquisition (timeouts::kDeviceLock unless a test shortens it).
  void SetTimeout(DWORD ms) noexcept { timeout_ = ms; }
  DWORD timeout() const noexcept { return timeout_; }

  SyncObject& object() noexcept { return mutex_; }

 private:
  NamedMutex mutex_;
  DWORD timeout_ = timeouts::kDeviceLock;
};

// Lets go of a device lock that the calling thread holds (once) for a scope and takes it back at
// its end, so that the scope may wait for another thread or process that needs the lock (a peer
// whose answer comes from this object's own pipe thread). Nothing when the thread does not hold
// it. retaken() says whether the lock is held again afterwards: the state the lock guards may
// have changed meanwhile and is read again.
class DeviceLockGap {
 public:
  explicit DeviceLockGap(DeviceLock& lock);
  DeviceLockGap(const DeviceLockGap&) = delete;
  DeviceLockGap& operator=(const DeviceLockGap&) = delete;
  ~DeviceLockGap() { Retake(); }

  // Takes the lock back now (at most the lock's time-out): S_OK held again (or never let go),
  // 0x80070102 when the wait timed out.
  HRESULT Retake();

 private:
  DeviceLock& lock_;
  bool released_ = false;
};

// Holds a device lock for a scope. status() says whether the scope may run: S_OK when the lock
// is held (or there is no lock object), 0x80070102 when the wait timed out, the wait's failure
// otherwise. The destructor releases only what was taken.
class ScopedDeviceLock {
 public:
  explicit ScopedDeviceLock(DeviceLock* lock);
  ScopedDeviceLock(const ScopedDeviceLock&) = delete;
  ScopedDeviceLock& operator=(const ScopedDeviceLock&) = delete;
  ~ScopedDeviceLock();

  HRESULT status() const noexcept { return status_; }

 private:
  DeviceLock* lock_;
  bool owned_ = false;
  HRESULT status_ = S_OK;
};

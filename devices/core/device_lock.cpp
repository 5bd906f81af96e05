#include "devices/core/device_lock.h"

#include "common/hresult.h"

HRESULT DeviceLock::Create() {
  return mutex_.CreateUnnamed() ? S_OK : HResultFromLastError();
}

ScopedDeviceLock::ScopedDeviceLock(DeviceLock* lock) : lock_(lock) {
  if (!lock_) return;
  const LockResult result = lock_->object().Acquire(lock_->timeout());
  owned_ = Owns(result);
  if (owned_) return;
  status_ = result == LockResult::TimedOut ? HResultFromWin32(WAIT_TIMEOUT) : HResultFromLastError();
}

ScopedDeviceLock::~ScopedDeviceLock() {
  if (owned_) lock_->object().Unlock();
}

DeviceLockGap::DeviceLockGap(DeviceLock& lock) : lock_(lock) {
  // ReleaseMutex fails for a thread that does not own the mutex: then there is nothing to take
  // back. (The lock object's own Unlock does not say.)
  released_ = lock_.valid() && ReleaseMutex(lock_.object().handle()) != FALSE;
}

HRESULT DeviceLockGap::Retake() {
  if (!released_) return S_OK;
  released_ = false;
  const LockResult result = lock_.object().Acquire(lock_.timeout());
  if (Owns(result)) return S_OK;
  return result == LockResult::TimedOut ? HResultFromWin32(WAIT_TIMEOUT) : HResultFromLastError();
}

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

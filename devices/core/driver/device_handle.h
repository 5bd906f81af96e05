// The base of the device managers' driver links: one handle on a device object of the tuner
// card's driver, opened from the device's path and a suffix that names the driver interface.
#pragma once

#include <windows.h>

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "common/handles.h"

class DeviceHandle {
 public:
  DeviceHandle() = default;
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;
  virtual ~DeviceHandle() = default;  // closes the handle

  // Opens the identity's device path followed by `suffix` (when not empty) with no access
  // rights, shared for reading and writing, open-existing. A handle held before is closed
  // first. S_OK, or the Win32 failure as an HRESULT; a failure that left no error code gives
  // errors::kLinkFailure (never S_OK without a handle).
  virtual HRESULT Open(const DeviceIdentity& identity, const wchar_t* suffix);
  virtual BOOL IsOpen() const { return handle_.valid(); }
  // DeviceIoControl on the handle: S_OK, or the Win32 failure as an HRESULT (errors::kLinkFailure when
  // the failure left no error code: a failed request never reads as success). `returned` may
  // be null (the count is then dropped). Without a handle: 0x80070006 (invalid handle).
  virtual HRESULT IoControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                            DWORD* returned, OVERLAPPED* overlapped);
  virtual void Close() { handle_.reset(); }

 private:
  UniqueFileHandle handle_;
};

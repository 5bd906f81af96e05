#include "devices/core/driver/device_handle.h"

#include <string>

#include "common/hresult.h"

namespace {

// The last error of a failed call; a failure that left none is still a failure.
HRESULT FailureFromLastError() {
  const HRESULT hr = HResultFromWin32(GetLastError());
  return FAILED(hr) ? hr : errors::kLinkFailure;
}

}  // namespace

HRESULT DeviceHandle::Open(const DeviceIdentity& identity, const wchar_t* suffix) {
  Close();
  const wchar_t* devicePath = identity.GetPath();
  if (!devicePath) return HResultFromWin32(ERROR_FILE_NOT_FOUND);  // no device
  std::wstring path = devicePath;
  if (suffix) path += suffix;
  HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FailureFromLastError();
  handle_.reset(handle);
  return S_OK;
}

HRESULT DeviceHandle::IoControl(DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                DWORD* returned, OVERLAPPED* overlapped) {
  if (!handle_) return HResultFromWin32(ERROR_INVALID_HANDLE);
  // A synchronous request must be given somewhere to put its byte count.
  DWORD ignored = 0;
  if (!returned && !overlapped) returned = &ignored;
  if (!DeviceIoControl(handle_.get(), code, in, inSize, out, outSize, returned, overlapped)) {
    return FailureFromLastError();
  }
  return S_OK;
}

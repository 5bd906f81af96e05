#include "common/locks.h"

#include <cwchar>
#include <utility>

#include "common/hresult.h"
#include "common/security.h"

namespace {
// Names of kernel objects share the path limit; longer ones are refused.
bool NameFits(const wchar_t* name) {
  return name && std::wcslen(name) < NamedMutex::kNameCapacity;
}
}  // namespace

BOOL SyncObject::Close() { return handle_ ? CloseHandle(handle_.release()) : FALSE; }

bool NamedMutex::SetName(const wchar_t* name) {
  std::wmemset(buffer_, 0, kNameCapacity);
  name_ = nullptr;
  if (!name) return true;
  if (!NameFits(name)) return false;
  std::wcscpy(buffer_, name);
  name_ = buffer_;
  return true;
}

BOOL NamedMutex::Create() {
  if (!name_ || handle_) {
    if (!name_) SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  handle_.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name_));
  if (!handle_) {
    OpenSecurity security = OpenSecurity::NullDacl();
    handle_.reset(CreateMutexW(security.get(), FALSE, name_));
  }
  return handle_.valid();
}

BOOL NamedMutex::CreateUnnamed() {
  if (handle_) return TRUE;
  handle_.reset(CreateMutexW(nullptr, FALSE, nullptr));
  return handle_.valid();
}

HRESULT NamedMutex::CreateExclusive() {
  if (!name_) return E_INVALIDARG;
  if (handle_) return S_OK;
  OpenSecurity security = OpenSecurity::NullDacl();
  UniqueHandle mutex(CreateMutexW(security.get(), FALSE, name_));
  const DWORD error = GetLastError();
  if (!mutex) return HResultFromLastError();
  if (error == ERROR_ALREADY_EXISTS) return S_FALSE;
  handle_ = std::move(mutex);
  return S_OK;
}

BOOL NamedMutex::AlreadyExists() const {
  if (!name_) return FALSE;
  if (UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, name_))) return TRUE;
  // Anything but "not found" means an object of that name is there (another type, or one we
  // may not open).
  const DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

LockResult NamedMutex::Acquire(DWORD timeoutMs) {
  if (!handle_) return LockResult::Failed;
  switch (WaitForSingleObject(handle_.get(), timeoutMs)) {
    case WAIT_OBJECT_0: return LockResult::Acquired;
    case WAIT_ABANDONED: return LockResult::Abandoned;
    case WAIT_TIMEOUT: return LockResult::TimedOut;
    default: return LockResult::Failed;
  }
}

BOOL NamedMutex::Unlock() {
  if (!handle_) return FALSE;
  ReleaseMutex(handle_.get());
  return TRUE;
}

BOOL NamedMutex::Close() {
  if (!handle_) return FALSE;
  ReleaseMutex(handle_.get());  // harmless when not owned
  handle_.reset();
  return TRUE;
}

HRESULT NamedEvent::Create(const wchar_t* name, bool initialState) {
  Close();
  if (name && !NameFits(name)) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  OpenSecurity security = OpenSecurity::NullDacl();
  handle_.reset(CreateEventW(security.get(), TRUE, initialState ? TRUE : FALSE, name));
  if (!handle_) return HResultFromLastError();
  return GetLastError() == ERROR_ALREADY_EXISTS ? S_FALSE : S_OK;
}

HRESULT NamedEvent::Open(const wchar_t* name) {
  Close();
  if (!NameFits(name)) return name ? HResultFromWin32(ERROR_FILENAME_EXCED_RANGE) : E_INVALIDARG;
  handle_.reset(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
  return handle_ ? S_OK : HResultFromLastError();
}

void NamedEvent::Close() { handle_.reset(); }

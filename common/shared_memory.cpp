#include "common/shared_memory.h"

#include "common/hresult.h"
#include "common/security.h"

HRESULT SharedMemory::Create(const wchar_t* name, DWORD sizeHigh, DWORD sizeLow, BOOL* created) {
  Close();
  OpenSecurity security = OpenSecurity::Everyone(OpenSecurity::kSectionAllAccess);
  SECURITY_ATTRIBUTES* attributes = security.get();
  if (!attributes) return HResultFromLastError();
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, sizeHigh,
                                      sizeLow, name);
  if (!mapping) return HResultFromLastError();
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeLow);
  if (!view) {
    const HRESULT hr = HResultFromLastError();
    CloseHandle(mapping);
    return hr;
  }
  if (created) *created = existed ? FALSE : TRUE;
  mapping_ = mapping;
  view_ = view;
  size_ = sizeLow;
  return S_OK;
}

void SharedMemory::Close() {
  if (view_) UnmapViewOfFile(view_);
  view_ = nullptr;
  if (mapping_ != INVALID_HANDLE_VALUE && mapping_ != nullptr) CloseHandle(mapping_);
  mapping_ = INVALID_HANDLE_VALUE;
  size_ = 0;
}

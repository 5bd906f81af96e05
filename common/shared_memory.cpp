#include "common/shared_memory.h"

#include <utility>

#include "common/hresult.h"
#include "common/security.h"

HRESULT SharedMemory::Create(const wchar_t* name, DWORD sizeHigh, DWORD sizeLow, BOOL* created) {
  Close();
  OpenSecurity security = OpenSecurity::Everyone(OpenSecurity::kSectionAllAccess);
  SECURITY_ATTRIBUTES* attributes = security.get();
  if (!attributes) return HResultFromLastError();
  // The page file backs the section: CreateFileMappingW takes INVALID_HANDLE_VALUE for "no file".
  UniqueHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, sizeHigh,
                                          sizeLow, name));
  if (!mapping) return HResultFromLastError();
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeLow));
  if (!view) return HResultFromLastError();
  if (created) *created = existed ? FALSE : TRUE;
  mapping_ = std::move(mapping);
  view_ = std::move(view);
  size_ = sizeLow;
  return S_OK;
}

void SharedMemory::Close() {
  view_.reset();  // the view goes before its section
  mapping_.reset();
  size_ = 0;
}

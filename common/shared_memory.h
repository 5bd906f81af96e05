// A named section on the page file with one read/write view, created with an Everyone entry so
// that processes of other users and services can map it.
#pragma once

#include <windows.h>

#include "common/handles.h"

class SharedMemory {
 public:
  SharedMemory() = default;
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;
  virtual ~SharedMemory() { Close(); }

  // Creates the section or opens the existing one of that name, and maps `sizeLow` bytes.
  // `created` (may be null) receives TRUE when the section is new. Any mapping held before is
  // closed first. On failure nothing is held and the Win32 error is returned as an HRESULT.
  virtual HRESULT Create(const wchar_t* name, DWORD sizeHigh, DWORD sizeLow, BOOL* created = nullptr);
  void Close();

  void* view() const noexcept { return view_.get(); }
  template <class T>
  T* As() const noexcept { return static_cast<T*>(view_.get()); }
  HANDLE handle() const noexcept { return mapping_.get(); }  // null while nothing is held
  DWORD size() const noexcept { return size_; }

 private:
  UniqueHandle mapping_;
  UniqueMappedView view_;
  DWORD size_ = 0;
};

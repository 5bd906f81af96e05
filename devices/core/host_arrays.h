// Arrays handed to the host: allocated with CoTaskMemAlloc, freed by the host with
// CoTaskMemFree. An empty answer is a count of 0 and a null array.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

// Copies `n` records into a new task-memory array for the host. The outputs are cleared first;
// a failed allocation leaves them cleared and answers E_OUTOFMEMORY (never S_OK with nothing).
template <class T, class Count>
HRESULT HandOutArray(const T* items, std::size_t n, Count* count, T** out) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  *count = 0;
  *out = nullptr;
  if (n == 0) return S_OK;
  auto* copy = static_cast<T*>(CoTaskMemAlloc(n * sizeof(T)));
  if (!copy) return E_OUTOFMEMORY;
  std::memcpy(copy, items, n * sizeof(T));
  *count = static_cast<Count>(n);
  *out = copy;
  return S_OK;
}

// A setting the device offers one value of: the list the host is handed, the reading, and the
// answer to a setting (`refused` for any other value). Null outputs: E_POINTER.
struct SingleChoice {
  ULONG value;
  HRESULT refused;

  HRESULT List(long* count, ULONG** values) const noexcept {
    if (!count || !values) return E_POINTER;
    return HandOutArray(&value, 1, count, values);
  }
  HRESULT Get(ULONG* out) const noexcept {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
  }
  HRESULT Set(ULONG requested) const noexcept { return requested == value ? S_OK : refused; }
};

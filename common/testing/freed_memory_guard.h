// A guard for uses of freed memory. While a FreedMemoryGuard lives, every allocation of the
// program's global operator new gets pages of its own, and freeing it makes its pages no-access
// and keeps them out of use: a later touch of the block faults. The fault is counted (the first
// address and thread kept) and the page made accessible again, so the toucher carries on as it
// would on a heap that had not reused the block; the test reads the count.
//
// A program uses it by listing common/testing/freed_memory_guard.cpp among its sources: that
// file replaces the program's global operator new and delete (malloc and free while no guard
// lives). Blocks handed out while armed stay guarded until freed, also after the guard is gone.
// Code in other modules (DLLs) allocates through its own operator new and is not guarded.
#pragma once

#include <windows.h>

namespace testing_support {

class FreedMemoryGuard {
 public:
  FreedMemoryGuard();
  ~FreedMemoryGuard();
  FreedMemoryGuard(const FreedMemoryGuard&) = delete;
  FreedMemoryGuard& operator=(const FreedMemoryGuard&) = delete;

  // Touches of freed blocks since the guard was made.
  long Touches() const;
  // The first touch: the address and the thread (0 while none).
  const void* FirstAddress() const;
  DWORD FirstThread() const;
  // False when the guard's address space could not be reserved (nothing is guarded then).
  bool Armed() const;
};

}  // namespace testing_support

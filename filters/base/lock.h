// Locks of the filter classes: the common library's critical section and a scoped holder that
// always waits (a filter lock is never given up on).
//
// Lock order, for every filter built on these classes:
//   1. the filter (state) lock: state changes, connections, allocator choice;
//   2. the streaming (receive) lock of a derived filter: the Receive path.
// A thread holding the streaming lock never takes the state lock. Stop takes the state lock,
// leaves the running state (pins inactive: allocators decommitted, blocked GetBuffer calls
// released), and only then may wait for the streaming lock.
// Across filters, an upstream filter's lock may be held while a downstream filter's is taken
// (connection and allocator negotiation), never the other way round.
#pragma once

#include "common/locks.h"

using CCritSec = CriticalSection;

class CAutoLock {
 public:
  explicit CAutoLock(CCritSec* lock) : guard_(*lock, INFINITE) {}
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  LockGuard guard_;
};

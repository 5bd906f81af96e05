// The kept mappings of the service process: sections made by CreateTunerInfo that did not exist
// before stay open here (handle and view) until the server stops, so that they outlive the
// client that asked for them.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "common/locks.h"
#include "common/shared_memory.h"

namespace mappingsvc {

class MappingRegistry {
 public:
  // CreateTunerInfo waits this long for the registry (a critical section ignores it).
  static constexpr DWORD kLockTimeoutMs = 15000;

  MappingRegistry() = default;
  MappingRegistry(const MappingRegistry&) = delete;
  MappingRegistry& operator=(const MappingRegistry&) = delete;
  ~MappingRegistry() { Clear(); }

  // The lock a caller holds across its create-and-keep step.
  SyncObject& lock() noexcept { return lock_; }

  // Keeps `memory`. Called with the lock held. May throw std::bad_alloc; `memory` then still
  // owns the section (the vector allocates before it takes the element).
  void Add(std::unique_ptr<SharedMemory>&& memory) { kept_.push_back(std::move(memory)); }

  // Unmaps and closes every kept mapping (the server is stopping). Takes the lock.
  void Clear();

  std::size_t size();

 private:
  CriticalSection lock_;
  std::vector<std::unique_ptr<SharedMemory>> kept_;
};

}  // namespace mappingsvc

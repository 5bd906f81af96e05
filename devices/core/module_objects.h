// What a COM server module counts for DllCanUnloadNow: its live objects and its class-factory
// locks. One set of counters per module (the core is linked statically into each).
#pragma once

#include <atomic>

class ModuleObjects {
 public:
  static void ObjectCreated() noexcept { ++objects_; }
  static void ObjectDestroyed() noexcept { --objects_; }
  static void Lock(bool lock) noexcept { locks_ += lock ? 1 : -1; }
  static long objects() noexcept { return objects_.load(); }
  static bool CanUnload() noexcept { return objects_.load() == 0 && locks_.load() == 0; }

 private:
  static inline std::atomic<long> objects_{0};
  static inline std::atomic<long> locks_{0};
};

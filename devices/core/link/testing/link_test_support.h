// Test support for the driver links: the bytes of an expected command packet, the code an
// operation threw, and a device I/O mutex held by another thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"

namespace link_testing {

inline void PutWord(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

// A property-set identifier as it lies in memory, then id, direction and the values.
inline std::vector<std::uint8_t> Packet(const std::uint8_t (&set)[16], std::uint32_t id, std::uint32_t direction,
                                        std::initializer_list<std::uint32_t> values) {
  std::vector<std::uint8_t> bytes(set, set + 16);
  PutWord(bytes, id);
  PutWord(bytes, direction);
  for (std::uint32_t value : values) PutWord(bytes, value);
  return bytes;
}

// The code `f` threw as HResultError, S_OK when it returned.
inline HRESULT Thrown(const std::function<void()>& f) {
  try {
    f();
  } catch (const HResultError& e) {
    return e.code();
  }
  return S_OK;
}

// Takes the named mutex on a thread of its own and holds it until Release (or destruction), so
// that a link's requests meet a mutex held elsewhere.
class HeldMutex {
 public:
  explicit HeldMutex(const std::wstring& name)
      : holder_([this, name] {
          NamedMutex mutex(name.c_str());
          mutex.Create();
          LockGuard guard(mutex, 5000);
          SetEvent(taken_.get());
          WaitForSingleObject(release_.get(), 10000);
        }) {}
  ~HeldMutex() { Release(); }
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;

  // True once the thread holds the mutex (waits up to 10 s).
  bool Taken() const { return WaitForSingleObject(taken_.get(), 10000) == WAIT_OBJECT_0; }
  void Release() {
    SetEvent(release_.get());
    if (holder_.joinable()) holder_.join();
  }

 private:
  UniqueHandle taken_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  UniqueHandle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::thread holder_;
};

}  // namespace link_testing

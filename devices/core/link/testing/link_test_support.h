// Test support for the driver links: the bytes of an expected command packet, and the code an
// operation threw.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "common/hresult.h"

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

}  // namespace link_testing

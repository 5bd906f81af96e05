// Test support: a seeded mutation driver for the parsers that need the platform (and so cannot
// be built as host libFuzzer targets). It runs a target on a fixed count of inputs grown from
// seeds, each handed in a buffer that ends exactly at a no-access page, so that an over-read
// faults at once; an input that runs longer than the time bound is a hang.
//
// The run is repeatable: the inputs follow from the seed (VORN_FUZZ_SEED, else a fixed one mixed
// with the target's name). VORN_FUZZ_RUNS sets the count for a long run by hand; without it
// each target runs its own small count. A fault (an exception the target does not handle,
// such as an access violation) prints the input that caused it before the process ends; a
// failed invariant or a hang ends the run with the input in the result.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fuzzing {

using Bytes = std::vector<std::uint8_t>;

// A little-endian size or count field of an input, for structure-aware lies.
struct SizeField {
  std::size_t offset;
  std::size_t width;  // 1, 2 or 4
};

struct Target {
  const char* name = "target";
  std::vector<Bytes> seeds;
  // Checks one input: an empty string when every invariant holds, else what failed. May throw
  // (a C++ exception is a failure too).
  std::function<std::string(const std::uint8_t* data, std::size_t size)> check;
  // The size fields of an input, where the target knows its layout (may be empty).
  std::function<std::vector<SizeField>(const Bytes& input)> sizeFields;
  std::size_t maxSize = 4096;
  unsigned defaultRuns = 2000;
  DWORD timeBoundMs = 5000;  // an input that takes longer is a hang
};

struct Result {
  unsigned runs = 0;         // inputs checked (seeds included)
  std::string failure;       // empty when every input passed
  Bytes input;               // the input that failed
};

// The inputs a run takes: VORN_FUZZ_RUNS when set, else `defaultRuns`.
unsigned RunCount(unsigned defaultRuns);

// Runs the seeds, then mutations of them, on a thread of its own (COM initialised, MTA).
// Stops at the first failure.
Result Run(const Target& target);

// A fresh mutation of `input` (one to four stacked steps), for the tests of the driver itself.
class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  std::size_t Below(std::size_t bound) { return bound ? static_cast<std::size_t>(Next() % bound) : 0; }
  Bytes Mutate(const Bytes& input, const std::vector<Bytes>& seeds, const std::vector<SizeField>& fields,
               std::size_t maxSize);

 private:
  std::uint64_t state_;
};

// An input as hex, 32 bytes a line, for failure messages and regression tests.
std::string Hex(const std::uint8_t* data, std::size_t size);
inline std::string Hex(const Bytes& bytes) { return Hex(bytes.data(), bytes.size()); }

// A buffer whose last byte sits just before a no-access page.
class GuardedBuffer {
 public:
  GuardedBuffer() = default;
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  ~GuardedBuffer();
  // Copies `size` bytes so that they end at the guard page; the pointer stays valid until the
  // next Place.
  std::uint8_t* Place(const std::uint8_t* data, std::size_t size);

 private:
  std::uint8_t* base_ = nullptr;
  std::size_t usable_ = 0;  // committed read-write bytes before the guard page
};

// Little-endian field access for targets and their regression tests.
inline std::uint32_t ReadLe(const std::uint8_t* p, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= static_cast<std::uint32_t>(p[i]) << (8 * i);
  return value;
}
inline void WriteLe(std::uint8_t* p, std::size_t width, std::uint32_t value) {
  for (std::size_t i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace fuzzing

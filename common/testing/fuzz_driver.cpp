#include "common/testing/fuzz_driver.h"

#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "common/handles.h"
#include "common/testing/time_scale.h"

namespace fuzzing {
namespace {

constexpr std::uint64_t kFixedSeed = 0x56F0221E5EEDull;

std::uint64_t SeedFor(const char* name) {
  const char* text = std::getenv("VORN_FUZZ_SEED");
  std::uint64_t seed = text ? std::strtoull(text, nullptr, 10) : kFixedSeed;
  for (const char* p = name; p && *p; ++p) seed = (seed ^ static_cast<std::uint8_t>(*p)) * 0x100000001B3ull;
  return seed;
}

std::size_t PageSize() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize;
}

// What the fault handler prints: the input the fuzz thread is checking, if any.
std::atomic<DWORD> g_fuzzThread{0};
std::atomic<const std::uint8_t*> g_input{nullptr};
std::atomic<std::size_t> g_inputSize{0};
std::atomic<const char*> g_targetName{nullptr};

bool IsFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
    case STATUS_HEAP_CORRUPTION:
    case STATUS_STACK_BUFFER_OVERRUN:
      return true;
    default:
      return false;
  }
}

// First chance: the process is about to end through the unhandled-exception filter, so the
// input goes out now (the search goes on unchanged).
LONG WINAPI PrintFaultingInput(EXCEPTION_POINTERS* info) {
  const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  const std::uint8_t* input = g_input.load();
  if (!IsFault(code) || GetCurrentThreadId() != g_fuzzThread.load() || !input) return EXCEPTION_CONTINUE_SEARCH;
  const std::size_t size = g_inputSize.load();
  std::fprintf(stderr, "fuzz %s: fault 0x%08lx on a %u-byte input:\n%s\n", g_targetName.load(),
               static_cast<unsigned long>(code), static_cast<unsigned>(size), Hex(input, size).c_str());
  std::fflush(stderr);
  return EXCEPTION_CONTINUE_SEARCH;
}

// The thread that checks the inputs, one at a time, as the run hands them over.
struct Worker {
  const Target* target = nullptr;
  UniqueHandle go{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle done{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool stop = false;
  std::string failure;

  static DWORD WINAPI Main(void* param) {
    auto* self = static_cast<Worker*>(param);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    g_fuzzThread = GetCurrentThreadId();
    for (;;) {
      WaitForSingleObject(self->go.get(), INFINITE);
      if (self->stop) break;
      g_input = self->data;
      g_inputSize = self->size;
      try {
        self->failure = self->target->check(self->data, self->size);
      } catch (const std::exception& e) {
        self->failure = std::string("exception: ") + e.what();
      } catch (...) {
        self->failure = "exception";
      }
      g_input = nullptr;
      SetEvent(self->done.get());
    }
    g_fuzzThread = 0;
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
  }
};

}  // namespace

unsigned RunCount(unsigned defaultRuns) {
  const char* text = std::getenv("VORN_FUZZ_RUNS");
  if (!text || !*text) return defaultRuns;
  return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
}

std::uint64_t Mutator::Next() {
  // splitmix64: every seed gives a full-period, well-mixed sequence.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Bytes Mutator::Mutate(const Bytes& input, const std::vector<Bytes>& seeds, const std::vector<SizeField>& fields,
                      std::size_t maxSize) {
  static constexpr std::uint32_t kBoundaries[] = {0, 1, 2, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF,
                                                  0x10000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  Bytes out = input;
  const int steps = 1 + static_cast<int>(Below(4));
  for (int step = 0; step < steps; ++step) {
    const std::size_t kind = Below(fields.empty() ? 8 : 10);
    switch (kind) {
      case 0:  // flip a bit
        if (!out.empty()) out[Below(out.size())] ^= static_cast<std::uint8_t>(1u << Below(8));
        break;
      case 1: {  // set a byte to a boundary value
        static constexpr std::uint8_t kByteValues[] = {0, 1, 0x7F, 0x80, 0xFF};
        if (!out.empty()) out[Below(out.size())] = kByteValues[Below(sizeof(kByteValues))];
        break;
      }
      case 2: {  // set a word to a boundary value (or one near the input's size)
        static constexpr std::size_t kWidths[] = {2, 4};
        const std::size_t width = kWidths[Below(2)];
        if (out.size() < width) break;
        std::uint32_t value = kBoundaries[Below(std::size(kBoundaries))];
        if (Below(4) == 0) value = static_cast<std::uint32_t>(out.size() + Below(3) - 1);
        WriteLe(out.data() + Below(out.size() - width + 1), width, value);
        break;
      }
      case 3:  // cut short
        out.resize(Below(out.size() + 1));
        break;
      case 4: {  // extend with random bytes or zeros
        const std::size_t more = 1 + Below(Below(2) ? 8 : 256);
        const bool zeros = Below(2) == 0;
        for (std::size_t i = 0; i < more; ++i) out.push_back(zeros ? 0 : static_cast<std::uint8_t>(Next()));
        break;
      }
      case 5: {  // splice: this input's head with another seed's tail
        const Bytes& other = seeds[Below(seeds.size())];
        const std::size_t head = Below(out.size() + 1);
        const std::size_t from = Below(other.size() + 1);
        out.resize(head);
        out.insert(out.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
      case 6: {  // erase a run
        if (out.empty()) break;
        const std::size_t at = Below(out.size());
        const std::size_t count = 1 + Below(std::min<std::size_t>(out.size() - at, 16));
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(at + count));
        break;
      }
      case 7: {  // repeat a run
        if (out.empty()) break;
        const std::size_t at = Below(out.size());
        const std::size_t count = 1 + Below(std::min<std::size_t>(out.size() - at, 32));
        const Bytes run(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(at + count));
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(Below(out.size() + 1)), run.begin(), run.end());
        break;
      }
      default: {  // a size field that lies
        const SizeField field = fields[Below(fields.size())];
        if (field.offset + field.width > out.size()) break;
        const std::uint32_t actual = ReadLe(out.data() + field.offset, field.width);
        const std::uint32_t lies[] = {0,
                                      actual - 1,
                                      actual + 1,
                                      actual * 2,
                                      static_cast<std::uint32_t>(out.size()),
                                      static_cast<std::uint32_t>(out.size() + 1),
                                      kBoundaries[Below(std::size(kBoundaries))],
                                      static_cast<std::uint32_t>(Next())};
        WriteLe(out.data() + field.offset, field.width, lies[Below(std::size(lies))]);
        break;
      }
    }
  }
  if (out.size() > maxSize) out.resize(maxSize);
  return out;
}

std::string Hex(const std::uint8_t* data, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (i) text += (i % 32 == 0) ? '\n' : ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

GuardedBuffer::~GuardedBuffer() {
  if (base_) VirtualFree(base_, 0, MEM_RELEASE);
}

std::uint8_t* GuardedBuffer::Place(const std::uint8_t* data, std::size_t size) {
  const std::size_t page = PageSize();
  if (!base_ || size > usable_) {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    usable_ = std::max<std::size_t>(page, (size + page - 1) / page * page);
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, usable_ + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base_) throw std::bad_alloc();
    DWORD old = 0;
    if (!VirtualProtect(base_ + usable_, page, PAGE_NOACCESS, &old)) throw std::bad_alloc();
  }
  std::uint8_t* start = base_ + usable_ - size;
  if (size) std::memcpy(start, data, size);
  return start;
}

Result Run(const Target& target) {
  Result result;
  const unsigned runs = std::max<unsigned>(RunCount(target.defaultRuns), static_cast<unsigned>(target.seeds.size()));
  Mutator mutator(SeedFor(target.name));
  // The worker and the buffer live on the heap: after a hang both are left to the stuck thread.
  auto* buffer = new GuardedBuffer;
  auto* worker = new Worker;
  worker->target = &target;
  g_targetName = target.name;
  PVOID handler = AddVectoredExceptionHandler(1, PrintFaultingInput);
  UniqueHandle thread(CreateThread(nullptr, 0, &Worker::Main, worker, 0, nullptr));
  if (!thread.valid()) {
    result.failure = "no fuzz thread";
    delete worker;
    delete buffer;
    return result;
  }
  std::vector<Bytes> seeds = target.seeds;
  if (seeds.empty()) seeds.push_back({});
  bool hung = false;
  const DWORD started = GetTickCount();
  const DWORD bound = testing_support::ScaledBound(target.timeBoundMs);
  for (unsigned i = 0; i < runs; ++i) {
    Bytes input = i < target.seeds.size() ? target.seeds[i] : seeds[mutator.Below(seeds.size())];
    if (i >= target.seeds.size()) {
      const std::vector<SizeField> fields = target.sizeFields ? target.sizeFields(input) : std::vector<SizeField>{};
      input = mutator.Mutate(input, seeds, fields, target.maxSize);
    }
    worker->data = buffer->Place(input.data(), input.size());
    worker->size = input.size();
    SetEvent(worker->go.get());
    ++result.runs;
    if (WaitForSingleObject(worker->done.get(), bound) != WAIT_OBJECT_0) {
      result.failure = "hang: no answer within " + std::to_string(bound) + " ms";
      result.input = input;
      hung = true;
      break;
    }
    if (!worker->failure.empty()) {
      result.failure = worker->failure;
      result.input = input;
      break;
    }
    // A mutation that keeps the invariants joins the pool now and then, so later steps build on it.
    if (i >= target.seeds.size() && mutator.Below(8) == 0) {
      if (seeds.size() < 256) seeds.push_back(std::move(input));
      else seeds[mutator.Below(seeds.size())] = std::move(input);
    }
  }
  std::printf("fuzz %s: %u inputs in %lu ms%s\n", target.name, result.runs,
              static_cast<unsigned long>(GetTickCount() - started), result.failure.empty() ? "" : ", FAILED");
  if (!result.failure.empty()) {
    std::printf("fuzz %s: %s on a %u-byte input:\n%s\n", target.name, result.failure.c_str(),
                static_cast<unsigned>(result.input.size()), Hex(result.input).c_str());
  }
  std::fflush(stdout);
  if (hung) {
    thread.release();  // the stuck thread keeps the worker and the buffer
  } else {
    worker->stop = true;
    SetEvent(worker->go.get());
    WaitForSingleObject(thread.get(), INFINITE);
    delete worker;
    delete buffer;
  }
  RemoveVectoredExceptionHandler(handler);
  return result;
}

}  // namespace fuzzing

#include "common/testing/freed_memory_guard.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

constexpr size_t kPage = 4096;
// The guard's address space: each block takes whole pages and none is used twice.
constexpr size_t kRegionBytes = size_t{128} << 20;
constexpr size_t kHeader = 16;  // the block's page count, keeping the block 16-aligned

std::atomic<int> g_armed{0};
std::atomic<BYTE*> g_region{nullptr};
std::atomic<size_t> g_used{0};
std::atomic<long> g_touches{0};
std::atomic<const void*> g_firstAddress{nullptr};
std::atomic<DWORD> g_firstThread{0};

bool InRegion(const void* p) {
  const BYTE* region = g_region.load();
  return region && p >= region && p < region + kRegionBytes;
}

LONG CALLBACK OnFault(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  void* address = reinterpret_cast<void*>(record->ExceptionInformation[1]);
  if (!InRegion(address)) return EXCEPTION_CONTINUE_SEARCH;
  const void* none = nullptr;
  if (g_firstAddress.compare_exchange_strong(none, address)) g_firstThread = GetCurrentThreadId();
  ++g_touches;
  void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(address) & ~(uintptr_t{kPage} - 1));
  DWORD old = 0;
  if (!VirtualProtect(page, kPage, PAGE_READWRITE, &old)) return EXCEPTION_CONTINUE_SEARCH;
  return EXCEPTION_CONTINUE_EXECUTION;
}

void* Allocate(size_t size) {
  if (g_armed.load() > 0 && g_region.load() && size <= kRegionBytes / 4) {
    const size_t pages = (size + kHeader + kPage - 1) / kPage;
    const size_t offset = g_used.fetch_add(pages * kPage);
    if (offset + pages * kPage <= kRegionBytes) {
      BYTE* base = g_region.load() + offset;
      if (VirtualAlloc(base, pages * kPage, MEM_COMMIT, PAGE_READWRITE)) {
        *reinterpret_cast<size_t*>(base) = pages;
        return base + kHeader;
      }
    }
  }
  return std::malloc(size ? size : 1);
}

void Free(void* p) {
  if (!p) return;
  if (!InRegion(p)) {
    std::free(p);
    return;
  }
  BYTE* base = static_cast<BYTE*>(p) - kHeader;
  const size_t pages = *reinterpret_cast<size_t*>(base);
  DWORD old = 0;
  VirtualProtect(base, pages * kPage, PAGE_NOACCESS, &old);
}

}  // namespace

namespace testing_support {

FreedMemoryGuard::FreedMemoryGuard() {
  if (!g_region.load()) {
    void* region = VirtualAlloc(nullptr, kRegionBytes, MEM_RESERVE, PAGE_NOACCESS);
    if (region) {
      g_region = static_cast<BYTE*>(region);
      AddVectoredExceptionHandler(1, &OnFault);  // for the process's life: the pages stay guarded
    }
  }
  g_touches = 0;
  g_firstAddress = nullptr;
  g_firstThread = 0;
  ++g_armed;
}

FreedMemoryGuard::~FreedMemoryGuard() { --g_armed; }

long FreedMemoryGuard::Touches() const { return g_touches.load(); }
const void* FreedMemoryGuard::FirstAddress() const { return g_firstAddress.load(); }
DWORD FreedMemoryGuard::FirstThread() const { return g_firstThread.load(); }
bool FreedMemoryGuard::Armed() const { return g_region.load() != nullptr; }

}  // namespace testing_support

// The program's global allocation functions (the nothrow, array and sized forms of the
// runtime call these).
void* operator new(size_t size) {
  void* p = Allocate(size);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }

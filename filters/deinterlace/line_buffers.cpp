#include "filters/deinterlace/line_buffers.h"

#include <cstring>
#include <new>

namespace deinterlace {

namespace {
constexpr std::size_t kBlockAlignment = 64;
}

void ReplicateLumaEdges(std::uint8_t* line, int width, int groups) noexcept {
  if (!line || width <= 0) return;
  const int end = 16 * groups + kLineGuard;
  std::memset(line - kLineGuard, line[0], kLineGuard);
  if (end > width) std::memset(line + width, line[width - 1], static_cast<std::size_t>(end - width));
}

namespace {
// bytes[i] = even for even i, odd for odd i, in copies of a 16-byte pattern.
void FillAlternating(std::uint8_t* bytes, std::size_t count, std::uint8_t even, std::uint8_t odd) noexcept {
  std::uint8_t pattern[16];
  for (int k = 0; k < 16; k += 2) {
    pattern[k] = even;
    pattern[k + 1] = odd;
  }
  for (; count >= sizeof(pattern); count -= sizeof(pattern), bytes += sizeof(pattern)) {
    std::memcpy(bytes, pattern, sizeof(pattern));
  }
  std::memcpy(bytes, pattern, count);
}
}  // namespace

void ReplicateChromaEdges(std::uint8_t* line, int width, int groups) noexcept {
  if (!line || width <= 0) return;
  const int end = 16 * groups + kLineGuard;
  // In front the guard starts at an even position: U0, V0 (U0 alone for a one-pixel row).
  FillAlternating(line - kLineGuard, kLineGuard, line[0], width > 1 ? line[1] : line[0]);
  // Past the width, position i takes the last pixel of its parity: the one before the last
  // first, since the last itself sits at the other parity.
  if (end > width) {
    const std::uint8_t beforeLast = width > 1 ? line[width - 2] : line[0];
    FillAlternating(line + width, static_cast<std::size_t>(end - width), beforeLast, line[width - 1]);
  }
}

void LineBlock::Free::operator()(std::uint8_t* p) const noexcept {
  ::operator delete[](p, std::align_val_t(kBlockAlignment));
}

bool LineBlock::Allocate(int lines, int groups) noexcept {
  if (lines <= 0 || groups <= 0) return false;
  // Each line starts 32-byte aligned: guard + payload + guard, rounded to 32 bytes.
  const std::size_t stride = (static_cast<std::size_t>(groups) * 16 + 2 * kLineGuard + 31) & ~std::size_t{31};
  const std::size_t bytes = stride * static_cast<std::size_t>(lines);
  auto* p = static_cast<std::uint8_t*>(::operator new[](bytes, std::align_val_t(kBlockAlignment), std::nothrow));
  if (!p) return false;
  std::memset(p, 0, bytes);
  block_.reset(p);
  stride_ = stride;
  groups_ = groups;
  return true;
}

ChromaLineRing::ChromaLineRing() { Reserve(720); }

HRESULT ChromaLineRing::Reserve(int width) {
  const int groups = BlockCount16(width);
  if (groups <= block_.groups()) return S_OK;
  if (!block_.Allocate(kSlots, groups)) return E_OUTOFMEMORY;
  for (int i = 0; i < kSlots; ++i) slots_[i] = block_.Line(i);
  outputSlot_ = 1;
  return S_OK;
}

int ChromaLineRing::Select(int k) {
  if (k >= 0 && k <= 5) {
    outputSlot_ = k + 1;
    return 0;
  }
  outputSlot_ = 1;
  return 1;
}

void ChromaLineRing::Rotate() noexcept {
  std::uint8_t* oldest = slots_[kSlots - 1];
  for (int i = kSlots - 1; i > 0; --i) slots_[i] = slots_[i - 1];
  slots_[0] = oldest;
}

PlanarLineSet::PlanarLineSet() { Reserve(720); }

HRESULT PlanarLineSet::Reserve(int width) {
  const int groups = PlanarLineGroups(width);
  if (groups <= block_.groups()) return S_OK;
  if (!block_.Allocate(2 * kRoles + kDirections, groups)) return E_OUTOFMEMORY;
  heldBelow_ = {};
  return S_OK;
}

}  // namespace deinterlace

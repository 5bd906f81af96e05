// CPUID decoding. GCC's <cpuid.h> reports "no CPUID" itself on processors without the
// instruction, so no exception guard is needed around it.
#include "filters/deinterlace/cpu_features.h"

#include <cpuid.h>

#include <atomic>
#include <cstring>

namespace deinterlace {

namespace {

bool Bit(std::uint32_t value, int bit) { return ((value >> bit) & 1u) != 0; }

std::atomic<bool> g_hasOverride{false};
std::atomic<std::uint32_t> g_override{0};

}  // namespace

std::uint32_t MaskFromRawFeatures(std::uint32_t raw) {
  std::uint32_t mask = 0;
  const bool has3DNow = (raw & kRaw3DNow) != 0;
  const bool hasMmx = (raw & kRawMmx) != 0;
  if (has3DNow && hasMmx) {
    mask = kCpuMmx | kCpu3DNow;
  } else if (has3DNow) {
    mask = kCpu3DNow;
  } else if (hasMmx) {
    mask = kCpuMmx;
  }
  if (raw & 0x2300u) mask |= kCpuSseInteger;  // SSE, extended MMX or extended 3DNow!
  if (raw & kRawSse2) mask |= kCpuSse2;
  if (raw & kRawSse3) mask |= kCpuSse3;
  return mask;
}

CpuFeatures ComputeCpuFeatures(const CpuidLeaves& leaves) {
  CpuFeatures result;
  if (!leaves.hasCpuid) return result;
  std::uint32_t raw = kRawCpuid;
  if (leaves.maxStandardLeaf > 0) {
    raw |= kRawStandardLeaves;
    const std::uint32_t edx = leaves.leaf1Edx;
    if (Bit(edx, 4)) raw |= kRawTsc;
    if (Bit(edx, 23)) raw |= kRawMmx;
    if (Bit(edx, 15)) raw |= kRawCmov;
    if (Bit(edx, 12)) raw |= kRawMtrr;
    if (Bit(edx, 25)) raw |= kRawSse;
    if (Bit(edx, 26)) raw |= kRawSse2;
    if (Bit(leaves.leaf1Ecx, 0)) raw |= kRawSse3;
  }
  if (leaves.maxExtendedLeaf > 0x80000000u) {
    raw |= kRawExtendedLeaves;
    const std::uint32_t edx = leaves.extendedLeaf1Edx;
    if (Bit(edx, 31)) raw |= kRaw3DNow;
    if (std::strcmp(leaves.vendor, "AuthenticAMD") == 0) {
      if (Bit(edx, 30)) raw |= kRawExtended3DNow;
      if (!(raw & kRawExtendedMmx) && Bit(edx, 22)) raw |= kRawExtendedMmx;
      const std::uint32_t signature = leaves.leaf1Eax & 0xFFFu;
      if (signature >= 0x588u && signature < 0x600u) raw |= kRawAmdSignature;
    }
  }
  result.raw = raw;
  result.mask = MaskFromRawFeatures(raw);
  return result;
}

CpuidLeaves ReadCpuidLeaves() {
  CpuidLeaves leaves;
  unsigned int a = 0, b = 0, c = 0, d = 0;
  // 0 means "no CPUID instruction" on i686 (and, harmlessly, a processor with leaf 0 only).
  if (__get_cpuid_max(0, nullptr) == 0) return leaves;
  __cpuid(0, a, b, c, d);
  leaves.hasCpuid = true;
  leaves.maxStandardLeaf = a;
  std::memcpy(leaves.vendor + 0, &b, 4);
  std::memcpy(leaves.vendor + 4, &d, 4);
  std::memcpy(leaves.vendor + 8, &c, 4);
  leaves.vendor[12] = '\0';
  if (leaves.maxStandardLeaf > 0) {
    __cpuid(1, a, b, c, d);
    leaves.leaf1Eax = a;
    leaves.leaf1Ecx = c;
    leaves.leaf1Edx = d;
  }
  __cpuid(0x80000000u, a, b, c, d);
  leaves.maxExtendedLeaf = a;
  if (leaves.maxExtendedLeaf > 0x80000000u) {
    __cpuid(0x80000001u, a, b, c, d);
    leaves.extendedLeaf1Edx = d;
  }
  return leaves;
}

std::uint32_t ProcessorMask::Detected() {
  static const std::uint32_t mask = ComputeCpuFeatures(ReadCpuidLeaves()).mask;
  return mask;
}

std::uint32_t ProcessorMask::Get() {
  if (g_hasOverride.load(std::memory_order_acquire)) return g_override.load(std::memory_order_relaxed);
  return Detected();
}

void ProcessorMask::SetOverride(std::uint32_t mask) {
  g_override.store(mask, std::memory_order_relaxed);
  g_hasOverride.store(true, std::memory_order_release);
}

void ProcessorMask::ClearOverride() { g_hasOverride.store(false, std::memory_order_release); }

bool ProcessorScore(std::uint32_t mask, std::int32_t* score) noexcept {
  std::int32_t value;
  if (mask & kCpuSse2) {
    value = 40;
  } else if (mask & kCpuSseInteger) {
    value = 35;
  } else if (mask & kCpuMmx) {
    value = 30;
  } else {
    return false;
  }
  if (score) *score = value;
  return true;
}

}  // namespace deinterlace

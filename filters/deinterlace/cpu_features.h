// Processor feature detection: one capability mask per process, computed once from CPUID.
// The filter runs its SIMD field kernels when the mask has SSE2 or SSE3 and falls back to the
// whole-frame methods (the "MMX path") otherwise.
#pragma once

#include <cstdint>

namespace deinterlace {

// Bits of the capability mask.
enum CpuMaskBit : std::uint32_t {
  kCpuMmx = 1,
  kCpu3DNow = 2,
  kCpuSseInteger = 4,  // SSE, or the AMD extended MMX / extended 3DNow! integer instructions
  kCpuSse2 = 8,
  kCpuSse3 = 16,
};

// Bits of the raw feature word built from the CPUID leaves.
enum CpuRawBit : std::uint32_t {
  kRawCpuid = 0x1,
  kRawStandardLeaves = 0x2,
  kRawExtendedLeaves = 0x4,
  kRawTsc = 0x10,
  kRawMmx = 0x20,
  kRawCmov = 0x40,
  kRaw3DNow = 0x80,
  kRawExtended3DNow = 0x100,
  kRawExtendedMmx = 0x200,
  kRawAmdSignature = 0x800,
  kRawMtrr = 0x1000,
  kRawSse = 0x2600,  // SSE implies the extended MMX instructions
  kRawSse2 = 0x4000,
  kRawSse3 = 0x8000,
};

// What the CPUID instruction reported; a processor without CPUID leaves everything zero.
struct CpuidLeaves {
  bool hasCpuid = false;
  char vendor[13] = "UnknownVendr";
  std::uint32_t maxStandardLeaf = 0;
  std::uint32_t leaf1Eax = 0;  // signature (family, model, stepping)
  std::uint32_t leaf1Ecx = 0;
  std::uint32_t leaf1Edx = 0;
  std::uint32_t maxExtendedLeaf = 0;
  std::uint32_t extendedLeaf1Edx = 0;
};

struct CpuFeatures {
  std::uint32_t raw = 0;
  std::uint32_t mask = 0;
};

// Pure: the raw word and the mask from a set of CPUID answers.
CpuFeatures ComputeCpuFeatures(const CpuidLeaves& leaves);
std::uint32_t MaskFromRawFeatures(std::uint32_t raw);

// Asks this processor.
CpuidLeaves ReadCpuidLeaves();

// The process-wide mask: computed on the first request and kept for the life of the process.
// Tests replace it with SetOverride to exercise the paths this machine cannot take.
class ProcessorMask {
 public:
  static std::uint32_t Get();
  static std::uint32_t Detected();  // the real processor's mask, ignoring any override
  static void SetOverride(std::uint32_t mask);
  static void ClearOverride();
};

// The whole-frame ("MMX") path runs when neither SSE2 nor SSE3 is available.
constexpr bool IsMmxPath(std::uint32_t mask) noexcept { return (mask & (kCpuSse2 | kCpuSse3)) == 0; }

// The processors' quality score: 40 with SSE2, 35 with SSE integer instructions, 30 with MMX.
// Returns false (and writes nothing) for a processor with none of them.
bool ProcessorScore(std::uint32_t mask, std::int32_t* score) noexcept;

}  // namespace deinterlace

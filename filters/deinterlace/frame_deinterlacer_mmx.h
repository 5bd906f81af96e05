// The whole-frame methods with MMX: line average and adaptive blend on 8-byte groups (four
// pixels in 16-bit lanes), for processors without SSE2. Same bytes as the portable versions;
// every routine leaves the MMX state empty (emms) before it returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filters/deinterlace/frame_deinterlacer.h"

namespace deinterlace {

class MmxFrameDeinterlacer : public FrameDeinterlacer {
 public:
  void LineAverage(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int height,
                   int sourcePitch) override;
  void AdaptiveBlend(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int height,
                     int sourcePitch) override;
};

// The line rules (whole groups with MMX, a tail of fewer than four pixels in plain code).
void AverageLineMmx(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below,
                    std::uint8_t* out, std::size_t bytes) noexcept;
void AdaptiveBlendLineMmx(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below,
                          std::uint8_t* out, std::size_t bytes) noexcept;

// The methods of a processor: MMX versions when the mask has MMX, else the portable ones.
FrameDeinterlacer& WholeFrameMethods(std::uint32_t mask);

}  // namespace deinterlace

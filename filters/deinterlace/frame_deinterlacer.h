// Whole-frame deinterlacing (modes 7 to 9, the path for processors without SSE2): the current
// picture is copied, line-averaged or adaptively blended into the output in one pass. All three
// keep the top field (the even lines) whatever field the output stands for.
//
// These are the portable versions; a processor may replace them with vector versions that give
// the same bytes. Pitches are in pixels (YUY2, two bytes per pixel); every line moves
// 2 * min(source pitch, destination pitch) bytes, so a narrower destination is never overrun.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deinterlace {

class FrameDeinterlacer {
 public:
  enum Kind { kCopy = 0, kLineAverage = 1, kAdaptiveBlend = 2 };

  virtual ~FrameDeinterlacer() = default;

  // kind 0 Copy, 1 LineAverage, 2 AdaptiveBlend, any other kind Copy.
  void Run(int kind, const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int height,
           int sourcePitch);

  virtual void Copy(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int height,
                    int sourcePitch);
  // Line 0 copied, even lines copied, each odd line the rounded average of its even
  // neighbours, the last odd line copied; with an odd height the last line is not written.
  virtual void LineAverage(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                           int height, int sourcePitch);
  // As LineAverage, with each odd pixel blended towards its neighbours as far as it combs.
  virtual void AdaptiveBlend(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                             int height, int sourcePitch);

 protected:
  // Computes one odd line from the lines above and below it (and the middle line itself).
  using LineRule = void (*)(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below,
                            std::uint8_t* out, std::size_t bytes);
  // The frame skeleton of LineAverage and AdaptiveBlend: even lines and the last odd line
  // copied, the other odd lines through the rule; 2 * min(pitches) bytes per line.
  static void RunLineRule(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int height,
                          int sourcePitch, LineRule rule);
};

// The portable rules, by line.
void AverageLine(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below, std::uint8_t* out,
                 std::size_t bytes) noexcept;
void AdaptiveBlendLine(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below,
                       std::uint8_t* out, std::size_t bytes) noexcept;

// The adaptive blend of one pixel: luma A (above), M (middle), B (below) decide the weights,
// which the chroma of the same pixel shares.
struct BlendWeights {
  int neighbours;  // weight of A + B
  int middle;      // weight of M
};
BlendWeights AdaptiveBlendWeights(int above, int middle, int below) noexcept;
std::uint8_t AdaptiveBlendValue(int above, int middle, int below, BlendWeights weights) noexcept;

}  // namespace deinterlace

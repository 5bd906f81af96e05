#include "filters/deinterlace/frame_deinterlacer.h"

#include <cstddef>
#include <cstring>

namespace deinterlace {

namespace {

struct Frame {
  const std::uint8_t* source;
  std::uint8_t* destination;
  std::size_t sourceStride;
  std::size_t destinationStride;
  std::size_t lineBytes;

  const std::uint8_t* In(int line) const { return source + sourceStride * static_cast<std::size_t>(line); }
  std::uint8_t* Out(int line) const { return destination + destinationStride * static_cast<std::size_t>(line); }
  void CopyLine(int line) const { std::memcpy(Out(line), In(line), lineBytes); }
};

Frame MakeFrame(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int sourcePitch) {
  const int pitch = destinationPitch < sourcePitch ? destinationPitch : sourcePitch;
  return Frame{source, destination, 2 * static_cast<std::size_t>(sourcePitch),
               2 * static_cast<std::size_t>(destinationPitch), 2 * static_cast<std::size_t>(pitch > 0 ? pitch : 0)};
}

// The frame skeleton shared by LineAverage and AdaptiveBlend.
template <class Rule>
void RunSkeleton(const Frame& frame, int height, Rule rule) {
  if (height <= 0 || frame.lineBytes == 0) return;
  frame.CopyLine(0);
  const int halves = height / 2;
  for (int k = 0; k + 2 <= halves; ++k) {
    frame.CopyLine(2 * k + 2);
    rule(frame.In(2 * k), frame.In(2 * k + 1), frame.In(2 * k + 2), frame.Out(2 * k + 1), frame.lineBytes);
  }
  if (halves >= 1) frame.CopyLine(2 * halves - 1);
}

}  // namespace

void FrameDeinterlacer::Run(int kind, const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                            int height, int sourcePitch) {
  switch (kind) {
    case kLineAverage:
      LineAverage(source, destination, destinationPitch, height, sourcePitch);
      break;
    case kAdaptiveBlend:
      AdaptiveBlend(source, destination, destinationPitch, height, sourcePitch);
      break;
    default:
      Copy(source, destination, destinationPitch, height, sourcePitch);
      break;
  }
}

void FrameDeinterlacer::Copy(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch, int height,
                             int sourcePitch) {
  const Frame frame = MakeFrame(source, destination, destinationPitch, sourcePitch);
  if (frame.lineBytes == 0) return;
  for (int line = 0; line < height; ++line) frame.CopyLine(line);
}

void FrameDeinterlacer::RunLineRule(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                                    int height, int sourcePitch, LineRule rule) {
  RunSkeleton(MakeFrame(source, destination, destinationPitch, sourcePitch), height, rule);
}

void AverageLine(const std::uint8_t* above, const std::uint8_t*, const std::uint8_t* below, std::uint8_t* out,
                 std::size_t bytes) noexcept {
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>((above[i] + below[i] + 1) >> 1);
}

void FrameDeinterlacer::LineAverage(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                                    int height, int sourcePitch) {
  RunLineRule(source, destination, destinationPitch, height, sourcePitch, &AverageLine);
}

BlendWeights AdaptiveBlendWeights(int above, int middle, int below) noexcept {
  const int d1 = above > middle ? above - middle : middle - above;
  const int d2 = middle > below ? middle - below : below - middle;
  const bool comb = (above - middle < 0) != (middle - below < 0);  // M beyond both neighbours
  if (comb && d1 > 32 && d2 > 32) return {8, 0};
  if (comb && d1 > 24 && d2 > 24) return {6, 4};
  if (comb && d1 > 16 && d2 > 16) return {4, 8};
  if (comb && d1 > 8 && d2 > 8) return {3, 10};
  return {0, 16};
}

std::uint8_t AdaptiveBlendValue(int above, int middle, int below, BlendWeights weights) noexcept {
  const int value = ((above + below) * weights.neighbours + middle * weights.middle + 15) >> 4;
  return static_cast<std::uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

void AdaptiveBlendLine(const std::uint8_t* above, const std::uint8_t* middle, const std::uint8_t* below,
                       std::uint8_t* out, std::size_t bytes) noexcept {
  // One pixel is a 16-bit word: luma in the low byte decides, chroma follows.
  for (std::size_t i = 0; i + 1 < bytes; i += 2) {
    const BlendWeights w = AdaptiveBlendWeights(above[i], middle[i], below[i]);
    out[i] = AdaptiveBlendValue(above[i], middle[i], below[i], w);
    out[i + 1] = AdaptiveBlendValue(above[i + 1], middle[i + 1], below[i + 1], w);
  }
}

void FrameDeinterlacer::AdaptiveBlend(const std::uint8_t* source, std::uint8_t* destination, int destinationPitch,
                                      int height, int sourcePitch) {
  RunLineRule(source, destination, destinationPitch, height, sourcePitch, &AdaptiveBlendLine);
}

}  // namespace deinterlace

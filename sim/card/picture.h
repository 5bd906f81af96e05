// The capture pin's test picture: the upper part in the colour of the channel (or of the input),
// a band at the bottom in the colour of the input, and the tuned frequency in kHz written in
// large white digits at the top left, so that a screenshot or a frame dump tells channels and
// inputs apart.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "sim/card/sim_card.h"

namespace simcard {

enum class PixelFormat { Yuy2, Rgb32 };

// One frame of `width` x `height` (top row first for YUY2, bottom row first for RGB32 with a
// positive height, as the formats require).
std::vector<std::uint8_t> PaintFrame(const SimCardPicture& picture, DWORD frequency, int width, int height,
                                     PixelFormat format);

}  // namespace simcard

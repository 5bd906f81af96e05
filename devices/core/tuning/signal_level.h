// The driver's signal code (0 to 4) as the level the host reads; any other code reads as the
// lowest level. Shared by the three families' tuner controls.
#pragma once

#include <cstdint>

inline long SignalLevelOfCode(std::uint32_t code) noexcept {
  constexpr long kLevels[5] = {-128, -64, 0, 63, 127};
  return code < 5 ? kLevels[code] : -128;
}

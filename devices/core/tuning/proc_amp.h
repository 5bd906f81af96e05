// The picture controls ("proc-amp") as the three families' tuner controls reach them: the
// property chosen by a one-bit mask, the capture filter's IAMVideoProcAmp calls, and the map of
// the ranges read at set-up against which the device managers clamp the host's values.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <map>

namespace proc_amp {

// 1 << n for n = 0..9 gives the VideoProcAmpProperty n; any other mask -1.
long PropertyOfMask(std::uint32_t mask) noexcept;

// IAMVideoProcAmp::GetRange of the mask's property; `automatic` is 1 when the capability flags
// are exactly VideoProcAmp_Flags_Auto, else 0. E_POINTER for a null interface or out-pointer.
HRESULT GetRange(IAMVideoProcAmp* amp, std::uint32_t mask, long* minimum, long* maximum, long* step,
                 long* defaultValue, long* automatic);
// IAMVideoProcAmp::Set with the manual flag.
HRESULT Set(IAMVideoProcAmp* amp, std::uint32_t mask, long value);
// IAMVideoProcAmp::Get; the flags are dropped.
HRESULT Get(IAMVideoProcAmp* amp, std::uint32_t mask, long* value);

}  // namespace proc_amp

// The ranges of the picture controls by their type (the host's mask), {minimum, maximum}.
class StateMap {
 public:
  void Clear() noexcept { ranges_.clear(); }
  // The first entry of a type stays.
  void Insert(std::uint32_t type, long minimum, long maximum) { ranges_.emplace(type, Range{minimum, maximum}); }
  // The value clamped to the type's range; a type without an entry clamps to 0.
  long Clamp(std::uint32_t type, long value) const noexcept;

 private:
  struct Range {
    long minimum;
    long maximum;
  };
  std::map<std::uint32_t, Range> ranges_;
};

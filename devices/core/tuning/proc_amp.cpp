#include "devices/core/tuning/proc_amp.h"

namespace proc_amp {

long PropertyOfMask(std::uint32_t mask) noexcept {
  for (long n = 0; n <= VideoProcAmp_Gain; ++n) {
    if (mask == (1u << n)) return n;
  }
  return -1;
}

HRESULT GetRange(IAMVideoProcAmp* amp, std::uint32_t mask, long* minimum, long* maximum, long* step,
                 long* defaultValue, long* automatic) {
  if (!amp || !minimum || !maximum || !step || !defaultValue || !automatic) return E_POINTER;
  long flags = 0;
  const HRESULT hr = amp->GetRange(PropertyOfMask(mask), minimum, maximum, step, defaultValue, &flags);
  if (SUCCEEDED(hr)) *automatic = flags == VideoProcAmp_Flags_Auto ? 1 : 0;
  return hr;
}

HRESULT Set(IAMVideoProcAmp* amp, std::uint32_t mask, long value) {
  if (!amp) return E_POINTER;
  return amp->Set(PropertyOfMask(mask), value, VideoProcAmp_Flags_Manual);
}

HRESULT Get(IAMVideoProcAmp* amp, std::uint32_t mask, long* value) {
  if (!amp || !value) return E_POINTER;
  long flags = 0;
  return amp->Get(PropertyOfMask(mask), value, &flags);
}

}  // namespace proc_amp

long StateMap::Clamp(std::uint32_t type, long value) const noexcept {
  const auto it = ranges_.find(type);
  if (it == ranges_.end()) return 0;
  if (value < it->second.minimum) return it->second.minimum;
  if (value > it->second.maximum) return it->second.maximum;
  return value;
}

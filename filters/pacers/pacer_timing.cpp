#include "filters/pacers/pacer_timing.h"

#include "filters/base/registry_value.h"
#include "filters/pacers/pacer_registry.h"

namespace pacer {

LONGLONG AudioDuration(LONG length, DWORD avgBytesPerSec) {
  if (length <= 0 || avgBytesPerSec == 0) return 0;
  const ULONGLONG ms = static_cast<ULONGLONG>(length) * 1000u / avgBytesPerSec;
  return static_cast<LONGLONG>(ms) * kUnitsPerMs;
}

LONGLONG AudioPosition(LONGLONG byteCount, DWORD avgBytesPerSec) {
  if (avgBytesPerSec == 0) return 0;
  return byteCount * 1000 / static_cast<LONGLONG>(avgBytesPerSec) * kUnitsPerMs;
}

LONGLONG TickElapsed(DWORD nowTick, DWORD anchorTick) {
  const DWORD elapsed = nowTick - anchorTick;  // modulo 2^32: right across the wrap
  return static_cast<LONGLONG>(elapsed) * kUnitsPerMs;
}

DWORD ReadBoardValue(const wchar_t* name, DWORD defaultValue) {
  return ReadFourByteValue(RegistryKeyPath(kBoardInfoKey), name, defaultValue);
}

FrameDropRule FrameDropRule::FromRegistry() {
  FrameDropRule rule;
  rule.dropEnabled = ReadBoardValue(kFrameDropValue, rule.dropEnabled);
  rule.dropTimeMs = ReadBoardValue(kFrameDropTimeValue, rule.dropTimeMs);
  return rule;
}

long ParseLeadingNumber(const wchar_t* text) {
  if (!text) return 0;
  while (*text == L' ' || *text == L'\t') ++text;
  bool negative = false;
  if (*text == L'-' || *text == L'+') {
    negative = *text == L'-';
    ++text;
  }
  constexpr LONGLONG kMax = 2147483647LL;
  LONGLONG value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    value = value * 10 + (*text - L'0');
    if (value > kMax + 1) value = kMax + 1;  // saturate; keeps the loop from overflowing
  }
  if (negative) return static_cast<long>(-value);
  return static_cast<long>(value > kMax ? kMax : value);
}

}  // namespace pacer

// The arithmetic of the two pacers, kept apart from the filters so that it can be checked on
// its own: audio time stamps from byte counts, the audio clock's elapsed time across the
// millisecond counter's wrap, the clock's skip rule, the video pacer's late-frame rule and the
// settings page's number parsing. All times are reference times (100 ns); all arithmetic is
// 64-bit.
#pragma once

#include <windows.h>

namespace pacer {

constexpr LONGLONG kUnitsPerMs = 10000;  // reference-time units in one millisecond

// The length of `length` bytes of audio in whole milliseconds (truncated), in reference time.
// 0 for a non-positive length or a rate of 0.
LONGLONG AudioDuration(LONG length, DWORD avgBytesPerSec);

// The stream position of `byteCount` bytes counted since Stop, in whole milliseconds
// (truncated), in reference time. 0 for a rate of 0.
LONGLONG AudioPosition(LONGLONG byteCount, DWORD avgBytesPerSec);

// Milliseconds from `anchorTick` to `nowTick` of the 32-bit millisecond counter, across its
// wrap, in reference time: the unsigned difference, never negative.
LONGLONG TickElapsed(DWORD nowTick, DWORD anchorTick);

// The audio clock's private time: the anchor plus the time elapsed since the anchor was set.
inline LONGLONG AnchoredTime(LONGLONG anchor, DWORD anchorTick, DWORD nowTick) {
  return anchor + TickElapsed(nowTick, anchorTick);
}

// The audio clock may be left alone for one sample when it leads the audio by more than half
// that sample's duration; a second such sample in a row re-anchors it.
inline bool SkipReanchor(LONGLONG lead, LONGLONG duration, unsigned skipCount) {
  return lead > duration / 2 && skipCount < 1;
}

// A 4-byte value under the board-information key ("APC Correct Timestamp", "VPC Frame Drop",
// "VPC Frame Drop Time"), whatever registry type it was stored with; `defaultValue` when the
// key or value is missing or the value is not 4 bytes long.
DWORD ReadBoardValue(const wchar_t* name, DWORD defaultValue);

// The video pacer's late-frame rule ("VPC Frame Drop", "VPC Frame Drop Time").
struct FrameDropRule {
  DWORD dropEnabled = 1;  // 0: never drop
  DWORD dropTimeMs = 22;

  // The two values under the board-information key; a value that cannot be read keeps its
  // default.
  static FrameDropRule FromRegistry();

  // A frame whose start lies `dropTimeMs` or more behind the stream time is too late.
  bool IsTooLate(LONGLONG streamNow, LONGLONG sampleStart) const {
    return dropEnabled != 0 &&
           streamNow - sampleStart >= static_cast<LONGLONG>(dropTimeMs) * kUnitsPerMs;
  }
};

// The number a settings edit box holds: an optional sign and the leading decimal digits, 0 for
// text that does not start with a number (blanks in front are skipped). Saturates at the limits
// of a long.
long ParseLeadingNumber(const wchar_t* text);

}  // namespace pacer

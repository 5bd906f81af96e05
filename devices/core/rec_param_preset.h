// The encoder presets a user stores in the registry, shared by the families that record
// through an encoder parameter record: "Software\Zarn Corporation\Tovrel\RecParam\<n>" under
// HKEY_LOCAL_MACHINE, n = 100 to 200 in decimal.
#pragma once

#include <windows.h>

#include <optional>

namespace rec_param {

inline constexpr ULONG kFirstPreset = 100;
inline constexpr ULONG kLastPreset = 200;
inline constexpr wchar_t kPresetKey[] = L"Software\\Zarn Corporation\\Tovrel\\RecParam\\";

constexpr bool IsRegistryPreset(ULONG number) { return number >= kFirstPreset && number <= kLastPreset; }

// The values of one preset; a value that is missing (or not a REG_DWORD) stays empty.
struct Preset {
  std::optional<DWORD> muxBitrate;       // "MuxBitrate"
  std::optional<DWORD> isVbr;            // "IsVBR"
  std::optional<DWORD> videoBitrate;     // "VideoBitrate"
  std::optional<DWORD> videoBitrateMax;  // "VideoBitrateMax"
  std::optional<DWORD> width;            // "Width"
  std::optional<DWORD> height;           // "Height"
  std::optional<DWORD> gopType;          // "GopType"
  std::optional<DWORD> audioBitrate;     // "AudioBitrate"
};

// Reads preset `number`: E_INVALIDARG outside 100 to 200, E_FAIL when its key cannot be opened.
HRESULT ReadPreset(ULONG number, Preset* preset);

// The encoder's rate mode for an "IsVBR" value: 0 gives 1 (constant), 1 gives 2 (variable);
// any other value keeps `current`.
constexpr DWORD RateModeFor(DWORD isVbr, DWORD current) { return isVbr == 0 ? 1 : isVbr == 1 ? 2 : current; }

}  // namespace rec_param

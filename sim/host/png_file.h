// Pictures the host side keeps of what a window showed: 24-bit PNG files (uncompressed deflate
// blocks, so no compression library is needed; a 720x480 picture is about 1 MB).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace sim_host {

// Writes `pixels` (width x height, top row first, 0x00RRGGBB each) as a PNG file. The Win32
// error as an HRESULT; E_INVALIDARG for an empty picture.
HRESULT WritePng(const std::wstring& path, int width, int height, const std::uint32_t* pixels);

}  // namespace sim_host

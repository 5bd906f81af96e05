// Class identifiers of the base library's test module.
#pragma once

#include <windows.h>

// The filter: one input pin "In" for MEDIATYPE_VornBaseTest.
// {5B7E1C2D-9A43-4F0E-8D61-3E2A7B9C4D15}
inline constexpr CLSID CLSID_VornBaseTestFilter = {0x5b7e1c2d, 0x9a43, 0x4f0e, {0x8d, 0x61, 0x3e, 0x2a, 0x7b, 0x9c, 0x4d, 0x15}};
// A helper class without filter data, registered like a shared property page.
// {A14C6E39-2B8D-47F1-9E05-6C3D8A1F2B77}
inline constexpr CLSID CLSID_VornBaseTestPage = {0xa14c6e39, 0x2b8d, 0x47f1, {0x9e, 0x05, 0x6c, 0x3d, 0x8a, 0x1f, 0x2b, 0x77}};
// The media type the filter's pin registers, found by nothing else on the machine.
// {E2D05F61-7C3A-4B9E-A1F4-0D8B6E2C5A39}
inline constexpr GUID MEDIATYPE_VornBaseTest = {0xe2d05f61, 0x7c3a, 0x4b9e, {0xa1, 0xf4, 0x0d, 0x8b, 0x6e, 0x2c, 0x5a, 0x39}};

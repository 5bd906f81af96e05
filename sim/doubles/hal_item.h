// The item class of the host (IHalItem), as an in-process COM double: a map of numeric type
// identifiers to VARIANTs under a lock (GetInfo of an identifier that holds no value answers
// TYPE_E_ELEMENTNOTFOUND). Lives in vorn_halitem.dll; tests register it in their
// Wine prefix or create it directly through the module's class object.
#pragma once

#include <windows.h>

// {B56ECA05-BB57-4655-81EE-2244FCF361A0}
inline constexpr CLSID kClsidHalItem = {
    0xb56eca05, 0xbb57, 0x4655, {0x81, 0xee, 0x22, 0x44, 0xfc, 0xf3, 0x61, 0xa0}};

// The two registry readers of the deinterlacing filter. Both open a key under
// HKEY_LOCAL_MACHINE for reading, return the Win32 result code (0 on success) and close the key
// on every path. On failure the caller's output is left untouched.
#pragma once

#include <windows.h>

namespace deinterlace {

// A REG_DWORD value. A value of any other type counts as missing (ERROR_FILE_NOT_FOUND).
LONG ReadRegistryDword(const char* keyPath, const char* valueName, DWORD* value);

// A REG_SZ or REG_EXPAND_SZ value (not expanded) into `buffer` of *size bytes. The result is
// always terminated (a value stored without its terminator gets one); on success *size is the
// number of bytes written, terminator included. A value that does not fit gives ERROR_MORE_DATA
// with *size set to the bytes it needs and the buffer untouched. A value of another type counts
// as missing.
LONG ReadRegistryString(const char* keyPath, const char* valueName, char* buffer, DWORD* size);

}  // namespace deinterlace

// A module built like a device manager: it imports CreateFileW, DeviceIoControl and CloseHandle
// from the system and links the driver link. Tests load it, attach the driver stand-in to it and
// call through it, to show that attaching reaches a loaded module's own imports.
#include <windows.h>

#include <cstdint>

#include "common/device/device_identity.h"
#include "common/hresult.h"
#include "devices/tuner1/encoder_control.h"

extern "C" {

// Each forwards to the function this module imports.
HANDLE Probe_CreateFileW(const wchar_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
}

BOOL Probe_DeviceIoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                           DWORD* returned) {
  return DeviceIoControl(handle, code, in, inSize, out, outSize, returned, nullptr);
}

BOOL Probe_CloseHandle(HANDLE handle) { return CloseHandle(handle); }

// Opens the encoder link of the device, tunes and reads the frequency back.
HRESULT Probe_TuneAndRead(const wchar_t* devicePath, std::uint32_t frequency, std::uint32_t* readBack) {
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    HRESULT opened = E_FAIL;
    EncoderControl control(DeviceIdentity(devicePath), &opened);
    control.SetFrequency(frequency, 1);
    return control.GetFrequency(readBack, nullptr);
  });
}

}  // extern "C"

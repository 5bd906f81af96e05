// The third family's direct link to its capture driver: a handle on the capture device's second
// interface "<device path>\ZarnExtendedDual-functionDevice", beside the DirectShow graphs.
// It reads the two device description records and the hardware version and loads a firmware
// block. No I/O mutex and no command packets: the device manager calls it under its instance
// lock.
//
// Every operation returns an HRESULT: S_OK, the driver's error folded into 0x8007xxxx
// (0x8007F030 when the failure carried no code), or the codes named below.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "devices/core/driver/device_handle.h"

class DeviceControlChannel : public DeviceHandle {
 public:
  static constexpr wchar_t kDeviceSuffix[] = L"\\ZarnExtendedDual-functionDevice";
  static constexpr DWORD kDescriptionACode = 0x220190;
  static constexpr DWORD kDescriptionBCode = 0x220194;
  static constexpr DWORD kHardwareVersionCode = 0x223028;
  static constexpr DWORD kFirmwareBlockCode = 0x22302C;
  static constexpr std::uint32_t kVersionMask = 0x00FF0000;
  static constexpr DWORD kBlockOverhead = 16;  // 12-byte header and 4 trailing bytes (zero)

  using DescriptionA = std::array<std::uint32_t, 3>;
  using DescriptionB = std::array<std::uint32_t, 8>;

  // Opens the control interface; `result` (may be null) receives the open's result. The object
  // is usable either way: a closed channel answers kControlChannelClosed where noted.
  DeviceControlChannel(DeviceIdentity identity, HRESULT* result);

  // The records are zeroed, then filled by the driver. They do not test the handle: on a closed
  // channel the request itself fails (0x80070006).
  HRESULT GetDescriptionA(DescriptionA* record);
  HRESULT GetDescriptionB(DescriptionB* record);
  // Word 1 of the driver's reply masked with kVersionMask; written only on success.
  // Closed: kControlChannelClosed (0x80041002); null pointer: E_POINTER.
  HRESULT GetHardwareVersion(std::uint32_t* version);
  // Sends {0, parameter, length, image, 4 zero bytes} (length + 16 bytes), a second time when
  // the first attempt fails. Closed: kControlChannelClosed; an image of length 0: E_INVALIDARG;
  // no image with a length: E_POINTER (no image with length 0 sends the empty block). Both
  // attempts failed: kFirmwareDownloadFailed (0x8007E000), whatever the driver said.
  HRESULT DownloadFirmwareBlock(const void* image, std::uint32_t length, std::uint32_t parameter);

 private:
  template <size_t N>
  HRESULT ReadRecord(DWORD code, std::array<std::uint32_t, N>* record);
};

// The third family's firmware step of SetDeviceInfo: open the device control channel, ask the
// hardware for its version, send the matching image from the module's "FIRMWARE" resources in
// one block, then read the two device description records.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "common/device/device_identity.h"
#include "devices/tuner3/device_control_channel.h"

// Which image a hardware version (as GetHardwareVersion answers it, masked) takes: resource 0
// means none, an empty block with parameter 0.
struct FirmwareChoice {
  WORD resource;
  std::uint32_t loadParameter;
};
FirmwareChoice ChooseFirmware(std::uint32_t hardwareVersion) noexcept;

// What the step leaves with the device manager: the open channel (kept for its lifetime) and the
// two description records exactly as the driver returned them.
struct FirmwareSetup {
  std::unique_ptr<DeviceControlChannel> channel;
  DeviceControlChannel::DescriptionA descriptionA{};
  DeviceControlChannel::DescriptionB descriptionB{};
};

// Runs the step with the images of `module`. A failed version query is no failure (no image
// goes out); an unopenable channel, a download that fails twice (0x8007E000) or a failed
// description read is returned, and the channel is then deleted. E_POINTER for a null `setup`.
HRESULT DownloadFirmware(const DeviceIdentity& identity, HMODULE module, FirmwareSetup* setup);

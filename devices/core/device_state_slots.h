// What this device manager keeps in the twelve state slots of its device's entry in the shared
// device-state table, and in its device pipe's name. Other processes read the slots to see what
// is done with the device.
#pragma once

#include <cstdint>

enum DeviceStateSlot : int {
  kSlotInputSwitchProcess = 0,  // process identifier of the IInputSwitch user, 0 when none
  kSlotInputSwitchObject = 1,   // address of the device object that uses IInputSwitch, 0 when none
  kSlotBand = 2,                // current band/input value (the _SHAL_BASECH band)
  kSlotTunerFunction = 3,       // current tuner-function bits (channel item value 5)
  kSlotPreviewProcess = 4,      // process identifier of the IPreview user
  kSlotPreviewObject = 5,       // address of the device object that uses IPreview
  kSlotPreviewStarted = 6,      // 1 while the preview runs or is paused
  kSlotPreviewState = 7,        // PreviewSlotState
  kSlotOutputProcess = 8,       // process identifier of the IOutputData user
  kSlotOutputObject = 9,        // address of the device object that uses IOutputData
  kSlotOutputStarted = 10,      // 1 while output data runs
  kSlotOutputState = 11,        // 0 stopped, 2 running
  kSlotCount = 12,
};

enum PreviewSlotState : int { kSlotStopped = 0, kSlotPaused = 1, kSlotRunning = 2 };

// An object address as the slots (1, 5, 9) and the pipe name ("PTR%x") hold it: 32 bits. In a
// 64-bit build the low 32 bits, the same in both places.
inline std::int32_t ObjectAddress32(const void* object) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(object)));
}

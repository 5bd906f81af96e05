// The device item a host hands to a device manager's SetDeviceInfo: an instance of the host's
// item class (IHalItem, vorn_halitem.dll registered) holding the values the device manager reads.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <string>

#include "devices/idl/device_manager.h"

namespace sim_host {

// Value identifiers of a device item.
enum DeviceItemValue : long {
  kItemName = 0,          // string: the device's name in the device-state table (its path here)
  kItemBoardType = 2,     // integer
  kItemCapabilities = 4,  // integer: capability flags
  kItemFunctions = 5,     // integer
  kItemDevicePath = 7,    // string: the capture device path
  kItemTunerNumber = 8,   // integer
};

struct DeviceItemValues {
  std::wstring devicePath;  // values 7 and 0
  long boardType = 0;
  long capabilities = 0;
  long functions = 0;
  long tunerNumber = 0;
};

// Creates an item of the host's item class (CoCreateInstance, in-process) with the values set.
HRESULT MakeDeviceItem(const DeviceItemValues& values, Microsoft::WRL::ComPtr<IHalItem>* item);

// A channel item of the host's item class: region 81 (0), TV format 2 (1), band (2), 0 (3),
// frequency in Hz (4), tuner functions 0 (5).
HRESULT MakeChannelItem(ULONG band, ULONG frequency, Microsoft::WRL::ComPtr<IHalItem>* item);

}  // namespace sim_host

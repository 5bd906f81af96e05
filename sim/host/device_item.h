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
  kItemTunerNumber = 8,   // integer: the tuner index on a card of several tuners
  kItemTunerCount = 9,    // integer: the card's tuners
};

struct DeviceItemValues {
  std::wstring devicePath;  // value 7, and value 0 unless `name` is given
  std::wstring name;        // value 0 when not empty
  long boardType = 0;
  long capabilities = 0;
  long functions = 0;
  long tunerNumber = 0;
  long tunerCount = 0;  // value 9 when not 0
};

// Creates an item of the host's item class (CoCreateInstance, in-process) with the values set.
HRESULT MakeDeviceItem(const DeviceItemValues& values, Microsoft::WRL::ComPtr<IHalItem>* item);

// A channel item of the host's item class: region 81 (0), TV format 2 (1), band (2), channel
// (3), frequency in Hz (4), tuner functions 0 (5).
HRESULT MakeChannelItem(ULONG band, ULONG frequency, Microsoft::WRL::ComPtr<IHalItem>* item, ULONG channel = 0);

}  // namespace sim_host

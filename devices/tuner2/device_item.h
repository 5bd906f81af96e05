// The device item every tuner object of the second family keeps: a clone of the device's
// IHalItem and the tuner index it names (type 8), checked against the number of tuners (type 9).
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include "devices/idl/device_manager.h"

namespace rul {

inline constexpr long kItemName = 0;         // the device-state name
inline constexpr long kItemBoardType = 2;    // board type
inline constexpr long kItemStateValue = 5;   // registered with the name in the device-state table
inline constexpr long kItemTunerIndex = 8;   // 0-based tuner index
inline constexpr long kItemTunerCount = 9;   // tuners on the board

// Releases `*held` (and sets *index to -1), then clones `item` into it and reads its tuner
// index: E_POINTER for a null item, errors::kTunerIndexOutOfRange unless 0 <= index < count
// (the index then stays -1); a failed clone or read is thrown.
void KeepDeviceItem(IHalItem* item, Microsoft::WRL::ComPtr<IHalItem>* held, LONG* index);

// A 32-bit value of the item (VT_I4 after conversion); a failure is thrown.
LONG ReadItemLong(IHalItem* item, long type);

}  // namespace rul

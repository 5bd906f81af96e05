// Values of the host's items (IHalItem) as the device objects read and write them, and new
// items of the host's item class made in process.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "devices/idl/device_manager.h"

namespace hal_items {

// The value as a string: empty when missing or not a string.
std::wstring ReadString(IHalItem* item, long type);
// The value as a 32-bit integer: 0 when missing or not convertible.
std::int32_t ReadInteger(IHalItem* item, long type);
HRESULT WriteInteger(IHalItem* item, long type, std::int32_t value);
HRESULT WriteString(IHalItem* item, long type, const wchar_t* text);
// A new, cleared item of the host's item class (CoCreateInstance, in process).
HRESULT CreateItem(Microsoft::WRL::ComPtr<IHalItem>* item);

}  // namespace hal_items

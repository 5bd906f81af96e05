// IAutoScan2::GetAutoScanSetting's item: section "AutoScan" of the module's settings file gives
// values 0 to 4, "ScanDelta None" (default 250000), "ScanDelta Near" (62500), "ScanDelta Near2"
// (125000), "ScanDelta Just" (6000000) and "ScanDelta Just NoFmt" (500000), each VT_I4.
#pragma once

#include <windows.h>

#include "devices/idl/device_manager.h"

// A new item of the host's item class with the five values; *item stays null on failure.
HRESULT MakeAutoScanSettingItem(HMODULE module, IHalItem** item);

// The fixed answers the device objects of every family share: the device-information lists of
// the families' tables (each family names its own available interfaces), the optional
// interfaces, and the auto-scan settings item.
#pragma once

#include <windows.h>

#include <span>

#include "common/settings_file.h"
#include "devices/core/device_info.h"
#include "devices/idl/device_manager.h"

namespace device_tables {

inline constexpr ULONG kRegionJapan = 81;
inline constexpr ULONG kTvFormat = 2;

// {990DDD00-99D8-45F2-A363-DD40FFFC052E}: usable with capability bit 0x08.
inline constexpr IID kOptionalInterface08 = {0x990ddd00, 0x99d8, 0x45f2, {0xa3, 0x63, 0xdd, 0x40, 0xff, 0xfc, 0x05, 0x2e}};
// {07B3E6C6-B3A4-4C0F-A878-2F5FB7025C83}: usable with capability bit 0x20.
inline constexpr IID kOptionalInterface20 = {0x07b3e6c6, 0xb3a4, 0x4c0f, {0xa8, 0x78, 0x2f, 0x5f, 0xb7, 0x02, 0x5c, 0x83}};

// The shared lists with the family's own available interfaces (a static array of the caller's).
DeviceInfoTable CommonTable(std::span<const IID* const> available);

// A new item of the host's class with the five scan steps of section "AutoScan" of `settings`
// (values 0 to 4: "ScanDelta None", "ScanDelta Near", "ScanDelta Near2", "ScanDelta Just",
// "ScanDelta Just NoFmt"; defaults 250000, 62500, 125000, 6000000, 500000).
HRESULT AutoScanSettingItem(const SettingsFile& settings, IHalItem** item);

}  // namespace device_tables

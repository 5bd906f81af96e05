#include "devices/core/device_tables.h"

#include <wrl/client.h>

#include "common/errors.h"
#include "common/hresult.h"
#include "devices/core/hal_items.h"

namespace device_tables {

namespace {

const IID* const kScan[] = {&IID_IAutoScan, &IID_IAutoScan2};
constexpr OptionalInterface kOptional[] = {{&kOptionalInterface20, 0x20, errors::kNoCapability20},
                                           {&kOptionalInterface08, 0x08, errors::kNoCapability08}};
const IID* const kVideoModes[] = {&IID_IPreviewWindow, &IID_IPreviewWindow2, &IID_ICustomPreviewWindow,
                                  &IID_ICustomPreviewWindow2};
const IID* const kSecondWindows[] = {&IID_IPreviewWindow2, &IID_ICustomPreviewWindow2};
const IID* const kSoundModes[] = {&IID_ISound};
constexpr ULONG kCountries[] = {kRegionJapan};
constexpr ULONG kTvFormats[] = {kTvFormat};
constexpr _SHAL_INPUT_AUDIOMODE kInputAudioModes[] = {{1, 1, 0}, {2, 2, 0}, {4, 8, 0}};
constexpr _SHAL_OUTPUT_AUDIOMODE kOutputAudioModes[] = {{1, 1}, {2, 2}, {4, 4}, {8, 8}, {4, 8}};

}  // namespace

DeviceInfoTable CommonTable(std::span<const IID* const> available) {
  return {available,      kScan,        errors::kNoScanCapability, kOptional,  kVideoModes,
          kSecondWindows, 0x10 | 0x200, kSoundModes,               kCountries, kTvFormats,
          kInputAudioModes, kOutputAudioModes};
}

HRESULT AutoScanSettingItem(const SettingsFile& settings, IHalItem** item) {
  *item = nullptr;
  const struct {
    const wchar_t* key;
    int fallback;
  } steps[] = {{L"ScanDelta None", 250000},
               {L"ScanDelta Near", 62500},
               {L"ScanDelta Near2", 125000},
               {L"ScanDelta Just", 6000000},
               {L"ScanDelta Just NoFmt", 500000}};
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  for (long i = 0; i < 5; ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, settings.ReadInt(L"AutoScan", steps[i].key, steps[i].fallback)));
  *item = made.Detach();
  return S_OK;
}

}  // namespace device_tables

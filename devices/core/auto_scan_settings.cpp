#include "devices/core/auto_scan_settings.h"

#include <wrl/client.h>

#include "common/hresult.h"
#include "common/settings_file.h"
#include "devices/core/hal_items.h"

HRESULT MakeAutoScanSettingItem(HMODULE module, IHalItem** item) {
  *item = nullptr;
  const struct {
    const wchar_t* key;
    int fallback;
  } settings[] = {{L"ScanDelta None", 250000},
                  {L"ScanDelta Near", 62500},
                  {L"ScanDelta Near2", 125000},
                  {L"ScanDelta Just", 6000000},
                  {L"ScanDelta Just NoFmt", 500000}};
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(hal_items::CreateItem(&made));
  const SettingsFile file = SettingsFile::ForModule(module);
  for (long i = 0; i < 5; ++i)
    RETURN_IF_FAILED(hal_items::WriteInteger(made.Get(), i, file.ReadInt(L"AutoScan", settings[i].key, settings[i].fallback)));
  *item = made.Detach();
  return S_OK;
}

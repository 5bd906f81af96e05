// The device object that tamDevice.dll serves until the family's DeviceManagerImpl takes its
// place: it keeps the device item (SetDeviceInfo, GetInfo), lists and allows the class's
// interfaces, and answers E_NOTIMPL for everything else.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include "devices/core/not_implemented_operations.h"

class InterimDeviceManager final : public NotImplementedOperations {
 public:
  HRESULT Shutdown() override;
  HRESULT SetDeviceInfo(IHalItem* item) override;
  HRESULT GetAvailableInterface(long* count, GUID** iids) override;
  HRESULT CanUseInterface(REFIID iid, long* can) override;
  HRESULT GetInfo(long type, VARIANT* value) override;

 private:
  Microsoft::WRL::ComPtr<IHalItem> deviceItem_;  // a clone of the host's item
};

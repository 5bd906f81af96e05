#include "devices/tuner1/interim_device_manager.h"

#include <objbase.h>

#include "common/errors.h"
#include "devices/tuner1/tam_traits.h"

std::unique_ptr<DeviceManagerOperations> TamTraits::CreateImplementation() {
  return std::make_unique<InterimDeviceManager>();
}

HRESULT InterimDeviceManager::Shutdown() {
  deviceItem_.Reset();
  return S_OK;
}

HRESULT InterimDeviceManager::SetDeviceInfo(IHalItem* item) {
  if (!item) return errors::kDmNullPointer;
  if (deviceItem_) return errors::kDeviceAlreadySet;
  return item->Clone(deviceItem_.ReleaseAndGetAddressOf());
}

HRESULT InterimDeviceManager::GetAvailableInterface(long* count, GUID** iids) {
  if (!count || !iids) return errors::kDmNullPointer;
  *count = 0;
  *iids = nullptr;
  constexpr size_t n = std::size(TamTraits::kInterfaceMap);
  auto* list = static_cast<GUID*>(CoTaskMemAlloc(n * sizeof(GUID)));
  if (!list) return errors::kDmOutOfMemory;
  for (size_t i = 0; i < n; ++i) list[i] = InterfaceId(TamTraits::kInterfaceMap[i]);
  *count = static_cast<long>(n);
  *iids = list;
  return S_OK;
}

HRESULT InterimDeviceManager::CanUseInterface(REFIID iid, long* can) {
  if (!can) return errors::kDmNullPointer;
  *can = 0;
  for (const DmInterface itf : TamTraits::kInterfaceMap)
    if (iid == InterfaceId(itf)) *can = 1;
  return S_OK;
}

HRESULT InterimDeviceManager::GetInfo(long type, VARIANT* value) {
  if (!value) return errors::kDmNullPointer;
  if (!deviceItem_) return errors::kDeviceNotSet;
  return deviceItem_->GetInfo(type, value);
}

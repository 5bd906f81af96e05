#include "devices/core/interim_device_manager.h"

#include <vector>

#include "common/errors.h"
#include "devices/core/host_arrays.h"

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
  std::vector<GUID> list;
  for (std::size_t i = 0; i < count_; ++i) list.push_back(InterfaceId(interfaces_[i]));
  return HandOutArray(list.data(), list.size(), count, iids);
}

HRESULT InterimDeviceManager::CanUseInterface(REFIID iid, long* can) {
  if (!can) return errors::kDmNullPointer;
  *can = 0;
  for (std::size_t i = 0; i < count_; ++i)
    if (iid == InterfaceId(interfaces_[i])) *can = 1;
  return S_OK;
}

HRESULT InterimDeviceManager::GetInfo(long type, VARIANT* value) {
  if (!value) return errors::kDmNullPointer;
  if (!deviceItem_) return errors::kDeviceNotSet;
  return deviceItem_->GetInfo(type, value);
}

// The device object that a device-manager module serves until its family's DeviceManagerImpl
// takes its place: it keeps the device item (SetDeviceInfo, GetInfo), lists and allows the
// interfaces of the family's interface map, and answers E_NOTIMPL for everything else.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <cstddef>
#include <memory>

#include "devices/core/facade.h"
#include "devices/core/not_implemented_operations.h"

class InterimDeviceManager final : public NotImplementedOperations {
 public:
  InterimDeviceManager(const DmInterface* interfaces, std::size_t count) noexcept
      : interfaces_(interfaces), count_(count) {}

  // The interim object of a family: its traits' interface map.
  template <class Traits>
  static std::unique_ptr<DeviceManagerOperations> For() {
    return std::make_unique<InterimDeviceManager>(Traits::kInterfaceMap,
                                                  std::size(Traits::kInterfaceMap));
  }

  HRESULT Shutdown() override;
  HRESULT SetDeviceInfo(IHalItem* item) override;
  HRESULT GetAvailableInterface(long* count, GUID** iids) override;
  HRESULT CanUseInterface(REFIID iid, long* can) override;
  HRESULT GetInfo(long type, VARIANT* value) override;

 private:
  const DmInterface* interfaces_;  // the traits' static map
  std::size_t count_;
  Microsoft::WRL::ComPtr<IHalItem> deviceItem_;  // a clone of the host's item
};

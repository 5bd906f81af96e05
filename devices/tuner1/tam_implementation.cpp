#include "devices/core/interim_device_manager.h"
#include "devices/tuner1/tam_traits.h"

std::unique_ptr<DeviceManagerOperations> TamTraits::CreateImplementation() {
  return InterimDeviceManager::For<TamTraits>();
}

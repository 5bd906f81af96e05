#include "devices/core/chain_policy.h"

#include "devices/core/device_objects.h"

std::wstring RecRunningEventName(const ChainPolicy& policy, const DeviceIdentity& identity, DWORD tunerNumber) {
  if (identity.IsEmpty()) return std::wstring();
  const int number = policy.numberedRecRunning ? static_cast<int>(tunerNumber) : DeviceObjectNames::kNoInstance;
  return DeviceObjectNames(identity, number).RecRunningEvent();
}

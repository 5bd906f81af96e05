#include "devices/core/chain_policy.h"

#include "devices/core/device_objects.h"
#include "devices/core/outside_filters.h"

namespace chain_policies {
namespace {

constexpr FilterClass kNoConverter = {{}, nullptr, nullptr};  // a null class: none
constexpr FilterClass kTiledConverter = {outside::kClsidColourConverter, outside::kColourConverterFile,
                                         L"Zarn (Qfa) Color Format Converter"};

}  // namespace

const ChainPolicy kFamily1 = {
    FilterCreation::ModuleFileOnly, kNoConverter, 0, PlanarConverterClass::Deinterlacer, ChainHeadRule::None,
    kChainRefusals, true, true,
};

const ChainPolicy kFamily2 = {
    FilterCreation::ClassFirst, kTiledConverter, kDeinterlacingKinds, PlanarConverterClass::PlanarPack,
    ChainHeadRule::PlanarPackUnlessFieldOrder, kComRefusals, true, true,
};

const ChainPolicy kFamily3 = {
    FilterCreation::ModuleFirst, kTiledConverter, kDeinterlacingKinds, PlanarConverterClass::Deinterlacer,
    ChainHeadRule::None, kChainRefusals, false, false,
};

}  // namespace chain_policies

std::wstring RecRunningEventName(const ChainPolicy& policy, const DeviceIdentity& identity, DWORD tunerNumber) {
  if (identity.IsEmpty()) return std::wstring();
  const int number = policy.numberedRecRunning ? static_cast<int>(tunerNumber) : DeviceObjectNames::kNoInstance;
  return DeviceObjectNames(identity, number).RecRunningEvent();
}

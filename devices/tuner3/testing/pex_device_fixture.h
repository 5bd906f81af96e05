// Test support of the third family's device object: the simulated card under the "TAVO" names,
// the driver stand-in attached to the test program (which carries the firmware images) with the
// card's description records, the host's item class registered, and objects over a device-state
// table of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "common/testing/child.h"
#include "devices/tuner3/device_manager_impl.h"
#include "devices/tuner3/testing/pex_card_fixture.h"
#include "sim/doubles/outside_interfaces.h"
#include "sim/host/device_item.h"

namespace pex_testing {

// Tuner and both external inputs, both capture switches; the frequency range, step and channels.
inline constexpr std::uint32_t kRecordA[3] = {0, 7, 0xC0};
inline constexpr std::uint32_t kRecordB[8] = {1, 91250000, 767250000, 62500, 1, 12, 13, 63};

class PexDeviceTest : public PexCardTest {
 protected:
  using RegFn = HRESULT(STDAPICALLTYPE*)();
  void SetUp() override {
    PexCardTest::SetUp();
    static const bool attached = [] {
      UINT patched = 0;
      return SUCCEEDED(SimDriver_Attach(GetModuleHandleW(nullptr), &patched));
    }();
    ASSERT_TRUE(attached);
    items_.reset(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
    auto reg = GetProcAs<RegFn>(items_.get(), "DllRegisterServer");
    ASSERT_TRUE(reg && reg() == S_OK);
    HRESULT added = SimDriver_AddCard(capturePath_.c_str(), &card_);
    ASSERT_TRUE(SUCCEEDED(added));
    ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, kRecordA, kRecordB));
    table_ = testing_support::UniqueName(L"Global\\vorn_pex_state_");
    // The doubles' folder stands for the device manager's own.
    filters_.reset(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
    ASSERT_TRUE(filters_.valid());
  }
  void TearDown() override {
    if (auto unreg = GetProcAs<RegFn>(items_.get(), "DllUnregisterServer")) unreg();
    PexCardTest::TearDown();
  }
  // An initialised object with nothing bound (null when its initialisation failed).
  std::unique_ptr<pex::DeviceManagerImpl> NewObject() {
    auto object = std::make_unique<pex::DeviceManagerImpl>(table_.c_str(), (table_ + L"_mutex").c_str(), filters_.get());
    return SUCCEEDED(object->Initialize()) ? std::move(object) : nullptr;
  }
  Microsoft::WRL::ComPtr<IHalItem> Item() {
    Microsoft::WRL::ComPtr<IHalItem> item;
    sim_host::DeviceItemValues values;
    values.devicePath = capturePath_;
    values.boardType = 18;
    values.functions = 3;
    EXPECT_EQ(S_OK, sim_host::MakeDeviceItem(values, &item));
    return item;
  }

  UniqueModule items_, filters_;
  UINT card_ = 0;
  std::wstring table_;
};

}  // namespace pex_testing

// Test support: a first-family device object set up on the simulated card (this program's copy
// of simcard.dll registered, the driver stand-in attached, the item double registered: the
// object makes items of the host's class), with a device-state table of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <memory>
#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/tuner1/device_manager_impl.h"
#include "sim/card/sim_card.h"

namespace tuner1_test {

using RegFn = HRESULT(STDAPICALLTYPE*)();

// The item of a channel: band (2), frequency (4), tuner functions (5).
inline Microsoft::WRL::ComPtr<IHalItem> Channel(ULONG band, ULONG frequency, ULONG functions = 0) {
  Microsoft::WRL::ComPtr<IHalItem> item;
  if (FAILED(hal_items::CreateItem(&item))) return item;
  hal_items::WriteInteger(item.Get(), 0, 81);
  hal_items::WriteInteger(item.Get(), 1, 2);
  hal_items::WriteInteger(item.Get(), 2, static_cast<std::int32_t>(band));
  hal_items::WriteInteger(item.Get(), 4, static_cast<std::int32_t>(frequency));
  hal_items::WriteInteger(item.Get(), 5, static_cast<std::int32_t>(functions));
  return item;
}

// A device item with the card's path as device path (7) and name (0).
inline Microsoft::WRL::ComPtr<IHalItem> DeviceItemFor(const std::wstring& path) {
  Microsoft::WRL::ComPtr<IHalItem> item;
  if (FAILED(hal_items::CreateItem(&item))) return item;
  hal_items::WriteString(item.Get(), 7, path.c_str());
  hal_items::WriteString(item.Get(), 0, path.c_str());
  return item;
}

// Registers this program's copy of simcard.dll and its card 0 in the device categories (cards
// reset), and the card with the driver stand-in; `path` receives the card's capture path.
inline void RegisterSimCard(std::wstring* path, UINT* card) {
  auto reg = GetProcAs<RegFn>(GetModuleHandleW(L"simcard.dll"), "DllRegisterServer");
  ASSERT_TRUE(reg && reg() == S_OK);
  ASSERT_EQ(SimCard_RegisterCard(0, TRUE), S_OK);
  SimCard_ResetAll();
  wchar_t text[300] = {};
  ASSERT_EQ(SimCard_GetDevicePath(0, kSimRoleCapture, text, 300), S_OK);
  *path = text;
  ASSERT_TRUE(SUCCEEDED(SimDriver_AddCard(path->c_str(), card)));
}

inline void UnregisterSimCard() {
  SimCard_RegisterCard(0, FALSE);
  if (auto unreg = GetProcAs<RegFn>(GetModuleHandleW(L"simcard.dll"), "DllUnregisterServer")) unreg();
}

class DeviceObjectTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(driver_test::AttachStandIn(driver_test::StateName())); }

  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    item_.reset(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
    auto reg = GetProcAs<RegFn>(item_.get(), "DllRegisterServer");
    ASSERT_TRUE(reg && reg() == S_OK);
    RegisterSimCard(&path_, &card_);
    if (HasFatalFailure()) return;
    tableSection_ = testing_support::UniqueName(L"Global\\vorn_dm_state_");
    tableMutex_ = tableSection_ + L"_mutex";
    object_ = NewObject();
    ASSERT_TRUE(object_);
  }
  void TearDown() override {
    object_.reset();
    other_.reset();
    UnregisterSimCard();
    if (auto unreg = GetProcAs<RegFn>(item_.get(), "DllUnregisterServer")) unreg();
    CoUninitialize();
  }

  std::unique_ptr<DeviceManagerImpl> NewObject() {
    auto object = std::make_unique<DeviceManagerImpl>(tableSection_.c_str(), tableMutex_.c_str());
    Microsoft::WRL::ComPtr<IHalItem> item = DeviceItemFor(path_);
    if (!item || FAILED(object->Initialize()) || object->SetDeviceInfo(item.Get()) != S_OK) return nullptr;
    return object;
  }

  std::int32_t Slot(int index) {
    DeviceStateTable table(tableSection_.c_str(), tableMutex_.c_str());
    std::int32_t slots[kSlotCount] = {};
    table.Open();
    table.ReadSlots(path_.c_str(), sizeof(slots), slots);
    return slots[index];
  }

  bool IsSet(NotifyEvent which) { return object_->notifyEvents().event(which).IsSet(); }

  UniqueModule item_;
  std::wstring path_, tableSection_, tableMutex_;
  UINT card_ = 0;
  std::unique_ptr<DeviceManagerImpl> object_, other_;
};

}  // namespace tuner1_test

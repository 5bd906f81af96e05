// tamDevice.dll as a host meets it: the device-manager module cases (module_test_kit.h) and calls
// through the proxies from another apartment.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/handles.h"
#include "common/testing/child.h"
#include "devices/core/testing/module_test_kit.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/tuner1/tam_traits.h"
#include "sim/doubles/hal_item.h"

using Microsoft::WRL::ComPtr;
using device_module_kit::DeviceModuleTest;

namespace {

INSTANTIATE_TEST_SUITE_P(Family, DeviceModuleTest, ::testing::Values(&device_module_kit::kTam),
                         device_module_kit::RowName);

// Registers tamDevice.dll and the item double for the scope.
class Registered {
 public:
  Registered() {
    for (const auto& m : modules_) ok_ = ok_ && m.Register() == S_OK;
  }
  ~Registered() {
    for (const auto& m : modules_) m.Unregister();
  }
  bool ok() const { return ok_; }

 private:
  const testing_support::ComModule modules_[2] = {testing_support::ComModule(L"tamDevice.dll"),
                                                  testing_support::ComModule(L"vorn_halitem.dll")};
  bool ok_ = true;
};

// The object lives in the multi-threaded apartment; a single-threaded apartment uses it through
// the global interface table, that is through the module's proxies.
TEST(TamModule, WorksThroughTheProxiesFromAnotherApartment) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    Registered registered;
    ASSERT_TRUE(registered.ok());
    // The device is a simulated card, reached through the driver stand-in attached to the module.
    UINT patched = 0, card = 0;
    const HMODULE tam = GetModuleHandleW(L"tamDevice.dll");
    ASSERT_TRUE(SUCCEEDED(SimDriver_Connect(driver_test::StateName().c_str())));
    ASSERT_EQ(SimDriver_Attach(tam, &patched), S_OK);
    struct Detach {
      HMODULE module;
      ~Detach() { SimDriver_Detach(module); }
    } detach{tam};
    const std::wstring cardPath = driver_test::CardPath(testing_support::UniqueName(L"48_"));
    ASSERT_EQ(SimDriver_AddCard(cardPath.c_str(), &card), S_OK);
    ComPtr<IGlobalInterfaceTable> git;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(git.GetAddressOf())), S_OK);
    UniqueHandle created(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle released(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD cookie = 0;
    void* raw = nullptr;
    HRESULT createResult = E_FAIL;
    std::thread mta([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      {
        ComPtr<IDevice> device;
        createResult = CoCreateInstance(kClsidTamDeviceManager, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(device.GetAddressOf()));
        if (SUCCEEDED(createResult)) {
          raw = device.Get();
          createResult = git->RegisterInterfaceInGlobal(device.Get(), IID_IDevice, &cookie);
        }
        SetEvent(created.get());
        WaitForSingleObject(done.get(), 30000);
      }  // the last reference: the object releases its clone of the item, in the other apartment
      SetEvent(released.get());
      CoUninitialize();
    });
    ASSERT_EQ(WaitForSingleObject(created.get(), 30000), WAIT_OBJECT_0);
    ASSERT_EQ(createResult, S_OK);

    {
      ComPtr<IDevice> device;
      ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_PPV_ARGS(device.GetAddressOf())), S_OK);
      EXPECT_NE(static_cast<void*>(device.Get()), raw);  // a proxy

      // An item of the host's class crosses as an interface; the object keeps a clone of it.
      ComPtr<IHalItem> item;
      ASSERT_EQ(CoCreateInstance(kClsidHalItem, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(item.GetAddressOf())), S_OK);
      VARIANT path;
      VariantInit(&path);
      path.vt = VT_BSTR;
      path.bstrVal = SysAllocString(cardPath.c_str());
      ASSERT_EQ(item->SetInfo(7, path), S_OK);
      ComPtr<IDeviceSetup> setup;
      ASSERT_EQ(device.As(&setup), S_OK);
      EXPECT_EQ(setup->SetDeviceInfo(item.Get()), S_OK);
      ASSERT_EQ(item->Clear(), S_OK);  // the object holds its own copy

      VARIANT got;
      VariantInit(&got);
      EXPECT_EQ(device->GetInfo(7, &got), S_OK);
      ASSERT_EQ(got.vt, VT_BSTR);
      EXPECT_STREQ(got.bstrVal, path.bstrVal);
      VariantClear(&got);
      VariantClear(&path);
      EXPECT_EQ(device->GetInfo(99, &got), TYPE_E_ELEMENTNOTFOUND);

      // A counted array comes back whole.
      long count = 0;
      GUID* iids = nullptr;
      ASSERT_EQ(device->GetAvailableInterface(&count, &iids), S_OK);
      ASSERT_EQ(count, 7);
      EXPECT_TRUE(IsEqualIID(iids[3], IID_IPreview));
      EXPECT_TRUE(IsEqualIID(iids[6], IID_IAutoScan2));
      CoTaskMemFree(iids);

      ComPtr<IPreview2> preview;
      EXPECT_EQ(device->GetInterface(IID_IPreview2, reinterpret_cast<void**>(preview.GetAddressOf())), S_OK);
      ASSERT_TRUE(preview);
      EXPECT_EQ(preview->Run(0), errors::kPreviewNotInit);
      void* none = nullptr;
      EXPECT_EQ(device->GetInterface(IID_IHalItem, &none), E_NOTIMPL);
      EXPECT_EQ(none, nullptr);
    }
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    SetEvent(done.get());
    // Serve the calls that the object's release makes into this apartment while waiting.
    DWORD index = 0;
    HANDLE wait = released.get();
    EXPECT_EQ(CoWaitForMultipleHandles(0, 30000, 1, &wait, &index), S_OK);
    mta.join();
  }
  CoUninitialize();
}

}  // namespace

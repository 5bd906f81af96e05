// The caption relay's module file: its filter and page come out of the class object without the
// registry, and registration writes and removes both class keys.
#include <gtest/gtest.h>

#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "filters/base/dshow.h"
#include "filters/caption/caption_relay_filter.h"

namespace {

using DllFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

bool ClassRegistered(REFCLSID clsid) {
  wchar_t text[40] = {};
  StringFromGUID2(clsid, text, 40);
  UniqueRegKey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + text + L"\\InprocServer32").c_str(), 0,
                       KEY_READ, key.put()) == ERROR_SUCCESS;
}

TEST(CcRelayModule, CreatesFromTheFileAndRegistersBothClasses) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    UniqueModule module(LoadLibraryW(testing_support::BinPath(L"CcRelay.ax").c_str()));
    ASSERT_TRUE(module);
    auto getClassObject = GetProcAs<GetClassObjectFn>(module.get(), "DllGetClassObject");
    for (const CLSID* clsid : {&caption::CLSID_CcRelay, &caption::CLSID_CcChannelPage}) {
      IClassFactory* factory = nullptr;
      ASSERT_EQ(getClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
      IUnknown* object = nullptr;
      ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
      EXPECT_EQ(factory->Release(), 0u);
      EXPECT_EQ(object->Release(), 0u);
    }
    EXPECT_EQ(GetProcAs<DllFn>(module.get(), "DllCanUnloadNow")(), S_OK);
    ASSERT_EQ(GetProcAs<DllFn>(module.get(), "DllRegisterServer")(), S_OK);
    EXPECT_TRUE(ClassRegistered(caption::CLSID_CcRelay));
    EXPECT_TRUE(ClassRegistered(caption::CLSID_CcChannelPage));
    ASSERT_EQ(GetProcAs<DllFn>(module.get(), "DllUnregisterServer")(), S_OK);
    EXPECT_FALSE(ClassRegistered(caption::CLSID_CcRelay));
    EXPECT_FALSE(ClassRegistered(caption::CLSID_CcChannelPage));
  }
  CoUninitialize();
}

}  // namespace

// The caption relay's module file: its filter and page come out of the class object without the
// registry, and registration writes and removes both class keys and the mapper's record.
#include <gtest/gtest.h>

#include <string>

#include "common/testing/com_module.h"
#include "common/testing/registry_fixture.h"
#include "common/dshow.h"
#include "filters/base/testkit/mapper_record.h"
#include "filters/caption/caption_relay_filter.h"

using testing_support::ClassKey;
using testing_support::KeyExists;

namespace {

bool ClassRegistered(REFCLSID clsid) { return KeyExists(ClassKey(clsid) + L"\\InprocServer32"); }

// KSDATAFORMAT_TYPE_VBI
constexpr GUID kVbi = {0xf72a76e1, 0xeb0a, 0x11d0, {0xac, 0xe4, 0x00, 0x00, 0xc0, 0xcc, 0x16, 0xba}};

TEST(CcRelayModule, CreatesFromTheFileAndRegistersBothClasses) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    testing_support::ComModule module(L"CcRelay.ax");
    ASSERT_TRUE(module.valid());
    for (const CLSID* clsid : {&caption::CLSID_CcRelay, &caption::CLSID_CcChannelPage}) {
      IClassFactory* factory = nullptr;
      ASSERT_EQ(module.GetClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
      IUnknown* object = nullptr;
      ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
      EXPECT_EQ(factory->Release(), 0u);
      EXPECT_EQ(object->Release(), 0u);
    }
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
    ASSERT_EQ(module.Register(), S_OK);
    EXPECT_TRUE(ClassRegistered(caption::CLSID_CcRelay));
    EXPECT_TRUE(ClassRegistered(caption::CLSID_CcChannelPage));
    EXPECT_EQ(graph_testkit::Describe(graph_testkit::ReadMapperRecord(caption::CLSID_CcRelay)),
              graph_testkit::Describe(L"CcRelay", 0x200000,
                                      {{0, {{kVbi, GUID_NULL}}},
                                       {REG_PINFLAG_B_OUTPUT, {{MEDIATYPE_AUXLine21Data, MEDIASUBTYPE_Line21_BytePair}}}}));
    ASSERT_EQ(module.Unregister(), S_OK);
    EXPECT_FALSE(graph_testkit::ReadMapperRecord(caption::CLSID_CcRelay).found);
    EXPECT_FALSE(ClassRegistered(caption::CLSID_CcRelay));
    EXPECT_FALSE(ClassRegistered(caption::CLSID_CcChannelPage));
  }
  CoUninitialize();
}

}  // namespace

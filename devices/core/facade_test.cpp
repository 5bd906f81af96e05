// The facade template under another family's policy: a smaller interface map, no pointer
// checks at the facade, the class's own trace names.
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/trace.h"
#include "devices/core/facade.h"
#include "devices/core/testing/scripted_operations.h"

using Microsoft::WRL::ComPtr;

ReleaseTrace& ModuleTrace() {
  static ReleaseTrace context(L"HKEY_CURRENT_USER\\Software\\VornTests\\NoTrace");
  return context;
}

namespace {

OperationScript* g_script = nullptr;

// A family that checks no pointers, answers E_POINTER without a device object and serves twelve
// interfaces (no IPreview2, no second window interfaces).
struct PlainTraits {
  static constexpr const wchar_t* kClassName = L"CPexDeviceManager";
  static constexpr DmInterface kInterfaceMap[] = {
      DmInterface::DeviceSetup, DmInterface::Device,     DmInterface::DeviceInfoDetail,
      DmInterface::InputSwitch, DmInterface::InputQualityControl, DmInterface::Preview,
      DmInterface::PreviewWindow, DmInterface::CustomPreviewWindow, DmInterface::Sound,
      DmInterface::OutputData,  DmInterface::AutoScan,   DmInterface::AutoScan2,
  };
  static constexpr bool kCheckPointers = false;
  static constexpr HRESULT kNoImplementation = E_POINTER;
  static constexpr HRESULT kFailure = E_UNEXPECTED;
  static constexpr HRESULT kOutOfMemory = E_OUTOFMEMORY;
  static constexpr DWORD kLockTimeout = INFINITE;
  static std::unique_ptr<DeviceManagerOperations> CreateImplementation() {
    return std::make_unique<ScriptedOperations>(g_script);
  }
};
using Plain = DeviceManagerObject<PlainTraits>;

TEST(FacadeTemplate, AnswersOnlyTheFamilysInterfaces) {
  OperationScript script;
  g_script = &script;
  ComPtr<IUnknown> object;
  ASSERT_EQ(Plain::Create(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.GetAddressOf())), S_OK);
  for (const DmInterface itf : PlainTraits::kInterfaceMap) {
    void* p = nullptr;
    EXPECT_EQ(object->QueryInterface(InterfaceId(itf), &p), S_OK);
    if (p) static_cast<IUnknown*>(p)->Release();
  }
  for (const IID& iid : {IID_IPreview2, IID_IPreviewWindow2, IID_ICustomPreviewWindow2, IID_IOutputDataCB}) {
    void* p = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, &p), E_NOINTERFACE);
  }
  ComPtr<IAutoScan> scan;
  ComPtr<IAutoScan2> scan2;
  ASSERT_EQ(object.As(&scan), S_OK);
  ASSERT_EQ(object.As(&scan2), S_OK);
  EXPECT_EQ(static_cast<IAutoScan*>(scan2.Get()), scan.Get());
  scan.Reset();
  scan2.Reset();
  EXPECT_EQ(object.Detach()->Release(), 0u);
  EXPECT_EQ(script.destroyed, 1);
}

TEST(FacadeTemplate, WithoutPointerChecksTheDeviceObjectDecides) {
  OperationScript script;
  g_script = &script;
  ComPtr<IPreview> preview;
  ASSERT_EQ(Plain::Create(nullptr, IID_IPreview, reinterpret_cast<void**>(preview.GetAddressOf())), S_OK);
  EXPECT_EQ(preview->GetState(nullptr), E_NOTIMPL);  // forwarded, not refused
  ComPtr<IInputSwitch> input;
  ASSERT_EQ(preview.As(&input), S_OK);
  EXPECT_EQ(input->GetInputQualityControl(nullptr), E_POINTER);  // QueryInterface's own answer
  script.run = OperationScript::RunBehaviour::ThrowOther;
  EXPECT_EQ(preview->Run(0), E_UNEXPECTED);
}

TEST(FacadeTemplate, TraceNamesCarryTheClassAndTheInterfacePrefixes) {
  EXPECT_STREQ(facade_detail::ScopeName<PlainTraits>(FacadeMethod::IPreview_Run), L"CPexDeviceManager::IPreview_Run()");
  EXPECT_STREQ(facade_detail::ScopeName<PlainTraits>(FacadeMethod::SetDeviceInfo), L"CPexDeviceManager::SetDeviceInfo()");
  EXPECT_STREQ(facade_detail::ScopeName<PlainTraits>(FacadeMethod::ICustomPreviewWindow2_GetZoomMode),
               L"CPexDeviceManager::ICustomPreviewWindow2_GetZoomMode()");
  EXPECT_STREQ(facade_detail::ScopeName<PlainTraits>(FacadeMethod::FinalRelease), L"CPexDeviceManager::FinalRelease()");
  // One name per method: a clash would merge two methods' records.
  std::set<std::wstring> names;
  for (std::size_t i = 0; i < static_cast<std::size_t>(FacadeMethod::Count); ++i)
    names.insert(FacadeMethodName(static_cast<FacadeMethod>(i)));
  EXPECT_EQ(names.size(), static_cast<std::size_t>(FacadeMethod::Count));
  EXPECT_EQ(names.count(L"ISound_SetVolume"), 1u);
  EXPECT_EQ(names.count(L"GetChannelFreqLevel"), 1u);
}

}  // namespace

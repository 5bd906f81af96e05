// tamDevice.dll as a host meets it: registration with regsvr32, creation by class identifier,
// calls through the proxies from another apartment, and the trace records of its facade.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/debug_capture.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/registrar.h"
#include "devices/tuner1/tam_traits.h"
#include "sim/doubles/hal_item.h"

using Microsoft::WRL::ComPtr;
using testing_support::BinPath;

namespace {

using RegFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::wstring Value(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t buffer[MAX_PATH] = {};
  DWORD bytes = sizeof(buffer) - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) != ERROR_SUCCESS)
    return L"<missing>";
  return buffer;
}

DWORD RunRegsvr32(const std::wstring& arguments) {
  std::wstring command = L"regsvr32.exe /s " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &si, &pi))
    return GetLastError();
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
    TerminateProcess(pi.hProcess, 1);
    return WAIT_TIMEOUT;
  }
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  return code;
}

const std::wstring kClassKey = L"CLSID\\{DFD021C0-14CE-47DD-9792-ACE51354850D}";

TEST(TamModule, ExportsTheServerEntryPoints) {
  UniqueModule m(LoadLibraryW(BinPath(L"tamDevice.dll").c_str()));
  ASSERT_TRUE(m.valid()) << GetLastError();
  for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
    EXPECT_NE(GetProcAddress(m.get(), name), nullptr) << name;
}

TEST(TamModule, Regsvr32WritesAndRemovesEveryKey) {
  const std::wstring dll = BinPath(L"tamDevice.dll");
  ASSERT_EQ(RunRegsvr32(L"\"" + dll + L"\""), 0u);

  EXPECT_EQ(Value(kClassKey), L"tamDeviceManager Class");
  EXPECT_EQ(Value(kClassKey + L"\\InprocServer32"), dll);
  EXPECT_EQ(Value(kClassKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(Value(kClassKey + L"\\ProgID"), L"tamDevice.tamDeviceManager.1");
  EXPECT_EQ(Value(kClassKey + L"\\VersionIndependentProgID"), L"tamDevice.tamDeviceManager");
  EXPECT_EQ(Value(kClassKey + L"\\TypeLib"), L"{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}");
  EXPECT_EQ(Value(L"tamDevice.tamDeviceManager.1\\CLSID"), L"{DFD021C0-14CE-47DD-9792-ACE51354850D}");
  EXPECT_EQ(Value(L"tamDevice.tamDeviceManager\\CLSID"), L"{DFD021C0-14CE-47DD-9792-ACE51354850D}");
  EXPECT_EQ(Value(L"tamDevice.tamDeviceManager\\CurVer"), L"tamDevice.tamDeviceManager.1");
  EXPECT_TRUE(KeyExists(L"TypeLib\\{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}\\1.0"));
  // Every custom interface is marshalled by the proxies in this module.
  const std::wstring ps = Value(L"Interface\\{15C05966-6784-4604-96F0-0B6A641C843A}\\ProxyStubClsid32");
  EXPECT_NE(ps, L"<missing>");
  EXPECT_EQ(Value(L"Interface\\{66F2082F-4FAB-420F-A5BE-EE12C2857597}\\ProxyStubClsid32"), ps);
  EXPECT_EQ(Value(L"CLSID\\" + ps + L"\\InprocServer32"), dll);
  CLSID progClsid{};
  EXPECT_EQ(CLSIDFromProgID(L"tamDevice.tamDeviceManager", &progClsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(progClsid, kClsidTamDeviceManager));

  ASSERT_EQ(RunRegsvr32(L"/u \"" + dll + L"\""), 0u);
  for (const std::wstring& key :
       {kClassKey, std::wstring(L"tamDevice.tamDeviceManager.1"), std::wstring(L"tamDevice.tamDeviceManager"),
        std::wstring(L"TypeLib\\{51E87F89-0D9D-48AA-BC69-E7B1E49828B8}"),
        std::wstring(L"Interface\\{15C05966-6784-4604-96F0-0B6A641C843A}"), L"CLSID\\" + ps})
    EXPECT_FALSE(KeyExists(key)) << std::string(key.begin(), key.end());
}

// Registers tamDevice.dll and the item double for the scope.
class Registered {
 public:
  Registered() {
    for (const wchar_t* name : {L"tamDevice.dll", L"vorn_halitem.dll"}) {
      modules_[count_].reset(LoadLibraryW(BinPath(name).c_str()));
      auto reg = GetProcAs<RegFn>(modules_[count_].get(), "DllRegisterServer");
      ok_ = ok_ && reg && reg() == S_OK;
      ++count_;
    }
  }
  ~Registered() {
    for (auto& m : modules_)
      if (auto unreg = GetProcAs<RegFn>(m.get(), "DllUnregisterServer")) unreg();
  }
  bool ok() const { return ok_; }

 private:
  UniqueModule modules_[2];
  int count_ = 0;
  bool ok_ = true;
};

// The object lives in the multi-threaded apartment; a single-threaded apartment uses it through
// the global interface table, that is through the module's proxies.
TEST(TamModule, WorksThroughTheProxiesFromAnotherApartment) {
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  {
    Registered registered;
    ASSERT_TRUE(registered.ok());
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
      path.bstrVal = SysAllocString(L"\\\\?\\pci#ven_1&dev_2&subsys_3&rev_4#5#{65e8773d-8f56-11d0-a3b9-00a0c9223196}");
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
      EXPECT_EQ(device->GetInfo(99, &got), kHalItemNoValue);

      // A counted array comes back whole.
      long count = 0;
      GUID* iids = nullptr;
      ASSERT_EQ(device->GetAvailableInterface(&count, &iids), S_OK);
      ASSERT_EQ(count, 15);
      EXPECT_TRUE(IsEqualIID(iids[5], IID_IPreview));
      EXPECT_TRUE(IsEqualIID(iids[14], IID_IAutoScan2));
      CoTaskMemFree(iids);

      ComPtr<IPreview2> preview;
      EXPECT_EQ(device->GetInterface(IID_IPreview2, reinterpret_cast<void**>(preview.GetAddressOf())), S_OK);
      ASSERT_TRUE(preview);
      EXPECT_EQ(preview->Run(0), E_NOTIMPL);
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

// The records the facade leaves in the release trace, read from the debugger output of a child
// process (the trace reads its settings once per process).
VORN_CHILD(TraceTamCalls) {
  testing_support::DebugOutputCapture capture;
  UniqueModule m(LoadLibraryW(BinPath(L"tamDevice.dll").c_str()));
  auto getClassObject = GetProcAs<GetClassObjectFn>(m.get(), "DllGetClassObject");
  if (!getClassObject) return 10;
  ComPtr<IClassFactory> factory;
  if (getClassObject(kClsidTamDeviceManager, IID_PPV_ARGS(factory.GetAddressOf())) != S_OK) return 11;
  ComPtr<IPreview> preview;
  if (factory->CreateInstance(nullptr, IID_PPV_ARGS(preview.GetAddressOf())) != S_OK) return 12;
  if (preview->Run(0) != E_NOTIMPL) return 13;
  if (preview->GetState(nullptr) != errors::kDmNullPointer) return 14;
  ComPtr<ICustomPreviewWindow2> window;
  if (preview.As(&window) != S_OK || window->GetZoomMode(nullptr) != errors::kDmNullPointer) return 15;
  ComPtr<IDeviceInfoDetail> info;
  if (preview.As(&info) != S_OK || info->GetAvailableChannelInfo(nullptr, nullptr, nullptr) != errors::kDmNullPointer)
    return 16;
  window.Reset();
  info.Reset();
  if (preview.Detach()->Release() != 0) return 17;

  const auto both = [&](const wchar_t* name) {
    const std::wstring quoted = std::wstring(L"\"") + name + L"\",";
    return capture.Containing(quoted + L"[IN]").size() == 1 && capture.Containing(quoted + L"[OUT]").size() == 1;
  };
  int failures = 0;
  for (const wchar_t* name :
       {L"CTamDeviceManager::FinalConstruct()", L"CTamDeviceManager::IPreview_Run()",
        L"CTamDeviceManager::IPreview_GetState()", L"CTamDeviceManager::ICustomPreviewWindow2_GetZoomMode()",
        L"CTamDeviceManager::GetAvailableChannelInfo()", L"CTamDeviceManager::FinalRelease()"}) {
    if (!both(name)) {
      std::printf("missing trace records of %ls\n", name);
      ++failures;
    }
  }
  // In order: the entry record before the exit record of the same call.
  const auto texts = capture.Texts();
  size_t in = texts.size(), out = texts.size();
  for (size_t i = 0; i < texts.size(); ++i) {
    if (texts[i].find(L"\"CTamDeviceManager::IPreview_Run()\",[IN]") != std::wstring::npos) in = i;
    if (texts[i].find(L"\"CTamDeviceManager::IPreview_Run()\",[OUT]") != std::wstring::npos) out = i;
  }
  if (!(in < out && out < texts.size())) ++failures;
  return failures == 0 ? 0 : 20 + failures;
}

TEST(TamModule, TraceRecordsCarryTheFacadeNames) {
  testing_support::ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                          L"SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace");
  ASSERT_TRUE(key.SetDword(L"trace", 1));
  EXPECT_EQ(testing_support::RunChild("TraceTamCalls"), 0u);
}

}  // namespace

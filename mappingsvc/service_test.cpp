// MappingSvc.exe as the programs that use it see it: registration switches, the service under
// the service control manager, activation through COM and calls through the type-library
// marshaller from more than one process. Every case stops and deletes the service it installed.
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "mappingsvc/mappingsvc_idl.h"
#include "mappingsvc/test_names.h"

using Microsoft::WRL::ComPtr;
using testing_support::BinPath;
using testing_support::ChildProcess;
using testing_support::KeyExists;
using testing_support::ReadString;
using testing_support::UniqueName;
using mappingsvc_test::Bstr;
using mappingsvc_test::NameExists;
using mappingsvc_test::Scramble;

namespace {

constexpr wchar_t kServiceName[] = L"Quib Tovrel Service";
constexpr wchar_t kClsidKey[] = L"CLSID\\{50711FB4-E85E-405B-A16D-D192832636A7}";
constexpr wchar_t kAppIdKey[] = L"AppID\\{B45A1334-50BD-4226-BAF7-67361DB9ACC0}";
constexpr wchar_t kAppIdExeKey[] = L"AppID\\MappingSvc.EXE";
constexpr wchar_t kInterfaceKey[] = L"Interface\\{63F2C727-B009-4FD9-802D-3F1555A0DC36}";
constexpr DWORD kStateWaitMs = 30000;
constexpr DWORD kMagic = 0x5356434D;

struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

// Runs MappingSvc.exe with `arguments`; its exit code, or STILL_ACTIVE when it hung.
DWORD RunMappingSvc(const std::wstring& arguments) {
  std::wstring command = L"\"" + BinPath(L"MappingSvc.exe") + L"\" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return static_cast<DWORD>(-1);
  }
  CloseHandle(pi.hThread);
  UniqueHandle process(pi.hProcess);
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    return STILL_ACTIVE;
  }
  GetExitCodeProcess(process.get(), &code);
  return code;
}

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

SERVICE_STATUS_PROCESS QueryStatus(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    status.dwCurrentState = 0;
  }
  return status;
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs = kStateWaitMs) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
    if (QueryStatus(service).dwCurrentState == state) return true;
    Sleep(50);
  }
  return QueryStatus(service).dwCurrentState == state;
}

// Stops and deletes the service if it exists, whatever state a failed case left it in.
void StopAndDeleteService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return;
  UniqueServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) return;
  SERVICE_STATUS status{};
  if (QueryStatus(service.get()).dwCurrentState != SERVICE_STOPPED) {
    // A start may still be pending: retry the stop until the service accepts it.
    for (int i = 0; i < 200 && !ControlService(service.get(), SERVICE_CONTROL_STOP, &status); ++i) {
      if (GetLastError() == ERROR_SERVICE_NOT_ACTIVE) break;
      Sleep(50);
    }
    WaitForState(service.get(), SERVICE_STOPPED);
  }
  DeleteService(service.get());
}

class MappingServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    comInitialized_ = true;
    manager_.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_);
  }
  void TearDown() override {
    StopAndDeleteService();
    EXPECT_EQ(RunMappingSvc(L"-UnregServer"), 0u);
    manager_.reset();
    if (comInitialized_) CoUninitialize();
  }

  UniqueServiceHandle OpenOurService() {
    return UniqueServiceHandle(::OpenServiceW(manager_.get(), kServiceName, SERVICE_ALL_ACCESS));
  }

  static ComPtr<IZarnMMFSupport> Activate() {
    ComPtr<IZarnMMFSupport> object;
    const HRESULT hr = CoCreateInstance(CLSID_ZarnMMFSupport, nullptr, CLSCTX_LOCAL_SERVER,
                                        IID_IZarnMMFSupport, reinterpret_cast<void**>(object.GetAddressOf()));
    EXPECT_EQ(hr, S_OK);
    return object;
  }

  UniqueServiceHandle manager_;
  bool comInitialized_ = false;
};

// A second client process: gets its own handle to the parent's section through the service.
VORN_CHILD(SecondClient) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  int code = 0;
  {
    ComPtr<IZarnMMFSupport> object;
    if (FAILED(CoCreateInstance(CLSID_ZarnMMFSupport, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_IZarnMMFSupport, reinterpret_cast<void**>(object.GetAddressOf())))) {
      code = 3;
    } else {
      Bstr name(args.at(0));
      INT64 handle = 0;
      LONG first = 7;
      if (object->CreateTunerInfoS(name, 0, 4096, GetCurrentProcessId(), &handle, &first) != S_OK) {
        code = 4;
      } else {
        UniqueHandle mapping(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle)));
        UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 4));
        if (first != 0) code = 5;
        else if (!view) code = 6;
        else if (*static_cast<const DWORD*>(view.get()) != kMagic) code = 7;
      }
    }
  }
  CoUninitialize();
  return code;
}

}  // namespace

TEST_F(MappingServiceTest, ServiceSwitchInstallsAndUnregServerRemovesEverything) {
  ASSERT_EQ(RunMappingSvc(L"-Service"), 0u);
  ASSERT_EQ(RunMappingSvc(L"/service"), 0u);  // installed already: still a success

  UniqueServiceHandle service = OpenOurService();
  ASSERT_TRUE(service);
  std::vector<BYTE> buffer(8192);
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed));
  const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_STREQ(config->lpDisplayName, kServiceName);
  ASSERT_NE(config->lpServiceStartName, nullptr);
  EXPECT_STREQ(config->lpServiceStartName, L"LocalSystem");
  // Wine's QueryServiceConfigW leaves the dependencies out: read them where the manager keeps them.
  wchar_t dependencies[64] = {};
  DWORD size = sizeof(dependencies) - 2 * sizeof(wchar_t);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE,
                         L"System\\CurrentControlSet\\Services\\Quib Tovrel Service",
                         L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, dependencies, &size),
            static_cast<LONG>(ERROR_SUCCESS));
  EXPECT_STREQ(dependencies, L"RPCSS");
  EXPECT_EQ(dependencies[6], L'\0');  // the only one
  EXPECT_NE(std::wstring(config->lpBinaryPathName).find(L"MappingSvc.exe"), std::wstring::npos);
  service.reset();

  EXPECT_EQ(ReadString(kClsidKey, nullptr), L"CZarnMMFSupport Object");
  EXPECT_EQ(ReadString(kClsidKey, L"AppID"), L"{B45A1334-50BD-4226-BAF7-67361DB9ACC0}");
  EXPECT_NE(ReadString(std::wstring(kClsidKey) + L"\\LocalServer32", nullptr).find(L"MappingSvc.exe"),
            std::wstring::npos);
  EXPECT_EQ(ReadString(std::wstring(kClsidKey) + L"\\ProgID", nullptr), L"MappingSvc.ZarnMMFSupport.1");
  EXPECT_EQ(ReadString(std::wstring(kClsidKey) + L"\\VersionIndependentProgID", nullptr),
            L"MappingSvc.ZarnMMFSupport");
  EXPECT_EQ(ReadString(L"MappingSvc.ZarnMMFSupport\\CurVer", nullptr), L"MappingSvc.ZarnMMFSupport.1");
  EXPECT_EQ(ReadString(L"MappingSvc.ZarnMMFSupport.1\\CLSID", nullptr),
            L"{50711FB4-E85E-405B-A16D-D192832636A7}");
  EXPECT_EQ(ReadString(kAppIdKey, nullptr), L"MappingSvc");
  EXPECT_EQ(ReadString(kAppIdKey, L"LocalService"), kServiceName);
  EXPECT_EQ(ReadString(kAppIdExeKey, L"AppID"), L"{B45A1334-50BD-4226-BAF7-67361DB9ACC0}");
  // The type library makes the dual interface marshal through the automation marshaller.
  EXPECT_EQ(ReadString(std::wstring(kInterfaceKey) + L"\\ProxyStubClsid32", nullptr),
            L"{00020424-0000-0000-C000-000000000046}");

  ASSERT_EQ(RunMappingSvc(L"-UnregServer"), 0u);
  EXPECT_FALSE(OpenOurService());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  for (const std::wstring& key : {std::wstring(kClsidKey), std::wstring(kAppIdKey),
                                  std::wstring(kAppIdExeKey), std::wstring(kInterfaceKey),
                                  std::wstring(L"MappingSvc.ZarnMMFSupport"),
                                  std::wstring(L"MappingSvc.ZarnMMFSupport.1")}) {
    EXPECT_FALSE(KeyExists(key)) << Narrow(key);
  }
  EXPECT_EQ(RunMappingSvc(L"-UnregServer"), 0u);  // nothing left to remove: still a success
}

TEST_F(MappingServiceTest, ServiceServesTwoClientProcessesAndStopReleasesKeptSections) {
  ASSERT_EQ(RunMappingSvc(L"-Service"), 0u);
  UniqueServiceHandle service = OpenOurService();
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING));
  const DWORD servicePid = QueryStatus(service.get()).dwProcessId;
  EXPECT_NE(servicePid, 0u);
  EXPECT_NE(servicePid, GetCurrentProcessId());

  const std::wstring kept = UniqueName(L"Global\\vorn_svc_kept_");
  {
    ComPtr<IZarnMMFSupport> object = Activate();
    ASSERT_TRUE(object);

    // A handle for this process, then a second client process on the same name.
    const std::wstring shared = UniqueName(L"Global\\vorn_svc_");
    Bstr sharedName(shared);
    INT64 handle = 0;
    LONG first = 7;
    ASSERT_EQ(object->CreateTunerInfoS(sharedName, 0, 4096, GetCurrentProcessId(), &handle, &first), S_OK);
    EXPECT_EQ(first, 1);
    UniqueHandle mapping(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle)));
    UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 4096));
    ASSERT_TRUE(view);
    *static_cast<DWORD*>(view.get()) = kMagic;
    EXPECT_EQ(ChildProcess::Start("SecondClient", {shared}).Wait(kStateWaitMs), 0u);

    Bstr lower(L"global\\" + shared.substr(7));
    EXPECT_EQ(object->CreateTunerInfoS(lower, 0, 4096, GetCurrentProcessId(), &handle, &first), E_INVALIDARG);

    // Kept by the service: the section outlives this client's interest in it.
    Bstr scrambled(Scramble(kept));
    ASSERT_EQ(object->CreateTunerInfo(scrambled, 4096, &first), S_OK);
    EXPECT_EQ(first, 1);
    ASSERT_EQ(object->CreateTunerInfo(scrambled, 4096, &first), S_OK);
    EXPECT_EQ(first, 0);
  }
  EXPECT_TRUE(NameExists(kept));

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED));
  // Gone by the time the service reports that it stopped.
  EXPECT_FALSE(NameExists(kept));
}

TEST_F(MappingServiceTest, ActivationStartsTheInstalledService) {
  ASSERT_EQ(RunMappingSvc(L"-Service"), 0u);
  UniqueServiceHandle service = OpenOurService();
  ASSERT_TRUE(service);
  EXPECT_EQ(QueryStatus(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  ComPtr<IZarnMMFSupport> object = Activate();
  ASSERT_TRUE(object);
  const SERVICE_STATUS_PROCESS status = QueryStatus(service.get());
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_NE(status.dwProcessId, GetCurrentProcessId());

  const std::wstring kept = UniqueName(L"Global\\vorn_svc_kept_");
  Bstr scrambled(Scramble(kept));
  LONG first = 7;
  ASSERT_EQ(object->CreateTunerInfo(scrambled, 4096, &first), S_OK);
  EXPECT_EQ(first, 1);
  object.Reset();
  EXPECT_TRUE(NameExists(kept));  // a service does not end with its last object
}

// Sequential clients, each creating, calling and releasing: the plain server stays while they
// come and go (it leaves only once idle for its linger since the last release) and every
// activation reaches it. Each failure is listed with its place in the run.
TEST_F(MappingServiceTest, SequentialActivationsOfThePlainServerAllSucceed) {
  ASSERT_EQ(RunMappingSvc(L"-RegServer"), 0u);
  constexpr int kActivations = 500;
  std::string failures;
  int failed = 0;
  ULONGLONG previous = GetTickCount64();
  for (int i = 0; i < kActivations; ++i) {
    const ULONGLONG start = GetTickCount64();
    ComPtr<IZarnMMFSupport> object;
    HRESULT hr = CoCreateInstance(CLSID_ZarnMMFSupport, nullptr, CLSCTX_LOCAL_SERVER, IID_IZarnMMFSupport,
                                  reinterpret_cast<void**>(object.GetAddressOf()));
    const char* stage = "activation";
    if (SUCCEEDED(hr)) {
      stage = "call";
      // A name outside the global prefix: answered by the object, nothing made.
      Bstr name(L"vorn_not_global");
      INT64 handle = 0;
      LONG first = 0;
      hr = object->CreateTunerInfoS(name, 0, 4096, GetCurrentProcessId(), &handle, &first);
      hr = hr == E_INVALIDARG ? S_OK : (FAILED(hr) ? hr : E_UNEXPECTED);
    }
    object.Reset();
    const ULONGLONG end = GetTickCount64();
    if (hr != S_OK && ++failed <= 5) {
      failures += FormatA("#%d %s 0x%08lX after %llu ms (%llu ms after the one before)\n", i, stage,
                          static_cast<unsigned long>(hr), end - start, start - previous);
    }
    previous = end;
  }
  EXPECT_EQ(failed, 0) << failures;
}

TEST_F(MappingServiceTest, UnregServerOfACleanStateSucceedsAndLeavesNoKey) {
  EXPECT_EQ(RunMappingSvc(L"-UnregServer"), 0u);
  EXPECT_EQ(RunMappingSvc(L"-UnregServer"), 0u);
  for (const std::wstring& key : {std::wstring(kClsidKey), std::wstring(kAppIdKey), std::wstring(kAppIdExeKey),
                                 std::wstring(kInterfaceKey), std::wstring(L"MappingSvc.ZarnMMFSupport")}) {
    EXPECT_FALSE(KeyExists(key)) << Narrow(key);
  }
}

TEST_F(MappingServiceTest, RegServerRunsAsAPlainLocalServer) {
  // Installed as a service first: RegServer takes the AppID's service name away again.
  ASSERT_EQ(RunMappingSvc(L"-Service"), 0u);
  ASSERT_EQ(RunMappingSvc(L"-RegServer"), 0u);
  EXPECT_EQ(ReadString(kAppIdKey, L"LocalService"), L"<none>");
  EXPECT_EQ(ReadString(kAppIdKey, nullptr), L"MappingSvc");

  const std::wstring kept = UniqueName(L"Global\\vorn_svc_kept_");
  {
    ComPtr<IZarnMMFSupport> object = Activate();
    ASSERT_TRUE(object);
    UniqueServiceHandle service = OpenOurService();
    ASSERT_TRUE(service);
    EXPECT_EQ(QueryStatus(service.get()).dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

    const std::wstring shared = UniqueName(L"Global\\vorn_svc_");
    Bstr sharedName(shared);
    INT64 handle = 0;
    LONG first = 7;
    ASSERT_EQ(object->CreateTunerInfoS(sharedName, 0, 4096, GetCurrentProcessId(), &handle, &first), S_OK);
    EXPECT_EQ(first, 1);
    UniqueHandle mapping(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle)));
    UniqueMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 4096));
    EXPECT_TRUE(view);

    // Kept sections exist in this mode too.
    Bstr scrambled(Scramble(kept));
    ASSERT_EQ(object->CreateTunerInfo(scrambled, 4096, &first), S_OK);
    EXPECT_EQ(first, 1);
    EXPECT_TRUE(NameExists(kept));
  }
  // The last object gone, the server leaves and its kept sections with it.
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = !NameExists(kept);
    if (!gone) Sleep(50);
  }
  EXPECT_TRUE(gone);
}

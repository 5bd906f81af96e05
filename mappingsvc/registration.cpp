#include "mappingsvc/registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <string>

#include "common/class_registration.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/path.h"
#include "mappingsvc/identity.h"
#include "mappingsvc/mappingsvc_idl.h"
#include "mappingsvc/shell_log.h"

namespace mappingsvc {
namespace {

// How long an uninstall waits for a running service to report that it stopped.
constexpr DWORD kStopWaitMs = 10000;
constexpr DWORD kStopPollMs = 50;

struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

std::wstring AppIdKey() { return std::wstring(L"AppID\\") + kAppIdString; }

// The class as COM knows it; `path` is the server's own.
LocalServerClass ServerClass(const std::wstring& path) {
  return {kClsidString, kClassName, kAppIdString, kAppIdName, kAppIdExeKey, LocalServerCommand(path),
          kProgId, kVersionIndependentProgId, GuidKeyName(LIBID_MappingSvcLib)};
}

HRESULT DeleteValue(const std::wstring& key, const wchar_t* value) {
  UniqueRegKey handle;
  LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_SET_VALUE, handle.put());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = RegDeleteValueW(handle.get(), value);
  return status == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(status);
}

HRESULT UnregisterOwnTypeLib(const std::wstring& path) {
  if (!ClassesRootKeyExists(L"TypeLib\\" + GuidKeyName(LIBID_MappingSvcLib))) return S_OK;
  Microsoft::WRL::ComPtr<ITypeLib> library;
  RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.GetAddressOf()));
  TLIBATTR* attributes = nullptr;
  RETURN_IF_FAILED(library->GetLibAttr(&attributes));
  const WORD major = attributes->wMajorVerNum, minor = attributes->wMinorVerNum;
  library->ReleaseTLibAttr(attributes);
  return UnregisterModuleTypeLib(LIBID_MappingSvcLib, major, minor);
}

bool WaitForStopped(SC_HANDLE service) {
  for (DWORD waited = 0;; waited += kStopPollMs) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (waited >= kStopWaitMs) return false;
    Sleep(kStopPollMs);
  }
}

}  // namespace

HRESULT RegisterServer(bool asService) {
  const std::wstring path = ModulePath::OfModule(nullptr).str();
  if (path.empty()) return HResultFromLastError();
  HRESULT hr = S_OK;
  for (const ClassesRootValue& value : LocalServerValues(ServerClass(path))) {
    KeepFirstFailure(hr, SetClassesRootValue(value));
  }
  if (asService) KeepFirstFailure(hr, SetClassesRootValue({AppIdKey(), L"LocalService", ServiceName()}));
  else KeepFirstFailure(hr, DeleteValue(AppIdKey(), L"LocalService"));
  KeepFirstFailure(hr, RegisterModuleTypeLib(path));
  if (asService && SUCCEEDED(hr)) hr = InstallService();
  return hr;
}

HRESULT UnregisterServer() {
  HRESULT hr = UninstallService();
  const std::wstring path = ModulePath::OfModule(nullptr).str();
  // The type library first: its unregistration reads the class's interfaces from the file.
  if (!path.empty()) KeepFirstFailure(hr, UnregisterOwnTypeLib(path));
  // AppID\<identifier> is among them: the "LocalService" value goes with the key.
  KeepFirstFailure(hr, DeleteLocalServer(ServerClass(path)));
  return hr;
}

HRESULT InstallService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const HRESULT hr = HResultFromLastError();
    LogError(L"Could not open Service Manager");
    return hr;
  }
  UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName(), SERVICE_QUERY_CONFIG));
  if (service) return S_OK;  // installed already

  const std::wstring command = LocalServerCommand(ModulePath::OfModule(nullptr).str());
  service.reset(CreateServiceW(manager.get(), ServiceName(), ServiceName(), SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                               SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                               kServiceDependencies, nullptr /* LocalSystem */, nullptr));
  if (!service) {
    const HRESULT hr = HResultFromLastError();
    LogError(L"Could not create service");
    return hr;
  }
  return S_OK;
}

HRESULT UninstallService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    const HRESULT hr = HResultFromLastError();
    LogError(L"Could not open Service Manager");
    return hr;
  }
  UniqueServiceHandle service(
      OpenServiceW(manager.get(), ServiceName(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return S_OK;
    const HRESULT hr = HResultFromLastError();
    LogError(L"Could not open service");
    return hr;
  }
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    // Deleted while running, it would linger as "marked for delete" until it stops.
    if (!WaitForStopped(service.get())) LogWarning(L"Could not stop service");
  } else if (GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    LogWarning(L"Could not stop service");
  }
  if (!DeleteService(service.get())) {
    const HRESULT hr = HResultFromLastError();
    LogError(L"Could not delete service");
    return hr;
  }
  return S_OK;
}

bool AppIdNamesService() {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, AppIdKey().c_str(), 0, KEY_QUERY_VALUE, key.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0, size = 0;
  return RegQueryValueExW(key.get(), L"LocalService", nullptr, &type, nullptr, &size) ==
             ERROR_SUCCESS &&
         type == REG_SZ && size > sizeof(wchar_t);
}

}  // namespace mappingsvc

#include "mappingsvc/registration.h"

#include <oleauto.h>

#include <string>

#include "common/handles.h"
#include "common/hresult.h"
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

std::wstring ClsidKey() { return std::wstring(L"CLSID\\") + kClsidString; }
std::wstring AppIdKey() { return std::wstring(L"AppID\\") + kAppIdString; }
std::wstring AppIdExeKey() { return std::wstring(L"AppID\\") + kAppIdExeKey; }

std::wstring GuidString(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// Sets `value` (null: the default value) of HKCR\<key>, creating the key.
HRESULT SetString(const std::wstring& key, const wchar_t* value, const std::wstring& data) {
  UniqueRegKey handle;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, handle.put(), nullptr);
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = RegSetValueExW(handle.get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  return HResultFromWin32(status);
}

HRESULT DeleteValue(const std::wstring& key, const wchar_t* value) {
  UniqueRegKey handle;
  LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_SET_VALUE, handle.put());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  status = RegDeleteValueW(handle.get(), value);
  return status == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(status);
}

HRESULT DeleteTree(const std::wstring& key) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HResultFromWin32(status);
  // Some systems leave the emptied key itself behind.
  const LSTATUS gone = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  return gone == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(gone);
}

bool KeyExists(const std::wstring& key) {
  UniqueRegKey handle;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, handle.put()) == ERROR_SUCCESS;
}

// Keeps the first failure of a sequence of steps that all run.
void Keep(HRESULT& first, HRESULT hr) {
  if (SUCCEEDED(first) && FAILED(hr)) first = hr;
}

HRESULT LoadOwnTypeLib(const std::wstring& path, ITypeLib** library) {
  return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

HRESULT RegisterOwnTypeLib(const std::wstring& path) {
  ITypeLib* library = nullptr;
  RETURN_IF_FAILED(LoadOwnTypeLib(path, &library));
  std::wstring file = path;  // the API takes a non-const path
  const HRESULT hr = RegisterTypeLib(library, file.data(), nullptr);
  library->Release();
  return hr;
}

HRESULT UnregisterOwnTypeLib(const std::wstring& path) {
  if (!KeyExists(L"TypeLib\\" + GuidString(LIBID_MappingSvcLib))) return S_OK;
  ITypeLib* library = nullptr;
  RETURN_IF_FAILED(LoadOwnTypeLib(path, &library));
  TLIBATTR* attributes = nullptr;
  HRESULT hr = library->GetLibAttr(&attributes);
  if (SUCCEEDED(hr)) {
    hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                           attributes->lcid, attributes->syskind);
    library->ReleaseTLibAttr(attributes);
  }
  library->Release();
  return hr;
}

HRESULT RegisterClassKeys(const std::wstring& path) {
  const std::wstring clsid = ClsidKey();
  HRESULT hr = S_OK;
  Keep(hr, SetString(clsid, nullptr, kClassName));
  Keep(hr, SetString(clsid, L"AppID", kAppIdString));
  Keep(hr, SetString(clsid + L"\\LocalServer32", nullptr, L"\"" + path + L"\""));
  Keep(hr, SetString(clsid + L"\\ProgID", nullptr, kProgId));
  Keep(hr, SetString(clsid + L"\\VersionIndependentProgID", nullptr, kVersionIndependentProgId));
  Keep(hr, SetString(clsid + L"\\TypeLib", nullptr, GuidString(LIBID_MappingSvcLib)));
  Keep(hr, SetString(kProgId, nullptr, kClassName));
  Keep(hr, SetString(std::wstring(kProgId) + L"\\CLSID", nullptr, kClsidString));
  Keep(hr, SetString(kVersionIndependentProgId, nullptr, kClassName));
  Keep(hr, SetString(std::wstring(kVersionIndependentProgId) + L"\\CLSID", nullptr, kClsidString));
  Keep(hr, SetString(std::wstring(kVersionIndependentProgId) + L"\\CurVer", nullptr, kProgId));
  Keep(hr, SetString(AppIdKey(), nullptr, kAppIdName));
  Keep(hr, SetString(AppIdExeKey(), L"AppID", kAppIdString));
  return hr;
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
  const std::wstring path = ModulePath();
  if (path.empty()) return HResultFromLastError();
  HRESULT hr = RegisterClassKeys(path);
  if (asService) Keep(hr, SetString(AppIdKey(), L"LocalService", ServiceName()));
  else Keep(hr, DeleteValue(AppIdKey(), L"LocalService"));
  Keep(hr, RegisterOwnTypeLib(path));
  if (asService && SUCCEEDED(hr)) hr = InstallService();
  return hr;
}

HRESULT UnregisterServer() {
  HRESULT hr = UninstallService();
  const std::wstring path = ModulePath();
  // The type library first: its unregistration reads the class's interfaces from the file.
  if (!path.empty()) Keep(hr, UnregisterOwnTypeLib(path));
  Keep(hr, DeleteTree(ClsidKey()));
  Keep(hr, DeleteTree(kProgId));
  Keep(hr, DeleteTree(kVersionIndependentProgId));
  Keep(hr, DeleteTree(AppIdKey()));  // the "LocalService" value goes with the key
  Keep(hr, DeleteTree(AppIdExeKey()));
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

  const std::wstring command = L"\"" + ModulePath() + L"\"";
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

#include "devices/core/registrar.h"

#include <string>
#include <vector>

#include "common/class_registration.h"
#include "common/hresult.h"
#include "common/path.h"
#include "common/proxy.h"
#include "devices/idl/device_proxy.h"

namespace {

// The interfaces that the linked proxy files serve.
std::vector<ProxyInterface> LinkedProxyInterfaces() {
  return ProxyInterfaces(VornProxyInterfaceCount(), &VornProxyInterfaceAt);
}

HRESULT ModuleFile(HMODULE module, std::wstring* path) {
  *path = ModulePath::OfModule(module).str();
  return path->empty() ? HResultFromLastError() : S_OK;
}

// The device-manager classes whose modules all link the same proxies: tamDeviceManager,
// rulDeviceManager and pexDeviceManager.
constexpr CLSID kDeviceManagerClasses[] = {
    {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}},
    {0x95405826, 0xafa1, 0x439b, {0x94, 0x2a, 0x03, 0x9c, 0x7c, 0x39, 0x09, 0xb2}},
    {0xabb1b82e, 0x1c49, 0x4213, {0xa0, 0xef, 0x60, 0xa3, 0x7a, 0xad, 0xf0, 0x5c}},
};

// Another device-manager module that is still registered and present, which then serves the
// proxies once `path` goes; empty when there is none.
std::wstring RemainingProxyServer(const CLSID& leaving, const std::wstring& path) {
  for (const CLSID& peer : kDeviceManagerClasses) {
    if (IsEqualCLSID(peer, leaving)) continue;
    const std::wstring server = ReadClassesRootValue(L"CLSID\\" + GuidKeyName(peer) + L"\\InprocServer32", nullptr);
    if (server.empty() || NamesOwner(server, path)) continue;
    if (GetFileAttributesW(server.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
    return server;
  }
  return {};
}

// Removes the proxy registration with the last device-manager module; while another one stays
// registered, a registration that names the leaving module is handed to it, interface keys and
// all, so that its interfaces keep their marshalling.
HRESULT UnregisterDeviceProxies(const CLSID& leaving, const std::wstring& path) {
  const std::wstring serverKey = L"CLSID\\" + GuidKeyName(CLSID_VornDeviceProxyStub) + L"\\InprocServer32";
  const std::wstring named = ReadClassesRootValue(serverKey, nullptr);
  const std::wstring remaining = RemainingProxyServer(leaving, path);
  if (remaining.empty()) return UnregisterProxyStub(CLSID_VornDeviceProxyStub, path, LinkedProxyInterfaces());
  if (!NamesOwner(named, path)) return S_OK;  // served by the module that stays, or by none of ours
  return RegisterProxyStub(CLSID_VornDeviceProxyStub, remaining, LinkedProxyInterfaces());
}

}  // namespace

std::wstring GuidText(const GUID& guid) { return GuidKeyName(guid); }

HRESULT RegisterServer(const ServerRegistration& server, HMODULE module) {
  std::wstring path;
  RETURN_IF_FAILED(ModuleFile(module, &path));

  // The type library first: its registration may write interface keys that the proxy
  // registration below then completes.
  RETURN_IF_FAILED(RegisterModuleTypeLib(path));

  const std::wstring clsid = GuidKeyName(server.clsid);
  const std::wstring classKey = L"CLSID\\" + clsid;
  const std::wstring progId = server.progId;
  const std::wstring current = server.currentProgId;
  RETURN_IF_FAILED(SetClassesRootValues({
      {classKey, nullptr, server.description},
      {classKey + L"\\ProgID", nullptr, progId},
      {classKey + L"\\VersionIndependentProgID", nullptr, current},
      {classKey + L"\\InprocServer32", nullptr, path},
      {classKey + L"\\InprocServer32", L"ThreadingModel", server.threadingModel},
      {classKey + L"\\TypeLib", nullptr, GuidKeyName(server.typeLibId)},
      {progId, nullptr, server.description},
      {progId + L"\\CLSID", nullptr, clsid},
      {current, nullptr, server.description},
      {current + L"\\CLSID", nullptr, clsid},
      {current + L"\\CurVer", nullptr, progId},
  }));
  return RegisterProxyStub(CLSID_VornDeviceProxyStub, path, LinkedProxyInterfaces());
}

HRESULT UnregisterServer(const ServerRegistration& server, HMODULE module) {
  std::wstring path;
  RETURN_IF_FAILED(ModuleFile(module, &path));
  const std::wstring clsid = GuidKeyName(server.clsid);
  HRESULT result = UnregisterDeviceProxies(server.clsid, path);
  KeepFirstFailure(result, DeleteOwnedKey({server.progId, L"CLSID", nullptr}, clsid));
  KeepFirstFailure(result, DeleteOwnedKey({server.currentProgId, L"CLSID", nullptr}, clsid));
  KeepFirstFailure(result, DeleteOwnedKey({L"CLSID\\" + clsid, L"InprocServer32", nullptr}, path));
  KeepFirstFailure(result, UnregisterModuleTypeLib(server.typeLibId, server.typeLibMajor, server.typeLibMinor));
  return result;
}

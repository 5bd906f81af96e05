#include "devices/core/registrar.h"

#include <string>
#include <vector>

#include "common/class_registration.h"
#include "common/hresult.h"
#include "common/path.h"
#include "devices/idl/proxy.h"

namespace {

// The interfaces that the linked proxy files serve.
std::vector<ProxyInterface> LinkedProxyInterfaces() {
  return ProxyInterfaces(VornProxyInterfaceCount(), &VornProxyInterfaceAt);
}

HRESULT ModuleFile(HMODULE module, std::wstring* path) {
  *path = ModulePath::OfModule(module).str();
  return path->empty() ? HResultFromLastError() : S_OK;
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
  HRESULT result = UnregisterProxyStub(CLSID_VornDeviceProxyStub, path, LinkedProxyInterfaces());
  KeepFirstFailure(result, DeleteOwnedKey({server.progId, L"CLSID", nullptr}, clsid));
  KeepFirstFailure(result, DeleteOwnedKey({server.currentProgId, L"CLSID", nullptr}, clsid));
  KeepFirstFailure(result, DeleteOwnedKey({L"CLSID\\" + clsid, L"InprocServer32", nullptr}, path));
  KeepFirstFailure(result, UnregisterModuleTypeLib(server.typeLibId, server.typeLibMajor, server.typeLibMinor));
  return result;
}

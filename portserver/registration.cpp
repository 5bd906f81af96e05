#include "portserver/registration.h"

#include <string>

#include "common/class_registration.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "portserver/VornPort.h"

namespace port_registration {
namespace {

// The class as COM knows it; `server` is the server program's path.
LocalServerClass ServerClass(const wchar_t* server) {
  const PathString path(server);
  return {GuidKeyName(CLSID_LumacrestPort),
          kClassName,
          GuidKeyName(kAppId),
          kAppName,
          path.GetFileNameWithExtension().str(),
          LocalServerCommand(server),
          kProgId,
          kVersionIndependentProgId,
          GuidKeyName(LIBID_VornPortLib)};
}

// Registers or unregisters the proxies of the proxy/stub module beside the server, with the
// server as their registrant.
HRESULT RegisterProxies(const wchar_t* server, BOOL add) {
  const std::wstring path = PathString::Combine(PathString(server).GetFolder(), kProxyModule).str();
  UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return HResultFromLastError();
  auto fn = GetProcAs<HRESULT(STDAPICALLTYPE*)(BOOL, const wchar_t*)>(module.get(), "VornPortRegisterProxies");
  if (!fn) return HResultFromLastError();
  return fn(add, server);
}

}  // namespace

HRESULT Register(const wchar_t* server) {
  RETURN_IF_FAILED(SetClassesRootValues(LocalServerValues(ServerClass(server))));
  RETURN_IF_FAILED(RegisterModuleTypeLib(server));  // resource 1 of the server itself
  return RegisterProxies(server, TRUE);
}

HRESULT Unregister(const wchar_t* server) {
  HRESULT result = DeleteLocalServer(ServerClass(server));
  KeepFirstFailure(result, UnregisterModuleTypeLib(LIBID_VornPortLib, 1, 0, server));
  KeepFirstFailure(result, RegisterProxies(server, FALSE));
  return result;
}

}  // namespace port_registration

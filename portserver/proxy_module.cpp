// VornPortPS.dll's registration and lifetime. The server registers the same proxies when it is
// registered (it cannot be used out of process without them): each registrant marks the proxy
// class, and the proxies go with the last mark, and only while they name this module.
//
// Once loaded, the module stays for the life of the process. COM loads it into each apartment
// that unmarshals one of its interfaces and unloads it when that apartment leaves, while
// another apartment of the process lives on; each load sets up the C++ runtime linked into the
// module, whose exception pool (about 73 KiB on x86_64) no unload returns. A client that makes
// its calls from a new apartment each time (the board control's request thread) lost that much
// memory with every object.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "common/class_registration.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/path.h"
#include "common/proxy.h"

extern "C" {
// From the proxy list that dlldata.c builds; the class is the proxy class of the module.
void __stdcall GetProxyDllInfo(const void*** files, const CLSID** clsid);
HRESULT STDAPICALLTYPE VornPortRegisterProxies(BOOL add, const wchar_t* registrant);
}

namespace {

std::vector<ProxyInterface> Interfaces() {
  return ProxyInterfaces(VornProxyInterfaceCount(), &VornProxyInterfaceAt);
}

CLSID ProxyClass() {
  const void** files = nullptr;
  const CLSID* clsid = nullptr;
  GetProxyDllInfo(&files, &clsid);
  return clsid ? *clsid : CLSID{};
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    HMODULE self = nullptr;  // pinned: no FreeLibrary unloads it (best effort)
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&Interfaces), &self);
  }
  return TRUE;
}

// `registrant` names who asks (the module's own path for DllRegisterServer, the server's path
// when the server registers).
HRESULT STDAPICALLTYPE VornPortRegisterProxies(BOOL add, const wchar_t* registrant) {
  if (!registrant || !*registrant) return E_INVALIDARG;
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    const std::wstring self = ModulePath::OfModule(ThisModule()).str();
    if (self.empty()) return HResultFromLastError();
    const CLSID proxyClass = ProxyClass();
    if (proxyClass == CLSID{}) return E_UNEXPECTED;
    const std::wstring classKey = L"CLSID\\" + GuidKeyName(proxyClass);
    if (add) {
      RETURN_IF_FAILED(RegisterProxyStub(proxyClass, self, Interfaces()));
      return AddRegistrant(classKey, registrant);
    }
    // The mark goes only from a registration that names this module.
    const std::wstring server = ReadClassesRootValue(classKey + L"\\InprocServer32", nullptr);
    if (!server.empty() && !NamesOwner(server, self)) return S_OK;
    const HRESULT left = RemoveRegistrant(classKey, registrant);
    RETURN_IF_FAILED(left);
    if (left == S_FALSE) return S_OK;  // another registrant still needs the proxies
    return UnregisterProxyStub(proxyClass, self, Interfaces());
  });
}

STDAPI DllRegisterServer() {
  return VornPortRegisterProxies(TRUE, ModulePath::OfModule(ThisModule()).str().c_str());
}

STDAPI DllUnregisterServer() {
  return VornPortRegisterProxies(FALSE, ModulePath::OfModule(ThisModule()).str().c_str());
}

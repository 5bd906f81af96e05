// The interfaces a module's marshalling proxies serve, read from the proxy list that the
// module's generated dlldata.c builds (GetProxyDllInfo), for the registration of its proxies
// (`ProxyInterfaces`, common/class_registration.h). Every module that links proxy code and
// registers it itself links vorn_proxy_list with it.
#pragma once

#include <windows.h>

extern "C" {
// Their number, and one by index (FALSE past the end).
unsigned VornProxyInterfaceCount(void);
BOOL VornProxyInterfaceAt(unsigned index, IID* iid, const char** name, unsigned long* methods);
}

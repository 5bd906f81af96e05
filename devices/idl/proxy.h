// The marshalling proxies and stubs of the device-manager interfaces, as linked into each
// device-manager module (vorn_device_idl).
#pragma once

#include <windows.h>

extern "C" {
extern const CLSID CLSID_VornDeviceProxyStub;
// The proxy/stub class object (for CLSID_VornDeviceProxyStub); CLASS_E_CLASSNOTAVAILABLE else.
HRESULT STDAPICALLTYPE VornProxyDllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
HRESULT STDAPICALLTYPE VornProxyDllCanUnloadNow(void);
// The interfaces the proxies serve, for registration: their number, and one by index (false
// past the end).
unsigned VornProxyInterfaceCount(void);
BOOL VornProxyInterfaceAt(unsigned index, IID* iid, const char** name, unsigned long* methods);
}

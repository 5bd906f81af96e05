// The marshalling proxies and stubs of the device-manager interfaces, as linked into each
// device-manager module (vorn_device_idl): their class and the prefixed entry points of their
// dlldata.c. Their interface list: common/proxy.h.
#pragma once

#include <windows.h>

extern "C" {
extern const CLSID CLSID_VornDeviceProxyStub;
// The proxy/stub class object (for CLSID_VornDeviceProxyStub); CLASS_E_CLASSNOTAVAILABLE else.
HRESULT STDAPICALLTYPE VornProxyDllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
HRESULT STDAPICALLTYPE VornProxyDllCanUnloadNow(void);
}

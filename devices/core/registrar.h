// Registration of an in-process device-manager server, driven by data: the class (description,
// ProgID, version-independent ProgID with CurVer, InprocServer32 with its threading model,
// TypeLib), the type library embedded as the module's TYPELIB resource 1, and the proxy/stub
// class of the device-manager interfaces with the ProxyStubClsid32 key of each interface.
#pragma once

#include <windows.h>

#include <string>

struct ServerRegistration {
  CLSID clsid;
  const wchar_t* description;       // "tamDeviceManager Class"
  const wchar_t* progId;            // "tamDevice.tamDeviceManager.1"
  const wchar_t* currentProgId;     // "tamDevice.tamDeviceManager" (version-independent)
  const wchar_t* threadingModel;    // "Both"
  GUID typeLibId;
  WORD typeLibMajor;
  WORD typeLibMinor;
};

// Writes every key; a failure leaves what was written so far (DllUnregisterServer removes it).
HRESULT RegisterServer(const ServerRegistration& server, HMODULE module);
// Removes the class, its ProgIDs and type library, each key only while it names this module or
// its class; a clean state is S_OK. The proxy registration goes only with the last registered
// device-manager module: while another one stays, a registration naming this module is handed
// to it.
HRESULT UnregisterServer(const ServerRegistration& server, HMODULE module);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (GuidKeyName of common/class_registration.h).
std::wstring GuidText(const GUID& guid);

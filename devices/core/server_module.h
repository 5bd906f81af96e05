// The four exports of a device-manager module, driven by the family's traits: the class object
// of the family's class (the proxy/stub class object for every other class identifier), the
// unload check, and registration.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "common/module.h"
#include "devices/core/class_factory.h"
#include "devices/core/facade.h"
#include "devices/core/module_objects.h"
#include "devices/core/registrar.h"
#include "devices/idl/device_proxy.h"

template <class Traits>
class DeviceManagerServer {
 public:
  using Object = DeviceManagerObject<Traits>;

  static HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid == Traits::kRegistration.clsid) return factory_.QueryInterface(iid, out);
    return VornProxyDllGetClassObject(clsid, iid, out);
  }

  static HRESULT CanUnloadNow() {
    return ModuleObjects::CanUnload() && VornProxyDllCanUnloadNow() == S_OK ? S_OK : S_FALSE;
  }

  static HRESULT Register() { return RegisterServer(Traits::kRegistration, ThisModule()); }
  static HRESULT Unregister() { return UnregisterServer(Traits::kRegistration, ThisModule()); }

 private:
  static inline ClassFactory<Object> factory_;
};

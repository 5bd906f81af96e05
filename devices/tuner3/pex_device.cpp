// pexDevice.dll: the in-process server of the third family's device-manager class, with the
// marshalling proxies of the device-manager interfaces behind the same class-object entry.
#include <windows.h>
#include <objbase.h>

#include "common/trace.h"
#include "devices/core/server_module.h"
#include "devices/tuner3/pex_traits.h"

VORN_MODULE_TRACE(kTraceKeyTovrel)

namespace {
using Server = DeviceManagerServer<PexTraits>;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  return Server::GetClassObject(clsid, iid, out);
}
STDAPI DllCanUnloadNow() { return Server::CanUnloadNow(); }
STDAPI DllRegisterServer() { return Server::Register(); }
STDAPI DllUnregisterServer() { return Server::Unregister(); }

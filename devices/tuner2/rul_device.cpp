// rulDevice.dll: the in-process server of the second family's device-manager class, with the
// marshalling proxies of the device-manager interfaces behind the same class-object entry.
#include <windows.h>
#include <objbase.h>

#include "common/device/filter_loader.h"
#include "common/trace.h"
#include "devices/core/server_module.h"
#include "devices/tuner2/rul_traits.h"

VORN_MODULE_TRACE(kTraceKeyTovrel)

namespace {
using Server = DeviceManagerServer<RulTraits>;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  return Server::GetClassObject(clsid, iid, out);
}
STDAPI DllCanUnloadNow() { return Server::CanUnloadNow(); }
STDAPI DllRegisterServer() { return Server::Register(); }
STDAPI DllUnregisterServer() { return Server::Unregister(); }

// The graphs load filters from module files beside this one: they go with this module.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  if (reason == DLL_PROCESS_DETACH) FilterLoader::OnProcessDetach(reserved);
  return TRUE;
}

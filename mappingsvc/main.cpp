// MappingSvc.exe: the mapping service. A Windows service that is also a COM local server for
// CZarnMMFSupport; "-RegServer", "-UnregServer" and "-Service" register, remove or install it
// and exit with the result.
#include <windows.h>
#include <objbase.h>

#include "common/timeouts.h"
#include "mappingsvc/mapping_registry.h"
#include "mappingsvc/registration.h"
#include "mappingsvc/server.h"
#include "mappingsvc/switches.h"

namespace {

// Registration needs COM for the type library calls only.
template <class F>
HRESULT WithCom(F&& f) {
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const HRESULT hr = f();
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR arguments, int) {
  using namespace mappingsvc;
  HRESULT hr = S_OK;
  switch (ParseSwitch(arguments)) {
    case Switch::RegServer:
      return static_cast<int>(WithCom([] { return RegisterServer(false); }));
    case Switch::Service:
      return static_cast<int>(WithCom([] { return RegisterServer(true); }));
    case Switch::UnregServer:
      return static_cast<int>(WithCom([] { return UnregisterServer(); }));
    case Switch::None:
      break;
  }
  // The kept mappings exist in both modes; they are released when the server stops.
  MappingRegistry registry;
  if (AppIdNamesService()) {
    hr = RunService(registry);
  } else {
    hr = RunLocalServer(registry, timeouts::kServerLinger);
  }
  return static_cast<int>(hr);
}

// VornPort.exe: the serial port server. "/RegServer" and "/UnregServer" (or with "-") register
// and unregister it; any other start (COM passes "-Embedding") runs the server until it has
// had no object for the linger time.
#include <windows.h>
#include <objbase.h>

#include <cwchar>

#include "common/hresult.h"
#include "common/path.h"
#include "common/timeouts.h"
#include "portserver/VornPort.h"
#include "portserver/lumacrest_port.h"
#include "portserver/registration.h"
#include "portserver/server_module.h"

namespace {

bool HasSwitch(const wchar_t* commandLine, const wchar_t* name) {
  for (const wchar_t* p = commandLine; (p = wcspbrk(p, L"/-")) != nullptr; ++p) {
    const size_t n = wcslen(name);
    if (_wcsnicmp(p + 1, name, n) == 0 && (p[n + 1] == 0 || p[n + 1] == L' ' || p[n + 1] == L'"'))
      return true;
  }
  return false;
}

// How long the server keeps serving after its class object is revoked while no object is alive:
// an activation that fetched the class object just before the revoke creates its object within
// this time.
constexpr DWORD kActivationDrainMs = 500;

HRESULT RunServer() {
  SingletonClassFactory factory(&SingletonClassFactory::CreateDefault);
  // A client that has fetched the class object keeps reaching it while this process lives, also
  // after the revoke below.
  RETURN_IF_FAILED(CoLockObjectExternal(&factory, TRUE, FALSE));
  DWORD cookie = 0;
  const HRESULT hr = CoRegisterClassObject(CLSID_LumacrestPort, &factory, CLSCTX_LOCAL_SERVER,
                                           REGCLS_MULTIPLEUSE, &cookie);
  if (FAILED(hr)) {
    CoDisconnectObject(&factory, 0);
    return hr;
  }
  ServerModule::Instance().Run(timeouts::kServerLinger);
  // The count reached zero (which suspended the class object) and stayed there: no new
  // activation reaches this process once the class object is revoked. Objects that activations
  // already on their way create are served until they go.
  CoRevokeClassObject(cookie);
  ServerModule::Instance().Run(kActivationDrainMs);
  CoDisconnectObject(&factory, 0);
  // Calls that were queued while the class object went away are answered before leaving.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return S_OK;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) return static_cast<int>(hr);
  const std::wstring path = ModulePath::OfModule(nullptr).str();
  if (HasSwitch(commandLine, L"RegServer")) {
    hr = port_registration::Register(path.c_str());
  } else if (HasSwitch(commandLine, L"UnregServer")) {
    hr = port_registration::Unregister(path.c_str());
  } else {
    hr = GuardHr(E_FAIL, [] { return RunServer(); });
  }
  CoUninitialize();
  return static_cast<int>(hr);
}

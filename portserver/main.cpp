// VornPort.exe: the serial port server. "/RegServer" and "/UnregServer" (or with "-") register
// and unregister it; any other start (COM passes "-Embedding") runs the server until it has
// had no object for the linger time.
#include <windows.h>
#include <objbase.h>

#include <cwchar>

#include "common/hresult.h"
#include "common/local_server.h"
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

// Stands for the port interfaces while the server lives (their held stubs, see
// local_server::HeldStubs); no client ever reaches it.
class PortInterfaces final : public IKelvPortEx {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IKelvPort && iid != IID_IKelvPortEx) return E_NOINTERFACE;
    *out = static_cast<IKelvPortEx*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP OpenPort(unsigned long) override { return E_UNEXPECTED; }
  STDMETHODIMP ClosePort(unsigned long) override { return E_UNEXPECTED; }
  STDMETHODIMP ResetPort() override { return E_UNEXPECTED; }
  STDMETHODIMP SendCommand(unsigned long, unsigned char*, unsigned long*, unsigned char*) override {
    return E_UNEXPECTED;
  }
  STDMETHODIMP OpenLockedPort(unsigned long*, unsigned long) override { return E_UNEXPECTED; }
  STDMETHODIMP CloseLockedPort(unsigned long, unsigned long) override { return E_UNEXPECTED; }
  STDMETHODIMP ResetLockedPort(unsigned long) override { return E_UNEXPECTED; }
  STDMETHODIMP SendCommandEx(unsigned long, unsigned long, unsigned char*, unsigned long*, unsigned char*) override {
    return E_UNEXPECTED;
  }
  STDMETHODIMP GetState(KELVPORT_STATE*) override { return E_UNEXPECTED; }
  STDMETHODIMP SetState(unsigned long, KELVPORT_STATE*) override { return E_UNEXPECTED; }
  STDMETHODIMP SetTimeout(unsigned long, unsigned long) override { return E_UNEXPECTED; }
};

HRESULT RunServer() {
  // Static: the objects it made refer to it, and the last of them can go as late as COM's own
  // shut-down (CoUninitialize releases what clients left behind).
  static SingletonClassFactory factory(&SingletonClassFactory::CreateDefault);
  static PortInterfaces portInterfaces;
  // Every interface a client calls here, held registered for the server's life: the class
  // object's (a creation is followed at once by the release of the client's class object) and
  // the port's (a close by the release of the port).
  local_server::HeldStubs held;
  held.Hold(IID_IClassFactory, static_cast<IClassFactory*>(&factory));
  held.Hold(IID_IKelvPortEx, &portInterfaces);
  held.Hold(IID_IKelvPort, &portInterfaces);
  DWORD cookie = 0;
  RETURN_IF_FAILED(CoRegisterClassObject(CLSID_LumacrestPort, &factory, CLSCTX_LOCAL_SERVER,
                                         REGCLS_MULTIPLEUSE, &cookie));
  ServerModule::Instance().Run(timeouts::kServerLinger);
  CoRevokeClassObject(cookie);
  // Calls that were queued while the class object went away are answered before leaving (a
  // creation among them is refused: the server is stopping).
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

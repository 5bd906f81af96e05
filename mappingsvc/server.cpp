#include "mappingsvc/server.h"

#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "common/format.h"
#include "common/hresult.h"
#include "common/local_server.h"
#include "common/locks.h"
#include "mappingsvc/mapping_registry.h"
#include "mappingsvc/mmf_support.h"
#include "mappingsvc/server_lifetime.h"
#include "mappingsvc/shell_log.h"

using Microsoft::WRL::ComPtr;

namespace mappingsvc {
namespace {

// How long a plain local server stays with no object before it revokes its class object and
// leaves: a client that comes back at once (create, call, release, create again) finds it
// running instead of racing its exit.
constexpr DWORD kIdleLingerMs = 2000;
// How long it stays after the revoke with no object: an activation that reached the class
// object just before the revoke creates its object and is served to its end.
constexpr DWORD kRevokedStayMs = 1000;

// Runs the class object on the calling thread's message loop until WM_QUIT. `onRunning` is
// called once the class object is registered; `onMessage` sees every other message. After the
// loop `beforeRevoke` runs (and returns when it is time to go), then the class object is revoked
// and `afterRevoke` runs.
HRESULT RunClassObject(MappingRegistry& registry, const std::function<void()>& onRunning,
                       const std::function<bool(const MSG&)>& onMessage,
                       const std::function<void()>& beforeRevoke, const std::function<void()>& afterRevoke) {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) return hr;
  hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                            RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr);
  DWORD cookie = 0;
  ComPtr<IClassFactory> factory;
  if (SUCCEEDED(hr)) {
    *factory.ReleaseAndGetAddressOf() = new (std::nothrow) CZarnMMFSupportFactory(&registry);
    if (!factory) hr = E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr)) {
    hr = CoRegisterClassObject(CLSID_ZarnMMFSupport, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                               &cookie);
  }
  if (SUCCEEDED(hr)) {
    // Every served interface held registered (see local_server::HeldStubs).
    local_server::HeldStubs held;
    ComPtr<IUnknown> keeper;  // an object of the server's own, which does not hold the server
    held.Hold(IID_IClassFactory, factory.Get());
    if (SUCCEEDED(CZarnMMFSupport::Create(&registry, IID_IUnknown, reinterpret_cast<void**>(keeper.GetAddressOf()),
                                          false))) {
      held.Hold(IID_IZarnMMFSupport, keeper.Get());
      held.Hold(IID_IDispatch, keeper.Get());
    }
    onRunning();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (onMessage(msg)) break;
      DispatchMessageW(&msg);
    }
    beforeRevoke();
    CoRevokeClassObject(cookie);
    afterRevoke();
  }
  factory.Reset();
  CoUninitialize();
  return hr;
}

// Keeps serving while objects come and go, and returns once no object has been alive for
// `idleMs`, counted from the last release or from `since`, whichever is later. The calls come
// on COM's threads; each fall of the count to zero wakes this loop (WM_QUIT).
void ServeUntilIdle(DWORD idleMs, ULONGLONG since) {
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message != WM_QUIT) DispatchMessageW(&msg);
    }
    DWORD wait = INFINITE;
    if (server_lifetime::Count() == 0) {
      const ULONGLONG idleSince = std::max(server_lifetime::LastRelease(), since);
      const ULONGLONG idle = GetTickCount64() - idleSince;
      if (idle >= idleMs) return;
      wait = static_cast<DWORD>(idleMs - idle);
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

// --- Service ----------------------------------------------------------------------------------

// The one service of this process. The control handler runs on the dispatcher's thread, the
// service main on its own: the status is shared under `lock`.
struct ServiceState {
  MappingRegistry* registry = nullptr;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{};
  CriticalSection lock;
  DWORD thread = 0;  // the service main's thread, which runs the message loop
  HRESULT result = S_OK;
};
ServiceState* g_service = nullptr;

void SetState(DWORD state, DWORD win32Exit = NO_ERROR, DWORD specificExit = 0) {
  LockGuard guard(g_service->lock, INFINITE);
  SERVICE_STATUS& s = g_service->status;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  s.dwWin32ExitCode = win32Exit;
  s.dwServiceSpecificExitCode = specificExit;
  s.dwCheckPoint = 0;
  s.dwWaitHint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? 10000 : 0;
  SetServiceStatus(g_service->handle, &s);
}

void WINAPI ServiceHandler(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      SetState(SERVICE_STOP_PENDING);
      PostThreadMessageW(g_service->thread, WM_QUIT, 0, 0);
      break;
    case SERVICE_CONTROL_INTERROGATE: {
      LockGuard guard(g_service->lock, INFINITE);
      SetServiceStatus(g_service->handle, &g_service->status);
      break;
    }
    default:
      LogWarning(L"Bad service request");
      break;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& service = *g_service;
  service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  service.handle = RegisterServiceCtrlHandlerW(ServiceName(), ServiceHandler);
  if (!service.handle) {
    service.result = HResultFromLastError();
    LogError(L"Handler not installed");
    return;
  }
  // The thread's message queue exists before the handler can post WM_QUIT to it.
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  service.thread = GetCurrentThreadId();
  SetState(SERVICE_START_PENDING);

  service.result = RunClassObject(
      *service.registry,
      [] {
        LogInfo(L"Service started");
        SetState(SERVICE_RUNNING);
      },
      [](const MSG&) { return false; }, [] {}, [] {});

  // Kept mappings go before "stopped" is reported: a service started again at once must not
  // find (and leave to us) sections that are about to disappear.
  service.registry->Clear();
  LogInfo(L"Service stopped");
  if (FAILED(service.result)) {
    SetState(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(service.result));
  } else {
    SetState(SERVICE_STOPPED);
  }
}

}  // namespace

HRESULT RunService(MappingRegistry& registry) {
  ServiceState state;
  state.registry = &registry;
  g_service = &state;
  // ServiceName() returns a stable buffer; the table wants a non-const pointer.
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(ServiceName()), ServiceMain},
                                  {nullptr, nullptr}};
  HRESULT hr = S_OK;
  if (!StartServiceCtrlDispatcherW(table)) {
    hr = HResultFromLastError();
    LogError(L"Could not start service");
  } else {
    hr = state.result;
  }
  g_service = nullptr;
  return hr;
}

// --- Plain local server -----------------------------------------------------------------------

HRESULT RunLocalServer(MappingRegistry& registry, DWORD lingerMs) {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  server_lifetime::SetQuitThread(GetCurrentThreadId());
  UINT_PTR timer = 0;
  const HRESULT hr = RunClassObject(
      registry,
      [&] { timer = SetTimer(nullptr, 0, lingerMs, nullptr); },
      [&](const MSG& m) {
        if (m.message != WM_TIMER || m.hwnd != nullptr || m.wParam != timer) return false;
        KillTimer(nullptr, timer);
        // Started by COM but nobody came (the client gave up): leave.
        return server_lifetime::Count() == 0;
      },
      [] { ServeUntilIdle(kIdleLingerMs, GetTickCount64()); },
      [] { ServeUntilIdle(kRevokedStayMs, GetTickCount64()); });
  server_lifetime::SetQuitThread(0);
  registry.Clear();
  return hr;
}

}  // namespace mappingsvc

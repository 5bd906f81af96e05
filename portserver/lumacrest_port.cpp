#include "portserver/lumacrest_port.h"

#include <new>

#include "common/hresult.h"
#include "common/timeouts.h"
#include "common/trace.h"
#include "portserver/server_module.h"

static_assert(sizeof(KELVPORT_STATE) == sizeof(PortState), "state record layout");

namespace {

PortState ToPortState(const KELVPORT_STATE& s) {
  return PortState{s.baudrate, s.byteSize, s.parity, s.stopBits};
}

}  // namespace

// --- LumacrestPort ----------------------------------------------------------------------------

LumacrestPort::LumacrestPort(std::unique_ptr<LockedPortManager> manager,
                             SingletonClassFactory* owner)
    : manager_(std::move(manager)), owner_(owner) {
  ServerModule::Instance().Lock();
}

LumacrestPort::~LumacrestPort() {
  if (owner_) owner_->Forget(this);  // a creation from now on makes a new object
  FinalRelease();
  manager_.reset();  // closes the port and frees the client list and the lock holder
  ServerModule::Instance().Unlock();
}

HRESULT LumacrestPort::FinalConstruct() {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::FinalConstruct()", L"");
  LockGuard guard(lock_, INFINITE);
  return manager_->Start(timeouts::kPortWatchdog);
}

void LumacrestPort::FinalRelease() {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::FinalRelease()", L"");
  LockGuard guard(lock_, INFINITE);
  manager_->Stop();
}

STDMETHODIMP LumacrestPort::OpenPort(unsigned long processId) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::OpenPort()", L"%d", static_cast<int>(processId));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] { return manager_->OpenPort(processId); });
}

STDMETHODIMP LumacrestPort::ClosePort(unsigned long processId) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::ClosePort()", L"%d", static_cast<int>(processId));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] { return manager_->ClosePort(processId); });
}

STDMETHODIMP LumacrestPort::ResetPort() {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::ResetPort()", L"");
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] { return manager_->ResetPort(); });
}

STDMETHODIMP LumacrestPort::SendCommand(unsigned long writeSize, unsigned char* pWriteBuff,
                                        unsigned long* pReadSize, unsigned char* pReadBuff) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::SendCommand()", L"");
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] {
    return manager_->SendCommand(writeSize, pWriteBuff, reinterpret_cast<DWORD*>(pReadSize),
                                 pReadBuff);
  });
}

STDMETHODIMP LumacrestPort::OpenLockedPort(unsigned long* pKey, unsigned long processId) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::OpenLockedPort()", L"%d",
                   static_cast<int>(processId));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] {
    return manager_->OpenLockedPort(reinterpret_cast<DWORD*>(pKey), processId);
  });
}

STDMETHODIMP LumacrestPort::CloseLockedPort(unsigned long key, unsigned long processId) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::CloseLockedPort()", L"key=0x%08x,pid=%d",
                   static_cast<unsigned>(key), static_cast<int>(processId));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] { return manager_->CloseLockedPort(key, processId); });
}

STDMETHODIMP LumacrestPort::ResetLockedPort(unsigned long key) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::ResetLockedPort()", L"0x%08x",
                   static_cast<unsigned>(key));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] { return manager_->ResetLockedPort(key); });
}

STDMETHODIMP LumacrestPort::SendCommandEx(unsigned long key, unsigned long writeSize,
                                          unsigned char* pWriteBuff, unsigned long* pReadSize,
                                          unsigned char* pReadBuff) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::SendCommandEx()", L"0x%08x",
                   static_cast<unsigned>(key));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] {
    return manager_->SendCommandEx(key, writeSize, pWriteBuff, reinterpret_cast<DWORD*>(pReadSize),
                                   pReadBuff);
  });
}

STDMETHODIMP LumacrestPort::GetState(KELVPORT_STATE* pState) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::GetState()", L"");
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] {
    if (!pState) return E_POINTER;
    PortState state{};
    RETURN_IF_FAILED(manager_->GetState(&state));
    pState->baudrate = state.baudrate;
    pState->byteSize = state.byteSize;
    pState->parity = state.parity;
    pState->stopBits = state.stopBits;
    return S_OK;
  });
}

STDMETHODIMP LumacrestPort::SetState(unsigned long key, KELVPORT_STATE* pState) {
  const KELVPORT_STATE shown = pState ? *pState : KELVPORT_STATE{};
  TraceScope scope(ModuleTrace(), L"LumacrestPort::SetState()",
                   L"key=0x%08x,baudrate=%d,byteSize=%d,parity=%d,stopBits=%d",
                   static_cast<unsigned>(key), static_cast<int>(shown.baudrate),
                   static_cast<int>(shown.byteSize), static_cast<int>(shown.parity),
                   static_cast<int>(shown.stopBits));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] {
    if (!pState) return manager_->SetState(key, nullptr);
    const PortState state = ToPortState(*pState);
    return manager_->SetState(key, &state);
  });
}

STDMETHODIMP LumacrestPort::SetTimeout(unsigned long key, unsigned long timeout) {
  TraceScope scope(ModuleTrace(), L"LumacrestPort::SetTimeout()", L"key=0x%08x,timeout=%d",
                   static_cast<unsigned>(key), static_cast<int>(timeout));
  LockGuard guard(lock_, INFINITE);
  return GuardHr(E_FAIL, [&] { return manager_->SetTimeout(key, timeout); });
}

// --- SingletonClassFactory --------------------------------------------------------------------

SingletonClassFactory::SingletonClassFactory(Creator creator) : creator_(std::move(creator)) {}

HRESULT SingletonClassFactory::CreateDefault(SingletonClassFactory* owner, LumacrestPort** object) {
  *object = nullptr;
  auto* port = new (std::nothrow) LumacrestPort(std::make_unique<LockedPortManager>(), owner);
  if (!port) return E_OUTOFMEMORY;
  const HRESULT hr = port->FinalConstruct();
  if (FAILED(hr)) {
    port->Release();
    return hr;
  }
  *object = port;
  return S_OK;
}

STDMETHODIMP SingletonClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return GuardHr(E_FAIL, [&]() -> HRESULT {
    LumacrestPort* object = nullptr;
    {
      LockGuard guard(lock_, INFINITE);
      // The server is on its way out: a new object would outlive the class object and the
      // server's state. The client starts a new server instead.
      if (ServerModule::Instance().stopping()) return CO_E_SERVER_STOPPING;
      if (FAILED(failure_)) return failure_;
      if (current_ && current_->TryAddRef()) {
        object = current_;
      } else {
        // None yet, or the last one is on its way out: a new one takes its place.
        const HRESULT hr = creator_(this, &object);
        if (FAILED(hr) || !object) {
          failure_ = FAILED(hr) ? hr : E_UNEXPECTED;
          return failure_;
        }
        current_ = object;
      }
    }
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  });
}

STDMETHODIMP SingletonClassFactory::LockServer(BOOL lock) {
  if (lock) {
    if (ServerModule::Instance().stopping()) return CO_E_SERVER_STOPPING;
    ServerModule::Instance().Lock();
  } else {
    ServerModule::Instance().Unlock();
  }
  return S_OK;
}

void SingletonClassFactory::Forget(LumacrestPort* object) {
  LockGuard guard(lock_, INFINITE);
  if (current_ == object) current_ = nullptr;
}

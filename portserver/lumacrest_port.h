// The COM class LumacrestPort: a facade over the locked port manager, shared by every client
// process through a singleton class factory.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>

#include "common/com_object.h"
#include "common/locks.h"
#include "portserver/VornPort.h"
#include "portserver/port_manager.h"

class SingletonClassFactory;

class LumacrestPort final
    : public SingleInterfaceObject<LumacrestPort, IKelvPortEx, IID_IKelvPortEx, IID_IKelvPort> {
 public:
  // The new object carries one reference; `owner` (may be null) is told when it goes.
  LumacrestPort(std::unique_ptr<LockedPortManager> manager, SingletonClassFactory* owner);

  // Starts the manager's watchdog; its result is the creation's.
  HRESULT FinalConstruct();

  // IKelvPort
  STDMETHODIMP OpenPort(unsigned long processId) override;
  STDMETHODIMP ClosePort(unsigned long processId) override;
  STDMETHODIMP ResetPort() override;
  STDMETHODIMP SendCommand(unsigned long writeSize, unsigned char* pWriteBuff,
                           unsigned long* pReadSize, unsigned char* pReadBuff) override;

  // IKelvPortEx
  STDMETHODIMP OpenLockedPort(unsigned long* pKey, unsigned long processId) override;
  STDMETHODIMP CloseLockedPort(unsigned long key, unsigned long processId) override;
  STDMETHODIMP ResetLockedPort(unsigned long key) override;
  STDMETHODIMP SendCommandEx(unsigned long key, unsigned long writeSize, unsigned char* pWriteBuff,
                             unsigned long* pReadSize, unsigned char* pReadBuff) override;
  STDMETHODIMP GetState(KELVPORT_STATE* pState) override;
  STDMETHODIMP SetState(unsigned long key, KELVPORT_STATE* pState) override;
  STDMETHODIMP SetTimeout(unsigned long key, unsigned long timeout) override;

  LockedPortManager& manager() { return *manager_; }

 private:
  friend SingleInterfaceObject;  // deletes the object at its last Release
  ~LumacrestPort();
  void FinalRelease();

  CriticalSection lock_;  // the object lock: one facade call at a time
  std::unique_ptr<LockedPortManager> manager_;
  SingletonClassFactory* owner_;  // not owned: the factory outlives every object it made
};

// The class object: the first activation creates the object, every later one (from any
// process) gets the same object while it lives. A creation failure is remembered and returned
// to every later request. Aggregation is refused.
class SingletonClassFactory final : public StaticClassObject {
 public:
  // Makes a new object with one reference, already constructed (FinalConstruct done).
  using Creator = std::function<HRESULT(SingletonClassFactory* owner, LumacrestPort** object)>;

  explicit SingletonClassFactory(Creator creator);
  // The server's own creator: a real serial port behind a locked port manager.
  static HRESULT CreateDefault(SingletonClassFactory* owner, LumacrestPort** object);

  // IClassFactory (the factory lives as long as the server; references do not free it)
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL lock) override;

  // Called by a dying object; forgets it when it is the current one.
  void Forget(LumacrestPort* object);

 private:
  CriticalSection lock_;
  Creator creator_;
  LumacrestPort* current_ = nullptr;  // weak: the object tells us when it goes
  HRESULT failure_ = S_OK;
};

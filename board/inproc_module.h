// The exports of a board module that serves one in-process class: its class object (creation
// through the class's own function, server locks counted), the unload check (no lock and no
// object left) and the registration. A module defines one `InprocModule` and writes
// VORN_INPROC_MODULE_ENTRY_POINTS(that module) below it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

#include "board/inproc_registration.h"
#include "common/com_object.h"

namespace board {

class InprocModule final : public StaticClassObject {
 public:
  using CreateFn = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);
  using CountFn = long (*)() noexcept;
  InprocModule(const InprocClass& c, CreateFn create, CountFn objects) noexcept
      : class_(c), create_(create), objects_(objects) {}

  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override { return create_(outer, iid, out); }
  STDMETHODIMP LockServer(BOOL lock) override {
    lock ? ++locks_ : --locks_;
    return S_OK;
  }

  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (clsid != class_.clsid) return CLASS_E_CLASSNOTAVAILABLE;
    return QueryInterface(iid, out);
  }
  HRESULT CanUnloadNow() const noexcept { return locks_ == 0 && objects_() == 0 ? S_OK : S_FALSE; }
  HRESULT Register() const { return RegisterInprocClass(class_); }
  HRESULT Unregister() const { return UnregisterInprocClass(class_); }

 private:
  const InprocClass class_;
  const CreateFn create_;
  const CountFn objects_;
  std::atomic<long> locks_{0};
};

}  // namespace board

#define VORN_INPROC_MODULE_ENTRY_POINTS(module)                       \
  STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {  \
    return (module).GetClassObject(clsid, iid, out);                  \
  }                                                                   \
  STDAPI DllCanUnloadNow() { return (module).CanUnloadNow(); }        \
  STDAPI DllRegisterServer() { return (module).Register(); }          \
  STDAPI DllUnregisterServer() { return (module).Unregister(); }

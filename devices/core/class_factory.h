// The class object of a device-manager class: creates the object (aggregated when an outer
// unknown is given) through the object type's static Create, and counts server locks.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "devices/core/module_objects.h"

template <class Object>
class ClassFactory final : public IClassFactory {
 public:
  // IUnknown: a static object, so the reference count is fixed.
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return Object::Create(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    ModuleObjects::Lock(lock != FALSE);
    return S_OK;
  }
};

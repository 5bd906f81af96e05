// The class object of a device-manager class: creates the object (aggregated when an outer
// unknown is given) through the object type's static Create, and counts server locks. It is a
// global of the module: its own reference count is fixed.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "common/com_object.h"
#include "devices/core/module_objects.h"

template <class Object>
class ClassFactory final : public StaticClassObject {
 public:
  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    return Object::Create(outer, iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    ModuleObjects::Lock(lock != FALSE);
    return S_OK;
  }
};

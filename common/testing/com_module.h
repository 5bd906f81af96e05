// Test support: a COM or filter module of the build loaded into the test program, and its
// exports as a host calls them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"

namespace testing_support {

class ComModule {
 public:
  explicit ComModule(const wchar_t* file) : path_(BinPath(file)), handle_(LoadLibraryW(path_.c_str())) {}

  bool valid() const { return handle_.valid(); }
  HMODULE handle() const { return handle_.get(); }
  const std::wstring& path() const { return path_; }

  // DllGetClassObject; E_NOTIMPL when the module has no such export.
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    auto get = GetProcAs<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(handle_.get(), "DllGetClassObject");
    return get ? get(clsid, iid, out) : E_NOTIMPL;
  }
  // An object of the class as a host makes one: the class object, then CreateInstance.
  HRESULT Create(REFCLSID clsid, REFIID iid, void** out, IUnknown* outer = nullptr) const {
    IClassFactory* factory = nullptr;
    HRESULT hr = GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(outer, iid, out);
    factory->Release();
    return hr;
  }
  HRESULT CanUnloadNow() const { return Call("DllCanUnloadNow"); }
  HRESULT Register() const { return Call("DllRegisterServer"); }
  HRESULT Unregister() const { return Call("DllUnregisterServer"); }

 private:
  HRESULT Call(const char* name) const {
    auto entry = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(handle_.get(), name);
    return entry ? entry() : E_NOTIMPL;
  }

  std::wstring path_;
  UniqueModule handle_;
};

}  // namespace testing_support

// CZarnMMFSupport: creates named page-file sections in the global namespace for callers that
// may not create global objects themselves. CreateTunerInfoS hands the section to the caller's
// process as a duplicated handle; CreateTunerInfo keeps a new section open in this process
// (MappingRegistry) until the server stops.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "mappingsvc/mappingsvc_idl.h"

namespace mappingsvc {

class MappingRegistry;

// The key with which CreateTunerInfo unscrambles the names it is given (part of the contract
// with its callers).
constexpr wchar_t kNameKey[] = L"Qm7#tR2pL9zW!eK4sB8nH0xD6cV1fJ3gY5a";

// XORs character i of `name` with key character i mod (key length), in place. Scrambling and
// unscrambling are the same operation.
void UnscrambleName(std::wstring& name) noexcept;

class CZarnMMFSupport final : public IZarnMMFSupport {
 public:
  // Makes an object that keeps its CreateTunerInfo sections in `registry` (never null; it
  // outlives every object) and answers `iid`.
  static HRESULT Create(MappingRegistry* registry, REFIID iid, void** object);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IDispatch (through the type library of this module)
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* exception, UINT* argError) override;

  // IZarnMMFSupport
  STDMETHODIMP CreateTunerInfoS(BSTR Name, ULONG MaximumSizeHigh, ULONG MaximumSizeLow,
                                ULONG ProcessId, INT64* Handle, LONG* IsFirstObject) override;
  STDMETHODIMP CreateTunerInfo(BSTR Name, INT64 MaximumSize, LONG* pIsFirst) override;

 private:
  explicit CZarnMMFSupport(MappingRegistry* registry);
  ~CZarnMMFSupport();
  HRESULT TypeInfo(ITypeInfo** info);

  volatile LONG refs_ = 1;
  MappingRegistry* registry_;  // not owned: the server's registry outlives its objects
  ITypeInfo* typeInfo_ = nullptr;  // loaded on first IDispatch use, published atomically
};

// The class object. Holds no reference on the registry (the server owns both).
class CZarnMMFSupportFactory final : public IClassFactory {
 public:
  explicit CZarnMMFSupportFactory(MappingRegistry* registry) : registry_(registry) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  ~CZarnMMFSupportFactory() = default;
  volatile LONG refs_ = 1;
  MappingRegistry* registry_;
};

}  // namespace mappingsvc

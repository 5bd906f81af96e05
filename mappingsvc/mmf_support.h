// CZarnMMFSupport: creates named page-file sections in the global namespace for callers that
// may not create global objects themselves. CreateTunerInfoS hands the section to the caller's
// process as a duplicated handle; CreateTunerInfo keeps a new section open in this process
// (MappingRegistry) until the server stops.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "common/com_object.h"
#include "mappingsvc/mappingsvc_idl.h"

namespace mappingsvc {

class MappingRegistry;

// The key with which CreateTunerInfo unscrambles the names it is given (part of the contract
// with its callers).
constexpr wchar_t kNameKey[] = L"Qm7#tR2pL9zW!eK4sB8nH0xD6cV1fJ3gY5a";

// XORs character i of `name` with key character i mod (key length), in place. Scrambling and
// unscrambling are the same operation.
void UnscrambleName(std::wstring& name) noexcept;

class CZarnMMFSupport final
    : public SingleInterfaceObject<CZarnMMFSupport, IZarnMMFSupport, IID_IZarnMMFSupport, IID_IDispatch> {
 public:
  // Makes an object that keeps its CreateTunerInfo sections in `registry` (never null; it
  // outlives every object) and answers `iid`. An object made with `holdsServer` false does not
  // keep a local server running (one the server holds for itself).
  static HRESULT Create(MappingRegistry* registry, REFIID iid, void** object, bool holdsServer = true);

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
  friend SingleInterfaceObject;  // deletes the object at its last Release
  CZarnMMFSupport(MappingRegistry* registry, bool holdsServer);
  ~CZarnMMFSupport();
  HRESULT TypeInfo(ITypeInfo** info);

  MappingRegistry* registry_;  // not owned: the server's registry outlives its objects
  ITypeInfo* typeInfo_ = nullptr;  // loaded on first IDispatch use, published atomically
  const bool holdsServer_;
};

// The class object, a heap object with one reference at creation. Holds no reference on the
// registry (the server owns both).
class CZarnMMFSupportFactory final
    : public SingleInterfaceObject<CZarnMMFSupportFactory, IClassFactory, IID_IClassFactory> {
 public:
  explicit CZarnMMFSupportFactory(MappingRegistry* registry) : registry_(registry) {}

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  friend SingleInterfaceObject;
  ~CZarnMMFSupportFactory() = default;
  MappingRegistry* registry_;
};

}  // namespace mappingsvc

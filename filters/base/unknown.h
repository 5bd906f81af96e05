// COM identity for the filter classes: a non-delegating IUnknown that an outer object can
// aggregate, the forwarder that makes every other interface of an object delegate to its owner,
// and the module-wide count of live objects that DllCanUnloadNow reads. Helper objects that are
// not aggregatable and stand alone (enumerators) build on SingleInterfaceObject instead.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

#include "common/com_object.h"

// The object's own IUnknown, reached by the outer object when aggregated. Its three slots have
// the layout of IUnknown, so an object that is not aggregated is its own owner.
struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, void** out) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown {
 public:
  // `outer` is the aggregating object (null: the object is its own owner). `phr` is not
  // touched: creation failures of derived classes are reported through it.
  CUnknown(const wchar_t* objectName, IUnknown* outer, HRESULT* phr = nullptr);
  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;
  virtual ~CUnknown();

  // IUnknown of the object itself: answers IUnknown only; derived classes add theirs.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // The IUnknown that every interface of this object delegates to: the outer object, or the
  // object's own non-delegating IUnknown.
  IUnknown* GetOwner() const noexcept { return owner_; }
  const wchar_t* ObjectName() const noexcept { return name_; }

  // Objects of this module alive now (all classes built on CUnknown).
  static long ObjectCount() noexcept;

 protected:
  std::atomic<long> m_cRef{0};

 private:
  const wchar_t* name_;  // a static string of the derived class, for debugging only
  IUnknown* const owner_;  // the outer object: it references us, we never reference it
};

// Hands out `p` through `out` with one reference. E_POINTER when `out` is null.
HRESULT GetInterface(IUnknown* p, void** out);

// The IUnknown slots of every interface an object implements: they go to the owner.
#define DECLARE_IUNKNOWN                                                             \
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {                     \
    return GetOwner()->QueryInterface(iid, out);                                     \
  }                                                                                  \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOwner()->AddRef(); }           \
  STDMETHODIMP_(ULONG) Release() override { return GetOwner()->Release(); }

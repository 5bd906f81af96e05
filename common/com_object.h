// IUnknown for the small standalone COM objects that are neither aggregatable nor built on the
// filter base classes (enumerators, the objects and class objects of test modules):
//   SingleInterfaceObject  a heap object with one interface and its own reference count
//   StaticClassObject      the fixed-count IUnknown of a class object that lives as a global
//   SingleClassFactory     such a class object making one plain class
//   InnerUnknown           the non-delegating unknown of an aggregatable object with several
//                          interface tables, and DelegatingInterface, such a table's IUnknown
// Header only: modules that link no base library use it as well.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <unknwn.h>

#include <atomic>
#include <new>

// Answers IUnknown and `Itf` (identified by `kIid`, and by `kAlso`: the interfaces `Itf`
// derives from) with the one interface pointer, and deletes the `Derived` object at the last
// Release. The object starts with one reference: the creator's. `Derived` is final (it is
// deleted through its own type).
template <class Derived, class Itf, const IID& kIid, const IID&... kAlso>
class SingleInterfaceObject : public Itf {
 public:
  SingleInterfaceObject(const SingleInterfaceObject&) = delete;
  SingleInterfaceObject& operator=(const SingleInterfaceObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != kIid && !(false || ... || (iid == kAlso))) return E_NOINTERFACE;
    *out = static_cast<Itf*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  // Returns what the decrement gave, never a second read of the count.
  STDMETHODIMP_(ULONG) Release() override {
    const long left = --refs_;
    if (left == 0) delete static_cast<Derived*>(this);
    return static_cast<ULONG>(left);
  }
  // An extra reference, unless the object is already on its way out (its count reached zero):
  // for a holder that keeps the object without a reference of its own.
  bool TryAddRef() noexcept {
    long n = refs_.load();
    while (n != 0) {
      if (refs_.compare_exchange_weak(n, n + 1)) return true;
    }
    return false;
  }

 protected:
  SingleInterfaceObject() = default;
  ~SingleInterfaceObject() = default;

 private:
  std::atomic<long> refs_{1};
};

// The IUnknown of a class object that is a global of its module: it answers IUnknown and
// IClassFactory, and its reference count is fixed (the module's lock count is LockServer's).
class StaticClassObject : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

 protected:
  StaticClassObject() = default;
  ~StaticClassObject() = default;
};

// The class object of a module serving one class that cannot be aggregated: CreateInstance
// makes an `Object` (default-constructed, holding its creation reference) and asks it for `iid`;
// LockServer counts in `locks`, which the module's DllCanUnloadNow reads.
template <class Object>
class SingleClassFactory final : public StaticClassObject {
 public:
  constexpr explicit SingleClassFactory(std::atomic<long>& locks) noexcept : locks_(locks) {}

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) Object;
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    locks_ += lock ? 1 : -1;
    return S_OK;
  }

 private:
  std::atomic<long>& locks_;
};

// The non-delegating unknown of an aggregatable object whose interfaces are separate tables
// (members of `Owner`). It owns the reference count (starting at 1: the creator's), asks
// `Owner::InnerQueryInterface` for everything but IUnknown, and deletes the owner at the last
// Release. The owner keeps it as a member and hands out its address as its own identity.
template <class Owner>
class InnerUnknown final : public IUnknown {
 public:
  explicit InnerUnknown(Owner* owner) noexcept : owner_(owner) {}
  InnerUnknown(const InnerUnknown&) = delete;
  InnerUnknown& operator=(const InnerUnknown&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown) {
      AddRef();
      *out = static_cast<IUnknown*>(this);
      return S_OK;
    }
    return owner_->InnerQueryInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const long left = --refs_;
    if (left == 0) delete owner_;
    return static_cast<ULONG>(left);
  }

 private:
  Owner* owner_;
  std::atomic<long> refs_{1};
};

// One interface table of such an object: its IUnknown goes to the controlling unknown (the
// aggregate's outer unknown, or the object's InnerUnknown when it is not aggregated).
template <class Itf>
class DelegatingInterface : public Itf {
 public:
  explicit DelegatingInterface(IUnknown* controlling) noexcept : controlling_(controlling) {}
  DelegatingInterface(const DelegatingInterface&) = delete;
  DelegatingInterface& operator=(const DelegatingInterface&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return controlling_->QueryInterface(iid, out);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return controlling_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return controlling_->Release(); }

 protected:
  ~DelegatingInterface() = default;

 private:
  IUnknown* const controlling_;
};

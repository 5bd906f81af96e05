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

class LastReleaseDeferral;

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
  friend class LastReleaseDeferral;
  // Destroys the object whose count reached zero (a destructor that hands out and drops a
  // reference to itself must not delete twice).
  void DestroyReleased();

  const wchar_t* name_;  // a static string of the derived class, for debugging only
  IUnknown* const owner_;  // the outer object: it references us, we never reference it
};

// A worker thread that runs a loop on an object (its owner: a filter that the thread delivers
// for, a pin whose samples it pumps) opens one around the loop. The owner's last release may
// come on the worker itself, in a call out of the loop that hands the last reference over; its
// destructor, which stops the worker (from the worker: it can only signal), would then free the
// memory the loop goes on running on. Instead, while the deferral lives, the object's last
// release made on this thread leaves the object alive; the loop sees Released() and ends, and the
// deferral's end destroys the object, with nothing of it left on the thread's stack. A last
// release on any other thread destroys the object at once, as always (its destructor waits for
// the worker). For an object that is its own owner (not aggregated: an aggregated object's life
// is its outer object's).
class LastReleaseDeferral {
 public:
  explicit LastReleaseDeferral(CUnknown* object);
  ~LastReleaseDeferral();
  LastReleaseDeferral(const LastReleaseDeferral&) = delete;
  LastReleaseDeferral& operator=(const LastReleaseDeferral&) = delete;

  // True once the last release of the object of this thread's innermost deferral has come.
  static bool Released() noexcept;

 private:
  friend class CUnknown;
  // True when `object`'s last release on this thread is deferred (and now recorded).
  static bool Defer(CUnknown* object) noexcept;

  CUnknown* const object_;
  LastReleaseDeferral* const outer_;  // the thread's enclosing deferral
  bool released_ = false;
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

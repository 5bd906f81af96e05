// The COM identity checks every class of the filters gets in its tests: the interfaces it must
// and must not expose, aggregation under an outer object of the test, and objects made through
// a class's creation function. Header only (it reports through GoogleTest).
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>

#include "filters/base/factory.h"
#include "filters/base/unknown.h"

namespace graph_testkit {

// Every `must` IID answers S_OK with a pointer; every `mustNot` IID E_NOINTERFACE with the
// out-pointer cleared; a null out-pointer E_POINTER.
inline void ExpectInterfaces(IUnknown* object, std::initializer_list<const IID*> must,
                             std::initializer_list<const IID*> mustNot) {
  for (const IID* iid : must) {
    IUnknown* p = nullptr;
    EXPECT_EQ(object->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
    EXPECT_NE(p, nullptr);
    if (p) p->Release();
  }
  for (const IID* iid : mustNot) {
    IUnknown* p = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(object->QueryInterface(*iid, reinterpret_cast<void**>(&p)), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

// An outer object of the test that aggregates one inner object: it answers IUnknown and
// IPersist itself (so a delegated query shows that it reached the outer object) and passes every
// other request to the inner object's non-delegating unknown. It lives on the stack: Release
// only counts.
class AggregatingOuter final : public IPersist {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPersist) {
      *out = static_cast<IPersist*>(this);
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, out) : (*out = nullptr, E_NOINTERFACE);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = CLSID_NULL;
    return S_OK;
  }

  // Holds `object` (one non-delegating reference, taken here) as the inner object.
  void Aggregate(CUnknown* object) {
    object->NonDelegatingAddRef();
    inner = reinterpret_cast<IUnknown*>(static_cast<INonDelegatingUnknown*>(object));
  }

  long refs = 1;
  IUnknown* inner = nullptr;  // the inner object's non-delegating unknown
};

// An object made by `create` under an AggregatingOuter: its interface `iid` (the filter by
// default) answers the outer object's IPersist, counts on the outer object, and the inner
// object's last release is 0.
inline void ExpectAggregates(LPFNNewCOMObject create, REFIID iid = IID_IBaseFilter) {
  AggregatingOuter outer;
  HRESULT hr = S_OK;
  CUnknown* inner = create(&outer, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_NE(inner, nullptr);
  outer.Aggregate(inner);
  IUnknown* part = nullptr;
  ASSERT_EQ(outer.QueryInterface(iid, reinterpret_cast<void**>(&part)), S_OK);
  EXPECT_EQ(outer.refs, 2);  // the reference handed out counts on the outer object
  IPersist* persist = nullptr;
  ASSERT_EQ(part->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);
  EXPECT_EQ(persist, static_cast<IPersist*>(&outer));  // the outer object answers for it
  persist->Release();
  part->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(inner->NonDelegatingRelease(), 0u);
}

// A `T` made through its creation function, with one reference for the caller.
template <class T>
T* NewObject() {
  HRESULT hr = S_OK;
  CUnknown* object = T::CreateInstance(nullptr, &hr);
  EXPECT_EQ(hr, S_OK);
  object->NonDelegatingAddRef();
  return static_cast<T*>(object);
}

}  // namespace graph_testkit

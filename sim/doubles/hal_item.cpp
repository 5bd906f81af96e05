// The host's item class as a COM double: VARIANT values under numeric type identifiers, guarded
// by a critical section. Values are copied in and out (VariantCopy), so a caller never shares
// storage with the item; Clone makes a deep copy with one reference.
#include "sim/doubles/hal_item.h"

#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "common/class_registration.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/path.h"
#include "devices/idl/device_manager.h"

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

// The types a VARIANT may carry (the automation rules): a base type, alone, by reference or as
// an array; VT_VARIANT only by reference or as an array. Anything else is refused before the
// value is looked at: copying it would read the union as whatever the type claims.
bool ValidVariantType(VARTYPE vt) {
  const VARTYPE flags = vt & ~VT_TYPEMASK;
  if (flags & ~(VT_BYREF | VT_ARRAY)) return false;
  switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
    case VT_NULL:
      return flags == 0;
    case VT_VARIANT:
      return flags != 0;
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_DECIMAL: case VT_I1:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
    case VT_RECORD:
      return true;
    default:
      return false;
  }
}

// A VARIANT owned by the map: cleared on destruction, copied deeply.
class OwnedVariant {
 public:
  OwnedVariant() { VariantInit(&value_); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  ~OwnedVariant() { VariantClear(&value_); }
  HRESULT CopyFrom(const VARIANT& source) {
    VARIANT copy;
    VariantInit(&copy);
    // By value: a VT_BYREF value points into the caller's storage, which does not outlive the
    // call.
    const HRESULT hr = VariantCopyInd(&copy, const_cast<VARIANT*>(&source));
    if (FAILED(hr)) return hr;
    VariantClear(&value_);
    value_ = copy;  // takes the copy's storage
    return S_OK;
  }
  const VARIANT& get() const { return value_; }

 private:
  VARIANT value_;
};

class HalItem final : public IHalItem {
 public:
  HalItem() { ++g_objects; }
  ~HalItem() { --g_objects; }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IHalItem) return E_NOINTERFACE;
    *out = static_cast<IHalItem*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
  STDMETHODIMP_(ULONG) Release() override {
    const long left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IHalItem
  STDMETHODIMP GetInfo(long type, VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    LockGuard guard(lock_, INFINITE);
    const auto it = values_.find(type);
    if (it == values_.end()) return TYPE_E_ELEMENTNOTFOUND;
    return VariantCopy(value, const_cast<VARIANT*>(&it->second->get()));
  }

  STDMETHODIMP GetInfoAll(long* count, long** types, VARIANT** values) override {
    if (!count || !types || !values) return E_POINTER;
    *count = 0;
    *types = nullptr;
    *values = nullptr;
    LockGuard guard(lock_, INFINITE);
    const size_t n = values_.size();
    if (n == 0) return S_OK;
    auto* t = static_cast<long*>(CoTaskMemAlloc(n * sizeof(long)));
    auto* v = static_cast<VARIANT*>(CoTaskMemAlloc(n * sizeof(VARIANT)));
    if (!t || !v) {
      CoTaskMemFree(t);
      CoTaskMemFree(v);
      return E_OUTOFMEMORY;
    }
    size_t i = 0;
    for (const auto& [key, stored] : values_) {
      t[i] = key;
      VariantInit(&v[i]);
      const HRESULT hr = VariantCopy(&v[i], const_cast<VARIANT*>(&stored->get()));
      if (FAILED(hr)) {
        for (size_t k = 0; k <= i; ++k) VariantClear(&v[k]);
        CoTaskMemFree(t);
        CoTaskMemFree(v);
        return hr;
      }
      ++i;
    }
    *count = static_cast<long>(n);
    *types = t;
    *values = v;
    return S_OK;
  }

  STDMETHODIMP SetInfo(long type, VARIANT value) override {
    return GuardHr(E_FAIL, [&] {
      LockGuard guard(lock_, INFINITE);
      return Store(type, value);
    });
  }

  STDMETHODIMP SetInfoAll(long count, const long* types, const VARIANT* values) override {
    if (count < 0) return E_INVALIDARG;
    if (count > 0 && (!types || !values)) return E_POINTER;
    for (long i = 0; i < count; ++i) {
      if (!ValidVariantType(values[i].vt)) return DISP_E_BADVARTYPE;  // nothing stored
    }
    return GuardHr(E_FAIL, [&] {
      LockGuard guard(lock_, INFINITE);
      for (long i = 0; i < count; ++i) ThrowIfFailed(Store(types[i], values[i]));
      return S_OK;
    });
  }

  STDMETHODIMP Clone(IHalItem** clone) override {
    if (!clone) return E_POINTER;
    *clone = nullptr;
    auto* copy = new (std::nothrow) HalItem;
    if (!copy) return E_OUTOFMEMORY;
    const HRESULT hr = GuardHr(E_FAIL, [&] {
      LockGuard guard(lock_, INFINITE);
      for (const auto& [key, stored] : values_) ThrowIfFailed(copy->Store(key, stored->get()));
      return S_OK;
    });
    if (FAILED(hr)) {
      copy->Release();
      return hr;
    }
    *clone = copy;  // the one reference is the caller's
    return S_OK;
  }

  STDMETHODIMP Clear() override {
    LockGuard guard(lock_, INFINITE);
    values_.clear();
    return S_OK;
  }

 private:
  // Called with the lock held (or on an object no one else sees yet).
  // A value that cannot be copied leaves the stored one (or its absence) as it was.
  HRESULT Store(long type, const VARIANT& value) {
    if (!ValidVariantType(value.vt)) return DISP_E_BADVARTYPE;
    auto copy = std::make_unique<OwnedVariant>();
    const HRESULT hr = copy->CopyFrom(value);
    if (FAILED(hr)) return hr;
    values_[type] = std::move(copy);
    return S_OK;
  }

  std::atomic<long> refs_{1};
  CriticalSection lock_;  // guards values_
  std::map<long, std::unique_ptr<OwnedVariant>> values_;
};

class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static object
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* item = new (std::nothrow) HalItem;
    if (!item) return E_OUTOFMEMORY;
    const HRESULT hr = item->QueryInterface(iid, out);
    item->Release();
    return hr;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

Factory g_factory;

constexpr wchar_t kClassKey[] = L"CLSID\\{B56ECA05-BB57-4655-81EE-2244FCF361A0}";

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (clsid != kClsidHalItem) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
  const std::wstring path = ModulePath::OfModule(ThisModule()).str();
  if (path.empty()) return HResultFromLastError();
  const std::wstring server = std::wstring(kClassKey) + L"\\InprocServer32";
  return SetClassesRootValues({{server, nullptr, path}, {server, L"ThreadingModel", L"Both"}});
}

STDAPI DllUnregisterServer() {
  const std::wstring path = ModulePath::OfModule(ThisModule()).str();
  return DeleteOwnedKey({kClassKey, L"InprocServer32", nullptr}, path);
}

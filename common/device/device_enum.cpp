#include "common/device/device_enum.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>

#include "common/device/device_identity.h"

using Microsoft::WRL::ComPtr;

namespace {

class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&value_); }
  ~ScopedVariant() { VariantClear(&value_); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  VARIANT* get() { return &value_; }
  const VARIANT& ref() const { return value_; }
  // The string, or null when the value is not a string.
  const wchar_t* text() const { return V_VT(&value_) == VT_BSTR ? V_BSTR(&value_) : nullptr; }

 private:
  VARIANT value_;
};

// Reads one value of the bag as a string; the variant stays empty when it cannot be read.
void ReadString(IPropertyBag* bag, const wchar_t* name, ScopedVariant& value) {
  V_VT(value.get()) = VT_BSTR;
  V_BSTR(value.get()) = nullptr;
  if (FAILED(bag->Read(name, value.get(), nullptr))) {
    VariantClear(value.get());
  }
}

// Exact comparison where two absent strings are equal.
bool SameName(const wchar_t* a, const wchar_t* b) {
  if (!a || !b) return a == b;
  return std::wcscmp(a, b) == 0;
}

}  // namespace

namespace DeviceEnum {

HRESULT BindFilter(IBaseFilter** out, const DeviceIdentity* identity, REFGUID category,
                   const wchar_t* friendlyName, DWORD flags) {
  ComPtr<ICreateDevEnum> devices;
  HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_ALL, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(devices.GetAddressOf()));
  if (FAILED(hr)) return hr;
  if (!devices) return E_OUTOFMEMORY;
  ComPtr<IEnumMoniker> monikers;
  hr = devices->CreateClassEnumerator(category, monikers.GetAddressOf(), flags);
  if (FAILED(hr)) return hr;
  // A category without devices answers S_FALSE and no enumeration: no device.
  if (hr == S_FALSE || !monikers) return S_FALSE;
  return ReadProperties(monikers.Get(), friendlyName, identity, nullptr, out);
}

HRESULT BindFilterByName(IBaseFilter** out, REFGUID category, const wchar_t* friendlyName, DWORD flags) {
  return BindFilter(out, nullptr, category, friendlyName, flags);
}

HRESULT ReadProperties(IEnumMoniker* monikers, const wchar_t* friendlyName, const DeviceIdentity* identity,
                       CLSID* clsidOut, IBaseFilter** filterOut) {
  if (!monikers) return E_INVALIDARG;
  const bool byIdentity = identity && !identity->IsEmpty();
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK && moniker) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                      reinterpret_cast<void**>(bag.GetAddressOf()))) || !bag) {
      continue;
    }
    ScopedVariant name;
    ReadString(bag.Get(), L"FriendlyName", name);
    if (!SameName(name.text(), friendlyName)) continue;
    if (byIdentity) {
      ScopedVariant path;
      ReadString(bag.Get(), L"DevicePath", path);
      if (!identity->Matches(DeviceIdentity(path.ref()))) continue;
    }

    if (filterOut) {
      IBaseFilter* filter = nullptr;
      if (FAILED(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)))) {
        if (filter) filter->Release();  // never trust an out value next to a failure
        filter = nullptr;
      }
      *filterOut = filter;
    }
    if (clsidOut) {
      ScopedVariant clsid;
      ReadString(bag.Get(), L"CLSID", clsid);
      CLSID value{};
      if (clsid.text() && SUCCEEDED(CLSIDFromString(clsid.text(), &value))) *clsidOut = value;
    }
    return S_OK;
  }
  return S_FALSE;
}

}  // namespace DeviceEnum

// A device item of fixed values for the second family's tests: a map of type to 32-bit value
// (VT_I4), cloned by value.
#pragma once

#include <windows.h>

#include <wrl/client.h>

#include <map>
#include <string>
#include <utility>

#include "devices/idl/device_manager.h"

namespace rul_testing {

using Microsoft::WRL::ComPtr;

class Item final : public IHalItem {
 public:
  Item(std::map<long, LONG> values, std::map<long, std::wstring> strings)
      : values_(std::move(values)), strings_(std::move(strings)) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IHalItem) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (!left) delete this;
    return left;
  }
  STDMETHODIMP GetInfo(long type, VARIANT* value) override {
    const auto text = strings_.find(type);
    if (text != strings_.end()) {
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(text->second.c_str());
      return S_OK;
    }
    const auto it = values_.find(type);
    if (it == values_.end()) return TYPE_E_ELEMENTNOTFOUND;
    value->vt = VT_I4;
    value->lVal = it->second;
    return S_OK;
  }
  STDMETHODIMP GetInfoAll(long*, long**, VARIANT**) override { return E_NOTIMPL; }
  STDMETHODIMP SetInfo(long, VARIANT) override { return E_NOTIMPL; }
  STDMETHODIMP SetInfoAll(long, const long*, const VARIANT*) override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IHalItem** clone) override {
    *clone = new Item(values_, strings_);
    return S_OK;
  }
  STDMETHODIMP Clear() override { return E_NOTIMPL; }

 private:
  std::map<long, LONG> values_;
  std::map<long, std::wstring> strings_;
  ULONG refs_ = 1;
};

inline ComPtr<IHalItem> MakeItem(std::map<long, LONG> values, std::map<long, std::wstring> strings = {}) {
  ComPtr<IHalItem> item;
  *item.ReleaseAndGetAddressOf() = new Item(std::move(values), std::move(strings));
  return item;
}

}  // namespace rul_testing

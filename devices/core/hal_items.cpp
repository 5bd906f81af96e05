#include "devices/core/hal_items.h"

#include <objbase.h>
#include <oleauto.h>

#include "common/device/bstr_string.h"
#include "common/hresult.h"

namespace hal_items {

namespace {
// {B56ECA05-BB57-4655-81EE-2244FCF361A0}
constexpr CLSID kClsidItem = {0xb56eca05, 0xbb57, 0x4655, {0x81, 0xee, 0x22, 0x44, 0xfc, 0xf3, 0x61, 0xa0}};
}  // namespace

std::wstring ReadString(IHalItem* item, long type) {
  VARIANT value;
  VariantInit(&value);
  std::wstring text;
  if (SUCCEEDED(item->GetInfo(type, &value)) && value.vt == VT_BSTR && value.bstrVal)
    text.assign(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);
  return text;
}

std::int32_t ReadInteger(IHalItem* item, long type) {
  VARIANT value;
  VariantInit(&value);
  std::int32_t number = 0;
  if (SUCCEEDED(item->GetInfo(type, &value)) && SUCCEEDED(VariantChangeType(&value, &value, 0, VT_I4)))
    number = value.lVal;
  VariantClear(&value);
  return number;
}

HRESULT WriteInteger(IHalItem* item, long type, std::int32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return item->SetInfo(type, v);
}

HRESULT WriteString(IHalItem* item, long type, const wchar_t* text) {
  VARIANT v;
  VariantInit(&v);
  RETURN_IF_FAILED(VariantHelpers::AssignString(&v, text));
  const HRESULT hr = item->SetInfo(type, v);
  VariantClear(&v);
  return hr;
}

HRESULT CreateItem(Microsoft::WRL::ComPtr<IHalItem>* item) {
  item->Reset();
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(CoCreateInstance(kClsidItem, nullptr, CLSCTX_INPROC_SERVER, IID_IHalItem,
                                    reinterpret_cast<void**>(made.GetAddressOf())));
  RETURN_IF_FAILED(made->Clear());
  *item = std::move(made);
  return S_OK;
}

}  // namespace hal_items

#include "sim/host/device_item.h"

#include <oleauto.h>

#include "common/hresult.h"
#include "sim/doubles/hal_item.h"

namespace sim_host {

HRESULT MakeDeviceItem(const DeviceItemValues& values, Microsoft::WRL::ComPtr<IHalItem>* item) {
  if (!item) return E_POINTER;
  item->Reset();
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(CoCreateInstance(kClsidHalItem, nullptr, CLSCTX_INPROC_SERVER, IID_IHalItem,
                                    reinterpret_cast<void**>(made.GetAddressOf())));
  for (const long id : {kItemDevicePath, kItemName}) {
    const std::wstring& text = id == kItemName && !values.name.empty() ? values.name : values.devicePath;
    VARIANT path;
    VariantInit(&path);
    path.vt = VT_BSTR;
    path.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!path.bstrVal) return E_OUTOFMEMORY;
    const HRESULT hr = made->SetInfo(id, path);
    VariantClear(&path);
    RETURN_IF_FAILED(hr);
  }
  const struct {
    long id;
    long value;
  } integers[] = {{kItemBoardType, values.boardType},
                  {kItemCapabilities, values.capabilities},
                  {kItemFunctions, values.functions},
                  {kItemTunerNumber, values.tunerNumber},
                  {kItemTunerCount, values.tunerCount}};
  for (const auto& v : integers) {
    if (v.id == kItemTunerCount && v.value == 0) continue;
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = v.value;
    RETURN_IF_FAILED(made->SetInfo(v.id, number));
  }
  *item = std::move(made);
  return S_OK;
}

HRESULT MakeChannelItem(ULONG band, ULONG frequency, Microsoft::WRL::ComPtr<IHalItem>* item, ULONG channel) {
  if (!item) return E_POINTER;
  item->Reset();
  Microsoft::WRL::ComPtr<IHalItem> made;
  RETURN_IF_FAILED(CoCreateInstance(kClsidHalItem, nullptr, CLSCTX_INPROC_SERVER, IID_IHalItem,
                                    reinterpret_cast<void**>(made.GetAddressOf())));
  const long values[][2] = {{0, 81}, {1, 2}, {2, static_cast<long>(band)}, {3, static_cast<long>(channel)}, {4, static_cast<long>(frequency)}, {5, 0}};
  for (const auto& v : values) {
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = v[1];
    RETURN_IF_FAILED(made->SetInfo(v[0], number));
  }
  *item = std::move(made);
  return S_OK;
}

}  // namespace sim_host

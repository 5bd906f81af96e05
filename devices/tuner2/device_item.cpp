#include "devices/tuner2/device_item.h"

#include "common/errors.h"
#include "common/hresult.h"

namespace rul {

LONG ReadItemLong(IHalItem* item, long type) {
  VARIANT value;
  VariantInit(&value);
  ThrowIfFailed(item->GetInfo(type, &value));
  const HRESULT hr = VariantChangeType(&value, &value, 0, VT_I4);
  const LONG result = value.lVal;
  VariantClear(&value);
  ThrowIfFailed(hr);
  return result;
}

void KeepDeviceItem(IHalItem* item, Microsoft::WRL::ComPtr<IHalItem>* held, LONG* index) {
  if (!item) ThrowHr(E_POINTER);
  held->Reset();
  *index = -1;
  ThrowIfFailed(item->Clone(held->ReleaseAndGetAddressOf()));
  if (!*held) ThrowHr(errors::kNoDeviceItem);
  const LONG tuner = ReadItemLong(held->Get(), kItemTunerIndex);
  const LONG count = ReadItemLong(held->Get(), kItemTunerCount);
  // A negative index would name a filter "... 0", which no board has.
  if (tuner < 0 || tuner >= count) ThrowHr(errors::kTunerIndexOutOfRange);
  *index = tuner;
}

}  // namespace rul

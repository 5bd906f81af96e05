#include "common/device/pin_helpers.h"

#include <wrl/client.h>

#include <cwchar>

using Microsoft::WRL::ComPtr;

namespace {

bool PinNameIs(IPin* pin, const wchar_t* name) {
  PIN_INFO info{};
  if (FAILED(pin->QueryPinInfo(&info))) return false;
  if (info.pFilter) info.pFilter->Release();  // QueryPinInfo hands out a filter reference
  info.achName[MAX_PIN_NAME - 1] = L'\0';
  return std::wcscmp(info.achName, name) == 0;
}

}  // namespace

namespace PinHelpers {

HRESULT FindPin(IPin** out, IBaseFilter* filter, PIN_DIRECTION direction, const wchar_t* name, int index) {
  if (!out || !filter || index < 0) return E_INVALIDARG;
  *out = nullptr;
  ComPtr<IEnumPins> pins;
  HRESULT hr = filter->EnumPins(pins.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (!pins) return E_POINTER;

  const int wanted = index < 1 ? 1 : index;
  int position = 0;
  ComPtr<IPin> pin;
  for (;;) {
    hr = pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr);
    if (FAILED(hr)) return hr;
    if (hr != S_OK || !pin) break;
    PIN_DIRECTION pinDirection;
    if (FAILED(pin->QueryDirection(&pinDirection)) || pinDirection != direction) continue;
    const bool match = name ? PinNameIs(pin.Get(), name) : ++position == wanted;
    if (match) {
      *out = pin.Detach();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

HRESULT Connect(IPin* output, IPin* input, IFilterGraph* graph) {
  if (!graph) return E_INVALIDARG;
  if (!output || !input) return E_POINTER;
  return graph->ConnectDirect(output, input, nullptr);
}

HRESULT Disconnect(IPin* a, IPin* b, IFilterGraph* graph) {
  if (!graph) return E_INVALIDARG;
  if (!a || !b) return E_POINTER;
  const HRESULT hr = graph->Disconnect(a);
  if (FAILED(hr)) return hr;
  return graph->Disconnect(b);
}

}  // namespace PinHelpers

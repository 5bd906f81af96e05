#include "devices/core/tuning/tuner_filters.h"

#include <cwchar>

#include "common/errors.h"
#include "devices/core/tuning/ks_categories.h"

HRESULT TunerFilters::Add(FilterGraphHolder& holder, const DeviceIdentity& identity, const wchar_t* tunerName,
                          const wchar_t* crossbarName, const wchar_t* captureName) {
  // Filters and interfaces held from an earlier, failed attempt are kept: the filters are in
  // the graph already, and binding the card's devices again would add second instances.
  DeviceFilterEntry filters[3] = {
      {&AM_KSCATEGORY_TVTUNER, &identity, {}, tuner.GetAddressOf()},
      {&AM_KSCATEGORY_CROSSBAR, &identity, {}, crossbar.GetAddressOf()},
      {&CLSID_VideoInputDeviceCategory, &identity, {}, capture.GetAddressOf()},
  };
  const wchar_t* const names[3] = {tunerName, crossbarName, captureName};
  for (int i = 0; i < 3; ++i) {
    if (!names[i] || std::wcslen(names[i]) >= 256) return E_INVALIDARG;
    std::wcscpy(filters[i].name, names[i]);
  }
  HRESULT hr = holder.AddDeviceFilters(filters, 3);
  if (FAILED(hr)) return hr;
  InterfaceQuery queries[4] = {
      {tuner.Get(), &IID_IAMTVTuner, reinterpret_cast<void**>(tvTuner.GetAddressOf())},
      {crossbar.Get(), &IID_IAMCrossbar, reinterpret_cast<void**>(crossbarControl.GetAddressOf())},
      {capture.Get(), &IID_IAMAnalogVideoDecoder, reinterpret_cast<void**>(decoder.GetAddressOf())},
      {capture.Get(), &IID_IAMVideoProcAmp, reinterpret_cast<void**>(procAmp.GetAddressOf())},
  };
  return holder.QueryInterfaces(queries, 4);
}

void TunerFilters::Remove(FilterGraphHolder& holder) noexcept {
  if (holder.graph()) {
    IBaseFilter* const filters[3] = {tuner.Get(), crossbar.Get(), capture.Get()};
    holder.RemoveFilters(filters, 3);
  }
  tvTuner.Reset();
  crossbarControl.Reset();
  decoder.Reset();
  procAmp.Reset();
  tuner.Reset();
  crossbar.Reset();
  capture.Reset();
}

HRESULT TunerFilters::GetInputType(DWORD* type) const {
  TunerInputType input = TunerInputCable;
  const HRESULT hr = tvTuner->get_InputType(0, &input);
  if (FAILED(hr)) return hr;
  if (input == TunerInputAntenna) {
    *type = 1;
  } else if (input == TunerInputCable) {
    *type = 2;
  } else {
    return errors::kTunerInputTypeUnknown;
  }
  return S_OK;
}

HRESULT TunerFilters::SetInputType(DWORD flags) const {
  if (flags & 1) return tvTuner->put_InputType(0, TunerInputAntenna);
  if (flags & 2) return tvTuner->put_InputType(0, TunerInputCable);
  return E_INVALIDARG;
}

// The card's tuner, crossbar and capture filters as every family's tuner control holds them in
// its graph, with the four standard control interfaces taken from them.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include "common/device/device_identity.h"
#include "common/device/filter_graph_holder.h"

struct TunerFilters {
  Microsoft::WRL::ComPtr<IBaseFilter> tuner, crossbar, capture;
  Microsoft::WRL::ComPtr<IAMTVTuner> tvTuner;
  Microsoft::WRL::ComPtr<IAMCrossbar> crossbarControl;
  Microsoft::WRL::ComPtr<IAMAnalogVideoDecoder> decoder;
  Microsoft::WRL::ComPtr<IAMVideoProcAmp> procAmp;

  // Binds the device's filters by friendly name (tuner, crossbar, capture, in that order) in
  // their categories into the holder's graph, then takes the four interfaces. The first failure
  // is returned (VFW_E_NOT_FOUND when the card has no such filter).
  HRESULT Add(FilterGraphHolder& holder, const DeviceIdentity& identity, const wchar_t* tunerName,
              const wchar_t* crossbarName, const wchar_t* captureName);
  // Takes the filters out of the holder's graph (when there is one) and releases everything.
  void Remove(FilterGraphHolder& holder) noexcept;

  // The tuner's input type as the device managers number it: 1 antenna, 2 cable; another type
  // gives errors::kTunerInputTypeUnknown, a failing read its code. Needs the tuner interface.
  HRESULT GetInputType(DWORD* type) const;
  // Bit 0 of `flags` the antenna (it wins), else bit 1 the cable, else E_INVALIDARG. Needs the
  // tuner interface.
  HRESULT SetInputType(DWORD flags) const;
};

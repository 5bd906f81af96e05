#include "devices/core/tesk_filter.h"

#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "common/hresult.h"
#include "common/registry.h"
#include "devices/core/outside_filters.h"
#include "filters/include/filter_interfaces.h"

using Microsoft::WRL::ComPtr;

int ParameterTable::SetByName(deinterlace::ParameterTableLayout* table, const char* name, int value) {
  if (!table || !name) return -1;
  const std::size_t length = strnlen(name, deinterlace::kParameterNameSize);
  if (length >= static_cast<std::size_t>(deinterlace::kParameterNameSize)) return -1;  // no record holds it
  const int count = std::min(table->count, deinterlace::kParameterCapacity);
  for (int i = 0; i < count; ++i) {
    deinterlace::ParameterRecord* record = table->records[i];
    if (!record || std::memcmp(record->name, name, length + 1) != 0) continue;
    const int stored = value < record->minimum ? record->minimum : value > record->maximum ? record->maximum : value;
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&record->value), stored);
    return 0;
  }
  return -1;
}

namespace tesk_settings {
namespace {

using Writes = std::vector<std::pair<const char*, LONG>>;

HRESULT WriteAndApply(IUnknown* filter, const Writes& writes) {
  if (!filter) return errors::kChainNullPointer;
  ComPtr<ITeskSettings> settings;
  HRESULT hr = filter->QueryInterface(IID_ITeskSettings, reinterpret_cast<void**>(settings.GetAddressOf()));
  if (FAILED(hr)) return hr;
  deinterlace::ParameterTableLayout* table = nullptr;
  hr = settings->GetParameterTable(&table);
  if (FAILED(hr)) return hr;
  for (const auto& [name, value] : writes) {
    if (ParameterTable::SetByName(table, name, value) != 0) return errors::kChainFailure;
  }
  return settings->ApplyParameters();
}

}  // namespace

HRESULT SetFrameDrop(IUnknown* filter, LONG on, LONG time) {
  return GuardHr(errors::kChainFailure, [&] {
    Writes writes{{"Qfa Frame Drop", on ? 1 : 0}};
    if (on && time >= 0) writes.emplace_back("Qfa Frame Drop Time", time);
    return WriteAndApply(filter, writes);
  });
}

HRESULT SetDeinterlaceMode(IUnknown* filter, LONG mode) {
  return GuardHr(errors::kChainFailure, [&] { return WriteAndApply(filter, {{"Qfa Deintermode", mode}}); });
}

HRESULT SetContrast(IUnknown* filter, LONG on, LONG factor) {
  return GuardHr(errors::kChainFailure, [&] {
    Writes writes{{"Qfa Contrast", on}};
    if (on) writes.emplace_back("Qfa Contrast Factor", factor);
    return WriteAndApply(filter, writes);
  });
}

HRESULT SetSharpness(IUnknown* filter, LONG on, LONG factor, LONG coring) {
  return GuardHr(errors::kChainFailure, [&] {
    Writes writes{{"Qfa Sharpness", on}};
    if (on) {
      writes.emplace_back("Qfa Sharpness Coring", coring);
      writes.emplace_back("Qfa Sharpness Factor", factor);
    }
    return WriteAndApply(filter, writes);
  });
}

HRESULT ApplyProcessing(IUnknown* filter, LONG mode, LONG contrastOn, LONG contrastFactor, LONG sharpnessOn,
                        LONG sharpnessFactor, LONG sharpnessCoring) {
  HRESULT hr = SetDeinterlaceMode(filter, mode);
  if (SUCCEEDED(hr)) hr = SetContrast(filter, contrastOn, contrastFactor);
  if (SUCCEEDED(hr)) hr = SetSharpness(filter, sharpnessOn, sharpnessFactor, sharpnessCoring);
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace tesk_settings

TeskFilter::TeskFilter(const ChainSettings& settings)
    : OptionalFilter(settings, {outside::kClsidTesk, outside::kTeskFile, L"Qfa-Tesk"}),
      recRunning_(board_settings::OpenRecRunningEvent(settings.recRunningEvent)) {}

LONG TeskFilter::FilterFieldOrder() const {
  return board_settings::ReadFieldOrder(settings(), L"Qfa Tesk", {1, IsBoard18Tuner1() ? 0 : 1}, recRunning_.get());
}

LONG TeskFilter::PlanarFieldOrder() const {
  return board_settings::ReadPlanarFieldOrder(settings(), recRunning_.get());
}

TeskFilter::FrameDrop TeskFilter::ReadFrameDrop() {
  const RegistryKeyPath key(board_settings::kBoardInfoKey);
  return {key.ReadDwordValue(L"Qfa Frame Drop2", 0) == 1 ? 1 : 0,
          static_cast<LONG>(key.ReadDwordValue(L"Qfa Frame Drop2 Time", 0xFFFFFFFFu))};
}

HRESULT TeskFilter::Configure() {
  HRESULT result = S_OK;
  if (IsBoard18Tuner1()) {
    ComPtr<IPlanarFieldOrder> planar;
    result = QueryFilterInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf()));
    if (SUCCEEDED(result)) {
      result = planar->SetFieldOrder(PlanarFieldOrder());
      if (FAILED(result)) return result;
    }
  }
  const chain_media::UpstreamFormat format = chain_media::FormatOf(upstream());
  if (format != chain_media::UpstreamFormat::VideoInfo2 && format != chain_media::UpstreamFormat::None) {
    ComPtr<ITeskControl> control;
    const HRESULT hr = QueryFilterInterface(IID_ITeskControl, reinterpret_cast<void**>(control.GetAddressOf()));
    if (FAILED(hr)) return hr;
    result = control->SetFieldOrder(FilterFieldOrder());
  }
  const FrameDrop drop = ReadFrameDrop();
  SetFrameDrop(drop.on, drop.time);
  return result;
}

HRESULT PlanarConverterFilter::Configure() {
  TeskFilter::Configure();
  return tesk_settings::ApplyProcessing(filter(), 1, 0, 0, 0, 0, 0);
}

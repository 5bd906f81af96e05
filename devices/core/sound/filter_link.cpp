#include "devices/core/sound/filter_link.h"

#include <wrl/client.h>

#include "common/device/filter_loader.h"
#include "common/device/pin_helpers.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/registry.h"
#include "devices/core/sound/sound_path.h"
#include "filters/include/filter_interfaces.h"
#include "filters/pacers/pacer_ids.h"

using Microsoft::WRL::ComPtr;

HRESULT FilterLink::Create(int soundPathKind, IFilterGraph* graph, int boardType, int tunerNumber) {
  if (graph_) return E_FAIL;
  if (soundPathKind != kLiveSyncKind) return S_OK;
  if (!graph) return E_INVALIDARG;

  HRESULT hr = FilterLoader::CreateFromNamedModule(module_, L"AudioPacer.ax", CLSID_AudioPacer, nullptr,
                                                   CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                                   reinterpret_cast<void**>(&pacer_));
  if (FAILED(hr)) return hr;
  if (!pacer_) return E_OUTOFMEMORY;
  hr = graph->AddFilter(pacer_, L"Zarn Live Audio Sync Filter");
  if (FAILED(hr)) {
    ReleaseAndClear(pacer_);
    return hr;
  }
  if (boardType == kSystemClockBoardType) {
    hr = CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                          reinterpret_cast<void**>(&clock_));
  }
  if (SUCCEEDED(hr)) hr = PinHelpers::FindPinByIndex(&pacerIn_, pacer_, PINDIR_INPUT, 1);
  if (SUCCEEDED(hr)) hr = PinHelpers::FindPinByIndex(&pacerOut_, pacer_, PINDIR_OUTPUT, 1);
  if (SUCCEEDED(hr)) hr = ApplyPacerSettings(boardType, tunerNumber);
  if (SUCCEEDED(hr)) hr = SetGraphClock(graph);
  if (FAILED(hr)) {
    // Nothing half made stays behind: the graph is not kept, so Remove could not find it.
    graph->RemoveFilter(pacer_);
    ReleaseAndClear(pacerIn_);
    ReleaseAndClear(pacerOut_);
    ReleaseAndClear(clock_);
    ReleaseAndClear(pacer_);
    return hr;
  }
  EnsureAudioBufferSettings();
  graph->AddRef();
  graph_ = graph;
  return S_OK;
}

HRESULT FilterLink::ApplyPacerSettings(int boardType, int tunerNumber) {
  if (!pacer_) return E_POINTER;
  const RegistryKeyPath key(FormatW(
      L"HKEY_LOCAL_MACHINE\\Software\\Zarn Corporation\\TunerBrdInfo\\BoardType%d\\Tuner%d\\LiveAVSyncParams",
      boardType, tunerNumber + 1));
  const DWORD delay = key.ReadDwordValue(L"audio delay", kDefaultDelayMs);
  const DWORD buffers = key.ReadDwordValue(L"audio alloc buffers", kDefaultAllocatorBuffers);
  const DWORD hwTimeStamp = key.ReadDwordValue(L"use hardware timestamp", kDefaultHwTimeStamp);
  ComPtr<IPacerSettings> settings;
  RETURN_IF_FAILED(pacer_->QueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(settings.GetAddressOf())));
  settings->SetAllocatorBuffers(static_cast<LONG>(buffers));
  settings->SetDelay(static_cast<LONG>(delay));
  settings->SetHwTimeStamp(hwTimeStamp != 0 ? 1 : 0);
  return S_OK;
}

HRESULT FilterLink::SetGraphClock(IFilterGraph* graph) {
  if (!graph) return E_INVALIDARG;
  if (!pacer_) return E_POINTER;
  IUnknown* source = clock_ ? clock_ : pacer_;
  ComPtr<IReferenceClock> clock;
  RETURN_IF_FAILED(source->QueryInterface(IID_PPV_ARGS(&clock)));
  ComPtr<IMediaFilter> mediaFilter;
  RETURN_IF_FAILED(graph->QueryInterface(IID_PPV_ARGS(&mediaFilter)));
  return mediaFilter->SetSyncSource(clock.Get());
}

void FilterLink::EnsureAudioBufferSettings() {
  const RegistryKeyPath key(WideString(L"HKEY_LOCAL_MACHINE\\") + WideString(sound_registry::kAudioBufferKey));
  constexpr DWORD kLimit = 100;
  constexpr DWORD kNoWatch = 0xFFFFFFFF;
  if (key.ReadDwordValue(L"buffer limit", 0) == kLimit) return;
  // Failures are ignored: without write access the sound path keeps its own defaults.
  key.WriteDword(L"buffer limit", kLimit);
  key.WriteDword(L"watch timer", kNoWatch);
}

HRESULT FilterLink::Attach(IPin* upstream) {
  if (upstream_) return E_FAIL;
  if (!upstream) return E_INVALIDARG;
  upstream->AddRef();
  upstream_ = upstream;
  return pacerIn_ ? PinHelpers::Connect(upstream_, pacerIn_, graph_) : S_OK;
}

void FilterLink::Detach() {
  // Only the pair this link connected: an attach that could not connect leaves whatever the
  // pin was connected to alone.
  if (graph_ && upstream_ && pacerIn_) {
    ComPtr<IPin> peer;
    if (SUCCEEDED(upstream_->ConnectedTo(&peer)) && peer.Get() == pacerIn_)
      PinHelpers::Disconnect(upstream_, pacerIn_, graph_);
  }
  ReleaseAndClear(upstream_);
}

void FilterLink::Remove() {
  Detach();
  if (graph_ && pacer_) graph_->RemoveFilter(pacer_);
  ReleaseAndClear(clock_);
  ReleaseAndClear(graph_);
  ReleaseAndClear(pacerOut_);
  ReleaseAndClear(pacerIn_);
  ReleaseAndClear(pacer_);
}

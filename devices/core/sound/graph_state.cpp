#include "devices/core/sound/graph_state.h"

#include <wrl/client.h>

#include "common/device/filter_graph_holder.h"

using Microsoft::WRL::ComPtr;

namespace sound_graph {
namespace {

// Polls until the graph reports `wanted` or the polls run out; a failing read is returned.
HRESULT WaitForState(IMediaControl* control, OAFilterState wanted) {
  for (int i = 0; i < kStatePolls; ++i) {
    OAFilterState state = State_Stopped;
    const HRESULT hr = control->GetState(kStatePollMs, &state);
    if (FAILED(hr)) return hr;
    if (state == wanted) break;
  }
  return S_OK;
}

}  // namespace

HRESULT RestoreGraphState(IMediaControl* control) {
  if (!control) return E_POINTER;
  OAFilterState first = State_Stopped;
  HRESULT hr = control->GetState(0, &first);
  if (FAILED(hr)) return hr;
  if (first == State_Stopped) return S_OK;
  if (FAILED(hr = control->Stop())) return hr;
  if (FAILED(hr = WaitForState(control, State_Stopped))) return hr;
  if (FAILED(hr = control->Run())) {
    FilterGraphHolder::StopEveryFilter(control);
    return hr;
  }
  if (first == State_Paused) {
    if (FAILED(hr = WaitForState(control, State_Running))) return hr;
    if (FAILED(hr = control->Pause())) return hr;
  }
  return S_OK;
}

HRESULT SetClockMode(IUnknown* graph, IUnknown* audioRenderer, LONG mode) {
  if (!graph) return E_OUTOFMEMORY;
  if (mode == 1) {
    ComPtr<IFilterGraph> filterGraph;
    if (FAILED(graph->QueryInterface(IID_PPV_ARGS(&filterGraph)))) return E_OUTOFMEMORY;
    return filterGraph->SetDefaultSyncSource();
  }
  ComPtr<IMediaFilter> mediaFilter;
  ComPtr<IReferenceClock> clock;
  if (FAILED(graph->QueryInterface(IID_PPV_ARGS(&mediaFilter))) || !audioRenderer ||
      FAILED(audioRenderer->QueryInterface(IID_PPV_ARGS(&clock)))) {
    return E_OUTOFMEMORY;
  }
  return mediaFilter->SetSyncSource(clock.Get());
}

}  // namespace sound_graph

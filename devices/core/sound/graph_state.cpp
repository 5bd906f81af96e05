#include "devices/core/sound/graph_state.h"

#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace sound_graph {

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

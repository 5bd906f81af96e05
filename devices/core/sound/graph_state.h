// The sound path's graph-wide step: choosing the graph's clock (its default, or the audio
// renderer's). Putting the graph back into its state after a change of the sound path is
// graph_state::Restore (common/device/graph_state.h).
#pragma once

#include <windows.h>
#include <dshow.h>

namespace sound_graph {

// Mode 1: the graph's default clock (IFilterGraph::SetDefaultSyncSource). Any other mode: the
// audio renderer's IReferenceClock becomes the graph's sync source (IMediaFilter). A missing
// interface (a null graph or renderer included) answers E_OUTOFMEMORY; a failing call is
// returned.
HRESULT SetClockMode(IUnknown* graph, IUnknown* audioRenderer, LONG mode);

}  // namespace sound_graph

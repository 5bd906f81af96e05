// Graph-wide steps of the sound path: putting the graph back into the state it was in after
// the sound path changed (stop, run, and pause again when it was paused), and choosing the
// graph's clock (its default, or the audio renderer's).
#pragma once

#include <windows.h>
#include <dshow.h>

namespace sound_graph {

// How a restore waits for the graph: at most kStatePolls reads of GetState with this time-out.
inline constexpr int kStatePolls = 10;
inline constexpr LONG kStatePollMs = 100;

// Nothing for a stopped graph; otherwise Stop, wait for stopped, Run, and for a graph that was
// paused: wait for running, then Pause. Any failing call ends it with its code (a null
// control: E_POINTER). A state read that succeeds (VFW_S_STATE_INTERMEDIATE, VFW_S_CANT_CUE of
// a paused live graph) counts as read.
HRESULT RestoreGraphState(IMediaControl* control);

// Mode 1: the graph's default clock (IFilterGraph::SetDefaultSyncSource). Any other mode: the
// audio renderer's IReferenceClock becomes the graph's sync source (IMediaFilter). A missing
// interface (a null graph or renderer included) answers E_OUTOFMEMORY; a failing call is
// returned.
HRESULT SetClockMode(IUnknown* graph, IUnknown* audioRenderer, LONG mode);

}  // namespace sound_graph

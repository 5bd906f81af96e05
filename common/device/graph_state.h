// A filter graph's state, changed, waited for and restored in one place: the filter-graph
// holder, the renderer's internal graph and the sound path's restart all go through these
// functions and through nothing else.
//
// What they make up for in the platform's graph manager:
//  - A filter that refuses a start leaves the filters that paused before it paused while the
//    graph reads stopped: the graph's own Stop then does nothing, and the paused filters' pins
//    can be neither disconnected nor connected again. Every failed step therefore stops the
//    graph AND each of its filters that does not read stopped (StopEveryFilter).
//  - A refusal that another filter's S_FALSE masked (a renderer pausing) leaves a graph whose
//    state reads E_FAIL for good. A stop never depends on the state read: it reaches the graph
//    and every filter whatever the read said (the read's failure is still the answer).
//
// A start answers what the graph answered; the filters' own states are not looked at. A
// refusal the graph manager did not report (masked as above, or made in the asynchronous run
// that follows a renderer's S_FALSE) has no code left to return, and telling it from a filter
// still on its way to running would need a wait at every start: the next stop reaches every
// filter, and a lasting refusal no longer leaves anything behind.
//
// Not locked: the caller serialises its calls on one graph. COM must be initialised on the
// calling thread.
#pragma once

#include "common/dshow.h"

namespace graph_state {

// How long a wait for a state lasts: at most kPolls reads of kPollMs each.
inline constexpr int kPolls = 10;
inline constexpr LONG kPollMs = 100;

// *state is stopped first, then IMediaControl::GetState. VFW_S_STATE_INTERMEDIATE (a change
// still under way) gives S_OK; other answers, VFW_S_CANT_CUE among them, are returned as they
// came (test with SUCCEEDED). E_POINTER for a null control or out.
HRESULT Read(IMediaControl* control, LONG timeoutMs, OAFilterState* state);

// Reads the state up to kPolls times (kPollMs each) until it is `wanted`: S_OK once it is, and
// also when the polls run out; a failing read ends the wait with its code. E_POINTER for null.
HRESULT WaitFor(IMediaControl* control, OAFilterState wanted);

// Stops the graph (IMediaControl::Stop), then each of its filters that does not read stopped
// (a read that fails or is still under way counts as not stopped). Nothing for a null graph;
// results are ignored.
void StopEveryFilter(IUnknown* graph) noexcept;

// Brings the graph to `target` (running, paused or stopped):
//  - the state is read without waiting; a graph already in `target` gets no call (S_OK), but
//    one that reads stopped still has its paused filters stopped;
//  - a failing read is returned: Run and Pause call nothing, Stop stops every filter all the
//    same;
//  - Pause answered S_FALSE: WaitFor(paused), S_OK once paused or when the polls run out;
//  - any failed step (the call refused, a poll that fails) stops every filter and returns its
//    code.
// E_POINTER for a null control.
HRESULT Change(IMediaControl* control, OAFilterState target);

// Puts a graph back into the state it was in after a change around it (the sound path's):
// nothing for a stopped graph; otherwise Stop, WaitFor(stopped), Run and, for a graph that was
// paused, WaitFor(running) and Pause. A state read that succeeds (VFW_S_CANT_CUE of a paused
// live graph too) counts as read; a first read that fails is returned without a call. Any
// later failed step stops every filter and returns its code. E_POINTER for a null control.
HRESULT Restore(IMediaControl* control);

}  // namespace graph_state

#include "common/device/graph_state.h"

#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace graph_state {
namespace {

// Stops each filter of the graph that does not read stopped (the graph's own state aside).
void StopStrayFilters(IUnknown* graph) noexcept {
  ComPtr<IFilterGraph> filters;
  ComPtr<IEnumFilters> walk;
  if (FAILED(graph->QueryInterface(IID_PPV_ARGS(&filters))) || FAILED(filters->EnumFilters(&walk)) || !walk) return;
  ComPtr<IBaseFilter> filter;
  while (walk->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK && filter) {
    FILTER_STATE state = State_Stopped;
    const HRESULT read = filter->GetState(0, &state);
    if (FAILED(read) || read == VFW_S_STATE_INTERMEDIATE || state != State_Stopped) filter->Stop();
  }
}

// Stops the graph and every filter of it.
void StopAll(IMediaControl* control) noexcept {
  control->Stop();
  StopStrayFilters(control);
}

// A step's result: a failure stops every filter first.
HRESULT Undone(IMediaControl* control, HRESULT hr) noexcept {
  if (FAILED(hr)) StopAll(control);
  return hr;
}

}  // namespace

HRESULT Read(IMediaControl* control, LONG timeoutMs, OAFilterState* state) {
  if (!state) return E_POINTER;
  *state = State_Stopped;
  if (!control) return E_POINTER;
  const HRESULT hr = control->GetState(timeoutMs, state);
  return hr == VFW_S_STATE_INTERMEDIATE ? S_OK : hr;
}

HRESULT WaitFor(IMediaControl* control, OAFilterState wanted) {
  if (!control) return E_POINTER;
  for (int poll = 0; poll < kPolls; ++poll) {
    OAFilterState state = State_Stopped;
    const HRESULT hr = Read(control, kPollMs, &state);
    if (FAILED(hr)) return hr;
    if (state == wanted) break;
  }
  return S_OK;
}

void StopEveryFilter(IUnknown* graph) noexcept {
  if (!graph) return;
  ComPtr<IMediaControl> control;
  if (SUCCEEDED(graph->QueryInterface(IID_PPV_ARGS(&control)))) control->Stop();
  StopStrayFilters(graph);
}

HRESULT Change(IMediaControl* control, OAFilterState target) {
  if (!control) return E_POINTER;
  OAFilterState state = State_Stopped;
  HRESULT hr = Read(control, 0, &state);
  if (FAILED(hr)) {
    // A graph whose state cannot be read is stopped all the same: a masked refusal reads so
    // for good, and nothing but a stop brings it back.
    if (target == State_Stopped) StopAll(control);
    return hr;
  }
  if (state == target) {
    if (target == State_Stopped) StopStrayFilters(control);  // what a refused start left paused
    return S_OK;
  }
  switch (target) {
    case State_Running: hr = control->Run(); break;
    case State_Stopped: hr = control->Stop(); break;
    default: hr = control->Pause(); break;
  }
  if (FAILED(hr)) return Undone(control, hr);
  if (target != State_Paused || hr != S_FALSE) return hr;
  // The graph pauses asynchronously (a live source or a renderer waiting for its first sample).
  return Undone(control, WaitFor(control, State_Paused));
}

HRESULT Restore(IMediaControl* control) {
  if (!control) return E_POINTER;
  OAFilterState first = State_Stopped;
  HRESULT hr = Read(control, 0, &first);
  if (FAILED(hr)) return hr;
  if (first == State_Stopped) return S_OK;
  if (FAILED(hr = Undone(control, control->Stop()))) return hr;
  if (FAILED(hr = Undone(control, WaitFor(control, State_Stopped)))) return hr;
  if (FAILED(hr = Undone(control, control->Run()))) return hr;
  if (first == State_Paused) {
    if (FAILED(hr = Undone(control, WaitFor(control, State_Running)))) return hr;
    if (FAILED(hr = Undone(control, control->Pause()))) return hr;
  }
  return S_OK;
}

}  // namespace graph_state

// Finding a filter's pins by direction and name or position, and connecting and disconnecting
// two pins through the graph they belong to.
#pragma once

#include "common/dshow.h"

namespace PinHelpers {

// Walks the filter's pins one at a time and keeps those of `direction`. With a name, the pin
// whose name equals it exactly (case-sensitive); without one, the pin at position `index`
// counted from 1 (0 and 1 both give the first). *out receives the pin with its reference.
// E_INVALIDARG for a null out or filter, or a negative index; VFW_E_NOT_FOUND when no pin
// matches; a failed enumeration returns its error.
HRESULT FindPin(IPin** out, IBaseFilter* filter, PIN_DIRECTION direction, const wchar_t* name, int index);
inline HRESULT FindPinByName(IPin** out, IBaseFilter* filter, PIN_DIRECTION direction, const wchar_t* name) {
  return FindPin(out, filter, direction, name, 0);
}
inline HRESULT FindPinByIndex(IPin** out, IBaseFilter* filter, PIN_DIRECTION direction, int index) {
  return FindPin(out, filter, direction, nullptr, index);
}

// Connects `output` to `input` directly, without a media type (IFilterGraph::ConnectDirect).
// E_INVALIDARG without a graph, E_POINTER for a missing pin.
HRESULT Connect(IPin* output, IPin* input, IFilterGraph* graph);

// Disconnects both pins in the graph, `a` first; a failure on `a` is returned at once.
// E_INVALIDARG without a graph, E_POINTER for a missing pin.
HRESULT Disconnect(IPin* a, IPin* b, IFilterGraph* graph);

}  // namespace PinHelpers

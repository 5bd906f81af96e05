// Small steps of the graph tests: frame plans for the test source, a memory allocator of the
// test's own, finding a filter's pin and waiting for a graph event.
#pragma once

#include <vector>

#include "common/dshow.h"
#include "filters/base/testkit/push_source.h"

namespace graph_testkit {

// `count` timed frames of `duration` each from time 0; frame i is filled with 0x10 + i.
std::vector<SamplePlan> EvenFrames(int count, REFERENCE_TIME duration);

// A new memory allocator (one reference for the caller); with `count` > 0 it is set to `count`
// buffers of `bytes` and committed (null when that fails).
IMemAllocator* NewAllocator(LONG count = 0, LONG bytes = 0);

// The first pin of `filter` with this direction (one reference for the caller), or null.
IPin* FirstPin(IBaseFilter* filter, PIN_DIRECTION direction);

// The number of filters in `graph` (-1 when they cannot be enumerated).
int FilterCount(IFilterGraph* graph);

// Waits at most `timeoutMs` for the next event of code `wanted` (others are taken and skipped);
// its first parameter goes to `param1` when given.
bool WaitForGraphEvent(IMediaEventEx* events, long wanted, DWORD timeoutMs, LONG_PTR* param1 = nullptr);

}  // namespace graph_testkit

// The pieces every family's graphs share around their watch threads: the named-event slots a
// graph creates, the graph events that count as errors, the audio-mode reaction and the wait
// loop itself.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <cstddef>

#include "common/hresult.h"
#include "common/locks.h"
#include "devices/core/device_objects.h"

namespace graph_watch {

// One event slot of a graph: `kind` names it "Global\EventName_<kind>_f1_.._f6[_n]" (the
// device's fields and number), null leaves it unnamed.
struct EventSlot {
  NamedEvent* event;
  const wchar_t* kind;
};

// Creates every slot that holds no handle yet: manual reset, not signalled, NULL DACL; a named
// event keeps the state another process gave it, an unnamed one is reset. Stops at the first
// failure and returns its Win32 error as an HRESULT.
HRESULT CreateEventSlots(const DeviceObjectNames& names, const EventSlot* slots, std::size_t count);
template <std::size_t N>
HRESULT CreateEventSlots(const DeviceObjectNames& names, const EventSlot (&slots)[N]) {
  return CreateEventSlots(names, slots, N);
}

// The graph events whose first parameter is the error to keep: 3 (EC_ERRORABORT) and 6 to 8
// (EC_STREAM_ERROR_STOPPED, EC_STREAM_ERROR_STILLPLAYING, EC_ERROR_STILLPLAYING).
constexpr bool IsErrorEvent(long code) { return code == 3 || (code >= 6 && code <= 8); }

// Takes the graph's events without waiting until none is left: an error event stores its first
// parameter in `lastError` and sets `errorEvent`; every event's parameters are freed.
void DrainGraphEvents(IMediaEventEx* events, std::atomic<HRESULT>* lastError, HANDLE errorEvent);

// The audio-mode signal: unless the graph is stopped or an external input is selected, sets the
// input and output audio events; then resets the audio-mode event.
void OnAudioModeSignal(bool graphStopped, const NamedEvent& externalInput, const NamedEvent& inputAudio,
                       const NamedEvent& outputAudio, const NamedEvent& audioMode);

// The live preview's notify event of `type` out of `events` (0 the graph error, 1 and 2 the
// input and output audio): `nullOut` for a null out-pointer; for another type, null and `unknown`.
HRESULT PreviewNotifyEvent(int type, const HANDLE (&events)[3], HANDLE* event, HRESULT nullOut, HRESULT unknown);

// The watch loop: waits (no time-out) on `handles`, the first of which is the stop event, and
// hands the index of every other signalled handle to `onSignal`. Ends with S_OK on the stop
// event or an abandoned wait; a failed wait ends it with the failure (never a spin).
template <class F>
HRESULT WatchLoop(const HANDLE* handles, DWORD count, F&& onSignal) {
  for (;;) {
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0) return S_OK;
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) return S_OK;
    if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
      onSignal(result - WAIT_OBJECT_0);
      continue;
    }
    return HResultFromLastError();
  }
}

}  // namespace graph_watch

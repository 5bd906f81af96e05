#include "devices/core/graph_watch.h"

namespace graph_watch {

HRESULT CreateEventSlots(const DeviceObjectNames& names, const EventSlot* slots, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    NamedEvent& event = *slots[i].event;
    if (event.handle()) continue;
    const HRESULT hr = slots[i].kind ? event.Create(names.EventOfKind(slots[i].kind).c_str()) : event.Create(nullptr);
    if (FAILED(hr)) return hr;
    if (!slots[i].kind) event.Reset();
  }
  return S_OK;
}

void DrainGraphEvents(IMediaEventEx* events, std::atomic<HRESULT>* lastError, HANDLE errorEvent) {
  if (!events) return;
  long code = 0;
  LONG_PTR param1 = 0, param2 = 0;
  while (events->GetEvent(&code, &param1, &param2, 0) == S_OK) {
    if (IsErrorEvent(code)) {
      lastError->store(static_cast<HRESULT>(param1));
      if (errorEvent) SetEvent(errorEvent);
    }
    events->FreeEventParams(code, param1, param2);
  }
}

void OnAudioModeSignal(bool graphStopped, const NamedEvent& externalInput, const NamedEvent& inputAudio,
                       const NamedEvent& outputAudio, const NamedEvent& audioMode) {
  if (!graphStopped && !externalInput.IsSet()) {
    inputAudio.Set();
    outputAudio.Set();
  }
  audioMode.Reset();
}

HRESULT PreviewNotifyEvent(int type, const HANDLE (&events)[3], HANDLE* event, HRESULT nullOut, HRESULT unknown) {
  if (!event) return nullOut;
  if (type < 0 || type > 2) {
    *event = nullptr;
    return unknown;
  }
  *event = events[type];
  return S_OK;
}

}  // namespace graph_watch

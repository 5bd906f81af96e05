#include "devices/tuner2/tuner_graph.h"

#include "common/errors.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/worker_thread.h"
#include "devices/core/graph_watch.h"
#include "devices/tuner2/device_item.h"

namespace rul {

void TunerGraph::SetDeviceItem(IHalItem* item) { KeepDeviceItem(item, &item_, &tunerIndex_); }

void TunerGraph::Build(const wchar_t* devicePath) {
  if (IsReady()) return;
  if (!item_ || tunerIndex_ < 0) ThrowHr(errors::kNoDeviceItem);
  if (!devicePath) ThrowHr(E_INVALIDARG);
  const HRESULT hr = GuardHr(E_FAIL, [&] {
    const DeviceIdentity identity(devicePath);
    ThrowIfFailed(CreateGraph());
    BuildSteps(identity);
  });
  if (FAILED(hr)) {
    Teardown();
    ThrowHr(hr);
  }
}

HRESULT TunerGraph::GetLastError(DWORD* error) const {
  if (!error) return E_POINTER;
  *error = static_cast<DWORD>(lastError_.load());
  return S_OK;
}

std::wstring TunerGraph::FilterName(const wchar_t* format) const {
  return FormatW(format, static_cast<unsigned>(tunerIndex_) + 1);
}

bool TunerGraph::GraphStopped() {
  OAFilterState state = State_Stopped;
  return FAILED(GetState(&state, 0)) || state == State_Stopped;
}

void TunerGraph::StartWatch(HANDLE own) {
  ThrowIfFailed(graph_->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(events_.ReleaseAndGetAddressOf())));
  own_ = own;
  ThrowIfFailed(WorkerThread::Start(this, watchThread_, &TunerGraph::WatchEntry));
}

void TunerGraph::StopWatch() noexcept {
  if (watchThread_) WorkerThread::StopWorker(watchThread_, stop_.handle(), stopTimeoutMs_);
  events_.Reset();
  own_ = nullptr;
}

DWORD TunerGraph::WatchEntry(void* self) { return static_cast<TunerGraph*>(self)->Watch(); }

DWORD TunerGraph::Watch() {
  OAEVENT graphEvent = 0;
  if (FAILED(events_->GetEventHandle(&graphEvent))) return 0;
  const HANDLE handles[] = {stop_.handle(), reinterpret_cast<HANDLE>(graphEvent), own_};
  const HRESULT hr = graph_watch::WatchLoop(handles, own_ ? 3 : 2, [&](DWORD index) {
    if (index == 2) {
      OnOwnEvent();
    } else {
      graph_watch::DrainGraphEvents(events_.Get(), &lastError_, error_.handle());
    }
  });
  if (FAILED(hr)) {
    // A failed wait ends the watch; the host learns of it as a graph error.
    lastError_ = hr;
    error_.Set();
  }
  return 0;
}

}  // namespace rul

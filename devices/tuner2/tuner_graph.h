// The base of the second family's two graphs of one tuner (the recording graph and the preview
// graph): the device item and the tuner index it names, the build frame that undoes a failed
// build, the graph's numbered filter names, and the watch thread that waits on the stop event,
// an event of the graph's own and the graph's events, storing error events as the last graph
// error and setting the error event.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <string>

#include "common/device/device_identity.h"
#include "common/device/filter_graph_holder.h"
#include "common/handles.h"
#include "common/locks.h"
#include "common/timeouts.h"
#include "devices/idl/device_manager.h"

namespace rul {

class TunerGraph : public FilterGraphHolder {
 public:
  // Keeps a clone of the item and its tuner index (see KeepDeviceItem); throws.
  void SetDeviceItem(IHalItem* item);
  LONG tunerIndex() const noexcept { return tunerIndex_; }

  // Builds the graph for the device path: nothing when built; errors::kNoDeviceItem without an
  // item, E_INVALIDARG for a null path. A failing step is thrown after Teardown undid what was
  // built.
  void Build(const wchar_t* devicePath);
  virtual void Teardown() noexcept = 0;

  HRESULT GetLastError(DWORD* error) const;
  // The watch thread's stop wait (timeouts::kWorkerStop unless a test shortens it).
  void SetStopTimeout(DWORD ms) noexcept { stopTimeoutMs_ = ms; }

 protected:
  // The build after the graph was created.
  virtual void BuildSteps(const DeviceIdentity& identity) = 0;
  // The graph's own event signalled (StartWatch's `own`).
  virtual void OnOwnEvent() {}

  // "<format>" with the tuner index plus 1 ("DORU Capture %u").
  std::wstring FilterName(const wchar_t* format) const;
  bool GraphStopped();
  // Starts the watch thread on the stop event, `own` (null: none) and the graph's events.
  void StartWatch(HANDLE own);
  // Ends the watch thread and lets the graph's events go.
  void StopWatch() noexcept;

  Microsoft::WRL::ComPtr<IHalItem> item_;
  LONG tunerIndex_ = -1;
  std::atomic<HRESULT> lastError_{S_OK};
  NamedEvent stop_;   // ends the watch thread
  NamedEvent error_;  // set on a graph error

 private:
  static DWORD WatchEntry(void* self);
  DWORD Watch();

  Microsoft::WRL::ComPtr<IMediaEventEx> events_;  // the watch thread's
  HANDLE own_ = nullptr;
  UniqueHandle watchThread_;
  DWORD stopTimeoutMs_ = timeouts::kWorkerStop;
};

}  // namespace rul

// The base of every graph object of the device managers: the filter graph, its media control,
// a connected flag and a ready flag, table-driven creation of the graph's filters, and state
// changes that skip what is already done (through graph_state, common/device/graph_state.h).
//
// A derived graph object overrides the virtual operations in this order of slots: QueryControl
// with its build (calling the base QueryControl last), Release with its teardown (calling the
// base Release last), SetFlag and ClearFlag with its connect and disconnect (ending with the
// base SetFlag and ClearFlag). Keep the order of the virtual declarations.
//
// Not locked: the owner serialises its calls (the device lock). COM must be initialised on
// the calling thread.
#pragma once

#include <cstddef>

#include "common/dshow.h"

class DeviceIdentity;

// One device filter to bind and add (an array owned by the caller).
struct DeviceFilterEntry {
  const GUID* category;            // the device category
  const DeviceIdentity* identity;  // the device to bind, or null for the first of that name
  wchar_t name[256];               // friendly name to look for, and the filter's name in the graph
  IBaseFilter** out;               // receives the filter; an entry already filled is skipped
};

// One filter to create and add.
struct FilterEntry {
  const CLSID* clsid;
  wchar_t name[256];          // the filter's name in the graph
  IBaseFilter** out;          // receives the filter; an entry already filled is skipped
  HMODULE module;             // a module whose directory holds the filter's file, or null
  const wchar_t* moduleFile;  // the file in that directory, or null to search the directory
};

// One interface to query.
struct InterfaceQuery {
  IUnknown* object;
  const IID* iid;
  void** out;  // receives the interface; an entry already filled is skipped
};

namespace ComHelpers {
// Releases each non-null interface that the array points to and sets it to null. S_OK.
HRESULT ReleaseAll(IUnknown** const* pointers, int count);
}  // namespace ComHelpers

class FilterGraphHolder {
 public:
  FilterGraphHolder() = default;
  FilterGraphHolder(const FilterGraphHolder&) = delete;
  FilterGraphHolder& operator=(const FilterGraphHolder&) = delete;

  // --- virtual operations, in slot order ---
  virtual ~FilterGraphHolder();
  // Takes IMediaControl from the graph and sets the ready flag. E_POINTER without a graph.
  virtual HRESULT QueryControl();
  // Revokes a running-object-table entry when one was registered, releases the media control
  // and the graph, clears the ready flag. S_OK.
  virtual HRESULT Release();
  virtual HRESULT SetFlag();
  virtual HRESULT ClearFlag();
  // The state change unless the graph is in that state already (then S_OK without a call):
  // graph_state::Change. E_POINTER without a media control; a failure to read the state is
  // returned (Stop stops the graph and every filter all the same). Pause waits for a graph
  // that answers S_FALSE (graph_state::WaitFor), S_OK once paused or when the polls ran out.
  // A failed step brings every filter back to stopped and returns its code; Stop of a graph
  // that reads stopped still stops a filter that reads otherwise.
  virtual HRESULT Run();
  virtual HRESULT Pause();
  virtual HRESULT Stop();

  // Creates the filter graph (in process) unless one exists. E_OUTOFMEMORY for a null result.
  HRESULT CreateGraph();

  // For each entry not filled yet: binds the device (DeviceEnum::BindFilter, flags 0) and adds
  // it to the graph under its name; the entry is filled only once the filter is in the graph,
  // so a table can be applied again after a failure. E_POINTER without a graph or for a missing
  // out pointer, E_INVALIDARG for a missing category or a name without its terminator,
  // VFW_E_NOT_FOUND when no device matched or the device could not be bound; the first
  // failure ends the walk. S_OK for count < 1.
  HRESULT AddDeviceFilters(DeviceFilterEntry* entries, int count);

  // For each entry not filled yet: creates the filter (from `moduleFile` in the directory of
  // `module`; from any filter file of that directory when only the module is given; else by
  // CoCreateInstance in process) as IBaseFilter without an outer object and adds it under its
  // name; filled only once in the graph. E_POINTER without a graph or for a missing out or
  // class pointer, E_INVALIDARG for a name without its terminator, E_OUTOFMEMORY for a null
  // filter; the first failure ends the walk. S_OK for count < 1.
  HRESULT AddFilters(FilterEntry* entries, int count);

  // For each query not filled yet: QueryInterface. E_POINTER without a graph or for a missing
  // object, interface or out pointer; E_OUTOFMEMORY for a null result; the first failure ends
  // the walk.
  HRESULT QueryInterfaces(InterfaceQuery* queries, int count);

  // Removes each non-null filter from the graph, ignoring the results. Always S_OK.
  HRESULT RemoveFilters(IBaseFilter* const* filters, int count);

  static HRESULT ReleaseAll(IUnknown** const* pointers, int count) {
    return ComHelpers::ReleaseAll(pointers, count);
  }

  // graph_state::Read: *state is 0 (stopped) first, then IMediaControl::GetState.
  // VFW_S_STATE_INTERMEDIATE (a change still under way) gives S_OK; other results,
  // VFW_S_CANT_CUE among them, are returned as they came (test with SUCCEEDED). E_POINTER for
  // a null out or no media control.
  HRESULT GetState(OAFilterState* state, LONG timeoutMs);

  BOOL IsReady() const noexcept { return ready_; }
  LONG GetFlag() const noexcept { return flag_; }
  IGraphBuilder* graph() const noexcept { return graph_; }
  IMediaControl* control() const noexcept { return control_; }

 protected:
  // A running-object-table entry that a derived object registered for the graph: Release
  // revokes it.
  void AdoptRunningObjectCookie(DWORD cookie) noexcept {
    rotCookie_ = cookie;
    rotRegistered_ = true;
  }

  IGraphBuilder* graph_ = nullptr;    // owned reference, null until created
  IMediaControl* control_ = nullptr;  // owned reference, null until queried
  LONG flag_ = 0;                     // the connected flag; its meaning is the owner's
  BOOL ready_ = FALSE;                // set while the media control is held

 private:
  void ReleaseGraph() noexcept;

  DWORD rotCookie_ = 0;
  bool rotRegistered_ = false;
};

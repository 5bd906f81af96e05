// A stand-in for the filter graph manager: holds filters, joins them to itself, connects pins
// directly and records every event a filter sends through IMediaEventSink.
#pragma once

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/dshow.h"
#include "filters/base/lock.h"
#include "filters/base/unknown.h"

namespace graph_testkit {

struct GraphEvent {
  long code;
  LONG_PTR param1;
  LONG_PTR param2;
};

class StubGraph : public CUnknown, public IFilterGraph, public IMediaEventSink {
 public:
  static StubGraph* Create();  // one reference for the caller
  ~StubGraph() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // IFilterGraph
  STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
  STDMETHODIMP RemoveFilter(IBaseFilter* filter) override;
  STDMETHODIMP EnumFilters(IEnumFilters** filters) override;
  STDMETHODIMP FindFilterByName(LPCWSTR name, IBaseFilter** filter) override;
  STDMETHODIMP ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Reconnect(IPin* pin) override;
  STDMETHODIMP Disconnect(IPin* pin) override;
  STDMETHODIMP SetDefaultSyncSource() override;

  // IMediaEventSink
  STDMETHODIMP Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override;

  std::vector<GraphEvent> Events() const;
  // Waits (bounded) for an event of this code; true when one was recorded.
  bool WaitForEvent(long code, DWORD timeoutMs) const;

 private:
  StubGraph();

  struct Entry {
    IBaseFilter* filter;  // referenced: the graph holds its filters
    std::wstring name;
  };
  mutable CCritSec lock_;
  std::vector<Entry> filters_;
  std::vector<GraphEvent> events_;
  UniqueHandle eventSignal_;  // auto-reset: an event arrived
};

}  // namespace graph_testkit

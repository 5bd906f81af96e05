#include "filters/base/testkit/stub_graph.h"

#include <algorithm>

namespace graph_testkit {

StubGraph::StubGraph() : CUnknown(L"Stub graph", nullptr), eventSignal_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

StubGraph::~StubGraph() {
  for (Entry& entry : filters_) {
    entry.filter->JoinFilterGraph(nullptr, nullptr);
    entry.filter->Release();
  }
}

StubGraph* StubGraph::Create() {
  auto* graph = new StubGraph;
  graph->NonDelegatingAddRef();
  return graph;
}

STDMETHODIMP StubGraph::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IFilterGraph) return GetInterface(static_cast<IFilterGraph*>(this), out);
  if (iid == IID_IMediaEventSink) return GetInterface(static_cast<IMediaEventSink*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP StubGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
  if (!filter) return E_POINTER;
  {
    CAutoLock lock(&lock_);
    filters_.push_back({filter, name ? name : L""});
    filter->AddRef();
  }
  return filter->JoinFilterGraph(this, name);
}

STDMETHODIMP StubGraph::RemoveFilter(IBaseFilter* filter) {
  if (!filter) return E_POINTER;
  IBaseFilter* found = nullptr;
  {
    CAutoLock lock(&lock_);
    const auto it = std::find_if(filters_.begin(), filters_.end(), [&](const Entry& e) { return e.filter == filter; });
    if (it == filters_.end()) return VFW_E_NOT_FOUND;
    found = it->filter;
    filters_.erase(it);
  }
  found->JoinFilterGraph(nullptr, nullptr);
  found->Release();
  return S_OK;
}

STDMETHODIMP StubGraph::EnumFilters(IEnumFilters** filters) {
  if (filters) *filters = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP StubGraph::FindFilterByName(LPCWSTR name, IBaseFilter** filter) {
  if (!name || !filter) return E_POINTER;
  *filter = nullptr;
  CAutoLock lock(&lock_);
  for (const Entry& entry : filters_) {
    if (entry.name == name) {
      *filter = entry.filter;
      entry.filter->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP StubGraph::ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) {
  if (!out || !in) return E_POINTER;
  return out->Connect(in, type);
}

STDMETHODIMP StubGraph::Reconnect(IPin*) { return E_NOTIMPL; }

STDMETHODIMP StubGraph::Disconnect(IPin* pin) {
  if (!pin) return E_POINTER;
  return pin->Disconnect();
}

STDMETHODIMP StubGraph::SetDefaultSyncSource() { return E_NOTIMPL; }

STDMETHODIMP StubGraph::Notify(LONG code, LONG_PTR param1, LONG_PTR param2) {
  {
    CAutoLock lock(&lock_);
    events_.push_back({code, param1, param2});
  }
  SetEvent(eventSignal_.get());
  return S_OK;
}

std::vector<GraphEvent> StubGraph::Events() const {
  CAutoLock lock(&lock_);
  return events_;
}

bool StubGraph::WaitForEvent(long code, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    {
      CAutoLock lock(&lock_);
      for (const GraphEvent& e : events_) {
        if (e.code == code) return true;
      }
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return false;
    WaitForSingleObject(eventSignal_.get(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)));
  }
}

}  // namespace graph_testkit

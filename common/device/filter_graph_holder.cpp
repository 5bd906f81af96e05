#include "common/device/filter_graph_holder.h"

#include <wrl/client.h>

#include <cwchar>

#include "common/device/device_enum.h"
#include "common/device/filter_loader.h"
#include "common/device/graph_state.h"

using Microsoft::WRL::ComPtr;

namespace {

// A table name is a fixed 256-character field: it must hold its terminator.
template <size_t N>
bool Terminated(const wchar_t (&name)[N]) {
  return wcsnlen(name, N) < N;
}

}  // namespace

namespace ComHelpers {

HRESULT ReleaseAll(IUnknown** const* pointers, int count) {
  if (!pointers) return S_OK;
  for (int i = 0; i < count; ++i) {
    IUnknown** slot = pointers[i];
    if (!slot || !*slot) continue;
    IUnknown* object = *slot;
    *slot = nullptr;
    object->Release();
  }
  return S_OK;
}

}  // namespace ComHelpers

FilterGraphHolder::~FilterGraphHolder() { ReleaseGraph(); }

HRESULT FilterGraphHolder::QueryControl() {
  if (!graph_) return E_POINTER;
  InterfaceQuery query{graph_, &IID_IMediaControl, reinterpret_cast<void**>(&control_)};
  const HRESULT hr = QueryInterfaces(&query, 1);
  if (SUCCEEDED(hr)) ready_ = TRUE;
  return hr;
}

HRESULT FilterGraphHolder::Release() {
  ReleaseGraph();
  return S_OK;
}

HRESULT FilterGraphHolder::SetFlag() {
  flag_ = 1;
  return S_OK;
}

HRESULT FilterGraphHolder::ClearFlag() {
  flag_ = 0;
  return S_OK;
}

HRESULT FilterGraphHolder::Run() { return graph_state::Change(control_, State_Running); }
HRESULT FilterGraphHolder::Pause() { return graph_state::Change(control_, State_Paused); }
HRESULT FilterGraphHolder::Stop() { return graph_state::Change(control_, State_Stopped); }

HRESULT FilterGraphHolder::CreateGraph() {
  if (graph_) return S_OK;
  IGraphBuilder* graph = nullptr;
  const HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      reinterpret_cast<void**>(&graph));
  if (FAILED(hr)) return hr;
  if (!graph) return E_OUTOFMEMORY;
  graph_ = graph;
  return S_OK;
}

HRESULT FilterGraphHolder::AddDeviceFilters(DeviceFilterEntry* entries, int count) {
  if (!graph_) return E_POINTER;
  if (count < 1) return S_OK;
  if (!entries) return E_POINTER;
  for (int i = 0; i < count; ++i) {
    DeviceFilterEntry& entry = entries[i];
    if (!entry.out) return E_POINTER;
    if (*entry.out) continue;
    if (!entry.category || !Terminated(entry.name)) return E_INVALIDARG;
    ComPtr<IBaseFilter> filter;
    HRESULT hr = DeviceEnum::BindFilter(filter.GetAddressOf(), entry.identity, *entry.category, entry.name, 0);
    if (FAILED(hr)) return hr;
    // No such device, or it would not bind: there is no filter to add.
    if (hr == S_FALSE || !filter) return VFW_E_NOT_FOUND;
    hr = graph_->AddFilter(filter.Get(), entry.name);
    if (FAILED(hr)) return hr;
    *entry.out = filter.Detach();
  }
  return S_OK;
}

HRESULT FilterGraphHolder::AddFilters(FilterEntry* entries, int count) {
  if (!graph_) return E_POINTER;
  if (count < 1) return S_OK;
  if (!entries) return E_POINTER;
  for (int i = 0; i < count; ++i) {
    FilterEntry& entry = entries[i];
    if (!entry.out) return E_POINTER;
    if (*entry.out) continue;
    if (!entry.clsid) return E_POINTER;
    if (!Terminated(entry.name)) return E_INVALIDARG;
    ComPtr<IBaseFilter> filter;
    void** put = reinterpret_cast<void**>(filter.GetAddressOf());
    HRESULT hr;
    if (entry.module && entry.moduleFile && *entry.moduleFile) {
      hr = FilterLoader::CreateFromNamedModule(entry.module, entry.moduleFile, *entry.clsid, nullptr,
                                               CLSCTX_INPROC_SERVER, IID_IBaseFilter, put);
    } else if (entry.module) {
      hr = FilterLoader::CreateFromModuleDirectory(entry.module, *entry.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                   IID_IBaseFilter, put);
    } else {
      hr = CoCreateInstance(*entry.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, put);
    }
    if (FAILED(hr)) return hr;
    if (!filter) return E_OUTOFMEMORY;
    hr = graph_->AddFilter(filter.Get(), entry.name);
    if (FAILED(hr)) return hr;
    *entry.out = filter.Detach();
  }
  return S_OK;
}

HRESULT FilterGraphHolder::QueryInterfaces(InterfaceQuery* queries, int count) {
  if (!graph_) return E_POINTER;
  if (count < 1) return S_OK;
  if (!queries) return E_POINTER;
  for (int i = 0; i < count; ++i) {
    InterfaceQuery& query = queries[i];
    if (!query.out) return E_POINTER;
    if (*query.out) continue;
    if (!query.object || !query.iid) return E_POINTER;
    const HRESULT hr = query.object->QueryInterface(*query.iid, query.out);
    if (FAILED(hr)) {
      *query.out = nullptr;
      return hr;
    }
    if (!*query.out) return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT FilterGraphHolder::RemoveFilters(IBaseFilter* const* filters, int count) {
  if (!graph_ || !filters) return S_OK;
  for (int i = 0; i < count; ++i) {
    if (filters[i]) graph_->RemoveFilter(filters[i]);
  }
  return S_OK;
}

HRESULT FilterGraphHolder::GetState(OAFilterState* state, LONG timeoutMs) {
  return graph_state::Read(control_, timeoutMs, state);
}

void FilterGraphHolder::ReleaseGraph() noexcept {
  if (rotRegistered_) {
    IRunningObjectTable* table = nullptr;
    if (SUCCEEDED(GetRunningObjectTable(0, &table)) && table) {
      table->Revoke(rotCookie_);
      table->Release();
    }
    rotRegistered_ = false;
    rotCookie_ = 0;
  }
  IUnknown** owned[] = {reinterpret_cast<IUnknown**>(&control_), reinterpret_cast<IUnknown**>(&graph_)};
  ComHelpers::ReleaseAll(owned, 2);
  ready_ = FALSE;
}

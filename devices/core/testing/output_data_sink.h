// Test support of the output-data graphs: the host's callback of a test and the connection
// reader of a graph's pins.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <atomic>
#include <string>

#include <wrl/client.h>

#include "common/handles.h"
#include "devices/idl/device_manager.h"

namespace output_testing {

using Microsoft::WRL::ComPtr;

// The host's callback: counts the bytes of each type, keeps the subtype last seen and signals
// once every wanted type has delivered.
class Sink final : public IOutputDataCB {
 public:
  static constexpr DWORD kWaitMs = 5000;
  explicit Sink(unsigned wanted) : wanted_(wanted), all_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IOutputDataCB) {
      *out = static_cast<IOutputDataCB*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }  // lives on the test's stack
  STDMETHODIMP OnData(ULONG type, ULONG subtype, ULONG, ULONG, ULONG size, BYTE* data) override {
    if (type < 1 || type > 3 || !data || size == 0) {
      bad_ = true;
      return S_OK;
    }
    bytes_[type - 1] += size;
    subtype_[type - 1] = subtype;
    seen_ |= 1u << type;
    if ((seen_ & wanted_) == wanted_) SetEvent(all_.get());
    return S_OK;
  }
  bool WaitAll() { return WaitForSingleObject(all_.get(), kWaitMs) == WAIT_OBJECT_0; }

  const unsigned wanted_;  // bit n: type n
  std::atomic<unsigned> seen_{0};
  std::atomic<ULONG> bytes_[3] = {0, 0, 0};
  std::atomic<ULONG> subtype_[3] = {0, 0, 0};
  std::atomic<bool> bad_{false};
  std::atomic<ULONG> refs_{0};
  UniqueHandle all_;
};

// The name of the pin `pin` is connected to, and of its filter ("" when unconnected).
inline std::wstring PeerOf(IGraphBuilder* graph, const wchar_t* filterName, const wchar_t* pinName) {
  ComPtr<IBaseFilter> filter;
  ComPtr<IPin> pin, peer;
  if (FAILED(graph->FindFilterByName(filterName, &filter)) || FAILED(filter->FindPin(pinName, &pin)) ||
      FAILED(pin->ConnectedTo(&peer)))
    return L"";
  PIN_INFO info{};
  peer->QueryPinInfo(&info);
  FILTER_INFO filterInfo{};
  if (info.pFilter) {
    info.pFilter->QueryFilterInfo(&filterInfo);
    if (filterInfo.pGraph) filterInfo.pGraph->Release();
    info.pFilter->Release();
  }
  return std::wstring(filterInfo.achName) + L"/" + info.achName;
}

}  // namespace output_testing

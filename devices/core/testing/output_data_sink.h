// Test support for the output-data graphs of every family: a host callback that counts what
// OnData delivers, and the peer of a pin in a graph.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "devices/core/output_session.h"
#include "devices/idl/device_manager.h"

namespace output_testing {

using Microsoft::WRL::ComPtr;

// Output-type bits of a selection: bit n is type n (1 MPEG, 2 PCM, 3 INDEX).
constexpr unsigned kMpeg = 1u << 1, kPcm = 1u << 2, kIndex = 1u << 3;
constexpr DWORD kDataWaitMs = 5000;

// The host's callback: counts the bytes of each type, keeps the subtype last seen and signals
// once every wanted type has delivered.
class Sink final : public IOutputDataCB {
 public:
  explicit Sink(unsigned wanted) : wanted_(wanted), all_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    return output_data::QueryOutputDataCallback(this, iid, out);
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
  bool WaitAll(DWORD ms = kDataWaitMs) { return WaitForSingleObject(all_.get(), ms) == WAIT_OBJECT_0; }

  const unsigned wanted_;  // bit n: type n
  std::atomic<unsigned> seen_{0};
  std::atomic<ULONG> bytes_[3] = {0, 0, 0};
  std::atomic<ULONG> subtype_[3] = {0, 0, 0};
  std::atomic<bool> bad_{false};
  std::atomic<ULONG> refs_{0};
  UniqueHandle all_;
};

// Sinks that outlive the objects holding them: a fixture declares its Sinks before the object
// under test, so that a callback double never calls a sink that is gone (a test that ends early
// included).
class Sinks {
 public:
  Sink& Make(unsigned wanted) {
    list_.push_back(std::make_unique<Sink>(wanted));
    return *list_.back();
  }
  const std::vector<std::unique_ptr<Sink>>& all() const { return list_; }

 private:
  std::vector<std::unique_ptr<Sink>> list_;
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

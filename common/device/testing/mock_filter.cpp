#include "common/device/testing/mock_filter.h"

#include <oleauto.h>

#include <cwchar>

namespace device_testing {

namespace {

std::atomic<long> g_liveFilters{0};

void CopyName(wchar_t* target, size_t capacity, const std::wstring& text) {
  wcsncpy(target, text.c_str(), capacity - 1);
  target[capacity - 1] = L'\0';
}

}  // namespace

long LiveMockFilters() { return g_liveFilters; }

// A pin of a MockFilter. Its references are the filter's; the filter owns it. A connection
// holds a reference to the peer pin (and so to the peer filter) until Disconnect.
class MockPin final : public IPin {
 public:
  MockPin(MockFilter* filter, PIN_DIRECTION direction, std::wstring name)
      : filter_(filter), direction_(direction), name_(std::move(name)) {}
  ~MockPin() {
    if (peer_) peer_->Release();
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IPin) return E_NOINTERFACE;
    *out = static_cast<IPin*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return filter_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return filter_->Release(); }

  STDMETHODIMP Connect(IPin* receiver, const AM_MEDIA_TYPE*) override {
    if (!receiver) return E_POINTER;
    if (direction_ != PINDIR_OUTPUT) return E_UNEXPECTED;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (peer_) return VFW_E_ALREADY_CONNECTED;
    }
    AM_MEDIA_TYPE type{};
    type.majortype = MEDIATYPE_Video;
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = 1;
    const HRESULT hr = receiver->ReceiveConnection(this, &type);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> hold(lock_);
    peer_ = receiver;
    peer_->AddRef();
    return S_OK;
  }
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override {
    if (!connector || !type) return E_POINTER;
    if (direction_ != PINDIR_INPUT) return E_UNEXPECTED;
    std::lock_guard<std::mutex> hold(lock_);
    if (peer_) return VFW_E_ALREADY_CONNECTED;
    peer_ = connector;
    peer_->AddRef();
    return S_OK;
  }
  STDMETHODIMP Disconnect() override {
    IPin* peer = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      peer = peer_;
      peer_ = nullptr;
    }
    if (!peer) return S_FALSE;
    peer->Release();
    return S_OK;
  }
  STDMETHODIMP ConnectedTo(IPin** pin) override {
    if (!pin) return E_POINTER;
    std::lock_guard<std::mutex> hold(lock_);
    *pin = peer_;
    if (!peer_) return VFW_E_NOT_CONNECTED;
    peer_->AddRef();
    return S_OK;
  }
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override {
    if (!type) return E_POINTER;
    *type = AM_MEDIA_TYPE{};
    std::lock_guard<std::mutex> hold(lock_);
    if (!peer_) return VFW_E_NOT_CONNECTED;
    type->majortype = MEDIATYPE_Video;
    return S_OK;
  }
  STDMETHODIMP QueryPinInfo(PIN_INFO* info) override {
    if (!info) return E_POINTER;
    info->pFilter = filter_;
    filter_->AddRef();
    info->dir = direction_;
    CopyName(info->achName, MAX_PIN_NAME, name_);
    return S_OK;
  }
  STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override {
    if (!direction) return E_POINTER;
    *direction = direction_;
    return S_OK;
  }
  STDMETHODIMP QueryId(LPWSTR* id) override {
    if (!id) return E_POINTER;
    const size_t bytes = (name_.size() + 1) * sizeof(wchar_t);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*id) return E_OUTOFMEMORY;
    memcpy(*id, name_.c_str(), bytes);
    return S_OK;
  }
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
  STDMETHODIMP QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
  STDMETHODIMP EndOfStream() override { return S_OK; }
  STDMETHODIMP BeginFlush() override { return S_OK; }
  STDMETHODIMP EndFlush() override { return S_OK; }
  STDMETHODIMP NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

  const std::wstring& name() const { return name_; }

 private:
  MockFilter* filter_;  // no reference: the filter owns this pin
  PIN_DIRECTION direction_;
  std::wstring name_;
  std::mutex lock_;
  IPin* peer_ = nullptr;  // guarded by lock_; owned reference
};

namespace {

// Enumerates a filter's pins; holds the filter.
class PinEnumerator final : public IEnumPins {
 public:
  PinEnumerator(MockFilter* filter, size_t position) : filter_(filter), position_(position) {
    filter_->AddRef();
  }
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IEnumPins) return E_NOINTERFACE;
    *out = static_cast<IEnumPins*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const long left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override {
    if (!pins || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < filter_->pinCount()) {
      pins[n] = filter_->pin(position_++);
      pins[n]->AddRef();
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    position_ += count;
    return position_ <= filter_->pinCount() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumPins** out) override {
    if (!out) return E_POINTER;
    *out = new PinEnumerator(filter_, position_);
    return S_OK;
  }

 private:
  ~PinEnumerator() { filter_->Release(); }
  MockFilter* filter_;
  size_t position_;
  std::atomic<long> refs_{1};
};

// Enumerates a snapshot of a graph's filters; holds each of them.
class FilterEnumerator final : public IEnumFilters {
 public:
  FilterEnumerator(const std::vector<IBaseFilter*>& filters, size_t position)
      : filters_(filters), position_(position) {
    for (IBaseFilter* filter : filters_) filter->AddRef();
  }
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IEnumFilters) return E_NOINTERFACE;
    *out = static_cast<IEnumFilters*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const long left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP Next(ULONG count, IBaseFilter** filters, ULONG* fetched) override {
    if (!filters || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    while (n < count && position_ < filters_.size()) {
      filters[n] = filters_[position_++];
      filters[n]->AddRef();
      ++n;
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    position_ += count;
    return position_ <= filters_.size() ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    position_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumFilters** out) override {
    if (!out) return E_POINTER;
    *out = new FilterEnumerator(filters_, position_);
    return S_OK;
  }

 private:
  ~FilterEnumerator() {
    for (IBaseFilter* filter : filters_) filter->Release();
  }
  std::vector<IBaseFilter*> filters_;  // owned references
  size_t position_;
  std::atomic<long> refs_{1};
};

}  // namespace

MockFilter::MockFilter(const MockFilterPlan& plan) : plan_(plan), intermediateLeft_(plan.intermediateStates) {
  ++g_liveFilters;
  for (const auto& name : plan_.inputs) pins_.push_back(std::make_unique<MockPin>(this, PINDIR_INPUT, name));
  for (const auto& name : plan_.outputs) pins_.push_back(std::make_unique<MockPin>(this, PINDIR_OUTPUT, name));
}

MockFilter::~MockFilter() {
  pins_.clear();
  if (clock_) clock_->Release();
  --g_liveFilters;
}

STDMETHODIMP MockFilter::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IMediaFilter || iid == IID_IBaseFilter) {
    *out = static_cast<IBaseFilter*>(this);
  } else if (iid == IID_IPersistPropertyBag) {
    *out = static_cast<IPersistPropertyBag*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) MockFilter::AddRef() { return ++refs_; }

STDMETHODIMP_(ULONG) MockFilter::Release() {
  const long left = --refs_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP MockFilter::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = plan_.clsid;
  return S_OK;
}

STDMETHODIMP MockFilter::Stop() {
  ++stopCalls;
  std::lock_guard<std::mutex> hold(lock_);
  state_ = State_Stopped;
  return S_OK;
}

STDMETHODIMP MockFilter::Pause() {
  ++pauseCalls;
  if (FAILED(plan_.pauseResult)) return plan_.pauseResult;
  std::lock_guard<std::mutex> hold(lock_);
  state_ = State_Paused;
  return plan_.pauseResult;
}

STDMETHODIMP MockFilter::Run(REFERENCE_TIME) {
  ++runCalls;
  if (FAILED(plan_.runResult)) return plan_.runResult;
  std::lock_guard<std::mutex> hold(lock_);
  state_ = State_Running;
  return S_OK;
}

STDMETHODIMP MockFilter::GetState(DWORD, FILTER_STATE* state) {
  ++getStateCalls;
  if (!state) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  *state = state_;
  if (intermediateLeft_ > 0) {
    --intermediateLeft_;
    return VFW_S_STATE_INTERMEDIATE;
  }
  if (state_ == State_Paused && plan_.cantCueWhenPaused) return VFW_S_CANT_CUE;
  return S_OK;
}

STDMETHODIMP MockFilter::SetSyncSource(IReferenceClock* clock) {
  std::lock_guard<std::mutex> hold(lock_);
  if (clock) clock->AddRef();
  if (clock_) clock_->Release();
  clock_ = clock;
  return S_OK;
}

STDMETHODIMP MockFilter::GetSyncSource(IReferenceClock** clock) {
  if (!clock) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  *clock = clock_;
  if (clock_) clock_->AddRef();
  return S_OK;
}

STDMETHODIMP MockFilter::EnumPins(IEnumPins** pins) {
  if (!pins) return E_POINTER;
  *pins = nullptr;
  if (FAILED(plan_.enumPinsResult)) return plan_.enumPinsResult;
  *pins = new PinEnumerator(this, 0);
  return S_OK;
}

STDMETHODIMP MockFilter::FindPin(LPCWSTR id, IPin** pin) {
  if (!id || !pin) return E_POINTER;
  *pin = nullptr;
  for (const auto& p : pins_) {
    if (p->name() == id) {
      *pin = p.get();
      p->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP MockFilter::QueryFilterInfo(FILTER_INFO* info) {
  if (!info) return E_POINTER;
  std::lock_guard<std::mutex> hold(lock_);
  CopyName(info->achName, MAX_FILTER_NAME, name_);
  info->pGraph = graph_;
  if (graph_) graph_->AddRef();
  return S_OK;
}

STDMETHODIMP MockFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  std::lock_guard<std::mutex> hold(lock_);
  graph_ = graph;
  name_ = name ? name : L"";
  return S_OK;
}

STDMETHODIMP MockFilter::QueryVendorInfo(LPWSTR* info) {
  if (info) *info = nullptr;
  return E_NOTIMPL;
}

STDMETHODIMP MockFilter::Load(IPropertyBag* bag, IErrorLog* log) {
  if (!bag) return E_POINTER;
  VARIANT value;
  VariantInit(&value);
  V_VT(&value) = VT_BSTR;
  if (SUCCEEDED(bag->Read(L"DevicePath", &value, log)) && V_VT(&value) == VT_BSTR && V_BSTR(&value)) {
    std::lock_guard<std::mutex> hold(lock_);
    devicePath_ = V_BSTR(&value);
  }
  VariantClear(&value);
  return S_OK;
}

std::wstring MockFilter::devicePath() const {
  std::lock_guard<std::mutex> hold(lock_);
  return devicePath_;
}

std::wstring MockFilter::graphName() const {
  std::lock_guard<std::mutex> hold(lock_);
  return name_;
}

IPin* MockFilter::pin(size_t i) const { return i < pins_.size() ? pins_[i].get() : nullptr; }

STDMETHODIMP MockFilterFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) MockFilterFactory::Release() {
  const long left = --refs_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP MockFilterFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (FAILED(createResult)) return createResult;
  auto* filter = new MockFilter(plan_);
  const HRESULT hr = filter->QueryInterface(iid, out);
  filter->Release();
  if (SUCCEEDED(hr)) ++created;
  return hr;
}

ClassRegistration::ClassRegistration(REFCLSID clsid, IClassFactory* factory) {
  hr_ = CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
}

ClassRegistration::~ClassRegistration() {
  if (SUCCEEDED(hr_)) CoRevokeClassObject(cookie_);
}

MockGraph::~MockGraph() {
  for (IBaseFilter* filter : added_) {
    filter->JoinFilterGraph(nullptr, nullptr);
    filter->Release();
  }
}

STDMETHODIMP MockGraph::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IFilterGraph || iid == IID_IGraphBuilder) {
    *out = static_cast<IGraphBuilder*>(this);
  } else if (iid == IID_IMediaControl || iid == IID_IDispatch) {
    *out = static_cast<IMediaControl*>(this);
  } else if (iid == IID_IMediaEventEx || iid == IID_IMediaEvent) {
    *out = static_cast<IMediaEventEx*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) MockGraph::Release() {
  const long left = --refs_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP MockGraph::AddFilter(IBaseFilter* filter, LPCWSTR name) {
  ++addCalls;
  if (!filter) {
    ++nullAdds;
    return E_POINTER;
  }
  if (FAILED(addResult)) return addResult;
  filter->AddRef();
  added_.push_back(filter);
  return filter->JoinFilterGraph(this, name);
}

STDMETHODIMP MockGraph::RemoveFilter(IBaseFilter* filter) {
  ++removeCalls;
  for (auto it = added_.begin(); it != added_.end(); ++it) {
    if (*it != filter) continue;
    added_.erase(it);
    filter->JoinFilterGraph(nullptr, nullptr);
    filter->Release();
    return S_OK;
  }
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP MockGraph::EnumFilters(IEnumFilters** filters) {
  if (!filters) return E_POINTER;
  *filters = new FilterEnumerator(added_, 0);
  return S_OK;
}

HRESULT MockGraph::PauseFilters() {
  for (IBaseFilter* filter : added_) {
    FILTER_STATE now = State_Stopped;
    filter->GetState(0, &now);
    if (now == State_Paused) continue;
    const HRESULT hr = filter->Pause();
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

STDMETHODIMP MockGraph::Run() {
  ++runCalls;
  HRESULT hr = PauseFilters();
  if (FAILED(hr)) return hr;
  if (FAILED(runResult)) return runResult;
  for (IBaseFilter* filter : added_) {
    if (FAILED(hr = filter->Run(0))) return hr;
  }
  state = State_Running;
  return S_OK;
}

STDMETHODIMP MockGraph::Pause() {
  ++pauseCalls;
  const HRESULT hr = PauseFilters();
  if (FAILED(hr)) return hr;
  if (pauseResult != S_FALSE && SUCCEEDED(pauseResult)) state = State_Paused;
  return pauseResult;
}

STDMETHODIMP MockGraph::Stop() {
  ++stopCalls;
  if (FAILED(stopResult)) return stopResult;
  if (state == State_Stopped) return S_OK;
  for (IBaseFilter* filter : added_) filter->Stop();
  state = State_Stopped;
  return S_OK;
}

STDMETHODIMP MockGraph::GetState(LONG timeoutMs, OAFilterState* out) {
  ++getStateCalls;
  getStateTimeouts.push_back(timeoutMs);
  if (!out) return E_POINTER;
  if (!script.empty()) {
    const StateAnswer answer = script.front();
    script.pop_front();
    *out = answer.state;
    return answer.hr;
  }
  *out = state;
  return stateResult;
}

STDMETHODIMP ObjectFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *out = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) ObjectFactory::Release() {
  const long left = --refs_;
  if (left == 0) delete this;
  return left;
}

STDMETHODIMP ObjectFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return object_->QueryInterface(iid, out);
}

}  // namespace device_testing

// Test doubles for the graph tests of the device library:
//  - MockFilter: an IBaseFilter with named input and output pins that connect to each other,
//    state calls that are counted and can answer like a live source (Pause S_FALSE, GetState
//    VFW_S_STATE_INTERMEDIATE for a while, VFW_S_CANT_CUE), and IPersistPropertyBag so that a
//    filter bound by the device enumerator learns its "DevicePath";
//  - MockFilterFactory + ClassRegistration: a class object for CoCreateInstance and the device
//    enumerator, registered in this process only (CoRegisterClassObject);
//  - MockGraph: an IGraphBuilder + IMediaControl whose state answers are scripted and whose
//    calls are counted, for what the real graph would hide. Its state changes drive the filters
//    added to it as the platform's graph manager does: in the order they were added, the first
//    refusal ends the change with the graph's state as it was and the filters before it changed
//    (a graph that reads stopped with paused filters behind it); Stop of a graph that reads
//    stopped does nothing. It connects and disconnects pins directly and answers IMediaEventEx
//    without events, so that code which makes its own graph can be given one
//    (ObjectFactory registered for CLSID_FilterGraph);
//  - ObjectFactory: a class object that hands out one given object.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/dshow.h"
#include "common/handles.h"

namespace device_testing {

// Filters alive in this process (every test checks it returns to 0).
long LiveMockFilters();

struct MockFilterPlan {
  std::vector<std::wstring> inputs{L"In"};
  std::vector<std::wstring> outputs{L"Out"};
  CLSID clsid{};
  HRESULT pauseResult = S_OK;          // what Pause answers (S_FALSE: a live source; a failure
                                       // leaves the filter as it was)
  HRESULT runResult = S_OK;            // what Run answers (a failure leaves the filter as it was)
  int intermediateStates = 0;          // GetState answers VFW_S_STATE_INTERMEDIATE this often
  bool cantCueWhenPaused = false;      // GetState answers VFW_S_CANT_CUE while paused
  HRESULT enumPinsResult = S_OK;       // a failure makes EnumPins fail
};

class MockPin;

class MockFilter final : public IBaseFilter, public IPersistPropertyBag {
 public:
  explicit MockFilter(const MockFilterPlan& plan);
  MockFilter(const MockFilter&) = delete;
  MockFilter& operator=(const MockFilter&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IPersist
  STDMETHODIMP GetClassID(CLSID* clsid) override;
  // IMediaFilter
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;
  // IBaseFilter
  STDMETHODIMP EnumPins(IEnumPins** pins) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;
  // IPersistPropertyBag
  STDMETHODIMP InitNew() override { return S_OK; }
  STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
  STDMETHODIMP Save(IPropertyBag*, BOOL, BOOL) override { return E_NOTIMPL; }

  // What the test looks at.
  std::atomic<int> runCalls{0}, pauseCalls{0}, stopCalls{0}, getStateCalls{0};
  std::wstring devicePath() const;
  std::wstring graphName() const;
  IPin* pin(size_t i) const;  // inputs first, then outputs; no reference
  size_t pinCount() const { return pins_.size(); }

 private:
  ~MockFilter();
  friend class MockPin;

  MockFilterPlan plan_;
  std::atomic<long> refs_{1};
  mutable std::mutex lock_;
  FILTER_STATE state_ = State_Stopped;      // guarded by lock_
  int intermediateLeft_;                     // guarded by lock_
  IReferenceClock* clock_ = nullptr;         // guarded by lock_; owned reference
  IFilterGraph* graph_ = nullptr;            // no reference: the graph holds us
  std::wstring name_, devicePath_;           // guarded by lock_
  std::vector<std::unique_ptr<MockPin>> pins_;
};

class MockFilterFactory final : public IClassFactory {
 public:
  explicit MockFilterFactory(const MockFilterPlan& plan) : plan_(plan) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  std::atomic<int> created{0};
  HRESULT createResult = S_OK;  // a failure makes CreateInstance fail

 private:
  ~MockFilterFactory() = default;
  MockFilterPlan plan_;
  std::atomic<long> refs_{1};
};

// A class object registered for this process while the object lives.
class ClassRegistration {
 public:
  ClassRegistration(REFCLSID clsid, IClassFactory* factory);
  ~ClassRegistration();
  ClassRegistration(const ClassRegistration&) = delete;
  ClassRegistration& operator=(const ClassRegistration&) = delete;
  HRESULT result() const { return hr_; }

 private:
  DWORD cookie_ = 0;
  HRESULT hr_ = E_FAIL;
};

// The one answer of a scripted GetState.
struct StateAnswer {
  HRESULT hr;
  OAFilterState state;
};

class MockGraph final : public IGraphBuilder, public IMediaControl, public IMediaEventEx {
 public:
  MockGraph() = default;
  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override;
  // IFilterGraph
  STDMETHODIMP AddFilter(IBaseFilter* filter, LPCWSTR name) override;
  STDMETHODIMP RemoveFilter(IBaseFilter* filter) override;
  STDMETHODIMP EnumFilters(IEnumFilters** filters) override;
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP Disconnect(IPin* pin) override { return pin ? pin->Disconnect() : E_POINTER; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
  // IGraphBuilder
  STDMETHODIMP Connect(IPin* output, IPin* input) override {
    return output && input ? output->Connect(input, nullptr) : E_POINTER;
  }
  STDMETHODIMP Render(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP SetLogFile(DWORD_PTR) override { return E_NOTIMPL; }
  STDMETHODIMP Abort() override { return E_NOTIMPL; }
  STDMETHODIMP ShouldOperationContinue() override { return S_OK; }
  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  // IMediaControl
  STDMETHODIMP Run() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP GetState(LONG timeoutMs, OAFilterState* state) override;
  STDMETHODIMP RenderFile(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP StopWhenReady() override { return E_NOTIMPL; }
  // IMediaEventEx: no events.
  STDMETHODIMP GetEventHandle(OAEVENT* event) override {
    if (!event) return E_POINTER;
    *event = reinterpret_cast<OAEVENT>(eventHandle_.get());
    return S_OK;
  }
  STDMETHODIMP GetEvent(__LONG32* code, LONG_PTR*, LONG_PTR*, __LONG32) override {
    if (code) *code = 0;
    return E_ABORT;
  }
  STDMETHODIMP WaitForCompletion(__LONG32, __LONG32*) override { return E_NOTIMPL; }
  STDMETHODIMP CancelDefaultHandling(__LONG32) override { return S_OK; }
  STDMETHODIMP RestoreDefaultHandling(__LONG32) override { return S_OK; }
  STDMETHODIMP FreeEventParams(__LONG32, LONG_PTR, LONG_PTR) override { return S_OK; }
  STDMETHODIMP SetNotifyWindow(OAHWND, __LONG32, LONG_PTR) override { return S_OK; }
  STDMETHODIMP SetNotifyFlags(__LONG32) override { return S_OK; }
  STDMETHODIMP GetNotifyFlags(__LONG32* flags) override {
    if (!flags) return E_POINTER;
    *flags = 0;
    return S_OK;
  }

  // Script and counters (single-threaded use).
  OAFilterState state = State_Stopped;  // answered once the script is used up
  HRESULT stateResult = S_OK;           // answered with `state`
  std::deque<StateAnswer> script;       // answered first, one per GetState
  // The graph's own answers, once its filters took the change: a failure leaves its state as it
  // was (the filters stay changed); Pause moves to paused unless S_FALSE.
  HRESULT pauseResult = S_OK;
  HRESULT runResult = S_OK;
  HRESULT stopResult = S_OK;
  HRESULT addResult = S_OK;             // a failure makes AddFilter refuse the filter
  int runCalls = 0, pauseCalls = 0, stopCalls = 0, getStateCalls = 0;
  int addCalls = 0, nullAdds = 0, removeCalls = 0;
  std::vector<LONG> getStateTimeouts;

 private:
  ~MockGraph();
  // Pauses each filter that does not read paused; the first refusal is returned.
  HRESULT PauseFilters();
  std::atomic<long> refs_{1};
  std::vector<IBaseFilter*> added_;  // owned references
  UniqueHandle eventHandle_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // never signalled
};

class ObjectFactory final : public IClassFactory {
 public:
  explicit ObjectFactory(IUnknown* object) : object_(object) { object_->AddRef(); }
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  ~ObjectFactory() { object_->Release(); }
  IUnknown* object_;  // owned reference
  std::atomic<long> refs_{1};
};

}  // namespace device_testing

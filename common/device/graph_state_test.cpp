// A graph's state changes and restores: every failed step undone (against the mock graph, which
// leaves filters changed behind a refusal as the platform's graph manager does), and the calls
// of a restore in their order (against a scripted IMediaControl that records every call).
#include "common/device/graph_state.h"

#include <gtest/gtest.h>

#include <string>

#include "common/device/testing/mock_filter.h"

using namespace device_testing;

namespace {

constexpr OAFilterState kRestore = -1;  // a table row's "target": graph_state::Restore

class GraphStateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    EXPECT_EQ(LiveMockFilters(), 0);
    CoUninitialize();
  }
};

FILTER_STATE StateOf(MockFilter* filter) {
  FILTER_STATE state = State_Stopped;
  filter->GetState(0, &state);
  return state;
}

}  // namespace

// Three filters in a graph; the second may refuse its pause. Whatever step fails (the state
// read, a refusal at Pause, at Run or at Stop, a poll), the answer is that step's code and no
// filter is left paused or running; a stop reaches the graph even when its state cannot be read,
// a start of such a graph calls nothing.
TEST_F(GraphStateTest, EveryFailedStepStopsTheGraphAndEachFilter) {
  struct Case {
    const char* name;
    OAFilterState start;   // the graph's and its filters' state before
    OAFilterState target;  // kRestore: a restore
    HRESULT firstRead;     // the first state read
    HRESULT laterReads;    // the reads after it
    HRESULT graphPause, graphRun, graphStop;  // the graph's own answers once its filters changed
    HRESULT secondPause;   // the second filter's answer to Pause
    bool strayPaused;      // the first filter paused behind a graph that reads stopped
    HRESULT expected;
    int stopCalls;         // the graph's own Stop calls
    int startCalls;        // its Run and Pause calls
    FILTER_STATE left;     // every filter's state afterwards
  } cases[] = {
      {"unreadable graph, Stop", State_Running, State_Stopped, E_FAIL, E_FAIL, S_OK, S_OK, S_OK, S_OK, false, E_FAIL, 1, 0, State_Stopped},
      {"unreadable graph, Run", State_Stopped, State_Running, E_FAIL, E_FAIL, S_OK, S_OK, S_OK, S_OK, false, E_FAIL, 0, 0, State_Stopped},
      {"unreadable graph, Pause", State_Stopped, State_Paused, E_FAIL, E_FAIL, S_OK, S_OK, S_OK, S_OK, false, E_FAIL, 0, 0, State_Stopped},
      {"refused Pause", State_Stopped, State_Paused, S_OK, S_OK, S_OK, S_OK, S_OK, E_ACCESSDENIED, false, E_ACCESSDENIED, 1, 1, State_Stopped},
      {"refused pause of a start", State_Stopped, State_Running, S_OK, S_OK, S_OK, S_OK, S_OK, E_ACCESSDENIED, false, E_ACCESSDENIED, 1, 1, State_Stopped},
      {"refused Run", State_Stopped, State_Running, S_OK, S_OK, S_OK, E_UNEXPECTED, S_OK, S_OK, false, E_UNEXPECTED, 1, 1, State_Stopped},
      {"refused Stop", State_Running, State_Stopped, S_OK, S_OK, S_OK, S_OK, E_UNEXPECTED, S_OK, false, E_UNEXPECTED, 2, 0, State_Stopped},
      {"failing pause poll", State_Stopped, State_Paused, S_OK, E_FAIL, S_FALSE, S_OK, S_OK, S_OK, false, E_FAIL, 1, 1, State_Stopped},
      {"paused filter behind a stopped graph", State_Stopped, State_Stopped, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, true, S_OK, 0, 0, State_Stopped},
      {"a start", State_Stopped, State_Running, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, false, S_OK, 0, 1, State_Running},
      {"restore refused at Run", State_Paused, kRestore, S_OK, S_OK, S_OK, E_UNEXPECTED, S_OK, S_OK, false, E_UNEXPECTED, 2, 1, State_Stopped},
      {"restore refused at Stop", State_Running, kRestore, S_OK, S_OK, S_OK, S_OK, E_UNEXPECTED, S_OK, false, E_UNEXPECTED, 2, 0, State_Stopped},
      {"restore of an unreadable graph", State_Running, kRestore, E_FAIL, E_FAIL, S_OK, S_OK, S_OK, S_OK, false, E_FAIL, 0, 0, State_Running},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* graph = new MockGraph;
    MockFilterPlan plan;
    MockFilter* filters[3] = {new MockFilter(plan), nullptr, new MockFilter(plan)};
    plan.pauseResult = c.secondPause;
    filters[1] = new MockFilter(plan);
    for (MockFilter* filter : filters) {
      ASSERT_EQ(S_OK, graph->AddFilter(filter, L"filter"));
      if (c.start != State_Stopped) filter->Pause();
      if (c.start == State_Running) filter->Run(0);
      filter->Release();  // the graph holds it
    }
    if (c.strayPaused) filters[0]->Pause();
    graph->state = c.start;
    graph->script = {{c.firstRead, c.start}};
    graph->stateResult = c.laterReads;
    graph->pauseResult = c.graphPause;
    graph->runResult = c.graphRun;
    graph->stopResult = c.graphStop;
    const int startCallsBefore = graph->runCalls + graph->pauseCalls;

    const HRESULT hr = c.target == kRestore ? graph_state::Restore(graph) : graph_state::Change(graph, c.target);
    EXPECT_EQ(c.expected, hr);
    EXPECT_EQ(c.stopCalls, graph->stopCalls);
    EXPECT_EQ(c.startCalls, graph->runCalls + graph->pauseCalls - startCallsBefore);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(c.left, StateOf(filters[i])) << "filter " << i;
    graph->Release();
  }
  EXPECT_EQ(E_POINTER, graph_state::Change(nullptr, State_Stopped));
  EXPECT_EQ(E_POINTER, graph_state::Restore(nullptr));
  graph_state::StopEveryFilter(nullptr);  // nothing to stop
}

namespace {

// A graph control whose state follows Stop/Run/Pause at once, except that it can be told to
// stay in a state for some polls. Records "G<timeout>", "Stop", "Run", "Pause" in order.
class ScriptedControl final : public IMediaControl {
 public:
  OAFilterState state = State_Stopped;
  HRESULT firstRead = S_OK;      // what GetState(0) answers
  HRESULT failing = S_OK;        // the code of the failing call
  std::string failingCall;       // "Stop", "Run", "Pause" or "G100"
  int lagPolls = 0;              // polls that still report the old state after a change
  std::string calls;

  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Run() override { return Change("Run", State_Running); }
  STDMETHODIMP Pause() override { return Change("Pause", State_Paused); }
  STDMETHODIMP Stop() override { return Change("Stop", State_Stopped); }
  STDMETHODIMP GetState(LONG timeout, OAFilterState* out) override {
    const std::string name = "G" + std::to_string(timeout);
    Note(name);
    if (timeout == 0) {
      *out = state;
      return firstRead;
    }
    if (name == failingCall) return failing;
    if (lag_ > 0) {
      --lag_;
      *out = previous_;
      return VFW_S_STATE_INTERMEDIATE;
    }
    *out = state;
    return S_OK;
  }
  STDMETHODIMP RenderFile(BSTR) override { return E_NOTIMPL; }
  STDMETHODIMP AddSourceFilter(BSTR, IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP get_FilterCollection(IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP get_RegFilterCollection(IDispatch**) override { return E_NOTIMPL; }
  STDMETHODIMP StopWhenReady() override { return E_NOTIMPL; }

 private:
  void Note(const std::string& name) { calls += (calls.empty() ? "" : ",") + name; }
  HRESULT Change(const char* name, OAFilterState next) {
    Note(name);
    if (failingCall == name) return failing;
    previous_ = state;
    state = next;
    lag_ = lagPolls;
    return S_OK;
  }
  OAFilterState previous_ = State_Stopped;
  int lag_ = 0;
};

}  // namespace

// A failed step's undo shows as the Stop after it.
TEST(RestoreGraphState, RunsTheGraphOnceAndReturnsItToWhereItWas) {
  const std::string tenPolls = "G100,G100,G100,G100,G100,G100,G100,G100,G100,G100";
  struct Case {
    const char* name;
    OAFilterState start;
    HRESULT firstRead;
    const char* failingCall;
    int lagPolls;
    HRESULT expected;
    OAFilterState end;
    std::string calls;
  } cases[] = {
      {"stopped", State_Stopped, S_OK, "", 0, S_OK, State_Stopped, "G0"},
      {"running", State_Running, S_OK, "", 0, S_OK, State_Running, "G0,Stop,G100,Run"},
      {"paused", State_Paused, S_OK, "", 0, S_OK, State_Paused, "G0,Stop,G100,Run,G100,Pause"},
      {"paused live graph", State_Paused, VFW_S_CANT_CUE, "", 0, S_OK, State_Paused, "G0,Stop,G100,Run,G100,Pause"},
      {"slow transitions", State_Paused, VFW_S_STATE_INTERMEDIATE, "", 2, S_OK, State_Paused,
       "G0,Stop,G100,G100,G100,Run,G100,G100,G100,Pause"},
      {"never settles", State_Running, S_OK, "", 99, S_OK, State_Running, "G0,Stop," + tenPolls + ",Run"},
      {"unreadable", State_Paused, E_FAIL, "", 0, E_FAIL, State_Paused, "G0"},
      {"stop refused", State_Paused, S_OK, "Stop", 0, E_UNEXPECTED, State_Paused, "G0,Stop,Stop"},
      {"poll fails", State_Paused, S_OK, "G100", 0, E_UNEXPECTED, State_Stopped, "G0,Stop,G100,Stop"},
      {"run refused", State_Paused, S_OK, "Run", 0, E_UNEXPECTED, State_Stopped, "G0,Stop,G100,Run,Stop"},
      {"pause refused", State_Paused, S_OK, "Pause", 0, E_UNEXPECTED, State_Stopped,
       "G0,Stop,G100,Run,G100,Pause,Stop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedControl control;
    control.state = c.start;
    control.firstRead = c.firstRead;
    control.failingCall = c.failingCall;
    control.failing = E_UNEXPECTED;
    control.lagPolls = c.lagPolls;
    EXPECT_EQ(c.expected, graph_state::Restore(&control));
    EXPECT_EQ(c.end, control.state);
    EXPECT_EQ(c.calls, control.calls);
  }
  EXPECT_EQ(E_POINTER, graph_state::Restore(nullptr));
}

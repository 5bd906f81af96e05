// Restoring a graph's state after a sound-path change (against a scripted IMediaControl that
// records every call) and choosing the graph's clock (in a graph of the platform).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "devices/core/sound/graph_state.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/test_filters.h"
#include "filters/base/testkit/wine_graph_fixture.h"

using Microsoft::WRL::ComPtr;

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
      {"stop refused", State_Paused, S_OK, "Stop", 0, E_UNEXPECTED, State_Paused, "G0,Stop"},
      {"poll fails", State_Paused, S_OK, "G100", 0, E_UNEXPECTED, State_Stopped, "G0,Stop,G100"},
      {"run refused", State_Paused, S_OK, "Run", 0, E_UNEXPECTED, State_Stopped, "G0,Stop,G100,Run"},
      {"pause refused", State_Paused, S_OK, "Pause", 0, E_UNEXPECTED, State_Running, "G0,Stop,G100,Run,G100,Pause"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedControl control;
    control.state = c.start;
    control.firstRead = c.firstRead;
    control.failingCall = c.failingCall;
    control.failing = E_UNEXPECTED;
    control.lagPolls = c.lagPolls;
    EXPECT_EQ(c.expected, sound_graph::RestoreGraphState(&control));
    EXPECT_EQ(c.end, control.state);
    EXPECT_EQ(c.calls, control.calls);
  }
  EXPECT_EQ(E_POINTER, sound_graph::RestoreGraphState(nullptr));
}

using SetClockModeTest = graph_testkit::WineGraphTest;

TEST_F(SetClockModeTest, ModeOneTakesTheDefaultClockAnyOtherTheRenderersOwn) {
  ComPtr<IMediaFilter> mediaFilter;
  ASSERT_EQ(S_OK, graph_->QueryInterface(IID_PPV_ARGS(&mediaFilter)));
  ComPtr<IReferenceClock> rendererClock;
  rendererClock.Attach(graph_testkit::ManualClock::Create());
  ComPtr<IBaseFilter> clockless;
  clockless.Attach(graph_testkit::IdentityTransform::Create());
  const auto syncSource = [&] {
    ComPtr<IReferenceClock> clock;
    mediaFilter->GetSyncSource(&clock);
    return clock;
  };

  EXPECT_EQ(S_OK, sound_graph::SetClockMode(graph_, rendererClock.Get(), 0));
  EXPECT_EQ(rendererClock.Get(), syncSource().Get());
  // A renderer without a clock leaves the graph's clock alone.
  EXPECT_EQ(E_OUTOFMEMORY, sound_graph::SetClockMode(graph_, clockless.Get(), 2));
  EXPECT_EQ(E_OUTOFMEMORY, sound_graph::SetClockMode(graph_, nullptr, 2));
  EXPECT_EQ(rendererClock.Get(), syncSource().Get());

  EXPECT_EQ(S_OK, sound_graph::SetClockMode(graph_, rendererClock.Get(), 1));
  EXPECT_NE(rendererClock.Get(), syncSource().Get());

  // A graph without IMediaFilter, and no graph at all.
  ComPtr<IFilterGraph> stub;
  stub.Attach(graph_testkit::StubGraph::Create());
  EXPECT_EQ(E_OUTOFMEMORY, sound_graph::SetClockMode(stub.Get(), rendererClock.Get(), 2));
  EXPECT_EQ(E_OUTOFMEMORY, sound_graph::SetClockMode(nullptr, rendererClock.Get(), 1));
}

#include "common/device/filter_graph_holder.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "common/device/graph_state.h"
#include "common/device/testing/loader_ids.h"
#include "common/device/testing/mock_filter.h"
#include "common/testing/paths.h"

using Microsoft::WRL::ComPtr;
using namespace device_testing;

namespace {

class FilterGraphHolderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    EXPECT_EQ(LiveMockFilters(), 0);  // every filter the tests made is gone
    CoUninitialize();
  }
};

// A graph object whose graph is a MockGraph.
class MockedHolder : public FilterGraphHolder {
 public:
  explicit MockedHolder(MockGraph* graph) {
    graph->AddRef();
    graph_ = graph;
  }
};

CLSID NewClass() {
  CLSID clsid{};
  CoCreateGuid(&clsid);
  return clsid;
}

FilterEntry Entry(const CLSID& clsid, const wchar_t* name, IBaseFilter** out) {
  FilterEntry entry{&clsid, {}, out, nullptr, nullptr};
  wcsncpy(entry.name, name, 255);
  return entry;
}

}  // namespace

TEST_F(FilterGraphHolderTest, CreatesTheGraphAndTakesItsControl) {
  FilterGraphHolder holder;
  OAFilterState state = 7;
  EXPECT_EQ(holder.GetState(&state, 0), E_POINTER);
  EXPECT_EQ(state, State_Stopped);  // zeroed first
  EXPECT_EQ(holder.GetState(nullptr, 0), E_POINTER);
  EXPECT_EQ(holder.QueryControl(), E_POINTER);
  EXPECT_EQ(holder.Run(), E_POINTER);
  EXPECT_EQ(holder.Pause(), E_POINTER);
  EXPECT_EQ(holder.Stop(), E_POINTER);
  FilterEntry none = Entry(GUID_NULL, L"x", nullptr);
  EXPECT_EQ(holder.AddFilters(&none, 1), E_POINTER);
  EXPECT_EQ(holder.RemoveFilters(nullptr, 3), S_OK);

  ASSERT_EQ(holder.CreateGraph(), S_OK);
  IGraphBuilder* graph = holder.graph();
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(holder.CreateGraph(), S_OK);
  EXPECT_EQ(holder.graph(), graph);  // kept, not replaced
  EXPECT_FALSE(holder.IsReady());
  ASSERT_EQ(holder.QueryControl(), S_OK);
  EXPECT_TRUE(holder.IsReady());
  EXPECT_EQ(holder.GetState(&state, 0), S_OK);
  EXPECT_EQ(state, State_Stopped);

  EXPECT_EQ(holder.GetFlag(), 0);
  EXPECT_EQ(holder.SetFlag(), S_OK);
  EXPECT_EQ(holder.GetFlag(), 1);
  EXPECT_EQ(holder.ClearFlag(), S_OK);
  EXPECT_EQ(holder.GetFlag(), 0);

  EXPECT_EQ(holder.Release(), S_OK);
  EXPECT_FALSE(holder.IsReady());
  EXPECT_EQ(holder.graph(), nullptr);
  EXPECT_EQ(holder.control(), nullptr);
  EXPECT_EQ(holder.Release(), S_OK);  // twice is harmless
}

TEST_F(FilterGraphHolderTest, AddFiltersCreatesOnlyTheMissingEntriesOnASecondPass) {
  const CLSID a = NewClass(), b = NewClass(), c = NewClass();
  auto* factoryA = new MockFilterFactory({});
  auto* factoryB = new MockFilterFactory({});
  auto* factoryC = new MockFilterFactory({});
  ClassRegistration regA(a, factoryA), regC(c, factoryC);
  ASSERT_EQ(regA.result(), S_OK);

  FilterGraphHolder holder;
  ASSERT_EQ(holder.CreateGraph(), S_OK);
  IBaseFilter *fa = nullptr, *fb = nullptr, *fc = nullptr;
  FilterEntry table[] = {Entry(a, L"A", &fa), Entry(b, L"B", &fb), Entry(c, L"C", &fc)};

  // B's class is not there yet: the walk stops at B.
  EXPECT_TRUE(FAILED(holder.AddFilters(table, 3)));
  EXPECT_NE(fa, nullptr);
  EXPECT_EQ(fb, nullptr);
  EXPECT_EQ(fc, nullptr);
  EXPECT_EQ(factoryC->created, 0);

  {
    ClassRegistration regB(b, factoryB);
    ASSERT_EQ(holder.AddFilters(table, 3), S_OK);
  }
  EXPECT_EQ(factoryA->created, 1);  // not made again
  EXPECT_EQ(factoryB->created, 1);
  EXPECT_EQ(factoryC->created, 1);
  ComPtr<IBaseFilter> found;
  ASSERT_EQ(holder.graph()->FindFilterByName(L"B", found.GetAddressOf()), S_OK);
  EXPECT_EQ(found.Get(), fb);
  found.Reset();
  EXPECT_EQ(holder.AddFilters(table, 0), S_OK);

  IBaseFilter* filters[] = {fa, fb, fc};
  EXPECT_EQ(holder.RemoveFilters(filters, 3), S_OK);
  EXPECT_EQ(holder.graph()->FindFilterByName(L"B", found.GetAddressOf()), VFW_E_NOT_FOUND);
  IUnknown** owned[] = {reinterpret_cast<IUnknown**>(&fa), reinterpret_cast<IUnknown**>(&fb),
                        reinterpret_cast<IUnknown**>(&fc), nullptr};
  EXPECT_EQ(FilterGraphHolder::ReleaseAll(owned, 4), S_OK);
  EXPECT_EQ(fa, nullptr);
  EXPECT_EQ(fc, nullptr);
  holder.Release();
  factoryA->Release();
  factoryB->Release();
  factoryC->Release();
}

TEST_F(FilterGraphHolderTest, AnEntryIsFilledOnlyOnceItsFilterIsInTheGraph) {
  const CLSID a = NewClass();
  auto* factory = new MockFilterFactory({});
  ClassRegistration reg(a, factory);
  auto* graph = new MockGraph;
  MockedHolder holder(graph);
  IBaseFilter* filter = nullptr;
  FilterEntry table[] = {Entry(a, L"A", &filter)};

  graph->addResult = VFW_E_DUPLICATE_NAME;
  EXPECT_EQ(holder.AddFilters(table, 1), VFW_E_DUPLICATE_NAME);
  EXPECT_EQ(filter, nullptr);
  EXPECT_EQ(LiveMockFilters(), 0);  // the refused filter was not kept anywhere

  graph->addResult = S_OK;
  ASSERT_EQ(holder.AddFilters(table, 1), S_OK);  // so the retry adds it
  EXPECT_NE(filter, nullptr);
  EXPECT_EQ(factory->created, 2);
  EXPECT_EQ(static_cast<MockFilter*>(filter)->graphName(), L"A");

  // A name without its terminator is refused before anything is made.
  IBaseFilter* other = nullptr;
  FilterEntry unterminated = Entry(a, L"", &other);
  wmemset(unterminated.name, L'x', 256);
  EXPECT_EQ(holder.AddFilters(&unterminated, 1), E_INVALIDARG);
  EXPECT_EQ(factory->created, 2);

  filter->Release();
  holder.Release();
  graph->Release();
  factory->Release();
}

TEST_F(FilterGraphHolderTest, FiltersFromAModuleFileTakeTheLoaderRoute) {
  // The loader test module serves its class without IBaseFilter: the loader route answers
  // E_NOINTERFACE where CoCreateInstance would not know the class at all.
  HMODULE module = LoadLibraryW(testing_support::BinPath(L"vorn_loadtest_a.dll").c_str());
  ASSERT_NE(module, nullptr);
  FilterGraphHolder holder;
  ASSERT_EQ(holder.CreateGraph(), S_OK);
  IBaseFilter* filter = nullptr;
  FilterEntry entry = Entry(kLoaderTestClass, L"Loaded", &filter);
  entry.module = module;
  entry.moduleFile = L"vorn_loadtest_a.dll";
  EXPECT_EQ(holder.AddFilters(&entry, 1), E_NOINTERFACE);
  entry.module = nullptr;
  EXPECT_EQ(holder.AddFilters(&entry, 1), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(filter, nullptr);
  FreeLibrary(module);
}

TEST_F(FilterGraphHolderTest, QueryInterfacesSkipsFilledEntriesAndStopsAtAFailure) {
  FilterGraphHolder holder;
  ASSERT_EQ(holder.CreateGraph(), S_OK);
  IMediaControl* control = nullptr;
  IMediaEvent* events = nullptr;
  IBaseFilter* notAFilter = nullptr;
  InterfaceQuery queries[] = {
      {holder.graph(), &IID_IMediaControl, reinterpret_cast<void**>(&control)},
      {holder.graph(), &IID_IBaseFilter, reinterpret_cast<void**>(&notAFilter)},
      {holder.graph(), &IID_IMediaEvent, reinterpret_cast<void**>(&events)},
  };
  EXPECT_EQ(holder.QueryInterfaces(queries, 3), E_NOINTERFACE);
  ASSERT_NE(control, nullptr);
  IMediaControl* first = control;
  EXPECT_EQ(notAFilter, nullptr);
  EXPECT_EQ(events, nullptr);  // not reached
  queries[1].iid = &IID_IMediaSeeking;
  EXPECT_EQ(holder.QueryInterfaces(queries, 3), S_OK);
  EXPECT_EQ(control, first);  // skipped, not queried twice
  EXPECT_NE(events, nullptr);
  InterfaceQuery broken{nullptr, &IID_IUnknown, reinterpret_cast<void**>(&first)};
  first = nullptr;
  EXPECT_EQ(holder.QueryInterfaces(&broken, 1), E_POINTER);
  IUnknown** owned[] = {reinterpret_cast<IUnknown**>(&control), reinterpret_cast<IUnknown**>(&events),
                        reinterpret_cast<IUnknown**>(&notAFilter)};
  FilterGraphHolder::ReleaseAll(owned, 3);
  EXPECT_EQ(control, nullptr);
}

TEST_F(FilterGraphHolderTest, StateChangesSkipTheStateTheGraphIsIn) {
  auto* graph = new MockGraph;
  MockedHolder holder(graph);
  ASSERT_EQ(holder.QueryControl(), S_OK);

  graph->state = State_Running;
  EXPECT_EQ(holder.Run(), S_OK);
  EXPECT_EQ(graph->runCalls, 0);
  ASSERT_FALSE(graph->getStateTimeouts.empty());
  EXPECT_EQ(graph->getStateTimeouts.back(), 0);  // read without waiting
  // A change still under way towards running counts as running.
  graph->script = {{VFW_S_STATE_INTERMEDIATE, State_Running}};
  EXPECT_EQ(holder.Run(), S_OK);
  EXPECT_EQ(graph->runCalls, 0);

  graph->state = State_Stopped;
  EXPECT_EQ(holder.Stop(), S_OK);
  EXPECT_EQ(graph->stopCalls, 0);
  EXPECT_EQ(holder.Run(), S_OK);
  EXPECT_EQ(graph->runCalls, 1);
  EXPECT_EQ(holder.Pause(), S_OK);
  EXPECT_EQ(graph->pauseCalls, 1);
  EXPECT_EQ(holder.Pause(), S_OK);
  EXPECT_EQ(graph->pauseCalls, 1);
  EXPECT_EQ(holder.Stop(), S_OK);
  EXPECT_EQ(graph->stopCalls, 1);

  // A state that cannot be read is returned, and nothing is called.
  graph->stateResult = E_UNEXPECTED;
  EXPECT_EQ(holder.Run(), E_UNEXPECTED);
  EXPECT_EQ(graph->runCalls, 1);
  holder.Release();
  graph->Release();
}

TEST_F(FilterGraphHolderTest, GetStateMapsOnlyTheIntermediateCode) {
  auto* graph = new MockGraph;
  MockedHolder holder(graph);
  ASSERT_EQ(holder.QueryControl(), S_OK);
  OAFilterState state = -1;
  graph->script = {{VFW_S_STATE_INTERMEDIATE, State_Paused},
                   {VFW_S_CANT_CUE, State_Paused},
                   {E_FAIL, State_Stopped}};
  EXPECT_EQ(holder.GetState(&state, 50), S_OK);
  EXPECT_EQ(state, State_Paused);
  EXPECT_EQ(holder.GetState(&state, 50), VFW_S_CANT_CUE);  // a success the caller must allow
  EXPECT_EQ(state, State_Paused);
  EXPECT_EQ(holder.GetState(&state, 50), E_FAIL);
  EXPECT_EQ(graph->getStateTimeouts.back(), 50);
  holder.Release();
  graph->Release();
}

TEST_F(FilterGraphHolderTest, PausePollsAGraphThatAnswersSFalse) {
  auto* graph = new MockGraph;
  MockedHolder holder(graph);
  ASSERT_EQ(holder.QueryControl(), S_OK);
  graph->pauseResult = S_FALSE;

  // Paused on the third poll.
  graph->script = {{S_OK, State_Stopped}, {S_OK, State_Stopped}, {S_OK, State_Stopped}, {S_OK, State_Paused}};
  EXPECT_EQ(holder.Pause(), S_OK);
  EXPECT_EQ(graph->getStateCalls, 4);
  EXPECT_EQ(graph->getStateTimeouts[1], graph_state::kPollMs);

  // Never paused: S_OK after the last poll.
  graph->getStateCalls = 0;
  graph->state = State_Stopped;
  EXPECT_EQ(holder.Pause(), S_OK);
  EXPECT_EQ(graph->getStateCalls, 1 + graph_state::kPolls);

  // A poll that fails ends the wait with its error.
  graph->getStateCalls = 0;
  graph->script = {{S_OK, State_Stopped}, {S_OK, State_Stopped}, {E_UNEXPECTED, State_Stopped}};
  EXPECT_EQ(holder.Pause(), E_UNEXPECTED);
  EXPECT_EQ(graph->getStateCalls, 3);

  // A Pause that fails is returned without polling.
  graph->getStateCalls = 0;
  graph->pauseResult = E_ACCESSDENIED;
  EXPECT_EQ(holder.Pause(), E_ACCESSDENIED);
  EXPECT_EQ(graph->getStateCalls, 1);
  holder.Release();
  graph->Release();
}

TEST_F(FilterGraphHolderTest, RunsAGraphWithALiveSource) {
  MockFilterPlan live;
  live.inputs.clear();
  live.pauseResult = S_FALSE;        // a live source cannot cue
  live.intermediateStates = 2;       // and takes a moment to pause
  live.cantCueWhenPaused = true;
  const CLSID clsid = NewClass();
  auto* factory = new MockFilterFactory(live);
  ClassRegistration reg(clsid, factory);

  FilterGraphHolder holder;
  ASSERT_EQ(holder.CreateGraph(), S_OK);
  IBaseFilter* source = nullptr;
  FilterEntry entry = Entry(clsid, L"Live", &source);
  ASSERT_EQ(holder.AddFilters(&entry, 1), S_OK);
  ASSERT_EQ(holder.QueryControl(), S_OK);
  auto* filter = static_cast<MockFilter*>(source);

  EXPECT_TRUE(SUCCEEDED(holder.Pause()));
  EXPECT_EQ(filter->pauseCalls, 1);
  OAFilterState state = State_Stopped;
  EXPECT_TRUE(SUCCEEDED(holder.GetState(&state, 0)));
  EXPECT_EQ(state, State_Paused);
  EXPECT_TRUE(SUCCEEDED(holder.Pause()));  // paused already
  EXPECT_EQ(filter->pauseCalls, 1);

  EXPECT_TRUE(SUCCEEDED(holder.Run()));
  EXPECT_EQ(filter->runCalls, 1);
  EXPECT_TRUE(SUCCEEDED(holder.Run()));
  EXPECT_EQ(filter->runCalls, 1);
  EXPECT_TRUE(SUCCEEDED(holder.Stop()));
  EXPECT_TRUE(SUCCEEDED(holder.GetState(&state, 1000)));
  EXPECT_EQ(state, State_Stopped);

  holder.RemoveFilters(&source, 1);
  source->Release();
  holder.Release();
  factory->Release();
}

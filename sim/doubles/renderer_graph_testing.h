// Test helpers of the renderer stand-ins: a graph of Wine's filter graph manager in which the
// push source feeds the renderer, and the check that a renderer holds its input while paused
// and lets a blocked sample go on Stop.
#pragma once

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <dshow.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "filters/base/testkit/push_source.h"
#include "sim/doubles/platform_doubles_testing.h"

namespace platform_testing {

struct RendererGraph {
  ComPtr<IGraphBuilder> graph;
  ComPtr<IMediaControl> control;
  ComPtr<IMediaEvent> events;
  graph_testkit::TestPushSource* source = nullptr;

  // `bufferCount`/`bufferBytes`: what the source asks of the allocator (0: the renderer decides).
  void Build(IBaseFilter* renderer, const CMediaType& type, const wchar_t* name, LONG bufferCount = 0,
             LONG bufferBytes = 0) {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
    ASSERT_EQ(S_OK, graph.As(&control));
    ASSERT_EQ(S_OK, graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())));
    source = graph_testkit::TestPushSource::Create({type});
    source->SetBufferRequest(bufferCount, bufferBytes);
    ASSERT_EQ(S_OK, graph->AddFilter(source, L"Source"));
    ASSERT_EQ(S_OK, graph->AddFilter(renderer, name));
    ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), PinAt(renderer, PINDIR_INPUT, 0).Get(), nullptr));
  }
  ~RendererGraph() {
    if (control) control->Stop();
    if (source) source->WaitPushed(5000);
    events.Reset();
    control.Reset();
    if (graph) {
      EXPECT_EQ(0u, graph.Reset());
    }
    if (source) {
      EXPECT_EQ(0u, source->Release());
    }
  }
};

// `three`: three samples, pushed while paused and consumed only once running; `farAhead`: one
// sample far in the future whose thread only Stop lets go. `counter`: the journal value the
// renderer counts its consumed samples in.
inline void ExpectHeldWhilePausedAndLetGoOnStop(RendererGraph& g, std::vector<graph_testkit::SamplePlan> three,
                                                std::vector<graph_testkit::SamplePlan> farAhead,
                                                std::uint32_t counter) {
  doubles::Journal& journal = doubles::Journal::Instance();
  ASSERT_EQ(S_OK, g.source->StartPushing(std::move(three), false));
  ASSERT_TRUE(SUCCEEDED(g.control->Pause()));
  // Held: the pushing thread stays in the renderer, so waiting for it to end times out.
  EXPECT_FALSE(g.source->WaitPushed(300));
  EXPECT_EQ(0, journal.Value(counter));
  ASSERT_TRUE(SUCCEEDED(g.control->Run()));
  ASSERT_TRUE(g.source->WaitPushed(3000));
  EXPECT_EQ(3, journal.Value(counter));

  ASSERT_EQ(S_OK, g.control->Stop());
  ASSERT_EQ(S_OK, g.source->StartPushing(std::move(farAhead), false));
  ASSERT_TRUE(SUCCEEDED(g.control->Run()));
  EXPECT_FALSE(g.source->WaitPushed(200));  // the far sample waits for its time
  const DWORD stopping = GetTickCount();
  ASSERT_EQ(S_OK, g.control->Stop());
  ASSERT_TRUE(g.source->WaitPushed(2000));
  EXPECT_LT(GetTickCount() - stopping, 1500u);
  EXPECT_EQ(3, journal.Value(counter));
  ASSERT_EQ(1u, g.source->PushResults().size());
  EXPECT_NE(S_OK, g.source->PushResults()[0]);
}

}  // namespace platform_testing

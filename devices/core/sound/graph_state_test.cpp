// Choosing the graph's clock (in a graph of the platform). The restore of a graph's state
// after a sound-path change is graph_state::Restore, tested beside it.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "devices/core/sound/graph_state.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/test_filters.h"
#include "filters/base/testkit/wine_graph_fixture.h"

using Microsoft::WRL::ComPtr;

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

// The video renderer base inside Wine's filter graph manager: scheduling on the graph's clock,
// late frames dropped and counted, state changes and EC_COMPLETE after the last frame.
#include <gtest/gtest.h>

#include <atomic>

#include "filters/base/renderer.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/wine_graph_fixture.h"

using namespace graph_testkit;

namespace {

// {4E1C5B70-3D0A-4B59-9F0D-6A7E2C1B8D31}
constexpr CLSID kTestRendererClsid = {0x4e1c5b70, 0x3d0a, 0x4b59, {0x9f, 0x0d, 0x6a, 0x7e, 0x2c, 0x1b, 0x8d, 0x31}};
constexpr REFERENCE_TIME kFrame = 333667;
constexpr REFERENCE_TIME kSecond = 10000000;

// Accepts any video; counts what it draws.
class CountingRenderer final : public CBaseVideoRenderer {
 public:
  CountingRenderer(HRESULT* phr) : CBaseVideoRenderer(L"CountingRenderer", nullptr, kTestRendererClsid, &lock_, phr) {}
  HRESULT CheckMediaType(const CMediaType* type) override {
    return *type->Type() == MEDIATYPE_Video ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
  }
  HRESULT DoRenderSample(IMediaSample*) override {
    ++rendered;
    return S_OK;
  }
  std::atomic<int> rendered{0};

 private:
  CCritSec lock_;
};

using RendererInWineGraph = WineGraphTest;

TEST_F(RendererInWineGraph, DrawsOnTimeFramesDropsLateOnesAndCompletes) {
  HRESULT hr = S_OK;
  auto* renderer = new CountingRenderer(&hr);
  renderer->NonDelegatingAddRef();
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(graph_->AddFilter(renderer, L"renderer"), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), renderer->GetPin(0), nullptr), S_OK);
  ASSERT_TRUE(SUCCEEDED(control_->Pause()));
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));

  std::vector<SamplePlan> plans;
  for (int i = 0; i < 2; ++i) {  // a second late: dropped
    SamplePlan late;
    late.start = -kSecond + i * kFrame;
    late.stop = *late.start + kFrame;
    plans.push_back(late);
  }
  SamplePlan lateButDiscontinuous;  // drawn however late
  lateButDiscontinuous.start = -kSecond / 2;
  lateButDiscontinuous.stop = *lateButDiscontinuous.start + kFrame;
  lateButDiscontinuous.discontinuity = true;
  plans.push_back(lateButDiscontinuous);
  for (int i = 0; i < 3; ++i) {  // on time, half a second ahead: never late however slow the start
    SamplePlan onTime;
    onTime.start = kSecond / 2 + i * kFrame / 10;
    onTime.stop = *onTime.start + kFrame;
    plans.push_back(onTime);
  }
  RunAndWait();
  ASSERT_EQ(source_->StartPushing(plans, true), S_OK);
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 10000));
  ASSERT_TRUE(source_->WaitPushed(10000));

  int drawn = -1, dropped = -1;
  EXPECT_EQ(renderer->get_FramesDrawn(&drawn), S_OK);
  EXPECT_EQ(renderer->get_FramesDroppedInRenderer(&dropped), S_OK);
  EXPECT_EQ(drawn, 4);
  EXPECT_EQ(dropped, 2);
  EXPECT_EQ(renderer->rendered.load(), 4);

  ASSERT_TRUE(SUCCEEDED(control_->Pause()));
  OAFilterState state = State_Stopped;
  control_->GetState(5000, &state);
  EXPECT_EQ(state, State_Paused);
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));
  control_->GetState(5000, &state);
  EXPECT_EQ(state, State_Stopped);
  renderer->GetPin(0)->Disconnect();
  source_->OutputPin()->Disconnect();
  graph_->RemoveFilter(renderer);
  EXPECT_EQ(renderer->NonDelegatingRelease(), 0u);
}

}  // namespace

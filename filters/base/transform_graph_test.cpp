// The transform bases and the reference clock inside Wine's filter graph manager: identity and
// in-place filters between the test source and the recording sink or Wine's null renderer, and
// a clock of our own as the graph's sync source pacing Wine's renderer.
#include <gtest/gtest.h>

#include <atomic>

#include "common/dshow.h"
#include "filters/base/refclock.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/test_filters.h"
#include "filters/base/testkit/wine_graph_fixture.h"

using namespace graph_testkit;

namespace {

constexpr REFERENCE_TIME kFrame = 100 * 10000;  // 100 ms

std::vector<SamplePlan> Frames(int count) { return EvenFrames(count, kFrame); }

// The base clock on the system timer, counting the advises it is given.
class CountingClock : public CBaseReferenceClock {
 public:
  CountingClock() : CBaseReferenceClock(L"Counting clock", nullptr) {}
  ~CountingClock() override { StopAdviseThread(); }
  STDMETHODIMP AdviseTime(REFERENCE_TIME base, REFERENCE_TIME stream, HEVENT event, DWORD_PTR* cookie) override {
    ++advises;
    return CBaseReferenceClock::AdviseTime(base, stream, event, cookie);
  }
  std::atomic<int> advises{0};
};

class WineTransformGraph : public WineGraphTest {
 protected:
  void RunAndPush(int frames) {
    RunAndWait();
    ASSERT_EQ(source_->StartPushing(Frames(frames), true), S_OK);
    ASSERT_TRUE(source_->WaitPushed(15000));
    EXPECT_EQ(source_->PushResults().size(), static_cast<size_t>(frames));
    for (HRESULT hr : source_->PushResults()) EXPECT_EQ(hr, S_OK);
  }
};

TEST_F(WineTransformGraph, IdentityTransformBetweenSourceAndSink) {
  IdentityTransform* filter = IdentityTransform::Create();
  RecordingSink* sink = RecordingSink::Create();
  ASSERT_EQ(graph_->AddFilter(filter, L"identity"), S_OK);
  ASSERT_EQ(graph_->AddFilter(sink, L"sink"), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), filter->Input(), nullptr), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(filter->Output(), sink->InputPin(), nullptr), S_OK);
  RunAndPush(5);
  ASSERT_TRUE(sink->WaitForSamples(5, 5000));
  const auto samples = sink->Samples();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(samples[i].start, i * kFrame);
    EXPECT_EQ(samples[i].firstByte, 0x10 + i);
    EXPECT_EQ(samples[i].threadId, source_->PushThreadId());
  }
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 5000));
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));
  EXPECT_EQ(filter->control.startStreaming, 1);
  EXPECT_EQ(filter->control.stopStreaming, 1);
  filter->Release();
  sink->Release();
}

TEST_F(WineTransformGraph, InPlaceFilterIntoTheSinkAndIntoWinesNullRenderer) {
  IncrementInPlace* filter = IncrementInPlace::Create();
  RecordingSink* sink = RecordingSink::Create();
  ASSERT_EQ(graph_->AddFilter(filter, L"in place"), S_OK);
  ASSERT_EQ(graph_->AddFilter(sink, L"sink"), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), filter->Input(), nullptr), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(filter->Output(), sink->InputPin(), nullptr), S_OK);
  EXPECT_FALSE(filter->UsingDifferentAllocators());
  RunAndPush(3);
  ASSERT_TRUE(sink->WaitForSamples(3, 5000));
  EXPECT_EQ(sink->Samples()[2].firstByte, 0x13);
  EXPECT_EQ(filter->copies, 0);
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 5000));
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));

  // The same filter now feeding Wine's renderer, whose allocator is Wine's.
  ASSERT_EQ(graph_->Disconnect(filter->Output()), S_OK);
  ASSERT_EQ(graph_->Disconnect(sink->InputPin()), S_OK);
  IBaseFilter* renderer = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&renderer)), S_OK);
  ASSERT_EQ(graph_->AddFilter(renderer, L"null renderer"), S_OK);
  IPin* input = FirstPin(renderer, PINDIR_INPUT);
  ASSERT_NE(input, nullptr);
  ASSERT_EQ(graph_->ConnectDirect(filter->Output(), input, nullptr), S_OK);
  ASSERT_EQ(graph_->RemoveFilter(sink), S_OK);
  RunAndPush(3);
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 10000));
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));
  input->Release();
  renderer->Release();
  filter->Release();
  sink->Release();
}

TEST_F(WineTransformGraph, OurClockAsTheGraphsSyncSourcePacesWinesRenderer) {
  auto* clock = new CountingClock;
  clock->NonDelegatingAddRef();
  IReferenceClock* rc = static_cast<IReferenceClock*>(clock);
  IdentityTransform* filter = IdentityTransform::Create();
  IBaseFilter* renderer = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&renderer)), S_OK);
  ASSERT_EQ(graph_->AddFilter(filter, L"identity"), S_OK);
  ASSERT_EQ(graph_->AddFilter(renderer, L"null renderer"), S_OK);
  IPin* input = FirstPin(renderer, PINDIR_INPUT);
  ASSERT_NE(input, nullptr);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), filter->Input(), nullptr), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(filter->Output(), input, nullptr), S_OK);
  IMediaFilter* mediaFilter = nullptr;
  ASSERT_EQ(graph_->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&mediaFilter)), S_OK);
  ASSERT_EQ(mediaFilter->SetSyncSource(rc), S_OK);
  IReferenceClock* given = nullptr;
  ASSERT_EQ(filter->GetSyncSource(&given), S_OK);
  EXPECT_EQ(given, rc);  // the graph hands our clock to its filters
  if (given) given->Release();

  const ULONGLONG before = GetTickCount64();
  RunAndPush(5);  // frames 100 ms apart: the renderer holds each until its time
  const ULONGLONG elapsed = GetTickCount64() - before;
  EXPECT_GE(elapsed, 350u);
  EXPECT_LT(elapsed, 10000u);
  EXPECT_GT(clock->advises, 0);
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 10000));
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));
  ASSERT_EQ(mediaFilter->SetSyncSource(nullptr), S_OK);
  mediaFilter->Release();
  input->Release();
  renderer->Release();
  filter->Release();
  EXPECT_EQ(rc->Release(), 0u);
}

}  // namespace

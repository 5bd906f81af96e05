// The base classes inside Wine's filter graph manager: the test source feeding the recording
// sink, Wine's null renderer and Wine's VMR-9 in windowless mode.
#include <gtest/gtest.h>

#include "common/dshow.h"

#include <d3d9.h>
#include <vmr9.h>

#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/video_types.h"
#include "filters/base/testkit/wine_graph_fixture.h"

using namespace graph_testkit;

namespace {

constexpr REFERENCE_TIME kFrame = 333667;

std::vector<SamplePlan> Frames(int count) { return EvenFrames(count, kFrame); }

using WineGraph = WineGraphTest;

TEST_F(WineGraph, SamplesReachTheSinkOnTheSourcesThreadAndCompletionIsReported) {
  RecordingSink* sink = RecordingSink::Create();
  ASSERT_EQ(graph_->AddFilter(sink, L"sink"), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), sink->InputPin(), nullptr), S_OK);

  ASSERT_TRUE(SUCCEEDED(control_->Pause()));
  ASSERT_TRUE(SUCCEEDED(control_->Stop()));
  RunAndWait();
  ASSERT_EQ(source_->StartPushing(Frames(5), true), S_OK);
  ASSERT_TRUE(sink->WaitForSamples(5, 10000));
  ASSERT_TRUE(source_->WaitPushed(10000));
  const auto samples = sink->Samples();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(samples[i].threadId, source_->PushThreadId());
    EXPECT_EQ(samples[i].start, i * kFrame);
    EXPECT_EQ(samples[i].stop, (i + 1) * kFrame);
    EXPECT_EQ(samples[i].firstByte, 0x10 + i);
  }
  EXPECT_TRUE(sink->WaitForEndOfStream(5000));
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 5000));

  // Flush and a filter's own event travel too.
  ASSERT_EQ(source_->PushBeginFlush(), S_OK);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  EXPECT_EQ(sink->BeginFlushCount(), 1);
  EXPECT_EQ(sink->EndFlushCount(), 1);
  ASSERT_EQ(source_->NotifyEvent(EC_USER + 7, 42, 0), S_OK);
  LONG_PTR param = 0;
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_USER + 7, 5000, &param));
  EXPECT_EQ(param, 42);

  ASSERT_TRUE(SUCCEEDED(control_->Stop()));
  EXPECT_TRUE(sink->IsStopped());
  EXPECT_TRUE(source_->IsStopped());
  sink->Release();
}

TEST_F(WineGraph, TheSourceRunsIntoWinesNullRenderer) {
  IBaseFilter* renderer = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&renderer)), S_OK);
  ASSERT_EQ(graph_->AddFilter(renderer, L"null renderer"), S_OK);
  IPin* input = FirstPin(renderer, PINDIR_INPUT);
  ASSERT_NE(input, nullptr);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), input, nullptr), S_OK);
  RunAndWait();
  ASSERT_EQ(source_->StartPushing(Frames(5), true), S_OK);
  ASSERT_TRUE(source_->WaitPushed(10000));
  for (HRESULT hr : source_->PushResults()) EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(source_->PushResults().size(), 5u);
  EXPECT_TRUE(WaitForGraphEvent(events_, EC_COMPLETE, 10000));
  control_->Stop();
  input->Release();
  renderer->Release();
}

TEST_F(WineGraph, TheSourceFallsBackToItsOwnAllocatorForWinesVmr9) {
  HWND window = CreateWindowExW(0, L"STATIC", L"vmr9 test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 720, 480,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  IBaseFilter* vmr = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&vmr)), S_OK);
  ASSERT_EQ(graph_->AddFilter(vmr, L"vmr9"), S_OK);
  IVMRFilterConfig9* config = nullptr;
  ASSERT_EQ(vmr->QueryInterface(IID_IVMRFilterConfig9, reinterpret_cast<void**>(&config)), S_OK);
  ASSERT_EQ(config->SetRenderingMode(VMR9Mode_Windowless), S_OK);
  config->Release();
  IVMRWindowlessControl9* windowless = nullptr;
  ASSERT_EQ(vmr->QueryInterface(IID_IVMRWindowlessControl9, reinterpret_cast<void**>(&windowless)), S_OK);
  ASSERT_EQ(windowless->SetVideoClippingWindow(window), S_OK);
  IPin* input = FirstPin(vmr, PINDIR_INPUT);
  ASSERT_NE(input, nullptr);
  CMediaType yuy2 = MakeVideoType(720, 480);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), input, &yuy2), S_OK);
  EXPECT_FALSE(source_->UsedPeerAllocator());  // VMR-9 offers none
  RECT rect{0, 0, 720, 480};
  windowless->SetVideoPosition(&rect, &rect);

  RunAndWait();
  ASSERT_EQ(source_->StartPushing(Frames(5), true), S_OK);
  const ULONGLONG deadline = GetTickCount64() + 15000;
  while (!source_->WaitPushed(20) && GetTickCount64() < deadline) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  ASSERT_TRUE(source_->WaitPushed(0));
  EXPECT_EQ(source_->PushResults().size(), 5u);
  for (HRESULT hr : source_->PushResults()) EXPECT_EQ(hr, S_OK);
  control_->Stop();
  graph_->Disconnect(input);
  graph_->Disconnect(source_->OutputPin());
  input->Release();
  windowless->Release();
  graph_->RemoveFilter(vmr);
  vmr->Release();
  DestroyWindow(window);
}

}  // namespace

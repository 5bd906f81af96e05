// The transform and in-place bases between the test source and the recording sink (stub
// graph): connection order and types, what an output sample carries, skipped samples, Stop
// against a Receive under way, flushes, type changes and the allocator choice of the in-place
// filter with its copy path.
#include <gtest/gtest.h>

#include <process.h>

#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/test_filters.h"
#include "filters/base/testkit/video_types.h"

using namespace graph_testkit;

namespace {

int CountEvents(StubGraph* graph, long code) {
  int n = 0;
  for (const GraphEvent& e : graph->Events()) n += e.code == code ? 1 : 0;
  return n;
}

SamplePlan Frame(int i, BYTE fill) {
  SamplePlan plan;
  plan.start = i * 1000;
  plan.stop = (i + 1) * 1000;
  plan.fill = fill;
  return plan;
}

// source -> filter -> sink in a stub graph; the filter is either kind.
template <class Filter>
class Chain : public ::testing::Test {
 protected:
  void Build(Filter* filter, std::vector<CMediaType> accepted = {}) {
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create();
    filter_ = filter;
    sink_ = RecordingSink::Create(std::move(accepted));
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(filter_, L"filter"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
  }
  HRESULT ConnectAll() {
    HRESULT hr = graph_->ConnectDirect(source_->OutputPin(), filter_->Input(), nullptr);
    if (SUCCEEDED(hr)) hr = graph_->ConnectDirect(filter_->Output(), sink_->InputPin(), nullptr);
    return hr;
  }
  HRESULT Run() {
    HRESULT hr = sink_->Run(0);
    if (SUCCEEDED(hr)) hr = filter_->Run(0);
    if (SUCCEEDED(hr)) hr = source_->Run(0);
    return hr;
  }
  void StopAll() {
    sink_->Stop();
    filter_->Stop();
    source_->Stop();
  }
  void TearDown() override {
    if (!graph_) return;
    StopAll();
    for (IPin* pin : {source_->OutputPin(), filter_->Input(), filter_->Output(), sink_->InputPin()}) pin->Disconnect();
    EXPECT_EQ(source_->Release(), 1u);  // the graph's reference is left
    EXPECT_EQ(filter_->Release(), 1u);
    EXPECT_EQ(sink_->Release(), 1u);
    EXPECT_EQ(graph_->Release(), 0u);
  }

  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  Filter* filter_ = nullptr;
  RecordingSink* sink_ = nullptr;
};

using TransformChain = Chain<IdentityTransform>;
using InPlaceChain = Chain<IncrementInPlace>;

TEST_F(TransformChain, TheOutputConnectsAfterTheInputWithTypesFromIt) {
  Build(IdentityTransform::Create());
  PIN_INFO info{};
  ASSERT_EQ(filter_->Input()->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"XForm In");
  info.pFilter->Release();
  ASSERT_EQ(filter_->Output()->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"XForm Out");
  info.pFilter->Release();

  // No output types and no output connection before the input is connected.
  IEnumMediaTypes* types = nullptr;
  ASSERT_EQ(filter_->Output()->EnumMediaTypes(&types), S_OK);
  AM_MEDIA_TYPE* type = nullptr;
  EXPECT_EQ(types->Next(1, &type, nullptr), S_FALSE);
  types->Release();
  EXPECT_TRUE(FAILED(graph_->ConnectDirect(filter_->Output(), sink_->InputPin(), nullptr)));
  IPin* peer = nullptr;
  EXPECT_EQ(sink_->InputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);

  ASSERT_EQ(ConnectAll(), S_OK);
  AM_MEDIA_TYPE got{};
  ASSERT_EQ(sink_->InputPin()->ConnectionMediaType(&got), S_OK);
  EXPECT_TRUE(CMediaType(got) == MakeVideoType(720, 480));
  FreeMediaType(got);
  // A type the filter refuses on its input.
  CMediaType audio(&MEDIATYPE_Audio);
  EXPECT_EQ(filter_->Input()->QueryAccept(&audio), S_FALSE);
}

TEST_F(TransformChain, ADerivedClassSuppliesItsOwnInputPin) {
  Build(IdentityTransform::Create(true));
  auto* input = dynamic_cast<CountingInputPin*>(filter_->GetPin(0));
  ASSERT_NE(input, nullptr);
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_EQ(source_->Push(Frame(0, 1)), S_OK);
  EXPECT_EQ(input->received, 1);
  EXPECT_EQ(sink_->SampleCount(), 1u);
}

TEST_F(TransformChain, OutputSamplesCarryTheInputsTimesAndFlags) {
  Build(IdentityTransform::Create());
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  EXPECT_EQ(filter_->control.startStreaming, 1);
  SamplePlan a = Frame(3, 0x21);
  a.mediaStart = 30;
  a.mediaStop = 31;
  a.discontinuity = true;
  a.preroll = true;
  a.actualLength = 999;
  a.typeSpecificFlags = AM_VIDEO_FLAG_FIELD1FIRST | AM_VIDEO_FLAG_WEAVE;
  SamplePlan b;  // no times, no sync point
  b.sync = false;
  b.fill = 0x22;
  ASSERT_EQ(source_->Push(a), S_OK);
  ASSERT_EQ(source_->Push(b), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].timeResult, S_OK);
  EXPECT_EQ(samples[0].start, 3000);
  EXPECT_EQ(samples[0].stop, 4000);
  EXPECT_EQ(samples[0].mediaTimeResult, S_OK);
  EXPECT_EQ(samples[0].mediaStart, 30);
  EXPECT_EQ(samples[0].mediaStop, 31);
  EXPECT_TRUE(samples[0].sync);
  EXPECT_TRUE(samples[0].preroll);
  EXPECT_TRUE(samples[0].discontinuity);
  EXPECT_EQ(samples[0].actualLength, 999);
  EXPECT_EQ(samples[0].typeSpecificFlags, static_cast<DWORD>(AM_VIDEO_FLAG_FIELD1FIRST | AM_VIDEO_FLAG_WEAVE));
  EXPECT_EQ(samples[0].firstByte, 0x21);
  // The next buffer keeps nothing of the one before.
  EXPECT_EQ(samples[1].timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(samples[1].mediaTimeResult, VFW_E_MEDIA_TIME_NOT_SET);
  EXPECT_FALSE(samples[1].sync);
  EXPECT_FALSE(samples[1].preroll);
  EXPECT_FALSE(samples[1].discontinuity);
  EXPECT_EQ(samples[1].typeSpecificFlags, 0u);
  EXPECT_EQ(samples[1].firstByte, 0x22);

  StopAll();
  EXPECT_EQ(filter_->control.stopStreaming, 1);
}

TEST_F(TransformChain, SkippedSamplesAreNotDeliveredAndReportOneQualityChangePerRun) {
  Build(IdentityTransform::Create());
  filter_->control.skipFirstByte = 0x66;
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  EXPECT_EQ(source_->Push(Frame(0, 0x66)), S_OK);  // skipped, still S_OK for upstream
  EXPECT_EQ(source_->Push(Frame(1, 0x66)), S_OK);
  EXPECT_EQ(source_->Push(Frame(2, 0x01)), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].start, 2000);
  EXPECT_TRUE(samples[0].discontinuity);  // something was left out before it
  EXPECT_EQ(CountEvents(graph_, EC_QUALITY_CHANGE), 1);

  // A new run may report again.
  StopAll();
  ASSERT_EQ(Run(), S_OK);
  EXPECT_EQ(source_->Push(Frame(3, 0x66)), S_OK);
  EXPECT_EQ(CountEvents(graph_, EC_QUALITY_CHANGE), 2);
}

unsigned __stdcall PushOne(void* source) {
  return static_cast<unsigned>(static_cast<TestPushSource*>(source)->Push(Frame(0, 1)));
}

unsigned __stdcall StopFilter(void* filter) {
  return static_cast<unsigned>(static_cast<IdentityTransform*>(filter)->Stop());
}

TEST_F(TransformChain, StopWaitsForTheReceiveUnderWayBeforeStopStreaming) {
  Build(IdentityTransform::Create());
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  filter_->control.gate = true;
  UniqueHandle pusher(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &PushOne, source_, 0, nullptr)));
  ASSERT_EQ(WaitForSingleObject(filter_->control.entered.get(), 5000), WAIT_OBJECT_0);
  UniqueHandle stopper(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &StopFilter, filter_, 0, nullptr)));
  // Stop is held by the streaming lock while Transform runs.
  EXPECT_EQ(WaitForSingleObject(stopper.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(filter_->control.stopStreaming, 0);
  SetEvent(filter_->control.release.get());
  ASSERT_EQ(WaitForSingleObject(stopper.get(), 5000), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(pusher.get(), 5000), WAIT_OBJECT_0);
  EXPECT_EQ(filter_->control.stopStreaming, 1);
  EXPECT_TRUE(filter_->IsStopped());
  DWORD code = 0;
  GetExitCodeThread(stopper.get(), &code);
  EXPECT_EQ(static_cast<HRESULT>(code), S_OK);
}

unsigned __stdcall NotifyQuality(void* pin) {
  IQualityControl* quality = nullptr;
  HRESULT hr = static_cast<IPin*>(pin)->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&quality));
  if (SUCCEEDED(hr)) {
    hr = quality->Notify(nullptr, Quality{Famine, 500, -10000, 0});
    quality->Release();
  }
  return static_cast<unsigned>(hr);
}

// A renderer may send its quality message from within the Receive it is given, while a Stop
// under way holds the filter's lock and waits for that Receive to end.
TEST_F(TransformChain, AQualityMessageFromDownstreamGoesUpstreamWithoutTheFiltersLock) {
  Build(IdentityTransform::Create());
  ASSERT_EQ(ConnectAll(), S_OK);
  DWORD code = 0;
  {
    CAutoLock stopping(filter_->pStateLock());
    UniqueHandle notifier(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &NotifyQuality, filter_->Output(), 0, nullptr)));
    ASSERT_EQ(WaitForSingleObject(notifier.get(), 5000), WAIT_OBJECT_0);
    GetExitCodeThread(notifier.get(), &code);
  }
  // Passed on to the upstream pin (the test source's, which has no sink for it).
  EXPECT_EQ(static_cast<HRESULT>(code), E_NOTIMPL);
}

TEST_F(TransformChain, AFlushRefusesSamplesUntilItEndsAndPassesDownstream) {
  Build(IdentityTransform::Create());
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_EQ(source_->Push(Frame(0, 1)), S_OK);
  ASSERT_EQ(source_->PushBeginFlush(), S_OK);
  EXPECT_EQ(sink_->BeginFlushCount(), 1);
  EXPECT_EQ(source_->Push(Frame(1, 2)), S_FALSE);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  EXPECT_EQ(sink_->EndFlushCount(), 1);
  ASSERT_EQ(source_->Push(Frame(2, 3)), S_OK);
  ASSERT_EQ(source_->PushNewSegment(10, 20, 1.0), S_OK);
  EXPECT_EQ(sink_->NewSegmentCount(), 1);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].firstByte, 1);
  EXPECT_EQ(samples[1].firstByte, 3);
  ASSERT_EQ(source_->PushEndOfStream(), S_OK);
  EXPECT_EQ(sink_->EndOfStreamCount(), 1);
}

TEST_F(TransformChain, ATypeChangeReachesTheOutputOnceAndARefusedOneEndsTheStream) {
  Build(IdentityTransform::Create());
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  SamplePlan changed = Frame(0, 1);
  changed.attachType = std::make_shared<CMediaType>(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2));
  ASSERT_EQ(source_->Push(changed), S_OK);
  ASSERT_EQ(source_->Push(Frame(1, 2)), S_OK);
  auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 2u);
  ASSERT_TRUE(samples[0].type);
  EXPECT_EQ(*samples[0].type->FormatType(), FORMAT_VideoInfo2);
  EXPECT_FALSE(samples[1].type);  // the recycled buffer carries no stale type

  SamplePlan audio = Frame(2, 3);
  audio.attachType = std::make_shared<CMediaType>(&MEDIATYPE_Audio);
  EXPECT_EQ(source_->Push(audio), VFW_E_INVALIDMEDIATYPE);
  EXPECT_EQ(CountEvents(graph_, EC_ERRORABORT), 1);
  EXPECT_EQ(sink_->SampleCount(), 2u);
}

TEST_F(InPlaceChain, SamplesAreChangedInTheUpstreamBuffersWithoutACopy) {
  Build(IncrementInPlace::Create());
  ASSERT_EQ(ConnectAll(), S_OK);
  PIN_INFO info{};
  ASSERT_EQ(filter_->Input()->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"Input");
  info.pFilter->Release();
  EXPECT_FALSE(filter_->UsingDifferentAllocators());
  ASSERT_EQ(Run(), S_OK);
  SamplePlan a = Frame(0, 0x40);
  a.typeSpecificFlags = AM_VIDEO_FLAG_FIELD1;
  ASSERT_EQ(source_->Push(a), S_OK);
  ASSERT_EQ(source_->Push(Frame(1, 0x50)), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].firstByte, 0x41);
  EXPECT_EQ(samples[0].start, 0);
  EXPECT_EQ(samples[0].typeSpecificFlags, static_cast<DWORD>(AM_VIDEO_FLAG_FIELD1));
  EXPECT_EQ(samples[1].firstByte, 0x51);
  EXPECT_EQ(filter_->copies, 0);

  // The types are the upstream's on both sides, and downstream's verdict counts on the input.
  IEnumMediaTypes* types = nullptr;
  ASSERT_EQ(filter_->Output()->EnumMediaTypes(&types), S_OK);
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(types->Next(1, &type, nullptr), S_OK);
  EXPECT_TRUE(CMediaType(*type) == MakeVideoType(720, 480));
  DeleteMediaType(type);
  types->Release();
}

TEST_F(InPlaceChain, AReadOnlyUpstreamAllocatorMakesTheFilterCopy) {
  Build(IncrementInPlace::Create());
  source_->SetReadOnly(true);
  ASSERT_EQ(ConnectAll(), S_OK);
  EXPECT_TRUE(filter_->UsingDifferentAllocators());
  ASSERT_EQ(Run(), S_OK);
  SamplePlan a = Frame(5, 0x10);
  a.actualLength = 1234;
  a.discontinuity = true;
  a.mediaStart = 50;
  a.mediaStop = 51;
  a.typeSpecificFlags = AM_VIDEO_FLAG_FIELD2;
  a.attachType = std::make_shared<CMediaType>(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2));
  ASSERT_EQ(source_->Push(a), S_OK);
  ASSERT_EQ(source_->Push(Frame(6, 0x20)), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(filter_->copies, 2);
  EXPECT_EQ(samples[0].firstByte, 0x11);
  EXPECT_EQ(samples[0].actualLength, 1234);
  EXPECT_EQ(samples[0].start, 5000);
  EXPECT_EQ(samples[0].stop, 6000);
  EXPECT_EQ(samples[0].mediaStart, 50);
  EXPECT_TRUE(samples[0].discontinuity);
  EXPECT_EQ(samples[0].typeSpecificFlags, static_cast<DWORD>(AM_VIDEO_FLAG_FIELD2));
  ASSERT_TRUE(samples[0].type);
  EXPECT_EQ(*samples[0].type->FormatType(), FORMAT_VideoInfo2);
  // The copy buffer comes back for the next sample with none of the first one's properties.
  EXPECT_FALSE(samples[1].type);
  EXPECT_FALSE(samples[1].discontinuity);
  EXPECT_EQ(samples[1].typeSpecificFlags, 0u);
  EXPECT_EQ(samples[1].mediaTimeResult, VFW_E_MEDIA_TIME_NOT_SET);
  EXPECT_EQ(samples[1].firstByte, 0x21);
}

TEST_F(InPlaceChain, ASkippedSampleIsKeptBackWithOneQualityChange) {
  Build(IncrementInPlace::Create());
  filter_->control.skipFirstByte = 0x77;
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  EXPECT_EQ(source_->Push(Frame(0, 0x77)), S_OK);
  EXPECT_EQ(source_->Push(Frame(1, 0x77)), S_OK);
  EXPECT_EQ(source_->Push(Frame(2, 0x01)), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 1u);
  EXPECT_EQ(CountEvents(graph_, EC_QUALITY_CHANGE), 1);
}

TEST_F(InPlaceChain, AFlushLeavesNothingOfTheOldStream) {
  Build(IncrementInPlace::Create());
  source_->SetReadOnly(true);  // the copy path holds buffers of its own
  ASSERT_EQ(ConnectAll(), S_OK);
  ASSERT_EQ(Run(), S_OK);
  ASSERT_EQ(source_->Push(Frame(0, 1)), S_OK);
  ASSERT_EQ(source_->PushBeginFlush(), S_OK);
  EXPECT_EQ(source_->Push(Frame(1, 2)), S_FALSE);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  ASSERT_EQ(source_->Push(Frame(2, 3)), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[1].firstByte, 4);
  EXPECT_EQ(samples[1].start, 2000);
  StopAll();
  // Every buffer of both allocators is home again.
  auto* own = dynamic_cast<CBaseAllocator*>(filter_->InPlaceOutput()->Allocator());
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->OutstandingCount(), 0);
}

}  // namespace

namespace {
// A pin enumerator made before the pins were first asked for stays in step.
TEST(TransformPins, EnumeratorMadeBeforeFirstUseIsInStep) {
  auto* filter = graph_testkit::IdentityTransform::Create();
  ASSERT_NE(filter, nullptr);
  IEnumPins* pins = nullptr;
  ASSERT_EQ(filter->EnumPins(&pins), S_OK);
  // One pin at a time: the first Next creates the pins, the second must not find the
  // enumerator out of step.
  for (int i = 0; i < 2; ++i) {
    IPin* pin = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(pins->Next(1, &pin, &fetched), S_OK) << "pin " << i;
    EXPECT_EQ(fetched, 1u);
    if (pin) pin->Release();
  }
  pins->Release();
  EXPECT_EQ(filter->Release(), 0u);
}
}  // namespace

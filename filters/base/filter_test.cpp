// Filters and pins through the stub graph: negotiation, allocators, states, the receive path,
// stream control, enumeration, the graph link and the clock.
#include <gtest/gtest.h>

#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/stub_page_site.h"
#include "filters/base/testkit/video_types.h"

using namespace graph_testkit;

namespace {

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

class GraphFixture : public ::testing::Test {
 protected:
  void Build(std::vector<CMediaType> offered = {}, std::vector<CMediaType> accepted = {}) {
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create(std::move(offered));
    sink_ = RecordingSink::Create(std::move(accepted));
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
  }
  HRESULT Connect(const AM_MEDIA_TYPE* type = nullptr) {
    return graph_->ConnectDirect(source_->OutputPin(), sink_->InputPin(), type);
  }
  void TearDown() override {
    if (source_) {
      source_->Stop();
      sink_->Stop();
      source_->OutputPin()->Disconnect();
      sink_->InputPin()->Disconnect();
      EXPECT_EQ(source_->Release(), 1u);  // the graph's reference is left
      EXPECT_EQ(sink_->Release(), 1u);
    }
    if (graph_) {
      EXPECT_EQ(graph_->Release(), 0u);
    }
  }
  void Run() {
    ASSERT_EQ(sink_->Run(0), S_OK);
    ASSERT_EQ(source_->Run(0), S_OK);
  }

  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  RecordingSink* sink_ = nullptr;
};

TEST_F(GraphFixture, ConnectionAgreesTheTypeAndTheAllocator) {
  Build();
  ALLOCATOR_PROPERTIES wanted{5, 1000, 16, 0};
  sink_->SetRequirements(wanted);
  ASSERT_EQ(Connect(), S_OK);
  AM_MEDIA_TYPE got{};
  ASSERT_EQ(sink_->InputPin()->ConnectionMediaType(&got), S_OK);
  EXPECT_TRUE(CMediaType(got) == MakeVideoType(720, 480));
  FreeMediaType(got);
  IPin* peer = nullptr;
  ASSERT_EQ(sink_->InputPin()->ConnectedTo(&peer), S_OK);
  EXPECT_EQ(peer, source_->OutputPin());
  peer->Release();
  EXPECT_EQ(source_->PeerRequirements().cBuffers, 5);
  EXPECT_TRUE(source_->UsedPeerAllocator());
  EXPECT_EQ(source_->Granted().cBuffers, 5);
  EXPECT_GE(source_->Granted().cbBuffer, 691200);
  EXPECT_EQ(source_->Granted().cbAlign, 16);
  EXPECT_FALSE(sink_->ReadOnlyAllocator());

  EXPECT_EQ(Connect(), VFW_E_ALREADY_CONNECTED);
  EXPECT_EQ(source_->OutputPin()->Connect(source_->OutputPin(), nullptr), VFW_E_ALREADY_CONNECTED);
  ASSERT_EQ(source_->Pause(), S_OK);
  EXPECT_EQ(source_->OutputPin()->Disconnect(), VFW_E_NOT_STOPPED);
  ASSERT_EQ(source_->Stop(), S_OK);
  EXPECT_EQ(source_->OutputPin()->Disconnect(), S_OK);
  EXPECT_EQ(source_->OutputPin()->Disconnect(), S_FALSE);
  EXPECT_EQ(source_->OutputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(peer, nullptr);
}

TEST_F(GraphFixture, NoCommonTypeLeavesBothPinsUnconnected) {
  CMediaType rgb(&MEDIATYPE_Video);
  rgb.SetSubtype(&MEDIASUBTYPE_RGB32);
  Build({}, {rgb});
  EXPECT_EQ(Connect(), VFW_E_NO_ACCEPTABLE_TYPES);
  IPin* peer = nullptr;
  EXPECT_EQ(source_->OutputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(sink_->InputPin()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
  AM_MEDIA_TYPE none{};
  EXPECT_EQ(sink_->InputPin()->ConnectionMediaType(&none), VFW_E_NOT_CONNECTED);
  EXPECT_EQ(none.majortype, GUID_NULL);
  // A fully given type that the sink refuses.
  CMediaType yuy2 = MakeVideoType(720, 480);
  EXPECT_EQ(Connect(&yuy2), VFW_E_TYPE_NOT_ACCEPTED);
  // Same direction on both sides.
  EXPECT_EQ(sink_->InputPin()->Connect(sink_->InputPin(), nullptr), VFW_E_INVALID_DIRECTION);
}

TEST_F(GraphFixture, APartialTypeChoosesAmongTheOfferedTypes) {
  Build({MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo),
         MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2)});
  CMediaType partial(&MEDIATYPE_Video);
  partial.SetFormatType(&FORMAT_VideoInfo2);
  ASSERT_EQ(Connect(&partial), S_OK);
  AM_MEDIA_TYPE got{};
  ASSERT_EQ(source_->OutputPin()->ConnectionMediaType(&got), S_OK);
  EXPECT_EQ(got.formattype, FORMAT_VideoInfo2);
  FreeMediaType(got);
}

TEST_F(GraphFixture, StateChangesCommitAndDecommitTheAllocators) {
  Build();
  ASSERT_EQ(Connect(), S_OK);
  EXPECT_EQ(source_->Push({}), VFW_E_NOT_COMMITTED);
  ASSERT_EQ(sink_->Pause(), S_OK);
  ASSERT_EQ(source_->Pause(), S_OK);
  FILTER_STATE state = State_Stopped;
  EXPECT_EQ(source_->GetState(0, &state), S_OK);
  EXPECT_EQ(state, State_Paused);
  EXPECT_EQ(source_->Push({}), S_OK);
  ASSERT_EQ(source_->Stop(), S_OK);
  EXPECT_EQ(source_->Push({}), VFW_E_NOT_COMMITTED);
  EXPECT_EQ(source_->GetState(0, nullptr), E_POINTER);
  source_->SetLive(true);
  ASSERT_EQ(source_->Pause(), S_OK);
  EXPECT_EQ(source_->GetState(0, &state), VFW_S_CANT_CUE);
}

TEST_F(GraphFixture, SamplesArriveWithTheirTimesFlagsAndLengths) {
  Build();
  ASSERT_EQ(Connect(), S_OK);
  Run();
  SamplePlan a;
  a.start = 100;
  a.stop = 200;
  a.mediaStart = 7;
  a.mediaStop = 8;
  a.discontinuity = true;
  a.actualLength = 1000;
  a.typeSpecificFlags = AM_VIDEO_FLAG_FIELD1FIRST;
  a.fill = 0x5A;
  SamplePlan b;
  b.start = 300;  // no stop time
  b.sync = false;
  b.preroll = true;
  ASSERT_EQ(source_->Push(a), S_OK);
  ASSERT_EQ(source_->Push(b), S_OK);
  SamplePlan c;  // no times at all
  ASSERT_EQ(source_->Push(c), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0].timeResult, S_OK);
  EXPECT_EQ(samples[0].start, 100);
  EXPECT_EQ(samples[0].stop, 200);
  EXPECT_EQ(samples[0].mediaTimeResult, S_OK);
  EXPECT_EQ(samples[0].mediaStart, 7);
  EXPECT_TRUE(samples[0].discontinuity);
  EXPECT_TRUE(samples[0].sync);
  EXPECT_EQ(samples[0].actualLength, 1000);
  EXPECT_EQ(samples[0].typeSpecificFlags, static_cast<DWORD>(AM_VIDEO_FLAG_FIELD1FIRST));
  EXPECT_EQ(samples[0].firstByte, 0x5A);
  EXPECT_EQ(samples[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(samples[1].timeResult, VFW_S_NO_STOP_TIME);
  EXPECT_FALSE(samples[1].sync);
  EXPECT_TRUE(samples[1].preroll);
  EXPECT_EQ(samples[1].actualLength, samples[1].size);
  EXPECT_EQ(samples[2].timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
}

TEST_F(GraphFixture, ReceiveRefusesWhenStoppedAndDropsWhileFlushing) {
  Build();
  ASSERT_EQ(Connect(), S_OK);
  Run();
  IMediaSample* sample = nullptr;
  ASSERT_EQ(source_->Output()->GetDeliveryBuffer(&sample, nullptr, nullptr, 0), S_OK);
  IMemInputPin* input = nullptr;
  ASSERT_EQ(sink_->InputPin()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input)), S_OK);
  EXPECT_EQ(input->Receive(nullptr), E_POINTER);
  ASSERT_EQ(source_->PushBeginFlush(), S_OK);
  EXPECT_EQ(input->Receive(sample), S_FALSE);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  EXPECT_EQ(input->Receive(sample), S_OK);
  long processed = -1;
  IMediaSample* two[] = {sample, sample};
  EXPECT_EQ(input->ReceiveMultiple(two, 2, &processed), S_OK);
  EXPECT_EQ(processed, 2);
  EXPECT_EQ(input->ReceiveCanBlock(), S_OK);  // no output pins: a renderer may block
  ASSERT_EQ(sink_->Stop(), S_OK);
  EXPECT_EQ(input->Receive(sample), VFW_E_WRONG_STATE);
  EXPECT_EQ(sink_->BeginFlushCount(), 1);
  EXPECT_EQ(sink_->EndFlushCount(), 1);
  sample->Release();
  input->Release();
}

TEST_F(GraphFixture, ARefusedTypeChangeEndsTheStreamUntilFlushed) {
  Build({}, {MakeVideoType(720, 480)});
  ASSERT_EQ(Connect(), S_OK);
  Run();
  SamplePlan accepted;
  accepted.attachType = std::make_shared<CMediaType>(MakeVideoType(720, 480));
  ASSERT_EQ(source_->Push(accepted), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 1u);
  ASSERT_TRUE(sink_->Samples()[0].type);
  EXPECT_TRUE(*sink_->Samples()[0].type == MakeVideoType(720, 480));

  SamplePlan refused;
  auto rgb = std::make_shared<CMediaType>(&MEDIATYPE_Video);
  rgb->SetSubtype(&MEDIASUBTYPE_RGB32);
  refused.attachType = rgb;
  EXPECT_EQ(source_->Push(refused), VFW_E_INVALIDMEDIATYPE);
  EXPECT_TRUE(graph_->WaitForEvent(EC_ERRORABORT, 0));
  EXPECT_EQ(source_->Push({}), VFW_E_RUNTIME_ERROR);
  source_->PushBeginFlush();
  source_->PushEndFlush();
  EXPECT_EQ(source_->Push({}), S_OK);
}

TEST_F(GraphFixture, TheSinksAllocatorAttachesItsTypeAndKeepsItsCount) {
  Build();
  sink_->SetAllocator(3, 0);
  auto announced = std::make_shared<CMediaType>(MakeVideoType(640, 480));
  sink_->SetAttachType(announced);
  ASSERT_EQ(Connect(), S_OK);
  EXPECT_EQ(source_->Granted().cBuffers, 3);
  Run();
  ASSERT_EQ(source_->Push({}), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 1u);
  ASSERT_TRUE(samples[0].type);
  EXPECT_TRUE(*samples[0].type == *announced);
  EXPECT_TRUE(samples[0].sampleFlags & AM_SAMPLE_TYPECHANGED);
}

TEST_F(GraphFixture, ABlockedReceiveAndAWaitingSourceAreReleasedByStop) {
  Build();
  sink_->SetAllocator(1, 0);
  ASSERT_EQ(Connect(), S_OK);
  sink_->SetBlocking(true);
  Run();
  ASSERT_EQ(source_->StartPushing({SamplePlan{}, SamplePlan{}, SamplePlan{}}, false), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  EXPECT_FALSE(source_->WaitPushed(100));  // held in Receive
  ASSERT_EQ(sink_->Stop(), S_OK);
  ASSERT_EQ(source_->Stop(), S_OK);  // decommits: the waiting GetBuffer returns
  ASSERT_TRUE(source_->WaitPushed(5000));
  EXPECT_NE(source_->PushThreadId(), GetCurrentThreadId());
}

TEST_F(GraphFixture, EndOfStreamFlushAndSegmentGoDownstreamAndCompleteReachesTheGraph) {
  Build();
  EXPECT_EQ(source_->PushEndOfStream(), VFW_E_NOT_CONNECTED);
  ASSERT_EQ(Connect(), S_OK);
  Run();
  ASSERT_EQ(source_->PushNewSegment(0, 1000, 1.0), S_OK);
  EXPECT_EQ(sink_->NewSegmentCount(), 1);
  ASSERT_EQ(source_->PushEndOfStream(), S_OK);
  EXPECT_EQ(sink_->EndOfStreamCount(), 1);
  ASSERT_TRUE(graph_->WaitForEvent(EC_COMPLETE, 0));
  for (const GraphEvent& e : graph_->Events()) {
    if (e.code == EC_COMPLETE) {
      EXPECT_EQ(e.param1, S_OK);
      EXPECT_EQ(e.param2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(sink_)));
    }
  }
  EXPECT_EQ(source_->OutputPin()->EndOfStream(), E_UNEXPECTED);  // nothing upstream of an output
}

TEST_F(GraphFixture, EnumeratorsGoOutOfSyncWhenPinsOrTypesChange) {
  Build({MakeVideoType(720, 480), MakeVideoType(352, 240)});
  IEnumPins* pins = nullptr;
  ASSERT_EQ(source_->EnumPins(&pins), S_OK);
  IPin* pin = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(pins->Next(1, &pin, &fetched), S_OK);
  EXPECT_EQ(pin, source_->OutputPin());
  pin->Release();
  EXPECT_EQ(pins->Next(1, &pin, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  IPin* several[2] = {};
  EXPECT_EQ(pins->Next(2, several, nullptr), E_INVALIDARG);
  source_->IncrementPinVersion();
  EXPECT_EQ(pins->Next(1, &pin, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
  EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
  ASSERT_EQ(pins->Reset(), S_OK);
  EXPECT_EQ(pins->Skip(1), S_OK);
  EXPECT_EQ(pins->Skip(1), S_FALSE);
  EXPECT_EQ(pins->Release(), 0u);

  IEnumMediaTypes* types = nullptr;
  ASSERT_EQ(source_->OutputPin()->EnumMediaTypes(&types), S_OK);
  AM_MEDIA_TYPE* got[3] = {};
  ASSERT_EQ(types->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_TRUE(CMediaType(*got[1]) == MakeVideoType(352, 240));
  DeleteMediaType(got[0]);
  DeleteMediaType(got[1]);
  source_->Output()->IncrementTypeVersion();
  EXPECT_EQ(types->Next(1, got, nullptr), VFW_E_ENUM_OUT_OF_SYNC);
  types->Reset();
  IEnumMediaTypes* clone = nullptr;
  ASSERT_EQ(types->Clone(&clone), S_OK);
  ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
  DeleteMediaType(got[0]);
  EXPECT_EQ(clone->Release(), 0u);
  EXPECT_EQ(types->Release(), 0u);
}

TEST_F(GraphFixture, TheFilterKnowsItsGraphWithoutReferencingIt) {
  graph_ = StubGraph::Create();
  source_ = TestPushSource::Create();
  sink_ = RecordingSink::Create();
  const ULONG before = RefCount(static_cast<IFilterGraph*>(graph_));
  ASSERT_EQ(graph_->AddFilter(source_, L"the source"), S_OK);
  ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
  EXPECT_EQ(RefCount(static_cast<IFilterGraph*>(graph_)), before);
  FILTER_INFO info{};
  ASSERT_EQ(source_->QueryFilterInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"the source");
  EXPECT_EQ(info.pGraph, static_cast<IFilterGraph*>(graph_));
  info.pGraph->Release();
  EXPECT_EQ(source_->NotifyEvent(EC_USER + 5, 1, 2), S_OK);
  EXPECT_TRUE(graph_->WaitForEvent(EC_USER + 5, 0));

  IPin* found = nullptr;
  ASSERT_EQ(source_->FindPin(L"Out", &found), S_OK);
  EXPECT_EQ(found, source_->OutputPin());
  found->Release();
  EXPECT_EQ(source_->FindPin(L"In", &found), VFW_E_NOT_FOUND);
  PIN_INFO pinInfo{};
  ASSERT_EQ(sink_->InputPin()->QueryPinInfo(&pinInfo), S_OK);
  EXPECT_STREQ(pinInfo.achName, L"In");
  EXPECT_EQ(pinInfo.dir, PINDIR_INPUT);
  EXPECT_EQ(pinInfo.pFilter, static_cast<IBaseFilter*>(sink_));
  pinInfo.pFilter->Release();

  ASSERT_EQ(graph_->RemoveFilter(source_), S_OK);
  EXPECT_EQ(source_->NotifyEvent(EC_USER, 0, 0), E_NOTIMPL);
  ASSERT_EQ(source_->QueryFilterInfo(&info), S_OK);
  EXPECT_EQ(info.pGraph, nullptr);
  ASSERT_EQ(graph_->AddFilter(source_, L"again"), S_OK);
}

TEST(FilterClock, StreamTimeFollowsTheClockFromTheRunStart) {
  TestPushSource* source = TestPushSource::Create();
  REFERENCE_TIME now = 0;
  EXPECT_EQ(source->StreamTime(now), VFW_E_NO_CLOCK);
  ManualClock* clock = ManualClock::Create(5000);
  ASSERT_EQ(source->SetSyncSource(clock), S_OK);
  ASSERT_EQ(source->Run(2000), S_OK);
  ASSERT_EQ(source->StreamTime(now), S_OK);
  EXPECT_EQ(now, 3000);
  IReferenceClock* got = nullptr;
  ASSERT_EQ(source->GetSyncSource(&got), S_OK);
  EXPECT_EQ(got, static_cast<IReferenceClock*>(clock));
  got->Release();
  ASSERT_EQ(source->SetSyncSource(nullptr), S_OK);
  ASSERT_EQ(source->GetSyncSource(&got), S_OK);
  EXPECT_EQ(got, nullptr);
  source->Stop();
  EXPECT_EQ(source->Release(), 0u);
  EXPECT_EQ(clock->Release(), 0u);
}

TEST(ManualClockKit, AdvisesFireWhenTheTimeIsSet) {
  ManualClock* clock = ManualClock::Create(0);
  UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  UniqueHandle semaphore(CreateSemaphoreW(nullptr, 0, 100, nullptr));
  DWORD_PTR once = 0, periodic = 0;
  ASSERT_EQ(clock->AdviseTime(100, 50, reinterpret_cast<HEVENT>(event.get()), &once), S_OK);
  ASSERT_EQ(clock->AdvisePeriodic(10, 10, reinterpret_cast<HSEMAPHORE>(semaphore.get()), &periodic), S_OK);
  clock->SetTime(149);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  clock->Advance(1);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  LONG count = 0;
  ReleaseSemaphore(semaphore.get(), 1, &count);
  EXPECT_EQ(count, 15);  // 10, 20, ..., 150
  EXPECT_EQ(clock->Unadvise(periodic), S_OK);
  EXPECT_EQ(clock->Unadvise(once), S_FALSE);  // already fired
  EXPECT_EQ(clock->PendingAdvises(), 0u);
  EXPECT_EQ(clock->Release(), 0u);
}

TEST(PageSiteKit, RecordsStatusChanges) {
  StubPropertyPageSite* site = StubPropertyPageSite::Create();
  site->OnStatusChange(PROPPAGESTATUS_DIRTY);
  ASSERT_EQ(site->StatusChanges().size(), 1u);
  EXPECT_EQ(site->StatusChanges()[0], static_cast<DWORD>(PROPPAGESTATUS_DIRTY));
  EXPECT_EQ(site->Release(), 0u);
}

}  // namespace

// The video pacer between the test source and the recording sink, with the manual clock as
// the graph clock: stamping from the clock and from the hardware, the field-video header,
// accepted types, the allocator request, delivery on the pacer's own thread, the end of the
// stream and new segments behind the queued frames, Stop and flushes, and its COM identity.
#include "filters/pacers/video_pacer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/testing/debug_capture.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"
#include "filters/pacers/pacer_ids.h"
#include "common/testing/time_scale.h"
#include "filters/pacers/testing/pacer_test_support.h"
#include "filters/pacers/pacer_timing.h"

using namespace graph_testkit;
using namespace pacer_testing;

namespace {

constexpr LONGLONG kMs = pacer::kUnitsPerMs;
constexpr REFERENCE_TIME kFrame = 333667;

SamplePlan Frame(BYTE fill) {
  SamplePlan plan;
  plan.fill = fill;
  plan.actualLength = 64;
  return plan;
}

SamplePlan StampedFrame(BYTE fill, REFERENCE_TIME start, REFERENCE_TIME stop) {
  SamplePlan plan = Frame(fill);
  plan.start = start;
  plan.stop = stop;
  return plan;
}

std::vector<BYTE> FirstBytes(const std::vector<ReceivedSample>& samples) {
  std::vector<BYTE> bytes;
  for (const auto& s : samples) bytes.push_back(s.firstByte);
  return bytes;
}

class VideoPacerTest : public ::testing::Test {
 protected:
  void SetUp() override { Build({MakeVideoType(16, 16)}); }
  // The source offers `offered`; the pacer's input connects with `type` (the first offered one
  // when null).
  void Build(std::vector<CMediaType> offered, const CMediaType* type = nullptr, bool connectOutput = true) {
    graph_ = StubGraph::Create();
    const CMediaType chosen = type ? *type : offered.front();
    source_ = TestPushSource::Create(std::move(offered));
    source_->SetBufferRequest(6, 4096);
    filter_ = CreateFilter<VideoPacer>();
    ASSERT_NE(filter_, nullptr);
    pacer_ = static_cast<VideoPacer*>(filter_);
    sink_ = RecordingSink::Create();
    clock_ = ManualClock::Create(0);
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(filter_, L"pacer"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
    settings_ = pacer_->Settings();
    connectResult_ = graph_->ConnectDirect(source_->OutputPin(), pacer_->GetPin(0), &chosen);
    if (connectResult_ == S_OK && connectOutput) {
      ASSERT_EQ(graph_->ConnectDirect(pacer_->GetPin(1), sink_->InputPin(), nullptr), S_OK);
    }
    ASSERT_EQ(filter_->SetSyncSource(clock_), S_OK);
  }
  void Run(REFERENCE_TIME tStart = 0) {
    ASSERT_EQ(sink_->Run(tStart), S_OK);
    ASSERT_EQ(filter_->Run(tStart), S_OK);
    ASSERT_EQ(source_->Run(tStart), S_OK);
  }
  void StopAll() {
    source_->Stop();
    sink_->Stop();  // downstream first, as a graph does
    filter_->Stop();
  }
  // StopAll on a thread of its own, so that a deadlock fails the case instead of hanging it
  // (the objects are then left to that thread: TearDown skips them).
  bool StopAllWithin(DWORD timeoutMs) {
    struct Stopper {
      static DWORD WINAPI Entry(void* p) {
        static_cast<VideoPacerTest*>(p)->StopAll();
        return 0;
      }
    };
    UniqueHandle thread(CreateThread(nullptr, 0, &Stopper::Entry, this, 0, nullptr));
    if (!thread) return false;
    if (WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0) return true;
    graph_ = nullptr;
    return false;
  }
  LONG Outstanding() {
    IMemAllocator* a = source_->Output()->Allocator();
    return a ? static_cast<CBaseAllocator*>(a)->OutstandingCount() : 0;
  }
  bool WaitBuffersHome(DWORD timeoutMs = 5000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (Outstanding() != 0) {
      if (GetTickCount64() > end) return false;
      Sleep(1);
    }
    return true;
  }
  // The mark of a delivered end of stream leaves the queue just after the sink has seen it.
  bool WaitQueueEmpty(DWORD timeoutMs = 5000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (pacer_->Pacer()->QueuedCount() != 0) {
      if (GetTickCount64() > end) return false;
      Sleep(1);
    }
    return true;
  }
  // The next sample this case has not yet taken. (Counting from the sink's records at the time
  // of the call would miss a frame the delivery thread handed on before it.)
  ReceivedSample WaitOne() {
    const bool arrived = sink_->WaitForSamples(taken_ + 1, 5000);
    EXPECT_TRUE(arrived);
    if (!arrived) return ReceivedSample{};
    return sink_->Samples()[taken_++];
  }
  void ClearRecords() {
    sink_->ClearRecords();
    taken_ = 0;
  }
  // The pacer's own Stop on a thread of its own (the rest of the graph is left as it is).
  void StartPacerStop() {
    struct Stopper {
      static DWORD WINAPI Entry(void* p) { return static_cast<DWORD>(static_cast<IBaseFilter*>(p)->Stop()); }
    };
    stopper_.reset(CreateThread(nullptr, 0, &Stopper::Entry, filter_, 0, nullptr));
    ASSERT_TRUE(stopper_);
  }
  bool WaitPacerStopped(DWORD timeoutMs = 5000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    FILTER_STATE state = State_Running;
    while (filter_->GetState(0, &state) != S_OK || state != State_Stopped) {
      if (GetTickCount64() > end) return false;
      Sleep(1);
    }
    return true;
  }
  void TearDown() override {
    if (stopper_) {  // a case that ended early: its stop must not outlive the objects
      sink_->Unblock();
      EXPECT_EQ(WaitForSingleObject(stopper_.get(), 15000), WAIT_OBJECT_0);
    }
    if (!graph_) return;
    StopAll();
    EXPECT_TRUE(WaitBuffersHome());
    source_->OutputPin()->Disconnect();
    pacer_->GetPin(0)->Disconnect();
    pacer_->GetPin(1)->Disconnect();
    sink_->InputPin()->Disconnect();
    filter_->SetSyncSource(nullptr);
    EXPECT_EQ(source_->Release(), 1u);
    EXPECT_EQ(filter_->Release(), 1u);
    EXPECT_EQ(sink_->Release(), 1u);
    EXPECT_EQ(graph_->Release(), 0u);  // the pacer's thread ended with it
    EXPECT_EQ(clock_->Release(), 0u);
  }

  size_t taken_ = 0;  // samples WaitOne has returned
  UniqueHandle stopper_;  // StartPacerStop's thread
  HRESULT connectResult_ = E_FAIL;
  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  IBaseFilter* filter_ = nullptr;
  VideoPacer* pacer_ = nullptr;
  RecordingSink* sink_ = nullptr;
  ManualClock* clock_ = nullptr;
  IPacerSettings* settings_ = nullptr;  // the filter's own (no reference)
};

}  // namespace

TEST_F(VideoPacerTest, ADeliveryNeverWaitsForTheStateLock) {
  Run();
  HRESULT pushed = E_FAIL;
  EXPECT_TRUE(pacer_testing::EndsWhileStateLockIsHeld(
      pacer_->pStateLock(), [&] { pushed = source_->Push(Frame(1)); }, testing_support::ScaledBound(5000)));
  EXPECT_EQ(pushed, S_OK);
}

TEST_F(VideoPacerTest, StampsFromTheGraphClockPlusTheDelay) {
  settings_->SetDelay(5);
  clock_->SetTime(1000 * kMs);
  Run(100 * kMs);
  ASSERT_EQ(source_->Push(StampedFrame(1, 3 * kMs, 4 * kMs)), S_OK);
  ReceivedSample got = WaitOne();
  EXPECT_EQ(got.timeResult, S_OK);
  EXPECT_EQ(got.start, 905 * kMs);
  EXPECT_EQ(got.stop, 905 * kMs + kFrame);

  // A discontinuity frame keeps its own start; the frames after it follow the clock from it.
  // (Its start lies ahead of the stream time, so the late-frame rule lets it pass.)
  SamplePlan disc = StampedFrame(2, 5000 * kMs, 5010 * kMs);
  disc.discontinuity = true;
  ASSERT_EQ(source_->Push(disc), S_OK);
  EXPECT_EQ(WaitOne().start, 5005 * kMs);
  clock_->Advance(40 * kMs);
  ASSERT_EQ(source_->Push(Frame(3)), S_OK);
  EXPECT_EQ(WaitOne().start, 5045 * kMs);
  // A discontinuity without times starts the stream base again from 0.
  SamplePlan bare = Frame(4);
  bare.discontinuity = true;
  ASSERT_EQ(source_->Push(bare), S_OK);
  EXPECT_EQ(WaitOne().start, 945 * kMs);
}

TEST_F(VideoPacerTest, HardwareStampsAndTheTimeStampingSwitch) {
  settings_->SetHwTimeStamp(1);
  settings_->SetDelay(2);
  clock_->SetTime(1000 * kMs);
  Run();
  ASSERT_EQ(source_->Push(StampedFrame(1, 2000 * kMs, 2010 * kMs)), S_OK);
  ReceivedSample got = WaitOne();
  EXPECT_EQ(got.start, 2002 * kMs);
  EXPECT_EQ(got.stop, 2012 * kMs);
  ASSERT_EQ(source_->Push(Frame(2)), S_OK);
  EXPECT_EQ(WaitOne().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);

  // The video pacer counts only 1 as on: 2 switches the hardware stamps off...
  settings_->SetHwTimeStamp(2);
  ASSERT_EQ(source_->Push(StampedFrame(3, 40 * kMs, 50 * kMs)), S_OK);
  EXPECT_EQ(WaitOne().start, 1002 * kMs);
  // ...and time stamping off clears the times.
  settings_->SetTimeStamping(2);
  ASSERT_EQ(source_->Push(StampedFrame(4, 40 * kMs, 50 * kMs)), S_OK);
  EXPECT_EQ(WaitOne().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
}

TEST_F(VideoPacerTest, WithoutAGraphClockFramesGoOnWithTheirOwnTimes) {
  ASSERT_EQ(filter_->SetSyncSource(nullptr), S_OK);
  Run();
  ASSERT_EQ(source_->Push(StampedFrame(1, 7 * kMs, 9 * kMs)), S_OK);
  ReceivedSample got = WaitOne();
  EXPECT_EQ(got.start, 7 * kMs);
  EXPECT_EQ(got.stop, 9 * kMs);
  ASSERT_EQ(source_->Push(Frame(2)), S_OK);
  EXPECT_EQ(WaitOne().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
}

TEST_F(VideoPacerTest, DeliversOnItsOwnThreadInOrderAndReceiveNeverWaits) {
  clock_->SetTime(0);
  Run();
  sink_->SetBlocking(true);
  const ULONGLONG t0 = GetTickCount64();
  for (BYTE i = 1; i <= 4; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  EXPECT_LT(GetTickCount64() - t0, 3000u);  // the sink holds frame 1 all along
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  sink_->SetBlocking(false);
  sink_->Unblock();
  ASSERT_TRUE(sink_->WaitForSamples(4, 5000));
  const auto got = sink_->Samples();
  EXPECT_EQ(FirstBytes(got), (std::vector<BYTE>{1, 2, 3, 4}));
  ASSERT_NE(pacer_->Pacer(), nullptr);
  for (const auto& s : got) {
    EXPECT_EQ(s.threadId, pacer_->Pacer()->ThreadId());
    EXPECT_NE(s.threadId, GetCurrentThreadId());
  }
}

TEST_F(VideoPacerTest, LateFramesAreDroppedAgainstTheStreamTime) {
  Run(100 * kMs);
  clock_->SetTime(1100 * kMs);  // stream time 1000 ms
  settings_->SetHwTimeStamp(1);
  ASSERT_EQ(source_->Push(StampedFrame(1, 978 * kMs, 990 * kMs)), S_OK);      // 22 ms late
  ASSERT_EQ(source_->Push(StampedFrame(2, 978 * kMs + 1, 990 * kMs)), S_OK);  // 21.9999 ms
  ASSERT_EQ(source_->Push(StampedFrame(3, 4000 * kMs, 4010 * kMs)), S_OK);    // future
  ASSERT_TRUE(sink_->WaitForSamples(2, 5000));
  ASSERT_TRUE(WaitBuffersHome());
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{2, 3}));
}

TEST_F(VideoPacerTest, StopReleasesEveryQueuedFrameWithoutDelivering) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 5; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));  // the delivery thread is inside frame 1's delivery
  ASSERT_EQ(source_->Stop(), S_OK);
  // The pacer stops with frames 2-5 queued, and the sink keeps running: it would record any
  // frame that still left.
  StartPacerStop();
  ASSERT_TRUE(WaitPacerStopped());
  // Stop waits for the delivery in progress...
  EXPECT_EQ(WaitForSingleObject(stopper_.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
  sink_->Unblock();
  ASSERT_EQ(WaitForSingleObject(stopper_.get(), 5000), WAIT_OBJECT_0);
  stopper_.reset();
  // ...and once it has returned every queued frame is home, none delivered.
  EXPECT_EQ(Outstanding(), 0);
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1}));
}

TEST_F(VideoPacerTest, FramesDownstreamTakesBeforeTheStopAreDeliveredOnceAndReleasedOnce) {
  // The sink lets its held frame go while it still takes frames (its own Stop does so before it
  // counts as stopped), the pacer still running: the delivery thread hands on the whole queue
  // before the pacer's Stop comes.
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 5; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  sink_->SetBlocking(false);
  ASSERT_TRUE(sink_->WaitForSamples(5, 5000));
  ASSERT_TRUE(WaitQueueEmpty());
  ASSERT_TRUE(StopAllWithin(3000));
  EXPECT_EQ(Outstanding(), 0);
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 2, 3, 4, 5}));
  // Nothing of the stopped stream comes out of the next run.
  ClearRecords();
  Run();
  ASSERT_EQ(source_->Push(Frame(6)), S_OK);
  EXPECT_EQ(WaitOne().firstByte, 6);
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{6}));
}

TEST_F(VideoPacerTest, BeginFlushCompletesWhileTheSinkHoldsADelivery) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 4; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  struct Flusher {
    static DWORD WINAPI Entry(void* p) {
      return static_cast<DWORD>(static_cast<TestPushSource*>(p)->PushBeginFlush());
    }
  };
  UniqueHandle thread(CreateThread(nullptr, 0, &Flusher::Entry, source_, 0, nullptr));
  // The sink would release itself after 10 s: well within that the flush must be through.
  ASSERT_EQ(WaitForSingleObject(thread.get(), 3000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(thread.get(), &code);
  EXPECT_EQ(static_cast<HRESULT>(code), S_OK);
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
  EXPECT_EQ(sink_->BeginFlushCount(), 1);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  EXPECT_TRUE(WaitBuffersHome());
  // Streaming goes on after the flush.
  sink_->SetBlocking(false);
  sink_->Unblock();
  ClearRecords();
  ASSERT_EQ(source_->Push(Frame(9)), S_OK);
  EXPECT_EQ(WaitOne().firstByte, 9);
}

// --- End of stream ---------------------------------------------------------------------------

TEST_F(VideoPacerTest, EndOfStreamReachesTheSinkOnlyAfterEveryQueuedFrame) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 4; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  const ULONGLONG t0 = GetTickCount64();
  EXPECT_EQ(source_->PushEndOfStream(), S_OK);
  EXPECT_LT(GetTickCount64() - t0, 2000u);  // queued, not waited for
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  // The sink still holds frame 1: the end of the stream must wait behind frames 2-4.
  EXPECT_FALSE(sink_->WaitForEndOfStream(200));
  sink_->SetBlocking(false);
  sink_->Unblock();
  ASSERT_TRUE(sink_->WaitForEndOfStream(5000));
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 2, 3, 4}));
  ASSERT_TRUE(WaitBuffersHome());
  EXPECT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(sink_->EndOfStreamCount(), 1);

  // A second run ends the same way, once more.
  StopAll();
  ClearRecords();
  Run();
  ASSERT_EQ(source_->Push(Frame(5)), S_OK);
  ASSERT_EQ(source_->Push(Frame(6)), S_OK);
  EXPECT_EQ(source_->PushEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForEndOfStream(5000));
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{5, 6}));
  ASSERT_TRUE(WaitBuffersHome());
  EXPECT_EQ(sink_->EndOfStreamCount(), 2);
}

TEST_F(VideoPacerTest, AFlushDiscardsAQueuedEndOfStream) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 3; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  EXPECT_EQ(source_->PushEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  struct Flusher {
    static DWORD WINAPI Entry(void* p) {
      return static_cast<DWORD>(static_cast<TestPushSource*>(p)->PushBeginFlush());
    }
  };
  UniqueHandle thread(CreateThread(nullptr, 0, &Flusher::Entry, source_, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(thread.get(), 3000), WAIT_OBJECT_0);
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
  // One arriving while flushing is refused at the input.
  EXPECT_EQ(source_->PushEndOfStream(), S_FALSE);
  sink_->SetBlocking(false);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  EXPECT_TRUE(WaitBuffersHome());
  EXPECT_FALSE(sink_->WaitForEndOfStream(200));
  EXPECT_EQ(sink_->EndOfStreamCount(), 0);

  // The stream after the flush ends with its own end of stream, and only that one.
  sink_->Unblock();
  ClearRecords();
  ASSERT_EQ(source_->Push(Frame(9)), S_OK);
  EXPECT_EQ(source_->PushEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForEndOfStream(5000));
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{9}));
  EXPECT_EQ(sink_->EndOfStreamCount(), 1);
}

TEST_F(VideoPacerTest, AStopEndsAFlushThatNeverSawItsEndFlush) {
  Run();
  ASSERT_EQ(source_->PushBeginFlush(), S_OK);
  StopAll();
  ClearRecords();
  Run();
  ASSERT_EQ(source_->Push(Frame(3)), S_OK);
  EXPECT_EQ(WaitOne().firstByte, 3);
}

TEST_F(VideoPacerTest, StopWithFramesAndAnEndOfStreamQueuedReturnsPromptly) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 5; ++i) ASSERT_EQ(source_->Push(Frame(i)), S_OK);
  EXPECT_EQ(source_->PushEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  EXPECT_EQ(sink_->EndOfStreamCount(), 0);  // the sink holds frame 1
  ASSERT_TRUE(StopAllWithin(3000));
  EXPECT_TRUE(WaitBuffersHome());
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
  // The sink lets its held frame go before it counts as stopped, so the rest of the stream may
  // get in meanwhile; the end of the stream then still came last, and once.
  const int ended = sink_->EndOfStreamCount();
  EXPECT_LE(ended, 1);
  if (ended == 1) {
    EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 2, 3, 4, 5}));
  }

  // Nothing of the stopped stream comes out of the next run.
  sink_->SetBlocking(false);
  ClearRecords();
  Run();
  ASSERT_EQ(source_->Push(Frame(7)), S_OK);
  EXPECT_EQ(WaitOne().firstByte, 7);
  EXPECT_FALSE(sink_->WaitForEndOfStream(100));
  EXPECT_EQ(sink_->EndOfStreamCount(), ended);
}

// --- New segments ----------------------------------------------------------------------------

namespace {

// The pacer's output goes to a sink that logs samples and segments in one list; all running.
class VideoPacerSegmentTest : public VideoPacerTest {
 protected:
  void SetUp() override {
    Build({MakeVideoType(16, 16)}, nullptr, false);
    order_ = OrderSink::Create();
    ASSERT_EQ(graph_->AddFilter(order_, L"order"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(pacer_->GetPin(1), order_->InputPin(), nullptr), S_OK);
    ASSERT_EQ(order_->Run(0), S_OK);
    Run();
  }
  void TearDown() override {
    if (!order_) return VideoPacerTest::TearDown();
    if (graph_) {
      order_->Stop();  // downstream first
      StopAll();
      order_->InputPin()->Disconnect();  // its hold on the pacer's output goes
    }
    VideoPacerTest::TearDown();
    EXPECT_EQ(order_->Release(), 0u);
  }
  static OrderSink::Event Sample(BYTE fill) {
    OrderSink::Event event;
    event.firstByte = fill;
    return event;
  }
  static OrderSink::Event Segment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    OrderSink::Event event;
    event.segment = true;
    event.start = start;
    event.stop = stop;
    event.rate = rate;
    return event;
  }
  void ExpectEvents(const std::vector<OrderSink::Event>& want) {
    const auto got = order_->Events();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(got[i].segment, want[i].segment) << i;
      if (want[i].segment) {
        EXPECT_EQ(got[i].start, want[i].start) << i;
        EXPECT_EQ(got[i].stop, want[i].stop) << i;
        EXPECT_EQ(got[i].rate, want[i].rate) << i;
      } else {
        EXPECT_EQ(got[i].firstByte, want[i].firstByte) << i;
      }
    }
  }

  OrderSink* order_ = nullptr;
};

}  // namespace

TEST_F(VideoPacerSegmentTest, ANewSegmentReachesTheSinkBetweenTheFramesAroundIt) {
  order_->HoldFirst();
  ASSERT_EQ(source_->Push(Frame(1)), S_OK);
  ASSERT_EQ(source_->Push(Frame(2)), S_OK);
  ASSERT_TRUE(order_->WaitForEvents(1, 5000));  // the sink holds frame 1
  ASSERT_EQ(source_->PushNewSegment(10 * kMs, 90 * kMs, 2.0), S_OK);
  ASSERT_EQ(source_->Push(Frame(3)), S_OK);
  ASSERT_EQ(source_->Push(Frame(4)), S_OK);
  // The filter's own input has taken the segment at once; downstream waits behind frame 2.
  const auto* in = static_cast<CBasePin*>(pacer_->GetPin(0));
  EXPECT_EQ(in->CurrentStartTime(), 10 * kMs);
  EXPECT_EQ(in->CurrentStopTime(), 90 * kMs);
  EXPECT_EQ(in->CurrentRate(), 2.0);
  EXPECT_FALSE(order_->WaitForEvents(2, 200));
  order_->ReleaseHeld();
  ASSERT_TRUE(order_->WaitForEvents(5, 5000));
  ExpectEvents({Sample(1), Sample(2), Segment(10 * kMs, 90 * kMs, 2.0), Sample(3), Sample(4)});
  EXPECT_TRUE(WaitBuffersHome());
  EXPECT_TRUE(WaitQueueEmpty());
}

TEST_F(VideoPacerSegmentTest, AFlushDiscardsAQueuedNewSegment) {
  order_->HoldFirst();
  ASSERT_EQ(source_->Push(Frame(1)), S_OK);
  ASSERT_EQ(source_->Push(Frame(2)), S_OK);
  ASSERT_TRUE(order_->WaitForEvents(1, 5000));
  ASSERT_EQ(source_->PushNewSegment(5 * kMs, 50 * kMs, 1.0), S_OK);
  ASSERT_EQ(source_->Push(Frame(3)), S_OK);
  struct Flusher {
    static DWORD WINAPI Entry(void* p) {
      return static_cast<DWORD>(static_cast<TestPushSource*>(p)->PushBeginFlush());
    }
  };
  UniqueHandle thread(CreateThread(nullptr, 0, &Flusher::Entry, source_, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(thread.get(), 3000), WAIT_OBJECT_0);
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
  // One arriving while flushing goes on at once: every queued frame is gone, none is overtaken.
  ASSERT_EQ(source_->PushNewSegment(7 * kMs, 70 * kMs, 1.0), S_OK);
  ASSERT_EQ(source_->PushEndFlush(), S_OK);
  EXPECT_TRUE(WaitBuffersHome());
  EXPECT_FALSE(order_->WaitForEvents(3, 200));
  ExpectEvents({Sample(1), Segment(7 * kMs, 70 * kMs, 1.0)});

  // The stream after the flush brings its own segment, delivered before its frames.
  ASSERT_EQ(source_->PushNewSegment(8 * kMs, 80 * kMs, 1.0), S_OK);
  ASSERT_EQ(source_->Push(Frame(9)), S_OK);
  ASSERT_TRUE(order_->WaitForEvents(4, 5000));
  EXPECT_TRUE(WaitQueueEmpty());
  ExpectEvents({Sample(1), Segment(7 * kMs, 70 * kMs, 1.0), Segment(8 * kMs, 80 * kMs, 1.0), Sample(9)});
}

TEST_F(VideoPacerSegmentTest, WhileStoppedANewSegmentGoesOnAtOnce) {
  StopAll();
  ASSERT_EQ(source_->PushNewSegment(3 * kMs, 30 * kMs, 1.0), S_OK);
  ExpectEvents({Segment(3 * kMs, 30 * kMs, 1.0)});
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
}

TEST_F(VideoPacerTest, AllocatorRequestComesFromTheSetting) {
  IMemInputPin* input = nullptr;
  ASSERT_EQ(pacer_->GetPin(0)->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input)), S_OK);
  ALLOCATOR_PROPERTIES props{};
  EXPECT_EQ(input->GetAllocatorRequirements(&props), E_NOTIMPL);  // setting 0, no request
  props.cBuffers = 2;
  EXPECT_EQ(input->GetAllocatorRequirements(&props), S_OK);
  EXPECT_EQ(props.cBuffers, 2);
  settings_->SetAllocatorBuffers(5);
  props = ALLOCATOR_PROPERTIES{0, 123, 4, 0};
  EXPECT_EQ(input->GetAllocatorRequirements(&props), S_OK);
  EXPECT_EQ(props.cBuffers, 5);
  EXPECT_EQ(props.cbBuffer, 123);  // the rest is left alone
  EXPECT_EQ(props.cbAlign, 4);
  settings_->SetAllocatorBuffers(-3);
  props = ALLOCATOR_PROPERTIES{};
  EXPECT_EQ(input->GetAllocatorRequirements(&props), E_NOTIMPL);
  EXPECT_EQ(input->GetAllocatorRequirements(nullptr), E_POINTER);
  input->Release();
}

TEST(VideoPacerAllocator, UpstreamIsAskedForTheConfiguredBuffers) {
  StubGraph* graph = StubGraph::Create();
  TestPushSource* source = TestPushSource::Create({MakeVideoType(16, 16)});
  IBaseFilter* filter = CreateFilter<VideoPacer>();
  auto* pacer = static_cast<VideoPacer*>(filter);
  pacer->Settings()->SetAllocatorBuffers(7);
  graph->AddFilter(source, L"source");
  graph->AddFilter(filter, L"pacer");
  ASSERT_EQ(graph->ConnectDirect(source->OutputPin(), pacer->GetPin(0), nullptr), S_OK);
  EXPECT_EQ(source->PeerRequirements().cBuffers, 7);
  EXPECT_GE(source->Granted().cBuffers, 7);
  source->OutputPin()->Disconnect();
  pacer->GetPin(0)->Disconnect();
  EXPECT_EQ(source->Release(), 1u);
  EXPECT_EQ(filter->Release(), 1u);
  EXPECT_EQ(graph->Release(), 0u);
}

// --- Types -------------------------------------------------------------------------------------

TEST(VideoPacerTypes, FieldVideoOnlyAsNtscWithItsFortyByteBlock) {
  IBaseFilter* filter = CreateFilter<VideoPacer>();
  auto* pacer = static_cast<VideoPacer*>(filter);
  IPin* input = pacer->GetPin(0);
  const CMediaType ntsc = MakeFieldVideoType(720, 480);
  EXPECT_EQ(input->QueryAccept(&ntsc), S_OK);
  // Refused types: QueryAccept answers S_FALSE, the check itself 0x8004022A.
  const CMediaType pal = MakeFieldVideoType(720, 576, true);
  EXPECT_EQ(input->QueryAccept(&pal), S_FALSE);
  EXPECT_EQ(pacer->CheckInputType(&pal), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType longer = ntsc;
  longer.ReallocFormatBuffer(44);
  EXPECT_EQ(pacer->CheckInputType(&longer), VFW_E_TYPE_NOT_ACCEPTED);
  const CMediaType tiled = MakeVideoType(720, 480, MEDIASUBTYPE_Tiled420);
  EXPECT_EQ(input->QueryAccept(&tiled), S_OK);
  const CMediaType rgb = MakeVideoType(16, 16, MEDIASUBTYPE_RGB32);
  EXPECT_EQ(pacer->CheckInputType(&rgb), static_cast<HRESULT>(0x8004022A));
  CMediaType audio;
  audio.SetType(&MEDIATYPE_Audio);
  audio.SetSubtype(&MEDIASUBTYPE_PCM);
  EXPECT_EQ(pacer->CheckInputType(&audio), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(filter->Release(), 0u);
}

namespace {

class VideoPacerOfferTest : public VideoPacerTest {
 protected:
  void SetUp() override {}
};

}  // namespace

TEST_F(VideoPacerOfferTest, VideoInfoIsRefusedWhenUpstreamAlsoOffersVideoInfo2) {
  const CMediaType vi = MakeVideoType(16, 16);
  Build({MakeVideoType(16, 16, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2), vi}, &vi, false);
  EXPECT_NE(connectResult_, S_OK);
  EXPECT_TRUE(pacer_->VideoInfo2Offered());
  const CMediaType vi2 = MakeVideoType(16, 16, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
  EXPECT_EQ(graph_->ConnectDirect(source_->OutputPin(), pacer_->GetPin(0), &vi2), S_OK);
}

TEST_F(VideoPacerOfferTest, VideoInfoIsAcceptedWhenUpstreamOffersNoVideoInfo2) {
  const CMediaType vi = MakeVideoType(16, 16);
  Build({vi, MakeVideoType(16, 16, MEDIASUBTYPE_Tiled420)}, &vi, true);
  EXPECT_EQ(connectResult_, S_OK);
  EXPECT_FALSE(pacer_->VideoInfo2Offered());
}

namespace {

// Field video: the pacer connected but left stopped, its Transform called directly on samples
// the test owns, so that the header can be read afterwards (a stopped pacer releases queued
// frames without delivering them).
class VideoPacerFieldTest : public VideoPacerTest {
 protected:
  void SetUp() override { Build({MakeFieldVideoType(720, 480)}); }
  IMediaSample* Sample(LONG actual, LONGLONG duration) {
    IMediaSample* s = pool_.Get(0xAB);
    EXPECT_NE(s, nullptr);
    BYTE* data = nullptr;
    s->GetPointer(&data);
    std::memcpy(data + offsetof(field_video::FieldFrameHeader, duration), &duration, sizeof(duration));
    s->SetActualDataLength(actual);
    return s;
  }
  LONGLONG HeaderStart(IMediaSample* s) {
    BYTE* data = nullptr;
    s->GetPointer(&data);
    LONGLONG start = 0;
    std::memcpy(&start, data + offsetof(field_video::FieldFrameHeader, startTime), sizeof(start));
    return start;
  }
  BufferPool pool_{4, 256};
};

}  // namespace

TEST_F(VideoPacerFieldTest, TheHeaderCarriesTheStartAndGivesTheDuration) {
  clock_->SetTime(700 * kMs);
  IMediaSample* s = Sample(256, 400000);
  EXPECT_EQ(pacer_->Transform(s), S_FALSE);
  EXPECT_EQ(HeaderStart(s), 700 * kMs);
  REFERENCE_TIME start = 0, stop = 0;
  EXPECT_EQ(s->GetTime(&start, &stop), S_OK);
  EXPECT_EQ(start, 700 * kMs);
  EXPECT_EQ(stop, 700 * kMs + 400000);
  s->Release();

  settings_->SetTimeStamping(0);
  s = Sample(256, 400000);
  EXPECT_EQ(pacer_->Transform(s), S_FALSE);
  EXPECT_EQ(HeaderStart(s), 0);
  EXPECT_EQ(s->GetTime(&start, &stop), VFW_E_SAMPLE_TIME_NOT_SET);
  s->Release();
  EXPECT_TRUE(WaitBuffersHome());
  const ULONGLONG end = GetTickCount64() + 5000;
  while (pool_.Outstanding() != 0 && GetTickCount64() < end) Sleep(1);
  EXPECT_EQ(pool_.Outstanding(), 0);
}

TEST_F(VideoPacerFieldTest, ASampleTooShortForTheHeaderIsRefused) {
  IMediaSample* s = Sample(47, 400000);
  BYTE before[48];
  BYTE* data = nullptr;
  s->GetPointer(&data);
  std::memcpy(before, data, sizeof(before));
  EXPECT_EQ(pacer_->Transform(s), E_UNEXPECTED);
  EXPECT_EQ(std::memcmp(before, data, sizeof(before)), 0);  // nothing written
  EXPECT_EQ(pacer_->Pacer()->QueuedCount(), 0u);
  s->Release();
}

TEST_F(VideoPacerTest, AFormatWithoutAFrameTimeIsRefused) {
  // A VideoInfo block cut short of AvgTimePerFrame.
  TearDown();
  CMediaType cut = MakeVideoType(16, 16);
  cut.ReallocFormatBuffer(24);
  Build({cut});
  ASSERT_EQ(connectResult_, S_OK);
  Run();
  EXPECT_EQ(source_->Push(Frame(1)), E_UNEXPECTED);
  EXPECT_EQ(sink_->SampleCount(), 0u);
}

// --- Identity ----------------------------------------------------------------------------------

TEST(VideoPacerIdentity, InterfacesPinsAggregationAndFinalRelease) {
  IBaseFilter* filter = CreateFilter<VideoPacer>();
  ASSERT_NE(filter, nullptr);
  ExpectInterfaces(filter,
                   {&IID_IUnknown, &IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist, &IID_IPacerSettings,
                    &IID_ISpecifyPropertyPages},
                   {&IID_IReferenceClock, &IID_IPin, &IID_IMemInputPin, &IID_IPropertyPage,
                    &IID_IMediaSeeking, &IID_IClassFactory});
  IPin* in = nullptr;
  ASSERT_EQ(filter->FindPin(L"In", &in), S_OK);
  PIN_INFO info{};
  ASSERT_EQ(in->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"Video Input");
  EXPECT_EQ(info.dir, PINDIR_INPUT);
  info.pFilter->Release();
  ULONG count = 0;
  EXPECT_EQ(in->QueryInternalConnections(nullptr, &count), E_NOTIMPL);
  in->Release();
  auto* pacer = static_cast<VideoPacer*>(filter);
  ASSERT_EQ(pacer->GetPin(1)->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"Output");
  info.pFilter->Release();
  EXPECT_EQ(pacer->GetPin(2), nullptr);
  ASSERT_NE(pacer->Pacer(), nullptr);
  EXPECT_TRUE(pacer->Pacer()->IsRunning());
  CLSID clsid{};
  EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_VideoPacer));
  EXPECT_EQ(filter->Release(), 0u);

  graph_testkit::ExpectAggregates(&VideoPacer::CreateInstance, IID_ISpecifyPropertyPages);
}

TEST_F(VideoPacerTest, StateChangesWriteInAndOutTraceRecords) {
  testing_support::DebugOutputCapture capture;
  Run();
  StopAll();
  for (const wchar_t* name : {L"VideoPacer::Run()", L"VideoPacer::Pause()", L"VideoPacer::Stop()"}) {
    const auto lines = capture.Containing(name);
    bool in = false, out = false;
    for (const auto& line : lines) {
      in = in || line.find(L"[IN]") != std::wstring::npos;
      out = out || line.find(L"[OUT]") != std::wstring::npos;
    }
    EXPECT_TRUE(in && out) << name;
  }
}

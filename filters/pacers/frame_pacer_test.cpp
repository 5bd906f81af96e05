// The delivery thread on a small filter of the base library: order and thread of delivery,
// the late-frame rule against the manual clock, frames without times or without a clock, the
// end of the stream and new segments behind the frames, stopped filters, flushes and
// destruction with frames still queued.
#include "filters/pacers/frame_pacer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "common/testing/debug_capture.h"
#include "common/testing/freed_memory_guard.h"
#include "common/testing/time_scale.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/pacers/pacer_registry.h"
#include "filters/pacers/testing/pacer_test_support.h"

using namespace graph_testkit;
using namespace pacer_testing;

namespace {

constexpr LONGLONG kMs = pacer::kUnitsPerMs;

class OutPin final : public CBaseOutputPin {
 public:
  OutPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
      : CBaseOutputPin(L"Paced out", filter, lock, phr, L"Out") {}
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    ALLOCATOR_PROPERTIES want{1, 64, 1, 0}, got{};
    (void)request;
    return allocator->SetProperties(&want, &got);
  }
};

// A filter with one output pin and a delivery thread behind it.
class PacedFilter final : public CBaseFilter {
 public:
  static PacedFilter* Create(FramePacer::WaitFunction wait = nullptr) {
    HRESULT hr = S_OK;
    auto* f = new PacedFilter(&hr, wait);
    f->NonDelegatingAddRef();
    EXPECT_EQ(hr, S_OK);
    return f;
  }
  ~PacedFilter() override {
    pacer_.reset();
    if (destroyed_) SetEvent(destroyed_);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin_.get() : nullptr; }
  STDMETHODIMP Stop() override {
    const HRESULT hr = CBaseFilter::Stop();
    if (pacer_) pacer_->Flush();
    return hr;
  }
  FramePacer& pacer() { return *pacer_; }
  void DropPacer() { pacer_.reset(); }
  void SignalOnDestruction(HANDLE event) { destroyed_ = event; }

 private:
  PacedFilter(HRESULT* phr, FramePacer::WaitFunction wait)
      : CBaseFilter(L"Paced", nullptr, &lock_, GUID_NULL, phr) {
    pin_ = std::make_unique<OutPin>(this, &lock_, phr);
    pacer_ = std::make_unique<FramePacer>(this, pin_.get(), phr, wait);
  }
  CCritSec lock_;
  std::unique_ptr<OutPin> pin_;
  std::unique_ptr<FramePacer> pacer_;
  HANDLE destroyed_ = nullptr;
};

class FramePacerTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(); }
  void Build(FramePacer::WaitFunction wait = nullptr) {
    graph_ = StubGraph::Create();
    filter_ = PacedFilter::Create(wait);
    sink_ = RecordingSink::Create();
    clock_ = ManualClock::Create(0);
    ASSERT_EQ(graph_->AddFilter(filter_, L"paced"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
    const CMediaType type = MakeVideoType(16, 16);
    ASSERT_EQ(graph_->ConnectDirect(filter_->GetPin(0), sink_->InputPin(), &type), S_OK);
    ASSERT_EQ(filter_->SetSyncSource(clock_), S_OK);
  }
  void Run(REFERENCE_TIME tStart = 0) {
    ASSERT_EQ(sink_->Run(tStart), S_OK);
    ASSERT_EQ(filter_->Run(tStart), S_OK);
  }
  // Queues a buffer of the pool marked with `fill`; start < 0: no times.
  void Queue(BYTE fill, REFERENCE_TIME start) {
    REFERENCE_TIME stop = start + 10 * kMs;
    IMediaSample* s = start >= 0 ? pool_.Get(fill, &start, &stop) : pool_.Get(fill);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(filter_->pacer().Queue(s), S_OK);
    s->Release();
  }
  bool WaitQueueEmpty(DWORD timeoutMs = 5000) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (filter_->pacer().QueuedCount() != 0 || pool_.Outstanding() != 0) {
      if (GetTickCount64() > end) return false;
      Sleep(1);
    }
    return true;
  }
  void TearDown() override {
    if (!filter_) return;
    filter_->Stop();
    sink_->Stop();
    filter_->GetPin(0)->Disconnect();
    sink_->InputPin()->Disconnect();
    filter_->SetSyncSource(nullptr);
    EXPECT_EQ(filter_->Release(), 1u);
    EXPECT_EQ(sink_->Release(), 1u);
    EXPECT_EQ(graph_->Release(), 0u);
    EXPECT_EQ(clock_->Release(), 0u);
    EXPECT_EQ(pool_.Outstanding(), 0);
  }

  BufferPool pool_{16, 64};
  StubGraph* graph_ = nullptr;
  PacedFilter* filter_ = nullptr;
  RecordingSink* sink_ = nullptr;
  ManualClock* clock_ = nullptr;
};

std::vector<BYTE> FirstBytes(const std::vector<ReceivedSample>& samples) {
  std::vector<BYTE> bytes;
  for (const auto& s : samples) bytes.push_back(s.firstByte);
  return bytes;
}

}  // namespace

TEST_F(FramePacerTest, DeliversOnItsOwnThreadInArrivalOrderWithoutBlockingTheCaller) {
  Run();
  sink_->SetBlocking(true);  // the renderer holds every sample until released
  const ULONGLONG t0 = GetTickCount64();
  for (BYTE i = 1; i <= 5; ++i) Queue(i, 0);
  EXPECT_LT(GetTickCount64() - t0, 2000u);  // Queue never waits for downstream
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  sink_->SetBlocking(false);
  sink_->Unblock();
  ASSERT_TRUE(sink_->WaitForSamples(5, 5000));
  ASSERT_TRUE(WaitQueueEmpty());
  const auto got = sink_->Samples();
  EXPECT_EQ(FirstBytes(got), (std::vector<BYTE>{1, 2, 3, 4, 5}));
  for (const auto& s : got) {
    EXPECT_EQ(s.threadId, filter_->pacer().ThreadId());
    EXPECT_NE(s.threadId, GetCurrentThreadId());
  }
}

TEST_F(FramePacerTest, DropsFramesLateByTheDropTimeWithTheTraceText) {
  testing_support::DebugOutputCapture capture;
  Run(100 * kMs);
  clock_->SetTime(100 * kMs + 1000 * kMs);  // stream time 1000 ms
  Queue(1, 1000 * kMs - 22 * kMs);          // 22 ms late: dropped
  Queue(2, 1000 * kMs - 22 * kMs + 1);      // 21.9999 ms late: delivered
  Queue(3, 5000 * kMs);                     // in the future: delivered at once
  Queue(4, 0);                              // a second late: dropped
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{2, 3}));
  EXPECT_EQ(capture.Containing(L"Sample is too late. Drop 1 frame").size(), 2u);
  for (const auto& text : capture.Containing(L"Sample is too late. Drop 1 frame")) {
    EXPECT_NE(text.find(L"[TRACE]"), std::wstring::npos) << text;
  }
}

TEST_F(FramePacerTest, FramesWithoutTimesOrWithoutAClockGoOnAtOnce) {
  Run();
  clock_->SetTime(60000 * kMs);
  Queue(1, -1);  // no start time: nothing to measure lateness by
  ASSERT_TRUE(WaitQueueEmpty());
  ASSERT_EQ(filter_->SetSyncSource(nullptr), S_OK);
  Queue(2, 0);  // a minute late, but no clock to tell
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 2}));
}

TEST_F(FramePacerTest, AStoppedFilterReleasesFramesWithoutDelivering) {
  // Never run: the filter is stopped.
  Queue(1, 0);
  Queue(2, 0);
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(sink_->SampleCount(), 0u);
  EXPECT_EQ(pool_.Outstanding(), 0);
}

TEST_F(FramePacerTest, EndOfStreamFollowsTheFramesBeforeItDeliveredOrDropped) {
  Run(100 * kMs);
  clock_->SetTime(100 * kMs + 1000 * kMs);  // stream time 1000 ms
  sink_->SetBlocking(true);
  Queue(1, 5000 * kMs);
  Queue(2, 0);  // a second late: dropped
  Queue(3, 5000 * kMs);
  ASSERT_EQ(filter_->pacer().QueueEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  EXPECT_FALSE(sink_->WaitForEndOfStream(100));  // the sink holds frame 1
  sink_->SetBlocking(false);
  sink_->Unblock();
  ASSERT_TRUE(sink_->WaitForEndOfStream(5000));
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 3}));
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(sink_->EndOfStreamCount(), 1);
}

TEST_F(FramePacerTest, AStoppedFilterOrAFlushDiscardsTheEndOfStream) {
  ASSERT_EQ(sink_->Run(0), S_OK);  // downstream would take it; the paced filter is stopped
  Queue(1, 0);
  ASSERT_EQ(filter_->pacer().QueueEndOfStream(), S_OK);
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(sink_->EndOfStreamCount(), 0);

  // A flush as the video pacer passes it on: delivery off, downstream's flush (it releases the
  // held frame 2), the queue, downstream's end, delivery on. Frame 3 and the mark go nowhere.
  ASSERT_EQ(filter_->Run(0), S_OK);
  sink_->SetBlocking(true);
  Queue(2, 0);
  Queue(3, 0);
  ASSERT_EQ(filter_->pacer().QueueEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  filter_->pacer().SetFlushing(true);
  ASSERT_EQ(sink_->InputPin()->BeginFlush(), S_OK);
  filter_->pacer().Flush();
  EXPECT_EQ(filter_->pacer().QueuedCount(), 0u);
  sink_->SetBlocking(false);
  ASSERT_EQ(sink_->InputPin()->EndFlush(), S_OK);
  filter_->pacer().SetFlushing(false);
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_FALSE(sink_->WaitForEndOfStream(100));
  EXPECT_EQ(sink_->EndOfStreamCount(), 0);
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{2}));

  // Delivery goes on after the flush.
  Queue(4, 0);
  ASSERT_EQ(filter_->pacer().QueueEndOfStream(), S_OK);
  ASSERT_TRUE(sink_->WaitForEndOfStream(5000));
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{2, 4}));
  ASSERT_TRUE(WaitQueueEmpty());
}

TEST_F(FramePacerTest, ANewSegmentFollowsTheFramesBeforeItAndAFlushDiscardsIt) {
  // Stopped or flushing, every queued frame leaves undelivered: nothing is queued, the caller
  // passes the segment on itself.
  EXPECT_EQ(filter_->pacer().QueueNewSegment(1, 2, 1.0), S_FALSE);
  Run();
  filter_->pacer().SetFlushing(true);
  EXPECT_EQ(filter_->pacer().QueueNewSegment(1, 2, 1.0), S_FALSE);
  filter_->pacer().SetFlushing(false);
  EXPECT_EQ(filter_->pacer().QueuedCount(), 0u);

  CBaseInputPin* in = sink_->Input();
  sink_->SetBlocking(true);
  Queue(1, 0);
  ASSERT_EQ(filter_->pacer().QueueNewSegment(10 * kMs, 20 * kMs, 0.5), S_OK);
  Queue(2, 0);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  EXPECT_EQ(sink_->NewSegmentCount(), 0);  // the sink holds frame 1
  sink_->SetBlocking(false);
  sink_->Unblock();
  ASSERT_TRUE(sink_->WaitForSamples(2, 5000));
  ASSERT_TRUE(WaitQueueEmpty());
  // Once frame 1's delivery had returned, and before frame 2's.
  EXPECT_EQ(sink_->NewSegmentPlaces(), std::vector<size_t>{1});
  EXPECT_EQ(in->CurrentStartTime(), 10 * kMs);
  EXPECT_EQ(in->CurrentStopTime(), 20 * kMs);
  EXPECT_EQ(in->CurrentRate(), 0.5);

  // A flush as the video pacer passes it on: the segment queued behind the held frame 3 goes
  // nowhere, and delivery goes on after it.
  sink_->SetBlocking(true);
  Queue(3, 0);
  ASSERT_EQ(filter_->pacer().QueueNewSegment(30 * kMs, 40 * kMs, 1.0), S_OK);
  ASSERT_TRUE(sink_->WaitForSamples(3, 5000));
  filter_->pacer().SetFlushing(true);
  ASSERT_EQ(sink_->InputPin()->BeginFlush(), S_OK);
  filter_->pacer().Flush();
  EXPECT_EQ(filter_->pacer().QueuedCount(), 0u);
  sink_->SetBlocking(false);
  ASSERT_EQ(sink_->InputPin()->EndFlush(), S_OK);
  filter_->pacer().SetFlushing(false);
  Queue(4, 0);
  ASSERT_TRUE(sink_->WaitForSamples(4, 5000));
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 2, 3, 4}));
  EXPECT_EQ(sink_->NewSegmentPlaces(), std::vector<size_t>{1});
  EXPECT_EQ(in->CurrentStartTime(), 10 * kMs);
}

TEST_F(FramePacerTest, WhileFlushingQueuedEntriesAreDroppedNotDelivered) {
  Run();
  filter_->pacer().SetFlushing(true);
  Queue(1, 0);
  ASSERT_EQ(filter_->pacer().QueueEndOfStream(), S_OK);
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(sink_->SampleCount(), 0u);
  EXPECT_EQ(sink_->EndOfStreamCount(), 0);
  filter_->pacer().SetFlushing(false);
  Queue(2, 0);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{2}));
}

TEST_F(FramePacerTest, FlushReleasesQueuedFramesAndWaitsForTheDeliveryInProgress) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 4; ++i) Queue(i, 0);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));  // frame 1 held by the sink
  // The flush must wait for the held delivery, so release the sink from another thread (which
  // starts after the flush has begun, as a rule); once Flush returns, that delivery has returned.
  struct Releaser {
    static DWORD WINAPI Entry(void* p) {
      static_cast<RecordingSink*>(p)->Unblock();
      return 0;
    }
  };
  sink_->SetBlocking(false);
  UniqueHandle t(CreateThread(nullptr, 0, &Releaser::Entry, sink_, 0, nullptr));
  filter_->pacer().Flush();
  EXPECT_GE(sink_->ReceivesReturned(), 1u);
  EXPECT_EQ(filter_->pacer().QueuedCount(), 0u);
  EXPECT_EQ(WaitForSingleObject(t.get(), 5000), WAIT_OBJECT_0);
  ASSERT_TRUE(WaitQueueEmpty());
}

TEST_F(FramePacerTest, DestructionWithQueuedFramesAndABlockedDeliveryEndsPromptly) {
  Run();
  sink_->SetBlocking(true);
  for (BYTE i = 1; i <= 6; ++i) Queue(i, 0);
  ASSERT_TRUE(sink_->WaitForSamples(1, 5000));
  filter_->pacer().SetStopTimeout(10000);
  const ULONGLONG t0 = GetTickCount64();
  // The graph stops the renderer first: that frees the held delivery.
  sink_->Stop();
  filter_->DropPacer();
  EXPECT_LT(GetTickCount64() - t0, 3000u);
  EXPECT_EQ(pool_.Outstanding(), 0);
}

TEST_F(FramePacerTest, QueueRefusesWhenTheThreadHasEndedAndNullSamples) {
  EXPECT_EQ(filter_->pacer().Queue(nullptr), E_POINTER);
  EXPECT_TRUE(filter_->pacer().IsRunning());
}

TEST(FrameQueue, HoldsOneReferencePerSampleInOrder) {
  BufferPool pool(4, 16);
  FrameQueue queue;
  IMediaSample* a = pool.Get(1);
  IMediaSample* b = pool.Get(2);
  ASSERT_EQ(queue.Push(a), S_OK);
  ASSERT_EQ(queue.Push(b), S_OK);
  EXPECT_EQ(queue.Push(nullptr), E_POINTER);
  EXPECT_EQ(RefCount(a), 2u);
  a->Release();
  b->Release();
  EXPECT_EQ(queue.Size(), 2u);
  EXPECT_EQ(queue.Front(), a);
  queue.PopFront();
  EXPECT_EQ(queue.Front(), b);
  EXPECT_EQ(pool.Outstanding(), 1);
  EXPECT_EQ(queue.Clear(), 1u);
  EXPECT_TRUE(queue.Empty());
  EXPECT_EQ(pool.Outstanding(), 0);
  queue.PopFront();  // empty: nothing happens
}

TEST(FrameQueue, KeepsEndOfStreamMarksInPlaceAmongTheSamples) {
  BufferPool pool(4, 16);
  FrameQueue queue;
  IMediaSample* a = pool.Get(1);
  IMediaSample* b = pool.Get(2);
  ASSERT_EQ(queue.Push(a), S_OK);
  ASSERT_EQ(queue.PushEndOfStream(), S_OK);
  ASSERT_EQ(queue.Push(b), S_OK);
  a->Release();
  b->Release();
  EXPECT_EQ(queue.Size(), 3u);
  EXPECT_FALSE(queue.EndOfStreamAtFront());
  queue.PopFront();
  EXPECT_TRUE(queue.EndOfStreamAtFront());
  EXPECT_EQ(queue.Front(), nullptr);
  EXPECT_EQ(pool.Outstanding(), 1);
  queue.PopFront();  // the mark: nothing released
  EXPECT_EQ(pool.Outstanding(), 1);
  EXPECT_EQ(queue.Front(), b);
  ASSERT_EQ(queue.PushEndOfStream(), S_OK);
  ASSERT_EQ(queue.PushNewSegment(5, 9, 2.0), S_OK);
  EXPECT_EQ(queue.Clear(), 1u);  // samples only
  EXPECT_TRUE(queue.Empty());
  EXPECT_FALSE(queue.EndOfStreamAtFront());
  EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(FrameQueue, NewSegmentMarksCarryTheirValuesInPlace) {
  BufferPool pool(4, 16);
  FrameQueue queue;
  IMediaSample* a = pool.Get(1);
  ASSERT_EQ(queue.Push(a), S_OK);
  ASSERT_EQ(queue.PushNewSegment(-5, 0x7FFFFFFFFFFFFFFFLL, -1.5), S_OK);
  ASSERT_EQ(queue.PushEndOfStream(), S_OK);
  a->Release();
  FrameQueue::Entry head;
  ASSERT_TRUE(queue.PeekFront(&head));
  EXPECT_EQ(head.kind, FrameQueue::Entry::Kind::kSample);
  EXPECT_EQ(head.sample.Get(), a);
  EXPECT_EQ(RefCount(a), 2u);  // the queue's and the copy's
  queue.PopFront();
  EXPECT_EQ(RefCount(a), 1u);  // the copy keeps its own
  ASSERT_TRUE(queue.PeekFront(&head));
  EXPECT_EQ(pool.Outstanding(), 0);
  EXPECT_EQ(head.kind, FrameQueue::Entry::Kind::kNewSegment);
  EXPECT_EQ(head.sample, nullptr);
  EXPECT_EQ(head.start, -5);
  EXPECT_EQ(head.stop, 0x7FFFFFFFFFFFFFFFLL);
  EXPECT_EQ(head.rate, -1.5);
  EXPECT_EQ(queue.Front(), nullptr);
  EXPECT_FALSE(queue.EndOfStreamAtFront());
  queue.PopFront();
  EXPECT_TRUE(queue.EndOfStreamAtFront());
  queue.PopFront();
  EXPECT_FALSE(queue.PeekFront(&head));
}

// Machine settings are read by each new delivery thread.
class FramePacerDropOffTest : public FramePacerTest {
 protected:
  void SetUp() override {
    off_ = std::make_unique<MachineValue>(kBoardInfoSubKey, pacer::kFrameDropValue, 0);
    Build();
  }
  void TearDown() override {
    FramePacerTest::TearDown();
    off_.reset();
  }
  std::unique_ptr<MachineValue> off_;
};

TEST_F(FramePacerDropOffTest, FrameDropZeroNeverDrops) {
  Run();
  clock_->SetTime(60000 * kMs);
  Queue(1, 0);  // a minute late
  Queue(2, 59000 * kMs);
  ASSERT_TRUE(WaitQueueEmpty());
  EXPECT_EQ(FirstBytes(sink_->Samples()), (std::vector<BYTE>{1, 2}));
}

TEST(FrameDropRule, ReadsBothMachineValuesAndKeepsDefaultsForMissingOnes) {
  EXPECT_EQ(pacer::FrameDropRule::FromRegistry().dropEnabled, 1u);
  EXPECT_EQ(pacer::FrameDropRule::FromRegistry().dropTimeMs, 22u);
  MachineValue time(kBoardInfoSubKey, pacer::kFrameDropTimeValue, 40);
  EXPECT_EQ(pacer::FrameDropRule::FromRegistry().dropTimeMs, 40u);
  EXPECT_EQ(pacer::FrameDropRule::FromRegistry().dropEnabled, 1u);
}

TEST(FrameDropRule, ReadsFourByteValuesOfAnyTypeAndNothingElse) {
  // Board settings stored as four binary bytes count like DWORDs.
  const DWORD off = 0;
  const DWORD time = 35;
  {
    MachineValue drop(kBoardInfoSubKey, pacer::kFrameDropValue, REG_BINARY, &off, sizeof(off));
    MachineValue dropTime(kBoardInfoSubKey, pacer::kFrameDropTimeValue, REG_BINARY, &time, sizeof(time));
    const pacer::FrameDropRule rule = pacer::FrameDropRule::FromRegistry();
    EXPECT_EQ(rule.dropEnabled, 0u);
    EXPECT_EQ(rule.dropTimeMs, 35u);
  }
  // A value of another length cannot be read as one: the default stays.
  const ULONGLONG wide = 7;
  MachineValue dropTime(kBoardInfoSubKey, pacer::kFrameDropTimeValue, REG_QWORD, &wide, sizeof(wide));
  MachineValue drop(kBoardInfoSubKey, pacer::kFrameDropValue, REG_SZ, L"", sizeof(wchar_t));
  const pacer::FrameDropRule rule = pacer::FrameDropRule::FromRegistry();
  EXPECT_EQ(rule.dropTimeMs, 22u);
  EXPECT_EQ(rule.dropEnabled, 1u);
}

namespace {

// A wait that fails every time, once the test lets it (the filter must be in its graph first).
HANDLE g_letWaitFail = nullptr;
std::atomic<int> g_failedWaits{0};
DWORD WINAPI FailingWait(DWORD, const HANDLE*, BOOL, DWORD) {
  WaitForSingleObject(g_letWaitFail, 10000);
  ++g_failedWaits;
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

class FramePacerWaitFailureTest : public FramePacerTest {
 protected:
  void SetUp() override {
    let_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_letWaitFail = let_.get();
    g_failedWaits = 0;
    Build(&FailingWait);
  }
  UniqueHandle let_;
};

}  // namespace

TEST_F(FramePacerWaitFailureTest, AFailingWaitIsReportedOnceAndEndsTheThread) {
  SetEvent(let_.get());
  const ULONGLONG end = GetTickCount64() + 5000;
  while (filter_->pacer().IsRunning() && GetTickCount64() < end) Sleep(1);
  ASSERT_FALSE(filter_->pacer().IsRunning());
  EXPECT_EQ(g_failedWaits, 1);
  int reported = 0;
  for (const auto& e : graph_->Events()) {
    if (e.code != EC_STREAM_ERROR_STILLPLAYING) continue;
    ++reported;
    EXPECT_EQ(static_cast<HRESULT>(e.param1), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(reported, 1);
  // Nothing would ever deliver a queued frame now: the caller hears so.
  IMediaSample* s = pool_.Get(1);
  EXPECT_EQ(filter_->pacer().Queue(s), E_UNEXPECTED);
  EXPECT_EQ(filter_->pacer().QueueEndOfStream(), E_UNEXPECTED);
  EXPECT_EQ(filter_->pacer().QueueNewSegment(0, 1, 1.0), E_UNEXPECTED);
  s->Release();
  EXPECT_EQ(pool_.Outstanding(), 0);
}

// A host that tears the graph down from a streaming thread: the filter's last release comes on
// its own delivery thread, inside a delivery. The thread must not go on running on the filter
// or its pacer once they are freed (every block of the scene is guarded after its free).
TEST(FramePacerLifetime, ALastReleaseOnTheDeliveryThreadLeavesTheThreadNothingFreedToRunOn) {
  using testing_support::ScaledBound;
  testing_support::FreedMemoryGuard guard;
  ASSERT_TRUE(guard.Armed());
  BufferPool pool(2, 64);
  PacedFilter* filter = PacedFilter::Create();
  RecordingSink* sink = RecordingSink::Create();
  UniqueHandle destroyed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  filter->SignalOnDestruction(destroyed.get());
  const CMediaType type = MakeVideoType(16, 16);
  ASSERT_EQ(filter->GetPin(0)->Connect(sink->InputPin(), &type), S_OK);
  ASSERT_EQ(sink->Run(0), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);
  UniqueHandle worker;
  DWORD workerId = 0;
  sink->SetOnReceive([&] {
    workerId = GetCurrentThreadId();
    worker.reset(OpenThread(SYNCHRONIZE, FALSE, workerId));
    filter->Stop();
    sink->Stop();
    filter->GetPin(0)->Disconnect();
    sink->InputPin()->Disconnect();
    filter->Release();  // the last reference
  });
  IMediaSample* sample = pool.Get(1);
  ASSERT_NE(sample, nullptr);
  ASSERT_EQ(filter->pacer().Queue(sample), S_OK);
  sample->Release();

  ASSERT_EQ(WaitForSingleObject(destroyed.get(), ScaledBound(10000)), WAIT_OBJECT_0);
  ASSERT_TRUE(worker);
  ASSERT_EQ(WaitForSingleObject(worker.get(), ScaledBound(10000)), WAIT_OBJECT_0);
  EXPECT_EQ(guard.Touches(), 0) << "thread " << guard.FirstThread() << " touched freed memory at "
                                << guard.FirstAddress() << " (the delivery thread is "
                                << workerId << ")";
  EXPECT_EQ(pool.Outstanding(), 0);
  EXPECT_EQ(sink->Release(), 0u);
}

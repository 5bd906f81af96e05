// The audio pacer between the test source and the recording sink: time stamps from the byte
// count or the hardware's stamps, the correct-timestamp mode, the clock's re-anchoring and skip
// rule (its millisecond counter driven by the test), formats it refuses, and its COM identity.
#include "filters/pacers/audio_pacer.h"

#include <gtest/gtest.h>
#include <mmreg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/testing/debug_capture.h"
#include "common/testing/time_scale.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/pacers/pacer_ids.h"
#include "filters/pacers/pacer_registry.h"
#include "filters/pacers/pacer_timing.h"
#include "filters/pacers/testing/pacer_test_support.h"

using namespace graph_testkit;
using namespace pacer_testing;

namespace {

constexpr LONGLONG kMs = pacer::kUnitsPerMs;
constexpr DWORD kRate = 192000;  // 48 kHz, 16-bit stereo: 4800 bytes are 25 ms
constexpr LONG k25Ms = 4800;

DWORD g_tick = 1000000;
DWORD WINAPI TestTick() { return g_tick; }

CMediaType PcmType(DWORD avgBytesPerSec, const GUID& formatType = FORMAT_WaveFormatEx,
                   ULONG formatBytes = sizeof(WAVEFORMATEX)) {
  CMediaType type;
  type.SetType(&MEDIATYPE_Audio);
  type.SetSubtype(&MEDIASUBTYPE_PCM);
  type.SetFormatType(&formatType);
  type.SetSampleSize(4);
  WAVEFORMATEX wfx{WAVE_FORMAT_PCM, 2, 48000, avgBytesPerSec, 4, 16, 0};
  if (formatBytes) {
    BYTE* block = type.AllocFormatBuffer(formatBytes);
    std::memcpy(block, &wfx, std::min<size_t>(formatBytes, sizeof(wfx)));
  }
  return type;
}

SamplePlan Audio(LONG length) {
  SamplePlan plan;
  plan.actualLength = length;
  return plan;
}

SamplePlan Stamped(LONG length, REFERENCE_TIME start, std::optional<REFERENCE_TIME> stop) {
  SamplePlan plan = Audio(length);
  plan.start = start;
  plan.stop = stop;
  return plan;
}

class AudioPacerTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(PcmType(kRate)); }
  void Build(CMediaType type) {
    g_tick = 1000000;
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create({type});
    source_->SetBufferRequest(4, 48000);
    filter_ = CreateFilter<AudioPacer>();
    ASSERT_NE(filter_, nullptr);
    pacer_ = static_cast<AudioPacer*>(filter_);
    sink_ = RecordingSink::Create();
    clock_ = ManualClock::Create(0);
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(filter_, L"pacer"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), pacer_->GetPin(0), &type), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(pacer_->GetPin(1), sink_->InputPin(), nullptr), S_OK);
    ASSERT_EQ(filter_->SetSyncSource(clock_), S_OK);
    pacer_->Clock()->SetTickSource(&TestTick);
    ASSERT_EQ(filter_->QueryInterface(IID_IPacerSettings, reinterpret_cast<void**>(&settings_)), S_OK);
  }
  void Run() {
    ASSERT_EQ(sink_->Run(0), S_OK);
    ASSERT_EQ(filter_->Run(0), S_OK);
    ASSERT_EQ(source_->Run(0), S_OK);
  }
  void Stop() {
    source_->Stop();
    filter_->Stop();
    sink_->Stop();
  }
  REFERENCE_TIME ClockNow() { return pacer_->Clock()->GetPrivateTime(); }
  ReceivedSample Last() { return sink_->Samples().back(); }

  void TearDown() override {
    if (!graph_) return;
    Stop();
    settings_->Release();
    source_->OutputPin()->Disconnect();
    pacer_->GetPin(0)->Disconnect();
    pacer_->GetPin(1)->Disconnect();
    sink_->InputPin()->Disconnect();
    filter_->SetSyncSource(nullptr);
    EXPECT_EQ(source_->Release(), 1u);
    EXPECT_EQ(filter_->Release(), 1u);
    EXPECT_EQ(sink_->Release(), 1u);
    EXPECT_EQ(graph_->Release(), 0u);
    EXPECT_EQ(clock_->Release(), 0u);
  }

  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  IBaseFilter* filter_ = nullptr;
  AudioPacer* pacer_ = nullptr;
  RecordingSink* sink_ = nullptr;
  ManualClock* clock_ = nullptr;
  IPacerSettings* settings_ = nullptr;
};

}  // namespace

TEST_F(AudioPacerTest, StampsFromTheByteCountInWholeMilliseconds) {
  Run();
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  ASSERT_EQ(source_->Push(Audio(191)), S_OK);  // under 1 ms: no duration
  const auto got = sink_->Samples();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].timeResult, S_OK);
  EXPECT_EQ(got[0].start, 0);
  EXPECT_EQ(got[0].stop, 25 * kMs);
  EXPECT_EQ(got[1].start, 25 * kMs);
  EXPECT_EQ(got[1].stop, 50 * kMs);
  EXPECT_EQ(got[2].start, 50 * kMs);
  EXPECT_EQ(got[2].stop, 50 * kMs);
  EXPECT_EQ(got[2].actualLength, 191);  // the data is left alone
}

TEST_F(AudioPacerTest, ADeliveryNeverWaitsForTheStateLock) {
  Run();
  HRESULT pushed = E_FAIL;
  EXPECT_TRUE(pacer_testing::EndsWhileStateLockIsHeld(
      pacer_->pStateLock(), [&] { pushed = source_->Push(Audio(k25Ms)); }, testing_support::ScaledBound(5000)));
  EXPECT_EQ(pushed, S_OK);
  EXPECT_EQ(sink_->Samples().size(), 1u);
}

TEST_F(AudioPacerTest, DelayIsAddedAndEveryStampedSampleReanchorsTheClock) {
  settings_->SetDelay(-10);
  Run();
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().start, -10 * kMs);
  EXPECT_EQ(ClockNow(), 0);  // the clock is anchored to the position, not the delayed stamp
  g_tick += 7;
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().start, 15 * kMs);
  EXPECT_EQ(ClockNow(), 25 * kMs);  // pulled back to the audio
}

TEST_F(AudioPacerTest, ClockLeadingByMoreThanHalfASampleIsLeftAloneOnce) {
  IReferenceClock* clock = nullptr;
  ASSERT_EQ(filter_->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&clock)), S_OK);
  Run();
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);  // anchored at 0
  g_tick += 50;  // clock at 50 ms, audio at 25 ms: 25 ms ahead
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(ClockNow(), 50 * kMs);  // left alone
  g_tick += 30;  // 80 ms against 50 ms: still ahead
  REFERENCE_TIME seen = 0;
  EXPECT_EQ(clock->GetTime(&seen), S_OK);
  EXPECT_EQ(seen, 80 * kMs);
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(ClockNow(), 50 * kMs);  // pulled back the second time

  // The graph's view of the clock never runs backwards across that step: it holds still until
  // the private time passes what it returned before.
  REFERENCE_TIME now = 0;
  EXPECT_EQ(clock->GetTime(&now), S_FALSE);
  EXPECT_EQ(now, 80 * kMs);
  g_tick += 20;  // private 70 ms
  EXPECT_EQ(clock->GetTime(&now), S_FALSE);
  EXPECT_EQ(now, 80 * kMs);
  g_tick += 20;  // private 90 ms
  EXPECT_EQ(clock->GetTime(&now), S_OK);
  EXPECT_EQ(now, 90 * kMs);
  clock->Release();
}

TEST_F(AudioPacerTest, DiscontinuitySetsTheBaseAndTheClockOffset) {
  Run();
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  g_tick += 300;  // the clock is at 300 ms
  SamplePlan disc = Stamped(k25Ms, 2000 * kMs, 2025 * kMs);
  disc.discontinuity = true;
  ASSERT_EQ(source_->Push(disc), S_OK);
  // Its own start plus the audio counted so far.
  EXPECT_EQ(Last().start, 2025 * kMs);
  EXPECT_EQ(Last().stop, 2050 * kMs);
  // Clock offset 300 ms: anchored at offset + position.
  EXPECT_EQ(ClockNow(), 325 * kMs);
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().start, 2050 * kMs);
  EXPECT_EQ(ClockNow(), 350 * kMs);

  // Stop counts again from 0, keeping the base and the offset; the clock keeps its anchor.
  Stop();
  EXPECT_EQ(ClockNow(), 350 * kMs);
  sink_->ClearRecords();
  Run();
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().start, 2000 * kMs);
  // Position 0 against a clock at 350 ms (offset 300): ahead, left alone once, then pulled.
  EXPECT_EQ(ClockNow(), 350 * kMs);
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(ClockNow(), 325 * kMs);
}

TEST_F(AudioPacerTest, HardwareStampsAreKeptAndSamplesWithoutThemAreNotCounted) {
  settings_->SetHwTimeStamp(5);  // any non-zero value counts
  settings_->SetDelay(3);
  Run();
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 7000 * kMs, 7025 * kMs)), S_OK);
  EXPECT_EQ(Last().start, 7003 * kMs);
  EXPECT_EQ(Last().stop, 7028 * kMs);
  EXPECT_EQ(ClockNow(), 7000 * kMs);  // its own start, before the delay

  g_tick += 10;
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);  // no times
  EXPECT_EQ(Last().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(ClockNow(), 7010 * kMs);  // not re-anchored

  ASSERT_EQ(source_->Push(Stamped(k25Ms, 8000 * kMs, std::nullopt)), S_OK);  // start only
  EXPECT_EQ(Last().timeResult, VFW_S_NO_STOP_TIME);
  EXPECT_EQ(Last().start, 8003 * kMs);

  // Counting without hardware stamps shows which samples were counted: two of the three.
  settings_->SetHwTimeStamp(0);
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().start, 50 * kMs + 3 * kMs);
}

TEST_F(AudioPacerTest, WithoutTimeStampingSamplesLeaveBareButTheClockFollows) {
  settings_->SetTimeStamping(0);
  Run();
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 5 * kMs, 6 * kMs)), S_OK);
  EXPECT_EQ(Last().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  g_tick += 100;
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  // 100 ms ahead of 25 ms: skipped once, then pulled back.
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(ClockNow(), 50 * kMs);
}

TEST_F(AudioPacerTest, EmptySampleGetsTimesButMovesNothing) {
  Run();
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  g_tick += 100;
  ASSERT_EQ(source_->Push(Audio(0)), S_OK);
  EXPECT_EQ(Last().start, 25 * kMs);
  EXPECT_EQ(Last().stop, 25 * kMs);
  EXPECT_EQ(ClockNow(), 100 * kMs);  // no clock step
}

TEST_F(AudioPacerTest, WithoutAGraphClockItIsAPurePassThrough) {
  ASSERT_EQ(filter_->SetSyncSource(nullptr), S_OK);
  Run();
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 7 * kMs, 9 * kMs)), S_OK);
  EXPECT_EQ(Last().start, 7 * kMs);
  EXPECT_EQ(Last().stop, 9 * kMs);
  g_tick += 100;
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_EQ(ClockNow(), 100 * kMs);  // never anchored
  ASSERT_EQ(filter_->SetSyncSource(clock_), S_OK);
  ASSERT_EQ(source_->Push(Audio(k25Ms)), S_OK);
  EXPECT_EQ(Last().start, 0);  // nothing was counted meanwhile
}

TEST_F(AudioPacerTest, AdvisesOnItsClockFireWhenTheAudioTimeComes) {
  IReferenceClock* clock = nullptr;
  ASSERT_EQ(filter_->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&clock)), S_OK);
  UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  DWORD_PTR cookie = 0;
  REFERENCE_TIME now = 0;
  clock->GetTime(&now);
  ASSERT_EQ(clock->AdviseTime(now, 40 * kMs, reinterpret_cast<HEVENT>(event.get()), &cookie), S_OK);
  EXPECT_EQ(WaitForSingleObject(event.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));
  g_tick += 50;
  EXPECT_EQ(WaitForSingleObject(event.get(), 5000), WAIT_OBJECT_0);
  clock->Release();
}

namespace {

class AudioPacerCorrectTimestampTest : public AudioPacerTest {
 protected:
  void SetUp() override {
    value_ = std::make_unique<MachineValue>(kBoardInfoSubKey, pacer::kCorrectTimestampValue, 1);
    AudioPacerTest::SetUp();
  }
  void TearDown() override {
    AudioPacerTest::TearDown();
    value_.reset();
  }
  std::unique_ptr<MachineValue> value_;
};

}  // namespace

TEST_F(AudioPacerCorrectTimestampTest, StampedSamplesFollowEachOtherWithoutGaps) {
  EXPECT_TRUE(pacer_->CorrectTimestamp());
  settings_->SetHwTimeStamp(1);
  Run();
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 0, 25 * kMs)), S_OK);
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 30 * kMs, 55 * kMs)), S_OK);  // a gap
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 50 * kMs, 75 * kMs)), S_OK);  // an overlap
  const auto got = sink_->Samples();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].start, 0);
  EXPECT_EQ(got[1].start, 25 * kMs);
  EXPECT_EQ(got[1].stop, 55 * kMs);
  EXPECT_EQ(got[2].start, 55 * kMs);
  EXPECT_EQ(got[2].stop, 75 * kMs);
  // After Stop the first stamped sample keeps its own start again.
  Stop();
  Run();
  ASSERT_EQ(source_->Push(Stamped(k25Ms, 900 * kMs, 925 * kMs)), S_OK);
  EXPECT_EQ(Last().start, 900 * kMs);
}

TEST(AudioPacerCorrectTimestampSwitch, AnyNonZeroFourByteValueTurnsItOn) {
  // Stored as four binary bytes, the switch counts as it does as a DWORD.
  const DWORD on = 2;
  {
    MachineValue value(kBoardInfoSubKey, pacer::kCorrectTimestampValue, REG_BINARY, &on, sizeof(on));
    IBaseFilter* filter = CreateFilter<AudioPacer>();
    ASSERT_NE(filter, nullptr);
    EXPECT_TRUE(static_cast<AudioPacer*>(filter)->CorrectTimestamp());
    EXPECT_EQ(filter->Release(), 0u);
  }
  const DWORD off = 0;
  MachineValue value(kBoardInfoSubKey, pacer::kCorrectTimestampValue, REG_BINARY, &off, sizeof(off));
  IBaseFilter* filter = CreateFilter<AudioPacer>();
  ASSERT_NE(filter, nullptr);
  EXPECT_FALSE(static_cast<AudioPacer*>(filter)->CorrectTimestamp());
  EXPECT_EQ(filter->Release(), 0u);
}

TEST(AudioPacerFormats, OnlyPcmAudioIsAccepted) {
  IBaseFilter* filter = CreateFilter<AudioPacer>();
  ASSERT_NE(filter, nullptr);
  auto* pacer = static_cast<AudioPacer*>(filter);
  const CMediaType pcm = PcmType(kRate);
  EXPECT_EQ(pacer->GetPin(0)->QueryAccept(&pcm), S_OK);
  const CMediaType video = MakeVideoType(16, 16);
  EXPECT_EQ(pacer->GetPin(0)->QueryAccept(&video), S_FALSE);
  EXPECT_EQ(pacer->CheckInputType(&video), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType float32 = PcmType(kRate);
  float32.SetSubtype(&MEDIASUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(pacer->CheckInputType(&float32), static_cast<HRESULT>(0x8004022A));
  EXPECT_EQ(filter->Release(), 0u);
}

namespace {

// A connection whose format gives no byte rate: every sample is refused, none delivered.
class AudioPacerBadFormatTest : public AudioPacerTest,
                                public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    switch (GetParam()) {
      case 0: Build(PcmType(kRate, FORMAT_None, 0)); break;          // no WAVEFORMATEX
      case 1: Build(PcmType(0)); break;                              // a rate of 0
      default: Build(PcmType(kRate, FORMAT_WaveFormatEx, 8)); break;  // too short to hold it
    }
  }
};

}  // namespace

TEST_P(AudioPacerBadFormatTest, SamplesAreRefusedWithUnexpected) {
  Run();
  EXPECT_EQ(source_->Push(Audio(k25Ms)), E_UNEXPECTED);
  EXPECT_EQ(sink_->SampleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioPacerBadFormatTest, ::testing::Values(0, 1, 2));

TEST(AudioPacerIdentity, InterfacesAggregationAndFinalRelease) {
  IBaseFilter* filter = CreateFilter<AudioPacer>();
  ASSERT_NE(filter, nullptr);
  ExpectInterfaces(filter,
                   {&IID_IUnknown, &IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist, &IID_IReferenceClock,
                    &IID_IPacerSettings, &IID_ISpecifyPropertyPages},
                   {&IID_IPin, &IID_IMemInputPin, &IID_IPropertyPage, &IID_IAMFilterMiscFlags,
                    &IID_IMediaSeeking, &IID_IClassFactory});
  // The clock's IUnknown is the filter's.
  IReferenceClock* clock = nullptr;
  ASSERT_EQ(filter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&clock)), S_OK);
  IBaseFilter* back = nullptr;
  ASSERT_EQ(clock->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, filter);
  back->Release();
  clock->Release();
  CLSID clsid{};
  EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_AudioPacer));
  EXPECT_EQ(filter->Release(), 0u);

  // Aggregated: every interface, the clock's and the settings' included, counts on the outer.
  graph_testkit::ExpectAggregates(&AudioPacer::CreateInstance, IID_IPacerSettings);
  graph_testkit::ExpectAggregates(&AudioPacer::CreateInstance, IID_IReferenceClock);
}

TEST_F(AudioPacerTest, StopWritesInAndOutTraceRecords) {
  testing_support::DebugOutputCapture capture;
  Run();
  Stop();
  const auto lines = capture.Containing(L"\"AudioPacer::Stop()\"");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(L"[IN]"), std::wstring::npos);
  EXPECT_NE(lines[1].find(L"[OUT]"), std::wstring::npos);
}

// The output-data graph against the simulated card's filters (this program's copy of
// simcard.dll registered), the driver stand-in and the doubles of the callback filter and the
// MPEG analyzer (loaded from the built modules' folder): data reaches an IOutputDataCB of the
// test's own.
#include "devices/tuner1/output_data_graph.h"
#include "devices/tuner1/tuner_control.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/tuner1/testing/device_object_fixture.h"
#include "sim/card/sim_card.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/outside_interfaces.h"

using Microsoft::WRL::ComPtr;
using namespace driver_test;
using output_testing::kDataWaitMs;
using output_testing::kIndex;
using output_testing::kMpeg;
using output_testing::kPcm;
using output_testing::PeerOf;
using output_testing::Sink;
using output_testing::Sinks;

namespace {

class OutputDataGraphTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(AttachStandIn(StateName())); }

  void SetUp() override {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    tuner1_test::RegisterSimCard(&path_, &card_);
    if (HasFatalFailure()) return;
    // The doubles' folder stands for the device manager's own.
    filters_.reset(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
    ASSERT_TRUE(filters_);
    graph_ = std::make_unique<OutputDataGraph>(filters_.get());
    graph_->SetMinimumRecTime(0);
    ASSERT_EQ(graph_->Build(DeviceIdentity(path_.c_str()), 0), S_OK);
  }
  void TearDown() override {
    graph_.reset();
    tuner1_test::UnregisterSimCard();
    CoUninitialize();
  }

  // Selects the types of `mask` (bit n: type n), MPEG with `mpegSubtype`, and names `sink`.
  void Select(unsigned mask, ULONG mpegSubtype, Sink* sink) {
    for (ULONG type = 1; type <= 3; ++type) {
      const _SHAL_OUTPUTDTATA_TYPE choice{type, type == 1 ? mpegSubtype : 0};
      ASSERT_EQ(graph_->SetOutputDataType(choice, (mask >> type) & 1), S_OK);
    }
    ASSERT_EQ(graph_->SetCallback(sink), S_OK);
  }

  std::wstring path_;
  UINT card_ = 0;
  UniqueModule filters_;
  Sinks sinks_;  // outlive the graph, whose callback filter holds them
  std::unique_ptr<OutputDataGraph> graph_;
};

TEST_F(OutputDataGraphTest, EachSelectionDeliversItsTypesThroughItsChain) {
  struct Case {
    unsigned mask;
    const wchar_t* analyzerOutputPeer;  // where the analyzer's "Output" goes
    const wchar_t* capturePeer;         // where the capture's "Capture" goes
  };
  const Case cases[] = {
      {kMpeg, L"Callback Filter/MPEG Input", L""},
      {kPcm, L"", L"Null Renderer (Preview)/In"},
      {kIndex, L"Null Renderer (MPG)/In", L""},
      {kMpeg | kIndex, L"Callback Filter/MPEG Input", L""},
      {kPcm | kIndex, L"Null Renderer (MPG)/In", L"Null Renderer (Preview)/In"},
      {kMpeg | kPcm | kIndex, L"Callback Filter/MPEG Input", L"Null Renderer (Preview)/In"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mask);
    Sink& sink = sinks_.Make(c.mask);
    Select(c.mask, 1, &sink);
    ASSERT_EQ(graph_->Connect(), S_OK);
    EXPECT_EQ(PeerOf(graph_->graph(), L"ZARN MPEG Analyzer", L"Output"), c.analyzerOutputPeer);
    EXPECT_EQ(PeerOf(graph_->graph(), L"VEKA Capture Device", L"Capture"), c.capturePeer);
    ASSERT_EQ(graph_->Run(), S_OK);
    EXPECT_TRUE(sink.WaitAll());
    EXPECT_EQ(graph_->Stop(), S_OK);
    EXPECT_EQ(graph_->Disconnect(), S_OK);
    EXPECT_EQ(sink.seen_.load() & ~c.mask, 0u) << "a type nobody selected was delivered";
    EXPECT_FALSE(sink.bad_.load());
    if (c.mask & kMpeg) {
      EXPECT_EQ(sink.subtype_[0].load(), 1u);
    }
    EXPECT_EQ(PeerOf(graph_->graph(), L"ZARN MPEG Analyzer", L"Input"), L"");
    ASSERT_EQ(graph_->SetCallback(nullptr), S_OK);
    EXPECT_EQ(sink.refs_.load(), 0u) << "the callback filter still holds the host's callback";
  }
}

// The thirteen encoder values of each recording-quality mode, as the driver must receive them.
TEST_F(OutputDataGraphTest, EncoderValuesOfEachModeReachTheDriverByteForByte) {
  constexpr std::uint32_t kValues[3][13] = {
      {8000, 0, 2, 0, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1},
      {4000, 6000, 2, 1, 0, 3, 15, 1, 0x050E0716, 4, 0, 256, 1},
      {2500, 0, 2, 0, 0, 3, 15, 4, 0x050E0716, 4, 0, 256, 1},
  };
  for (ULONG mode = 0; mode < 3; ++mode) {
    SCOPED_TRACE(mode);
    const UINT from = LogNext();
    ASSERT_EQ(graph_->SetEncoderParameters(mode), S_OK);
    const auto log = LogSince(from);
    ASSERT_EQ(log.size(), 1u);
    EncoderParameterPacket packet{};
    ASSERT_EQ(log[0].inSize, sizeof(packet));
    std::memcpy(&packet, log[0].packet, sizeof(packet));
    EXPECT_EQ(packet.header.set, EncodePropertySet);
    EXPECT_EQ(packet.header.kind, EncoderControl::kSet);
    static_assert(sizeof(packet.values) == sizeof(kValues[0]), "thirteen 32-bit values");
    for (int i = 0; i < 13; ++i) EXPECT_EQ(packet.values[i], kValues[mode][i]) << "value " << i + 1;
  }
  try {
    graph_->SetEncoderParameters(3);
    ADD_FAILURE() << "mode 3 accepted";
  } catch (const HResultError& e) {
    EXPECT_EQ(e.code(), static_cast<HRESULT>(0x8007F053));
  }
}

// When the encoder's driver link does not open, the recording graph is not built and every
// encoder call of the tuner control answers 0x8007F006 instead of reaching a missing link.
TEST_F(OutputDataGraphTest, WithoutTheEncoderLinkTheEncoderCallsAnswer0x8007F006) {
  const DeviceIdentity identity(path_.c_str());
  ASSERT_EQ(S_OK, SimDriver_FailOpen(card_, TRUE, ERROR_ACCESS_DENIED));
  struct Reopen {
    UINT card;
    ~Reopen() { SimDriver_FailOpen(card, FALSE, 0); }
  } reopen{card_};
  OutputDataGraph graph(filters_.get());
  EXPECT_EQ(GuardHr(E_FAIL, [&] { return graph.Build(identity, 1); }), errors::kNoEncoderLink);  // Build throws
  EXPECT_EQ(graph.SetEncoderParameters(0), errors::kNoEncoderLink);

  TunerControl tuner;
  EXPECT_EQ(tuner.Build(&identity), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(tuner.encoder(), nullptr);
  ULONG value = 0;
  long level = 0;
  const struct {
    const char* call;
    HRESULT result;
  } calls[] = {
      {"Tune", tuner.Tune(91250000, 0)},
      {"GetTunedFrequency", tuner.GetTunedFrequency(&value)},
      {"SetScanMode", tuner.SetScanMode()},
      {"ClearScanMode", tuner.ClearScanMode()},
      {"GetCaptureSwitch", tuner.GetCaptureSwitch(&value)},
      {"SetCaptureSwitch", tuner.SetCaptureSwitch(1)},
      {"GetSignalLevel", tuner.GetSignalLevel(&level)},
  };
  for (const auto& c : calls) EXPECT_EQ(c.result, errors::kNoEncoderLink) << c.call;
}

TEST_F(OutputDataGraphTest, StopWaitsForTheMinimumRecordingTimeAndTheEncoder) {
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, 0, &sink);
  ASSERT_EQ(graph_->Connect(), S_OK);
  struct Case {
    UINT stopMode;
    DWORD minimumMs, encoderWaitMs, atLeastMs, belowMs;
  };
  const Case cases[] = {
      {kSimEncoderStopAtOnce, 300, 10000, 300, 3000},  // held to the minimum recording time
      {kSimEncoderStopDelayed, 0, 10000, 200, 3000},   // the encoder drains for 250 ms
      {kSimEncoderStopNever, 0, 400, 400, 3000},       // goes on after the (shortened) wait
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopMode);
    ASSERT_EQ(SimCard_SetEncoderStopMode(path_.c_str(), c.stopMode, 250), S_OK);
    graph_->SetMinimumRecTime(c.minimumMs);
    graph_->SetEncoderStopWait(c.encoderWaitMs);
    ASSERT_EQ(graph_->Run(), S_OK);
    const DWORD start = GetTickCount();
    EXPECT_EQ(graph_->Stop(), S_OK);
    const DWORD took = GetTickCount() - start;
    EXPECT_GE(took + 20, c.atLeastMs);  // tick granularity
    EXPECT_LT(took, c.belowMs);
  }
}

TEST_F(OutputDataGraphTest, EncoderFailureWhileRunningBecomesTheLastError) {
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, 2, &sink);
  ASSERT_EQ(graph_->Connect(), S_OK);
  ASSERT_EQ(graph_->Run(), S_OK);
  const _SHAL_OUTPUTDTATA_TYPE pcm{2, 0};
  EXPECT_EQ(graph_->SetOutputDataType(pcm, 1), static_cast<HRESULT>(0x80040224));
  EXPECT_EQ(graph_->SetAnalyzerParameters(1, 2, 3, 4), static_cast<HRESULT>(0x80040224));
  HANDLE error = nullptr;
  ASSERT_EQ(graph_->GetNotifyEvent(0, &error), S_OK);
  ASSERT_EQ(SimDriver_SignalEncoderError(card_), S_OK);
  EXPECT_EQ(WaitForSingleObject(error, kDataWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(graph_->GetLastError(), static_cast<HRESULT>(0x80072502));
  EXPECT_EQ(graph_->EndOfData(0), S_OK);
  EXPECT_EQ(graph_->Stop(), S_OK);
  EXPECT_EQ(graph_->EndOfData(0), static_cast<HRESULT>(0x80040226));
  EXPECT_EQ(graph_->Run(), S_OK);  // a new run clears the last error
  EXPECT_EQ(graph_->GetLastError(), S_OK);
  EXPECT_EQ(graph_->Stop(), S_OK);
}

TEST_F(OutputDataGraphTest, AudioModeChangesWhileRunningReachTheRecordEventsAndTheQueries) {
  Sink& sink = sinks_.Make(kPcm);
  Select(kPcm, 0, &sink);
  _SHAL_INPUT_AUDIOMODE input{};
  _SHAL_OUTPUT_AUDIOMODE output{};
  EXPECT_EQ(graph_->GetCurrentInputAudioMode(&input), static_cast<HRESULT>(0x80040226));
  ASSERT_EQ(graph_->Connect(), S_OK);
  ASSERT_EQ(graph_->Run(), S_OK);
  HANDLE recInput = nullptr, recOutput = nullptr;
  ASSERT_EQ(graph_->GetNotifyEvent(1, &recInput), S_OK);
  ASSERT_EQ(graph_->GetNotifyEvent(2, &recOutput), S_OK);
  EXPECT_EQ(graph_->GetNotifyEvent(3, &recInput), static_cast<HRESULT>(0x8007F053));
  ResetEvent(recInput);
  ResetEvent(recOutput);
  ASSERT_EQ(SimCard_SetTvAudioMode(path_.c_str(), 0x22), S_OK);  // stereo with a second language
  const HANDLE both[] = {recInput, recOutput};
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, kDataWaitMs), WAIT_OBJECT_0);
  ASSERT_EQ(graph_->GetCurrentInputAudioMode(&input), S_OK);
  EXPECT_EQ(input.mainL, 2u);
  EXPECT_EQ(input.sub, 16u);
  ASSERT_EQ(graph_->GetCurrentOutputAudioMode(&output), S_OK);
  EXPECT_EQ(output.lineL, 2u);
  // Paused is not running: both queries answer 0x80040226.
  ASSERT_EQ(graph_->Pause(), S_OK);
  EXPECT_EQ(graph_->GetCurrentInputAudioMode(&input), static_cast<HRESULT>(0x80040226));
  EXPECT_EQ(graph_->GetCurrentOutputAudioMode(&output), static_cast<HRESULT>(0x80040226));
  EXPECT_EQ(graph_->Stop(), S_OK);
}

TEST_F(OutputDataGraphTest, TearingDownWhileRunningLetsTheDeviceBeBuiltAgain) {
  Sink& sink = sinks_.Make(kMpeg | kIndex | kPcm);
  Select(kMpeg | kIndex | kPcm, 0, &sink);
  ASSERT_EQ(graph_->Connect(), S_OK);
  ASSERT_EQ(graph_->Run(), S_OK);
  ASSERT_TRUE(sink.WaitAll());
  std::thread other([this] { graph_.reset(); });
  other.join();
  EXPECT_EQ(sink.refs_.load(), 0u);
  graph_ = std::make_unique<OutputDataGraph>(filters_.get());
  graph_->SetMinimumRecTime(0);
  ASSERT_EQ(graph_->Build(DeviceIdentity(path_.c_str()), 0), S_OK);
  Sink& again = sinks_.Make(kMpeg);
  Select(kMpeg, 0, &again);
  ASSERT_EQ(graph_->Connect(), S_OK);
  ASSERT_EQ(graph_->Run(), S_OK);
  EXPECT_TRUE(again.WaitAll());
  EXPECT_EQ(graph_->Stop(), S_OK);
}

TEST_F(OutputDataGraphTest, AMissingPinFailsTheBuildAndReleasesEveryPinFound) {
  graph_.reset();
  doubles::Journal& journal = doubles::Journal::Instance();
  ASSERT_EQ(journal.Value(doubles::kValueLiveFilterDoubles), 0);
  journal.SetValue(doubles::kValueCallbackWithoutIndexPin, 1);
  OutputDataGraph graph(filters_.get());
  HRESULT built = S_OK;
  try {
    built = graph.Build(DeviceIdentity(path_.c_str()), 0);
  } catch (const HResultError& e) {
    built = e.code();
  }
  journal.SetValue(doubles::kValueCallbackWithoutIndexPin, 0);
  EXPECT_EQ(built, errors::kOutputNotBuilt);
  // The callback filter's "MPEG Input", found before the missing pin, held it alive.
  EXPECT_EQ(journal.Value(doubles::kValueLiveFilterDoubles), 0) << "a pin found before the missing one is still held";
  EXPECT_EQ(graph.Build(DeviceIdentity(path_.c_str()), 0), S_OK) << "the same object builds once the pin is there";
}

// Slow (10 s): the real wait for an encoder that never reports "stopped".
TEST_F(OutputDataGraphTest, SlowStopGoesOnTenSecondsAfterAnEncoderThatNeverStops) {
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, 0, &sink);
  ASSERT_EQ(graph_->Connect(), S_OK);
  ASSERT_EQ(SimCard_SetEncoderStopMode(path_.c_str(), kSimEncoderStopNever, 0), S_OK);
  ASSERT_EQ(graph_->Run(), S_OK);
  const DWORD start = GetTickCount();
  EXPECT_EQ(graph_->Stop(), S_OK);
  const DWORD took = GetTickCount() - start;
  EXPECT_GE(took + 20, OutputDataGraph::kEncoderStopWaitMs);
  EXPECT_LT(took, OutputDataGraph::kEncoderStopWaitMs + 3000);
}

}  // namespace

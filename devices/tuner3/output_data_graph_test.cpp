// The third family's output-data graph against the simulated card's "TAVO" filters and the
// doubles of the callback filter and the MPEG analyzer (loaded from the built modules' folder):
// data reaches an IOutputDataCB of the test's own.
#include "devices/tuner3/output_data_graph.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "common/device/device_identity.h"
#include "common/errors.h"
#include "common/handles.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/tuner3/graph_events.h"
#include "devices/tuner3/testing/pex_card_fixture.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/outside_interfaces.h"

using namespace pex_testing;
using output_testing::PeerOf;
using output_testing::kIndex;
using output_testing::kMpeg;
using output_testing::kPcm;
using output_testing::Sink;

namespace {

constexpr DWORD kEventWaitMs = 5000;
constexpr wchar_t kRecParam[] = L"Software\\Zarn Corporation\\Tovrel\\RecParam";

class PexOutputDataGraphTest : public PexCardTest {
 protected:
  void SetUp() override {
    PexCardTest::SetUp();
    doubles::Journal::Instance().Reset();
    // The doubles' folder stands for the device manager's own.
    filters_.reset(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
    ASSERT_TRUE(filters_);
    graph_ = std::make_unique<pex::OutputDataGraph>(filters_.get());
    graph_->SetStopTimeout(kEventWaitMs);
  }
  void TearDown() override {
    graph_.reset();
    PexCardTest::TearDown();
  }
  HRESULT Build() { return graph_->Build(DeviceIdentity(capturePath_.c_str())); }
  // Enables the types of `mask` (bit n: type n) for `sink`, disables the others.
  void Select(unsigned mask, Sink* sink) {
    for (ULONG type = 1; type <= 3; ++type) {
      const _SHAL_OUTPUTDTATA_TYPE choice{type, 0};
      ASSERT_EQ(S_OK, graph_->SetOutputDataType(&choice, (mask >> type) & 1 ? sink : nullptr));
    }
  }
  std::vector<LONG> EncoderBlock() const {
    std::vector<LONG> values(kSimKsMaxValues);
    EXPECT_EQ(S_OK, SimCard_GetKsData(capturePath_.c_str(), &kSimKsEncoderSet, 2, values.data(), kSimKsMaxValues));
    return values;
  }

  UniqueModule filters_;
  output_testing::Sinks sinks_;  // outlives the graph
  std::unique_ptr<pex::OutputDataGraph> graph_;
};

TEST_F(PexOutputDataGraphTest, EachSelectionConnectsItsShapeAndDeliversOnlyItsTypes) {
  ASSERT_EQ(S_OK, Build());
  graph_->SetMinimumRecTime(0);
  const struct {
    unsigned mask;
    const wchar_t* encoderPeer;   // "MPEG Stream"
    const wchar_t* analyzerPeer;  // the analyzer's "Output"
    const wchar_t* previewPeer;   // the preview source's "Preview"
  } cases[] = {
      {kPcm, L"", L"", L"Null Renderer (For Preview)/In"},
      {kIndex, L"ZARN MPEG Analyzer Filter/Input", L"Null Renderer (For MPG)/In", L""},
      {kMpeg, L"ZARN MPEG Analyzer Filter/Input", L"Callback Filter/MPEG Input", L""},
      {kMpeg | kPcm | kIndex, L"ZARN MPEG Analyzer Filter/Input", L"Callback Filter/MPEG Input",
       L"Null Renderer (For Preview)/In"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    Sink& sink = sinks_.Make(c.mask);
    Select(c.mask, &sink);
    ASSERT_EQ(S_OK, graph_->ConnectStreams());
    EXPECT_EQ(c.encoderPeer, PeerOf(graph_->graph(), L"TAVO Encode", L"MPEG Stream"));
    EXPECT_EQ(c.analyzerPeer, PeerOf(graph_->graph(), L"ZARN MPEG Analyzer Filter", L"Output"));
    EXPECT_EQ(c.previewPeer, PeerOf(graph_->graph(), L"TAVO Preview", L"Preview"));
    ASSERT_EQ(S_OK, graph_->Start());
    EXPECT_TRUE(sink.WaitAll());
    EXPECT_EQ(S_OK, graph_->Stop());
    EXPECT_EQ(S_OK, graph_->DisconnectStreams());
    EXPECT_EQ(0u, sink.seen_.load() & ~c.mask) << "a type nobody selected was delivered";
    EXPECT_FALSE(sink.bad_.load());
    EXPECT_EQ(L"", PeerOf(graph_->graph(), L"TAVO Preview", L"Audio PCM"));
  }
}

TEST_F(PexOutputDataGraphTest, AFailedConnectionLeavesNoPairBehindSoARetryWorks) {
  ASSERT_EQ(S_OK, Build());
  Sink& sink = sinks_.Make(kPcm);
  Select(kPcm, &sink);
  // The preview null renderer is taken: the last pair fails after the PCM pair was made.
  ComPtr<IBaseFilter> capture, nullPreview;
  ComPtr<IPin> capturePin, in;
  ASSERT_EQ(S_OK, graph_->graph()->FindFilterByName(L"TAVO Capture", &capture));
  ASSERT_EQ(S_OK, graph_->graph()->FindFilterByName(L"Null Renderer (For Preview)", &nullPreview));
  ASSERT_EQ(S_OK, capture->FindPin(L"Capture", &capturePin));
  ASSERT_EQ(S_OK, nullPreview->FindPin(L"In", &in));
  ASSERT_EQ(S_OK, graph_->graph()->ConnectDirect(capturePin.Get(), in.Get(), nullptr));
  EXPECT_TRUE(FAILED(graph_->ConnectStreams()));
  EXPECT_EQ(L"", PeerOf(graph_->graph(), L"TAVO Preview", L"Audio PCM"));
  EXPECT_EQ(VFW_E_NOT_CONNECTED, graph_->Start());
  ASSERT_EQ(S_OK, graph_->graph()->Disconnect(capturePin.Get()));
  ASSERT_EQ(S_OK, graph_->graph()->Disconnect(in.Get()));
  EXPECT_EQ(S_OK, graph_->ConnectStreams());
  EXPECT_EQ(L"Callback Filter/PCM Input", PeerOf(graph_->graph(), L"TAVO Preview", L"Audio PCM"));
}

TEST_F(PexOutputDataGraphTest, DisconnectTakesBackThePairsMadeEvenAfterTheSelectionChanged) {
  ASSERT_EQ(S_OK, Build());
  Sink& sink = sinks_.Make(kMpeg | kPcm);
  Select(kMpeg | kPcm, &sink);
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  Select(kIndex, &sink);  // the graph is stopped, so the selection may change while connected
  EXPECT_EQ(S_OK, graph_->DisconnectStreams());
  for (const auto& pin : {std::pair{L"TAVO Encode", L"MPEG Stream"}, std::pair{L"TAVO Preview", L"Audio PCM"},
                          std::pair{L"TAVO Preview", L"Preview"}}) {
    EXPECT_EQ(L"", PeerOf(graph_->graph(), pin.first, pin.second)) << pin.second;
  }
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  EXPECT_EQ(L"Null Renderer (For MPG)/In", PeerOf(graph_->graph(), L"ZARN MPEG Analyzer Filter", L"Output"));
}

TEST_F(PexOutputDataGraphTest, StopKeepsTheMinimumRecordingTimeAndWaitsForTheEncodersEnd) {
  ASSERT_EQ(S_OK, Build());
  EXPECT_EQ(1000u, graph_->minimumRecTime());  // no settings file beside the module
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, &sink);
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  const ULONGLONG start = GetTickCount64();
  ASSERT_EQ(S_OK, graph_->Start());
  EXPECT_EQ(VFW_E_NOT_STOPPED, graph_->SetRecordingParameters(0));
  EXPECT_EQ(VFW_E_NOT_STOPPED, graph_->SetAnalyzerParameters(1, 2, 3, 4));
  ASSERT_EQ(S_OK, graph_->Stop());
  EXPECT_GE(GetTickCount64() - start, 1000u);
  SimCardCounters counters{};
  ASSERT_EQ(S_OK, SimCard_GetCounters(capturePath_.c_str(), &counters));
  EXPECT_EQ(1u, counters.encoderStopsSignalled) << "the encoder was paused before the graph";
}

TEST_F(PexOutputDataGraphTest, EncoderAndGraphErrorsBecomeTheLastErrorAndStopWaitsForNothingAfterTheEncoders) {
  ASSERT_EQ(S_OK, Build());
  graph_->SetMinimumRecTime(0);
  graph_->SetStopWaits(pex::OutputDataGraph::kEncoderStateWaitMs, 60000);  // never reached
  ASSERT_EQ(S_OK, SimCard_SetEncoderStopMode(capturePath_.c_str(), kSimEncoderStopNever, 0));
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, &sink);
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  ASSERT_EQ(S_OK, graph_->Start());
  HANDLE error = nullptr;
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(0, &error));
  ASSERT_EQ(S_OK, SimCard_SignalKsEvent(capturePath_.c_str(), &kSimKsEncoderSet, 3));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(error, kEventWaitMs));
  EXPECT_EQ(errors::kEncoderFailure, graph_->GetLastError());
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(S_OK, graph_->Stop());
  EXPECT_LT(GetTickCount64() - start, 5000u);
  ASSERT_EQ(S_OK, graph_->Start());  // a new start clears the error
  EXPECT_EQ(S_OK, graph_->GetLastError());
  // A graph error event's own code becomes the last error.
  ResetEvent(error);
  ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), EC_ERRORABORT, E_ACCESSDENIED, 0));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(error, kEventWaitMs));
  EXPECT_EQ(E_ACCESSDENIED, graph_->GetLastError());
}

TEST_F(PexOutputDataGraphTest, EachRegistrationHasItsCodeAndTeardownTakesEveryOneBack) {
  const struct {
    const GUID* set;
    DWORD id;
    HRESULT code;
    size_t madeBefore;  // registrations made (and taken back) before the failing one
  } cases[] = {
      {&kSimKsEventSet, 3, errors::kCaptureEventUnsupported, 0},
      {&kSimKsEncoderSet, 3, errors::kEncoderErrorEventUnsupported, 1},
      {&kSimKsEncoderSet, 4, errors::kEncoderEndEventUnsupported, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const size_t before = Writes(kSimKsEventSet, 3).size() + Writes(kSimKsEncoderSet, 3).size();
    ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), c.set, c.id, KSPROPERTY_SUPPORT_GET));
    EXPECT_EQ(c.code, Build());
    EXPECT_FALSE(graph_->IsReady());
    ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), c.set, c.id, 3));
    const size_t after = Writes(kSimKsEventSet, 3).size() + Writes(kSimKsEncoderSet, 3).size();
    const size_t made = c.madeBefore > 2 ? 2 : c.madeBefore;
    EXPECT_EQ(before + 2 * made, after) << "each registration made is taken back";
  }
  ASSERT_EQ(S_OK, Build());
  const std::int32_t words[3] = {Word(graph_->captureAudioModeEvent()), Word(graph_->encoderErrorEvent()),
                                 Word(graph_->encoderEndEvent())};
  graph_->Teardown();
  const std::vector<SimCardKsWrite> logs[3] = {Writes(kSimKsEventSet, 3), Writes(kSimKsEncoderSet, 3),
                                               Writes(kSimKsEncoderSet, 4)};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_GE(logs[i].size(), 2u);
    EXPECT_EQ(28u, logs[i].back().size);
    EXPECT_EQ(words[i], logs[i][logs[i].size() - 2].values[0]);
    EXPECT_EQ(0, logs[i].back().values[0]);
  }
}

TEST_F(PexOutputDataGraphTest, PresetsAndRegistrySetsReachTheEncodersParameters) {
  testing_support::ScratchRegistryKey key(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", kRecParam);
  const std::wstring set151 = std::wstring(kRecParam) + L"\\151";
  const DWORD vbr = 5, mux = 5000000, gop = 3;
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, set151.c_str(), L"IsVBR", REG_DWORD, &vbr, 4));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, set151.c_str(), L"MuxBitrate", REG_DWORD, &mux, 4));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, set151.c_str(), L"GopType", REG_DWORD, &gop, 4));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, set151.c_str(), L"Width", REG_SZ, L"480", 8));
  ASSERT_EQ(S_OK, Build());
  const std::vector<LONG> driver = EncoderBlock();
  EXPECT_EQ(E_INVALIDARG, graph_->SetRecordingParameters(150));  // no such key
  auto pairs = Writes(kSimKsEncoderSet, 1);
  ASSERT_EQ(1u, pairs.size());
  EXPECT_EQ(32u, pairs[0].size);
  EXPECT_EQ(0, pairs[0].values[0]);
  EXPECT_EQ(1, pairs[0].values[1]);
  EXPECT_TRUE(Writes(kSimKsEncoderSet, 2).empty());
  EXPECT_EQ(E_INVALIDARG, graph_->SetRecordingParameters(3));

  const struct {
    int preset;
    LONG mux, mode, video, peak, width, height, gop;
  } cases[] = {
      // IsVBR 5 and a width of another type are ignored: the driver's values stay.
      {151, 5000000, driver[1], driver[2], driver[3], driver[9], driver[10], 3},
      // The presets leave what they do not name as the driver holds it (the GOP type above).
      {0, 8000000, 1, 7620000, 7620000, 720, 480, 3},
      {2, 4500000, 2, 2179600, 4000000, 352, 480, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preset);
    ASSERT_EQ(S_OK, graph_->SetRecordingParameters(c.preset));
    const std::vector<LONG> v = EncoderBlock();
    const LONG expected[] = {c.mux, c.mode, c.video, c.peak, c.width, c.height, c.gop, driver[14], driver[19]};
    const LONG actual[] = {v[0], v[1], v[2], v[3], v[9], v[10], v[6], v[14], v[19]};
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(expected[i], actual[i]) << i;
  }

  long count = -1;
  std::int32_t* info = nullptr;
  ASSERT_EQ(S_OK, graph_->GetOutputDataInfo(1, 151, &count, &info));
  ASSERT_EQ(18, count);
  EXPECT_EQ(5000000, info[3]);
  EXPECT_EQ(3, info[17]);
  CoTaskMemFree(info);
  EXPECT_EQ(E_INVALIDARG, graph_->GetOutputDataInfo(1, 150, &count, &info));

  // A registry set's information is a query: asked during a recording it reads the driver's
  // parameters (after the id 1 pair) and leaves the running encoder's parameters as they are.
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, &sink);
  graph_->SetMinimumRecTime(0);
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  ASSERT_EQ(S_OK, graph_->Start());
  const std::vector<LONG> recording = EncoderBlock();
  const size_t written = Writes(kSimKsEncoderSet, 2).size();
  ASSERT_EQ(S_OK, graph_->GetOutputDataInfo(1, 151, &count, &info));
  CoTaskMemFree(info);
  EXPECT_EQ(written, Writes(kSimKsEncoderSet, 2).size());
  EXPECT_EQ(recording, EncoderBlock());
  EXPECT_EQ(S_OK, graph_->Stop());
}

// A driver whose reply to the parameter block ends early: the preset is refused and nothing is
// written back, where the parameters it never returned would have gone to the encoder as zeros.
TEST_F(PexOutputDataGraphTest, AShortParameterReplyWritesNothingBack) {
  ASSERT_EQ(S_OK, Build());
  const std::vector<LONG> driver = EncoderBlock();
  ASSERT_EQ(S_OK, SimCard_SetKsReturned(capturePath_.c_str(), &kSimKsEncoderSet, 2, 60));
  EXPECT_EQ(errors::kInvalidData, graph_->SetRecordingParameters(0));
  EXPECT_TRUE(Writes(kSimKsEncoderSet, 2).empty());
  EXPECT_EQ(driver, EncoderBlock());
  ASSERT_EQ(S_OK, SimCard_SetKsReturned(capturePath_.c_str(), &kSimKsEncoderSet, 2, kSimKsReturnedWhole));
  EXPECT_EQ(S_OK, graph_->SetRecordingParameters(0));
}

TEST_F(PexOutputDataGraphTest, AnswersAndTheAnalyzersCallsInOrder) {
  long count = -1;
  std::int32_t* info = reinterpret_cast<std::int32_t*>(1);
  ASSERT_EQ(S_OK, graph_->GetOutputDataInfo(3, 0, &count, &info));
  EXPECT_EQ(0, count);
  EXPECT_EQ(nullptr, info);
  ASSERT_EQ(S_OK, graph_->GetOutputDataInfo(1, 0, &count, &info));
  ASSERT_EQ(17, count);
  EXPECT_EQ(7620000, info[7]);
  CoTaskMemFree(info);
  EXPECT_EQ(E_INVALIDARG, graph_->GetOutputDataInfo(2, 1, &count, &info));
  ULONG* types = nullptr;
  ASSERT_EQ(S_OK, graph_->GetAvailableTypes(&count, &types));
  ASSERT_EQ(3, count);
  EXPECT_EQ(3u, types[2]);
  CoTaskMemFree(types);
  EXPECT_EQ(E_INVALIDARG, graph_->GetAvailableSubTypes(4, &count, &types));

  HANDLE event = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(E_POINTER, graph_->GetNotifyEvent(0, &event));
  EXPECT_EQ(E_POINTER, graph_->SetAnalyzerParameters(1, 2, 3, 4));
  ASSERT_EQ(S_OK, Build());
  EXPECT_EQ(E_NOTIMPL, graph_->GetNotifyEvent(6, &event));
  EXPECT_EQ(nullptr, event);
  EXPECT_EQ(E_INVALIDARG, graph_->GetNotifyEvent(3, &event));

  ASSERT_EQ(S_OK, graph_->SetAnalyzerParameters(11, 22, 33, 44));
  const auto calls = doubles::Journal::Instance().Calls("MpegAnalyzer", "SetParameter");
  ASSERT_EQ(4u, calls.size());
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(i + 1, calls[i].args[0]);
    EXPECT_EQ(11 * (i + 1), calls[i].args[1]);
  }
  ASSERT_TRUE(doubles::Journal::Instance().InjectFailure("MpegAnalyzer", "SetParameter", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, graph_->SetAnalyzerParameters(1, 2, 3, 4));
  EXPECT_EQ(5u, doubles::Journal::Instance().Calls("MpegAnalyzer", "SetParameter").size()) << "stops at the failure";
}

TEST_F(PexOutputDataGraphTest, TheCaptureAudioModeEventBecomesTheRecordEventsUnlessExternal) {
  ASSERT_EQ(S_OK, Build());
  graph_->SetMinimumRecTime(0);
  HANDLE input = nullptr, output = nullptr;
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(1, &input));
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(2, &output));
  ASSERT_EQ(S_OK, SimCard_SignalKsEvent(capturePath_.c_str(), &kSimKsEventSet, 3));
  const HANDLE both[] = {input, output};
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, kEventWaitMs));
  ResetEvent(input);
  ResetEvent(output);
  SetEvent(graph_->externalInputEvent());
  ASSERT_EQ(S_OK, SimCard_SignalKsEvent(capturePath_.c_str(), &kSimKsEventSet, 3));
  EXPECT_TRUE(WaitFor([&] { return WaitForSingleObject(graph_->captureAudioModeEvent(), 0) == WAIT_TIMEOUT; }));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(input, 0));

  // The recorded sound's modes: mono while external, else from the TV audio filter.
  Sink& sink = sinks_.Make(kPcm);
  Select(kPcm, &sink);
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  _SHAL_INPUT_AUDIOMODE in{};
  EXPECT_EQ(VFW_E_NOT_RUNNING, graph_->GetCurrentInputAudioMode(&in));
  ASSERT_EQ(S_OK, graph_->Start());
  ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), 0x42));
  ASSERT_EQ(S_OK, graph_->GetCurrentInputAudioMode(&in));
  EXPECT_EQ(1u, in.mainL);
  ResetEvent(graph_->externalInputEvent());
  ASSERT_EQ(S_OK, graph_->GetCurrentInputAudioMode(&in));
  EXPECT_EQ(2u, in.mainL);
  EXPECT_EQ(32u, in.sub);
  EXPECT_EQ(S_OK, graph_->Stop());
}

}  // namespace

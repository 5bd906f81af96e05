// The second family's recording graph against the simulated card's numbered filters, the
// driver stand-in and the doubles of the callback filter and the MPEG analyzer.
#include "devices/tuner2/output_data_graph.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/testing/registry_fixture.h"
#include "devices/core/rec_param_preset.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/core/link/testing/link_test_support.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"

using link_testing::Thrown;
using Microsoft::WRL::ComPtr;
using output_testing::PeerOf;
using output_testing::kIndex;
using output_testing::kMpeg;
using output_testing::kPcm;
using output_testing::Sink;
using rul_testing::MakeItem;

namespace {

constexpr DWORD kEventWaitMs = 5000;

class RulRecordingGraphTest : public rul_testing::RulGraphTest {
 protected:
  void TearDown() override {
    graph_.reset();
    RulGraphTest::TearDown();
  }
  void BuildFor(LONG tuner) {
    graph_ = std::make_unique<rul::OutputDataGraph>(doubles_.get());
    graph_->SetMinimumRecTime(0);
    graph_->SetDeviceItem(MakeItem({{8, tuner}, {9, 2}}).Get());
    graph_->Build(capturePath_.c_str());
  }
  // Selects the types of `mask` (bit n: type n) with `callback` (a sink of its own when null),
  // MPEG with `mpegSubtype`; the other types are switched off.
  void Select(unsigned mask, ULONG mpegSubtype = 0, IOutputDataCB* callback = nullptr) {
    if (!callback) callback = &sinks_.Make(mask);
    for (ULONG type = 1; type <= 3; ++type) {
      const _SHAL_OUTPUTDTATA_TYPE choice{type, type == 1 ? mpegSubtype : 0};
      ASSERT_EQ(S_OK, graph_->SetOutputDataType(&choice, (mask >> type) & 1 ? callback : nullptr));
    }
  }
  std::vector<std::uint8_t> DriverRecord(UINT tuner) {
    SimDriverTunerState state{};
    EXPECT_EQ(S_OK, SimDriver_GetTunerState(driverCard_, tuner, &state));
    return {state.encoderRecord, state.encoderRecord + sizeof(state.encoderRecord)};
  }
  std::wstring Peer(const wchar_t* filter, const wchar_t* pin) { return PeerOf(graph_->graph(), filter, pin); }

  output_testing::Sinks sinks_;  // outlives the graph
  std::unique_ptr<rul::OutputDataGraph> graph_;
};

std::uint32_t Word(const std::vector<std::uint8_t>& record, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, record.data() + offset, sizeof(value));
  return value;
}

TEST_F(RulRecordingGraphTest, EverySelectionConnectsItsPins) {
  BuildFor(1);
  struct Case {
    unsigned mask;
    const wchar_t* analyzerOutput;  // peer of the analyzer's "Output"
    const wchar_t* indexInfo;       // peer of "INDEX_INFO"
    const wchar_t* encoder;         // peer of the encoder's "MPEG Stream"
    const wchar_t* pcm;             // peer of the capture's "Audio PCM"
    const wchar_t* video;           // peer of the capture's video pin
  };
  const wchar_t* const kAnalyzerIn = L"ZARN MPEG Analyzer/Input";
  const wchar_t* const kCallbackPcm = L"Callback Filter/PCM Input";
  const wchar_t* const kPreviewIn = L"Null Renderer (Preview)/In";
  const Case cases[] = {
      {0, L"", L"", L"", L"", L""},
      {kMpeg, L"Callback Filter/MPEG Input", L"", kAnalyzerIn, L"", L""},
      {kPcm, L"", L"", L"", kCallbackPcm, kPreviewIn},
      {kIndex, L"Null Renderer (MPG)/In", L"Callback Filter/INDEX Input", kAnalyzerIn, L"", L""},
      {kMpeg | kPcm, L"Callback Filter/MPEG Input", L"", kAnalyzerIn, kCallbackPcm, kPreviewIn},
      {kMpeg | kIndex, L"Callback Filter/MPEG Input", L"Callback Filter/INDEX Input", kAnalyzerIn, L"", L""},
      {kPcm | kIndex, L"Null Renderer (MPG)/In", L"Callback Filter/INDEX Input", kAnalyzerIn, kCallbackPcm,
       kPreviewIn},
      {kMpeg | kPcm | kIndex, L"Callback Filter/MPEG Input", L"Callback Filter/INDEX Input", kAnalyzerIn,
       kCallbackPcm, kPreviewIn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << c.mask);
    Select(c.mask);
    ASSERT_EQ(S_OK, graph_->Connect());
    EXPECT_EQ(1, graph_->GetFlag());
    EXPECT_EQ(c.analyzerOutput, Peer(L"ZARN MPEG Analyzer", L"Output"));
    EXPECT_EQ(c.indexInfo, Peer(L"ZARN MPEG Analyzer", L"INDEX_INFO"));
    EXPECT_EQ(c.encoder, Peer(L"DORU Encode 2", L"MPEG Stream"));
    EXPECT_EQ(c.pcm, Peer(L"DORU Capture 2", L"Audio PCM"));
    EXPECT_EQ(c.video, Peer(L"DORU Capture 2", L"Video"));
    ASSERT_EQ(S_OK, graph_->Disconnect());
    EXPECT_EQ(0, graph_->GetFlag());
    for (const wchar_t* pin : {L"Audio PCM", L"Video"}) EXPECT_EQ(L"", Peer(L"DORU Capture 2", pin));
    EXPECT_EQ(L"", Peer(L"DORU Encode 2", L"MPEG Stream"));
  }

  // A connection that fails takes back the ones made before it: here the null renderer (MPG)
  // is taken already, after the encoder was joined to the analyzer.
  ComPtr<IBaseFilter> capture, nullMpg;
  ComPtr<IPin> video, in;
  ASSERT_EQ(S_OK, graph_->graph()->FindFilterByName(L"DORU Capture 2", &capture));
  ASSERT_EQ(S_OK, graph_->graph()->FindFilterByName(L"Null Renderer (MPG)", &nullMpg));
  ASSERT_EQ(S_OK, capture->FindPin(L"Video", &video));
  ASSERT_EQ(S_OK, nullMpg->FindPin(L"In", &in));
  ASSERT_EQ(S_OK, graph_->graph()->ConnectDirect(video.Get(), in.Get(), nullptr));
  Select(kIndex);
  EXPECT_TRUE(FAILED(graph_->Connect()));
  EXPECT_EQ(0, graph_->GetFlag());
  EXPECT_EQ(L"", Peer(L"DORU Encode 2", L"MPEG Stream"));
  EXPECT_EQ(L"", Peer(L"ZARN MPEG Analyzer", L"INDEX_INFO"));
}

// A build that fails leaves nothing built: card 1 has no numbered filters.
TEST_F(RulRecordingGraphTest, AFailedBuildLeavesNothing) {
  rul::OutputDataGraph graph(doubles_.get());
  graph.SetDeviceItem(MakeItem({{8, 0}, {9, 1}}).Get());
  EXPECT_EQ(VFW_E_NOT_FOUND, Thrown([&] { graph.Build(simcard_testing::PathOf(1, kSimRoleCapture).c_str()); }));
  EXPECT_FALSE(graph.IsReady());
  EXPECT_EQ(nullptr, graph.graph());
}

// Data of every selected type reaches the host with its type and subtype; Stop waits out the
// minimum recording time and lets the encoder drain; only tuner 1 raises "Recording".
TEST_F(RulRecordingGraphTest, RecordingDeliversToTheHostAndStopsAfterTheMinimumTime) {
  for (LONG tuner : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "tuner " << tuner);
    BuildFor(tuner);
    constexpr DWORD kMinimumMs = 400;
    graph_->SetMinimumRecTime(kMinimumMs);
    Sink& sink = sinks_.Make(kMpeg | kPcm | kIndex);
    Select(kMpeg | kPcm | kIndex, 2, &sink);
    ASSERT_EQ(S_OK, graph_->Connect());
    ASSERT_EQ(S_OK, graph_->Start());
    const DWORD started = GetTickCount();
    EXPECT_EQ(tuner == 1, graph_->recordingEvent() != nullptr);
    if (tuner == 1) {
      EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(graph_->recordingEvent(), 0));
    }
    ASSERT_TRUE(sink.WaitAll());
    EXPECT_FALSE(sink.bad_);
    EXPECT_EQ(2u, sink.subtype_[0].load());
    EXPECT_EQ(0u, sink.subtype_[1].load());
    EXPECT_EQ(0u, sink.subtype_[2].load());
    EXPECT_EQ(S_OK, graph_->Stop());
    EXPECT_GE(GetTickCount() - started, kMinimumMs);
    // The encoder drained: the driver signalled "stream stopped" on the pause.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(graph_->streamStoppedEvent(), 0));
    if (tuner == 1) {
      EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(graph_->recordingEvent(), 0));
    }
    graph_.reset();
  }
}

// The host's callback goes with the graph: the teardown lets it go (the host may free it once
// IOutputData is uninitialised), and a graph built again never hands it to its callback filter.
TEST_F(RulRecordingGraphTest, TeardownLetsTheHostsCallbackGo) {
  BuildFor(0);
  Sink& sink = sinks_.Make(kMpeg);
  Select(kMpeg, 0, &sink);
  EXPECT_GT(sink.refs_.load(), 0u);
  graph_->Teardown();
  EXPECT_EQ(0u, sink.refs_.load());
  graph_->SetDeviceItem(MakeItem({{8, 0}, {9, 2}}).Get());
  graph_->Build(capturePath_.c_str());
  EXPECT_EQ(0u, sink.refs_.load());
}

TEST_F(RulRecordingGraphTest, EncoderPresetsWriteTheirFieldsAndPassTheRestThrough) {
  BuildFor(1);
  testing_support::ScratchRegistryKey presets(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                              L"Software\\Zarn Corporation\\Tovrel\\RecParam");
  const auto dword = [&](const wchar_t* sub, const wchar_t* name, DWORD value) {
    ASSERT_TRUE(presets.Set(sub, name, REG_DWORD, &value, sizeof(value)));
  };
  // 150: everything; 151: "IsVBR" 5 and a text "Width" (not a DWORD: as if missing); 152: VBR
  // on, nothing else.
  dword(L"150", L"MuxBitrate", 6000000);
  dword(L"150", L"IsVBR", 0);
  dword(L"150", L"VideoBitrate", 5000000);
  dword(L"150", L"VideoBitrateMax", 5500000);
  dword(L"150", L"Width", 544);
  dword(L"150", L"Height", 480);
  dword(L"150", L"GopType", 3);
  dword(L"150", L"AudioBitrate", 192000);
  dword(L"151", L"IsVBR", 5);
  ASSERT_TRUE(presets.Set(L"151", L"Width", REG_SZ, L"640", 8));
  dword(L"152", L"IsVBR", 1);

  struct Case {
    ULONG subtype;
    HRESULT result;
    // Expected words at byte offsets 4 (mux), 8 (mode), 12, 16 (video, max), 20, 28 (GOP),
    // 40, 44 (width, height), 61 (audio).
    std::uint32_t mux, mode, video, videoMax, five, gop, width, height, audio;
  };
  const Case cases[] = {
      {150, S_OK, 6000000, 1, 5000000, 5500000, 0, 3, 544, 480, 192000},
      {0, S_OK, 8000000, 1, 7620000, 0, 4, 3, 720, 480, 192000},  // GOP and audio pass through
      {151, S_OK, 8000000, 1, 7620000, 0, 4, 3, 720, 480, 192000},  // nothing readable changes
      {1, S_OK, 8000000, 2, 3670000, 7620000, 4, 3, 720, 480, 192000},
      {2, S_OK, 4500000, 2, 2179600, 4000000, 4, 3, 352, 480, 192000},
      {152, S_OK, 4500000, 2, 2179600, 4000000, 4, 3, 352, 480, 192000},
      {99, E_INVALIDARG, 4500000, 2, 2179600, 4000000, 4, 3, 352, 480, 192000},
      {201, E_INVALIDARG, 4500000, 2, 2179600, 4000000, 4, 3, 352, 480, 192000},
      {100, E_INVALIDARG, 4500000, 2, 2179600, 4000000, 4, 3, 352, 480, 192000},  // no key
      {3, E_INVALIDARG, 4500000, 2, 2179600, 4000000, 4, 3, 352, 480, 192000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "subtype " << c.subtype);
    EXPECT_EQ(c.result, Thrown([&] { graph_->ApplyEncoderPreset(c.subtype); }));
    const std::vector<std::uint8_t> record = DriverRecord(1);
    EXPECT_EQ(1u, Word(record, 0));
    EXPECT_EQ(c.mux, Word(record, 4));
    EXPECT_EQ(c.mode, Word(record, 8));
    EXPECT_EQ(c.video, Word(record, 12));
    EXPECT_EQ(c.videoMax, Word(record, 16));
    EXPECT_EQ(c.five, Word(record, 20));
    EXPECT_EQ(c.gop, Word(record, 28));
    EXPECT_EQ(c.width, Word(record, 40));
    EXPECT_EQ(c.height, Word(record, 44));
    EXPECT_EQ(c.audio, Word(record, 61));
  }
  // Tuner 0's record was never touched.
  EXPECT_EQ(std::vector<std::uint8_t>(78, 0), DriverRecord(0));
}

TEST_F(RulRecordingGraphTest, InformationWordsByTypeAndSubtype) {
  BuildFor(1);
  testing_support::ScratchRegistryKey presets(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                              L"Software\\Zarn Corporation\\Tovrel\\RecParam");
  const DWORD values[][2] = {{0, 1}, {1, 3000000}, {2, 2000000}, {3, 2500000}, {4, 352}, {5, 240}, {6, 1}};
  const wchar_t* const names[] = {L"IsVBR", L"MuxBitrate", L"VideoBitrate", L"VideoBitrateMax",
                                  L"Width", L"Height", L"GopType"};
  for (const auto& v : values) ASSERT_TRUE(presets.Set(L"120", names[v[0]], REG_DWORD, &v[1], sizeof(DWORD)));
  // Tuner 1's record is not the one the registry form reads.
  graph_->ApplyEncoderPreset(1);

  struct Case {
    ULONG type, subtype;
    HRESULT result;
    std::vector<DWORD> words;
  };
  const Case cases[] = {
      {1, 0, S_OK, {2, 0, 9, 8000000, 0, 1, 0, 7620000, 0, 480, 720, 2, 4, 2, 256000, 0, 48000}},
      {1, 1, S_OK, {2, 1, 9, 4000000, 8000000, 1, 0, 3670000, 7620000, 480, 720, 2, 4, 2, 256000, 0, 48000}},
      {1, 2, S_OK, {2, 1, 9, 2500000, 4500000, 1, 0, 2179600, 4000000, 480, 352, 2, 4, 2, 256000, 0, 48000}},
      // The registry form reads the record of word 0 = 0 (all zero here) overlaid with preset 120.
      {1, 120, S_OK, {2, 1, 9, 3000000, 0, 1, 0, 2000000, 2500000, 240, 352, 2, 4, 2, 0, 0, 48000, 1}},
      {1, 121, E_INVALIDARG, {}},
      {1, 3, E_INVALIDARG, {}},
      {2, 0, S_OK, {2, 48000, 256000, 4, 16}},
      {2, 1, E_INVALIDARG, {}},
      {3, 0, S_OK, {}},
      {4, 0, E_INVALIDARG, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.subtype);
    ULONG count = 99;
    DWORD* words = nullptr;
    EXPECT_EQ(c.result, graph_->GetOutputDataInfo(c.type, c.subtype, &count, &words));
    if (c.result != S_OK) continue;
    EXPECT_EQ(c.words, std::vector<DWORD>(words, words + count));
    EXPECT_EQ(c.words.empty(), words == nullptr);
    CoTaskMemFree(words);
  }
  struct Subtypes {
    ULONG type;
    HRESULT result;
    std::vector<ULONG> subtypes;
  };
  for (const Subtypes& s : {Subtypes{1, S_OK, {0, 1, 2}}, Subtypes{2, S_OK, {0}}, Subtypes{3, S_OK, {0}},
                            Subtypes{0, E_INVALIDARG, {}}}) {
    ULONG count = 0;
    ULONG* subtypes = nullptr;
    EXPECT_EQ(s.result, graph_->GetAvailableSubTypes(s.type, &count, &subtypes));
    if (s.result == S_OK) {
      EXPECT_EQ(s.subtypes, std::vector<ULONG>(subtypes, subtypes + count));
    }
    CoTaskMemFree(subtypes);
  }
}

// Graph error events set the error event and keep their first parameter; other events do not.
TEST_F(RulRecordingGraphTest, GraphErrorsReachTheErrorEvent) {
  BuildFor(0);
  HANDLE error = nullptr;
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(0, &error));
  struct Case {
    LONG code;
    bool error;
  };
  for (const Case& c : {Case{EC_COMPLETE, false}, Case{EC_ERRORABORT, true}, Case{EC_STREAM_ERROR_STOPPED, true},
                        Case{EC_ERROR_STILLPLAYING, true}}) {
    SCOPED_TRACE(testing::Message() << "code " << c.code);
    ResetEvent(error);
    const LONG_PTR param = static_cast<LONG_PTR>(0x80040000 + c.code);
    ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), c.code, param, 0));
    if (c.error) {
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(error, kEventWaitMs));
      DWORD last = 0;
      EXPECT_EQ(S_OK, graph_->GetLastError(&last));
      EXPECT_EQ(static_cast<DWORD>(param), last);
    } else {
      // A following error event proves the first was taken and passed over.
      ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), EC_ERRORABORT, 7, 0));
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(error, kEventWaitMs));
      DWORD last = 0;
      EXPECT_EQ(S_OK, graph_->GetLastError(&last));
      EXPECT_EQ(7u, last);
    }
  }
}

// What each operation asks of the graph's state, and the audio modes of a running graph.
TEST_F(RulRecordingGraphTest, OperationsCheckTheGraphState) {
  rul::OutputDataGraph unbuilt(doubles_.get());
  const _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  HANDLE event = nullptr;
  EXPECT_EQ(E_POINTER, unbuilt.SetOutputDataType(&mpeg, &sinks_.Make(kMpeg)));
  EXPECT_EQ(E_POINTER, unbuilt.Start());
  EXPECT_EQ(E_POINTER, unbuilt.GetNotifyEvent(0, &event));
  EXPECT_EQ(HRESULT(0x8007E100), Thrown([&] { unbuilt.Build(capturePath_.c_str()); }));

  BuildFor(1);
  EXPECT_EQ(E_POINTER, graph_->SetOutputDataType(nullptr, &sinks_.Make(kMpeg)));
  const _SHAL_OUTPUTDTATA_TYPE bad{4, 0};
  EXPECT_EQ(E_INVALIDARG, graph_->SetOutputDataType(&bad, &sinks_.Make(kMpeg)));
  for (long kind = 0; kind < 4; ++kind) {
    EXPECT_EQ(S_OK, graph_->GetNotifyEvent(kind, &event));
    EXPECT_NE(nullptr, event);
  }
  EXPECT_EQ(E_INVALIDARG, graph_->GetNotifyEvent(4, &event));
  EXPECT_EQ(nullptr, event);
  EXPECT_EQ(VFW_E_NOT_CONNECTED, graph_->Start());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, graph_->EndOfData(0));
  _SHAL_INPUT_AUDIOMODE input{9, 9, 9};
  EXPECT_EQ(VFW_E_NOT_RUNNING, graph_->GetCurrentInputAudioMode(&input));

  Select(kPcm);
  ASSERT_EQ(S_OK, graph_->Connect());
  EXPECT_EQ(VFW_E_NOT_RUNNING, graph_->EndOfData(0));
  ASSERT_EQ(S_OK, graph_->Start());
  EXPECT_EQ(VFW_E_NOT_STOPPED, graph_->SetOutputDataType(&mpeg, &sinks_.Make(kMpeg)));
  EXPECT_EQ(VFW_E_NOT_STOPPED, graph_->SetAnalyzerParameters(1, 2, 3, 4));
  EXPECT_EQ(S_OK, graph_->EndOfData(1));

  struct Mode {
    DWORD tvMode;
    bool external;
    _SHAL_INPUT_AUDIOMODE input;
    _SHAL_OUTPUT_AUDIOMODE output;
  };
  const Mode modes[] = {
      {0x01, false, {1, 1, 0}, {1, 1}},  {0x22, false, {2, 2, 16}, {2, 2}}, {0x42, false, {2, 2, 32}, {2, 2}},
      {0x32, false, {4, 8, 0}, {4, 8}},  {0x22, true, {1, 1, 0}, {1, 1}},
  };
  for (const Mode& m : modes) {
    SCOPED_TRACE(testing::Message() << std::hex << m.tvMode << " external " << m.external);
    ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), m.tvMode));
    if (m.external) SetEvent(graph_->externalInputEvent());
    _SHAL_OUTPUT_AUDIOMODE output{9, 9};
    ASSERT_EQ(S_OK, graph_->GetCurrentInputAudioMode(&input));
    ASSERT_EQ(S_OK, graph_->GetCurrentOutputAudioMode(&output));
    EXPECT_EQ(m.input.mainL, input.mainL);
    EXPECT_EQ(m.input.mainR, input.mainR);
    EXPECT_EQ(m.input.sub, input.sub);
    EXPECT_EQ(m.output.lineL, output.lineL);
    EXPECT_EQ(m.output.lineR, output.lineR);
    ResetEvent(graph_->externalInputEvent());
  }
  EXPECT_EQ(S_OK, graph_->Stop());
}

// The encoder never reports "stream stopped": Stop goes on after the wait. Runs the full wait
// the shortened constant gives (labelled slow).
TEST_F(RulRecordingGraphTest, StreamStoppedTimeoutEndsTheWait) {
  constexpr DWORD kWaitMs = rul::OutputDataGraph::kStreamStoppedWaitMs / 5;
  BuildFor(0);
  graph_->SetStreamStoppedWait(kWaitMs);
  ASSERT_EQ(S_OK, SimCard_SetEncoderStopMode(capturePath_.c_str(), kSimEncoderStopNever, 0));
  Select(kMpeg);
  ASSERT_EQ(S_OK, graph_->Connect());
  ASSERT_EQ(S_OK, graph_->Start());
  const DWORD before = GetTickCount();
  EXPECT_EQ(S_OK, graph_->Stop());
  const DWORD waited = GetTickCount() - before;
  EXPECT_GE(waited, kWaitMs - 20);  // the tick count's granularity
  EXPECT_LT(waited, kWaitMs + 5000);
  OAFilterState state = State_Running;
  EXPECT_TRUE(SUCCEEDED(graph_->GetState(&state, 0)));
  EXPECT_EQ(State_Stopped, state);
}

}  // namespace

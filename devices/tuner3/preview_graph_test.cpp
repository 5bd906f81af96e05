// The third family's preview graph against the simulated card's "TAVO" filters.
#include "devices/tuner3/preview_graph.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/device/device_identity.h"
#include "common/handles.h"
#include "common/testing/paths.h"
#include "devices/core/preview_window.h"
#include "devices/core/testing/pin_taker.h"
#include "devices/tuner3/graph_events.h"
#include "devices/tuner3/pex_traits.h"
#include "devices/tuner3/testing/pex_card_fixture.h"
#include "sim/doubles/outside_interfaces.h"
#include "sim/doubles/platform_doubles_testing.h"

using namespace pex_testing;

namespace {

constexpr DWORD kEventWaitMs = 5000;

class PexPreviewGraphTest : public PexCardTest {
 protected:
  void SetUp() override {
    PexCardTest::SetUp();
    // The doubles' folder stands for the device manager's own (the sound path's filters and
    // the audio pacer lie there).
    filters_.reset(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
    ASSERT_TRUE(filters_);
    graph_ = std::make_unique<pex::PreviewGraph>(filters_.get());
    graph_->SetStopTimeout(5000);
  }
  void TearDown() override {
    graph_.reset();
    PexCardTest::TearDown();
  }
  HRESULT Build() { return graph_->Build(DeviceIdentity(capturePath_.c_str())); }
  UniqueModule filters_;
  std::unique_ptr<pex::PreviewGraph> graph_;
};

TEST_F(PexPreviewGraphTest, AudioModesFollowTheTvAudioFilterUnlessAnExternalInputIsChosen) {
  _SHAL_INPUT_AUDIOMODE in{};
  _SHAL_OUTPUT_AUDIOMODE out{};
  EXPECT_EQ(E_POINTER, graph_->GetCurrentInputAudioMode(&in));
  ASSERT_EQ(S_OK, Build());
  EXPECT_EQ(VFW_E_NOT_RUNNING, graph_->GetCurrentOutputAudioMode(&out));
  ASSERT_TRUE(SUCCEEDED(graph_->Run()));
  const struct {
    bool external;
    DWORD tvMode;
    _SHAL_INPUT_AUDIOMODE in;
    _SHAL_OUTPUT_AUDIOMODE out;
  } cases[] = {
      {true, 0x31, {1, 1, 0}, {1, 1}},  // the TV audio filter is never asked (its next call fails)
      {false, 0x31, {4, 8, 0}, {4, 8}},
      {false, 0x02, {2, 2, 0}, {2, 2}},
      {false, 0x22, {2, 2, 0}, {2, 2}},  // a second language alone is not reported here
      {false, 0x01, {1, 1, 0}, {1, 1}},
      {false, 0x42, {2, 2, 0}, {2, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tvMode + (c.external ? 0x1000 : 0));
    ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), c.tvMode));
    if (c.external) {
      SetEvent(graph_->externalInputEvent());
      ASSERT_EQ(S_OK, SimCard_InjectFailure(capturePath_.c_str(), "get_TVAudioMode", E_ACCESSDENIED, 2));
    }
    ASSERT_EQ(S_OK, graph_->GetCurrentInputAudioMode(&in));
    ASSERT_EQ(S_OK, graph_->GetCurrentOutputAudioMode(&out));
    EXPECT_EQ(c.in.mainL, in.mainL);
    EXPECT_EQ(c.in.mainR, in.mainR);
    EXPECT_EQ(c.in.sub, in.sub);
    EXPECT_EQ(c.out.lineL, out.lineL);
    EXPECT_EQ(c.out.lineR, out.lineR);
    if (c.external) {
      ResetEvent(graph_->externalInputEvent());
      // Both injected failures are still waiting: the filter was not called.
      EXPECT_EQ(E_ACCESSDENIED, graph_->GetCurrentInputAudioMode(&in));
      EXPECT_EQ(E_ACCESSDENIED, graph_->GetCurrentInputAudioMode(&in));
    }
  }
  EXPECT_TRUE(SUCCEEDED(graph_->Stop()));
}

TEST_F(PexPreviewGraphTest, VideoSizeComesFromEitherVideoInformationFormatOnly) {
  pex::PreviewVideoSize size{};
  EXPECT_EQ(E_POINTER, graph_->GetVideoSize(&size));
  ASSERT_EQ(S_OK, Build());
  const struct {
    UINT format;
    HRESULT result;
  } cases[] = {{kSimPreviewVideoInfo, S_OK},   {kSimPreviewVideoInfo2, S_OK}, {kSimPreviewOther, E_FAIL},
               {kSimPreviewShortBlock, E_FAIL}, {kSimPreviewNoBlock, E_FAIL}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    ASSERT_EQ(S_OK, SimCard_SetPreviewFormat(capturePath_.c_str(), c.format));
    EXPECT_EQ(c.result, graph_->GetVideoSize(&size));
    if (c.result == S_OK) {
      EXPECT_EQ(720, size.width);
      EXPECT_EQ(480, size.height);
      EXPECT_EQ(4, size.planes);
      EXPECT_EQ(1, size.count);
    }
  }
}

TEST_F(PexPreviewGraphTest, TheAudioModeEventIsRegisteredAndUnregisteredAlsoAfterAFailedBuild) {
  // A card that cannot set the property: its own code, nothing written.
  ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), &kSimKsEventSet, 1, KSPROPERTY_SUPPORT_GET));
  EXPECT_EQ(errors::kPreviewEventUnsupported, Build());
  EXPECT_FALSE(graph_->IsReady());
  EXPECT_TRUE(Writes(kSimKsEventSet, 1).empty());
  ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), &kSimKsEventSet, 1, 3));

  // A registration the driver answers with a failure is taken back by the undo.
  ASSERT_EQ(S_OK, SimCard_InjectFailure(capturePath_.c_str(), "KsSet", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, Build());
  auto writes = Writes(kSimKsEventSet, 1);
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(28u, writes[0].size);
  EXPECT_EQ(0, writes[0].values[0]);

  ASSERT_EQ(S_OK, Build());
  const std::int32_t word = Word(graph_->audioModeEvent());
  ASSERT_NE(0, word);
  graph_->Teardown();
  writes = Writes(kSimKsEventSet, 1);
  ASSERT_EQ(3u, writes.size());
  EXPECT_EQ(word, writes[1].values[0]);
  EXPECT_EQ(0, writes[2].values[0]);
}

TEST_F(PexPreviewGraphTest, TheDriversAudioModeEventBecomesTheLiveEventsUnlessExternal) {
  ASSERT_EQ(S_OK, Build());
  HANDLE input = nullptr, output = nullptr, error = nullptr;
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(pex::PreviewGraph::kLiveInputAudio, &input));
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(pex::PreviewGraph::kLiveOutputAudio, &output));
  ASSERT_EQ(S_OK, graph_->GetNotifyEvent(pex::PreviewGraph::kGraphError, &error));
  EXPECT_EQ(E_INVALIDARG, graph_->GetNotifyEvent(3, &error));
  EXPECT_EQ(nullptr, error);

  ASSERT_EQ(S_OK, SimCard_SignalKsEvent(capturePath_.c_str(), &kSimKsEventSet, 1));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(input, kEventWaitMs));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(output, kEventWaitMs));
  EXPECT_TRUE(WaitFor([&] { return WaitForSingleObject(graph_->audioModeEvent(), 0) == WAIT_TIMEOUT; }));

  ResetEvent(input);
  ResetEvent(output);
  SetEvent(graph_->externalInputEvent());
  ASSERT_EQ(S_OK, SimCard_SignalKsEvent(capturePath_.c_str(), &kSimKsEventSet, 1));
  EXPECT_TRUE(WaitFor([&] { return WaitForSingleObject(graph_->audioModeEvent(), 0) == WAIT_TIMEOUT; }));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(input, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(output, 0));
}

TEST_F(PexPreviewGraphTest, AWindowChainThatFailsIsNotKeptAndTheStreamsConnect) {
  // {5C1A00FF-7E2B-4D3A-9F10-3B6C0D5E7A01}: no module holds it.
  constexpr CLSID kNoFilter = {0x5c1a00ff, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0x01}};
  const auto chain = [] { return std::make_unique<VideoChainBuilder>(ChainDevice{}, false); };
  EXPECT_EQ(errors::kPreviewNotBuilt, graph_->ConnectStreams());
  EXPECT_EQ(errors::kPreviewNotBuilt, graph_->InsertCustomFilter(chain(), 0, kNoFilter, L"missing.ax"));
  ASSERT_EQ(S_OK, Build());
  PreviewWindowSide window(PexTraits::kPreviewWindow, [&] { return graph_->videoChain(); });
  EXPECT_EQ(E_UNEXPECTED, window.SetVideoClippingWindow(nullptr));
  EXPECT_EQ(E_OUTOFMEMORY, graph_->InsertCustomFilter(nullptr, 0, kNoFilter, L"missing.ax"));
  // A chain whose custom filter cannot be made is not kept: the preview connects (and runs)
  // without one.
  EXPECT_TRUE(FAILED(graph_->InsertCustomFilter(chain(), 0, kNoFilter, L"missing.ax")));
  EXPECT_EQ(nullptr, graph_->videoChain());
  EXPECT_EQ(E_UNEXPECTED, window.SetVideoClippingWindow(nullptr));
  EXPECT_EQ(S_OK, graph_->ConnectStreams());
  EXPECT_TRUE(graph_->connected());
  EXPECT_EQ(S_OK, graph_->ConnectStreams());
  EXPECT_EQ(S_OK, graph_->DisconnectStreams());
  EXPECT_EQ(S_OK, graph_->ConnectStreams());
}

TEST_F(PexPreviewGraphTest, TheSoundPathRunsBehindTheSyncWrapperAndAnswersOnlyWhileBuilt) {
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
  DWORD rate = 0, channels = 0, bits = 0;
  EXPECT_EQ(errors::kPreviewNotBuilt, graph_->GetSoundDataInfo(&rate, &channels, &bits));
  EXPECT_EQ(E_POINTER, graph_->soundControls().SetBalance(0));  // no audio renderer object
  EXPECT_EQ(errors::kPreviewNullPointer, graph_->SetSoundSettings(nullptr));
  ASSERT_EQ(S_OK, Build());
  EXPECT_EQ(S_OK, graph_->GetSoundDataInfo(&rate, &channels, &bits));
  EXPECT_EQ(48000u, rate);
  EXPECT_EQ(2u, channels);
  EXPECT_EQ(16u, bits);

  ASSERT_EQ(S_OK, graph_->AddAudioRenderer(doubles::kClsidSimSound));
  ASSERT_EQ(S_OK, graph_->ConnectStreams());
  ComPtr<IPin> peer;
  EXPECT_EQ(S_OK, graph_->soundPin()->ConnectedTo(&peer)) << "the sound pin feeds the sync filter";
  EXPECT_EQ(S_OK, graph_->soundControls().SetBalance(-500));
  LONG balance = 0;
  EXPECT_EQ(S_OK, graph_->soundControls().GetBalance(&balance));
  EXPECT_EQ(-500, balance);
  EXPECT_EQ(E_INVALIDARG, graph_->soundControls().GetBalance(nullptr));
  graph_->Teardown();
  EXPECT_EQ(errors::kPreviewNotBuilt, graph_->soundControls().SetBalance(0));  // the renderer object is still held
  EXPECT_EQ(S_OK, graph_->RemoveAudioRenderer());
  EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
}

// A sound pin the sync wrapper cannot connect to its filter fails the connection and is not
// kept: a later attempt is refused for the same reason, and once the pin is free the streams
// connect.
TEST_F(PexPreviewGraphTest, ASoundPinTheSyncWrapperRefusedIsNotKept) {
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
  ASSERT_EQ(S_OK, Build());
  ASSERT_EQ(S_OK, graph_->AddAudioRenderer(doubles::kClsidSimSound));
  PinTaker taker(graph_->graph(), graph_->soundPin());
  ExpectRefusedWhileTakenThenConnects(
      taker, [&] { return graph_->ConnectStreams(); }, [&] { return graph_->connected(); });
  ComPtr<IPin> peer;
  EXPECT_EQ(S_OK, graph_->soundPin()->ConnectedTo(&peer)) << "the sound pin feeds the sync filter";
  EXPECT_EQ(S_OK, graph_->DisconnectStreams());
  EXPECT_EQ(S_OK, graph_->RemoveAudioRenderer());
  EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
}

}  // namespace

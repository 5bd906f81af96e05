// The second family's preview graph against the simulated card's numbered filters and the
// driver stand-in: its pins by tuner, its events and watch thread, its audio modes, the
// forwarders without their parts, and the deactivation.
#include "devices/tuner2/preview_graph.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <wrl/client.h>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/testing/child.h"
#include "devices/core/device_objects.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/link/testing/link_test_support.h"
#include "devices/core/preview_window.h"
#include "devices/core/testing/pin_taker.h"
#include "devices/tuner2/rul_traits.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"
#include "sim/card/picture_testing.h"

using Microsoft::WRL::ComPtr;
using link_testing::Thrown;
using rul_testing::MakeItem;
using simcard_testing::WaitUntil;

namespace {

constexpr DWORD kEventWaitMs = 5000;

std::wstring PinName(IPin* pin) {
  PIN_INFO info{};
  if (!pin || FAILED(pin->QueryPinInfo(&info))) return L"";
  if (info.pFilter) info.pFilter->Release();
  return info.achName;
}

bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

class RulPreviewGraphTest : public rul_testing::RulGraphTest {
 protected:
  void TearDown() override {
    graph_.reset();
    RulGraphTest::TearDown();
  }
  void BuildFor(LONG tuner, const std::wstring& stateName = L"") {
    graph_ = std::make_unique<rul::PreviewGraph>();
    graph_->SetStopTimeout(kEventWaitMs);
    graph_->SetDeviceItem(MakeItem({{2, 7}, {5, 3}, {8, tuner}, {9, 2}}, {{0, stateName}}).Get());
    graph_->Build(capturePath_.c_str());
  }
  // Connected (the audio link only) and running.
  void Start() {
    ASSERT_EQ(S_OK, graph_->SetAudioLink(std::make_unique<FilterLink>(doubles_.get())));
    ASSERT_EQ(S_OK, graph_->Connect());
    ASSERT_TRUE(SUCCEEDED(graph_->Run()));
  }
  HANDLE Event(long kind) {
    HANDLE event = nullptr;
    EXPECT_EQ(S_OK, graph_->GetNotifyEvent(kind, &event));
    return event;
  }

  std::unique_ptr<rul::PreviewGraph> graph_;
};

TEST_F(RulPreviewGraphTest, PinsAndEventKindsFollowTheTuner) {
  struct Case {
    LONG tuner;
    HRESULT kind11;
    bool kind11Handle;
  };
  for (const Case& c : {Case{0, E_INVALIDARG, false}, Case{1, S_OK, true}}) {
    SCOPED_TRACE(testing::Message() << "tuner " << c.tuner);
    BuildFor(c.tuner);
    EXPECT_EQ(L"Video", PinName(graph_->videoPin()));
    EXPECT_EQ(L"Audio PCM", PinName(graph_->audioPin()));  // output 2 on tuner 0, 3 on tuner 1
    for (long kind : {0L, 1L, 2L, 3L, 7L, 8L, 9L, 10L}) {
      HANDLE event = nullptr;
      EXPECT_EQ(S_OK, graph_->GetNotifyEvent(kind, &event)) << kind;
      EXPECT_NE(nullptr, event) << kind;
    }
    EXPECT_NE(Event(1), Event(2));
    EXPECT_NE(Event(3), Event(7));
    HANDLE event = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(c.kind11, graph_->GetNotifyEvent(11, &event));
    EXPECT_EQ(c.kind11Handle, event != nullptr);
    EXPECT_EQ(S_OK, graph_->GetNotifyEvent(12, &event));
    EXPECT_EQ(nullptr, event);
    for (long kind : {4L, 5L, 6L, 13L, -1L}) {
      event = reinterpret_cast<HANDLE>(1);
      EXPECT_EQ(E_INVALIDARG, graph_->GetNotifyEvent(kind, &event)) << kind;
      EXPECT_EQ(nullptr, event);
    }
    EXPECT_EQ(E_POINTER, graph_->GetNotifyEvent(0, nullptr));
    graph_.reset();
  }
}

// The driver's audio-mode signal becomes the live audio events unless an external input is
// selected; graph errors become the error event and the last error.
TEST_F(RulPreviewGraphTest, TheWatchThreadTurnsSignalsIntoEvents) {
  BuildFor(1);
  Start();
  const HANDLE input = Event(1), output = Event(2);
  ResetEvent(input);
  ResetEvent(output);

  SetEvent(graph_->externalInputEvent());
  ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), 0x22));
  ASSERT_TRUE(WaitUntil([&] { return !IsSet(graph_->audioModeEvent()); }, kEventWaitMs));
  EXPECT_FALSE(IsSet(input));
  EXPECT_FALSE(IsSet(output));

  ResetEvent(graph_->externalInputEvent());
  ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), 0x01));
  const HANDLE both[] = {input, output};
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, kEventWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return !IsSet(graph_->audioModeEvent()); }, kEventWaitMs));

  const HANDLE error = Event(0);
  ASSERT_EQ(S_OK, SimCard_PostCaptureEvent(capturePath_.c_str(), EC_ERROR_STILLPLAYING, 0x80040277, 0));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(error, kEventWaitMs));
  DWORD last = 0;
  EXPECT_EQ(S_OK, graph_->GetLastError(&last));
  EXPECT_EQ(0x80040277u, last);
}

// The TV audio's modes as the host sees them; the preview's input mode has no second-language
// value (the recording graph's has).
TEST_F(RulPreviewGraphTest, AudioModesOfARunningGraph) {
  BuildFor(0);
  _SHAL_INPUT_AUDIOMODE input{9, 9, 9};
  EXPECT_EQ(VFW_E_NOT_RUNNING, graph_->GetCurrentInputAudioMode(&input));
  EXPECT_EQ(9u, input.mainL);  // left as it was
  Start();
  struct Case {
    DWORD tvMode;
    bool external;
    ULONG mainL, mainR, sub, lineL, lineR;
  };
  const Case cases[] = {
      {0x22, false, 2, 2, 0, 2, 2}, {0x41, false, 1, 1, 0, 1, 1},  {0x32, false, 4, 8, 0, 4, 8},
      {0x22, true, 1, 1, 0, 1, 1},  {0x00, false, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.tvMode << " external " << c.external);
    ASSERT_EQ(S_OK, SimCard_SetTvAudioMode(capturePath_.c_str(), c.tvMode));
    if (c.external) SetEvent(graph_->externalInputEvent());
    _SHAL_OUTPUT_AUDIOMODE output{9, 9};
    ASSERT_EQ(S_OK, graph_->GetCurrentInputAudioMode(&input));
    ASSERT_EQ(S_OK, graph_->GetCurrentOutputAudioMode(&output));
    EXPECT_EQ(c.mainL, input.mainL);
    EXPECT_EQ(c.mainR, input.mainR);
    EXPECT_EQ(c.sub, input.sub);
    EXPECT_EQ(c.lineL, output.lineL);
    EXPECT_EQ(c.lineR, output.lineR);
    ResetEvent(graph_->externalInputEvent());
  }
}

// Without their parts the forwarders answer their codes; a connection without a link or with
// a chain not built is refused and leaves nothing attached.
TEST_F(RulPreviewGraphTest, ForwardersAndConnectWithoutTheirParts) {
  rul::PreviewGraph unbuilt;
  DWORD rate = 0, channels = 0, bits = 0;
  EXPECT_EQ(errors::kPreviewNotBuilt, unbuilt.GetSoundDataInfo(0, &rate, &channels, &bits));
  EXPECT_EQ(errors::kPreviewNotBuilt, unbuilt.Connect());
  EXPECT_EQ(HRESULT(0x8007E100), Thrown([&] { unbuilt.Build(capturePath_.c_str()); }));

  BuildFor(0);
  PreviewWindowSide window(RulTraits::kPreviewWindow, [&] { return graph_->videoChain(); });
  RECT source{0, 0, 720, 480}, destination{0, 0, 360, 240};
  EXPECT_EQ(E_UNEXPECTED, window.SetVideoPosition(&source, &destination));
  EXPECT_EQ(E_UNEXPECTED, window.SetZoomMode(1));
  EXPECT_EQ(E_UNEXPECTED, window.DisplayModeChanged());
  LONG volume = 0;
  EXPECT_EQ(E_POINTER, graph_->soundControls().SetVolume(-100));
  EXPECT_EQ(E_POINTER, graph_->soundControls().GetVolume(&volume));
  EXPECT_EQ(E_INVALIDARG, graph_->GetSoundDataInfo(0, nullptr, &channels, &bits));
  EXPECT_EQ(S_OK, graph_->GetSoundDataInfo(0, &rate, &channels, &bits));
  EXPECT_EQ(48000u, rate);
  EXPECT_EQ(2u, channels);
  EXPECT_EQ(16u, bits);

  EXPECT_EQ(errors::kPreviewNoChain, Thrown([&] { graph_->Connect(); }));
  auto link = std::make_unique<FilterLink>(doubles_.get());
  FilterLink* held = link.get();
  ASSERT_EQ(S_OK, graph_->SetAudioLink(std::move(link)));
  ChainDevice device;
  ASSERT_EQ(S_OK, graph_->SetVideoChain(std::make_unique<VideoChainBuilder>(device, false)));
  EXPECT_EQ(errors::kPreviewNoChain, Thrown([&] { graph_->Connect(); }));
  EXPECT_EQ(0, graph_->GetFlag());
  EXPECT_EQ(nullptr, held->OutputPin());  // the audio pin was let go again
  EXPECT_EQ(S_OK, graph_->SetVideoChain(nullptr));
  EXPECT_EQ(S_OK, graph_->Connect());
  EXPECT_EQ(graph_->audioPin(), held->OutputPin());
  EXPECT_EQ(VFW_E_WRONG_STATE, graph_->SetAudioLink(nullptr));
}

// An audio pin the link cannot connect to its pacer fails the connection and is not kept: a
// later attempt is refused for the same reason, and once the pin is free the graph connects.
TEST_F(RulPreviewGraphTest, AnAudioPinTheLinkRefusedIsNotKept) {
  BuildFor(0);
  auto link = std::make_unique<FilterLink>(doubles_.get());
  ASSERT_EQ(S_OK, link->Create(FilterLink::kLiveSyncKind, graph_->graph(), 7, 0));
  IBaseFilter* const pacer = link->pacer();
  ASSERT_EQ(S_OK, graph_->SetAudioLink(std::move(link)));
  PinTaker taker(graph_->graph(), graph_->audioPin());
  ExpectRefusedWhileTakenThenConnects(
      taker, [&] { return Thrown([&] { graph_->Connect(); }); }, [&] { return graph_->GetFlag() != 0; });
  ComPtr<IPin> peer;
  ASSERT_EQ(S_OK, graph_->audioPin()->ConnectedTo(&peer));
  PIN_INFO info{};
  ASSERT_EQ(S_OK, peer->QueryPinInfo(&info));
  EXPECT_EQ(pacer, info.pFilter);
  if (info.pFilter) info.pFilter->Release();
  EXPECT_EQ(S_OK, Thrown([&] { graph_->Disconnect(); }));
}

TEST_F(RulPreviewGraphTest, DeactivateClearsTheStateSlotsAndLiveRunning) {
  // A device-state name and identity of this test's own.
  const std::wstring stateName = L"\\\\?\\sim#ven_5a52&dev_7130&subsys_00011a2b&rev_01#3&" +
                                 testing_support::UniqueName(L"t") + L"&0&48#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\capture";
  BuildFor(1, stateName);
  Start();
  DeviceStateTable table;
  ASSERT_TRUE(SUCCEEDED(table.Open()));
  ASSERT_EQ(S_OK, table.Register(stateName.c_str(), 7, 3));
  ASSERT_EQ(S_OK, table.SetSlot(stateName.c_str(), kSlotPreviewStarted, 1));
  ASSERT_EQ(S_OK, table.SetSlot(stateName.c_str(), kSlotPreviewState, kSlotRunning));
  const DeviceIdentity identity(stateName.c_str());
  NamedEvent liveRunning;
  ASSERT_TRUE(SUCCEEDED(liveRunning.Create(DeviceObjectNames(identity, 1).Event(NotifyEvent::LiveRunning).c_str(), true)));

  EXPECT_EQ(S_OK, graph_->Deactivate());
  std::int32_t slots[kSlotCount] = {};
  ASSERT_EQ(S_OK, table.ReadSlots(stateName.c_str(), sizeof(slots), slots));
  EXPECT_EQ(0, slots[kSlotPreviewStarted]);
  EXPECT_EQ(0, slots[kSlotPreviewState]);
  EXPECT_FALSE(liveRunning.IsSet());
  EXPECT_EQ(0, graph_->GetFlag());
  OAFilterState state = State_Running;
  EXPECT_TRUE(SUCCEEDED(graph_->GetState(&state, 0)));
  EXPECT_EQ(State_Stopped, state);
}

}  // namespace

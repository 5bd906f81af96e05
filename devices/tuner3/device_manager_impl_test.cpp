// The third family's device object against the simulated card (its "TAVO" filters registered,
// the driver stand-in attached to this program, which carries the firmware images): setup and
// its undo, the names without instance number, the busy answer, the channel sequences and the
// rules between the interfaces.
#include "devices/tuner3/device_manager_impl.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <tlhelp32.h>

#include <functional>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/outside_filters.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/tuner3/testing/pex_device_fixture.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/outside_interfaces.h"
#include "sim/doubles/platform_doubles_testing.h"
#include "sim/host/device_item.h"
#include "sim/host/registry_journal.h"
#include "sim/host/sim_environment.h"

using Microsoft::WRL::ComPtr;
using namespace pex_testing;

namespace {

bool EventExists(const std::wstring& name) {
  UniqueHandle h(OpenEventW(SYNCHRONIZE, FALSE, name.c_str()));
  return h.valid();
}

class PexDeviceObject : public PexDeviceTest {
 protected:
  void SetUp() override {
    PexDeviceTest::SetUp();
    object_ = NewObject();
    ASSERT_TRUE(object_);
  }
  std::int32_t Slot(int index) {
    DeviceStateTable table(table_.c_str(), (table_ + L"_mutex").c_str());
    std::int32_t slots[kSlotCount] = {};
    if (FAILED(table.Open()) || FAILED(table.ReadSlots(capturePath_.c_str(), sizeof(slots), slots))) return -1;
    return slots[index];
  }
  void TearDown() override {
    second_.reset();
    object_.reset();
    PexDeviceTest::TearDown();
  }
  // A channel item: band (2), channel (3), frequency (4), capture switches (5).
  ComPtr<IHalItem> Channel(long band, long channel, long frequency, long switches = 0) {
    ComPtr<IHalItem> item;
    EXPECT_EQ(S_OK, hal_items::CreateItem(&item));
    const long values[] = {81, 2, band, channel, frequency, switches};
    for (long i = 0; i < 6; ++i) hal_items::WriteInteger(item.Get(), i, values[i]);
    return item;
  }
  // External inputs need the crossbar with AUX inputs.
  void SetUpInputSwitch(UINT crossbar = kSimCrossbarAux) {
    ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), crossbar));
    ASSERT_EQ(S_OK, object_->SetDeviceInfo(Item().Get()));
    ASSERT_EQ(S_OK, object_->InitializeInputSwitch(0));
  }
  std::wstring Fields() const {
    const DeviceIdentity id(capturePath_.c_str());
    return FormatW(L"_%ls_%ls_%ls_%ls_%ls_%ls", id.GetField1(), id.GetField2(), id.GetField3(), id.GetField4(),
                   id.GetField5(), id.GetField6());
  }
  std::vector<std::int32_t> SwitchingFlags() const {
    std::vector<std::int32_t> flags;
    for (const SimCardKsWrite& w : Writes(kSimKsSwitchingSet, 2)) flags.push_back(w.values[0]);
    return flags;
  }

  std::unique_ptr<pex::DeviceManagerImpl> object_, second_;
};

TEST_F(PexDeviceObject, TheDevicePathComesFromValueZero) {
  const std::wstring liveRunning = L"Global\\EventName_LiveRunning" + Fields();
  const struct {
    const char* what;
    std::function<void(IHalItem*)> change;
    HRESULT expected;
  } cases[] = {
      {"an integer", [](IHalItem* i) { hal_items::WriteInteger(i, 0, 5); }, E_INVALIDARG},
      {"an empty string", [](IHalItem* i) { hal_items::WriteString(i, 0, L""); }, E_INVALIDARG},
      {"the path", [](IHalItem*) {}, S_OK},
      {"a second call", [](IHalItem*) {}, errors::kDeviceAlreadySet},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IHalItem> item = Item();
    c.change(item.Get());
    EXPECT_EQ(c.expected, object_->SetDeviceInfo(item.Get()));
    EXPECT_EQ(c.expected != E_INVALIDARG, object_->bound());
    EXPECT_EQ(c.expected != E_INVALIDARG, EventExists(liveRunning));  // nothing made for a bad path
  }
}

TEST_F(PexDeviceObject, AFailedSetupLeavesTheObjectUnboundAndARetryWorks) {
  const SimDriverFault download{0x22302C, {}, 0xFFFFFFFFu, 0, ERROR_IO_DEVICE};
  const std::uint32_t noInputs[3] = {0, 0, 0};
  const struct {
    const char* what;
    std::function<void()> arrange;
    HRESULT expected;
  } cases[] = {
      {"firmware refused twice",
       [&] {
         ASSERT_EQ(S_OK, SimDriver_SetHardwareVersion(card_, 2));
         ASSERT_EQ(S_OK, SimDriver_InjectFaults(card_, &download, 2));
       },
       errors::kFirmwareDownloadFailed},
      {"no input", [&] { ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, noInputs, kRecordB)); }, errors::kNoBaseChannel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    ComPtr<IHalItem> item = Item();
    EXPECT_EQ(c.expected, object_->SetDeviceInfo(item.Get()));
    EXPECT_FALSE(object_->bound());
    EXPECT_EQ(nullptr, object_->controlChannel());
    EXPECT_FALSE(EventExists(L"Global\\EventName_ExternalInput" + Fields()));
    ULONG count = 7;
    _SHAL_BASECH* list = nullptr;
    EXPECT_EQ(errors::kNoBaseChannel, object_->GetAvailableBaseChannel(81, 2, &count, &list));
    // The retry runs the firmware step again and binds.
    ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, kRecordA, kRecordB));
    EXPECT_EQ(S_OK, object_->SetDeviceInfo(item.Get()));
    EXPECT_TRUE(object_->bound());
    ASSERT_EQ(S_OK, object_->GetAvailableBaseChannel(81, 2, &count, &list));
    EXPECT_EQ(4u, count);
    CoTaskMemFree(list);
    object_->Shutdown();
    object_ = NewObject();
    ASSERT_TRUE(object_);
  }
}

TEST_F(PexDeviceObject, ThePipeIsNamedWithoutInstanceAndAnswersBusy) {
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(Item().Get()));
  const std::wstring name = FormatW(L"\\\\.\\pipe\\PID%lu_PTR%x", GetCurrentProcessId(),
                                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(object_.get()))) +
                            Fields();
  EXPECT_EQ(name, object_->pipe().name());
  EXPECT_TRUE(EventExists(L"Global\\EventName_RecRunning" + Fields()));

  // The second word decides, and is read only when the request holds it.
  const struct {
    std::vector<BYTE> request;
    DWORD answered;
  } cases[] = {
      {{}, 0},
      {{1, 1, 1, 1}, 0},
      {{0, 0, 0, 0, 1, 1, 1}, 0},
      {{0, 0, 0, 0, 0, 0, 0, 0}, 0},
      {{0, 0, 0, 0, 1, 0, 0, 0}, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.size());
    std::uint32_t answer[4] = {9, 9, 9, 9};
    DWORD size = 99;
    pex::BusyAnswer(nullptr, nullptr, static_cast<DWORD>(c.request.size()), c.request.data(), &size,
                    reinterpret_cast<BYTE*>(answer), sizeof(answer));
    EXPECT_EQ(c.answered, size);
    if (size == 12) {
      EXPECT_EQ(12u, answer[0]);
      EXPECT_EQ(0u, answer[1]);
      EXPECT_EQ(static_cast<std::uint32_t>(E_FAIL), answer[2]);
    }
  }
}

TEST_F(PexDeviceObject, SetChannelSequences) {
  SetUpInputSwitch();
  HANDLE external = object_->notifyEvents().handle(NotifyEvent::ExternalInput);
  const struct {
    const char* what;
    long band, channel, frequency, switches;
    HRESULT result;
    ULONG currentBand;   // afterwards
    bool externalInput;  // the ExternalInput event afterwards
  } cases[] = {
      {"band 0 is the antenna", 0, 5, 0, 0, S_OK, 1, false},
      {"cable by channel", 2, 20, 0, 1, S_OK, 2, false},
      {"by frequency", 1, 0, 91250000, 0, S_OK, 0, false},
      {"external input", 0x20000020, 0, 0, 2, S_OK, 0x20000020, true},
      {"back to the tuner", 1, 12, 0, 0, S_OK, 1, false},
      {"channel out of range", 2, 64, 0, 0, E_INVALIDARG, 1, false},
      {"frequency out of range", 1, 0, 91249999, 0, E_INVALIDARG, 1, false},
      {"unknown band", 0x20000021, 0, 0, 0, E_INVALIDARG, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t before = SwitchingFlags().size();
    EXPECT_EQ(c.result, object_->SetChannel(Channel(c.band, c.channel, c.frequency, c.switches).Get()));
    EXPECT_EQ(c.currentBand, object_->currentBand());
    EXPECT_EQ(c.externalInput, WaitForSingleObject(external, 0) == WAIT_OBJECT_0);
    const std::vector<std::int32_t> flags = SwitchingFlags();
    // A refused request changes nothing; every other one raises the switching flag, then lowers it.
    const std::vector<std::int32_t> expected = FAILED(c.result) ? std::vector<std::int32_t>() : std::vector<std::int32_t>({1, 0});
    EXPECT_EQ(expected, std::vector<std::int32_t>(flags.begin() + before, flags.end()));
    if (SUCCEEDED(c.result)) {
      ComPtr<IHalItem> now;
      ASSERT_EQ(S_OK, object_->GetChannel(&now));
      EXPECT_EQ(static_cast<std::int32_t>(c.currentBand), hal_items::ReadInteger(now.Get(), 2));
      EXPECT_EQ(c.currentBand == 1 || c.currentBand == 2 ? c.channel : 0, hal_items::ReadInteger(now.Get(), 3));
      EXPECT_EQ(c.switches, hal_items::ReadInteger(now.Get(), 5));
    }
  }
  EXPECT_EQ(1u, object_->channelStamp().record()->channelSet);
}

// Failures of routing and tuning are not the call's: it succeeds, and the host reads band 0.
TEST_F(PexDeviceObject, FailuresOfRoutingAndTuningLeaveTheBandZero) {
  SetUpInputSwitch(kSimCrossbarDefault);  // no external input to route to
  ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), &kSimKsTunerSet, 1, 1));  // the frequency cannot be set
  const auto band = [&] {
    ComPtr<IHalItem> now;
    return SUCCEEDED(object_->GetChannel(&now)) ? hal_items::ReadInteger(now.Get(), 2) : -1;
  };
  EXPECT_EQ(S_OK, object_->SetChannel(Channel(2, 20, 0).Get()));
  EXPECT_EQ(2, band());
  EXPECT_EQ(S_OK, object_->SetChannel(Channel(1, 0, 91250000).Get()));
  EXPECT_EQ(0, band());
  EXPECT_EQ(std::vector<std::int32_t>({1, 0, 1, 0}), SwitchingFlags());  // each sequence ends lowered
  EXPECT_EQ(S_OK, object_->SetChannel(Channel(0x10100020, 0, 0).Get()));
  EXPECT_EQ(0, band());
}

// A driver without the capture switches and the switching flag still tunes: only routing and
// tuning count for the call and the band.
TEST_F(PexDeviceObject, ADriverWithoutSwitchesStillTunes) {
  SetUpInputSwitch();
  const struct {
    const GUID* set;
    DWORD id;
  } missing[] = {{&kSimKsCaptureSet, 3}, {&kSimKsCaptureSet, 4}, {&kSimKsSwitchingSet, 2}};
  for (const auto& m : missing) ASSERT_EQ(S_OK, SimCard_SetKsSupport(capturePath_.c_str(), m.set, m.id, 0));
  EXPECT_EQ(S_OK, object_->SetChannel(Channel(2, 20, 0, 1).Get()));
  EXPECT_EQ(2u, object_->currentBand());
  EXPECT_EQ(S_OK, object_->SetChannel(Channel(0x20000020, 0, 0).Get()));
  EXPECT_EQ(0x20000020u, object_->currentBand());
}

TEST_F(PexDeviceObject, SwitchesTheDeviceLacksAreRefusedBeforeAnythingChanges) {
  const std::uint32_t onlyA[3] = {0, 1, 0x40};
  ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(card_, onlyA, kRecordB));
  SetUpInputSwitch();
  const size_t before = Writes(kSimKsCaptureSet, 3).size() + Writes(kSimKsCaptureSet, 4).size();
  EXPECT_EQ(E_INVALIDARG, object_->SetChannel(Channel(1, 5, 0, 2).Get()));
  EXPECT_EQ(before, Writes(kSimKsCaptureSet, 3).size() + Writes(kSimKsCaptureSet, 4).size());
  EXPECT_TRUE(SwitchingFlags().empty());
  EXPECT_EQ(S_OK, object_->SetChannel(Channel(1, 5, 0, 1).Get()));
}

TEST_F(PexDeviceObject, InterfacesAreUsedByOneObjectOfTheDevice) {
  SetUpInputSwitch();
  second_ = NewObject();
  ASSERT_TRUE(second_);
  ASSERT_EQ(S_OK, second_->SetDeviceInfo(Item().Get()));
  EXPECT_EQ(errors::kInputSwitchInUse, second_->InitializeInputSwitch(0));
  // Auto scan held by the first object: its input switch stays.
  ASSERT_EQ(S_OK, object_->InitializeAutoScan(0));
  EXPECT_EQ(errors::kAutoScanInUse, second_->InitializeAutoScan(0));
  EXPECT_EQ(errors::kAutoScanInUse, object_->UninitializeInputSwitch(0));
  ComPtr<IHalItem> channel;
  EXPECT_EQ(S_OK, object_->GetChannel(&channel));
  ASSERT_EQ(S_OK, object_->UninitializeAutoScan(0));
  ASSERT_EQ(S_OK, object_->UninitializeInputSwitch(0));
  EXPECT_EQ(errors::kInputSwitchNotInit, object_->GetChannel(&channel));
  EXPECT_EQ(S_OK, second_->InitializeInputSwitch(0));
}

TEST(PexChannelSettleWait, CountsTheElapsedTimeAcrossTheWrap) {
  const struct {
    std::uint32_t set, tick;
    DWORD now, wait;
  } cases[] = {
      {0, 1000, 1000, 0},                // no channel change yet
      {1, 1000, 1000, 100},              // just changed: the whole interval
      {1, 1000, 1040, 60},
      {1, 1000, 1100, 0},
      {1, 0xFFFFFFF0u, 0x10, 68},        // the counter wrapped in between
      {1, 0xFFFFFFF0u, 0xFFFFFFF0u, 100},
  };
  for (const auto& c : cases) {
    const InstanceRecord record{c.set, c.tick};
    EXPECT_EQ(c.wait, pex::ChannelSettleWait(&record, c.now, 100)) << c.tick << " " << c.now;
  }
  EXPECT_EQ(0u, pex::ChannelSettleWait(nullptr, 5, 100));
}

TEST_F(PexDeviceObject, OutputDataStartsOnlyWhenInitialisedAndStopsBackToTheStart) {
  doubles::Journal::Instance().Reset();
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(Item().Get()));
  // Nothing is set or connected before the initialisation is checked.
  EXPECT_EQ(errors::kOutputDataNotInit, object_->StartOutputData(0));
  EXPECT_EQ(0, Slot(kSlotOutputStarted));
  EXPECT_TRUE(doubles::Journal::Instance().Calls("MpegAnalyzer", "SetParameter").empty());

  ASSERT_EQ(S_OK, object_->InitializeOutputData(0));
  object_->outputGraph().SetMinimumRecTime(0);
  EXPECT_EQ(static_cast<std::int32_t>(GetCurrentProcessId()), Slot(kSlotOutputProcess));
  second_ = NewObject();
  ASSERT_TRUE(second_);
  ASSERT_EQ(S_OK, second_->SetDeviceInfo(Item().Get()));
  EXPECT_EQ(errors::kOutputDataInUse, second_->InitializeOutputData(0));

  output_testing::Sink sink(1u << 1);
  const struct {
    ULONG subtype;
    HRESULT result;
  } subtypes[] = {{99, E_INVALIDARG}, {201, E_INVALIDARG}, {150, S_OK}, {1, S_OK}};
  for (const auto& c : subtypes) {
    _SHAL_OUTPUTDTATA_TYPE type{1, c.subtype};
    EXPECT_EQ(c.result, object_->SetOutputDataType(&type, &sink)) << c.subtype;
  }
  long count = 0;
  _SHAL_OUTPUTDTATA_TYPE* types = nullptr;
  ASSERT_EQ(S_OK, object_->GetOutputDataType(&count, &types));
  ASSERT_EQ(3, count);
  EXPECT_EQ(1u, types[0].subtype);
  CoTaskMemFree(types);

  HANDLE recRunning = object_->notifyEvents().handle(NotifyEvent::RecRunning);
  ASSERT_EQ(S_OK, object_->StartOutputData(0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(recRunning, 0));
  EXPECT_EQ(1, Slot(kSlotOutputStarted));
  EXPECT_EQ(2, Slot(kSlotOutputState));
  // The summary's first word: the device kind, without capability bits for this item.
  const auto analyzer = doubles::Journal::Instance().Calls("MpegAnalyzer", "SetParameter");
  ASSERT_EQ(4u, analyzer.size());
  EXPECT_EQ(1, analyzer[0].args[0]);
  EXPECT_EQ(static_cast<std::int32_t>(0x80000004u), static_cast<std::int32_t>(analyzer[0].args[1]));
  EXPECT_EQ(0x04000000, analyzer[3].args[1]) << "the antenna input, no switches";
  EXPECT_TRUE(sink.WaitAll()) << "no data reached the host";

  // A stop mode ends the callback filter's delivery (request value 1) before the graph stops.
  ASSERT_EQ(S_OK, object_->StopOutputData(2));
  const auto ended = doubles::Journal::Instance().Calls("CallbackFilter", "EndDelivery");
  ASSERT_EQ(1u, ended.size());
  EXPECT_EQ(1, ended[0].args[0]);
  EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(recRunning, 0));
  EXPECT_EQ(0, Slot(kSlotOutputStarted));
  EXPECT_EQ(0, Slot(kSlotOutputState));
  ASSERT_EQ(S_OK, object_->UninitializeOutputData(0));
  EXPECT_EQ(0, Slot(kSlotOutputProcess));
  EXPECT_EQ(S_OK, second_->InitializeOutputData(0));
}

TEST_F(PexDeviceObject, PreviewAnswersItsSizesAndMarksItsStatesFromRunToStop) {
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(Item().Get()));
  EXPECT_EQ(errors::kPreviewNotInit, object_->RunPreview(0));
  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  EXPECT_EQ(static_cast<std::int32_t>(GetCurrentProcessId()), Slot(kSlotPreviewProcess));
  second_ = NewObject();
  ASSERT_TRUE(second_);
  ASSERT_EQ(S_OK, second_->SetDeviceInfo(Item().Get()));
  EXPECT_EQ(errors::kPreviewInUse, second_->InitializePreview(0));

  // Width in value 0, height in value 1.
  ComPtr<IHalItem> video;
  ASSERT_EQ(S_OK, object_->GetVideoDataInfo(&video));
  const std::int32_t expected[] = {720, 480, 4, 1};
  for (long i = 0; i < 4; ++i) EXPECT_EQ(expected[i], hal_items::ReadInteger(video.Get(), i)) << i;
  ComPtr<IHalItem> sound;
  ASSERT_EQ(S_OK, object_->GetSoundDataInfo(&sound));
  EXPECT_EQ(48000, hal_items::ReadInteger(sound.Get(), 0));

  const DeviceObjectNames names(object_->identity(), DeviceObjectNames::kNoInstance);
  // The preview runs without a window too; a position needs one.
  RECT destination{0, 0, 320, 240};
  EXPECT_EQ(errors::kWindowNotInit, object_->SetVideoPosition(nullptr, &destination));
  HANDLE live = object_->notifyEvents().handle(NotifyEvent::LiveRunning);
  const struct {
    const char* step;
    std::function<HRESULT()> call;
    HRESULT result;
    std::int32_t started, state;
    bool liveRunning;
  } steps[] = {
      {"run", [&] { return object_->RunPreview(0); }, S_OK, 1, 2, true},
      {"uninitialize while running", [&] { return object_->UninitializePreview(0); }, errors::kGraphNotStopped, 1, 2, true},
      {"a window while running", [&] { return object_->InitializePreviewWindow(0); }, errors::kGraphNotStopped, 1, 2, true},
      {"pause", [&] { return object_->PausePreview(0); }, S_OK, 1, 1, true},
      {"stop", [&] { return object_->StopPreview(0); }, S_OK, 0, 0, false},
  };
  for (const auto& c : steps) {
    SCOPED_TRACE(c.step);
    EXPECT_EQ(c.result, c.call());
    EXPECT_EQ(c.started, Slot(kSlotPreviewStarted));
    EXPECT_EQ(c.state, Slot(kSlotPreviewState));
    EXPECT_EQ(c.liveRunning, WaitForSingleObject(live, 0) == WAIT_OBJECT_0);
  }
  ULONG state = 9;
  ASSERT_EQ(S_OK, object_->GetPreviewState(&state));
  EXPECT_EQ(0u, state);
  // The refused window left its interfaces free.
  NamedMutex window(names.ExclusiveUse(ExclusiveInterface::PreviewWindow).c_str());
  EXPECT_FALSE(window.AlreadyExists());
  EXPECT_EQ(errors::kWindowNotInit, object_->SetVideoClippingWindow(nullptr));

  ASSERT_EQ(S_OK, object_->UninitializePreview(0));
  EXPECT_EQ(0, Slot(kSlotPreviewProcess));
  EXPECT_EQ(S_OK, second_->InitializePreview(0));
}

// The platform doubles registered (the stand-ins of the system's audio and video renderers) and
// the sound path led past the audio filter driver to "DirectSound: SimSound", for one case.
class PexPreviewOutputs : public PexDeviceObject {
 protected:
  void SetUp() override {
    PexDeviceObject::SetUp();
    if (HasFatalFailure()) return;
    doubles::Journal::Instance().Reset();
    ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
    registered_ = true;
    ASSERT_EQ(S_OK, sim_host::BypassSound(registry_));
  }
  void TearDown() override {
    PexDeviceObject::TearDown();
    EXPECT_EQ(S_OK, registry_.Restore());
    if (registered_) {
      EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
    }
  }
  static std::int64_t Value(std::uint32_t which) { return doubles::Journal::Instance().Value(which); }
  // Binds the object to the card as a board 18 whose windows use the system renderer.
  void BindToTheSystemRenderer() {
    sim_host::DeviceItemValues values;
    values.devicePath = capturePath_;
    values.boardType = 18;
    values.capabilities = 0x200;  // the system renderer
    ComPtr<IHalItem> item;
    ASSERT_EQ(S_OK, sim_host::MakeDeviceItem(values, &item));
    ASSERT_EQ(S_OK, object_->SetDeviceInfo(item.Get()));
  }
  static constexpr ULONG kModeSystemRenderer = 0x40;

  sim_host::RegistryJournal registry_;
  bool registered_ = false;
};

TEST_F(PexPreviewOutputs, SoundFollowsThePreviewAndItsPcmReachesTheRenderer) {
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(Item().Get()));
  long value = 0;
  ULONG mode = 9;
  _SHAL_AUDIOMIX mix{};
  const struct {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT before;  // sound not initialised
    HRESULT running;  // initialised, the preview running
  } calls[] = {
      {"SetVolume", [&] { return object_->SetVolume(-600); }, errors::kSoundNotInit, S_OK},
      {"GetVolume", [&] { return object_->GetVolume(&value); }, errors::kSoundNotInit, S_OK},
      // The sound path of this preview (the rate adapter) has no mixer to set.
      {"SetMix", [&] { return object_->SetMix(&mix); }, errors::kSoundNotInit, E_NOTIMPL},
      {"GetBalance", [&] { return object_->GetBalance(nullptr); }, errors::kSoundNotInit, E_INVALIDARG},
      {"GetSoundMode", [&] { return object_->GetSoundMode(&mode); }, S_OK, S_OK},
      {"GetAvailableSoundMode(null)", [&] { return object_->GetAvailableSoundMode(nullptr, nullptr); }, E_POINTER, E_POINTER},
      {"SetSoundMode(1)", [&] { return object_->SetSoundMode(1); }, E_FAIL, E_FAIL},
      {"Uninitialize", [&] { return object_->UninitializeSound(0); }, S_OK, errors::kGraphNotStopped},
  };
  for (const auto& c : calls) EXPECT_EQ(c.before, c.call()) << c.what;
  EXPECT_TRUE(FAILED(object_->InitializeSound(0))) << "no preview graph yet";

  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  ASSERT_EQ(S_OK, object_->InitializeSound(0));
  ASSERT_EQ(S_OK, object_->RunPreview(0));
  EXPECT_EQ(S_OK, object_->InitializeSound(0)) << "initialised already: the running graph is not asked";
  for (const auto& c : calls) EXPECT_EQ(c.running, c.call()) << c.what;
  EXPECT_EQ(-600, value);
  EXPECT_EQ(0u, mode);
  EXPECT_TRUE(WaitFor([] { return Value(doubles::kValueSoundSamples) >= 3; })) << "no PCM reached the renderer";
  EXPECT_GT(Value(doubles::kValueSoundBytes), 0);

  ASSERT_EQ(S_OK, object_->StopPreview(0));
  EXPECT_EQ(S_OK, object_->UninitializeSound(0));
  EXPECT_EQ(errors::kSoundNotInit, object_->GetVolume(&value));
  EXPECT_EQ(S_OK, object_->UninitializePreview(0));
}

// This process's threads.
size_t ThreadCount() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    count += entry.th32OwnerProcessID == GetCurrentProcessId();
  return count;
}

// A host's whole session: setup with the firmware sent to the driver, tuning, the preview with
// the caller's own filter in the window chain and the sound, a recording, stop and release.
TEST_F(PexPreviewOutputs, AWholeSessionLeavesNothingBehind) {
  // The system's audio device service starts its thread, for the process, with the first look
  // at the audio renderers: it belongs in the count before.
  platform_testing::BindByName(CLSID_AudioRendererCategory, L"DirectSound: SimSound");
  const size_t threads = ThreadCount();
  sim_host::DeviceItemValues values;
  values.devicePath = capturePath_;
  values.boardType = 18;
  values.capabilities = 0x200;  // the system renderer
  ComPtr<IHalItem> item;
  ASSERT_EQ(S_OK, sim_host::MakeDeviceItem(values, &item));
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(item.Get()));
  item.Reset();
  SimDriverFirmwareBlock blocks[kSimDriverMaxFirmwareBlocks];
  UINT count = 0;
  ASSERT_EQ(S_OK, SimDriver_ReadFirmwareBlocks(card_, blocks, kSimDriverMaxFirmwareBlocks, &count));
  EXPECT_GT(count, 0u) << "no firmware reached the driver";
  const DeviceObjectNames names = object_->names();
  const std::wstring pipe = object_->pipe().name();

  ASSERT_EQ(S_OK, object_->InitializeInputSwitch(0));
  ASSERT_EQ(S_OK, object_->SetChannel(Channel(1, 12, 0).Get()));
  EXPECT_EQ(1u, object_->currentBand());

  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  ComPtr<IVideoInfoControl> custom;
  EXPECT_EQ(errors::kWindowNotInit, object_->QueryInterfaceFromCustomFilter(IID_PPV_ARGS(&custom)));
  ASSERT_EQ(S_OK, object_->InitializeCustomPreviewWindow(kModeSystemRenderer, doubles::kClsidVideoInfo,
                                                         const_cast<BSTR>(DOUBLES_VIDEOINFO_FILE)));
  // The caller's filter answers its own control, and nothing it lacks.
  ComPtr<IAnalyzerControl> other;
  EXPECT_EQ(S_OK, object_->QueryInterfaceFromCustomFilter(IID_PPV_ARGS(&custom)));
  EXPECT_TRUE(custom);
  EXPECT_EQ(E_NOINTERFACE, object_->QueryInterfaceFromCustomFilter(IID_PPV_ARGS(&other)));
  EXPECT_FALSE(other);
  custom.Reset();
  ASSERT_EQ(S_OK, object_->SetVideoClippingWindow(GetDesktopWindow()));
  ASSERT_EQ(S_OK, object_->InitializeSound(0));
  ASSERT_EQ(S_OK, object_->RunPreview(0));
  EXPECT_TRUE(WaitFor([&] { return Value(doubles::kValueVideoFrames) >= 3; })) << "no frames at the renderer";
  EXPECT_TRUE(WaitFor([&] { return Value(doubles::kValueSoundSamples) >= 3; })) << "no PCM at the renderer";

  ASSERT_EQ(S_OK, object_->InitializeOutputData(0));
  object_->outputGraph().SetMinimumRecTime(0);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE type{1, 1};
  ASSERT_EQ(S_OK, object_->SetOutputDataType(&type, &sink));
  ASSERT_EQ(S_OK, object_->StartOutputData(0));
  EXPECT_TRUE(sink.WaitAll()) << "no data reached OnData";
  ASSERT_EQ(S_OK, object_->StopOutputData(0));
  ASSERT_EQ(S_OK, object_->StopPreview(0));

  // The host lets go with everything still initialised: the release ends it all.
  object_.reset();
  for (int i = 0; i < static_cast<int>(NotifyEvent::Count); ++i)
    EXPECT_FALSE(EventExists(names.Event(static_cast<NotifyEvent>(i)))) << "event " << i;
  for (int i = 0; i < static_cast<int>(ExclusiveInterface::Count); ++i) {
    NamedMutex mutex(names.ExclusiveUse(static_cast<ExclusiveInterface>(i)).c_str());
    EXPECT_FALSE(mutex.AlreadyExists()) << "exclusive object " << i;
  }
  EXPECT_FALSE(WaitNamedPipeW(pipe.c_str(), 0)) << "the pipe still answers";
  UniqueHandle stamp(OpenFileMappingW(FILE_MAP_READ, FALSE, names.InstanceSection().c_str()));
  EXPECT_FALSE(stamp.valid()) << "the channel stamp's section is still open";
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= threads; }))
      << ThreadCount() << " threads, " << threads << " before";
}

// A careless host's calls: an interface this object holds already answers a second Initialize
// with its in-use code and builds nothing again (no filter, no thread); a position needs a
// window; null out-pointers and a handle that names no window are refused.
TEST_F(PexPreviewOutputs, CarelessCallsAreRefusedAndBuildNothingAgain) {
  sim_host::DeviceItemValues values;
  values.devicePath = capturePath_;
  values.boardType = 18;
  values.capabilities = 0x200;  // the system renderer
  ComPtr<IHalItem> item;
  ASSERT_EQ(S_OK, sim_host::MakeDeviceItem(values, &item));
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(item.Get()));
  RECT destination{0, 0, 320, 240};
  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  EXPECT_EQ(errors::kWindowNotInit, object_->SetVideoPosition(nullptr, &destination));
  ASSERT_EQ(S_OK, object_->InitializePreviewWindow(kModeSystemRenderer));
  ASSERT_EQ(S_OK, object_->InitializeOutputData(0));
  const std::int64_t filters = Value(doubles::kValueLiveFilterDoubles);
  const size_t threads = ThreadCount();
  const struct {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT expected;
  } cases[] = {
      {"IPreview", [&] { return object_->InitializePreview(0); }, errors::kPreviewInUse},
      {"IPreviewWindow", [&] { return object_->InitializePreviewWindow(kModeSystemRenderer); }, errors::kWindowInUse},
      {"ICustomPreviewWindow",
       [&] {
         return object_->InitializeCustomPreviewWindow(kModeSystemRenderer, doubles::kClsidVideoInfo,
                                                       const_cast<BSTR>(DOUBLES_VIDEOINFO_FILE));
       },
       errors::kWindowInUse},
      {"IOutputData", [&] { return object_->InitializeOutputData(0); }, errors::kOutputDataInUse},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.call()) << c.what;
  HRESULT last = S_OK;
  EXPECT_EQ(E_POINTER, object_->GetPreviewLastError(&last, nullptr));
  EXPECT_EQ(E_POINTER, object_->GetOutputLastError(&last, nullptr));
  HWND gone = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(gone);
  DestroyWindow(gone);
  EXPECT_EQ(E_INVALIDARG, object_->SetVideoClippingWindow(gone));
  EXPECT_EQ(filters, Value(doubles::kValueLiveFilterDoubles)) << "filters made again";
  EXPECT_EQ(threads, ThreadCount()) << "threads started again";
  // What was built stays usable, the position with it.
  EXPECT_EQ(S_OK, object_->SetVideoPosition(nullptr, &destination));
  ASSERT_EQ(S_OK, object_->RunPreview(0));
  EXPECT_EQ(S_OK, object_->StopPreview(0));
}

// A window whose chain cannot be built leaves the preview as it was before: it runs (without a
// window), and a later window is built.
TEST_F(PexPreviewOutputs, AFailedWindowLeavesNoChainBehind) {
  ASSERT_NO_FATAL_FAILURE(BindToTheSystemRenderer());
  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  EXPECT_TRUE(FAILED(object_->InitializeCustomPreviewWindow(kModeSystemRenderer, doubles::kClsidVideoInfo,
                                                            const_cast<BSTR>(L"NoSuchFilter.ax"))));
  EXPECT_EQ(errors::kWindowNotInit, object_->SetVideoClippingWindow(GetDesktopWindow()));
  ASSERT_EQ(S_OK, object_->RunPreview(0));
  ASSERT_EQ(S_OK, object_->StopPreview(0));
  ASSERT_EQ(S_OK, object_->InitializePreviewWindow(kModeSystemRenderer));
  ASSERT_EQ(S_OK, object_->RunPreview(0));
  EXPECT_TRUE(WaitFor([&] { return Value(doubles::kValueVideoFrames) >= 3; })) << "no frames at the renderer";
  EXPECT_EQ(S_OK, object_->StopPreview(0));
}

// A run that fails after the graph started (here the renderer refuses the stored position) is
// undone: graph stopped, streams disconnected, LiveRunning and the slots back to stopped; the
// next run succeeds.
TEST_F(PexPreviewOutputs, AFailedRunIsUndone) {
  ASSERT_NO_FATAL_FAILURE(BindToTheSystemRenderer());
  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  ASSERT_EQ(S_OK, object_->InitializePreviewWindow(kModeSystemRenderer));
  RECT destination{0, 0, 320, 240};
  ASSERT_EQ(S_OK, object_->SetVideoPosition(nullptr, &destination));
  ASSERT_TRUE(doubles::Journal::Instance().InjectFailure("SimVideoRenderer", "SetVideoPosition", E_FAIL, 1));
  HANDLE live = object_->notifyEvents().handle(NotifyEvent::LiveRunning);
  EXPECT_EQ(E_FAIL, object_->RunPreview(0));
  EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(live, 0));
  EXPECT_EQ(0, Slot(kSlotPreviewStarted));
  EXPECT_EQ(0, Slot(kSlotPreviewState));
  EXPECT_FALSE(object_->previewGraph().connected());
  ULONG state = 9;
  ASSERT_EQ(S_OK, object_->GetPreviewState(&state));
  EXPECT_EQ(static_cast<ULONG>(State_Stopped), state);
  ASSERT_EQ(S_OK, object_->RunPreview(0));
  EXPECT_EQ(1, Slot(kSlotPreviewStarted));
  EXPECT_EQ(2, Slot(kSlotPreviewState));
  EXPECT_EQ(S_OK, object_->StopPreview(0));
}

// A capture start the graph refuses leaves nothing connected or marked: no RecRunning, slot 10
// back to 0, the streams disconnected; the next start succeeds.
TEST_F(PexDeviceObject, AFailedCaptureStartIsUndone) {
  ASSERT_EQ(S_OK, object_->SetDeviceInfo(Item().Get()));
  ASSERT_EQ(S_OK, object_->InitializeOutputData(0));
  object_->outputGraph().SetMinimumRecTime(0);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE type{1, 1};
  ASSERT_EQ(S_OK, object_->SetOutputDataType(&type, &sink));
  ASSERT_EQ(S_OK, SimCard_InjectFailure(capturePath_.c_str(), "Pause", E_ACCESSDENIED, 1));
  HANDLE recRunning = object_->notifyEvents().handle(NotifyEvent::RecRunning);
  EXPECT_EQ(E_ACCESSDENIED, object_->StartOutputData(0));
  EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(recRunning, 0));
  EXPECT_EQ(0, Slot(kSlotOutputStarted));
  EXPECT_EQ(0, Slot(kSlotOutputState));
  EXPECT_EQ(0, object_->outputGraph().GetFlag()) << "the streams stay connected";
  ASSERT_EQ(S_OK, object_->StartOutputData(0));
  EXPECT_EQ(1, Slot(kSlotOutputStarted));
  EXPECT_TRUE(sink.WaitAll()) << "no data reached the host";
  EXPECT_EQ(S_OK, object_->StopOutputData(0));
  EXPECT_EQ(S_OK, object_->UninitializeOutputData(0));
}

// A second device object in another process: bit 0 of the exit code when its IInputSwitch is
// in use, bit 1 when its IPreview is (16 and up: the setup failed). Arguments: the driver
// stand-in's state, the device path, the device-state table.
VORN_CHILD(PexSecondObject) {
  if (args.size() != 3 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 16;
  UINT patched = 0, card = 0;
  if (FAILED(SimDriver_Connect(args[0].c_str())) || FAILED(SimDriver_Attach(GetModuleHandleW(nullptr), &patched)) ||
      FAILED(SimDriver_AddCard(args[1].c_str(), &card)))
    return 17;
  sim_host::DeviceItemValues values;
  values.devicePath = args[1];
  ComPtr<IHalItem> item;
  if (FAILED(sim_host::MakeDeviceItem(values, &item))) return 18;
  int used = 0;
  {
    pex::DeviceManagerImpl object(args[2].c_str(), (args[2] + L"_mutex").c_str());
    if (FAILED(object.Initialize()) || object.SetDeviceInfo(item.Get()) != S_OK) return 19;
    if (object.InitializeInputSwitch(0) == errors::kInputSwitchInUse) used |= 1;
    if (object.InitializePreview(0) == errors::kPreviewInUse) used |= 2;
  }
  item.Reset();
  CoUninitialize();
  return used;
}

TEST_F(PexDeviceObject, AnotherProcessFindsTheInterfacesInUse) {
  SetUpInputSwitch();
  ASSERT_EQ(S_OK, object_->InitializePreview(0));
  const testing_support::ChildArgs args = {simcard_testing::StateName(), capturePath_, table_};
  EXPECT_EQ(3u, testing_support::RunChild("PexSecondObject", args));
  ASSERT_EQ(S_OK, object_->UninitializePreview(0));
  ASSERT_EQ(S_OK, object_->UninitializeInputSwitch(0));
  EXPECT_EQ(0u, testing_support::RunChild("PexSecondObject", args));
}

}  // namespace

// The second family's device object against the simulated card (three tuners) and the driver
// stand-in attached to the test program: setup, the names of a tuner's objects, exclusive use
// per tuner across processes, channel setting, the auto-scan rules, the window and sound sides
// and a whole session (preview with pictures at the renderer, recording with data).
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>
#include <mmsystem.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/device/named_pipe.h"
#include "common/errors.h"
#include "common/hresult.h"
#include "common/handles.h"
#include "common/locks.h"
#include "common/registry.h"
#include "common/module.h"
#include "common/path.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/device_lock.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/link/packet_codecs.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/core/output_session.h"
#include "devices/core/video_chain_builder.h"
#include "devices/tuner2/device_manager_impl.h"
#include "devices/tuner2/instance_pipe.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_device_fixture.h"
#include "sim/card/picture_testing.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/host/registry_journal.h"
#include "sim/host/sim_environment.h"

using Microsoft::WRL::ComPtr;
using testing_support::UniqueName;

namespace {

constexpr ULONG kLowest = 55250000, kHighest = 801250000;  // the stand-in's tuner range
constexpr DWORD kPictureWaitMs = 10000;  // for the renderer's first pictures

// One table per test program, apart from the system's.
struct StateNames {
  std::wstring section = UniqueName(L"Local\\RulStateSection_");
  std::wstring mutex = UniqueName(L"Local\\RulStateMutex_");
};
StateNames& TestStateNames() {
  static StateNames names;
  return names;
}

std::unique_ptr<rul::DeviceManagerImpl> MakeObject(HMODULE filters = nullptr) {
  auto object = std::make_unique<rul::DeviceManagerImpl>(TestStateNames().section.c_str(),
                                                         TestStateNames().mutex.c_str(), filters);
  EXPECT_EQ(object->CreateDeviceLock(), S_OK);
  EXPECT_EQ(object->Initialize(), S_OK);
  return object;
}

ComPtr<IHalItem> TunerItem(const std::wstring& path, LONG tuner, LONG tuners = 3) {
  return rul_testing::MakeItem({{8, tuner}, {9, tuners}, {2, 7}, {5, 9}},
                               {{7, path}, {0, std::to_wstring(tuner) + path}});
}

bool EventExists(const std::wstring& name) { return UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, name.c_str())).valid(); }
bool MutexExists(const std::wstring& name) { return UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str())).valid(); }

class RulDeviceObjectTest : public rul_testing::RulDeviceTest {};

TEST_F(RulDeviceObjectTest, SetDeviceInfoRefusesBadItemsKeepingNothing) {
  testing_support::ScratchRegistryKey board(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                            L"Software\\Zarn Corporation\\TunerBrdInfo");
  const struct {
    std::map<long, LONG> values;
    std::map<long, std::wstring> strings;
    HRESULT expected;
  } cases[] = {
      {{{8, 3}, {9, 3}}, {{7, capturePath_}}, errors::kTunerIndexOutOfRange},
      {{{8, -1}, {9, 3}}, {{7, capturePath_}}, errors::kTunerIndexOutOfRange},
      {{{8, 0}, {9, 3}}, {{7, L""}}, E_INVALIDARG},
      {{{8, 0}, {9, 3}}, {}, TYPE_E_ELEMENTNOTFOUND},  // the item's own failure
      {{{8, 0}}, {{7, capturePath_}}, TYPE_E_ELEMENTNOTFOUND},
  };
  auto object = MakeObject();
  for (const auto& c : cases) {
    EXPECT_EQ(object->SetDeviceInfo(rul_testing::MakeItem(c.values, c.strings).Get()), c.expected);
    EXPECT_FALSE(object->bound());
    EXPECT_EQ(object->tunerIndex(), -1);
  }
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 2).Get()), S_OK);
  EXPECT_EQ(object->tunerIndex(), 2);

  // A second call is refused, yet it resets the frame-drop switch first.
  ASSERT_TRUE(board.SetDword(L"Qfa Frame Drop", 1));
  EXPECT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), errors::kDeviceAlreadySet);
  EXPECT_EQ(RegistryKeyPath(board.path()).ReadDword(L"Qfa Frame Drop", 7), 0u);
  EXPECT_EQ(object->tunerIndex(), 2);
}

// Every per-tuner object ends in the tuner index; the card's exclusion mutex has none. A device
// without inputs gives no base channel and leaves no object behind.
TEST_F(RulDeviceObjectTest, NamesCarryTheTunerIndexAndAFailedSetupLeavesNothing) {
  const std::uint32_t noInputs[3] = {0, 0, 0x80};
  const std::uint32_t blockB[8] = {1, kLowest, kHighest, 62500, 1, 62, 1, 125};
  ASSERT_EQ(SimDriver_SetDeviceInfo(driverCard_, noInputs, blockB), S_OK);
  auto failed = MakeObject();
  EXPECT_EQ(failed->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), errors::kNoBaseChannel);

  const DeviceIdentity identity(capturePath_.c_str());
  const DeviceObjectNames tuner1(identity, 1);
  const std::wstring exclusion =
      DeviceObjectNames(identity, DeviceObjectNames::kNoInstance).DeviceMutex(L"preview_recording_exclusion");
  EXPECT_FALSE(EventExists(tuner1.Event(NotifyEvent::ExternalInput)));
  EXPECT_FALSE(MutexExists(exclusion));

  const std::uint32_t allInputs[3] = {0, 7, 0x80};
  ASSERT_EQ(SimDriver_SetDeviceInfo(driverCard_, allInputs, blockB), S_OK);
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  for (int kind = 0; kind < NotifyEventSet::kCount; ++kind) {
    const std::wstring name = tuner1.Event(static_cast<NotifyEvent>(kind));
    EXPECT_TRUE(EventExists(name)) << std::string(name.begin(), name.end());
    EXPECT_EQ(name.substr(name.size() - 2), L"_1");
  }
  EXPECT_TRUE(MutexExists(exclusion));
  EXPECT_TRUE(WaitNamedPipeW(tuner1.Pipe(GetCurrentProcessId(), object.get()).c_str(), 5000));

  object->Shutdown();
  EXPECT_FALSE(EventExists(tuner1.Event(NotifyEvent::LiveRunning)));
  EXPECT_FALSE(MutexExists(exclusion));
}

TEST_F(RulDeviceObjectTest, AutoScanBelongsToTheFirstTuner) {
  auto first = MakeObject();
  auto second = MakeObject();
  auto otherFirst = MakeObject();
  ASSERT_EQ(first->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(second->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  ASSERT_EQ(otherFirst->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  long can = 0;
  EXPECT_EQ(first->CanUseInterface(IID_IAutoScan2, &can), S_OK);
  EXPECT_EQ(can, 1);
  EXPECT_EQ(second->CanUseInterface(IID_IAutoScan, &can), errors::kNoScanCapability);
  EXPECT_EQ(can, 0);
  // Reached through QueryInterface, the second tuner is refused all the same.
  EXPECT_EQ(second->InitializeAutoScan(0), errors::kNoScanCapability);

  // A preview of tuner 1 held anywhere keeps the scan from starting.
  NamedMutex preview1(DeviceObjectNames(first->identity(), 1).ExclusiveUse(ExclusiveInterface::Preview).c_str());
  ASSERT_EQ(preview1.CreateExclusive(), S_OK);
  EXPECT_EQ(first->InitializeAutoScan(0), errors::kPreviewInUse);
  preview1.Close();

  ASSERT_EQ(first->InitializeInputSwitch(0), S_OK);
  ASSERT_EQ(first->InitializeAutoScan(0), S_OK);
  EXPECT_EQ(otherFirst->InitializeAutoScan(0), errors::kAutoScanInUse);
  EXPECT_EQ(first->UninitializeInputSwitch(0), errors::kAutoScanInUse);
  long level = 0;
  ULONG format = 0;
  _SHAL_BASECH channel{81, 2, 1};
  EXPECT_EQ(first->GetChannelFreqLevel(&channel, kHighest + 1, &level, &format), E_INVALIDARG);
  EXPECT_EQ(format, 2u);
  EXPECT_EQ(first->GetChannelFreqLevel(&channel, kHighest, &level, &format), S_OK);
  EXPECT_EQ(first->UninitializeAutoScan(0), S_OK);
  EXPECT_EQ(first->UninitializeInputSwitch(0), S_OK);
}

// A child holds the input switch of one tuner until told to let go.
VORN_CHILD(HoldInputSwitch) {
  if (args.size() != 5) return 10;
  UINT patched = 0;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) || FAILED(SimDriver_Connect(args[0].c_str())) ||
      FAILED(SimDriver_Attach(GetModuleHandleW(nullptr), &patched)))
    return 11;
  UniqueHandle held(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[3].c_str()));
  UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, args[4].c_str()));
  if (!held.valid() || !release.valid()) return 12;
  int result = 0;
  {
    auto object = MakeObject();
    if (object->SetDeviceInfo(TunerItem(args[1], std::stol(args[2])).Get()) != S_OK) return 13;
    if (object->InitializeInputSwitch(0) != S_OK) return 14;
    SetEvent(held.get());
    if (WaitForSingleObject(release.get(), 30000) != WAIT_OBJECT_0) result = 15;
  }
  CoUninitialize();
  return result;
}

TEST_F(RulDeviceObjectTest, ExclusiveUseIsPerTunerAcrossProcesses) {
  const std::wstring heldName = UniqueName(L"Local\\RulHeld_"), releaseName = UniqueName(L"Local\\RulRelease_");
  UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, heldName.c_str()));
  UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
  auto child = testing_support::ChildProcess::Start(
      "HoldInputSwitch", {simcard_testing::StateName(), capturePath_, L"1", heldName, releaseName});
  ASSERT_TRUE(child.valid());
  HANDLE waits[] = {held.get(), child.handle()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 30000), WAIT_OBJECT_0);

  auto tuner1 = MakeObject();
  auto tuner0 = MakeObject();
  ASSERT_EQ(tuner1->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  ASSERT_EQ(tuner0->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  EXPECT_EQ(tuner1->InitializeInputSwitch(0), errors::kInputSwitchInUse);
  EXPECT_EQ(tuner0->InitializeInputSwitch(0), S_OK);

  SetEvent(release.get());
  EXPECT_EQ(child.Wait(), 0u);
  EXPECT_EQ(tuner1->InitializeInputSwitch(0), S_OK);
}

ComPtr<IHalItem> Channel(LONG band, LONG frequency, LONG switches) {
  return rul_testing::MakeItem({{2, band}, {4, frequency}, {5, switches}});
}

// On a card with both switches, function 1 (switch 0) goes with the tuner's bands only: an
// external input is offered switch 1 alone.
TEST_F(RulDeviceObjectTest, FunctionOneIsOfferedForTheTunerBandsOnly) {
  const std::uint32_t bothSwitches[3] = {0, 7, 0xC0};
  const std::uint32_t blockB[8] = {1, kLowest, kHighest, 62500, 1, 62, 1, 125};
  ASSERT_EQ(SimDriver_SetDeviceInfo(driverCard_, bothSwitches, blockB), S_OK);
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  const struct {
    ULONG band;
    ULONG offered;
  } cases[] = {{1, 3}, {2, 3}, {0x20000020, 2}, {0x10100020, 2}};
  for (const auto& c : cases) {
    _SHAL_BASECH channel{};
    channel.band = c.band;
    ULONG offered = 0xFF;
    ASSERT_EQ(object->GetAvailableTunerFunction(&channel, &offered), S_OK) << std::hex << c.band;
    EXPECT_EQ(offered, c.offered) << std::hex << c.band;
  }
}

// The host's picture-control values are clamped to the ranges read at Initialize before they
// reach the capture filter; a control without a range reads 0.
TEST_F(RulDeviceObjectTest, PictureControlsAreClampedToTheRangesReadAtInitialize) {
  ASSERT_EQ(SimCard_SetProcAmpRange(capturePath_.c_str(), 0, -10, 10, 1, 0, VideoProcAmp_Flags_Manual), S_OK);
  ASSERT_EQ(SimCard_SetProcAmpRange(capturePath_.c_str(), 3, 0, 200, 1, 100, VideoProcAmp_Flags_Manual), S_OK);
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
  const struct {
    long type, value, stored;
  } cases[] = {{1, 50, 10}, {1, -50, -10}, {1, 3, 3}, {8, 250, 200}, {8, -1, 0}, {8, 120, 120}};
  for (const auto& c : cases) {
    ASSERT_EQ(object->SetVidProcAmpParam(c.type, c.value), S_OK) << c.type;
    long value = 12345;
    ASSERT_EQ(object->GetVidProcAmpParam(c.type, &value), S_OK);
    EXPECT_EQ(value, c.stored) << c.type << " " << c.value;
  }
  EXPECT_EQ(object->SetVidProcAmpParam(3, 1), E_INVALIDARG);
}

// The channel rules on tuner 0 of a card with both tuner bands, both external inputs (an AUX
// crossbar) and switch 1 only (the stand-in's defaults).
TEST_F(RulDeviceObjectTest, SetChannelChecksTheChannelAndRecordsTheChange) {
  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarAux));
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  EXPECT_EQ(object->SetChannel(Channel(1, kLowest, 0).Get()), errors::kInputSwitchNotInit);
  ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);

  const LONG external1 = 0x20000020, external2 = 0x10100020;
  const struct {
    LONG band;
    ULONG frequency;
    LONG switches;
    HRESULT expected;
    bool external;
    bool routed;
  } cases[] = {
      {1, kLowest, 0, S_OK, false, true},  // the same band is routed again
      {2, kHighest, 2, S_OK, false, false},  // the tuner's other band shares its input
      {1, kHighest + 1, 0, E_INVALIDARG, false, false},
      {2, kLowest - 1, 0, E_INVALIDARG, false, false},
      {1, kLowest, 1, E_INVALIDARG, false, false},  // switch 0 is not on this card
      {0x40, 0, 0, E_INVALIDARG, false, false},     // not a base channel
      {external1, 0, 0, S_OK, true, true},
      {external2, 0, 0, S_OK, true, true},  // the other external input
      {static_cast<LONG>(0xF0000000u | 1), kLowest, 0, S_OK, false, true},  // top bits are not the band's
      {0, kLowest, 0, S_OK, false, true},                                    // band 0 counts as 1
  };
  NamedEvent& externalInput = object->notifyEvents().event(NotifyEvent::ExternalInput);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.band);
    const DWORD before = timeGetTime();
    const size_t routesBefore = simcard_testing::RouteLog(capturePath_).size();
    object->instanceStamp().record()->channelSet = 0;
    EXPECT_EQ(object->SetChannel(Channel(c.band, static_cast<LONG>(c.frequency), c.switches).Get()), c.expected);
    EXPECT_EQ(simcard_testing::RouteLog(capturePath_).size() > routesBefore, c.routed);
    if (FAILED(c.expected)) {
      EXPECT_EQ(object->instanceStamp().record()->channelSet, 0u);
      continue;
    }
    EXPECT_EQ(externalInput.IsSet(), c.external);
    const InstanceRecord& record = *object->instanceStamp().record();
    EXPECT_EQ(record.channelSet, 1u);
    EXPECT_LE(record.lastChangeMs - before, 5000u);
    // A tuned band is asked of the tuner next time; an external one is remembered.
    EXPECT_EQ(object->lastBand(), c.external ? static_cast<ULONG>(c.band) & 0x0FFFFFFF : 0u);
    // The host reads the band it set: fed back into SetChannel it tunes the same.
    ComPtr<IHalItem> read;
    ASSERT_EQ(object->GetChannel(read.GetAddressOf()), S_OK);
    EXPECT_EQ(static_cast<ULONG>(hal_items::ReadInteger(read.Get(), 2)),
              static_cast<ULONG>(c.band == 0 ? 1 : c.band) & 0x0FFFFFFF);
    std::int32_t slots[kSlotCount] = {};
    DeviceStateTable table(TestStateNames().section.c_str(), TestStateNames().mutex.c_str());
    ASSERT_EQ(table.Open(), S_OK);
    ASSERT_EQ(table.ReadSlots(object->stateName().c_str(), sizeof(slots), slots), S_OK);
    EXPECT_EQ(static_cast<ULONG>(slots[kSlotBand]), static_cast<ULONG>(c.band == 0 ? 1 : c.band) & 0x0FFFFFFF);
    EXPECT_EQ(slots[kSlotTunerFunction], c.switches);
  }
  ComPtr<IHalItem> got;
  ASSERT_EQ(object->GetChannel(got.GetAddressOf()), S_OK);
  VARIANT frequency;
  VariantInit(&frequency);
  ASSERT_EQ(got->GetInfo(4, &frequency), S_OK);
  EXPECT_EQ(static_cast<ULONG>(frequency.lVal), kLowest);
}

// The input-kind change that SetChannel signals reaches the host through the preview's own
// audio-mode events: they are the same events.
TEST_F(RulDeviceObjectTest, AnInputKindChangeReachesThePreviewsAudioEvents) {
  ASSERT_EQ(S_OK, SimCard_SetCrossbarVariant(capturePath_.c_str(), kSimCrossbarAux));
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
  ASSERT_EQ(object->SetChannel(Channel(1, kLowest, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializePreview(0), S_OK);
  ASSERT_EQ(object->RunPreview(0), S_OK);
  ULONG input = 0, output = 0;
  ASSERT_EQ(object->GetPreviewNotifyEvent(1, &input), S_OK);
  ASSERT_EQ(object->GetPreviewNotifyEvent(2, &output), S_OK);
  const HANDLE events[] = {reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(input)),
                           reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(output))};
  for (HANDLE event : events) ResetEvent(event);
  ASSERT_EQ(object->SetChannel(Channel(0x20000020, 0, 0).Get()), S_OK);
  for (HANDLE event : events) EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(object->StopPreview(0), S_OK);
}

// A crossbar without the external input: the call succeeds, the host reads the failed routing
// as band 0, and the band is not remembered, so the next SetChannel routes again.
TEST_F(RulDeviceObjectTest, ARoutingFailureLeavesTheBandZero) {
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(object->SetChannel(Channel(0x20000020, 0, 0).Get()), S_OK);
  EXPECT_EQ(object->lastBand(), 0u);
  ComPtr<IHalItem> now;
  ASSERT_EQ(object->GetChannel(&now), S_OK);
  EXPECT_EQ(hal_items::ReadInteger(now.Get(), 2), 0);
  EXPECT_EQ(object->SetChannel(Channel(1, kLowest, 0).Get()), S_OK);
}

// Recording on each tuner: data of every type reaches the host; a start right after a channel
// change waits the channel-settle interval out; stopping clears the running marks; on tuner 1 the
// card's exclusion is held only while Start and Stop run.
TEST_F(RulDeviceObjectTest, RecordingDeliversAfterTheChannelSettled) {
  for (LONG tuner : {0, 1}) {
    SCOPED_TRACE(tuner);
    auto object = MakeObject(doubles_.get());
    ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, tuner).Get()), S_OK);
    ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
    ASSERT_EQ(object->InitializeOutputData(0), S_OK);
    object->recordingGraph().SetMinimumRecTime(0);
    output_testing::Sink sink((1u << 1) | (1u << 2) | (1u << 3));
    // The three types with their subtypes, chosen or not.
    const auto chosen = [&] {
      long count = 0;
      _SHAL_OUTPUTDTATA_TYPE* records = nullptr;
      EXPECT_EQ(object->GetOutputDataType(&count, &records), S_OK);
      std::vector<ULONG> subtypes;
      for (long i = 0; i < count; ++i) {
        EXPECT_EQ(records[i].type, static_cast<ULONG>(i + 1));
        subtypes.push_back(records[i].subtype);
      }
      CoTaskMemFree(records);
      return subtypes;
    };
    EXPECT_EQ(chosen(), (std::vector<ULONG>{0, 0, 0}));
    const struct {
      ULONG type, subtype;
      HRESULT expected;
    } types[] = {{1, 3, E_INVALIDARG}, {1, 99, E_INVALIDARG}, {4, 0, E_INVALIDARG},
                 {1, 150, S_OK},       {2, 0, S_OK},         {1, 2, S_OK},        {3, 0, S_OK}};
    for (const auto& t : types) {
      _SHAL_OUTPUTDTATA_TYPE choice{t.type, t.subtype};
      EXPECT_EQ(object->SetOutputDataType(&choice, &sink), t.expected) << t.type << "/" << t.subtype;
      if (t.type == 2) {
        EXPECT_EQ(chosen(), (std::vector<ULONG>{150, 0, 0}));
      }
    }
    EXPECT_EQ(chosen(), (std::vector<ULONG>{2, 0, 0}));
    ASSERT_EQ(object->SetChannel(Channel(1, kLowest, 0).Get()), S_OK);
    const DWORD changed = object->instanceStamp().record()->lastChangeMs;
    ASSERT_EQ(object->StartOutputData(0), S_OK);
    EXPECT_GE(timeGetTime() - changed, object->channelInterval());
    EXPECT_TRUE(object->notifyEvents().event(NotifyEvent::RecRunning).IsSet());
    // The exclusion is not held while recording: another holder takes it at once.
    NamedMutex other(object->exclusionMutex().name());
    ASSERT_TRUE(other.Create());
    EXPECT_TRUE(other.Lock(0));
    other.Unlock();
    ASSERT_TRUE(sink.WaitAll());
    EXPECT_FALSE(sink.bad_);
    EXPECT_EQ(sink.subtype_[0].load(), 2u);
    ASSERT_EQ(object->StopOutputData(0), S_OK);
    EXPECT_FALSE(object->notifyEvents().event(NotifyEvent::RecRunning).IsSet());
    std::int32_t slots[kSlotCount] = {};
    DeviceStateTable table(TestStateNames().section.c_str(), TestStateNames().mutex.c_str());
    ASSERT_EQ(table.Open(), S_OK);
    ASSERT_EQ(table.ReadSlots(object->stateName().c_str(), sizeof(slots), slots), S_OK);
    EXPECT_EQ(slots[kSlotOutputStarted], 0);
    EXPECT_EQ(slots[kSlotOutputState], 0);
    EXPECT_EQ(slots[kSlotOutputProcess], static_cast<std::int32_t>(GetCurrentProcessId()));
    EXPECT_EQ(object->UninitializeOutputData(0), S_OK);
    ASSERT_EQ(table.ReadSlots(object->stateName().c_str(), sizeof(slots), slots), S_OK);
    EXPECT_EQ(slots[kSlotOutputProcess], 0);
    EXPECT_EQ(object->StartOutputData(0), errors::kOutputDataNotInit);
  }
}

// A stop that ends the delivery waits out the minimum recording time first: the data of that
// time reaches the host.
TEST_F(RulDeviceObjectTest, StopEndsTheDeliveryAfterTheMinimumRecordingTime) {
  constexpr DWORD kMinimumMs = 3000;
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializeOutputData(0), S_OK);
  object->recordingGraph().SetMinimumRecTime(kMinimumMs);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  ASSERT_EQ(object->SetOutputDataType(&mpeg, &sink), S_OK);
  const doubles::Journal& journal = doubles::Journal::Instance();
  const std::size_t before = journal.Calls("CallbackFilter", "EndDelivery").size();
  ASSERT_EQ(object->StartOutputData(0), S_OK);

  UniqueHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HRESULT result = E_FAIL;
  std::thread host([&] {
    result = object->StopOutputData(1);
    SetEvent(stopped.get());
  });
  EXPECT_EQ(WaitForSingleObject(stopped.get(), kMinimumMs / 3), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(journal.Calls("CallbackFilter", "EndDelivery").size(), before);
  const bool done = WaitForSingleObject(stopped.get(), 60000) == WAIT_OBJECT_0;
  if (!done) {
    host.detach();  // hung: the process ends with the test program
    FAIL() << "Stop did not return";
  }
  host.join();
  EXPECT_EQ(result, S_OK);
  const auto ended = journal.Calls("CallbackFilter", "EndDelivery");
  ASSERT_EQ(ended.size(), before + 1);
  EXPECT_EQ(ended.back().args[0], 1);
}

// The output-data information of a registry preset comes from the driver's record overlaid with
// the preset (with its GOP type as an eighteenth value); the fixed subtypes come from the table.
TEST_F(RulDeviceObjectTest, OutputDataInfoAnswersRegistryPresets) {
  testing_support::ScratchRegistryKey presets(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                              L"Software\\Zarn Corporation\\Tovrel\\RecParam");
  const std::pair<const wchar_t*, DWORD> values[] = {
      {L"IsVBR", 1},    {L"MuxBitrate", 3000000}, {L"VideoBitrate", 2000000}, {L"VideoBitrateMax", 2500000},
      {L"Width", 352},  {L"Height", 240},         {L"GopType", 6},            {L"AudioBitrate", 192000}};
  for (const auto& [name, value] : values) ASSERT_TRUE(presets.Set(L"120", name, REG_DWORD, &value, sizeof(value)));
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  ASSERT_EQ(object->InitializeOutputData(0), S_OK);

  const struct {
    long type, subtype;
    HRESULT expected;
    std::vector<std::int32_t> words;
  } cases[] = {
      {1, 120, S_OK, {2, 1, 9, 3000000, 0, 1, 0, 2000000, 2500000, 240, 352, 2, 4, 2, 192000, 0, 48000, 6}},
      {1, 2, S_OK, {2, 1, 9, 2500000, 4500000, 1, 0, 2179600, 4000000, 480, 352, 2, 4, 2, 256000, 0, 48000}},
      {2, 0, S_OK, {2, 48000, 256000, 4, 16}},
      {3, 0, S_OK, {}},
      {1, 121, E_INVALIDARG, {}},  // no such preset
      {1, 3, E_INVALIDARG, {}},
      {4, 0, E_INVALIDARG, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.subtype);
    IHalItem* raw = reinterpret_cast<IHalItem*>(1);
    EXPECT_EQ(object->GetOutputDataInfo(c.type, c.subtype, &raw), c.expected);
    ComPtr<IHalItem> item;
    item.Attach(raw);
    if (c.expected != S_OK) {
      EXPECT_EQ(raw, nullptr);
      continue;
    }
    ASSERT_TRUE(item);
    long count = -1;
    long* types = nullptr;
    VARIANT* read = nullptr;
    ASSERT_EQ(item->GetInfoAll(&count, &types, &read), S_OK);
    std::vector<std::int32_t> words(c.words.size(), -1);
    for (long i = 0; i < count; ++i) {
      if (types[i] >= 0 && types[i] < static_cast<long>(words.size())) words[types[i]] = read[i].lVal;
      VariantClear(&read[i]);
    }
    CoTaskMemFree(types);
    CoTaskMemFree(read);
    EXPECT_EQ(count, static_cast<long>(c.words.size()));
    EXPECT_EQ(words, c.words);
  }
}

// Shutdown with the input switch and a running recording lets go of every named object: a new
// object of the same tuner takes them all.
TEST_F(RulDeviceObjectTest, ShutdownReleasesEverything) {
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
  ASSERT_EQ(object->InitializeOutputData(0), S_OK);
  object->recordingGraph().SetMinimumRecTime(0);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  ASSERT_EQ(object->SetOutputDataType(&mpeg, &sink), S_OK);
  ASSERT_EQ(object->StartOutputData(0), S_OK);
  const std::wstring pipe = object->names().Pipe(GetCurrentProcessId(), object.get());
  object.reset();
  EXPECT_FALSE(WaitNamedPipeW(pipe.c_str(), 0));
  EXPECT_FALSE(EventExists(DeviceObjectNames(DeviceIdentity(capturePath_.c_str()), 0).Event(NotifyEvent::RecRunning)));

  auto next = MakeObject(doubles_.get());
  ASSERT_EQ(next->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  EXPECT_EQ(next->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(next->InitializeOutputData(0), S_OK);
  EXPECT_EQ(next->InitializeAutoScan(0), errors::kOutputDataInUse);
}

// A stand-in for another object that owns the preview of tuner 1: it logs every message of its
// instance pipe and answers requests with `answer`.
struct ScriptedPeer {
  static constexpr std::uint32_t kAddress = 0x5A5A1234;
  struct Message {
    std::uint32_t kind, code;
    bool operator==(const Message&) const = default;
  };
  std::mutex lock;
  std::vector<Message> log;
  HRESULT answer = S_OK;
  NamedPipe pipe;

  static void Handle(void* context, HANDLE, DWORD size, const BYTE* request, DWORD* answerSize, BYTE* answer,
                     DWORD capacity) {
    auto* self = static_cast<ScriptedPeer*>(context);
    for (DWORD at = 0; at + sizeof(rul::PeerMessage) <= size; at += sizeof(rul::PeerMessage)) {
      rul::PeerMessage message{};
      if (!rul::ReadPeerMessage(request + at, size - at, &message)) return;
      std::lock_guard<std::mutex> hold(self->lock);
      self->log.push_back({message.kind, message.a});
      if (message.kind == rul::kPeerRequest) rul::WritePeerAnswer(self->answer, answer, capacity, answerSize);
    }
  }
  // Waits (bounded poll) until the log holds `count` messages, and gives it.
  std::vector<Message> WaitFor(std::size_t count) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> hold(lock);
        if (log.size() >= count) return log;
      }
      UniqueHandle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
      WaitForSingleObject(never.get(), 10);
    }
    std::lock_guard<std::mutex> hold(lock);
    return log;
  }
};

// Registers a preview owner of tuner 1 in the device-state table as running (the table lives
// while an object holds it open).
void RegisterPreviewOwner(const std::wstring& path, DWORD process, std::uint32_t object) {
  DeviceStateTable table(TestStateNames().section.c_str(), TestStateNames().mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  const std::wstring entry = L"1" + path;
  ASSERT_EQ(table.Register(entry.c_str(), 0, 0), S_OK);
  ASSERT_EQ(table.SetSlot(entry.c_str(), kSlotPreviewProcess, static_cast<std::int32_t>(process)), S_OK);
  ASSERT_EQ(table.SetSlot(entry.c_str(), kSlotPreviewObject, static_cast<std::int32_t>(object)), S_OK);
  ASSERT_EQ(table.SetSlot(entry.c_str(), kSlotPreviewState, kSlotRunning), S_OK);
}

// Recording on tuner 1 asks the running preview's owner to stop before it starts and stops, and
// tells it afterwards; a preview that is no longer held is not asked, and an earlier link gets
// nothing; a refusal is the result and leaves the card's exclusion free.
TEST_F(RulDeviceObjectTest, RecordingOnTunerOneStopsThePreviewOwner) {
  const DeviceIdentity identity(capturePath_.c_str());
  ScriptedPeer peer;
  ASSERT_EQ(peer.pipe.StartDeviceServer(&peer, identity, GetCurrentProcessId(),
                                        reinterpret_cast<const void*>(std::uintptr_t{ScriptedPeer::kAddress}),
                                        &ScriptedPeer::Handle, 1),
            S_OK);
  NamedMutex preview(DeviceObjectNames(identity, 1).ExclusiveUse(ExclusiveInterface::Preview).c_str());
  ASSERT_EQ(preview.CreateExclusive(), S_OK);

  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  RegisterPreviewOwner(capturePath_, GetCurrentProcessId(), ScriptedPeer::kAddress);
  ASSERT_EQ(object->InitializeOutputData(0), S_OK);
  object->recordingGraph().SetMinimumRecTime(0);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  ASSERT_EQ(object->SetOutputDataType(&mpeg, &sink), S_OK);

  using M = ScriptedPeer::Message;
  const M stop{rul::kPeerRequest, rul::kPeerStopPreview}, free{rul::kPeerNotification, rul::kPeerPreviewFree};
  ASSERT_EQ(object->StartOutputData(0), S_OK);
  EXPECT_EQ(peer.WaitFor(2), (std::vector<M>{stop, free}));
  ASSERT_EQ(object->StopOutputData(0), S_OK);
  EXPECT_EQ(peer.WaitFor(4), (std::vector<M>{stop, free, stop, free}));

  preview.Close();  // the preview is let go: no owner to ask
  ASSERT_EQ(object->StartOutputData(0), S_OK);
  ASSERT_EQ(object->StopOutputData(0), S_OK);

  ASSERT_EQ(preview.CreateExclusive(), S_OK);
  peer.answer = E_ACCESSDENIED;
  EXPECT_EQ(object->StartOutputData(0), E_ACCESSDENIED);
  // Nothing was sent while no preview was held; the refusal came from the fifth message.
  EXPECT_EQ(peer.WaitFor(5), (std::vector<M>{stop, free, stop, free, stop}));
  EXPECT_FALSE(object->notifyEvents().event(NotifyEvent::RecRunning).IsSet());
  NamedMutex other(object->exclusionMutex().name());
  ASSERT_TRUE(other.Create());
  EXPECT_TRUE(other.Lock(0));
  other.Unlock();
  // Released while not recording: the preview's owner is not asked again.
  object.reset();
  {
    std::lock_guard<std::mutex> hold(peer.lock);
    EXPECT_EQ(peer.log.size(), 5u);
  }
  peer.pipe.StopServer();
}

// One object that owns the preview and records tuner 1 finds itself as the peer and asks its own
// pipe while a host call holds its device lock: the exchange completes.
TEST_F(RulDeviceObjectTest, TheSameObjectAsItsOwnPeerCompletes) {
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  ASSERT_EQ(object->InitializeOutputData(0), S_OK);
  object->recordingGraph().SetMinimumRecTime(0);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  ASSERT_EQ(object->SetOutputDataType(&mpeg, &sink), S_OK);
  RegisterPreviewOwner(capturePath_, GetCurrentProcessId(), static_cast<std::uint32_t>(ObjectAddress32(object.get())));
  NamedMutex preview(DeviceObjectNames(object->identity(), 1).ExclusiveUse(ExclusiveInterface::Preview).c_str());
  ASSERT_EQ(preview.CreateExclusive(), S_OK);

  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HRESULT started = E_FAIL, stopped = E_FAIL;
  std::thread host([&] {
    {
      ScopedDeviceLock lock(&object->deviceLock());  // as the facade holds it
      started = object->StartOutputData(0);
      stopped = object->StopOutputData(0);
    }
    SetEvent(done.get());
  });
  const bool completed = WaitForSingleObject(done.get(), 60000) == WAIT_OBJECT_0;
  EXPECT_TRUE(completed);
  if (!completed) {
    host.detach();  // hung: the process ends with the test program
    return;
  }
  host.join();
  EXPECT_EQ(started, S_OK);
  EXPECT_EQ(stopped, S_OK);
}

// A notification and a request that arrive in one read are both handled, and the request is
// answered.
TEST_F(RulDeviceObjectTest, ThePipeAnswersARequestBehindANotification) {
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  const std::wstring name = object->names().Pipe(GetCurrentProcessId(), object.get());
  UniqueFileHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(pipe.valid()) << GetLastError();
  const rul::PeerMessage both[2] = {{20, rul::kPeerNotification, rul::kPeerPreviewFree, 1, 0},
                                    {20, rul::kPeerRequest, rul::kPeerStopPreview, 1, 0}};
  UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED io{};
  io.hEvent = event.get();
  DWORD count = 0;
  if (!WriteFile(pipe.get(), both, sizeof(both), nullptr, &io)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  }
  ASSERT_TRUE(GetOverlappedResult(pipe.get(), &io, &count, TRUE));
  ASSERT_EQ(count, sizeof(both));
  rul::PeerAnswer answer{};
  ResetEvent(event.get());
  if (!ReadFile(pipe.get(), &answer, sizeof(answer), nullptr, &io)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  }
  const bool arrived = WaitForSingleObject(event.get(), 10000) == WAIT_OBJECT_0;
  if (!arrived) CancelIo(pipe.get());
  ASSERT_TRUE(arrived);
  ASSERT_TRUE(GetOverlappedResult(pipe.get(), &io, &count, TRUE));
  EXPECT_EQ(count, sizeof(answer));
  EXPECT_EQ(answer.size, 12u);
  EXPECT_EQ(answer.result, S_OK);
}

// A Run whose connection fails twice leaves nothing running: slots, LiveRunning and the card's
// exclusion as they were.
TEST_F(RulDeviceObjectTest, AFailedRunIsRolledBack) {
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  EXPECT_EQ(object->RunPreview(0), errors::kPreviewNotInit);
  ASSERT_EQ(object->InitializePreview(0), S_OK);
  ASSERT_EQ(object->previewGraph().SetAudioLink(nullptr), S_OK);  // every connection fails
  EXPECT_EQ(object->RunPreview(0), errors::kPreviewNoChain);
  EXPECT_FALSE(object->notifyEvents().event(NotifyEvent::LiveRunning).IsSet());
  std::int32_t slots[kSlotCount] = {};
  DeviceStateTable table(TestStateNames().section.c_str(), TestStateNames().mutex.c_str());
  ASSERT_EQ(table.Open(), S_OK);
  ASSERT_EQ(table.ReadSlots(object->stateName().c_str(), sizeof(slots), slots), S_OK);
  EXPECT_EQ(slots[kSlotPreviewStarted], 0);
  EXPECT_EQ(slots[kSlotPreviewState], 0);
  EXPECT_EQ(slots[kSlotPreviewProcess], static_cast<std::int32_t>(GetCurrentProcessId()));
  NamedMutex other(object->exclusionMutex().name());
  ASSERT_TRUE(other.Create());
  EXPECT_TRUE(other.Lock(0));
  other.Unlock();
  EXPECT_EQ(object->UninitializePreview(0), S_OK);
}

// The picture size: 720 x 480 on tuner 0 without a driver request, the encoder's words 10 and 11
// on another tuner.
TEST_F(RulDeviceObjectTest, VideoDataInfoOfEachTuner) {
  for (LONG tuner : {0, 1}) {
    SCOPED_TRACE(tuner);
    auto object = MakeObject(doubles_.get());
    ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, tuner).Get()), S_OK);
    ASSERT_EQ(object->InitializePreview(0), S_OK);
    SimDriverTunerState state{};
    ASSERT_EQ(SimDriver_GetTunerState(driverCard_, static_cast<UINT>(tuner), &state), S_OK);
    driver_packets::EncoderParameterRecord record{};
    std::memcpy(record.data(), state.encoderRecord, record.size());
    const auto aligned = driver_packets::AlignEncoderRecord(record);
    UINT before = 0, after = 0, count = 0;
    SimDriver_ReadLog(0, nullptr, 0, &count, &before);
    ComPtr<IHalItem> item;
    ASSERT_EQ(object->GetVideoDataInfo(item.GetAddressOf()), S_OK);
    SimDriver_ReadLog(0, nullptr, 0, &count, &after);
    EXPECT_EQ(after == before, tuner == 0);
    const std::int32_t expected[] = {tuner == 0 ? 720 : static_cast<std::int32_t>(aligned.words[10]),
                                     tuner == 0 ? 480 : static_cast<std::int32_t>(aligned.words[11]), 4, 1};
    for (long i = 0; i < 4; ++i) {
      VARIANT value;
      VariantInit(&value);
      ASSERT_EQ(item->GetInfo(i, &value), S_OK);
      EXPECT_EQ(value.lVal, expected[i]) << i;
    }
  }
}

// Another process previews tuner 1 until the parent has recorded on it; it then reports whether
// its preview was stopped and its kind-7 event set.
VORN_CHILD(PreviewTunerOne) {
  if (args.size() != 7) return 10;
  UINT patched = 0;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) || FAILED(SimDriver_Connect(args[0].c_str())) ||
      FAILED(SimDriver_Attach(GetModuleHandleW(nullptr), &patched)))
    return 11;
  UniqueModule doubles(LoadLibraryW(testing_support::BinPath(DOUBLES_CALLBACK_FILE).c_str()));
  UniqueHandle running(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[4].c_str()));
  UniqueHandle recorded(OpenEventW(SYNCHRONIZE, FALSE, args[5].c_str()));
  if (!doubles.valid() || !running.valid() || !recorded.valid()) return 12;
  int result = 0;
  {
    rul::DeviceManagerImpl object(args[2].c_str(), args[3].c_str(), doubles.get());
    if (object.Initialize() != S_OK || object.CreateDeviceLock() != S_OK) return 13;
    if (object.SetDeviceInfo(TunerItem(args[1], 1).Get()) != S_OK) return 14;
    if (object.InitializePreview(0) != S_OK || object.RunPreview(0) != S_OK) return 15;
    ULONG kind7 = 0;
    if (object.GetPreviewNotifyEvent(7, &kind7) != S_OK) return 16;
    SetEvent(running.get());
    if (WaitForSingleObject(recorded.get(), 30000) != WAIT_OBJECT_0) return 17;
    ULONG state = 99;
    if (object.GetPreviewState(&state) != S_OK || state != 0) result = 18;
    const HANDLE event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(kind7));
    if (WaitForSingleObject(event, 10000) != WAIT_OBJECT_0) result = 19;
    if (std::stoul(args[6]) != 0 && object.notifyEvents().event(NotifyEvent::LiveRunning).IsSet()) result = 20;
  }
  CoUninitialize();
  return result;
}

TEST_F(RulDeviceObjectTest, RecordingInOneProcessStopsThePreviewInAnother) {
  auto recorder = MakeObject(doubles_.get());  // holds the state table open for the child
  ASSERT_EQ(recorder->SetDeviceInfo(TunerItem(capturePath_, 1).Get()), S_OK);
  const std::wstring runningName = UniqueName(L"Local\\RulPreviewRuns_"), recordedName = UniqueName(L"Local\\RulRecorded_");
  UniqueHandle running(CreateEventW(nullptr, TRUE, FALSE, runningName.c_str()));
  UniqueHandle recorded(CreateEventW(nullptr, TRUE, FALSE, recordedName.c_str()));
  auto child = testing_support::ChildProcess::Start(
      "PreviewTunerOne", {simcard_testing::StateName(), capturePath_, TestStateNames().section, TestStateNames().mutex,
                          runningName, recordedName, L"1"});
  ASSERT_TRUE(child.valid());
  HANDLE waits[] = {running.get(), child.handle()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 30000), WAIT_OBJECT_0);

  ASSERT_EQ(recorder->InitializeOutputData(0), S_OK);
  recorder->recordingGraph().SetMinimumRecTime(0);
  output_testing::Sink sink(1u << 1);
  _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
  ASSERT_EQ(recorder->SetOutputDataType(&mpeg, &sink), S_OK);
  EXPECT_EQ(recorder->StartOutputData(0), S_OK);
  EXPECT_EQ(recorder->StopOutputData(0), S_OK);
  SetEvent(recorded.get());
  EXPECT_EQ(child.Wait(), 0u);
}

// The client side against pipes of the test's own: a missing pipe fails at once; a request gets
// its answer's result with the flag clear; a server that ends the connection instead of
// answering gives the read's failure with the flag set.
void AnswerWithKey(void*, HANDLE, DWORD size, const BYTE* request, DWORD* answerSize, BYTE* answer, DWORD capacity) {
  rul::PeerMessage message{};
  if (!rul::ReadPeerMessage(request, size, &message)) return;
  rul::WritePeerAnswer(static_cast<HRESULT>(message.c), answer, capacity, answerSize);
}
void HangUp(void*, HANDLE, DWORD, const BYTE*, DWORD*, BYTE*, DWORD) { throw HResultError(E_FAIL); }

TEST(RulInstancePipe, RequestsGetTheirAnswerOrTheFailure) {
  rul::InstancePipe client;
  const std::wstring missing = L"\\\\.\\pipe\\" + UniqueName(L"RulMissing_");
  EXPECT_EQ(client.Connect(missing.c_str()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(client.IsOpen());
  bool failed = false;
  EXPECT_TRUE(FAILED(client.SendRequest(rul::kPeerStopPreview, 1, 0, &failed)));
  EXPECT_TRUE(failed);

  const struct {
    NamedPipe::Handler handler;
    HRESULT expected;
    bool failed;
  } cases[] = {{&AnswerWithKey, E_ACCESSDENIED, false}, {&HangUp, HRESULT_FROM_WIN32(ERROR_BROKEN_PIPE), true}};
  for (const auto& c : cases) {
    NamedPipe server;
    const std::wstring name = L"\\\\.\\pipe\\" + UniqueName(L"RulPeer_");
    ASSERT_EQ(server.StartServer(nullptr, name.c_str(), c.handler), S_OK);
    ASSERT_EQ(client.Connect(name.c_str()), S_OK);
    const HRESULT hr = client.SendRequest(rul::kPeerStopPreview, 1, static_cast<std::uint32_t>(E_ACCESSDENIED), &failed);
    EXPECT_EQ(failed, c.failed);
    if (c.failed) {
      EXPECT_TRUE(FAILED(hr));
    } else {
      EXPECT_EQ(hr, c.expected);
    }
    client.Close();
    server.StopServer();
  }
}

// A client that finds the pipe's only instance busy waits for it and connects once it is free.
TEST(RulInstancePipe, ABusyPipeIsWaitedFor) {
  const std::wstring name = L"\\\\.\\pipe\\" + UniqueName(L"RulBusy_");
  UniqueHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64, 64, 10000, nullptr));
  ASSERT_TRUE(server.valid());
  rul::InstancePipe first, second;
  ASSERT_EQ(first.Connect(name.c_str()), S_OK);  // takes the only instance
  UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HRESULT connected = E_PENDING;
  std::thread waiter([&] {
    connected = second.Connect(name.c_str());
    SetEvent(done.get());
  });
  // While the instance is taken the client waits rather than fail.
  const bool early = WaitForSingleObject(done.get(), 500) == WAIT_OBJECT_0;
  EXPECT_FALSE(early) << std::hex << connected;
  if (!early) {
    ASSERT_TRUE(DisconnectNamedPipe(server.get()));
    UniqueHandle listened(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = listened.get();
    if (!ConnectNamedPipe(server.get(), &overlapped)) {
      const DWORD error = GetLastError();
      EXPECT_TRUE(error == ERROR_IO_PENDING || error == ERROR_PIPE_CONNECTED) << error;
    }
    EXPECT_EQ(WaitForSingleObject(done.get(), 10000), WAIT_OBJECT_0);
    CancelIo(server.get());
  }
  waiter.join();
  EXPECT_EQ(connected, S_OK);
  EXPECT_TRUE(second.IsOpen());
}

TEST(RulPeerMessages, OnlyWholeMessagesAreRead) {
  const rul::PeerMessage request{20, rul::kPeerRequest, rul::kPeerStopPreview, 1, 0};
  BYTE bytes[24] = {};
  std::memcpy(bytes, &request, sizeof(request));
  rul::PeerMessage read{};
  EXPECT_TRUE(rul::ReadPeerMessage(bytes, 24, &read));
  EXPECT_EQ(read.a, rul::kPeerStopPreview);
  EXPECT_FALSE(rul::ReadPeerMessage(bytes, 19, &read));
  bytes[0] = 16;  // misstates its length
  EXPECT_FALSE(rul::ReadPeerMessage(bytes, 24, &read));

  BYTE answer[12] = {};
  DWORD written = 99;
  rul::WritePeerAnswer(E_ACCESSDENIED, answer, 11, &written);
  EXPECT_EQ(written, 0u);
  rul::WritePeerAnswer(E_ACCESSDENIED, answer, 12, &written);
  ASSERT_EQ(written, 12u);
  rul::PeerAnswer got{};
  std::memcpy(&got, answer, sizeof(got));
  EXPECT_EQ(got.size, 12u);
  EXPECT_EQ(got.result, E_ACCESSDENIED);
}

}  // namespace

// The window and sound sides before they are initialised, and the order they keep with the
// preview: each code as a host meets it.
TEST_F(RulDeviceObjectTest, WindowAndSoundAnswerInOrder) {
  auto object = MakeObject(doubles_.get());
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ULONG value = 0;
  BYTE* image = nullptr;
  void* custom = nullptr;
  long level = 0;
  _SHAL_AUDIOMIX mix{};
  const struct {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT expected;
  } calls[] = {
      {"window before preview", [&] { return object->InitializePreviewWindow(0x40); }, errors::kPreviewNotInit},
      {"sound before preview", [&] { return object->InitializeSound(0); }, errors::kPreviewNotInit},
      {"RePaint", [&] { return object->RePaint(nullptr, nullptr); }, errors::kWindowNotInit},
      {"GetCurrentImage", [&] { return object->GetCurrentImage(&value, &image); }, errors::kWindowNotInit},
      {"QueryInterfaceFromCustomFilter", [&] { return object->QueryInterfaceFromCustomFilter(IID_IUnknown, &custom); },
       errors::kWindowNotInit},
      {"SetZoomMode", [&] { return object->SetZoomMode(1); }, errors::kWindowNotInit},
      {"GetVolume", [&] { return object->GetVolume(&level); }, errors::kSoundNotInit},
      {"SetBalance", [&] { return object->SetBalance(0); }, errors::kSoundNotInit},
      {"GetMix", [&] { return object->GetMix(&mix); }, errors::kSoundNotInit},
      {"SetSoundMode 0", [&] { return object->SetSoundMode(0); }, S_OK},
      {"SetSoundMode 1", [&] { return object->SetSoundMode(1); }, E_FAIL},
      {"window uninitialised", [&] { return object->UninitializePreviewWindow(0); }, S_OK},
      {"Pause before preview", [&] { return object->PausePreview(0); }, errors::kPreviewNotInit},
  };
  for (const auto& c : calls) EXPECT_EQ(c.call(), c.expected) << c.name;
  EXPECT_EQ(custom, nullptr);
  EXPECT_EQ(image, nullptr);

  // The window and sound interfaces IPreview lists: the second windows on a board that has them.
  for (const LONG capability : {0, 0x200}) {
    auto listing = MakeObject();
    ASSERT_EQ(listing->SetDeviceInfo(rul_testing::MakeItem({{8, 1}, {9, 3}, {4, capability}}, {{7, capturePath_}}).Get()),
              S_OK);
    long count = 0;
    GUID* iids = nullptr;
    ASSERT_EQ(listing->GetAvailableVideoModeInterface(&count, &iids), S_OK);
    std::vector<GUID> windows(iids, iids + count);
    CoTaskMemFree(iids);
    const std::vector<GUID> expected = capability ? std::vector<GUID>{IID_IPreviewWindow, IID_IPreviewWindow2,
                                                                      IID_ICustomPreviewWindow, IID_ICustomPreviewWindow2}
                                                  : std::vector<GUID>{IID_IPreviewWindow, IID_ICustomPreviewWindow};
    EXPECT_EQ(windows, expected) << capability;
    ASSERT_EQ(listing->GetAvailableSoundModeInterface(&count, &iids), S_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(iids[0], IID_ISound);
    CoTaskMemFree(iids);
  }
}

// A whole session on tuner 0 of a board with the system renderer: set up, tune, a preview with
// window and sound shows pictures at the renderer (the window's clipping window and position
// given again when it runs), a recording delivers data, both stop, and the object's release
// leaves nothing: a new object takes every interface and name again.
TEST_F(RulDeviceObjectTest, AWholeSessionShowsPicturesRecordsAndLeavesNothing) {
  using doubles::Journal;
  const auto entry = [](const wchar_t* file, const char* name) {
    HMODULE module = GetModuleHandleW(file);
    if (!module) module = LoadLibraryW(testing_support::BinPath(file).c_str());
    auto fn = GetProcAs<RegFn>(module, name);
    return fn ? fn() : E_FAIL;
  };
  ASSERT_EQ(entry(DOUBLES_PLATFORM_FILE, "DllRegisterServer"), S_OK);
  struct Unregister {
    std::function<void()> undo;
    ~Unregister() { undo(); }
  } unregister{[&] { entry(DOUBLES_PLATFORM_FILE, "DllUnregisterServer"); }};
  sim_host::RegistryJournal registry;  // the sound renderer's stand-in as the system's choice
  ASSERT_EQ(sim_host::BypassSound(registry), S_OK);
  Journal::Instance().Reset();
  const auto item = rul_testing::MakeItem({{8, 0}, {9, 3}, {2, 7}, {4, 0x200}, {5, 9}},
                                          {{7, capturePath_}, {0, L"0" + capturePath_}});
  constexpr ULONG kModeSystemRenderer = 0x40;
  const DeviceObjectNames names(DeviceIdentity(capturePath_.c_str()), 0);
  std::wstring pipe;
  {
    auto object = MakeObject(doubles_.get());
    ASSERT_EQ(object->SetDeviceInfo(item.Get()), S_OK);
    ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
    ASSERT_EQ(object->SetChannel(Channel(1, kLowest, 0).Get()), S_OK);
    ASSERT_EQ(object->InitializePreview(0), S_OK);
    ASSERT_EQ(object->InitializePreviewWindow(kModeSystemRenderer), S_OK);
    EXPECT_EQ(object->InitializeCustomPreviewWindow(kModeSystemRenderer, GUID_NULL, nullptr), errors::kWindowInUse);
    ASSERT_EQ(object->InitializeSound(0), S_OK);
    RECT source{0, 0, 360, 240}, destination{10, 20, 370, 260};
    // A careless host: a handle that names no window and null out-pointers are refused.
    HWND gone = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(gone);
    DestroyWindow(gone);
    EXPECT_EQ(object->SetVideoClippingWindow(gone), E_INVALIDARG);
    HRESULT last = S_OK;
    EXPECT_EQ(object->GetPreviewLastError(&last, nullptr), E_POINTER);
    ASSERT_EQ(object->SetVideoClippingWindow(GetDesktopWindow()), S_OK);
    ASSERT_EQ(object->SetVideoPosition(&source, &destination), S_OK);
    // A position the renderer refuses when the run gives it again ends the run, nothing of it
    // left; the next run gives it again.
    Journal::Instance().Reset();
    ASSERT_TRUE(Journal::Instance().InjectFailure("SimVideoRenderer", "SetVideoPosition", E_FAIL, 1));
    EXPECT_EQ(object->RunPreview(0), E_FAIL);
    EXPECT_FALSE(object->notifyEvents().event(NotifyEvent::LiveRunning).IsSet());
    {
      std::int32_t slots[kSlotCount] = {};
      DeviceStateTable table(TestStateNames().section.c_str(), TestStateNames().mutex.c_str());
      ASSERT_EQ(table.Open(), S_OK);
      ASSERT_EQ(table.ReadSlots(object->stateName().c_str(), sizeof(slots), slots), S_OK);
      EXPECT_EQ(slots[kSlotPreviewStarted], 0);
      EXPECT_EQ(slots[kSlotPreviewState], 0);
    }
    Journal::Instance().Reset();
    ASSERT_EQ(object->RunPreview(0), S_OK);
    const auto positions = Journal::Instance().Calls("SimVideoRenderer", "SetVideoPosition");
    ASSERT_EQ(positions.size(), 1u);
    EXPECT_EQ(positions[0].args[0], destination.left);
    EXPECT_EQ(positions[0].args[3], destination.bottom);
    EXPECT_TRUE(simcard_testing::WaitUntil([] { return Journal::Instance().Value(doubles::kValueVideoFrames) >= 3; },
                                           kPictureWaitMs))
        << Journal::Instance().Value(doubles::kValueVideoFrames);
    EXPECT_EQ(object->UninitializePreviewWindow(0), errors::kGraphNotStopped);
    EXPECT_EQ(object->UninitializeSound(0), errors::kGraphNotStopped);
    // A pause is told to the other processes.
    ASSERT_EQ(object->PausePreview(0), S_OK);
    {
      std::int32_t slots[kSlotCount] = {};
      DeviceStateTable table(TestStateNames().section.c_str(), TestStateNames().mutex.c_str());
      ASSERT_EQ(table.Open(), S_OK);
      ASSERT_EQ(table.ReadSlots(object->stateName().c_str(), sizeof(slots), slots), S_OK);
      EXPECT_EQ(slots[kSlotPreviewState], kSlotPaused);
    }
    ULONG state = 0;
    EXPECT_TRUE(SUCCEEDED(object->GetPreviewState(&state)));
    EXPECT_EQ(state, static_cast<ULONG>(State_Paused));
    long volume = 0;
    EXPECT_EQ(object->SetVolume(-600), S_OK);
    EXPECT_EQ(object->GetVolume(&volume), S_OK);
    EXPECT_EQ(volume, -600);

    ASSERT_EQ(object->InitializeOutputData(0), S_OK);
    object->recordingGraph().SetMinimumRecTime(0);
    output_testing::Sink sink(1u << 1);
    _SHAL_OUTPUTDTATA_TYPE mpeg{1, 0};
    ASSERT_EQ(object->SetOutputDataType(&mpeg, &sink), S_OK);
    // The analyzer learns the driver file's version (any versioned module stands in for it).
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring driver = std::wstring(system) + L"\\drivers\\doru.sys";
    const std::wstring versioned = testing_support::BinPath(L"tamDevice.dll");
    ASSERT_TRUE(CopyFileW(versioned.c_str(), driver.c_str(), FALSE));
    struct Remove {
      std::wstring file;
      ~Remove() { DeleteFileW(file.c_str()); }
    } removeDriver{driver};
    Journal::Instance().Reset();
    ASSERT_EQ(object->StartOutputData(0), S_OK);
    const auto words = Journal::Instance().Calls("MpegAnalyzer", "SetParameters");
    ASSERT_EQ(words.size(), 1u);
    EXPECT_EQ(static_cast<DWORD>(words[0].args[0]) & 0x80000000u, 0x80000000u);
    EXPECT_NE(words[0].args[1], 0);
    EXPECT_EQ(static_cast<DWORD>(words[0].args[1]), output_data::ReadFileVersion(versioned.c_str()));
    EXPECT_EQ(static_cast<DWORD>(words[0].args[2]),
              output_data::ReadFileVersion(ModulePath::OfModule(ThisModule()).c_str()));
    ASSERT_TRUE(sink.WaitAll());
    EXPECT_FALSE(sink.bad_);
    ASSERT_EQ(object->StopOutputData(0), S_OK);
    ASSERT_EQ(object->StopPreview(0), S_OK);
    EXPECT_EQ(object->UninitializeSound(0), S_OK);
    EXPECT_EQ(object->GetVolume(&volume), errors::kSoundNotInit);
    // The window stays for the shutdown to end; the sound is made again for it too.
    ASSERT_EQ(object->InitializeSound(0), S_OK);
    pipe = object->names().Pipe(GetCurrentProcessId(), object.get());
  }
  EXPECT_FALSE(WaitNamedPipeW(pipe.c_str(), 0));
  EXPECT_FALSE(EventExists(names.Event(NotifyEvent::LiveRunning)));
  auto next = MakeObject(doubles_.get());
  ASSERT_EQ(next->SetDeviceInfo(item.Get()), S_OK);
  EXPECT_EQ(next->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(next->InitializePreview(0), S_OK);
  EXPECT_EQ(next->InitializePreviewWindow(kModeSystemRenderer), S_OK);
  EXPECT_EQ(next->InitializeOutputData(0), S_OK);
}

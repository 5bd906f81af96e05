// The second family's device object against the simulated card (three tuners) and the driver
// stand-in attached to the test program: setup, the names of a tuner's objects, exclusive use
// per tuner across processes, channel setting and the auto-scan rules.
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>
#include <mmsystem.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "common/errors.h"
#include "common/handles.h"
#include "common/locks.h"
#include "common/registry.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/tuner2/device_manager_impl.h"
#include "devices/tuner2/instance_pipe.h"
#include "devices/tuner2/testing/device_item_double.h"
#include "devices/tuner2/testing/rul_graph_fixture.h"

using Microsoft::WRL::ComPtr;
using testing_support::UniqueName;

namespace {

constexpr ULONG kLowest = 55250000, kHighest = 801250000;  // the stand-in's tuner range

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
  EXPECT_EQ(object->Initialize(), S_OK);
  return object;
}

ComPtr<IHalItem> TunerItem(const std::wstring& path, LONG tuner, LONG tuners = 3) {
  return rul_testing::MakeItem({{8, tuner}, {9, tuners}, {2, 7}, {5, 9}},
                               {{7, path}, {0, std::to_wstring(tuner) + path}});
}

bool EventExists(const std::wstring& name) { return UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, name.c_str())).valid(); }
bool MutexExists(const std::wstring& name) { return UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str())).valid(); }

// And the host's item class registered (the object makes channel and setting items of it).
class RulDeviceObjectTest : public rul_testing::RulGraphTest {
 protected:
  using RegFn = HRESULT(STDAPICALLTYPE*)();
  void SetUp() override {
    RulGraphTest::SetUp();
    items_.reset(LoadLibraryW(testing_support::BinPath(L"vorn_halitem.dll").c_str()));
    auto reg = GetProcAs<RegFn>(items_.get(), "DllRegisterServer");
    ASSERT_TRUE(reg && reg() == S_OK);
  }
  void TearDown() override {
    if (auto unreg = GetProcAs<RegFn>(items_.get(), "DllUnregisterServer")) unreg();
    RulGraphTest::TearDown();
  }

  UniqueModule items_;
};

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

// A crossbar without the external input: the routing failure is the result, and the band is
// not remembered, so the next SetChannel routes again.
TEST_F(RulDeviceObjectTest, SetChannelReportsARoutingFailure) {
  auto object = MakeObject();
  ASSERT_EQ(object->SetDeviceInfo(TunerItem(capturePath_, 0).Get()), S_OK);
  ASSERT_EQ(object->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(object->SetChannel(Channel(0x20000020, 0, 0).Get()), errors::kNoSuchInput);
  EXPECT_EQ(object->lastBand(), 0u);
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
    const struct {
      ULONG type, subtype;
      HRESULT expected;
    } types[] = {{1, 3, E_INVALIDARG}, {1, 99, E_INVALIDARG}, {4, 0, E_INVALIDARG},
                 {1, 150, S_OK},       {1, 2, S_OK},         {2, 0, S_OK},        {3, 0, S_OK}};
    for (const auto& t : types) {
      _SHAL_OUTPUTDTATA_TYPE choice{t.type, t.subtype};
      EXPECT_EQ(object->SetOutputDataType(&choice, &sink), t.expected) << t.type << "/" << t.subtype;
    }
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

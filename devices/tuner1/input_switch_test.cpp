// Input switching, picture controls and auto scan of the first family's device object, against
// the simulated card's filters (this program's copy of simcard.dll registered), the driver
// stand-in and the item double (registered: the object makes items of the host's class).
#include "devices/tuner1/testing/device_object_fixture.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/module.h"
#include "common/path.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/hal_items.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "sim/card/sim_card.h"

using Microsoft::WRL::ComPtr;
using namespace driver_test;
using tuner1_test::Channel;
using tuner1_test::DeviceItemFor;

namespace {


std::vector<SimCardRoute> Routes(const std::wstring& path) {
  std::vector<SimCardRoute> routes(kSimCardMaxRoutes);
  UINT count = 0;
  SimCard_GetRouteLog(path.c_str(), routes.data(), kSimCardMaxRoutes, &count);
  routes.resize(count);
  return routes;
}

class InputSwitch : public tuner1_test::DeviceObjectTest {};

TEST_F(InputSwitch, SetChannelChecksFirstThenTunesAndRecordsTheChange) {
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(Slot(kSlotInputSwitchProcess), static_cast<std::int32_t>(GetCurrentProcessId()));
  EXPECT_EQ(object_->currentBand(), 1u);  // the card starts on the tuner, antenna input
  const std::uint32_t before = CardState(card_).frequency;

  EXPECT_EQ(object_->SetChannel(Channel(1, 801250000 + 1).Get()), errors::kDmInvalidArg);
  EXPECT_EQ(object_->SetChannel(Channel(1, 55250000, 4).Get()), errors::kDmInvalidArg);  // no such function
  EXPECT_EQ(object_->SetChannel(Channel(4, 0).Get()), errors::kDmInvalidArg);            // not a base channel
  EXPECT_EQ(CardState(card_).frequency, before);
  EXPECT_EQ(Slot(kSlotBand), 0);
  EXPECT_EQ(object_->instanceStamp().record()->channelSet, 0u);

  EXPECT_EQ(object_->SetChannel(Channel(0, 91250000).Get()), S_OK);  // band 0 is band 1
  EXPECT_EQ(CardState(card_).frequency, 91250000u);
  EXPECT_EQ(CardState(card_).frequencyMode, 1u);
  EXPECT_EQ(Slot(kSlotBand), 1);
  EXPECT_EQ(object_->instanceStamp().record()->channelSet, 1u);

  ComPtr<IHalItem> got;
  ASSERT_EQ(object_->GetChannel(got.GetAddressOf()), S_OK);
  EXPECT_EQ(hal_items::ReadInteger(got.Get(), 0), 81);
  EXPECT_EQ(hal_items::ReadInteger(got.Get(), 2), 1);
  EXPECT_EQ(hal_items::ReadInteger(got.Get(), 4), 91250000);

  EXPECT_EQ(object_->UninitializeInputSwitch(0), S_OK);
  EXPECT_EQ(Slot(kSlotInputSwitchProcess), 0);
  EXPECT_EQ(object_->GetChannel(got.ReleaseAndGetAddressOf()), errors::kInputSwitchNotInit);
}

// The tuner functions of the driver's block A word 2 (bit 6 function 1, bit 7 function 2): this
// family's tuner applies function 2 only, so function 1 is neither offered nor accepted, and a
// channel that needs no switching is no failure whatever the card reports.
TEST_F(InputSwitch, OnlyTheAppliedTunerFunctionIsOfferedAndARepeatedSwitchSucceeds) {
  const std::uint32_t defaultA[3] = {0, 0x7, 0x80};
  const std::uint32_t blockB[8] = {1, 55250000, 801250000, 62500, 1, 62, 1, 125};
  struct Restore {
    UINT card;
    const std::uint32_t* a;
    const std::uint32_t* b;
    ~Restore() { SimDriver_SetDeviceInfo(card, a, b); }
  } restore{card_, defaultA, blockB};
  struct Profile {
    std::uint32_t word2;
    ULONG offered;
  };
  for (const Profile& p : {Profile{0x40, 0}, Profile{0xC0, 2}, Profile{0x80, 2}}) {
    SCOPED_TRACE(p.word2);
    object_.reset();
    const std::uint32_t blockA[3] = {0, 0x7, p.word2};
    ASSERT_EQ(SimDriver_SetDeviceInfo(card_, blockA, blockB), S_OK);
    object_ = NewObject();
    ASSERT_TRUE(object_);
    _SHAL_BASECH tuner{};
    tuner.band = 1;
    ULONG offered = 0xFF;
    ASSERT_EQ(object_->GetAvailableTunerFunction(&tuner, &offered), S_OK);
    EXPECT_EQ(offered, p.offered);
    ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
    EXPECT_EQ(object_->SetChannel(Channel(1, 91250000, 1).Get()), errors::kDmInvalidArg);
    EXPECT_EQ(object_->SetChannel(Channel(1, 91250000, p.offered).Get()), S_OK);
    // The external input, chosen twice: the second call switches nothing and still succeeds.
    EXPECT_EQ(object_->SetChannel(Channel(0x10100020, 0).Get()), S_OK);
    EXPECT_EQ(object_->SetChannel(Channel(0x10100020, 0).Get()), S_OK);
    EXPECT_EQ(object_->currentBand(), 0x10100020u & 0x0FFFFFFFu);
    EXPECT_EQ(object_->UninitializeInputSwitch(0), S_OK);
  }
}

TEST_F(InputSwitch, InputsRerouteTheCrossbarOnlyWhenTheInputChanges) {
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  ASSERT_TRUE(object_->notifyEvents().event(NotifyEvent::LiveRunning).Set());
  const size_t start = Routes(path_).size();
  ASSERT_EQ(object_->SetChannel(Channel(2, 91250000).Get()), S_OK);
  EXPECT_EQ(Routes(path_).size(), start) << "band 1 to band 2 keeps the tuner input";
  EXPECT_EQ(CardState(card_).frequency, 91250000u);
  EXPECT_FALSE(IsSet(NotifyEvent::LiveInputAudio));

  // Default crossbar: inputs 0 tuner video, 1 and 2 composite, 3 tuner audio, 4 and 5 line
  // audio; output 0 video decoder, output 1 audio decoder.
  const struct {
    ULONG band;
    LONG videoIn, audioIn;
  } inputs[] = {{0x20000020, 1, 4}, {0x10100020, 2, 5}, {1, 0, 3}};
  for (const auto& input : inputs) {
    const size_t before = Routes(path_).size();
    ASSERT_EQ(object_->SetChannel(Channel(input.band, 91250000).Get()), S_OK) << input.band;
    const auto routes = Routes(path_);
    ASSERT_EQ(routes.size(), before + 2) << input.band;
    EXPECT_EQ(routes[before].output, 0);
    EXPECT_EQ(routes[before].input, input.videoIn);
    EXPECT_EQ(routes[before + 1].output, 1);
    EXPECT_EQ(routes[before + 1].input, input.audioIn);
    ULONG current = 0;
    ASSERT_EQ(object_->tunerControl().GetCurrentInput(&current), S_OK);
    EXPECT_EQ(current, input.band == 1 ? 1u : input.band);
    EXPECT_EQ(IsSet(NotifyEvent::ExternalInput), input.band != 1) << input.band;
  }
  EXPECT_TRUE(IsSet(NotifyEvent::LiveInputAudio));
  EXPECT_TRUE(IsSet(NotifyEvent::LiveOutputAudio));
  EXPECT_FALSE(IsSet(NotifyEvent::RecInputAudio));

  // A crossbar routed to S-Video by someone else reports no input this device offers.
  ASSERT_EQ(SimCard_SetCrossbarVariant(path_.c_str(), kSimCrossbarSVideo), S_OK);
  CrossbarRouter router;
  ASSERT_EQ(router.Build(object_->identity(), L"VEKA Crossbar"), S_OK);
  ASSERT_EQ(router.RouteInput(PhysConn_Video_SVideo, 0), S_OK);
  TunerControl fresh;
  ASSERT_EQ(fresh.Build(&object_->identity()), S_OK);
  ULONG current = 0;
  EXPECT_EQ(fresh.GetCurrentInput(&current), HRESULT(0x80072402));

  // A card that is not in the device categories is a failure, not a graph without filters.
  TunerControl missing;
  const DeviceIdentity absent(CardPath(L"none").c_str());
  EXPECT_TRUE(FAILED(missing.Build(&absent)));
  EXPECT_EQ(missing.GetCurrentInput(&current), errors::kTunerNullPointer);
  EXPECT_EQ(missing.SetInput(0x20000020), errors::kTunerNullPointer);
}

// The names of a graph's filters, sorted.
std::vector<std::wstring> FilterNames(IGraphBuilder* graph) {
  std::vector<std::wstring> names;
  ComPtr<IEnumFilters> filters;
  if (!graph || FAILED(graph->EnumFilters(&filters))) return names;
  for (ComPtr<IBaseFilter> filter; filters->Next(1, &filter, nullptr) == S_OK; filter.Reset()) {
    FILTER_INFO info{};
    if (FAILED(filter->QueryFilterInfo(&info))) continue;
    if (info.pGraph) info.pGraph->Release();
    names.push_back(info.achName);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(InputSwitch, ABuildRetriedAfterAFailureBindsEachCardFilterOnce) {
  ASSERT_EQ(SimCard_InjectFailure(path_.c_str(), "get_PinCounts", E_ACCESSDENIED, 1), S_OK);
  EXPECT_EQ(object_->InitializeInputSwitch(0), E_ACCESSDENIED);
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(FilterNames(object_->tunerControl().graph()),
            (std::vector<std::wstring>{L"VEKA Capture Device", L"VEKA Crossbar", L"VEKA TV Tuner"}));
  ULONG current = 0;
  EXPECT_EQ(object_->tunerControl().GetCurrentInput(&current), S_OK);
  EXPECT_EQ(current, 1u);

  // The same for the crossbar holder of its own.
  CrossbarRouter router;
  ASSERT_EQ(SimCard_InjectFailure(path_.c_str(), "get_PinCounts", E_ACCESSDENIED, 1), S_OK);
  EXPECT_EQ(router.Build(object_->identity(), L"VEKA Crossbar"), E_ACCESSDENIED);
  ASSERT_EQ(router.Build(object_->identity(), L"VEKA Crossbar"), S_OK);
  EXPECT_EQ(FilterNames(router.graph()), std::vector<std::wstring>{L"VEKA Crossbar"});
}

TEST_F(InputSwitch, PictureControlsUseTheRangesReadAtInitialize) {
  ASSERT_EQ(SimCard_SetProcAmpRange(path_.c_str(), 0, -10, 10, 1, 0, VideoProcAmp_Flags_Manual), S_OK);
  ASSERT_EQ(SimCard_SetProcAmpRange(path_.c_str(), 1, 0, 5, 1, 0, VideoProcAmp_Flags_Auto), S_OK);
  ASSERT_EQ(SimCard_SetProcAmpRange(path_.c_str(), 3, 0, 200, 1, 100, VideoProcAmp_Flags_Manual), S_OK);
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  ULONG bits = 0;
  EXPECT_EQ(object_->GetAvailableVidProcAmp(&bits), S_OK);
  EXPECT_EQ(bits, 15u);
  long lo = 0, hi = 0, step = 0, def = 0, automatic = 0;
  ASSERT_EQ(object_->GetVidProcAmpRange(1, &lo, &hi, &step, &def, &automatic), S_OK);
  EXPECT_EQ(lo, -10);
  EXPECT_EQ(hi, 10);
  EXPECT_EQ(automatic, 0);
  ASSERT_EQ(object_->GetVidProcAmpRange(2, &lo, &hi, &step, &def, &automatic), S_OK);
  EXPECT_EQ(automatic, 1);  // only "auto" among the capability flags
  const struct {
    long type, value, stored;
  } cases[] = {{1, 50, 10}, {1, -50, -10}, {1, 3, 3}, {8, 250, 200}, {8, -1, 0}, {16, 77, 0}};
  for (const auto& c : cases) {
    ASSERT_EQ(object_->SetVidProcAmpParam(c.type, c.value), S_OK) << c.type;
    long value = 12345;
    ASSERT_EQ(object_->GetVidProcAmpParam(c.type, &value), S_OK);
    EXPECT_EQ(value, c.stored) << c.type << " " << c.value;
  }
  long value = 0;
  EXPECT_EQ(object_->SetVidProcAmpParam(3, 1), errors::kDmInvalidArg);
  EXPECT_EQ(object_->GetVidProcAmpParam(1024, &value), errors::kDmInvalidArg);
}

TEST_F(InputSwitch, AutoScanReadsLevelsAtTheStationsOnly) {
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  _SHAL_BASECH band1{81, 2, 1};
  long level = 0;
  ULONG tvfmt = 0;
  EXPECT_EQ(object_->GetChannelFreqLevel(&band1, 91250000, &level, &tvfmt), errors::kAutoScanNotInit);
  ASSERT_EQ(object_->InitializeAutoScan(0), S_OK);
  EXPECT_EQ(CardState(card_).scanSwitch, 0u);
  EXPECT_EQ(object_->UninitializeInputSwitch(0), errors::kAutoScanInUse);

  ASSERT_EQ(SimDriver_SetStation(card_, 91250000, 4), S_OK);
  ASSERT_EQ(SimDriver_SetStation(card_, 97250000, 2), S_OK);
  const struct {
    ULONG frequency;
    long level;
  } cases[] = {{91250000, 127}, {97250000, 0}, {103250000, -64}};
  for (const auto& c : cases) {
    ASSERT_EQ(object_->GetChannelFreqLevel(&band1, c.frequency, &level, &tvfmt), S_OK);
    EXPECT_EQ(level, c.level) << c.frequency;
    EXPECT_EQ(tvfmt, 2u);
    EXPECT_EQ(CardState(card_).frequencyMode, 2u);
  }
  EXPECT_EQ(object_->GetChannelFreqLevel(&band1, 801250000 + 1, &level, &tvfmt), errors::kDmInvalidArg);
  SimDriverFault fault{};
  fault.id = 0xFFFFFFFF;
  fault.kind = 1;  // the next get request
  fault.error = 0x1F;
  ASSERT_EQ(SimDriver_InjectFault(card_, &fault), S_OK);
  EXPECT_EQ(object_->GetChannelFreqLevel(&band1, 91250000, &level, &tvfmt), HRESULT(0x8007001F));

  ComPtr<IHalItem> settings;
  ASSERT_EQ(object_->GetAutoScanSetting(settings.GetAddressOf()), S_OK);
  const std::int32_t defaults[] = {250000, 62500, 125000, 6000000, 500000};
  for (long i = 0; i < 5; ++i) EXPECT_EQ(hal_items::ReadInteger(settings.Get(), i), defaults[i]) << i;
  // The settings file beside the module overrides each value.
  const PathString ini = ModulePath::OfModule(ThisModule()).WithExtension(L".ini");
  ASSERT_TRUE(WritePrivateProfileStringW(L"AutoScan", L"ScanDelta Near2", L"4321", ini.c_str()));
  const HRESULT hr = object_->GetAutoScanSetting(settings.ReleaseAndGetAddressOf());
  DeleteFileW(ini.c_str());
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(hal_items::ReadInteger(settings.Get(), 2), 4321);
  EXPECT_EQ(hal_items::ReadInteger(settings.Get(), 1), 62500);

  ASSERT_EQ(object_->UninitializeAutoScan(0), S_OK);
  EXPECT_EQ(CardState(card_).scanSwitch, 1u);
  EXPECT_EQ(object_->UninitializeInputSwitch(0), S_OK);
}

TEST_F(InputSwitch, ExclusiveUseHasExactlyOneWinner) {
  other_ = NewObject();
  ASSERT_TRUE(other_);
  // Output data in use elsewhere keeps auto scan out.
  {
    NamedMutex outputData(object_->exclusiveUse().mutex(ExclusiveInterface::OutputData).name());
    ASSERT_EQ(outputData.CreateExclusive(), S_OK);
    EXPECT_EQ(other_->InitializeAutoScan(0), errors::kOutputDataInUse);
  }
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> go{0};
    HRESULT results[2] = {E_FAIL, E_FAIL};
    DeviceManagerImpl* objects[2] = {object_.get(), other_.get()};
    std::thread racers[2];
    for (int i = 0; i < 2; ++i) {
      racers[i] = std::thread([&, i] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ++go;
        while (go < 2) {
        }
        results[i] = objects[i]->InitializeInputSwitch(0);
        CoUninitialize();
      });
    }
    for (auto& racer : racers) racer.join();
    const int winners = (results[0] == S_OK) + (results[1] == S_OK);
    ASSERT_EQ(winners, 1) << "round " << round;
    EXPECT_EQ(results[results[0] == S_OK ? 1 : 0], errors::kInputSwitchInUse);
    ASSERT_EQ(objects[results[0] == S_OK ? 0 : 1]->UninitializeInputSwitch(0), S_OK);
  }
  // Auto scan of another object keeps input switching from ending, but a released object
  // leaves no slot naming it as the user.
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  ASSERT_EQ(other_->InitializeAutoScan(0), S_OK);
  EXPECT_EQ(object_->UninitializeInputSwitch(0), errors::kAutoScanInUse);
  EXPECT_EQ(Slot(kSlotInputSwitchProcess), static_cast<std::int32_t>(GetCurrentProcessId()));
  object_->Shutdown();
  EXPECT_EQ(Slot(kSlotInputSwitchProcess), 0);
  EXPECT_EQ(Slot(kSlotInputSwitchObject), 0);
  EXPECT_EQ(other_->InitializeInputSwitch(0), S_OK) << "the released object holds nothing";
}

// Holds IInputSwitch of the device ("input") or the exclusive use of its IOutputData ("output")
// until told to let go. args: state, table section, table mutex, device path, held event,
// release event, what.
VORN_CHILD(InterfaceHolder) {
  if (args.size() != 7 || !AttachStandIn(args[0])) return 2;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DeviceManagerImpl object(args[1].c_str(), args[2].c_str());
  ComPtr<IHalItem> item = DeviceItemFor(args[3]);
  if (!item || FAILED(object.Initialize()) || object.SetDeviceInfo(item.Get()) != S_OK) return 3;
  const HRESULT taken = args[6] == L"input"
                           ? object.InitializeInputSwitch(0)
                           : object.exclusiveUse().mutex(ExclusiveInterface::OutputData).CreateExclusive();
  if (taken != S_OK) return 4;
  UniqueHandle held(OpenEventW(EVENT_MODIFY_STATE, FALSE, args[4].c_str()));
  UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, args[5].c_str()));
  if (!held || !release) return 5;
  SetEvent(held.get());
  return WaitForSingleObject(release.get(), 30000) == WAIT_OBJECT_0 ? 0 : 6;
}

TEST_F(InputSwitch, InterfacesHeldByAnotherProcessRefuseThisOne) {
  ASSERT_EQ(object_->InitializeInputSwitch(0), S_OK);
  ASSERT_EQ(object_->UninitializeInputSwitch(0), S_OK);
  const struct {
    const wchar_t* what;
    HRESULT (DeviceManagerImpl::*initialize)(ULONG);
    HRESULT refusal;
  } cases[] = {{L"input", &DeviceManagerImpl::InitializeInputSwitch, errors::kInputSwitchInUse},
               {L"output", &DeviceManagerImpl::InitializeAutoScan, errors::kOutputDataInUse}};
  for (const auto& c : cases) {
    const std::wstring heldName = testing_support::UniqueName(L"Global\\vorn_is_held_");
    const std::wstring releaseName = testing_support::UniqueName(L"Global\\vorn_is_release_");
    UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, heldName.c_str()));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
    auto child = testing_support::ChildProcess::Start(
        "InterfaceHolder", {StateName(), tableSection_, tableMutex_, path_, heldName, releaseName, c.what});
    ASSERT_TRUE(child.valid());
    ASSERT_EQ(WaitForSingleObject(held.get(), 30000), WAIT_OBJECT_0) << c.what;
    EXPECT_EQ(((*object_).*c.initialize)(0), c.refusal) << c.what;
    SetEvent(release.get());
    EXPECT_EQ(child.Wait(30000), 0u);
  }
  // Both free again: input switching, then auto scan on top of it.
  EXPECT_EQ(object_->InitializeInputSwitch(0), S_OK);
  EXPECT_EQ(object_->InitializeAutoScan(0), S_OK);
  EXPECT_EQ(object_->UninitializeAutoScan(0), S_OK);
}

}  // namespace

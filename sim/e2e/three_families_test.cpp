// The three device managers as a host drives them, each on a simulated card of its family:
// tamDevice.dll, rulDevice.dll and pexDevice.dll registered with regsvr32, objects made by class
// identifier, every call through the class's own interfaces. Each scenario sets up, tunes, runs
// a preview with window and sound (frames at the renderer), records (data at OnData), stops and
// lets go with everything still initialised; then nothing of the device may be left: no named
// event, mutex or section, no pipe, no open driver handle, no used device-state slot, no extra
// thread, no live object of the card's filters. The whole set runs
// twice in one process, so that an object the first round left behind fails the second; a third
// round has the host uninitialise every interface before it lets go.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/errors.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/regsvr32.h"
#include "common/testing/stall_watch.h"
#include "devices/core/device_objects.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/testing/output_data_sink.h"
#include "devices/core/testing/process_counts.h"
#include "devices/core/testing/sim_card_fixture.h"
#include "devices/core/video_chain_builder.h"
#include "devices/tuner1/tam_traits.h"
#include "devices/tuner2/rul_traits.h"
#include "devices/tuner3/pex_traits.h"
#include "sim/card/picture_testing.h"
#include "sim/card/sim_card.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/doubles/platform_doubles_testing.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/live_preview.h"
#include "sim/host/sim_environment.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr ULONG kStation = 91250000;
constexpr long kCapsSystemRenderer = 0x200;
constexpr ULONG kModeSystemRenderer = 0x40;  // the system renderer (its stand-in here)
constexpr DWORD kWaitMs = 10000;             // for pictures, data and threads that end
constexpr DWORD kStallMs = 60000;            // a host call that takes longer hangs
constexpr long kItemTunerCount = 9;          // the second family's tuner count (value 9)

// The third family's driver records: tuner and both external inputs, both switches; scanning,
// the tuning range and the channel ranges.
constexpr std::uint32_t kPexRecordA[3] = {0, 7, 0xC0};
constexpr std::uint32_t kPexRecordB[8] = {1, 55250000, 801250000, 62500, 1, 12, 13, 63};

// One family: its class and module, the simulated card that carries its filter names, what
// its device item holds and how its objects are named.
struct Family {
  const char* name;
  CLSID clsid;
  const wchar_t* module;
  UINT card;                   // the simulated card (index), registered under the family's names
  UINT simFamily;
  long boardType;
  const wchar_t* entryPrefix;  // the device-state entry (value 0): prefix + device path
  long tunerCount;             // value 9 when not 0
  int instance;                // the names' instance number
  bool records;                // the driver answers the third family's records (and takes firmware)
  std::vector<const wchar_t*> graphEvents;   // event kinds of the family's graphs
  std::vector<const wchar_t*> deviceMutexes;  // mutexes of the whole device
  ULONG (*tuned)(UINT driverCard, const std::wstring& path);  // the frequency the card is tuned to
};

using GetKsDataFn = decltype(&SimCard_GetKsData);

// Where each family's tuning lands: the card's driver, the driver's tuner 0, the tuner filter's
// frequency property.
ULONG DriverFrequency(UINT card, const std::wstring&) { return driver_test::CardState(card).frequency; }
ULONG TunerZeroFrequency(UINT card, const std::wstring&) {
  SimDriverTunerState state{};
  return SUCCEEDED(SimDriver_GetTunerState(card, 0, &state)) ? state.frequency : 0;
}
ULONG TunerFilterFrequency(UINT, const std::wstring& path) {
  const auto get = GetProcAs<GetKsDataFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetKsData");
  LONG values[kSimKsMaxValues] = {};
  return get && SUCCEEDED(get(path.c_str(), &kSimKsTunerSet, 1, values, kSimKsMaxValues)) ? values[0] : 0;
}

const Family kFamilies[] = {
    {"tamDevice", kClsidTamDeviceManager, L"tamDevice.dll", 0, kSimFamilyTam, 0, L"", 0, 0, false, {L"AudioMode"}, {},
     DriverFrequency},
    {"rulDevice", kClsidRulDeviceManager, L"rulDevice.dll", 1, kSimFamilyRul, 0, L"0", 1, 0, false, {L"AudioMode"},
     {L"preview_recording_exclusion"}, TunerZeroFrequency},
    {"pexDevice", kClsidPexDeviceManager, L"pexDevice.dll", 2, kSimFamilyPex, 18, L"", 0,
     DeviceObjectNames::kNoInstance, true, {L"PreviewAudioMode", L"CaptureAudioMode"}, {}, TunerFilterFrequency},
};

using RegisterFamilyCardFn = decltype(&SimCard_RegisterFamilyCard);

// One driver state for the program: the stand-in connects a process to one name for its life,
// and every case of the program meets it again.
const std::wstring& DriverStateName() {
  static const std::wstring name = testing_support::UniqueName(L"Local\\VornThreeFamilies_");
  return name;
}

// Whether any kernel object holds `name`: an open that fails for another reason than a missing
// name (an object of another type) counts as held.
bool NameHeld(const std::wstring& name) {
  UniqueHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
  return mutex.valid() || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// The kernel object names of one family's device object.
std::vector<std::wstring> ObjectNames(const Family& family, const DeviceObjectNames& names) {
  std::vector<std::wstring> all;
  for (int i = 0; i < static_cast<int>(NotifyEvent::Count); ++i)
    all.push_back(names.Event(static_cast<NotifyEvent>(i)));
  for (int i = 0; i < static_cast<int>(ExclusiveInterface::Count); ++i)
    all.push_back(names.ExclusiveUse(static_cast<ExclusiveInterface>(i)));
  for (const wchar_t* kind : family.graphEvents) all.push_back(names.EventOfKind(kind));
  for (const wchar_t* kind : family.deviceMutexes) all.push_back(names.DeviceMutex(kind));
  all.push_back(names.InstanceSection());
  return all;
}

class ThreeFamilies : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    com_ = true;
    ASSERT_EQ(S_OK, env_.Install({0})) << testing::PrintToString(env_.error());
    ASSERT_EQ(S_OK, env_.BypassSound()) << testing::PrintToString(env_.error());
    // The second family resets this value at every setup: kept as it was.
    ASSERT_EQ(S_OK, env_.registry().SetDword(sim_host::BoardInfoKey(), L"Qfa Frame Drop", 0));
    for (const Family& family : kFamilies) {
      if (family.simFamily == kSimFamilyTam) continue;  // the environment's card
      const std::wstring module = L"\"" + env_.binFolder() + L"\\" + family.module + L"\"";
      ASSERT_EQ(0u, testing_support::RunRegsvr32(module)) << family.name;
      registered_.push_back(module);
    }
    registerFamilyCard_ =
        GetProcAs<RegisterFamilyCardFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_RegisterFamilyCard");
    ASSERT_TRUE(registerFamilyCard_);
    ASSERT_EQ(S_OK, env_.AttachDriver(DriverStateName().c_str()))
        << testing::PrintToString(env_.error());
    for (const Family& family : kFamilies) {
      if (family.simFamily != kSimFamilyTam) {
        ASSERT_EQ(S_OK, registerFamilyCard_(family.card, family.simFamily, 1, TRUE)) << family.name;
        familyCards_.push_back(family.card);
      }
      UINT driverCard = 0;
      ASSERT_TRUE(SUCCEEDED(SimDriver_AddCard(env_.DevicePath(family.card).c_str(), &driverCard))) << family.name;
      if (family.records) {
        ASSERT_EQ(S_OK, SimDriver_SetDeviceInfo(driverCard, kPexRecordA, kPexRecordB));
      }
    }
    // The system's audio device service starts its thread, for the process, with the first look
    // at the audio renderers: it belongs in the count before.
    platform_testing::BindByName(CLSID_AudioRendererCategory, L"DirectSound: SimSound");
  }
  void TearDown() override {
    for (const Family& family : kFamilies) {
      if (family.simFamily == kSimFamilyTam) continue;  // the environment detaches its module
      if (HMODULE module = GetModuleHandleW(family.module)) SimDriver_Detach(module);
    }
    for (const UINT card : familyCards_) registerFamilyCard_(card, 0, 0, FALSE);
    for (const std::wstring& module : registered_) EXPECT_EQ(0u, testing_support::RunRegsvr32(L"/u " + module));
    EXPECT_EQ(S_OK, env_.Remove()) << testing::PrintToString(env_.error());
    if (com_) CoUninitialize();
  }

  // `uninitialise`: the host uninitialises every interface before it lets go.
  void Scenario(const Family& family, bool uninitialise);
  // A device object of the family made by class identifier and set up with the host's item for
  // its card (the driver stand-in hooked into its module).
  void MakeDevice(const Family& family, ComPtr<IDeviceSetup>* setup);

  bool com_ = false;
  sim_host::SimEnvironment env_;
  std::vector<std::wstring> registered_;
  std::vector<UINT> familyCards_;
  RegisterFamilyCardFn registerFamilyCard_ = nullptr;
};

void ThreeFamilies::MakeDevice(const Family& family, ComPtr<IDeviceSetup>* setup) {
  const std::wstring path = env_.DevicePath(family.card);
  ASSERT_EQ(S_OK, CoCreateInstance(family.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                   reinterpret_cast<void**>(setup->ReleaseAndGetAddressOf())));
  UINT patched = 0;
  ASSERT_TRUE(SUCCEEDED(SimDriver_Attach(GetModuleHandleW(family.module), &patched)));
  ComPtr<IHalItem> item;
  sim_host::DeviceItemValues values;
  values.devicePath = path;
  values.boardType = family.boardType;
  values.capabilities = kCapsSystemRenderer;
  ASSERT_EQ(S_OK, sim_host::MakeDeviceItem(values, &item));
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString((family.entryPrefix + path).c_str());
  ASSERT_EQ(S_OK, item->SetInfo(sim_host::kItemName, value));
  VariantClear(&value);
  if (family.tunerCount) {
    value.vt = VT_I4;
    value.lVal = family.tunerCount;
    ASSERT_EQ(S_OK, item->SetInfo(kItemTunerCount, value));
  }
  ASSERT_EQ(S_OK, (*setup)->SetDeviceInfo(item.Get()));
}

// A host's whole session on the family's card, then the checks that nothing of it is left.
void ThreeFamilies::Scenario(const Family& family, bool uninitialise) {
  using doubles::Journal;
  const std::wstring path = env_.DevicePath(family.card);
  const std::wstring entry = family.entryPrefix + path;
  const DeviceIdentity identity(path.c_str());
  const DeviceObjectNames names(identity, family.instance);
  const std::vector<std::wstring> objects = ObjectNames(family, names);
  UINT card = 0;
  ASSERT_TRUE(SUCCEEDED(SimDriver_AddCard(path.c_str(), &card)));
  for (const std::wstring& name : objects) ASSERT_FALSE(NameHeld(name)) << "held before the session: " << name;
  const unsigned threads = testing_support::ThreadCount();
  Journal::Instance().Reset();

  // One callback per output type, each only for its own (they outlive the object).
  output_testing::Sink mpegSink(output_testing::kMpeg), pcmSink(output_testing::kPcm),
      indexSink(output_testing::kIndex);
  output_testing::Sink* const sinks[] = {&mpegSink, &pcmSink, &indexSink};
  std::wstring pipe;
  // The device-state table held open as a watching process would: it outlives the object's view.
  DeviceStateTable table;
  ASSERT_TRUE(SUCCEEDED(table.Open()));
  std::int32_t slots[kSlotCount] = {};
  {
    ComPtr<IDeviceSetup> setup;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(family, &setup));
    if (family.records) {
      SimDriverFirmwareBlock blocks[kSimDriverMaxFirmwareBlocks];
      UINT count = 0;
      ASSERT_EQ(S_OK, SimDriver_ReadFirmwareBlocks(card, blocks, kSimDriverMaxFirmwareBlocks, &count));
      EXPECT_GT(count, 0u) << "no firmware reached the driver";
    }

    // Tuning.
    ComPtr<IInputSwitch> inputs;
    ComPtr<IHalItem> channel;
    ASSERT_EQ(S_OK, setup.As(&inputs));
    ASSERT_EQ(S_OK, inputs->Initialize(0));
    ASSERT_EQ(S_OK, sim_host::MakeChannelItem(1, kStation, &channel));
    ASSERT_EQ(S_OK, inputs->SetChannel(channel.Get()));
    EXPECT_EQ(kStation, family.tuned(card, path));

    // The preview with window and sound: frames at the renderer.
    ComPtr<IPreview> preview;
    ComPtr<IPreviewWindow> window;
    ComPtr<ISound> sound;
    ASSERT_EQ(S_OK, setup.As(&preview));
    ASSERT_EQ(S_OK, preview->Initialize(0));
    ASSERT_EQ(S_OK,
              preview->GetVideoModeInterface(IID_IPreviewWindow, reinterpret_cast<void**>(window.GetAddressOf())));
    ASSERT_EQ(S_OK, window->Initialize(kModeSystemRenderer));
    ASSERT_EQ(S_OK, window->SetVideoClippingWindow(GetDesktopWindow()));
    ASSERT_EQ(S_OK, preview->GetSoundModeInterface(IID_ISound, reinterpret_cast<void**>(sound.GetAddressOf())));
    ASSERT_EQ(S_OK, sound->Initialize(0));
    ASSERT_EQ(S_OK, preview->Run(0));
    EXPECT_TRUE(simcard_testing::WaitUntil([] { return Journal::Instance().Value(doubles::kValueVideoFrames) >= 3; },
                                           kWaitMs))
        << "no frames at the renderer";

    // The objects' names as the device object made them: computed here, held there.
    ASSERT_EQ(S_OK, table.ReadSlots(entry.c_str(), sizeof(slots), slots));
    ASSERT_EQ(static_cast<std::int32_t>(GetCurrentProcessId()), slots[kSlotPreviewProcess]);
    const auto object = static_cast<std::uintptr_t>(static_cast<std::uint32_t>(slots[kSlotPreviewObject]));
    pipe = names.Pipe(GetCurrentProcessId(), reinterpret_cast<void*>(object));
    EXPECT_TRUE(WaitNamedPipeW(pipe.c_str(), kWaitMs)) << "no pipe " << testing::PrintToString(pipe);
    for (const NotifyEvent which : {NotifyEvent::LiveRunning, NotifyEvent::RecRunning, NotifyEvent::ExternalInput})
      EXPECT_TRUE(NameHeld(names.Event(which))) << static_cast<int>(which);
    EXPECT_TRUE(NameHeld(names.ExclusiveUse(ExclusiveInterface::Preview)));
    EXPECT_TRUE(NameHeld(names.InstanceSection()));

    // A recording: each type's data at its own OnData, and only there.
    ComPtr<IOutputData> output;
    ASSERT_EQ(S_OK, setup.As(&output));
    ASSERT_EQ(S_OK, output->Initialize(0));
    for (ULONG type = 1; type <= 3; ++type) {
      _SHAL_OUTPUTDTATA_TYPE choice{type, type == 1 ? 1u : 0u};
      ASSERT_EQ(S_OK, output->SetOutputDataType(&choice, sinks[type - 1])) << type;
    }
    ASSERT_EQ(S_OK, output->Start(0));
    for (output_testing::Sink* sink : sinks)
      EXPECT_TRUE(sink->WaitAll(kWaitMs)) << "no data at OnData of type bits " << sink->wanted_;
    EXPECT_EQ(S_OK, output->Stop(0));
    for (output_testing::Sink* sink : sinks) {
      EXPECT_EQ(sink->wanted_, sink->seen_.load()) << "another type's data at this callback";
      EXPECT_FALSE(sink->bad_.load());
    }
    EXPECT_EQ(S_OK, preview->Stop(0));
    if (uninitialise) {
      EXPECT_EQ(S_OK, output->Uninitialize(0));
      EXPECT_EQ(S_OK, sound->Uninitialize(0));
      EXPECT_EQ(S_OK, window->Uninitialize(0));
      EXPECT_EQ(S_OK, preview->Uninitialize(0));
      EXPECT_EQ(S_OK, inputs->Uninitialize(0));
      for (int i = 0; i < static_cast<int>(ExclusiveInterface::Count); ++i)
        EXPECT_FALSE(NameHeld(names.ExclusiveUse(static_cast<ExclusiveInterface>(i)))) << "in use afterwards: " << i;
    }
    // Else the host lets go with every interface still initialised: the release ends it all.
  }

  for (output_testing::Sink* sink : sinks) EXPECT_EQ(0u, sink->refs_.load()) << "a host's callback is still held";
  for (const std::wstring& name : objects) EXPECT_FALSE(NameHeld(name)) << "left behind: " << name;
  EXPECT_FALSE(WaitNamedPipeW(pipe.c_str(), 1)) << "the pipe still answers";
  EXPECT_EQ(0u, driver_test::CardState(card).openHandles) << "driver handles left open";
  // Nobody uses the device any more, as other processes read it.
  ASSERT_EQ(S_OK, table.ReadSlots(entry.c_str(), sizeof(slots), slots));
  for (const int slot : {kSlotInputSwitchProcess, kSlotInputSwitchObject, kSlotPreviewProcess, kSlotPreviewObject,
                         kSlotPreviewStarted, kSlotPreviewState, kSlotOutputProcess, kSlotOutputObject,
                         kSlotOutputStarted, kSlotOutputState})
    EXPECT_EQ(0, slots[slot]) << "slot " << slot;
  EXPECT_TRUE(simcard_testing::WaitUntil([&] { return testing_support::ThreadCount() <= threads; }, kWaitMs))
      << testing_support::ThreadCount() << " threads, " << threads << " before";
  // The card's filters (and the frames they hold) went with the graphs that used them.
  const auto canUnload = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(GetModuleHandleW(L"simcard.dll"), "DllCanUnloadNow");
  ASSERT_TRUE(canUnload);
  EXPECT_TRUE(simcard_testing::WaitUntil([&] { return canUnload() == S_OK; }, kWaitMs))
      << "objects of the simulated card are still alive";
}

TEST_F(ThreeFamilies, WholeSessionsOfEveryFamilyLeaveNothingRoundAfterRound) {
  for (int round = 1; round <= 3; ++round) {
    for (const Family& family : kFamilies) {
      SCOPED_TRACE(testing::Message() << family.name << ", round " << round);
      const DWORD start = GetTickCount();
      Scenario(family, round == 3);
      std::printf("%s, round %d: %lu ms\n", family.name, round, static_cast<unsigned long>(GetTickCount() - start));
      if (HasFatalFailure()) return;
    }
  }
}

// A start that a filter of the card refuses (its first pause from stopped) answers the refusal
// and leaves nothing wedged, in every graph of every family: the next start works (data at
// OnData, frames at the renderer), Stop and every Uninitialize answer S_OK and the release
// returns. The stall watch ends the program with every thread's stack when a call hangs.
TEST_F(ThreeFamilies, ARefusedStartIsUndoneInEveryGraph) {
  using doubles::Journal;
  using InjectFailureFn = decltype(&SimCard_InjectFailure);
  const auto inject = GetProcAs<InjectFailureFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_InjectFailure");
  ASSERT_TRUE(inject);
  enum class Graph { Capture, Preview, PreviewWithWindow };
  const struct {
    const char* name;
    Graph graph;
  } kCases[] = {{"capture", Graph::Capture}, {"preview", Graph::Preview}, {"preview with a window", Graph::PreviewWithWindow}};
  testing_support::StallWatch watch(kStallMs);
  for (const Family& family : kFamilies) {
    for (const auto& c : kCases) {
      // The first family's preview runs only with a video chain, which its window makes.
      if (family.simFamily == kSimFamilyTam && c.graph == Graph::Preview) continue;
      SCOPED_TRACE(testing::Message() << family.name << ", " << c.name);
      const std::string step = std::string(family.name) + ", " + c.name + ": ";
      const std::wstring path = env_.DevicePath(family.card);
      Journal::Instance().Reset();
      output_testing::Sink sink(output_testing::kMpeg);
      {
        ComPtr<IDeviceSetup> setup;
        ASSERT_NO_FATAL_FAILURE(MakeDevice(family, &setup));
        if (c.graph == Graph::Capture) {
          ComPtr<IOutputData> output;
          ASSERT_EQ(S_OK, setup.As(&output));
          ASSERT_EQ(S_OK, output->Initialize(0));
          _SHAL_OUTPUTDTATA_TYPE choice{1, 1};
          ASSERT_EQ(S_OK, output->SetOutputDataType(&choice, &sink));
          ASSERT_EQ(S_OK, inject(path.c_str(), "Pause", E_ACCESSDENIED, 1));
          watch.Mark(step + "refused IOutputData::Start");
          EXPECT_EQ(E_ACCESSDENIED, output->Start(0));
          watch.Mark(step + "IOutputData::Start");
          ASSERT_EQ(S_OK, output->Start(0));
          EXPECT_TRUE(sink.WaitAll(kWaitMs)) << "no data at OnData";
          watch.Mark(step + "IOutputData::Stop");
          EXPECT_EQ(S_OK, output->Stop(0));
          watch.Mark(step + "IOutputData::Uninitialize");
          EXPECT_EQ(S_OK, output->Uninitialize(0));
        } else {
          ComPtr<IPreview> preview;
          ComPtr<IPreviewWindow> window;
          ASSERT_EQ(S_OK, setup.As(&preview));
          ASSERT_EQ(S_OK, preview->Initialize(0));
          if (c.graph == Graph::PreviewWithWindow) {
            ASSERT_EQ(S_OK, preview->GetVideoModeInterface(IID_IPreviewWindow,
                                                           reinterpret_cast<void**>(window.GetAddressOf())));
            ASSERT_EQ(S_OK, window->Initialize(kModeSystemRenderer));
            ASSERT_EQ(S_OK, window->SetVideoClippingWindow(GetDesktopWindow()));
          }
          ASSERT_EQ(S_OK, inject(path.c_str(), "Pause", E_ACCESSDENIED, 1));
          watch.Mark(step + "refused IPreview::Run");
          EXPECT_EQ(E_ACCESSDENIED, preview->Run(0));
          ULONG state = 9;
          EXPECT_EQ(S_OK, preview->GetState(&state));
          EXPECT_EQ(static_cast<ULONG>(State_Stopped), state);
          watch.Mark(step + "IPreview::Run");
          ASSERT_EQ(S_OK, preview->Run(0));
          if (window) {
            EXPECT_TRUE(simcard_testing::WaitUntil(
                [] { return Journal::Instance().Value(doubles::kValueVideoFrames) >= 3; }, kWaitMs))
                << "no frames at the renderer";
          }
          watch.Mark(step + "IPreview::Stop");
          EXPECT_EQ(S_OK, preview->Stop(0));
          if (window) {
            watch.Mark(step + "IPreviewWindow::Uninitialize");
            EXPECT_EQ(S_OK, window->Uninitialize(0));
          }
          watch.Mark(step + "IPreview::Uninitialize");
          EXPECT_EQ(S_OK, preview->Uninitialize(0));
        }
        watch.Mark(step + "the final release");
      }
      EXPECT_EQ(0u, sink.refs_.load()) << "the host's callback is still held";
      watch.Mark(step + "done");
      if (HasFatalFailure()) return;
    }
  }
}

// Every family previews through the platform's mixing renderers 9 (mode 0x50) and 7 (0x20) on
// a host's window: the tuned picture reaches the window, and again after Stop and Run (the
// window is blacked out in between), then everything is let go.
TEST_F(ThreeFamilies, PreviewsThroughThePlatformsMixingRenderersOnTheHostsWindow) {
  using PictureFn = decltype(&SimCard_GetPicture);
  const auto picture = GetProcAs<PictureFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetPicture");
  ASSERT_TRUE(picture);
  const struct {
    const char* name;
    ULONG mode;
  } kRenderers[] = {{"mixing renderer 9", 0x50}, {"mixing renderer 7", 0x20}};
  testing_support::StallWatch watch(kStallMs);
  for (const Family& family : kFamilies) {
    for (const auto& renderer : kRenderers) {
      SCOPED_TRACE(testing::Message() << family.name << ", " << renderer.name);
      watch.Mark(std::string(family.name) + ", " + renderer.name);
      const std::wstring path = env_.DevicePath(family.card);
      simcard_testing::VideoWindow window;
      const HWND handle = window.Open();
      ASSERT_TRUE(handle) << "no window on the display";
      const auto shown = [&] {
        SimCardPicture expected{};
        if (FAILED(picture(path.c_str(), &expected))) return false;
        return simcard_testing::WaitUntil(
            [&] { return Check(simcard_testing::ScreenCopy::Of(window.ScreenRect()), expected).Shows(); }, kWaitMs);
      };
      {
        ComPtr<IDeviceSetup> setup;
        ASSERT_NO_FATAL_FAILURE(MakeDevice(family, &setup));
        sim_host::LivePreview live([](const std::wstring& action, HRESULT hr) {
          EXPECT_EQ(S_OK, hr) << testing::PrintToString(action);
          return hr == S_OK;
        });
        if (live.Open(setup.Get(), kStation, renderer.mode, handle) && live.Run()) {
          EXPECT_TRUE(shown()) << "the picture is not on the host's window";
          EXPECT_EQ(S_OK, live.preview()->Stop(0));
          RECT client{};
          GetClientRect(handle, &client);
          if (HDC dc = GetDC(handle)) {
            FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            ReleaseDC(handle, dc);
          }
          EXPECT_EQ(S_OK, live.preview()->Run(0));
          EXPECT_TRUE(shown()) << "no picture after Stop and Run";
        }
        EXPECT_TRUE(live.Close());
      }
      if (HasFatalFailure()) return;
    }
  }
}

// A start refused behind the platform's mixing renderers 9 (0x50) and 7 (0x20), on a host's
// window, by a filter of the card (its capture's first pause) or by one that is not the card's
// (the outside deinterlacer; in the third family also its on-screen-display filter), once or
// until the refusal is lifted. The renderer's pause (S_FALSE) may hide the refusal from the
// graph's answer, which leaves a graph whose state reads E_FAIL: the host's Stop must reach it
// all the same. Afterwards the preview is stopped and readable, the next Run shows the picture,
// and Stop and every Uninitialize answer S_OK.
TEST_F(ThreeFamilies, ARefusedStartBehindThePlatformsMixingRenderersLeavesThePreviewUsable) {
  using doubles::Journal;
  using InjectFailureFn = decltype(&SimCard_InjectFailure);
  using PictureFn = decltype(&SimCard_GetPicture);
  const auto inject = GetProcAs<InjectFailureFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_InjectFailure");
  const auto picture = GetProcAs<PictureFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetPicture");
  ASSERT_TRUE(inject && picture);
  constexpr UINT kLasting = 1000;  // calls refused until the refusal is lifted
  const struct {
    const char* name;
    ULONG mode;
  } kRenderers[] = {{"mixing renderer 9", 0x50}, {"mixing renderer 7", 0x20}};
  const struct {
    const char* name;
    const char* double_;  // the refusing double, or null: the card's capture filter
    UINT times;
    bool thirdFamilyOnly;
  } kRefusals[] = {{"card, once", nullptr, 1, false},
                   {"card, lasting", nullptr, kLasting, false},
                   {"deinterlacer, once", "Deinterlace", 1, false},
                   {"deinterlacer, lasting", "Deinterlace", kLasting, false},
                   {"on-screen display, lasting", "Osd", kLasting, true}};
  testing_support::StallWatch watch(kStallMs);
  for (const Family& family : kFamilies) {
    for (const auto& renderer : kRenderers) {
      for (const auto& refusal : kRefusals) {
        if (refusal.thirdFamilyOnly && family.simFamily != kSimFamilyPex) continue;
        SCOPED_TRACE(testing::Message() << family.name << ", " << renderer.name << ", " << refusal.name);
        const std::string step = std::string(family.name) + ", " + renderer.name + ", " + refusal.name + ": ";
        const std::wstring path = env_.DevicePath(family.card);
        Journal::Instance().Reset();
        simcard_testing::VideoWindow window;
        const HWND handle = window.Open();
        ASSERT_TRUE(handle) << "no window on the display";
        const auto shown = [&] {
          SimCardPicture expected{};
          if (FAILED(picture(path.c_str(), &expected))) return false;
          return simcard_testing::WaitUntil(
              [&] { return Check(simcard_testing::ScreenCopy::Of(window.ScreenRect()), expected).Shows(); }, kWaitMs);
        };
        const auto lift = [&] {
          if (refusal.double_) {
            Journal::Instance().Lift(refusal.double_, "Pause");
          } else {
            inject(path.c_str(), "Pause", E_ACCESSDENIED, 0);
          }
        };
        {
          ComPtr<IDeviceSetup> setup;
          ASSERT_NO_FATAL_FAILURE(MakeDevice(family, &setup));
          sim_host::LivePreview live([](const std::wstring& action, HRESULT hr) {
            EXPECT_EQ(S_OK, hr) << testing::PrintToString(action);
            return hr == S_OK;
          });
          watch.Mark(step + "open");
          if (live.Open(setup.Get(), kStation, renderer.mode, handle)) {
            IPreview* preview = live.preview();
            if (refusal.double_) {
              ASSERT_TRUE(Journal::Instance().InjectFailure(refusal.double_, "Pause", E_ACCESSDENIED, refusal.times));
            } else {
              ASSERT_EQ(S_OK, inject(path.c_str(), "Pause", E_ACCESSDENIED, refusal.times));
            }
            watch.Mark(step + "refused IPreview::Run");
            const HRESULT refused = preview->Run(0);
            EXPECT_TRUE(refused == S_OK || refused == E_ACCESSDENIED) << std::hex << refused;
            if (refusal.double_) {
              EXPECT_FALSE(Journal::Instance().Calls(refusal.double_, "Pause").empty()) << "the filter never refused";
            }
            // The host stops the preview that showed nothing: whatever the state read answers,
            // the graph and every filter stop.
            watch.Mark(step + "IPreview::Stop after the refusal");
            preview->Stop(0);
            ULONG state = 9;
            EXPECT_EQ(S_OK, preview->GetState(&state));
            EXPECT_EQ(static_cast<ULONG>(State_Stopped), state);
            lift();
            watch.Mark(step + "IPreview::Run");
            EXPECT_EQ(S_OK, preview->Run(0));
            EXPECT_TRUE(shown()) << "the picture is not on the host's window";
            watch.Mark(step + "IPreview::Stop");
            EXPECT_EQ(S_OK, preview->Stop(0));
          }
          lift();
          watch.Mark(step + "close");
          EXPECT_TRUE(live.Close());
          watch.Mark(step + "the final release");
        }
        watch.Mark(step + "done");
        if (HasFatalFailure()) return;
      }
    }
  }
}

// A host's new window given while the preview is stopped (its old window gone) is the one the
// next Run shows the picture on, in every family, behind the platform's mixing renderer 7
// (0x20). That renderer leaves the graph at Stop and is made afresh, on the last window given,
// at Run: meanwhile the call answers the missing renderer (0x8007F047), as every window call
// without a renderer does, the same in every family.
TEST_F(ThreeFamilies, AWindowGivenWhileStoppedShowsTheNextRun) {
  using PictureFn = decltype(&SimCard_GetPicture);
  const auto picture = GetProcAs<PictureFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetPicture");
  ASSERT_TRUE(picture);
  testing_support::StallWatch watch(kStallMs);
  for (const Family& family : kFamilies) {
    SCOPED_TRACE(family.name);
    watch.Mark(family.name);
    const std::wstring path = env_.DevicePath(family.card);
    const auto shown = [&](const simcard_testing::VideoWindow& window) {
      SimCardPicture expected{};
      if (FAILED(picture(path.c_str(), &expected))) return false;
      return simcard_testing::WaitUntil(
          [&] { return Check(simcard_testing::ScreenCopy::Of(window.ScreenRect()), expected).Shows(); }, kWaitMs);
    };
    ComPtr<IDeviceSetup> setup;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(family, &setup));
    sim_host::LivePreview live([](const std::wstring& action, HRESULT hr) {
      EXPECT_EQ(S_OK, hr) << testing::PrintToString(action);
      return hr == S_OK;
    });
    auto first = std::make_unique<simcard_testing::VideoWindow>();
    const HWND firstHandle = first->Open();
    ASSERT_TRUE(firstHandle) << "no window on the display";
    if (live.Open(setup.Get(), kStation, 0x20, firstHandle) && live.Run()) {
      EXPECT_TRUE(shown(*first)) << "the picture is not on the host's first window";
      EXPECT_EQ(S_OK, live.preview()->Stop(0));
      first.reset();
      simcard_testing::VideoWindow second;
      const HWND secondHandle = second.Open();
      ASSERT_TRUE(secondHandle) << "no second window on the display";
      RECT client{};
      GetClientRect(secondHandle, &client);
      if (HDC dc = GetDC(secondHandle)) {  // nothing of the first window's picture stays on the screen
        FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        ReleaseDC(secondHandle, dc);
      }
      ComPtr<IPreviewWindow> window;
      ASSERT_EQ(S_OK, live.preview()->GetVideoModeInterface(IID_IPreviewWindow,
                                                            reinterpret_cast<void**>(window.GetAddressOf())));
      EXPECT_EQ(errors::kRendererNullPointer, window->SetVideoClippingWindow(secondHandle));
      EXPECT_EQ(S_OK, window->SetVideoPosition(nullptr, &client));
      EXPECT_EQ(S_OK, live.preview()->Run(0));
      EXPECT_TRUE(shown(second)) << "the picture is not on the host's second window";
    }
    EXPECT_TRUE(live.Close());
    if (HasFatalFailure()) return;
  }
}

// The preview control's "not initialised" as the answer to a host's clipping window (the
// system renderer passes it on from the board's control): the first two families count the
// window as taken, as it reaches the control once its board is up; the third passes the answer on.
TEST_F(ThreeFamilies, APreviewControlNotInitialisedAnswersAClippingWindowAsEachFamilySays) {
  using doubles::Journal;
  const struct {
    const Family& family;
    HRESULT answer;
  } cases[] = {{kFamilies[0], S_OK}, {kFamilies[1], S_OK}, {kFamilies[2], errors::kPreviewControlNotInit}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.family.name);
    ComPtr<IDeviceSetup> setup;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(c.family, &setup));
    ComPtr<IPreview> preview;
    ComPtr<IPreviewWindow> window;
    ASSERT_EQ(S_OK, setup.As(&preview));
    ASSERT_EQ(S_OK, preview->Initialize(0));
    ASSERT_EQ(S_OK, preview->GetVideoModeInterface(IID_IPreviewWindow, reinterpret_cast<void**>(window.GetAddressOf())));
    ASSERT_EQ(S_OK, window->Initialize(kModeSystemRenderer));
    Journal::Instance().Reset();
    ASSERT_TRUE(Journal::Instance().InjectFailure("SimVideoRenderer", "SetVideoClippingWindow",
                                                  errors::kPreviewControlNotInit, 1));
    EXPECT_EQ(c.answer, window->SetVideoClippingWindow(GetDesktopWindow()));
    EXPECT_EQ(1u, Journal::Instance().Calls("SimVideoRenderer", "SetVideoClippingWindow").size())
        << "the window never reached the renderer";
    EXPECT_EQ(S_OK, window->Uninitialize(0));
    EXPECT_EQ(S_OK, preview->Uninitialize(0));
  }
}

// The answers a careless host meets, family by family: GetLastError without its second
// pointer (the first family's own code, E_POINTER in the others); a clipping window that names
// no window, refused with E_INVALIDARG by every family, with the system renderer and with the
// platform's mixing renderer 9 (which itself stores any handle); and a window initialised while
// the preview is paused, refused with the window interface left free for the next try.
TEST_F(ThreeFamilies, CarelessHostCallsGetTheSameAnswersInEveryFamily) {
  HWND dead = CreateWindowExW(0, L"STATIC", L"gone", WS_POPUP, 0, 0, 8, 8, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(dead);
  DestroyWindow(dead);
  for (const Family& family : kFamilies) {
    SCOPED_TRACE(family.name);
    const HRESULT nullReserve = family.simFamily == kSimFamilyTam ? errors::kDmNullPointer : E_POINTER;
    ComPtr<IDeviceSetup> setup;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(family, &setup));
    ComPtr<IPreview> preview;
    ComPtr<IOutputData> output;
    ComPtr<IPreviewWindow> window;
    ASSERT_EQ(S_OK, setup.As(&preview));
    ASSERT_EQ(S_OK, setup.As(&output));
    ASSERT_EQ(S_OK, preview->Initialize(0));
    ASSERT_EQ(S_OK, output->Initialize(0));
    HRESULT last = S_FALSE;
    EXPECT_EQ(nullReserve, preview->GetLastError(&last, nullptr));
    EXPECT_EQ(nullReserve, output->GetLastError(&last, nullptr));
    ASSERT_EQ(S_OK, preview->GetVideoModeInterface(IID_IPreviewWindow, reinterpret_cast<void**>(window.GetAddressOf())));
    for (const ULONG mode : {kModeSystemRenderer, 0x50ul}) {
      SCOPED_TRACE(mode);
      ASSERT_EQ(S_OK, window->Initialize(mode));
      EXPECT_EQ(E_INVALIDARG, window->SetVideoClippingWindow(dead));
      EXPECT_EQ(S_OK, window->SetVideoClippingWindow(GetDesktopWindow()));
      EXPECT_EQ(S_OK, window->Uninitialize(0));
    }
    if (SUCCEEDED(preview->Pause(0))) {
      EXPECT_EQ(errors::kGraphNotStopped, window->Initialize(kModeSystemRenderer));
      EXPECT_EQ(S_OK, preview->Stop(0));
      EXPECT_EQ(S_OK, window->Initialize(kModeSystemRenderer)) << "the window interface stayed in use";
      EXPECT_EQ(S_OK, window->Uninitialize(0));
    } else {
      ADD_FAILURE() << "IPreview::Pause without a window failed";
    }
    EXPECT_EQ(S_OK, output->Uninitialize(0));
    EXPECT_EQ(S_OK, preview->Uninitialize(0));
  }
}

}  // namespace

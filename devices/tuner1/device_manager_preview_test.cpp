// The preview, window and sound operations of tamDeviceManager as a host drives them: the
// module registered with the simulated environment (cards, doubles, driver stand-in), objects
// made by class identifier. In process the system renderer's stand-in takes the picture (it
// records what the window side gives it); the picture on a window of the session's display
// runs in a child process (once Direct3D has run in a process, Wine may kill it on its way out).
#include <windows.h>
#include <objbase.h>
#include <dshow.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/device/device_identity.h"
#include "common/device/device_state_table.h"
#include "common/errors.h"
#include "common/handles.h"
#include "common/format.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "devices/core/device_objects.h"
#include "devices/core/device_state_slots.h"
#include "devices/core/preview_window.h"
#include "sim/card/picture_testing.h"
#include "sim/card/sim_card.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/live_preview.h"
#include "sim/host/sim_environment.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;

namespace {

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
constexpr CLSID kClsidTamDeviceManager = {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
constexpr DWORD kWaitMs = 10000;
constexpr DWORD kChildMs = 90000;  // starting Direct3D alone can take seconds
constexpr ULONG kStation = 91250000;

constexpr ULONG kCapsSystemRenderer = 0x200;
constexpr ULONG kModeSystemRenderer = 0x40;  // the system renderer (its stand-in here)
constexpr ULONG kModeVmr9 = 0x50;            // the mixing renderer 9, drawing on the host's window

// One driver state for the program and its children.
const std::wstring& StateName() {
  static const std::wstring name = testing_support::UniqueName(L"Local\\VornPreviewOpsTest_");
  return name;
}

bool Signalled(HANDLE event, DWORD ms = 0) { return event && WaitForSingleObject(event, ms) == WAIT_OBJECT_0; }

bool WaitFor(const std::function<bool()>& done) { return simcard_testing::WaitUntil(done, kWaitMs); }

// What a host holds of one tamDeviceManager object.
struct Host {
  ComPtr<IDeviceSetup> setup;
  ComPtr<IInputSwitch> inputs;
  ComPtr<IPreview2> preview;
  ComPtr<IPreviewWindow2> window;
  ComPtr<ICustomPreviewWindow> customWindow;
  ComPtr<ISound> sound;

  // A new object given the card's item; the stand-in attached to the module in this process.
  HRESULT Create(const std::wstring& path, ULONG capabilities, long boardType = 0, long tunerNumber = 0) {
    RETURN_IF_FAILED(CoCreateInstance(kClsidTamDeviceManager, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                      reinterpret_cast<void**>(setup.GetAddressOf())));
    UINT card = 0, patched = 0;
    RETURN_IF_FAILED(SimDriver_Connect(StateName().c_str()));
    const HRESULT added = SimDriver_AddCard(path.c_str(), &card);
    RETURN_IF_FAILED(added);
    RETURN_IF_FAILED(SimDriver_Attach(GetModuleHandleW(L"tamDevice.dll"), &patched));
    ComPtr<IHalItem> item;
    sim_host::DeviceItemValues values;
    values.devicePath = path;
    values.capabilities = static_cast<long>(capabilities);
    values.boardType = boardType;
    values.tunerNumber = tunerNumber;
    RETURN_IF_FAILED(sim_host::MakeDeviceItem(values, &item));
    RETURN_IF_FAILED(setup->SetDeviceInfo(item.Get()));
    RETURN_IF_FAILED(setup.As(&inputs));
    RETURN_IF_FAILED(setup.As(&preview));
    RETURN_IF_FAILED(setup.As(&window));
    RETURN_IF_FAILED(setup.As(&customWindow));
    return setup.As(&sound);
  }
  // The input switch on the tuner, tuned to the station.
  HRESULT Tune() {
    RETURN_IF_FAILED(inputs->Initialize(0));
    ComPtr<IHalItem> channel;
    RETURN_IF_FAILED(sim_host::MakeChannelItem(1, kStation, &channel));
    return inputs->SetChannel(channel.Get());
  }
  void Release() {
    sound.Reset();
    customWindow.Reset();
    window.Reset();
    preview.Reset();
    inputs.Reset();
    setup.Reset();
  }
};

// The card's named objects and device-state slots, as another process sees them.
class DeviceView {
 public:
  // Holds the table open, as a watching process would: it outlives the objects' own views.
  explicit DeviceView(std::wstring path) : path_(std::move(path)), identity_(path_.c_str()), names_(identity_, 0) {
    table_.Open();
  }

  bool EventExists(NotifyEvent which) const {
    return UniqueHandle(OpenEventW(SYNCHRONIZE, FALSE, names_.Event(which).c_str())).valid();
  }
  bool EventSet(NotifyEvent which) const {
    UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, names_.Event(which).c_str()));
    return Signalled(event.get());
  }
  // Sets or resets an event as the device object does (RecRunning while it records).
  void SetEvent(NotifyEvent which, bool set) const {
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, names_.Event(which).c_str()));
    if (set) {
      ::SetEvent(event.get());
    } else {
      ::ResetEvent(event.get());
    }
  }
  bool InUse(ExclusiveInterface which) const {
    return NamedMutex(names_.ExclusiveUse(which).c_str()).AlreadyExists() != FALSE;
  }
  std::int32_t Slot(int index) {
    std::int32_t slots[kSlotCount] = {};
    if (FAILED(table_.ReadSlots(path_.c_str(), sizeof(slots), slots))) return -1;
    return slots[index];
  }

 private:
  std::wstring path_;
  DeviceIdentity identity_;
  DeviceObjectNames names_;
  DeviceStateTable table_;
};

// A window handle the stand-in renderer is given (it keeps handles without drawing).
HWND HostWindow() { return GetDesktopWindow(); }

std::int64_t Frames() { return Journal::Instance().Value(doubles::kValueVideoFrames); }

size_t Calls(const char* method) { return Journal::Instance().Calls("SimVideoRenderer", method).size(); }

class PreviewOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    com_ = true;
    Journal::Instance().Reset();
    ASSERT_EQ(S_OK, env_.Install({0})) << testing::PrintToString(env_.error());
    ASSERT_EQ(S_OK, env_.BypassSound()) << testing::PrintToString(env_.error());
    path_ = env_.DevicePath(0);
  }
  void TearDown() override {
    a_.Release();
    b_.Release();
    EXPECT_EQ(S_OK, env_.Remove()) << testing::PrintToString(env_.error());
    if (com_) CoUninitialize();
  }

  bool com_ = false;
  sim_host::SimEnvironment env_;
  std::wstring path_;
  Host a_, b_;
};

// The child's object asks for IPreview of the card: its answer is the exit code.
VORN_CHILD(PreviewInitialize) {
  if (args.size() != 1 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  Host host;
  HRESULT hr = host.Create(args[0], kCapsSystemRenderer);
  if (SUCCEEDED(hr)) hr = host.preview->Initialize(0);
  host.Release();
  CoUninitialize();
  return static_cast<int>(hr);
}

TEST_F(PreviewOperations, OrderAndExclusiveUseAreAnsweredWithTheirCodes) {
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer));
  ASSERT_EQ(S_OK, b_.Create(path_, kCapsSystemRenderer));
  DeviceView view(path_);
  RECT destination{0, 0, 720, 480};
  ULONG state = 0, key = 0;
  long volume = 0;
  ComPtr<IHalItem> item;
  const struct {
    const char* what;
    std::function<HRESULT()> call;
    HRESULT expected;
  } before[] = {
      {"Run", [&] { return a_.preview->Run(0); }, errors::kPreviewNotInit},
      {"Pause", [&] { return a_.preview->Pause(0); }, errors::kPreviewNotInit},
      {"Stop", [&] { return a_.preview->Stop(0); }, errors::kPreviewNotInit},
      {"GetState", [&] { return a_.preview->GetState(&state); }, errors::kPreviewNotInit},
      {"GetSoundDataInfo", [&] { return a_.preview->GetSoundDataInfo(item.ReleaseAndGetAddressOf()); }, errors::kPreviewNotInit},
      {"SetVideoClippingWindow", [&] { return a_.window->SetVideoClippingWindow(HostWindow()); }, errors::kWindowNotInit},
      {"SetVideoPosition", [&] { return a_.window->SetVideoPosition(nullptr, &destination); }, errors::kWindowNotInit},
      {"GetColorKey", [&] { return a_.customWindow->GetColorKey(&key, &key, &key, &key); }, errors::kWindowNotInit},
      {"GetVolume", [&] { return a_.sound->GetVolume(&volume); }, errors::kSoundNotInit},
      // The preview graph's state cannot be read before IPreview::Initialize.
      {"IPreviewWindow2::Initialize", [&] { return a_.window->Initialize(kModeSystemRenderer); }, E_POINTER},
      {"ISound::Initialize", [&] { return a_.sound->Initialize(0); }, E_POINTER},
      {"IPreview::Uninitialize", [&] { return a_.preview->Uninitialize(0); }, S_OK},
  };
  for (const auto& c : before) EXPECT_EQ(c.expected, c.call()) << c.what;
  EXPECT_FALSE(view.InUse(ExclusiveInterface::PreviewWindow));  // closed again by the failed Initialize

  ASSERT_EQ(S_OK, a_.preview->Initialize(0));
  EXPECT_EQ(errors::kPreviewInUse, a_.preview->Initialize(0));
  // The formats of the preview: video width, height and two format words; sound rate, channels, bits.
  const struct {
    HRESULT (STDMETHODCALLTYPE IPreview::*get)(IHalItem**);
    std::vector<long> values;
  } formats[] = {{&IPreview::GetVideoDataInfo, {720, 480, 4, 1}}, {&IPreview::GetSoundDataInfo, {48000, 2, 16}}};
  for (const auto& format : formats) {
    ASSERT_EQ(S_OK, (a_.preview.Get()->*format.get)(item.ReleaseAndGetAddressOf()));
    for (size_t i = 0; i < format.values.size(); ++i) {
      VARIANT value;
      VariantInit(&value);
      EXPECT_EQ(S_OK, item->GetInfo(static_cast<long>(i), &value));
      EXPECT_EQ(format.values[i], value.lVal) << i;
      VariantClear(&value);
    }
  }
  EXPECT_EQ(errors::kPreviewInUse, b_.preview->Initialize(0));
  EXPECT_EQ(static_cast<DWORD>(errors::kPreviewInUse), testing_support::RunChild("PreviewInitialize", {path_}, kChildMs));
  EXPECT_EQ(static_cast<std::int32_t>(GetCurrentProcessId()), view.Slot(kSlotPreviewProcess));

  // Nothing to show the picture in yet: the preparation fails twice, nothing stays started.
  EXPECT_EQ(errors::kPreviewNoChain, a_.preview->Run(0));
  EXPECT_FALSE(view.EventSet(NotifyEvent::LiveRunning));
  EXPECT_EQ(0, view.Slot(kSlotPreviewStarted));

  ASSERT_EQ(S_OK, a_.window->Initialize(kModeSystemRenderer));
  EXPECT_EQ(errors::kWindowInUse, b_.window->Initialize(kModeSystemRenderer));
  EXPECT_EQ(errors::kWindowInUse, a_.customWindow->Initialize(kModeSystemRenderer, GUID_NULL, nullptr));
  ASSERT_EQ(S_OK, a_.preview->Run(0));
  const struct {
    const char* what;
    std::function<HRESULT()> call;
  } refusedWhileRunning[] = {
      {"IPreviewWindow2::Uninitialize", [&] { return a_.window->Uninitialize(0); }},
      {"ISound::Initialize", [&] { return a_.sound->Initialize(0); }},
      {"IPreview::Uninitialize", [&] { return a_.preview->Uninitialize(0); }},
  };
  for (const auto& c : refusedWhileRunning) EXPECT_EQ(errors::kGraphNotStopped, c.call()) << c.what;
  EXPECT_TRUE(view.InUse(ExclusiveInterface::PreviewWindow));

  ASSERT_EQ(S_OK, a_.preview->Stop(0));
  EXPECT_EQ(S_OK, a_.window->Uninitialize(0));
  EXPECT_EQ(S_OK, a_.preview->Uninitialize(0));
  EXPECT_FALSE(view.InUse(ExclusiveInterface::Preview));
  EXPECT_EQ(0, view.Slot(kSlotPreviewProcess));
  EXPECT_EQ(0u, testing_support::RunChild("PreviewInitialize", {path_}, kChildMs));
}

// The child's object holds IPreview until told to release the object (no Uninitialize), then
// lives on until told to end. Events: ready, release, released, end.
VORN_CHILD(PreviewHolder) {
  if (args.size() != 5 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  UniqueHandle events[4];
  for (int i = 0; i < 4; ++i) {
    events[i].reset(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, args[1 + i].c_str()));
    if (!events[i]) return 3;
  }
  Host host;
  if (FAILED(host.Create(args[0], kCapsSystemRenderer)) || host.preview->Initialize(0) != S_OK) return 4;
  SetEvent(events[0].get());
  WaitForSingleObject(events[1].get(), kWaitMs);
  host.Release();
  SetEvent(events[2].get());
  WaitForSingleObject(events[3].get(), kWaitMs);
  CoUninitialize();
  return 0;
}

TEST_F(PreviewOperations, PreviewHeldByAnotherProcessIsFreeOnceThatObjectIsReleased) {
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer));
  DeviceView view(path_);
  std::vector<std::wstring> names;
  std::vector<UniqueHandle> events;
  for (int i = 0; i < 4; ++i) {
    names.push_back(testing_support::UniqueName(L"Local\\preview_holder_"));
    events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, names.back().c_str()));
    ASSERT_TRUE(events.back());
  }
  auto child = testing_support::ChildProcess::Start("PreviewHolder", {path_, names[0], names[1], names[2], names[3]});
  ASSERT_TRUE(child.valid());
  const HANDLE readyOrGone[2] = {events[0].get(), child.handle()};
  ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, readyOrGone, FALSE, kChildMs)) << child.Wait(0);
  EXPECT_EQ(errors::kPreviewInUse, a_.preview->Initialize(0));
  EXPECT_EQ(static_cast<std::int32_t>(child.pid()), view.Slot(kSlotPreviewProcess));
  SetEvent(events[1].get());
  const HANDLE releasedOrGone[2] = {events[2].get(), child.handle()};
  ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, releasedOrGone, FALSE, kChildMs));
  // The other process still runs; its release freed the interface and its slots.
  EXPECT_EQ(0, view.Slot(kSlotPreviewProcess));
  EXPECT_EQ(S_OK, a_.preview->Initialize(0));
  EXPECT_EQ(S_OK, a_.preview->Uninitialize(0));
  SetEvent(events[3].get());
  EXPECT_EQ(0u, child.Wait(kChildMs));
}

TEST_F(PreviewOperations, RunShowsTheChannelWithSoundAndAppliesTheRememberedWindowEachTime) {
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer));
  ASSERT_EQ(S_OK, a_.Tune());
  DeviceView view(path_);
  ASSERT_EQ(S_OK, a_.preview->Initialize(0));
  ASSERT_EQ(S_OK, a_.window->Initialize(kModeSystemRenderer));
  ASSERT_EQ(S_OK, a_.sound->Initialize(0));
  RECT source{0, 0, 360, 240}, destination{10, 20, 370, 260};
  ASSERT_EQ(S_OK, a_.window->SetVideoClippingWindow(HostWindow()));
  ASSERT_EQ(S_OK, a_.window->SetVideoPosition(&source, &destination));
  EXPECT_EQ(0u, Calls("SetVideoPosition"));  // kept until the preview runs

  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    Journal::Instance().Reset();
    ASSERT_EQ(S_OK, a_.preview->Run(0));
    EXPECT_TRUE(view.EventSet(NotifyEvent::LiveRunning));
    EXPECT_EQ(1, view.Slot(kSlotPreviewStarted));
    EXPECT_EQ(kSlotRunning, view.Slot(kSlotPreviewState));
    const auto clips = Journal::Instance().Calls("SimVideoRenderer", "SetVideoClippingWindow");
    ASSERT_FALSE(clips.empty());
    EXPECT_EQ(reinterpret_cast<std::int64_t>(HostWindow()), clips.back().args[0]);
    const auto positions = Journal::Instance().Calls("SimVideoRenderer", "SetVideoPosition");
    ASSERT_EQ(1u, positions.size());
    EXPECT_EQ(destination.left, positions[0].args[0]);
    EXPECT_EQ(destination.bottom, positions[0].args[3]);
    EXPECT_TRUE(WaitFor([] { return Frames() >= 3; })) << Frames();
    EXPECT_TRUE(WaitFor([] { return Journal::Instance().Value(doubles::kValueSoundSamples) > 0; }));
    ASSERT_EQ(S_OK, a_.preview->Pause(0));
    EXPECT_EQ(kSlotPaused, view.Slot(kSlotPreviewState));
    ASSERT_EQ(S_OK, a_.preview->Stop(0));
    EXPECT_FALSE(view.EventSet(NotifyEvent::LiveRunning));
    EXPECT_EQ(0, view.Slot(kSlotPreviewStarted));
    EXPECT_EQ(kSlotStopped, view.Slot(kSlotPreviewState));
  }
  // While running a new position goes to the renderer at once.
  ASSERT_EQ(S_OK, a_.preview->Run(0));
  Journal::Instance().Reset();
  RECT whole{0, 0, 720, 480};
  EXPECT_EQ(S_OK, a_.window->SetVideoPosition(nullptr, &whole));
  EXPECT_EQ(1u, Calls("SetVideoPosition"));
  long volume = 0;
  EXPECT_EQ(S_OK, a_.sound->SetVolume(-600));
  EXPECT_EQ(S_OK, a_.sound->GetVolume(&volume));
  EXPECT_EQ(-600, volume);
  a_.Release();
}

// The chain elements read the device object's RecRunning event when the preview runs: on the
// second tuner of board 18 the system renderer takes field order 2 while nothing records and 1
// while a recording runs (the board's defaults), each at the next Run.
TEST_F(PreviewOperations, ARecordingChangesTheFieldOrderAtTheNextRun) {
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer, 18, 1));
  ASSERT_EQ(S_OK, a_.Tune());
  DeviceView view(path_);
  ASSERT_EQ(S_OK, a_.preview->Initialize(0));
  ASSERT_EQ(S_OK, a_.window->Initialize(kModeSystemRenderer));
  const struct {
    bool recording;
    std::int64_t order;
  } runs[] = {{false, 2}, {true, 1}, {false, 2}};
  for (const auto& r : runs) {
    SCOPED_TRACE(r.recording);
    view.SetEvent(NotifyEvent::RecRunning, r.recording);
    Journal::Instance().Reset();
    ASSERT_EQ(S_OK, a_.preview->Run(0));
    const auto orders = Journal::Instance().Calls("SimVideoRenderer", "SetFieldOrder");
    ASSERT_FALSE(orders.empty());
    EXPECT_EQ(r.order, orders.back().args[0]);
    ASSERT_EQ(S_OK, a_.preview->Stop(0));
  }
  view.SetEvent(NotifyEvent::RecRunning, false);
  a_.Release();
}

// The remembered window goes to the chain made at Run; a renderer that refuses it ends the run
// as every other failure of Run does: the graph stopped, LiveRunning reset, the slots stopped,
// the renderer's code returned. The next Run, refused nothing, runs.
TEST_F(PreviewOperations, RunEndsWhenTheRendererRefusesTheRememberedWindow) {
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer));
  ASSERT_EQ(S_OK, a_.Tune());
  DeviceView view(path_);
  ASSERT_EQ(S_OK, a_.preview->Initialize(0));
  ASSERT_EQ(S_OK, a_.window->Initialize(kModeSystemRenderer));
  RECT source{0, 0, 360, 240}, destination{10, 20, 370, 260};
  ASSERT_EQ(S_OK, a_.window->SetVideoClippingWindow(HostWindow()));
  ASSERT_EQ(S_OK, a_.window->SetVideoPosition(&source, &destination));
  struct Refusal {
    const char* method;
    HRESULT error;
  };
  for (const Refusal& r : {Refusal{"SetVideoClippingWindow", E_ACCESSDENIED}, Refusal{"SetVideoPosition", E_INVALIDARG}}) {
    SCOPED_TRACE(r.method);
    Journal::Instance().Reset();
    ASSERT_TRUE(Journal::Instance().InjectFailure("SimVideoRenderer", r.method, r.error, 1));
    EXPECT_EQ(r.error, a_.preview->Run(0));
    ULONG state = 99;
    EXPECT_EQ(S_OK, a_.preview->GetState(&state));
    EXPECT_EQ(static_cast<ULONG>(State_Stopped), state);
    EXPECT_FALSE(view.EventSet(NotifyEvent::LiveRunning));
    EXPECT_EQ(0, view.Slot(kSlotPreviewStarted));
    EXPECT_EQ(kSlotStopped, view.Slot(kSlotPreviewState));
    ASSERT_EQ(S_OK, a_.preview->Run(0));
    EXPECT_TRUE(view.EventSet(NotifyEvent::LiveRunning));
    ASSERT_EQ(S_OK, a_.preview->Stop(0));
  }
  a_.Release();
}

// The sound keeps pace with the picture: by the time the renderer has shown 45 frames (1.5 s of
// a 30 frames/s picture), the audio renderer has taken at least half a second of the PCM (48 kHz,
// 16-bit stereo), although the audio pacer stamps every buffer 300 ms ahead of the graph's clock.
TEST_F(PreviewOperations, SoundKeepsPaceWithThePictureWhileRunning) {
  constexpr std::int64_t kBytesPerSecond = 48000 * 4;
  constexpr std::int64_t kFrames = 45;
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer));
  ASSERT_EQ(S_OK, a_.Tune());
  ASSERT_EQ(S_OK, a_.preview->Initialize(0));
  ASSERT_EQ(S_OK, a_.window->Initialize(kModeSystemRenderer));
  ASSERT_EQ(S_OK, a_.sound->Initialize(0));
  Journal::Instance().Reset();
  ASSERT_EQ(S_OK, a_.preview->Run(0));
  ASSERT_TRUE(simcard_testing::WaitUntil([] { return Frames() >= kFrames; }, 3 * kWaitMs)) << Frames();
  const std::int64_t bytes = Journal::Instance().Value(doubles::kValueSoundBytes);
  EXPECT_GE(bytes, kBytesPerSecond / 2) << "after " << Frames() << " frames";
  EXPECT_EQ(0, bytes % 3840);  // whole 20 ms buffers
  EXPECT_EQ(S_OK, a_.preview->Stop(0));
}

TEST_F(PreviewOperations, WatchThreadEventsReachTheHostAndReleaseLeavesNothingBehind) {
  ASSERT_EQ(S_OK, a_.Create(path_, kCapsSystemRenderer));
  DeviceView view(path_);
  ASSERT_EQ(S_OK, a_.preview->Initialize(0));
  ASSERT_EQ(S_OK, a_.window->Initialize(kModeSystemRenderer));
  ASSERT_EQ(S_OK, a_.sound->Initialize(0));
  ULONG handle = 1;
  EXPECT_EQ(errors::kPreviewInvalidArg, a_.preview->GetNotifyEvent(3, &handle));
  EXPECT_EQ(0u, handle);
  ULONG error = 0, liveIn = 0;
  ASSERT_EQ(S_OK, a_.preview->GetNotifyEvent(0, &error));
  ASSERT_EQ(S_OK, a_.preview->GetNotifyEvent(1, &liveIn));
  ASSERT_EQ(S_OK, a_.preview->Run(0));

  UINT card = 0;
  ASSERT_EQ(S_OK, SimDriver_FindCard(path_.c_str(), &card));
  ASSERT_EQ(S_OK, SimDriver_SetTvAudioMode(card, 0x32));
  EXPECT_TRUE(Signalled(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(liveIn)), kWaitMs));
  _SHAL_INPUT_AUDIOMODE mode{};
  EXPECT_EQ(S_OK, a_.preview->GetCurrentInputAudioMode(&mode));
  EXPECT_EQ(4u, mode.mainL);
  EXPECT_EQ(8u, mode.mainR);

  using PostFn = decltype(&SimCard_PostCaptureEvent);
  const auto post = GetProcAs<PostFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_PostCaptureEvent");
  ASSERT_TRUE(post);
  ASSERT_EQ(S_OK, post(path_.c_str(), EC_ERROR_STILLPLAYING, 0x8007001F, 0));
  EXPECT_TRUE(Signalled(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(error)), kWaitMs));
  HRESULT last = S_OK;
  ULONG reserve = 1;
  EXPECT_EQ(S_OK, a_.preview->GetLastError(&last, &reserve));
  EXPECT_EQ(static_cast<HRESULT>(0x8007001F), last);
  // The graph's error leaves the slots as they are: the host's Stop clears them.
  EXPECT_EQ(kSlotRunning, view.Slot(kSlotPreviewState));

  // Released while everything runs: the watch thread ends promptly and no named object stays.
  const ULONGLONG start = GetTickCount64();
  a_.Release();
  EXPECT_LT(GetTickCount64() - start, 5000u);
  EXPECT_FALSE(view.InUse(ExclusiveInterface::Preview));
  EXPECT_FALSE(view.InUse(ExclusiveInterface::PreviewWindow));
  for (NotifyEvent which : {NotifyEvent::LiveRunning, NotifyEvent::LiveInputAudio, NotifyEvent::LiveOutputAudio})
    EXPECT_FALSE(view.EventExists(which)) << static_cast<int>(which);
  EXPECT_EQ(0, view.Slot(kSlotPreviewProcess));
}

// The whole host sequence on a window of the session's display, for a device with captions: the
// mixing renderer 9 draws the tuned channel, the simulated audio renderer takes the sound, and
// after release no named object of the preview is left. Failures go to the report file.
VORN_CHILD(LivePicture) {
  if (args.size() != 2 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
  const std::wstring& path = args[0];
  std::string failures;
  const auto fail = [&](const std::wstring& what) { failures += std::string(what.begin(), what.end()) + "; "; };
  {
    Host host;
    simcard_testing::VideoWindow window;
    DeviceView view(path);
    const HRESULT created = host.Create(path, 0x80);
    const HWND handle = SUCCEEDED(created) ? window.Open() : nullptr;
    sim_host::LivePreview live([&](const std::wstring& action, HRESULT hr) {
      if (hr != S_OK) fail(action + FormatW(L" gave 0x%08lX", static_cast<unsigned long>(hr)));
      return hr == S_OK;
    });
    using PictureFn = decltype(&SimCard_GetPicture);
    if (!handle) {
      fail(FormatW(L"no object (0x%08lX) or no window on the display", static_cast<unsigned long>(created)));
    } else if (live.Open(host.setup.Get(), kStation, kModeVmr9, handle) && live.Run()) {
      if (!view.EventSet(NotifyEvent::LiveRunning)) fail(L"LiveRunning is not set");
      // The card's module is loaded with its filters.
      const auto picture = GetProcAs<PictureFn>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetPicture");
      SimCardPicture expected{};
      if (!picture || FAILED(picture(path.c_str(), &expected))) fail(L"the card's picture is unknown");
      simcard_testing::PictureCheck check;
      WaitFor([&] { return (check = Check(simcard_testing::ScreenCopy::Of(window.ScreenRect()), expected)).Shows(); });
      if (!check.Shows()) {
        const std::string text = simcard_testing::Describe(check, expected);
        fail(std::wstring(text.begin(), text.end()));
      }
      if (!WaitFor([] { return Journal::Instance().Value(doubles::kValueSoundSamples) > 0; }))
        fail(L"no PCM reached the audio renderer");
    }
    live.Close();
    host.Release();
    if (view.InUse(ExclusiveInterface::Preview) || view.InUse(ExclusiveInterface::PreviewWindow))
      fail(L"an exclusive-use mutex is left");
    for (NotifyEvent which : {NotifyEvent::LiveRunning, NotifyEvent::LiveInputAudio})
      if (view.EventExists(which)) fail(FormatW(L"event %d is left", static_cast<int>(which)));
  }
  simcard_testing::WriteReport(args[1], failures);
  CoUninitialize();
  return failures.empty() ? 0 : 1;
}

TEST_F(PreviewOperations, LiveTvReachesTheHostsWindowAndTheAudioRenderer) {
  wchar_t folder[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
  const std::wstring report = folder + testing_support::UniqueName(L"live_") + L".txt";
  const DWORD result = testing_support::RunChild("LivePicture", {path_, report}, kChildMs);
  EXPECT_EQ(0u, result) << simcard_testing::ReadReport(report);
  DeleteFileW(report.c_str());
}

TEST(OverlayModeCompletion, AddsTheMixingRenderer7OnlyForAModeWithoutRenderer) {
  const struct {
    ULONG mode;
    bool hasItem;
    ULONG caps;
    ULONG completed;
  } cases[] = {
      {0x0, true, 0x10, 0x20},  {0x3, true, 0x200, 0x23}, {0x0, true, 0x80, 0x0},
      {0x0, false, 0x200, 0x0}, {0x50, true, 0x200, 0x50}, {0x1000, true, 0x10, 0x1020},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.completed, CompleteOverlayMode(c.mode, c.hasItem, c.caps)) << std::hex << c.mode << " " << c.caps;
}

}  // namespace

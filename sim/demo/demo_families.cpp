// The second and third families' device managers as a host meets them: rulDevice.dll with a
// simulated card of two tuners (card 1, under the second family's filter names) and pexDevice.dll
// with a simulated card of the third family (card 2). The session registers the module and the
// card; the device managers run in a process of their own (vorn_demo.exe --second-family or
// --third-family <report>), where the doubles' journal counts only this session's pictures and
// sound, and whatever the graphs leave running ends with the process.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>

#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/module.h"
#include "devices/idl/device_manager.h"
#include "sim/card/picture_testing.h"
#include "sim/card/sim_card.h"
#include "sim/demo/demo_support.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/live_preview.h"

namespace demo {
namespace {

using Microsoft::WRL::ComPtr;

// {95405826-AFA1-439B-942A-039C7C3909B2}
constexpr DeviceClass kRulClass = {
    {0x95405826, 0xafa1, 0x439b, {0x94, 0x2a, 0x03, 0x9c, 0x7c, 0x39, 0x09, 0xb2}}, L"rulDeviceManager", L"rulDevice.dll"};
// {ABB1B82E-1C49-4213-A0EF-60A37AADF05C}
constexpr DeviceClass kPexClass = {
    {0xabb1b82e, 0x1c49, 0x4213, {0xa0, 0xef, 0x60, 0xa3, 0x7a, 0xad, 0xf0, 0x5c}}, L"pexDeviceManager", L"pexDevice.dll"};

constexpr UINT kRulCard = 1, kPexCard = 2;  // card 0 is the first family's
constexpr LONG kTuners = 2;
constexpr long kCapsSystemRenderer = 0x200;
constexpr ULONG kModeSystemRenderer = 0x40;           // the system's renderer (the platform's stand-in)
constexpr ULONG kStations[kTuners] = {91250000, 103250000};  // band 1, one for each tuner
constexpr DWORD kRecordMs = 2000;
constexpr DWORD kFirstFramesMs = 10000;  // starting a graph can take seconds on a busy machine
constexpr DWORD kPreviewEventMs = 5000;
// The third family's driver blocks: tuner and both external inputs with both switches; band 1
// from 91.25 MHz, channels 1 to 12 (antenna) and 13 to 63 (cable).
constexpr std::uint32_t kPexBlockA[3] = {0, 7, 0xC0};
constexpr std::uint32_t kPexBlockB[8] = {1, 91250000, 767250000, 62500, 1, 12, 13, 63};

using RegisterFamilyCardFn = decltype(&SimCard_RegisterFamilyCard);
using KsDataFn = decltype(&SimCard_GetKsData);

bool RegisterFamily(Session& session, const wchar_t* module, UINT card, UINT family, UINT tuners) {
  HMODULE loaded = nullptr;
  if (!RegisterInproc(session, module, &loaded)) return false;
  // simcard.dll was registered (and stays loaded) for the first family's step.
  const HMODULE cardModule = GetModuleHandleW(L"simcard.dll");
  const auto registerCard = cardModule ? GetProcAs<RegisterFamilyCardFn>(cardModule, "SimCard_RegisterFamilyCard") : nullptr;
  if (!session.verdict.Check(FormatW(L"simcard.dll: card %u in the device categories under family %u's names", card, family),
                             registerCard ? registerCard(card, family, tuners, TRUE) : HResultFromWin32(ERROR_PROC_NOT_FOUND)))
    return false;
  session.undo.Add(FormatW(L"simcard.dll: card %u out of the device categories", card),
                   [registerCard, card, family, tuners] { return registerCard(card, family, tuners, FALSE); });
  return true;
}

// In a family's process: the card's capture path, known to the driver stand-in.
bool OpenCard(Verdict& verdict, HMODULE cardModule, UINT index, std::wstring* path, UINT* card) {
  const auto cardPath = cardModule ? GetProcAs<CardPathFn>(cardModule, "SimCard_GetDevicePath") : nullptr;
  wchar_t capture[300] = {};
  if (!verdict.Check(FormatW(L"simcard.dll: the capture path of card %u", index),
                     cardPath ? cardPath(index, kSimRoleCapture, capture, 300) : HResultFromWin32(ERROR_PROC_NOT_FOUND)) ||
      !verdict.Check(L"driver stand-in: connect", SimDriver_Connect(nullptr)) ||
      !verdict.Check(L"driver stand-in: the card is known", SUCCEEDED(SimDriver_AddCard(capture, card)) ? S_OK : E_FAIL))
    return false;
  *path = capture;
  Say(FormatW(L"    card %u: %ls", index, capture));
  return true;
}

// What the renderers of this process took: frames and PCM bytes (the doubles' journal).
struct Rendered {
  std::int64_t frames = doubles::Journal::Instance().Value(doubles::kValueVideoFrames);
  std::int64_t soundBytes = doubles::Journal::Instance().Value(doubles::kValueSoundBytes);
};

// The preview's first pictures at the renderer (bounded).
bool WaitForFrames(Verdict& verdict, const Rendered& before) {
  if (simcard_testing::WaitUntil([&] { return Rendered().frames > before.frames; }, kFirstFramesMs)) return true;
  verdict.Fail(FormatW(L"no picture reached the renderer within %lu ms", kFirstFramesMs));
  return false;
}

HWND OpenWindow(Verdict& verdict, simcard_testing::VideoWindow& window) {
  const HWND handle = window.Open();
  if (!handle) verdict.Fail(L"no window on the session's display");
  return handle;
}

ComPtr<IDevice> SetUp(Verdict& verdict, IDeviceSetup* setup, const sim_host::DeviceItemValues& values) {
  ComPtr<IHalItem> item;
  ComPtr<IDevice> device;
  if (!verdict.Check(L"device item of the host's item class", sim_host::MakeDeviceItem(values, &item)) ||
      !verdict.Check(L"IDeviceSetup::SetDeviceInfo(item)", setup->SetDeviceInfo(item.Get())) ||
      !verdict.Check(L"QueryInterface(IDevice)", setup->QueryInterface(IID_PPV_ARGS(device.GetAddressOf()))))
    return nullptr;
  Say(L"    interfaces available: " + InterfaceNames(device.Get(), verdict));
  return device;
}

// The host watches tuner 1 and then records it on the same object: the recording takes the
// tuner's picture, so the card stops the preview (its own device manager answering on its pipe)
// and, once the recording stops, signals the preview's event 7 that it may run again.
bool RecordingTakesTheTuner(Verdict& verdict, IDeviceSetup* setup, IDevice* device, HWND window) {
  const int failures = verdict.failures();
  Say(L"  tuner 1 watched, then recorded on the same object:");
  sim_host::LivePreview live([&](const std::wstring& action, HRESULT hr) { return verdict.Check(action, hr); });
  if (live.Open(setup, kStations[1], kModeSystemRenderer, window) && live.Run()) {
    IPreview* preview = live.preview();
    ULONG eventHandle = 0;
    verdict.Check(L"IPreview::GetNotifyEvent(7)", preview->GetNotifyEvent(7, &eventHandle));
    const HANDLE mayRunAgain = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(eventHandle));
    RecordingPlan plan;
    plan.prefix = L"tuner1-second-recording";
    plan.types = 1u << 1;
    plan.unlistedSubtype = E_INVALIDARG;
    plan.recordMs = kRecordMs / 2;
    plan.whileRecording = [&] {
      ULONG state = 9;
      if (verdict.Check(L"IPreview::GetState while recording", preview->GetState(&state)))
        Say(FormatW(L"    the preview is %ls (state %lu)", state == State_Stopped ? L"stopped by the recording" : L"still running",
                    state));
      if (state != State_Stopped) verdict.Fail(L"the recording of tuner 1 left its preview running");
    };
    RecordOutputData(verdict, device, plan);
    const bool signalled = mayRunAgain && WaitForSingleObject(mayRunAgain, kPreviewEventMs) == WAIT_OBJECT_0;
    Say(FormatW(L"    preview event 7 after the recording stopped: %ls", signalled ? L"signalled" : L"not signalled"));
    if (!signalled) verdict.Fail(L"the preview was not told that it may run again");
    const Rendered before;
    if (verdict.Check(L"IPreview::Run(0) again", preview->Run(0)) && WaitForFrames(verdict, before))
      Say(L"    the preview of tuner 1 shows pictures again");
  }
  verdict.Check(L"preview closed", live.Close() ? S_OK : E_FAIL);
  return verdict.failures() == failures;
}

void SecondFamilySession(Verdict& verdict) {
  UniqueModule cardModule(LoadLibraryW(BinPath(L"simcard.dll").c_str()));
  std::wstring path;
  UINT card = 0;
  if (!OpenCard(verdict, cardModule.get(), kRulCard, &path, &card)) return;
  ComPtr<IDeviceSetup> setups[kTuners];
  ComPtr<IDevice> devices[kTuners];
  for (LONG tuner = 0; tuner < kTuners; ++tuner) {
    Say(FormatW(L"  tuner %ld of %ld:", tuner, kTuners));
    sim_host::DeviceItemValues values;
    values.devicePath = path;
    values.name = std::to_wstring(tuner) + path;  // the entry the card's other objects find the tuner by
    values.boardType = 7;
    values.capabilities = kCapsSystemRenderer;
    values.functions = 9;
    values.tunerNumber = tuner;
    values.tunerCount = kTuners;
    if (!CreateDeviceManager(verdict, kRulClass, &setups[tuner])) return;
    devices[tuner] = SetUp(verdict, setups[tuner].Get(), values);
    if (!devices[tuner]) return;
  }
  {
    ComPtr<IUnknown> scan;
    verdict.Check(L"tuner 1: IDevice::GetInterface(IAutoScan) (the card's scan belongs to tuner 0)",
                  devices[1]->GetInterface(IID_IAutoScan, reinterpret_cast<void**>(scan.GetAddressOf())),
                  errors::kNoScanCapability);
  }

  // Tuner 1 tuned for its recording, tuner 0 previewed on a window meanwhile.
  simcard_testing::VideoWindow window;
  const HWND handle = OpenWindow(verdict, window);
  ComPtr<IInputSwitch> inputs;
  ComPtr<IHalItem> channel;
  if (!handle ||
      !verdict.Check(L"tuner 1: IDevice::GetInterface(IInputSwitch)",
                     devices[1]->GetInterface(IID_IInputSwitch, reinterpret_cast<void**>(inputs.GetAddressOf()))) ||
      !verdict.Check(L"tuner 1: IInputSwitch::Initialize(0)", inputs->Initialize(0)) ||
      !verdict.Check(L"channel item of the host's item class", sim_host::MakeChannelItem(1, kStations[1], &channel)) ||
      !verdict.Check(FormatW(L"tuner 1: IInputSwitch::SetChannel(band 1, %lu Hz)", kStations[1]), inputs->SetChannel(channel.Get())))
    return;
  Say(L"  tuner 0 previewed on a window while tuner 1 records:");
  const Rendered start;
  ULONG recorded = 0;
  std::int64_t frames = 0, soundBytes = 0;
  {
    sim_host::LivePreview live([&](const std::wstring& action, HRESULT hr) { return verdict.Check(action, hr); });
    if (live.Open(setups[0].Get(), kStations[0], kModeSystemRenderer, handle) && live.Run() && WaitForFrames(verdict, start)) {
      for (LONG tuner = 0; tuner < kTuners; ++tuner) {
        SimDriverTunerState state{};
        if (verdict.Check(FormatW(L"driver stand-in: tuner %ld's state", tuner), SimDriver_GetTunerState(card, tuner, &state)))
          Say(FormatW(L"    tuner %ld is tuned to %u Hz", tuner, state.frequency));
      }
      RecordingPlan plan;
      plan.prefix = L"tuner1-recording";
      plan.unlistedSubtype = E_INVALIDARG;
      plan.recordMs = kRecordMs;
      recorded = RecordOutputData(verdict, devices[1].Get(), plan);
      const Rendered now;
      frames = now.frames - start.frames;
      soundBytes = now.soundBytes - start.soundBytes;
      Say(FormatW(L"    meanwhile tuner 0's preview: %lu frames at the renderer, %lu bytes of PCM at the audio renderer",
                  static_cast<unsigned long>(frames), static_cast<unsigned long>(soundBytes)));
    }
    verdict.Check(L"tuner 0: preview closed", live.Close() ? S_OK : E_FAIL);
  }
  const bool taken = RecordingTakesTheTuner(verdict, setups[1].Get(), devices[1].Get(), handle);
  verdict.Check(L"tuner 1: IInputSwitch::Uninitialize(0)", inputs->Uninitialize(0));
  inputs.Reset();
  for (LONG tuner = 0; tuner < kTuners; ++tuner) {
    devices[tuner].Reset();
    setups[tuner].Reset();
  }
  Say(L"  released both rulDeviceManager objects");
  Say(FormatW(L"  summary: tuner 0 previewed %lu Hz: %lu frames, %lu bytes of PCM", kStations[0],
              static_cast<unsigned long>(frames), static_cast<unsigned long>(soundBytes)));
  Say(FormatW(L"  summary: tuner 1 recorded %lu Hz: %lu bytes into tuner1-recording-*; %ls", kStations[1], recorded,
              taken ? L"its own recording stopped its preview, which ran again after it" : L"watching and recording it FAILED"));
}

void ThirdFamilySession(Verdict& verdict) {
  UniqueModule cardModule(LoadLibraryW(BinPath(L"simcard.dll").c_str()));
  std::wstring path;
  UINT card = 0;
  ComPtr<IDeviceSetup> setup;
  if (!OpenCard(verdict, cardModule.get(), kPexCard, &path, &card) ||
      !verdict.Check(L"driver stand-in: the card's information blocks", SimDriver_SetDeviceInfo(card, kPexBlockA, kPexBlockB)) ||
      !CreateDeviceManager(verdict, kPexClass, &setup))
    return;
  sim_host::DeviceItemValues values;
  values.devicePath = path;
  values.boardType = 18;
  values.capabilities = kCapsSystemRenderer;
  values.functions = 3;
  ComPtr<IDevice> device = SetUp(verdict, setup.Get(), values);
  if (!device) return;
  SimDriverFirmwareBlock blocks[kSimDriverMaxFirmwareBlocks] = {};
  UINT count = 0;
  if (verdict.Check(L"driver stand-in: the firmware it received",
                    SimDriver_ReadFirmwareBlocks(card, blocks, kSimDriverMaxFirmwareBlocks, &count))) {
    Say(FormatW(L"    firmware blocks downloaded to the driver stand-in: %u", count));
    for (UINT i = 0; i < count; ++i)
      Say(FormatW(L"      block %u: parameter 0x%X, %u bytes, hash 0x%08X", i, blocks[i].parameter, blocks[i].length,
                  blocks[i].hash));
    if (count == 0) verdict.Fail(L"no firmware reached the driver");
  }

  simcard_testing::VideoWindow window;
  const HWND handle = OpenWindow(verdict, window);
  if (!handle) return;
  const Rendered start;
  ULONG recorded = 0;
  std::int64_t frames = 0, soundBytes = 0;
  DWORD tuned = 0;
  {
    sim_host::LivePreview live([&](const std::wstring& action, HRESULT hr) { return verdict.Check(action, hr); });
    if (live.Open(setup.Get(), kStations[0], kModeSystemRenderer, handle) && live.Run() && WaitForFrames(verdict, start)) {
      // The third family tunes through the card's tuner property (set 1: the frequency).
      const auto ksData = GetProcAs<KsDataFn>(cardModule.get(), "SimCard_GetKsData");
      LONG frequency[2] = {};
      if (verdict.Check(L"simcard.dll: the card's tuner frequency property",
                        ksData ? ksData(path.c_str(), &kSimKsTunerSet, 1, frequency, 2) : HResultFromWin32(ERROR_PROC_NOT_FOUND))) {
        tuned = static_cast<DWORD>(frequency[0]);
        Say(FormatW(L"    the card is tuned to %lu Hz", tuned));
      }
      RecordingPlan plan;
      plan.prefix = L"pex-recording";
      plan.unlistedSubtype = E_INVALIDARG;
      plan.recordMs = kRecordMs;
      recorded = RecordOutputData(verdict, device.Get(), plan);
      const Rendered now;
      frames = now.frames - start.frames;
      soundBytes = now.soundBytes - start.soundBytes;
    }
    verdict.Check(L"preview closed", live.Close() ? S_OK : E_FAIL);
  }
  device.Reset();
  setup.Reset();
  Say(L"  released pexDeviceManager");
  Say(FormatW(L"  summary: firmware blocks %u; tuned to %lu Hz; previewed %lu frames and %lu bytes of PCM; recorded %lu bytes "
              L"into pex-recording-*",
              count, static_cast<unsigned long>(tuned), static_cast<unsigned long>(frames),
              static_cast<unsigned long>(soundBytes), recorded));
}

}  // namespace

void SecondFamilyStep(Session& session) {
  Step(L"Second family: rulDeviceManager on a simulated card with two tuners");
  if (!RegisterFamily(session, L"rulDevice.dll", kRulCard, kSimFamilyRul, kTuners)) return;
  const ULONGLONG start = GetTickCount64();
  RunPreviewProcess(session.verdict, L"--second-family", L"second-family.txt");
  Say(FormatW(L"  the session's process ran for %lu ms", MsSince(start)));
}

int SecondFamilyProcess(const std::wstring& reportPath) { return ReportProcess(reportPath, SecondFamilySession); }

void ThirdFamilyStep(Session& session) {
  Step(L"Third family: pexDeviceManager on a simulated card with its firmware");
  if (!RegisterFamily(session, L"pexDevice.dll", kPexCard, kSimFamilyPex, 1)) return;
  const ULONGLONG start = GetTickCount64();
  RunPreviewProcess(session.verdict, L"--third-family", L"third-family.txt");
  Say(FormatW(L"  the session's process ran for %lu ms", MsSince(start)));
}

int ThirdFamilyProcess(const std::wstring& reportPath) { return ReportProcess(reportPath, ThirdFamilySession); }

}  // namespace demo

// Live television as a host shows it: tamDeviceManager previews the tuned channel of the
// simulated card on a window of the session's display, with its sound going to the simulated
// audio renderer; a picture of the window is kept as a PNG file in the run directory.
//
// The preview runs in a process of its own (vorn_demo.exe --live-preview <report>): once
// Direct3D has run in a process, Wine may end that process abruptly on its way out, and the
// demo's own exit code must stay the verdict. The session registers what the preview needs
// (the outside filters' doubles, the platform's stand-ins, the sound path's settings and the
// choice of the system's deinterlacer); the preview process writes its lines to the report,
// which the session prints.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

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
#include "sim/host/png_file.h"
#include "sim/host/registry_journal.h"
#include "sim/host/sim_environment.h"

namespace demo {
namespace {

using Microsoft::WRL::ComPtr;

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
constexpr CLSID kClsidTamDeviceManager = {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
constexpr ULONG kStation = 91250000;  // the first station the card receives
constexpr ULONG kWindowMode = 0x50;   // the mixing renderer 9 on the host's window
constexpr DWORD kPreviewMs = 3000;
constexpr DWORD kProcessMs = 120000;  // starting Direct3D alone can take seconds
constexpr wchar_t kPictureFile[] = L"live-preview.png";

// The simulated card's entry points, from the module COM loaded for the card's filters.
struct CardModule {
  using PathFn = CardPathFn;
  using CountersFn = decltype(&SimCard_GetCounters);
  using PictureFn = decltype(&SimCard_GetPicture);

  explicit CardModule(HMODULE module)
      : path(GetProcAs<PathFn>(module, "SimCard_GetDevicePath")),
        counters(GetProcAs<CountersFn>(module, "SimCard_GetCounters")),
        picture(GetProcAs<PictureFn>(module, "SimCard_GetPicture")) {}
  bool ok() const { return path && counters && picture; }

  PathFn path;
  CountersFn counters;
  PictureFn picture;
};

SimCardCounters Counters(const CardModule& card, const std::wstring& path) {
  SimCardCounters counters{};
  card.counters(path.c_str(), &counters);
  return counters;
}

// Runs the preview on `window` for a few seconds and reports what it showed and played.
void ShowLiveTv(Verdict& verdict, IDeviceSetup* setup, const CardModule& card, const std::wstring& path,
                simcard_testing::VideoWindow& window, HWND handle) {
  sim_host::LivePreview live([&](const std::wstring& action, HRESULT hr) { return verdict.Check(action, hr); });
  if (live.Open(setup, kStation, kWindowMode, handle)) {
    const SimCardCounters before = Counters(card, path);
    const std::int64_t soundBefore = doubles::Journal::Instance().Value(doubles::kValueSoundBytes);
    if (live.Run()) {
      const std::wstring deinterlacer = LoadedDeinterlacer();
      Say(L"    deinterlacer: " + (deinterlacer.empty() ? std::wstring(L"none") : deinterlacer));
      SimCardPicture expected{};
      card.picture(path.c_str(), &expected);
      simcard_testing::PictureCheck check;
      const ULONGLONG start = GetTickCount64();
      // The whole preview time, or until the channel shows when that takes longer.
      simcard_testing::WaitUntil(
          [&] {
            check = simcard_testing::Check(simcard_testing::ScreenCopy::Of(window.ScreenRect()), expected);
            return check.Shows() && GetTickCount64() - start >= kPreviewMs;
          },
          simcard_testing::kPictureMs);
      const SimCardCounters after = Counters(card, path);
      Say(FormatW(L"    previewed for %lu ms: %u frames rendered; %u sound buffers captured, %lu bytes of PCM played "
                  L"by the audio renderer",
                  MsSince(start), after.videoFrames - before.videoFrames, after.audioBuffers - before.audioBuffers,
                  static_cast<unsigned long>(doubles::Journal::Instance().Value(doubles::kValueSoundBytes) - soundBefore)));
      _SHAL_INPUT_AUDIOMODE input{};
      _SHAL_OUTPUT_AUDIOMODE output{};
      if (verdict.Check(L"IPreview::GetCurrentInputAudioMode", live.preview()->GetCurrentInputAudioMode(&input)) &&
          verdict.Check(L"IPreview::GetCurrentOutputAudioMode", live.preview()->GetCurrentOutputAudioMode(&output)))
        Say(FormatW(L"    audio mode: input {%lu, %lu, %lu}, output {%lu, %lu}", input.mainL, input.mainR, input.sub,
                    output.lineL, output.lineR));

      const simcard_testing::ScreenCopy copy = simcard_testing::ScreenCopy::Of(window.ScreenRect());
      const std::wstring picture = RunFolder() + L"\\" + kPictureFile;
      if (verdict.Check(FormatW(L"picture of the window (%dx%d) saved as %ls", copy.width, copy.height, picture.c_str()),
                        sim_host::WritePng(picture, copy.width, copy.height, copy.pixels.data()))) {
        if (check.Shows()) {
          Say(FormatW(L"    the window shows the tuned channel: upper part (%u,%u,%u), band (%u,%u,%u)",
                      expected.top[0], expected.top[1], expected.top[2], expected.bottom[0], expected.bottom[1],
                      expected.bottom[2]));
        } else {
          const std::string text = simcard_testing::Describe(check, expected);
          verdict.Fail(L"the window does not show the tuned channel: " + std::wstring(text.begin(), text.end()));
        }
      }
      if (doubles::Journal::Instance().Value(doubles::kValueSoundBytes) == soundBefore)
        verdict.Fail(L"no sound reached the audio renderer");
    }
  }
  live.Close();
}

}  // namespace

bool CreateDeviceManager(Verdict& verdict, const DeviceClass& deviceClass, ComPtr<IDeviceSetup>* setup) {
  UINT patched = 0;
  return verdict.Check(FormatW(L"CoCreateInstance(%ls, in-process)", deviceClass.name),
                       CoCreateInstance(deviceClass.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                        reinterpret_cast<void**>(setup->ReleaseAndGetAddressOf()))) &&
         verdict.Check(FormatW(L"driver stand-in: attach to this process's %ls", deviceClass.module),
                       SimDriver_Attach(GetModuleHandleW(deviceClass.module), &patched));
}

bool OpenCardDevice(Verdict& verdict, CardPathFn cardPath, long capabilities, std::wstring* path,
                    ComPtr<IDeviceSetup>* setup, ComPtr<IHalItem>* item) {
  wchar_t capture[300] = {};
  UINT index = 0;
  sim_host::DeviceItemValues values;
  values.capabilities = capabilities;
  if (!verdict.Check(L"simcard.dll: the capture path of card 0", cardPath(0, kSimRoleCapture, capture, 300)) ||
      !verdict.Check(L"driver stand-in: connect", SimDriver_Connect(nullptr)) ||
      !verdict.Check(L"driver stand-in: the card is known", SUCCEEDED(SimDriver_AddCard(capture, &index)) ? S_OK : E_FAIL) ||
      !CreateDeviceManager(verdict, {kClsidTamDeviceManager, L"tamDeviceManager", L"tamDevice.dll"}, setup))
    return false;
  *path = capture;
  values.devicePath = capture;
  return verdict.Check(L"device item of the host's item class", sim_host::MakeDeviceItem(values, item)) &&
         verdict.Check(L"IDeviceSetup::SetDeviceInfo(item)", (*setup)->SetDeviceInfo(item->Get()));
}

int ReportProcess(const std::wstring& reportPath, const std::function<void(Verdict&)>& body) {
  FILE* report = _wfopen(reportPath.c_str(), L"w");
  if (!report) return 2;
  SayTo(report);
  Verdict verdict;
  if (verdict.Check(L"CoInitializeEx(multithreaded)", CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    body(verdict);
    CoUninitialize();
  }
  SayTo(nullptr);
  std::fclose(report);
  return verdict.failures();
}

int LivePreviewProcess(const std::wstring& reportPath) {
  return ReportProcess(reportPath, [](Verdict& verdict) {
    // The card's module, as COM loads it for the filters.
    UniqueModule cardModule(LoadLibraryW(BinPath(L"simcard.dll").c_str()));
    const CardModule card(cardModule.get());
    std::wstring path;
    ComPtr<IDeviceSetup> setup;
    ComPtr<IHalItem> item;
    simcard_testing::VideoWindow window;
    HWND handle = nullptr;
    if (!card.ok()) {
      verdict.Fail(L"simcard.dll lacks its entry points");
    } else if (OpenCardDevice(verdict, card.path, 0, &path, &setup, &item)) {
      handle = window.Open();
      if (!handle) {
        verdict.Fail(L"no window on the session's display");
      } else {
        Say(FormatW(L"    a %dx%d window on the session's display", simcard_testing::VideoWindow::kWidth,
                    simcard_testing::VideoWindow::kHeight));
        ShowLiveTv(verdict, setup.Get(), card, path, window, handle);
      }
    }
    setup.Reset();
    item.Reset();
    Say(L"  released tamDeviceManager");
  });
}

void LivePreviewStep(Session& session) {
  Verdict& verdict = session.verdict;
  Step(L"Live TV: tamDeviceManager previews the tuned channel on a window");
  HMODULE filters = nullptr, platform = nullptr;
  if (!RegisterInproc(session, L"filterdoubles.dll", &filters)) return;
  if (!RegisterInproc(session, DOUBLES_PLATFORM_FILE, &platform)) return;
  auto settings = std::make_shared<sim_host::RegistryJournal>();
  const HRESULT bypass = sim_host::BypassSound(*settings);
  session.undo.Add(L"sound path and deinterlacer settings put back", [settings] { return settings->Restore(); });
  if (!verdict.Check(L"sound path to \"DirectSound: SimSound\" (bypassing the audio filter driver)", bypass)) return;
  // The system's own deinterlacer, as on the picture board.
  if (!verdict.Check(L"deinterlacer chosen (Qfa Tesk = 1)", settings->SetDword(sim_host::BoardInfoKey(), L"Qfa Tesk", 1)))
    return;

  RunPreviewProcess(verdict, L"--live-preview", L"live-preview.txt");
}

void RunPreviewProcess(Verdict& verdict, const wchar_t* switchText, const wchar_t* reportName) {
  const std::wstring report = RunFolder() + L"\\" + reportName;
  DWORD code = STILL_ACTIVE;
  const HRESULT ran = RunProgram(BinPath(L"vorn_demo.exe"), FormatW(L"%ls \"%ls\"", switchText, report.c_str()), &code,
                                 kProcessMs);
  // The preview process's own lines.
  if (FILE* file = _wfopen(report.c_str(), L"r")) {
    char line[1024];
    while (std::fgets(line, sizeof(line), file)) {
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      Say(std::wstring(text.begin(), text.end()));
    }
    std::fclose(file);
  }
  if (verdict.Check(FormatW(L"%ls process ran", switchText), ran) && code != 0)
    verdict.Fail(FormatW(L"the %ls process reported %lu failures", switchText, code));
}

}  // namespace demo

// How long a host waits for live television: the time from IPreview::Run to the first frame at
// the renderer, measured on tamDevice.dll with the simulated environment, and where it goes.
// Prints the figures; not a test. Run it inside a Wine session:
//   scripts/wine-session.sh tools/winerun <bin>/tam_preview_bench.exe [runs]
//
// The marks of each run, on one clock (QueryPerformanceCounter), in the order a first frame
// passes them:
//   - IPreview::Run called (the host);
//   - the graph pauses, and then runs, the video pacer: its release-trace records
//     "VideoPacer::Pause()" and "VideoPacer::Run()" [IN], taken from the debugger output as it
//     is written (the trace is switched on for the debugger only);
//   - the first frame out of the capture pin (the simulated card's frame counter), at the
//     renderer's input, and taken by the renderer at its time (the renderer stand-in's journal
//     values), polled about every millisecond from a thread of the bench.
// Each stage runs from the mark before it, so the stages of a run add up to its total.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "common/module.h"
#include "common/path.h"
#include "sim/card/sim_card.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/live_preview.h"
#include "sim/host/sim_environment.h"

namespace {

using Microsoft::WRL::ComPtr;

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
constexpr CLSID kClsidTamDeviceManager = {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
constexpr ULONG kStation = 91250000;
constexpr ULONG kCapsSystemRenderer = 0x200;
constexpr ULONG kModeSystemRenderer = 0x40;
constexpr DWORD kFrameWaitMs = 10000;

LONGLONG Now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

double Ms(LONGLONG from, LONGLONG to) {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  return 1000.0 * static_cast<double>(to - from) / frequency;
}

// --- the trace marks ---------------------------------------------------------------------------

enum TraceMark { kPacerPause, kPacerRun, kTraceMarks };
constexpr const char* kTraceRecords[kTraceMarks] = {"\"VideoPacer::Pause()\",[IN]", "\"VideoPacer::Run()\",[IN]"};

// The first time each record was written since the marks were cleared (0: not yet). The
// handler runs on the writing thread, inside OutputDebugString.
std::atomic<LONGLONG> g_traceMarks[kTraceMarks];

bool Holds(const char* text, size_t length, const char* needle) {
  return std::search(text, text + length, needle, needle + std::strlen(needle)) != text + length;
}

bool HoldsWide(const wchar_t* text, size_t length, const char* needle) {
  const std::wstring wide(needle, needle + std::strlen(needle));
  return std::search(text, text + length, wide.begin(), wide.end()) != text + length;
}

// Debugger output raises a continuable exception carrying the text: narrow under Wine, wide
// (0x4001000A) first on Windows.
LONG CALLBACK OnDebugText(EXCEPTION_POINTERS* info) {
  constexpr DWORD kNarrow = 0x40010006;
  constexpr DWORD kWide = 0x4001000A;
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if ((record->ExceptionCode != kNarrow && record->ExceptionCode != kWide) || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const LONGLONG now = Now();
  const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
  const auto address = record->ExceptionInformation[1];
  for (int mark = 0; mark < kTraceMarks; ++mark) {
    const bool found = record->ExceptionCode == kWide
                           ? HoldsWide(reinterpret_cast<const wchar_t*>(address), length, kTraceRecords[mark])
                           : Holds(reinterpret_cast<const char*>(address), length, kTraceRecords[mark]);
    LONGLONG none = 0;
    if (found) g_traceMarks[mark].compare_exchange_strong(none, now);
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

// --- the stream marks ----------------------------------------------------------------------------

enum StreamMark { kCaptured, kArrived, kShown, kStreamMarks };

// Polls the counters from before a run until the renderer has taken a frame (or the wait ends):
// the first time each one moved. The card's counters come from the registered copy of
// simcard.dll, which the environment keeps loaded.
class StreamWatch {
 public:
  explicit StreamWatch(std::wstring capturePath)
      : capturePath_(std::move(capturePath)),
        counters_(GetProcAs<decltype(&SimCard_GetCounters)>(GetModuleHandleW(L"simcard.dll"), "SimCard_GetCounters")) {}
  bool ready() const { return counters_ != nullptr; }

  void Start() {
    for (auto& mark : marks_) mark = 0;
    for (int i = 0; i < kStreamMarks; ++i) before_[i] = Read(static_cast<StreamMark>(i));
    thread_ = CreateThread(nullptr, 0, &StreamWatch::Poll, this, 0, nullptr);
  }
  // Waits for the poller; true when every mark came.
  bool Finish() {
    if (thread_) {
      WaitForSingleObject(thread_, INFINITE);
      CloseHandle(thread_);
      thread_ = nullptr;
    }
    return marks_[kShown] != 0;
  }
  LONGLONG mark(StreamMark which) const { return marks_[which]; }

 private:
  std::int64_t Read(StreamMark which) const {
    auto& journal = doubles::Journal::Instance();
    switch (which) {
      case kCaptured: {
        SimCardCounters counters{};
        return SUCCEEDED(counters_(capturePath_.c_str(), &counters)) ? counters.videoFrames : 0;
      }
      case kArrived: return journal.Value(doubles::kValueVideoArrivals);
      default: return journal.Value(doubles::kValueVideoFrames);
    }
  }
  static DWORD WINAPI Poll(void* self) {
    auto* watch = static_cast<StreamWatch*>(self);
    const ULONGLONG end = GetTickCount64() + kFrameWaitMs;
    while (watch->marks_[kShown] == 0 && GetTickCount64() < end) {
      for (int i = 0; i < kStreamMarks; ++i) {
        if (watch->marks_[i] == 0 && watch->Read(static_cast<StreamMark>(i)) != watch->before_[i]) {
          watch->marks_[i] = Now();
        }
      }
      Sleep(1);
    }
    return 0;
  }

  std::wstring capturePath_;
  decltype(&SimCard_GetCounters) counters_;
  std::int64_t before_[kStreamMarks] = {};
  LONGLONG marks_[kStreamMarks] = {};
  HANDLE thread_ = nullptr;
};

// --- the figures ----------------------------------------------------------------------------------

struct Stage {
  const char* name;
  std::vector<double> figures;
};

void PrintStage(const Stage& stage) {
  std::vector<double> sorted = stage.figures;
  std::sort(sorted.begin(), sorted.end());
  std::printf("  %-66s %7.1f %7.1f %7.1f\n", stage.name, sorted.front(), sorted[sorted.size() / 2], sorted.back());
}

int Measure(int runs) {
  sim_host::SimEnvironment env(ModulePath::OfProcess().GetDirectory().str());
  if (FAILED(env.Install({0})) || FAILED(env.BypassSound()) || FAILED(env.SetTrace(1, L""))) {
    std::printf("environment: %ls\n", env.error().c_str());
    return 1;
  }
  ComPtr<IDeviceSetup> setup;
  ComPtr<IHalItem> item;
  sim_host::DeviceItemValues values;
  values.devicePath = env.DevicePath(0);
  values.capabilities = kCapsSystemRenderer;
  if (FAILED(CoCreateInstance(kClsidTamDeviceManager, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                              reinterpret_cast<void**>(setup.GetAddressOf()))) ||
      FAILED(env.AttachDriver(nullptr)) || FAILED(sim_host::MakeDeviceItem(values, &item)) ||
      FAILED(setup->SetDeviceInfo(item.Get()))) {
    std::printf("no device object for the simulated card: %ls\n", env.error().c_str());
    return 1;
  }
  sim_host::LivePreview live([](const std::wstring& action, HRESULT hr) {
    if (FAILED(hr)) std::printf("%ls: 0x%08lX\n", action.c_str(), static_cast<unsigned long>(hr));
    return SUCCEEDED(hr);
  });
  void* handler = AddVectoredExceptionHandler(1, &OnDebugText);
  const LONGLONG opening = Now();
  if (!live.Open(setup.Get(), kStation, kModeSystemRenderer, GetDesktopWindow())) return 1;
  const double setupMs = Ms(opening, Now());

  Stage connections{"connections: chain, audio link, sound path; until the graph pauses", {}};
  Stage pause{"pause: the graph pauses its filters, until it runs the pacer", {}};
  Stage run{"run: until the first frame out of the capture pin", {}};
  Stage pacer{"first frame from the capture pin to the renderer (video pacer)", {}};
  Stage held{"the renderer holds it until its time (the video pacer's delay)", {}};
  Stage total{"total: IPreview::Run to the first frame at the renderer", {}};
  Stage returned{"(IPreview::Run returned after)", {}};
  Stage lead{"(graph start time ahead of its clock: the platform's start offset)", {}};
  StreamWatch watch(env.DevicePath(0));
  if (!watch.ready()) {
    std::printf("simcard.dll: no SimCard_GetCounters\n");
    return 1;
  }
  auto& journal = doubles::Journal::Instance();
  for (int attempt = 0; attempt < runs; ++attempt) {
    for (auto& mark : g_traceMarks) mark = 0;
    watch.Start();
    const LONGLONG start = Now();
    const HRESULT hr = live.preview()->Run(0);
    const LONGLONG back = Now();
    const bool shown = watch.Finish();
    const LONGLONG marks[] = {start, g_traceMarks[kPacerPause], g_traceMarks[kPacerRun], watch.mark(kCaptured),
                              watch.mark(kArrived), watch.mark(kShown)};
    if (FAILED(hr)) break;
    live.preview()->Stop(0);
    if (!shown || std::find(std::begin(marks), std::end(marks), 0) != std::end(marks)) {
      std::printf("run %d: no frame within %lu ms, or a mark missing\n", attempt + 1, kFrameWaitMs);
      continue;
    }
    // A mark polled later than the next one came (both in one poll) counts from that one.
    LONGLONG previous = start;
    Stage* stages[] = {&connections, &pause, &run, &pacer, &held};
    for (int i = 0; i < 5; ++i) {
      const LONGLONG at = std::max(previous, marks[i + 1]);
      stages[i]->figures.push_back(Ms(previous, at));
      previous = at;
    }
    total.figures.push_back(Ms(start, marks[5]));
    returned.figures.push_back(Ms(start, back));
    lead.figures.push_back(static_cast<double>(journal.Value(doubles::kValueVideoStartLead)) / 10000.0);
  }
  RemoveVectoredExceptionHandler(handler);
  live.Close();
  setup.Reset();
  if (total.figures.empty()) return 1;

  std::printf("Where the time from IPreview::Run to the first frame at the renderer goes, %u runs (ms; the\n"
              "stream marks are polled about every millisecond):\n",
              static_cast<unsigned>(total.figures.size()));
  std::printf("  %-66s %7s %7s %7s\n", "stage", "min", "median", "max");
  std::printf("  %-66s %7s %7s %7s\n", "graph build: none inside Run; the host's setup before the runs", "", "", "");
  std::printf("  %-66s %7.1f\n", "  (input switch, channel, IPreview, window, sound), once", setupMs);
  for (const Stage* stage : {&connections, &pause, &run, &pacer, &held, &total, &returned, &lead}) PrintStage(*stage);
  std::vector<double> sorted = total.figures;
  std::sort(sorted.begin(), sorted.end());
  std::printf("IPreview::Run to the first frame at the renderer, %u runs: min %.1f ms, median %.1f ms, max %.1f ms\n",
              static_cast<unsigned>(sorted.size()), sorted.front(), sorted[sorted.size() / 2], sorted.back());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int runs = argc > 1 ? std::max(1, static_cast<int>(std::wcstol(argv[1], nullptr, 10))) : 10;
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  const int rc = Measure(runs);
  CoUninitialize();
  return rc;
}

// How long a host waits for live television: the time from IPreview::Run to the first frame at
// the renderer, measured on tamDevice.dll with the simulated environment (the system renderer's
// stand-in counts the frames it takes). Prints the figures; not a test. Run it inside a Wine
// session: scripts/wine-session.sh tools/winerun <bin>/tam_preview_bench.exe [runs]
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "common/module.h"
#include "common/path.h"
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

double Ms(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int Measure(int runs) {
  sim_host::SimEnvironment env(ModulePath::OfProcess().GetDirectory().str());
  if (FAILED(env.Install({0})) || FAILED(env.BypassSound())) {
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
  if (!live.Open(setup.Get(), kStation, kModeSystemRenderer, GetDesktopWindow())) return 1;
  std::vector<double> figures;
  auto& journal = doubles::Journal::Instance();
  for (int run = 0; run < runs; ++run) {
    const std::int64_t before = journal.Value(doubles::kValueVideoFrames);
    LARGE_INTEGER start, now;
    QueryPerformanceCounter(&start);
    if (FAILED(live.preview()->Run(0))) break;
    const ULONGLONG end = GetTickCount64() + kFrameWaitMs;
    while (journal.Value(doubles::kValueVideoFrames) == before && GetTickCount64() < end) Sleep(1);
    QueryPerformanceCounter(&now);
    if (journal.Value(doubles::kValueVideoFrames) == before) {
      std::printf("run %d: no frame within %lu ms\n", run + 1, kFrameWaitMs);
    } else {
      figures.push_back(Ms(start, now));
    }
    live.preview()->Stop(0);
  }
  live.Close();
  setup.Reset();
  if (figures.empty()) return 1;
  std::vector<double> sorted = figures;
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

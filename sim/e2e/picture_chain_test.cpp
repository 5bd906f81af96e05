// The picture chain as a host sees it, with the real modules everywhere the system has them:
// tamDeviceManager on the simulated card, its first family's video chain with the deinterlacer it
// loads from QfaTesk.ax beside it (bin\e2e holds the device manager with the real module), the
// system's renderer VornVRen.ax, the preview control VornConEx.dll over the board control
// VornCon.dll, the port server VornPort.exe on the session's COM1, and the simulated board on its
// pty. What the board receives is read from its frame log; what the renderer received, from its
// frame dumps.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <algorithm>
#include <string>
#include <vector>

#include "board/board_test_support.h"
#include "common/errors.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/dump_drive.h"
#include "sim/board/board_sim_client.h"
#include "sim/card/picture_testing.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/live_preview.h"
#include "sim/host/sim_environment.h"
#include "portserver/VornPort.h"

namespace {

using Microsoft::WRL::ComPtr;

// {DFD021C0-14CE-47DD-9792-ACE51354850D}
constexpr CLSID kClsidTamDeviceManager = {0xdfd021c0, 0x14ce, 0x47dd, {0x97, 0x92, 0xac, 0xe5, 0x13, 0x54, 0x85, 0x0d}};
constexpr ULONG kStation = 91250000;
constexpr long kCapsSystemRenderer = 0x200;
constexpr ULONG kModeBoardRenderer = 0x10;  // the board's renderer, with the board info's deinterlacer
constexpr DWORD kWaitMs = 10000;

// Board registers (frame log addresses).
constexpr int kSource = 0x5000, kViewPosition = 0x5040, kViewSize = 0x5160, kMute = 0x50E4;

// The real modules the chain reaches, registered as regsvr32 would (the renderer's registration
// replaces the system renderer's stand-in of the doubles).
const wchar_t* const kChainModules[] = {L"VornCon.dll", L"VornConEx.dll", L"VornVRen.ax"};

using board_testing::Get11;
using board_testing::HostWindow;

// A tamDeviceManager object given the card's item, the driver stand-in attached to its module.
HRESULT CreateHost(const std::wstring& path, ComPtr<IDeviceSetup>* setup) {
  RETURN_IF_FAILED(CoCreateInstance(kClsidTamDeviceManager, nullptr, CLSCTX_INPROC_SERVER, IID_IDeviceSetup,
                                    reinterpret_cast<void**>(setup->ReleaseAndGetAddressOf())));
  UINT card = 0, patched = 0;
  RETURN_IF_FAILED(SimDriver_Connect(nullptr));
  RETURN_IF_FAILED(SimDriver_AddCard(path.c_str(), &card));
  RETURN_IF_FAILED(SimDriver_Attach(GetModuleHandleW(L"tamDevice.dll"), &patched));
  ComPtr<IHalItem> item;
  sim_host::DeviceItemValues values;
  values.devicePath = path;
  values.capabilities = kCapsSystemRenderer;
  RETURN_IF_FAILED(sim_host::MakeDeviceItem(values, &item));
  return (*setup)->SetDeviceInfo(item.Get());
}

// The chain's modules installed and registered, the board enabled with its panel file.
class ChainSession : public board_testing::OnTheBoard {
 protected:
  void SetUp() override {
    OnTheBoard::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    com_ = true;
    ASSERT_EQ(S_OK, env_.Install({0})) << testing::PrintToString(env_.error());
    ASSERT_EQ(S_OK, env_.BypassSound()) << testing::PrintToString(env_.error());
    for (const wchar_t* module : kChainModules) {
      ASSERT_EQ(S_OK, sim_host::CallServerEntry(testing_support::BinPath(module), "DllRegisterServer"))
          << testing::PrintToString(std::wstring(module));
      registeredModules_.push_back(module);
    }
    // The board enabled, the QfaTesk deinterlacer chosen, and the panel file beside VornCon.dll.
    ASSERT_EQ(S_OK, env_.registry().SetDword(sim_host::BoardInfoKey(), L"Kelv2", 1));
    ASSERT_EQ(S_OK, env_.registry().SetDword(sim_host::BoardInfoKey(), L"Qfa Tesk", 1));
    std::ofstream(Narrow(panelPath_), std::ios::binary) << board_testing::PanelFile();
    registers_ = board_.Registers();
    ASSERT_FALSE(registers_.empty());
  }
  void TearDown() override {
    setup_.Reset();
    for (auto it = registeredModules_.rbegin(); it != registeredModules_.rend(); ++it)
      sim_host::CallServerEntry(testing_support::BinPath(*it), "DllUnregisterServer");
    DeleteFileW(panelPath_.c_str());
    EXPECT_EQ(S_OK, env_.Remove()) << testing::PrintToString(env_.error());
    if (com_) CoUninitialize();
  }
  static std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }

  // Waits (bounded) until `done` holds for the board's log, looking again at each new frame.
  template <class Done>
  bool WaitForLog(Done done, DWORD timeoutMs = kWaitMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
      if (GetTickCount64() >= end) return false;
      board_.WaitForFrames("RX", "write", Requests("write").size() + 1, 100);
    }
    return true;
  }
  // The view the board holds: {left, top, width, height} on the panel.
  std::vector<int> View() {
    const auto r = board_.Registers();
    if (r.size() < size_t{kViewSize + 4}) return {};
    return {Get11(r, kViewPosition), Get11(r, kViewPosition + 2), Get11(r, kViewSize), Get11(r, kViewSize + 2)};
  }

  bool com_ = false;
  sim_host::SimEnvironment env_{testing_support::BinPath(L"e2e")};
  std::vector<const wchar_t*> registeredModules_;
  const std::wstring panelPath_ = testing_support::BinPath(board_testing::PanelFolder::kName);
  std::vector<std::uint8_t> registers_;
  ComPtr<IDeviceSetup> setup_;
};

// The host in the test's own process.
class PictureChain : public ChainSession {
 protected:
  void SetUp() override {
    ChainSession::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(S_OK, CreateHost(env_.DevicePath(0), &setup_));
  }
};

sim_host::HostCheck Expect() {
  return [](const std::wstring& action, HRESULT hr) {
    EXPECT_EQ(S_OK, hr) << testing::PrintToString(action);
    return hr == S_OK;
  };
}

// 1024 desktop rows onto the 768 panel rows (0.75), the 960 columns centred in 1366 (+203).
std::vector<int> PanelView(int x, int y, int w, int h) { return {x * 3 / 4 + 203, y * 3 / 4, w * 3 / 4, h * 3 / 4}; }

}  // namespace

TEST_F(PictureChain, PreviewReachesTheBoardFollowsTheWindowAndReleaseRestoresTheBoard) {
  HostWindow host(100, 200, 400, 300);
  ASSERT_NE(host.get(), nullptr);
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  {
    sim_host::LivePreview live(Expect());
    ASSERT_TRUE(live.Open(setup_.Get(), kStation, kModeBoardRenderer, host.get()));
    ASSERT_TRUE(live.Run());

    // Connecting the renderer: the view goes to the host window's place on the panel under a
    // mute that the mute timer (500 ms) lifts; the source is the whole 720 x 480 picture.
    const std::vector<int> view = PanelView(100, 200, 400, 300);
    EXPECT_TRUE(WaitForLog([&] { return Mutes().size() >= 2 && !Mutes().back() && View() == view; }))
        << "view " << testing::PrintToString(View()) << ", mutes " << testing::PrintToString(Mutes());
    std::vector<double> muteAt;
    for (const auto& f : Requests("write"))
      if (f.addr == kMute) muteAt.push_back(f.ms);
    ASSERT_GE(muteAt.size(), 2u);
    EXPECT_TRUE(Mutes()[Mutes().size() - 2]);
    EXPECT_GE(muteAt.back() - muteAt[muteAt.size() - 2], 400.0);  // 500 ms, less the board's timing slack
    const auto registers = board_.Registers();
    ASSERT_GT(registers.size(), size_t{kSource + 6});
    EXPECT_EQ(std::make_pair(Get11(registers, kSource + 2), Get11(registers, kSource + 4)), std::make_pair(720, 480));

    // Moving the window sends the view registers again.
    ASSERT_EQ(board_.Command("clear-log"), S_OK);
    ASSERT_TRUE(SetWindowPos(host.get(), nullptr, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    const std::vector<int> moved = PanelView(300, 200, 400, 300);
    EXPECT_TRUE(WaitForLog([&] { return !WritesAt(kViewPosition).empty() && View() == moved; }))
        << testing::PrintToString(View());

    EXPECT_TRUE(live.Close());
  }
  // The last object gone: the board's registers are as they were before the preview.
  setup_.Reset();
  const auto after = board_.Registers();
  ASSERT_EQ(after.size(), registers_.size());
  for (int addr : {kSource, kViewPosition, kViewSize, kMute, 0x505C}) {
    SCOPED_TRACE(addr);
    EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + addr, after.begin() + addr + 4),
              std::vector<std::uint8_t>(registers_.begin() + addr, registers_.begin() + addr + 4));
  }
}

TEST_F(PictureChain, TheHostsColourKeyAndWideZoomReachTheBoard) {
  HostWindow host(0, 0, 1280, 1024);
  ASSERT_NE(host.get(), nullptr);
  sim_host::LivePreview live(Expect());
  ASSERT_TRUE(live.Open(setup_.Get(), kStation, kModeBoardRenderer, host.get()));
  ASSERT_TRUE(live.Run());
  ComPtr<IPreviewWindow2> window;
  ASSERT_EQ(S_OK, setup_.As(&window));

  // The key the host paints is the one the board keys on.
  ULONG type = 0, index = 0, low = 0, high = 0;
  ASSERT_EQ(S_OK, window->GetColorKey(&type, &index, &low, &high));
  const auto key = board::BoardController::ColorKeyWindow(low);
  EXPECT_TRUE(WaitForLog([&] {
    const auto r = board_.Registers();
    return r.size() > 0x50EBu && std::equal(key.begin(), key.end(), r.begin() + 0x50E5);
  })) << std::hex << low;

  // Wide zoom once the view is the whole panel.
  RECT panel = {0, 0, 1366, 1024};
  ASSERT_EQ(S_OK, window->SetVideoPosition(nullptr, &panel));
  ASSERT_EQ(board_.Command("clear-log"), S_OK);
  ASSERT_EQ(S_OK, window->SetZoomMode(1));
  ULONG zoom = 0;
  ASSERT_EQ(S_OK, window->GetZoomMode(&zoom));
  EXPECT_EQ(zoom, 1u);
  // Wide: the 720 x 480 source cropped to rows 34..446 (its top has one high bit).
  std::vector<std::uint8_t> r;
  EXPECT_TRUE(WaitForLog([&] {
    r = board_.Registers();
    return !WritesAt(kSource).empty() && r.size() > size_t{kSource + 10} && Get11(r, kSource + 4) == 412 &&
           (((r[kSource + 8] & 1) << 8) | r[kSource + 9]) == 34;
  })) << "the wide source did not reach the board";
  EXPECT_TRUE(live.Close());
}

TEST_F(PictureChain, TheRenderersFrameDumpShowsTheTunedChannel) {
  if (testing_support::MapDumpDrive().empty()) GTEST_SKIP() << "no drive d: in this session";
  auto removeDumps = [] {
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileW(L"d:\\VornVRen*.bmp", &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do DeleteFileW((std::wstring(L"d:\\") + found.cFileName).c_str());
    while (FindNextFileW(find, &found));
    FindClose(find);
  };
  removeDumps();
  // The renderer reads the switch when it is made; it dumps while the named mutex exists.
  ASSERT_EQ(S_OK, env_.registry().SetDword(
                      RegistryKeyPath(L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Lumacrest2\\Renderer"),
                      L"Output Bitmap", 1));
  UniqueModule card(LoadLibraryW((env_.binFolder() + L"\\simcard.dll").c_str()));
  using PictureFn = decltype(&SimCard_GetPicture);
  const auto picture = card ? GetProcAs<PictureFn>(card.get(), "SimCard_GetPicture") : nullptr;
  ASSERT_NE(picture, nullptr);

  HostWindow host(100, 200, 400, 300);
  ASSERT_NE(host.get(), nullptr);
  sim_host::LivePreview live(Expect());
  ASSERT_TRUE(live.Open(setup_.Get(), kStation, kModeBoardRenderer, host.get()));
  ASSERT_TRUE(live.Run());
  SimCardPicture expected{};
  ASSERT_EQ(S_OK, picture(env_.DevicePath(0).c_str(), &expected));
  {
    NamedMutex dumpSwitch(L"OutputBitmap_VornVRen");
    ASSERT_TRUE(dumpSwitch.Create());
    // The third frame written means the second is whole.
    EXPECT_TRUE(simcard_testing::WaitUntil(
        [] { return GetFileAttributesW(L"d:\\VornVRen002.bmp") != INVALID_FILE_ATTRIBUTES; },
        simcard_testing::kPictureMs))
        << "the renderer wrote no frames";
  }
  const simcard_testing::ScreenCopy frame =
      simcard_testing::FromBitmapFile(testing_support::ReadFileBytes(L"d:\\VornVRen001.bmp"));
  EXPECT_EQ(std::make_pair(frame.width, frame.height), std::make_pair(720, 480));
  const simcard_testing::PictureCheck check = simcard_testing::Check(frame, expected);
  EXPECT_TRUE(check.Shows()) << simcard_testing::Describe(check, expected);
  EXPECT_TRUE(live.Close());
  removeDumps();
}

// The host as a process of its own (args: the card's device path, the event it sets once its
// preview runs) that runs the preview until it is killed. A step that fails is written to stderr
// (the test's output) and gives the exit code.
VORN_CHILD(HostUntilKilled) {
  auto failed = [](const std::wstring& step, HRESULT hr, int code) {
    std::fputs(FormatA("HostUntilKilled: %ls failed with 0x%08lX\n", step.c_str(), static_cast<unsigned long>(hr)).c_str(),
               stderr);
    std::fflush(stderr);
    return code;
  };
  if (args.size() != 2) return failed(L"the arguments", E_INVALIDARG, 2);
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) return failed(L"CoInitializeEx", hr, 2);
  ComPtr<IDeviceSetup> setup;
  if (FAILED(hr = CreateHost(args[0], &setup))) return failed(L"the device manager's set-up", hr, 3);
  HostWindow host(100, 200, 400, 300);
  if (!host.get()) return failed(L"the host window", HResultFromLastError(), 4);
  sim_host::LivePreview live([&](const std::wstring& action, HRESULT result) {
    if (result != S_OK) failed(action, result, 4);
    return result == S_OK;
  });
  if (!live.Open(setup.Get(), kStation, kModeBoardRenderer, host.get()) || !live.Run()) return 4;
  NamedEvent running;
  if (FAILED(hr = running.Open(args[1].c_str()))) return failed(L"the running event", hr, 5);
  running.Set();
  // The host window answers its messages until the test kills this process (bounded all the same).
  const ULONGLONG end = GetTickCount64() + 60000;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  return 6;
}

// A client that dies keeps its reference to the port server's object under Wine (no client
// pinging), so the server outlives the case: it runs only in a Wine session of its own, which
// ends the server with the session (ctest: picture_chain_killed_host).
class KilledHost : public ChainSession {
 protected:
  void SetUp() override {
    wchar_t own[8] = {};
    ownSession_ = GetEnvironmentVariableW(L"VORN_OWN_SESSION", own, 8) != 0;
    if (!ownSession_) GTEST_SKIP() << "runs in a Wine session of its own";
    ChainSession::SetUp();
  }
  void TearDown() override {
    if (ownSession_) ChainSession::TearDown();
  }
  bool ownSession_ = false;
};

// Reads the panel identifier through the port server; S_OK only with the board's reply.
HRESULT ReadPanel(IKelvPort* port) {
  std::vector<BYTE> request = board_sim::ReadRequest(0x5062, 1);
  BYTE reply[11] = {};
  unsigned long size = sizeof(reply);
  const HRESULT hr = port->SendCommand(static_cast<unsigned long>(request.size()), request.data(), &size, reply);
  return hr == S_OK && size != sizeof(reply) ? E_FAIL : hr;
}

TEST_F(KilledHost, TheWatchdogClosesThePortOfAKilledHost) {
  const std::wstring name = testing_support::UniqueName(L"PictureChainHostRunning");
  NamedEvent running;
  ASSERT_TRUE(SUCCEEDED(running.Create(name.c_str())));
  testing_support::ChildProcess child = testing_support::ChildProcess::Start("HostUntilKilled", {env_.DevicePath(0), name});
  ASSERT_TRUE(child.valid());
  const HANDLE waits[] = {running.handle(), child.handle()};
  const DWORD started = WaitForMultipleObjects(2, waits, FALSE, 3 * kWaitMs);
  DWORD exitCode = 0;
  GetExitCodeProcess(child.handle(), &exitCode);
  ASSERT_EQ(started, WAIT_OBJECT_0) << "the host's preview did not run: the host "
                                    << (exitCode == STILL_ACTIVE ? std::string("still runs")
                                                                 : FormatA("ended with exit code %lu (0x%08lX)", exitCode, exitCode));
  // The host's view reached the board, and a client of our own finds the port open.
  EXPECT_TRUE(WaitForLog([&] { return View() == PanelView(100, 200, 400, 300); })) << testing::PrintToString(View());
  ComPtr<IKelvPort> port;
  ASSERT_EQ(CoCreateInstance(__uuidof(LumacrestPort), nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IKelvPort),
                             reinterpret_cast<void**>(port.GetAddressOf())),
            S_OK);
  EXPECT_EQ(ReadPanel(port.Get()), S_OK);

  ASSERT_TRUE(TerminateProcess(child.handle(), 1));
  const ULONGLONG killed = GetTickCount64();
  // The watchdog looks every second.
  EXPECT_TRUE(simcard_testing::WaitUntil([&] { return ReadPanel(port.Get()) == errors::kPortNotOpen; }, 4000));
  EXPECT_LT(GetTickCount64() - killed, 3000u);
}

// Live television on the picture board: tamDeviceManager's preview through the system's
// deinterlacer (QfaTesk.ax beside tamDevice.dll) to the board's renderer (VornVRen.ax), whose
// preview control (VornConEx.dll over VornCon.dll) drives the board through the serial port
// server on COM1. The board keys the picture into the host window's place on its panel: the step
// prints the deinterlacer's module, how many frames the board received and the view registers
// it holds, and keeps a picture of the panel in the run directory: a frame the renderer received
// (its frame dump), its source part scaled into the board's view, the source outlined on the
// whole frame inset beside it, labelled.
//
// Like the window preview, it runs in a process of its own (vorn_demo.exe --board-preview
// <report>); the session registers the modules, the board settings and the panel file.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "board/panel_test_files.h"
#include "common/format.h"
#include "common/handles.h"
#include "common/hresult.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/registry.h"
#include "common/testing/dump_drive.h"
#include "devices/idl/device_manager.h"
#include "sim/board/board_sim_client.h"
#include "sim/card/picture_testing.h"
#include "sim/card/sim_card.h"
#include "sim/demo/demo_support.h"
#include "sim/driver/sim_driver.h"
#include "sim/host/device_item.h"
#include "sim/host/live_preview.h"
#include "sim/host/png_file.h"
#include "sim/host/registry_journal.h"
#include "sim/host/sim_environment.h"

namespace demo {
namespace {

using Microsoft::WRL::ComPtr;

constexpr ULONG kStation = 91250000;
constexpr long kCapsSystemRenderer = 0x200;
constexpr ULONG kModeBoardRenderer = 0x10;  // the board's renderer
constexpr DWORD kViewMs = 10000;
constexpr int kViewPosition = 0x5040, kViewSize = 0x5160, kSource = 0x5000;
// The panel file the session writes: its size, and the source area starting at the frame's origin.
constexpr int kPanelWidth = 1366, kPanelHeight = 768;
constexpr wchar_t kPictureFile[] = L"board-preview.png";
// The renderer's frame dump: its switch, the named mutex it dumps while, and the files on d:.
constexpr wchar_t kRendererKey[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Zarn Corporation\\Lumacrest2\\Renderer";
constexpr wchar_t kDumpSwitch[] = L"OutputBitmap_VornVRen";
constexpr wchar_t kDumpPattern[] = L"d:\\VornVRen*.bmp";
constexpr wchar_t kDumpWhole[] = L"d:\\VornVRen001.bmp";  // whole once the next one is begun
constexpr wchar_t kDumpNext[] = L"d:\\VornVRen002.bmp";
constexpr std::uint32_t kSourceColour = 0x00FF00, kViewColour = 0xFFFF00;
constexpr std::uint32_t kPanelColour = 0x202830, kPanelEdgeColour = 0x808080;  // the panel around the view

// An 11-bit register value (three high bits, then eight) at `at`.
int Get11(const std::vector<std::uint8_t>& r, size_t at) { return ((r[at] & 7) << 8) | r[at + 1]; }

// Waits (bounded) for the board to receive the view size, looking again at each new frame.
bool WaitForView(board_sim::BoardSim& board) {
  const ULONGLONG end = GetTickCount64() + kViewMs;
  for (;;) {
    const auto frames = board.Frames();
    for (const auto& f : frames)
      if (f.direction == "RX" && f.op == "write" && f.addr == kViewSize) return true;
    if (GetTickCount64() >= end) return false;
    board.WaitForFrames("RX", "write", frames.size() + 1, 100);
  }
}

void RemoveDumps() {
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileW(kDumpPattern, &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do DeleteFileW((std::wstring(L"d:\\") + found.cFileName).c_str());
  while (FindNextFileW(find, &found));
  FindClose(find);
}

// A frame the renderer received, from its dump (empty when none was written in time).
simcard_testing::ScreenCopy DumpOneFrame() {
  RemoveDumps();
  {
    NamedMutex dumpSwitch(kDumpSwitch);
    if (!dumpSwitch.Create()) return {};
    simcard_testing::WaitUntil([] { return GetFileAttributesW(kDumpNext) != INVALID_FILE_ATTRIBUTES; },
                               simcard_testing::kPictureMs);
  }
  simcard_testing::ScreenCopy frame = simcard_testing::FromBitmapFile(testing_support::ReadFileBytes(kDumpWhole));
  RemoveDumps();
  return frame;
}

// Text in white on the picture at (x, y), drawn through GDI into a copy of its pixels.
void Label(simcard_testing::ScreenCopy& picture, int x, int y, const std::wstring& text) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = picture.width;
  info.bmiHeader.biHeight = -picture.height;  // top-down, as the pixels are
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC dc = CreateCompatibleDC(nullptr);
  void* bits = nullptr;
  HBITMAP bitmap = dc ? CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
  if (bitmap) {
    auto* pixels = static_cast<std::uint32_t*>(bits);
    std::copy(picture.pixels.begin(), picture.pixels.end(), pixels);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(255, 255, 255));
    TextOutW(dc, x, y, text.c_str(), static_cast<int>(text.size()));
    GdiFlush();
    std::copy(pixels, pixels + picture.pixels.size(), picture.pixels.begin());
    SelectObject(dc, old);
    DeleteObject(bitmap);
  }
  if (dc) DeleteDC(dc);
}

// The panel as the board shows it: the source part of the frame scaled into the view (what
// lies off the panel cut away), the view outlined, and the whole frame inset in the corner
// farthest from the view with the source outlined on it.
simcard_testing::ScreenCopy PanelPicture(const simcard_testing::ScreenCopy& frame, const RECT& source, const RECT& view) {
  simcard_testing::ScreenCopy panel;
  panel.width = kPanelWidth;
  panel.height = kPanelHeight;
  panel.pixels.assign(static_cast<size_t>(kPanelWidth) * kPanelHeight, kPanelColour);
  const LONG viewW = view.right - view.left, viewH = view.bottom - view.top;
  const LONG srcW = source.right - source.left, srcH = source.bottom - source.top;
  if (viewW > 0 && viewH > 0 && srcW > 0 && srcH > 0) {
    for (LONG y = std::max<LONG>(view.top, 0); y < std::min<LONG>(view.bottom, kPanelHeight); ++y) {
      const LONG sy = source.top + (y - view.top) * srcH / viewH;
      for (LONG x = std::max<LONG>(view.left, 0); x < std::min<LONG>(view.right, kPanelWidth); ++x) {
        const LONG sx = source.left + (x - view.left) * srcW / viewW;
        if (sx >= 0 && sx < frame.width && sy >= 0 && sy < frame.height)
          panel.pixels[static_cast<size_t>(y) * kPanelWidth + x] = frame.pixels[static_cast<size_t>(sy) * frame.width + sx];
      }
    }
  }
  simcard_testing::Outline(panel, view, kViewColour);

  // The inset: a quarter of the frame's size.
  const int insetW = frame.width / 4, insetH = frame.height / 4, margin = 16;
  const bool right = (view.left + view.right) / 2 < kPanelWidth / 2, bottom = (view.top + view.bottom) / 2 < kPanelHeight / 2;
  const int ix = right ? kPanelWidth - margin - insetW : margin, iy = bottom ? kPanelHeight - margin - insetH - 18 : margin + 18;
  for (int y = 0; y < insetH; ++y)
    for (int x = 0; x < insetW; ++x)
      panel.pixels[static_cast<size_t>(iy + y) * kPanelWidth + ix + x] = frame.pixels[static_cast<size_t>(y * 4) * frame.width + x * 4];
  const RECT insetSource = {ix + source.left / 4, iy + source.top / 4, ix + source.right / 4, iy + source.bottom / 4};
  simcard_testing::Outline(panel, {ix - 1, iy - 1, ix + insetW + 1, iy + insetH + 1}, kPanelEdgeColour, 1);
  simcard_testing::Outline(panel, insetSource, kSourceColour);

  Label(panel, 8, 4, FormatW(L"panel %dx%d as the board shows it", kPanelWidth, kPanelHeight));
  const LONG labelY = view.top >= 20 ? view.top - 18 : std::min<LONG>(view.bottom + 4, kPanelHeight - 18);
  Label(panel, std::max<LONG>(view.left, 0), labelY,
        FormatW(L"view (%ld,%ld) %ldx%ld: source (%ld,%ld) %ldx%ld scaled", view.left, view.top, viewW, viewH,
                source.left, source.top, srcW, srcH));
  Label(panel, ix, bottom ? iy - 18 : iy + insetH + 4,
        FormatW(L"frame %dx%d (1/4), source in green", frame.width, frame.height));
  return panel;
}

// The panel picture (above) of a frame the renderer received, saved in the run directory.
void SaveBoardPicture(Verdict& verdict, const std::vector<std::uint8_t>& r) {
  simcard_testing::ScreenCopy frame = DumpOneFrame();
  if (frame.pixels.empty()) {
    verdict.Fail(L"the renderer dumped no frame (d: mapped, \"Output Bitmap\" on)");
    return;
  }
  const LONG sourceLeft = ((r[kSource + 6] & 1) << 8) | r[kSource + 7];
  const LONG sourceTop = ((r[kSource + 8] & 1) << 8) | r[kSource + 9];
  const RECT source = {sourceLeft, sourceTop, sourceLeft + (((r[kSource + 2] & 0xF) << 8) | r[kSource + 3]),
                       sourceTop + Get11(r, kSource + 4)};
  const LONG viewLeft = Get11(r, kViewPosition), viewTop = Get11(r, kViewPosition + 2);
  const RECT view = {viewLeft, viewTop, viewLeft + Get11(r, kViewSize), viewTop + Get11(r, kViewSize + 2)};
  const simcard_testing::ScreenCopy panel = PanelPicture(frame, source, view);
  const std::wstring picture = RunFolder() + L"\\" + kPictureFile;
  if (verdict.Check(FormatW(L"picture of the %dx%d panel with a frame the renderer received (%dx%d) saved as %ls",
                            kPanelWidth, kPanelHeight, frame.width, frame.height, picture.c_str()),
                    sim_host::WritePng(picture, panel.width, panel.height, panel.pixels.data())))
    Say(FormatW(L"    on it: the board's source (%ld,%ld) %ldx%ld of the frame scaled into its view (%ld,%ld) "
                L"%ldx%ld (yellow); the whole frame inset with the source in green",
                source.left, source.top, source.right - source.left, source.bottom - source.top, view.left, view.top,
                view.right - view.left, view.bottom - view.top));
}

void ShowOnTheBoard(Verdict& verdict, IDeviceSetup* setup, HWND window, const RECT& place) {
  board_sim::BoardSim board;
  verdict.Check(L"board: clear its frame log", board.Command("clear-log"));
  sim_host::LivePreview live([&](const std::wstring& action, HRESULT hr) { return verdict.Check(action, hr); });
  if (live.Open(setup, kStation, kModeBoardRenderer, window) && live.Run()) {
    Say(FormatW(L"    host window at (%ld,%ld) %ldx%ld", place.left, place.top, place.right - place.left,
                place.bottom - place.top));
    // The chain's deinterlacer is the system's own module beside the device manager.
    const std::wstring deinterlacer = LoadedDeinterlacer();
    const std::wstring expected = DeviceManagerFolder() + L"\\QfaTesk.ax";
    if (_wcsicmp(deinterlacer.c_str(), expected.c_str()) == 0) {
      Say(L"    deinterlacer: " + deinterlacer);
    } else {
      verdict.Fail(FormatW(L"the deinterlacer loaded is \"%ls\", not %ls", deinterlacer.c_str(), expected.c_str()));
    }
    if (!WaitForView(board)) verdict.Fail(L"the board received no view registers");
    const auto frames = board.Frames();
    size_t received = 0;
    for (const auto& f : frames) received += f.direction == "RX" ? 1 : 0;
    Say(FormatW(L"    the board received %lu frames", static_cast<unsigned long>(received)));
    const auto r = board.Registers();
    if (r.size() >= size_t{kViewSize + 4}) {
      Say(FormatW(L"    view registers: position (%d,%d), size %dx%d on the panel", Get11(r, kViewPosition),
                  Get11(r, kViewPosition + 2), Get11(r, kViewSize), Get11(r, kViewSize + 2)));
      SaveBoardPicture(verdict, r);
    } else {
      verdict.Fail(L"the board's registers could not be read");
    }
  }
  verdict.Check(L"preview closed", live.Close() ? S_OK : E_FAIL);
}

}  // namespace

int BoardPreviewProcess(const std::wstring& reportPath) {
  return ReportProcess(reportPath, [](Verdict& verdict) {
    // The renderer dumps its frames to drive d:, a folder of the session's run.
    if (testing_support::MapDumpDrive().empty()) verdict.Fail(L"no drive d: for the renderer's frame dump");
    UniqueModule cardModule(LoadLibraryW(BinPath(L"simcard.dll").c_str()));
    const auto cardPath = cardModule ? GetProcAs<CardPathFn>(cardModule.get(), "SimCard_GetDevicePath") : nullptr;
    std::wstring path;
    ComPtr<IDeviceSetup> setup;
    ComPtr<IHalItem> item;
    simcard_testing::VideoWindow window;
    if (!cardPath) {
      verdict.Fail(L"simcard.dll lacks its entry points");
    } else if (OpenCardDevice(verdict, cardPath, kCapsSystemRenderer, &path, &setup, &item)) {
      HWND handle = window.Open();
      if (!handle) {
        verdict.Fail(L"no window on the session's display");
      } else {
        ShowOnTheBoard(verdict, setup.Get(), handle, window.ScreenRect());
      }
    }
    setup.Reset();
    item.Reset();
    Say(L"  released tamDeviceManager");
  });
}

void BoardPreviewStep(Session& session) {
  Verdict& verdict = session.verdict;
  Step(L"Live TV on the picture board: the system's renderer keys the picture onto the panel");
  if (!board_sim::BoardSim::Available()) {
    verdict.Fail(L"no simulated picture board in this session (run scripts/demo.sh)");
    return;
  }
  // The renderer's registration replaces the platform stand-in's; undone first, it comes back.
  for (const wchar_t* module : {L"VornCon.dll", L"VornConEx.dll", L"VornVRen.ax"}) {
    HMODULE loaded = nullptr;
    if (!RegisterInproc(session, module, &loaded)) return;
  }
  auto settings = std::make_shared<sim_host::RegistryJournal>();
  session.undo.Add(L"board settings put back", [settings] { return settings->Restore(); });
  if (!verdict.Check(L"board enabled (Kelv2 = 1), its deinterlacer chosen (Qfa Tesk = 1)",
                     SUCCEEDED(settings->SetDword(sim_host::BoardInfoKey(), L"Kelv2", 1)) &&
                             SUCCEEDED(settings->SetDword(sim_host::BoardInfoKey(), L"Qfa Tesk", 1))
                         ? S_OK
                         : E_FAIL))
    return;
  if (!verdict.Check(L"renderer's frame dump allowed (Output Bitmap = 1)",
                     settings->SetDword(RegistryKeyPath(kRendererKey), L"Output Bitmap", 1)))
    return;
  const std::wstring panel = BinPath(board_testing::PanelFolder::kName);
  std::ofstream(std::string(panel.begin(), panel.end()), std::ios::binary) << board_testing::PanelFile();
  session.undo.Add(L"panel file removed", [panel] { return DeleteFileW(panel.c_str()) ? S_OK : HResultFromLastError(); });
  RunPreviewProcess(verdict, L"--board-preview", L"board-preview.txt");
}

}  // namespace demo

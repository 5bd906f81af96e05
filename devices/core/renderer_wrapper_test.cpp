// The renderer wrappers and the renderer slot in graphs around the simulated card's capture
// filter: the system renderer's stand-in and the preview-control double in process, the
// platform's mixing renderers 7 and 9 in child processes that draw on a window of the session's
// display (once Direct3D has run in a process, Wine may kill it on its way out).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "common/module.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/renderer_wrapper.h"
#include "sim/card/picture_testing.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/double_journal.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;
using namespace simcard_testing;

namespace {

constexpr DWORD kChildMs = 90000;  // starting Direct3D alone can take seconds
constexpr wchar_t kFilterDoubles[] = L"filterdoubles.dll";
constexpr wchar_t kPlatformDoubles[] = L"platformdoubles.dll";

HRESULT CallEntry(const wchar_t* file, const char* name) {
  HMODULE module = LoadLibraryW(testing_support::BinPath(file).c_str());  // stays loaded
  auto entry = module ? GetProcAs<HRESULT(STDAPICALLTYPE*)()>(module, name) : nullptr;
  return entry ? entry() : E_NOINTERFACE;
}

// No object of the preview-control double is alive.
bool PreviewControlsGone() { return CallEntry(kFilterDoubles, "DllCanUnloadNow") == S_OK; }

int FilterCount(IFilterGraph* graph) {
  ComPtr<IEnumFilters> filters;
  if (FAILED(graph->EnumFilters(&filters))) return -1;
  int count = 0;
  for (ComPtr<IBaseFilter> filter; filters->Next(1, &filter, nullptr) == S_OK; filter.Reset()) ++count;
  return count;
}

size_t Calls(const char* object, const char* method) { return Journal::Instance().Calls(object, method).size(); }

// The doubles registered (the system renderer's stand-in, the preview-control class) for a graph
// around the card's capture filter.
class RendererTest : public SimCardGraphTest {
 protected:
  void SetUp() override {
    SimCardGraphTest::SetUp();
    Journal::Instance().Reset();
    ASSERT_EQ(S_OK, CallEntry(kPlatformDoubles, "DllRegisterServer"));
    ASSERT_EQ(S_OK, CallEntry(kFilterDoubles, "DllRegisterServer"));
    capturePin_ = PinNamed(capture_.Get(), L"Capture");
    ASSERT_TRUE(capturePin_);
  }
  void TearDown() override {
    capturePin_.Reset();
    EXPECT_EQ(S_OK, CallEntry(kFilterDoubles, "DllUnregisterServer"));
    EXPECT_EQ(S_OK, CallEntry(kPlatformDoubles, "DllUnregisterServer"));
    SimCardGraphTest::TearDown();
  }

  ChainSettings settings_;
  ComPtr<IPin> capturePin_;
};

TEST_F(RendererTest, UnknownKindsGiveNoWrapper) {
  for (int kind : {0, 6, -1}) {
    std::unique_ptr<RendererWrapper> wrapper;
    EXPECT_EQ(errors::kRendererInvalidArg, CreateRendererWrapper(kind, 0, graph_.Get(), &wrapper)) << kind;
    EXPECT_EQ(nullptr, wrapper);
  }
  RendererSlot slot(settings_, 6, 0);
  EXPECT_EQ(errors::kRendererInvalidArg, slot.CreateFilter(graph_.Get()));
  EXPECT_EQ(nullptr, slot.wrapper());
  EXPECT_EQ(errors::kChainNullPointer, slot.Connect(capturePin_.Get(), nullptr, nullptr));
  EXPECT_EQ(errors::kChainNullPointer, slot.SetZoomMode(1));
}

TEST_F(RendererTest, SystemRendererTakesTheFieldOrderOfTheRecordingState) {
  testing_support::ScratchRegistryKey boardInfo(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE",
                                                L"Software\\Zarn Corporation\\TunerBrdInfo");
  settings_.recRunningEvent = testing_support::UniqueName(L"Local\\VornRecRunning_");
  UniqueHandle rec(CreateEventW(nullptr, TRUE, FALSE, settings_.recRunningEvent.c_str()));
  ASSERT_TRUE(rec);
  const struct {
    DWORD board, tuner;
    bool recording;
    DWORD storedRec;  // "field order rec" under VornVRen; 9: none
    std::vector<std::int64_t> orders;
  } cases[] = {
      {18, 1, true, 9, {1}}, {18, 1, false, 9, {2}}, {18, 1, true, 0, {2}}, {5, 1, true, 9, {}}, {18, 0, false, 9, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.board << "/" << c.tuner << " rec " << c.recording << " " << c.storedRec);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Zarn Corporation\\TunerBrdInfo");
    if (c.storedRec != 9) {
      ASSERT_TRUE(boardInfo.SetDword(L"field order rec", c.storedRec, L"BoardType18\\Tuner2\\VornVRen"));
    }
    c.recording ? SetEvent(rec.get()) : ResetEvent(rec.get());
    settings_.boardType = c.board;
    settings_.tunerNumber = c.tuner;
    Journal::Instance().Reset();
    RendererSlot slot(settings_, 4, 0);
    ASSERT_EQ(S_OK, slot.CreateFilter(graph_.Get()));
    EXPECT_EQ(errors::kChainFailure, slot.CreateFilter(graph_.Get()));
    ASSERT_EQ(S_OK, slot.Connect(capturePin_.Get(), nullptr, nullptr));
    EXPECT_EQ(S_OK, slot.Configure());
    std::vector<std::int64_t> orders;
    for (const auto& call : Journal::Instance().Calls("SimVideoRenderer", "SetFieldOrder")) orders.push_back(call.args[0]);
    EXPECT_EQ(c.orders, orders);
  }
}

TEST_F(RendererTest, SystemRendererAnswersTheWindowOperationsOfItsKind) {
  RendererSlot slot(settings_, 4, 0);
  ASSERT_EQ(S_OK, slot.CreateFilter(graph_.Get()));
  ComPtr<IBaseFilter> named;
  EXPECT_EQ(S_OK, graph_->FindFilterByName(L"New Quib Video Renderer", &named));
  ASSERT_EQ(S_OK, slot.Connect(capturePin_.Get(), nullptr, nullptr));
  EXPECT_FALSE(slot.HasOutput());
  ComPtr<IPin> out;
  EXPECT_EQ(errors::kChainFailure, slot.GetOutputPin(nullptr, &out));
  EXPECT_EQ(nullptr, out.Get());

  RECT rect{0, 0, 360, 240};
  EXPECT_EQ(S_OK, slot.SetVideoClippingWindow(GetDesktopWindow()));
  EXPECT_EQ(S_OK, slot.SetVideoPosition(&rect, &rect));
  COLORREF key = 0;
  EXPECT_EQ(S_OK, slot.GetColorKey(&key));
  EXPECT_EQ(RGB(16, 0, 16), key);
  EXPECT_EQ(S_OK, slot.SetZoomMode(1));
  DWORD zoom = 0;
  EXPECT_EQ(S_OK, slot.GetZoomMode(&zoom));
  EXPECT_EQ(1u, zoom);
  BYTE* image = nullptr;
  EXPECT_EQ(E_NOTIMPL, slot.GetCurrentImage(&image));
  ComPtr<KivraNtsc2> order;
  EXPECT_EQ(S_OK, slot.QueryFilterInterface(IID_KivraNtsc2, reinterpret_cast<void**>(order.GetAddressOf())));
  EXPECT_EQ(1u, Calls("SimVideoRenderer", "SetVideoClippingWindow"));

  EXPECT_EQ(S_OK, slot.Disconnect());
  EXPECT_EQ(S_OK, slot.Connect(capturePin_.Get(), nullptr, nullptr));  // the renderer stayed in the graph
  EXPECT_EQ(S_OK, slot.RemoveFromGraph());
  EXPECT_EQ(1, FilterCount(graph_.Get()));
}

TEST_F(RendererTest, NullRendererDrawsThroughThePreviewControl) {
  {
    std::unique_ptr<RendererWrapper> wrapper;
    ASSERT_EQ(S_OK, CreateRendererWrapper(5, 0, graph_.Get(), &wrapper));
    const auto size = Journal::Instance().Calls("PreviewControl", "SetVideoSize");
    ASSERT_EQ(1u, size.size());
    EXPECT_EQ(720, size[0].args[0]);
    EXPECT_EQ(480, size[0].args[1]);
    ASSERT_EQ(S_OK, wrapper->AddToGraph(capturePin_.Get()));
    RECT rect{0, 0, 360, 240};
    EXPECT_EQ(S_OK, wrapper->SetVideoClippingWindow(GetDesktopWindow()));
    EXPECT_EQ(S_OK, wrapper->SetVideoPosition(nullptr, &rect));
    EXPECT_EQ(S_OK, wrapper->RepaintVideo(GetDesktopWindow(), nullptr));
    EXPECT_EQ(S_OK, wrapper->DisplayModeChanged());
    COLORREF key = 0;
    EXPECT_EQ(S_OK, wrapper->GetColorKey(&key));
    EXPECT_EQ(0x00100010u, key);
    EXPECT_EQ(S_OK, wrapper->SetZoomMode(3));
    DWORD zoom = 0;
    EXPECT_EQ(S_OK, wrapper->GetZoomMode(&zoom));
    EXPECT_EQ(3u, zoom);
    EXPECT_EQ(errors::kRendererNullPointer, wrapper->GetZoomMode(nullptr));
    EXPECT_EQ(1u, Calls("PreviewControl", "GetZoomMode"));
    BYTE* image = nullptr;
    EXPECT_EQ(E_NOTIMPL, wrapper->GetCurrentImage(&image));
    void* unknown = nullptr;
    EXPECT_EQ(E_NOTIMPL, wrapper->QueryFilterInterface(IID_IBaseFilter, &unknown));
    for (const char* method : {"SetVideoClippingWindow", "SetVideoPosition", "RepaintVideo", "DisplayModeChanged"}) {
      EXPECT_EQ(1u, Calls("PreviewControl", method)) << method;
    }
  }
  EXPECT_EQ(1u, Calls("PreviewControl", "Uninitialize"));
  EXPECT_EQ(1, FilterCount(graph_.Get()));
  EXPECT_TRUE(PreviewControlsGone());

  // A preview control that cannot be initialised ends the construction with its code.
  Journal::Instance().Reset();
  ASSERT_TRUE(Journal::Instance().InjectFailure("PreviewControl", "Initialize", E_ACCESSDENIED, 1));
  std::unique_ptr<RendererWrapper> wrapper;
  EXPECT_EQ(E_ACCESSDENIED, CreateRendererWrapper(5, 0, graph_.Get(), &wrapper));
  EXPECT_EQ(nullptr, wrapper);
  EXPECT_EQ(1u, Calls("PreviewControl", "Uninitialize"));
  EXPECT_EQ(1, FilterCount(graph_.Get()));
  EXPECT_TRUE(PreviewControlsGone());
}

// --- The mixing renderers, each in a child process ----------------------------------------------------
// What a child found, one line per failed expectation.
class Findings {
 public:
  void Expect(bool ok, const std::string& what) {
    if (!ok) text_ += what + "; ";
  }
  void ExpectHr(HRESULT expected, HRESULT seen, const std::string& what) {
    char line[96];
    snprintf(line, sizeof(line), " (expected 0x%08lX, got 0x%08lX)", static_cast<unsigned long>(expected),
             static_cast<unsigned long>(seen));
    Expect(expected == seen, what + line);
  }
  bool ok() const { return text_.empty(); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// One mixing-renderer scenario on a window of the display: the graph goes before the window.
class VmrScenario {
 public:
  ~VmrScenario() {
    Stop();
    slot_.reset();
    capture_.Reset();
    graph_.Reset();
    window_.Stop();
  }

  bool SetUp(UINT captureFormat, Findings& f) {
    path_ = PathOf(0, kSimRoleCapture);
    f.ExpectHr(S_OK, SimCard_SetCaptureFormat(path_.c_str(), captureFormat), "capture format");
    capture_ = Bind(0, kSimRoleCapture, kCategoryVideoInput, SIM_CARD_CAPTURE_NAME);
    f.Expect(capture_ && SUCCEEDED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                                     IID_PPV_ARGS(&graph_))) &&
                 SUCCEEDED(graph_->AddFilter(capture_.Get(), L"capture")),
             "no graph with the capture filter");
    window_handle_ = window_.Open();
    f.Expect(window_handle_ != nullptr, "no visible window (is the session's display up?)");
    return f.ok();
  }
  RendererSlot& Slot(int kind) {
    slot_ = std::make_unique<RendererSlot>(ChainSettings{}, kind, 0);
    return *slot_;
  }
  IPin* CapturePin() {
    if (!pin_) pin_ = PinNamed(capture_.Get(), L"Capture");
    return pin_.Get();
  }
  bool HasFilter(const wchar_t* name) {
    ComPtr<IBaseFilter> filter;
    return graph_->FindFilterByName(name, &filter) == S_OK;
  }
  HRESULT Run() {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph_.As(&control);
    return FAILED(hr) ? hr : control->Run();
  }
  void Stop() {
    ComPtr<IMediaControl> control;
    if (graph_ && SUCCEEDED(graph_.As(&control))) control->Stop();
  }
  // Blackens the window, then waits for the card's picture on it.
  void ExpectPicture(Findings& f, const char* when) {
    SimCardPicture expected{};
    f.ExpectHr(S_OK, SimCard_GetPicture(path_.c_str(), &expected), "picture of the card");
    PictureCheck check;
    WaitUntil(
        [&] {
          check = Check(ScreenCopy::Of(window_.ScreenRect()), expected);
          return check.Shows();
        },
        kPictureMs);
    f.Expect(check.Shows(), std::string(when) + ": " + Describe(check, expected));
  }
  void Blacken() {
    HDC dc = GetDC(window_handle_);
    RECT rect{0, 0, VideoWindow::kWidth, VideoWindow::kHeight};
    FillRect(dc, &rect, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    ReleaseDC(window_handle_, dc);
    GdiFlush();
  }
  HWND window() const { return window_handle_; }
  IFilterGraph* graph() const { return graph_.Get(); }

 private:
  std::wstring path_;
  VideoWindow window_;
  HWND window_handle_ = nullptr;
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IBaseFilter> capture_;
  ComPtr<IPin> pin_;
  std::unique_ptr<RendererSlot> slot_;
};

RECT Whole() { return {0, 0, VideoWindow::kWidth, VideoWindow::kHeight}; }

RECT SourceOf(RendererSlot& slot) {
  ComPtr<IVMRWindowlessControl> windowless;
  RECT source{-1, -1, -1, -1}, destination{};
  if (SUCCEEDED(slot.QueryFilterInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(windowless.GetAddressOf())))) {
    windowless->GetVideoPosition(&source, &destination);
  }
  return source;
}

bool Same(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != FALSE; }

// Kind 1: window operations, the default source, the picture, and a fresh renderer on re-adding.
void Vmr7Scenario(VmrScenario& s, Findings& f) {
  RendererSlot& slot = s.Slot(1);
  f.ExpectHr(S_OK, slot.CreateFilter(s.graph()), "create");
  if (!f.ok()) return;
  f.ExpectHr(S_OK, slot.SetVideoClippingWindow(s.window()), "clipping window");
  // Wine's mixing renderers take one clipping window only (VFW_E_WRONG_STATE afterwards).
  const HRESULT again = slot.SetVideoClippingWindow(s.window());
  f.Expect(again == S_OK || again == VFW_E_WRONG_STATE, "same clipping window");
  f.Expect(static_cast<Vmr7RendererWrapper*>(slot.wrapper())->monitorChoices() == 1, "monitor chosen once");
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "connect");
  f.ExpectHr(S_OK, slot.Configure(), "configure");
  RECT destination = Whole();
  f.ExpectHr(S_OK, slot.SetVideoPosition(nullptr, &destination), "position");
  f.Expect(Same(SourceOf(slot), {0, 0, 720, 480}), "default source 720x480");
  ComPtr<IVMRWindowlessControl> windowless;
  slot.QueryFilterInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(windowless.GetAddressOf()));
  f.Expect(windowless != nullptr, "windowless control");
  if (!windowless) return;
  HDC dc = GetDC(s.window());
  f.ExpectHr(windowless->RepaintVideo(s.window(), dc), slot.RepaintVideo(s.window(), dc), "repaint as the renderer");
  ReleaseDC(s.window(), dc);
  f.ExpectHr(windowless->DisplayModeChanged(), slot.DisplayModeChanged(), "display change as the renderer");
  COLORREF mine = 0, theirs = 0;
  f.ExpectHr(windowless->GetColorKey(&theirs), slot.GetColorKey(&mine), "colour key as the renderer");
  f.ExpectHr(E_NOTIMPL, slot.SetZoomMode(1), "zoom");
  windowless.Reset();
  f.Expect(SUCCEEDED(s.Run()), "run");
  s.ExpectPicture(f, "first renderer");

  // Out of the graph and back: a new renderer on the last clipping window.
  s.Stop();
  f.ExpectHr(S_OK, slot.Disconnect(), "disconnect");
  f.Expect(!s.HasFilter(L"VMR 7"), "the renderer left the graph");
  s.Blacken();
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "reconnect");
  f.Expect(s.HasFilter(L"VMR 7"), "a renderer in the graph again");
  f.Expect(static_cast<Vmr7RendererWrapper*>(slot.wrapper())->monitorChoices() == 2, "monitor chosen for it again");
  f.ExpectHr(S_OK, slot.SetVideoPosition(&destination, &destination), "position again");
  f.Expect(SUCCEEDED(s.Run()), "run again");
  s.ExpectPicture(f, "re-created renderer");
}

// Kind 1 re-created on a clipping window that is gone: the failed renderer leaves the graph and
// the wrapper, and a window given while there is no renderer is the one the next renderer takes.
void Vmr7RecreateScenario(VmrScenario& s, Findings& f) {
  RendererSlot& slot = s.Slot(1);
  f.ExpectHr(S_OK, slot.CreateFilter(s.graph()), "create");
  VideoWindow doomed;
  const HWND gone = doomed.Open();
  f.ExpectHr(S_OK, slot.SetVideoClippingWindow(gone), "clipping window");
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "connect");
  f.ExpectHr(S_OK, slot.Disconnect(), "disconnect");
  doomed.Stop();
  f.Expect(gone && !IsWindow(gone), "the first window destroyed");
  for (const char* attempt : {"re-creation", "second re-creation"}) {
    f.Expect(FAILED(slot.Connect(s.CapturePin(), nullptr, nullptr)),
             std::string(attempt) + " on a destroyed window fails");
    f.Expect(!s.HasFilter(L"VMR 7"), std::string(attempt) + ": no renderer left in the graph");
  }
  RECT destination = Whole();
  f.ExpectHr(errors::kRendererNullPointer, slot.SetVideoPosition(&destination, &destination), "position without a renderer");
  ComPtr<IVMRWindowlessControl> windowless;
  f.ExpectHr(errors::kRendererNullPointer,
             slot.QueryFilterInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(windowless.GetAddressOf())),
             "renderer interface without a renderer");
  f.ExpectHr(errors::kRendererNullPointer, slot.SetVideoClippingWindow(s.window()), "a new window without a renderer");
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "re-creation on the new window");
  f.ExpectHr(S_OK, slot.SetVideoPosition(&destination, &destination), "position");
  f.Expect(SUCCEEDED(s.Run()), "run");
  s.ExpectPicture(f, "renderer made on the new window");
}

void Vmr7NarrowScenario(VmrScenario& s, Findings& f) {
  RendererSlot& slot = s.Slot(1);
  f.ExpectHr(S_OK, slot.CreateFilter(s.graph()), "create");
  f.ExpectHr(S_OK, slot.SetVideoClippingWindow(s.window()), "clipping window");
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "connect");
  RECT destination = Whole();
  f.ExpectHr(S_OK, slot.SetVideoPosition(nullptr, &destination), "position");
  f.Expect(Same(SourceOf(slot), {0, 0, 352, 480}), "default source 352x480");
}

// Kind 2 with an interlaced VIDEOINFOHEADER2 picture: no aspect-ratio correction.
void Vmr9Scenario(VmrScenario& s, Findings& f) {
  RendererSlot& slot = s.Slot(2);
  f.ExpectHr(S_OK, slot.CreateFilter(s.graph()), "create");
  if (!f.ok()) return;
  f.Expect(s.HasFilter(L"VMR 9"), "named VMR 9");
  f.ExpectHr(S_OK, slot.SetVideoClippingWindow(s.window()), "clipping window");
  // Wine's mixing renderers take one clipping window only (VFW_E_WRONG_STATE afterwards).
  const HRESULT again = slot.SetVideoClippingWindow(s.window());
  f.Expect(again == S_OK || again == VFW_E_WRONG_STATE, "same clipping window");
  f.Expect(static_cast<Vmr9RendererWrapper*>(slot.wrapper())->monitorChoices() == 1, "monitor chosen once");
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "connect");
  f.ExpectHr(S_OK, slot.Configure(), "configure");
  ComPtr<IVMRWindowlessControl9> windowless;
  slot.QueryFilterInterface(__uuidof(IVMRWindowlessControl9), reinterpret_cast<void**>(windowless.GetAddressOf()));
  DWORD mode = 99;
  f.Expect(windowless && SUCCEEDED(windowless->GetAspectRatioMode(&mode)) && mode == VMR_ARMODE_NONE,
           "aspect-ratio mode none");
  COLORREF key = 0;
  f.ExpectHr(E_NOTIMPL, slot.GetColorKey(&key), "colour key");
  f.ExpectHr(E_NOTIMPL, slot.SetZoomMode(1), "zoom");
  RECT destination = Whole();
  f.ExpectHr(S_OK, slot.SetVideoPosition(&destination, &destination), "position");
  windowless.Reset();
  f.Expect(SUCCEEDED(s.Run()), "run");
  s.ExpectPicture(f, "mixing renderer 9");
}

// Kind 3: the preview control first; one that cannot be initialised leaves nothing behind.
void Vmr7ControlScenario(VmrScenario& s, Findings& f) {
  Journal::Instance().Reset();
  Journal::Instance().InjectFailure("PreviewControl", "Initialize", E_ACCESSDENIED, 1);
  {
    std::unique_ptr<RendererWrapper> wrapper;
    f.ExpectHr(E_ACCESSDENIED, CreateRendererWrapper(3, 0, s.graph(), &wrapper), "failing preview control");
    f.Expect(!wrapper, "no wrapper handed out");
  }
  f.Expect(!s.HasFilter(L"VMR 7"), "no renderer left in the graph");
  f.Expect(Calls("PreviewControl", "Uninitialize") == 1, "the preview control uninitialised");
  f.Expect(PreviewControlsGone(), "no preview control alive");

  RendererSlot& slot = s.Slot(3);
  f.ExpectHr(S_OK, slot.CreateFilter(s.graph()), "create");
  f.ExpectHr(S_OK, slot.SetVideoClippingWindow(s.window()), "clipping window");
  f.Expect(Calls("PreviewControl", "SetVideoClippingWindow") == 1, "clipping window to the preview control");
  Journal::Instance().InjectFailure("PreviewControl", "RepaintVideo", E_ABORT, 1);
  f.ExpectHr(E_ABORT, slot.RepaintVideo(s.window(), nullptr), "a failing preview control ends the repaint");
  COLORREF key = 0;
  f.ExpectHr(S_OK, slot.GetColorKey(&key), "colour key");
  f.Expect(key == 0x00100010, "the preview control's colour key");
  BYTE* image = nullptr;
  f.ExpectHr(E_NOTIMPL, slot.GetCurrentImage(&image), "current image");
  f.ExpectHr(S_OK, slot.SetZoomMode(2), "zoom");

  // A renderer made afresh takes the last clipping window the way the first one did.
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "connect");
  f.ExpectHr(S_OK, slot.Disconnect(), "disconnect");
  f.ExpectHr(S_OK, slot.Connect(s.CapturePin(), nullptr, nullptr), "reconnect");
  f.Expect(Calls("PreviewControl", "SetVideoClippingWindow") == 2, "clipping window to the preview control again");
  f.Expect(static_cast<Vmr7RendererWrapper*>(slot.wrapper())->monitorChoices() == 2, "monitor chosen again");
}

// args: the driver state's name, the report file, the scenario.
VORN_CHILD(RendererVmr) {
  if (args.size() != 3 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 10;
  Findings f;
  if (SUCCEEDED(SimDriver_Connect(args[0].c_str()))) {
    VmrScenario s;
    const std::wstring& name = args[2];
    const UINT format = name == L"narrow" ? kSimCaptureNarrow : name == L"vmr9" ? kSimCaptureInterlaced : kSimCaptureDefault;
    if (s.SetUp(format, f)) {
      if (name == L"vmr7") Vmr7Scenario(s, f);
      if (name == L"narrow") Vmr7NarrowScenario(s, f);
      if (name == L"recreate") Vmr7RecreateScenario(s, f);
      if (name == L"vmr9") Vmr9Scenario(s, f);
      if (name == L"control") Vmr7ControlScenario(s, f);
    }
  } else {
    f.Expect(false, "the child could not connect to the driver state");
  }
  WriteReport(args[1], f.text());
  CoUninitialize();
  return f.ok() ? 0 : 1;
}

class MixingRendererTest : public RendererTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(MixingRendererTest, AnswersAsItsKindSaysAndShowsTheChannel) {
  wchar_t folder[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
  const std::wstring report = folder + testing_support::UniqueName(L"renderer_") + L".txt";
  const DWORD result = testing_support::RunChild("RendererVmr", {StateName(), report, GetParam()}, kChildMs);
  EXPECT_EQ(0u, result) << ReadReport(report);
  DeleteFileW(report.c_str());
}

INSTANTIATE_TEST_SUITE_P(Kinds, MixingRendererTest,
                         ::testing::Values(L"vmr7", L"narrow", L"vmr9", L"control", L"recreate"));

}  // namespace

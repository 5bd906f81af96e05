// The simulated card as a viewer and a recorder meet it: the capture pin drawn by the system's
// mixing renderer 9 on a visible window (the channel is told by the picture's colours, read back
// from the screen), and the encoder's delayed "encoder stopped" after a run-to-pause.
#include "sim/card/sim_card_fixture.h"
#include "sim/card/picture_testing.h"

#include <d3d9.h>
#include <vmr9.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/handles.h"
#include "common/testing/paths.h"
#include "common/thread.h"
#include "sim/driver/driver_requests.h"

namespace {

using namespace simcard_testing;

// Generous bounds: the machine runs many test programs at once.
constexpr DWORD kSignalMs = 10000;
constexpr DWORD kPictureChildMs = 90000;  // starting Direct3D alone can take seconds
// GetTickCount and the wait inside the delayed stop may each be a tick apart.
constexpr DWORD kTickSlackMs = 20;


// The driver probe module with the stand-in attached: tunes the card as a device manager does
// and opens its driver channel.
class DriverProbe {
 public:
  using TuneFn = HRESULT (*)(const wchar_t*, std::uint32_t, std::uint32_t*);
  using CreateFn = HANDLE (*)(const wchar_t*, DWORD, DWORD, DWORD, DWORD);
  using IoctlFn = BOOL (*)(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*);
  using CloseFn = BOOL (*)(HANDLE);

  DriverProbe() {
    module_.reset(LoadLibraryW(testing_support::BinPath(L"driverprobe.dll").c_str()));
    if (!module_ || FAILED(SimDriver_Attach(module_.get(), nullptr))) {
      module_.reset();
      return;
    }
    tune = GetProcAs<TuneFn>(module_.get(), "Probe_TuneAndRead");
    create = GetProcAs<CreateFn>(module_.get(), "Probe_CreateFileW");
    ioctl = GetProcAs<IoctlFn>(module_.get(), "Probe_DeviceIoControl");
    close = GetProcAs<CloseFn>(module_.get(), "Probe_CloseHandle");
  }
  ~DriverProbe() {
    if (module_) SimDriver_Detach(module_.get());
  }
  bool ok() const { return module_ && tune && create && ioctl && close; }

  TuneFn tune = nullptr;
  CreateFn create = nullptr;
  IoctlFn ioctl = nullptr;
  CloseFn close = nullptr;

 private:
  UniqueModule module_;
};

// An event registered with the driver as the card's "encoder stopped" event, through a driver
// handle of the card's encoder channel (closing the handle unregisters it).
class StopEvent {
 public:
  StopEvent(DriverProbe& probe, const std::wstring& devicePath) : probe_(probe) {
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    device_ = probe_.create((devicePath + SIM_DRIVER_ENCODER_SUFFIX).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            OPEN_EXISTING, 0);
    if (!event_ || device_ == INVALID_HANDLE_VALUE) return;
    struct {
      GUID set;
      std::uint32_t id, kind, value;
    } packet{simdriver::kEncodePropertySet, 4, simdriver::kKindSet,
             static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event_.get()))};
    static_assert(sizeof(packet) == 28);
    DWORD returned = 0;
    registered_ = probe_.ioctl(device_, simdriver::kPropertyCode, &packet, sizeof(packet), &packet, sizeof(packet),
                               &returned) != FALSE;
  }
  ~StopEvent() {
    if (device_ != INVALID_HANDLE_VALUE) probe_.close(device_);
  }
  bool registered() const { return registered_; }
  bool Signalled() const { return WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0; }
  bool Wait(DWORD timeoutMs) const { return WaitForSingleObject(event_.get(), timeoutMs) == WAIT_OBJECT_0; }
  void Reset() { ResetEvent(event_.get()); }

 private:
  DriverProbe& probe_;
  UniqueHandle event_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  bool registered_ = false;
};

std::uint32_t EncoderStops(const std::wstring& path) {
  SimCardCounters counters{};
  EXPECT_EQ(S_OK, SimCard_GetCounters(path.c_str(), &counters));
  return counters.encoderStopsSignalled;
}

// --- The picture on the screen --------------------------------------------------------------------

// The picture check runs in a child process: once Direct3D has run in a process, Wine may kill
// that process on its way out when the machine is busy (after the results are in), and a killed
// test program would count as failed.
enum PictureResult : DWORD {
  kPictureShown = 0,
  kPictureNoSetup = 10,
  kPictureNoWindow,
  kPictureNoRenderer,
  kPictureNotConnected,
  kPictureNotRunning,
  kPictureNothingDrawn,
  kPictureChannelNotShown,
  kPictureRetuneNotShown,
};

const char* ResultText(DWORD result) {
  switch (result) {
    case kPictureShown: return "the picture showed both channels";
    case kPictureNoSetup: return "the child could not reach the card or tune it";
    case kPictureNoWindow: return "no visible window could be made: is the session's display up?";
    case kPictureNoRenderer:
      return "the mixing renderer 9 cannot be created or set to windowless mode here (it needs the session's display)";
    case kPictureNotConnected: return "the capture pin did not connect to the mixing renderer 9";
    case kPictureNotRunning: return "the graph did not run";
    case kPictureNothingDrawn: return "nothing was drawn in the window";
    case kPictureChannelNotShown: return "the window did not show the tuned channel's colours";
    case kPictureRetuneNotShown: return "the window did not turn to the new channel's colours";
    case STILL_ACTIVE: return "the picture child did not end in time";
    default: return "the picture child failed";
  }
}

// The capture pin drawn by the mixing renderer 9 in windowless mode on a window of ours. The
// members go in reverse: the graph (and the renderer with it) before the window it draws on.
class PictureSession {
 public:
  ~PictureSession() {
    if (graph_) {
      ComPtr<IMediaControl> control;
      if (SUCCEEDED(graph_.As(&control))) control->Stop();
    }
    windowless_.Reset();
    vmr_.Reset();
    capture_.Reset();
    graph_.Reset();
    window_.Stop();
  }

  explicit PictureSession(std::wstring reportPath) : reportPath_(std::move(reportPath)) {}

  DWORD Run() {
    const std::wstring path = PathOf(0, kSimRoleCapture);
    // The bound filter makes the card known to the driver, which can then be tuned.
    capture_ = Bind(0, kSimRoleCapture, kCategoryVideoInput, SIM_CARD_CAPTURE_NAME);
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph_))) ||
        !capture_ || FAILED(graph_->AddFilter(capture_.Get(), L"capture"))) {
      return Fail(kPictureNoSetup, "no graph with the card's capture filter");
    }
    std::uint32_t readBack = 0;
    if (!probe_.ok() || probe_.tune(path.c_str(), 91250000, &readBack) != S_OK) {
      return Fail(kPictureNoSetup, "tuning through the driver probe failed");
    }
    const HWND window = window_.Open();
    if (!window) return kPictureNoWindow;

    ComPtr<IVMRFilterConfig9> config;
    if (FAILED(CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&vmr_))) ||
        FAILED(graph_->AddFilter(vmr_.Get(), L"vmr9")) || FAILED(vmr_.As(&config)) ||
        FAILED(config->SetRenderingMode(VMR9Mode_Windowless)) || FAILED(vmr_.As(&windowless_)) ||
        // The clipping window first: the renderer refuses it once its streams are set up.
        FAILED(windowless_->SetVideoClippingWindow(window))) {
      return kPictureNoRenderer;
    }
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> input;
    if (FAILED(vmr_->EnumPins(&pins)) || pins->Next(1, &input, nullptr) != S_OK ||
        graph_->ConnectDirect(PinNamed(capture_.Get(), L"Capture").Get(), input.Get(), nullptr) != S_OK) {
      return kPictureNotConnected;
    }
    // One to one: the picture fills the window (the renderer draws a scaled picture into part of
    // the window only).
    RECT rect{0, 0, VideoWindow::kWidth, VideoWindow::kHeight};
    ComPtr<IMediaControl> control;
    if (FAILED(windowless_->SetVideoPosition(&rect, &rect)) || FAILED(graph_.As(&control)) ||
        FAILED(control->Run())) {
      return kPictureNotRunning;
    }

    SimCardPicture first{};
    if (SimCard_GetPicture(path.c_str(), &first) != S_OK) return Fail(kPictureNoSetup, "no picture of the card");
    PictureCheck check = WaitForPicture(first);
    std::string report = "first channel: " + Describe(check, first);
    WriteReport(reportPath_, report);
    if (check.allBlack) return kPictureNothingDrawn;
    if (!check.Shows()) return kPictureChannelNotShown;

    // Another channel: its colour is far from the first one's, and the window turns to it.
    SimCardPicture second{};
    if (probe_.tune(path.c_str(), 97250000, &readBack) != S_OK || SimCard_GetPicture(path.c_str(), &second) != S_OK) {
      return Fail(kPictureNoSetup, "retuning failed");
    }
    int distance = 0;
    for (int c = 0; c < 3; ++c) distance = std::max(distance, std::abs(first.top[c] - second.top[c]));
    if (distance <= 2 * kColourTolerance) return Fail(kPictureNoSetup, "the two channels' colours are too close");
    check = WaitForPicture(second);
    report += "; second channel: " + Describe(check, second);
    WriteReport(reportPath_, report);
    return check.Shows() ? kPictureShown : kPictureRetuneNotShown;
  }

 private:
  DWORD Fail(DWORD result, const char* what) {
    WriteReport(reportPath_, what);
    return result;
  }
  // Polls the screen until the picture shows `expected` (or the time is up); the last check.
  PictureCheck WaitForPicture(const SimCardPicture& expected) {
    PictureCheck check;
    WaitUntil(
        [&] {
          check = Check(ScreenCopy::Of(window_.ScreenRect()), expected);
          return check.Shows();
        },
        kPictureMs);
    return check;
  }

  const std::wstring reportPath_;
  VideoWindow window_;
  DriverProbe probe_;  // the driver state is connected before the session is made
  ComPtr<IGraphBuilder> graph_;
  ComPtr<IBaseFilter> capture_;
  ComPtr<IBaseFilter> vmr_;
  ComPtr<IVMRWindowlessControl9> windowless_;
};

// args: the driver state's name, the report file.
VORN_CHILD(SimCardVmrPicture) {
  if (args.size() != 2 || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return kPictureNoSetup;
  DWORD result = kPictureNoSetup;
  if (SUCCEEDED(SimDriver_Connect(args[0].c_str()))) {
    PictureSession session(args[1]);
    result = session.Run();
  } else {
    WriteReport(args[1], "the child could not connect to the driver state");
  }
  CoUninitialize();
  return static_cast<int>(result);
}

class SimCardRenderTest : public SimCardTest {};

TEST_F(SimCardRenderTest, MixingRendererShowsTheTunedChannelAndFollowsRetuning) {
  wchar_t folder[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
  const std::wstring report = folder + testing_support::UniqueName(L"simcard_picture_") + L".txt";
  const DWORD result = testing_support::RunChild("SimCardVmrPicture", {StateName(), report}, kPictureChildMs);
  EXPECT_EQ(static_cast<DWORD>(kPictureShown), result) << ResultText(result) << ": " << ReadReport(report);
  DeleteFileW(report.c_str());
}

// --- The delayed "encoder stopped" ------------------------------------------------------------------

class SimCardEncoderStopTest : public SimCardGraphTest {
 protected:
  void SetUp() override {
    SimCardGraphTest::SetUp();
    // Only now: attaching before the fixture connected the driver state would connect the default.
    probe_ = std::make_unique<DriverProbe>();
    ASSERT_TRUE(probe_->ok());
    encoder_ = Bind(0, kSimRoleEncoder, kCategoryEncoder, SIM_CARD_ENCODER_NAME);
    ASSERT_TRUE(encoder_);
  }
  void TearDown() override {
    encoder_.Reset();
    SimCardGraphTest::TearDown();
    probe_.reset();
  }
  // The encoder fed by the capture filter's virtual pins, its packs recorded.
  graph_testkit::RecordingSink* BuildRecording() {
    EXPECT_EQ(S_OK, graph_->AddFilter(encoder_.Get(), L"encoder"));
    EXPECT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Virtual Video Out").Get(),
                                          PinNamed(encoder_.Get(), L"Virtual Video In").Get(), nullptr));
    EXPECT_EQ(S_OK, graph_->ConnectDirect(PinNamed(capture_.Get(), L"Virtual Audio Out").Get(),
                                          PinNamed(encoder_.Get(), L"Virtual Audio In").Get(), nullptr));
    auto* sink = AddSink(L"sink");
    EXPECT_EQ(S_OK, graph_->ConnectDirect(PinNamed(encoder_.Get(), L"MPEG Out").Get(), sink->InputPin(), nullptr));
    return sink;
  }
  HRESULT StopGraph() {
    ComPtr<IMediaControl> control;
    HRESULT hr = graph_.As(&control);
    return FAILED(hr) ? hr : control->Stop();
  }

  std::unique_ptr<DriverProbe> probe_;
  ComPtr<IBaseFilter> encoder_;
};

TEST_F(SimCardEncoderStopTest, DelayedStopIsSignalledOnceTheDelayHasPassed) {
  constexpr DWORD kDelayMs = 300;
  StopEvent stopped(*probe_, capturePath_);
  ASSERT_TRUE(stopped.registered());
  ASSERT_EQ(S_OK, SimCard_SetEncoderStopMode(capturePath_.c_str(), kSimEncoderStopDelayed, kDelayMs));
  auto* sink = BuildRecording();
  ASSERT_TRUE(SUCCEEDED(Run()));
  ASSERT_TRUE(sink->WaitForSamples(3, kSignalMs));
  EXPECT_FALSE(stopped.Signalled());  // running: nothing stopped yet

  const ULONGLONG paused = GetTickCount64();
  ASSERT_TRUE(SUCCEEDED(Pause()));
  ASSERT_TRUE(stopped.Wait(kSignalMs)) << "no \"encoder stopped\" after the delay";
  const ULONGLONG signalled = GetTickCount64();
  // Never before the delay, however slow the machine; the upper bound is the wait above.
  EXPECT_GE(signalled - paused + kTickSlackMs, kDelayMs);
  EXPECT_TRUE(WaitUntil([&] { return EncoderStops(capturePath_) == 1; }, kSignalMs));

  // Paused again after another run: one more, again after the delay.
  stopped.Reset();
  ASSERT_TRUE(SUCCEEDED(Run()));
  const ULONGLONG pausedAgain = GetTickCount64();
  ASSERT_TRUE(SUCCEEDED(Pause()));
  ASSERT_TRUE(stopped.Wait(kSignalMs));
  EXPECT_GE(GetTickCount64() - pausedAgain + kTickSlackMs, kDelayMs);
  EXPECT_TRUE(WaitUntil([&] { return EncoderStops(capturePath_) == 2; }, kSignalMs));
  ASSERT_TRUE(SUCCEEDED(StopGraph()));
  EXPECT_EQ(2u, EncoderStops(capturePath_));
}

// Stopped before the delay has passed: the pending stop is dropped and nothing fires later.
// Released while pending: the filter's end waits the timer out, nothing fires into the void.
TEST_F(SimCardEncoderStopTest, StopOrReleaseBeforeTheDelayLeavesNoLateSignal) {
  constexpr DWORD kDelayMs = 1500;
  StopEvent stopped(*probe_, capturePath_);
  ASSERT_TRUE(stopped.registered());
  ASSERT_EQ(S_OK, SimCard_SetEncoderStopMode(capturePath_.c_str(), kSimEncoderStopDelayed, kDelayMs));

  // In a graph: run, pause, stop at once.
  BuildRecording();
  ASSERT_TRUE(SUCCEEDED(Run()));
  ULONGLONG paused = GetTickCount64();
  ASSERT_TRUE(SUCCEEDED(Pause()));
  ASSERT_TRUE(SUCCEEDED(StopGraph()));
  bool early = GetTickCount64() - paused < kDelayMs;
  std::uint32_t atStop = EncoderStops(capturePath_);
  bool signalledAtStop = stopped.Signalled();
  Sleep(kDelayMs + 500);
  // Whatever the timing, nothing arrives after the stop returned ...
  EXPECT_EQ(atStop, EncoderStops(capturePath_));
  if (!signalledAtStop) {
    EXPECT_FALSE(stopped.Signalled());
  }
  // ... and a stop in time drops the pending one.
  if (early) {
    EXPECT_EQ(0u, atStop);
    EXPECT_FALSE(stopped.Signalled());
  }

  // Outside a graph: run, pause, and the last reference goes while the stop is pending.
  ASSERT_EQ(S_OK, graph_->RemoveFilter(encoder_.Get()));
  stopped.Reset();
  const std::uint32_t before = EncoderStops(capturePath_);
  ASSERT_EQ(S_OK, encoder_->Run(0));
  paused = GetTickCount64();
  ASSERT_EQ(S_OK, encoder_->Pause());
  EXPECT_EQ(0u, encoder_.Detach()->Release());
  early = GetTickCount64() - paused < kDelayMs;
  atStop = EncoderStops(capturePath_);
  signalledAtStop = stopped.Signalled();
  Sleep(kDelayMs + 500);
  EXPECT_EQ(atStop, EncoderStops(capturePath_));
  if (!signalledAtStop) {
    EXPECT_FALSE(stopped.Signalled());
  }
  if (early) {
    EXPECT_EQ(before, atStop);
    EXPECT_FALSE(stopped.Signalled());
  }
}

}  // namespace

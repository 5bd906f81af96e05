#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/video_types.h"
#include "filters/include/filter_interfaces.h"
#include "sim/doubles/platform_doubles_testing.h"
#include "sim/doubles/renderer_graph_testing.h"

#include <d3d9.h>
#include <vmr9.h>

using Microsoft::WRL::ComPtr;
using doubles::Journal;
using graph_testkit::MakeFieldVideoType;
using graph_testkit::MakeVideoType;
using graph_testkit::SamplePlan;
using platform_testing::ExpectInterfaces;
using platform_testing::PinAt;

namespace {

constexpr char kObject[] = "SimVideoRenderer";
constexpr REFERENCE_TIME kFrameTime = 333667;

std::vector<SamplePlan> Frames(int count, REFERENCE_TIME first = 0) {
  std::vector<SamplePlan> plans(count);
  for (int i = 0; i < count; ++i) {
    plans[i].start = first + i * kFrameTime;
    plans[i].stop = first + (i + 1) * kFrameTime;
  }
  return plans;
}

template <class T>
ComPtr<T> Query(IUnknown* object, REFIID iid) {
  ComPtr<T> p;
  EXPECT_EQ(S_OK, object->QueryInterface(iid, reinterpret_cast<void**>(p.GetAddressOf())));
  return p;
}

class VideoRendererTest : public platform_testing::RegisteredDoublesTest {
 protected:
  ComPtr<IBaseFilter> Create() {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(S_OK, CoCreateInstance(doubles::kClsidSimVideoRenderer, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_PPV_ARGS(&filter)));
    return filter;
  }
  // A renderer switched to windowless mode, as the device manager prepares it.
  ComPtr<IBaseFilter> CreateWindowless() {
    ComPtr<IBaseFilter> filter = Create();
    if (filter) {
      EXPECT_EQ(S_OK, Query<IVMRFilterConfig>(filter.Get(), IID_IVMRFilterConfig)->SetRenderingMode(2));
    }
    return filter;
  }
};

// The push source feeding the renderer in Wine's filter graph manager.
struct VideoGraph : platform_testing::RendererGraph {
  void Build(IBaseFilter* renderer, const CMediaType& type) {
    RendererGraph::Build(renderer, type, L"New Quib Video Renderer");
  }
};

TEST_F(VideoRendererTest, IsCreatedByItsClassOnlyWhileRegistered) {
  ComPtr<IBaseFilter> renderer = Create();
  ASSERT_TRUE(renderer);
  CLSID clsid{};
  ASSERT_EQ(S_OK, renderer->GetClassID(&clsid));
  EXPECT_EQ(doubles::kClsidSimVideoRenderer, clsid);
  ExpectInterfaces(renderer.Get(),
                   {IID_IBaseFilter, IID_IMediaFilter, IID_IVMRFilterConfig, IID_KivraNtscZoom, IID_KivraNtsc2,
                    IID_KivraNtsc, IID_IAMFilterMiscFlags},
                   {IID_IVMRWindowlessControl, IID_IVideoWindow, IID_IBasicVideo, IID_IVMRFilterConfig9,
                    IID_IVMRWindowlessControl9, IID_ITeskControl, IID_IPlanarFieldOrder, IID_IBasicAudio, IID_IPin});
  EXPECT_EQ((std::vector<std::wstring>{L"in:Video Input"}), platform_testing::PinNames(renderer.Get()));
  // In no category: nothing of it is found among the registered filters.
  EXPECT_TRUE(platform_testing::BindByName(CLSID_LegacyAmFilterCategory, L"Sim video renderer").empty());
  EXPECT_EQ(0u, renderer.Reset());

  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
  ComPtr<IBaseFilter> gone;
  EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(doubles::kClsidSimVideoRenderer, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_PPV_ARGS(&gone)));
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));  // for TearDown
  EXPECT_TRUE(Create());
}

TEST_F(VideoRendererTest, RenderingModeIsKeptAndOpensTheWindowlessControl) {
  ComPtr<IBaseFilter> renderer = Create();
  ASSERT_TRUE(renderer);
  ComPtr<IVMRFilterConfig> config = Query<IVMRFilterConfig>(renderer.Get(), IID_IVMRFilterConfig);
  DWORD mode = 0;
  ASSERT_EQ(S_OK, config->GetRenderingMode(&mode));
  EXPECT_EQ(1u, mode);

  // An injected failure is returned and changes nothing.
  ASSERT_TRUE(Journal::Instance().InjectFailure(kObject, "SetRenderingMode", E_OUTOFMEMORY, 1));
  EXPECT_EQ(E_OUTOFMEMORY, config->SetRenderingMode(2));
  ASSERT_EQ(S_OK, config->GetRenderingMode(&mode));
  EXPECT_EQ(1u, mode);
  ComPtr<IVMRWindowlessControl> windowless;
  EXPECT_EQ(E_NOINTERFACE, renderer->QueryInterface(IID_IVMRWindowlessControl,
                                                    reinterpret_cast<void**>(windowless.GetAddressOf())));

  EXPECT_EQ(E_NOTIMPL, config->SetRenderingMode(4));
  EXPECT_EQ(E_INVALIDARG, config->SetRenderingMode(3));
  ASSERT_EQ(S_OK, config->SetRenderingMode(2));
  ASSERT_EQ(S_OK, config->GetRenderingMode(&mode));
  EXPECT_EQ(2u, mode);
  EXPECT_EQ(S_OK, renderer->QueryInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(windowless.GetAddressOf())));
  EXPECT_EQ(E_POINTER, config->GetRenderingMode(nullptr));

  const auto calls = Journal::Instance().Calls(kObject, "SetRenderingMode");
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ(2, calls[0].args[0]);
  EXPECT_EQ(E_OUTOFMEMORY, calls[0].result);
  EXPECT_EQ(2, calls[3].args[0]);
  EXPECT_EQ(S_OK, calls[3].result);
  windowless.Reset();
  config.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(VideoRendererTest, WindowlessCallsAreRecordedAndReadBack) {
  ComPtr<IBaseFilter> renderer = CreateWindowless();
  ASSERT_TRUE(renderer);
  ComPtr<IVMRWindowlessControl> w = Query<IVMRWindowlessControl>(renderer.Get(), IID_IVMRWindowlessControl);
  ASSERT_TRUE(w);
  Journal::Instance().Reset();

  const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10042));
  const HDC dc = reinterpret_cast<HDC>(static_cast<uintptr_t>(0x20084));
  EXPECT_EQ(S_OK, w->SetVideoClippingWindow(window));
  RECT source{8, 4, 712, 476}, destination{10, 20, 330, 260};
  EXPECT_EQ(S_OK, w->SetVideoPosition(&source, &destination));
  EXPECT_EQ(S_OK, w->SetAspectRatioMode(VMR_ARMODE_NONE));
  EXPECT_EQ(E_INVALIDARG, w->SetAspectRatioMode(7));
  EXPECT_EQ(S_OK, w->SetColorKey(RGB(1, 2, 3)));
  EXPECT_EQ(S_OK, w->RepaintVideo(window, dc));
  EXPECT_EQ(S_OK, w->DisplayModeChanged());

  RECT gotSource{}, gotDestination{};
  ASSERT_EQ(S_OK, w->GetVideoPosition(&gotSource, &gotDestination));
  EXPECT_TRUE(EqualRect(&source, &gotSource));
  EXPECT_TRUE(EqualRect(&destination, &gotDestination));
  DWORD aspect = 99;
  ASSERT_EQ(S_OK, w->GetAspectRatioMode(&aspect));
  EXPECT_EQ(static_cast<DWORD>(VMR_ARMODE_NONE), aspect);  // the refused mode left it
  COLORREF key = 0;
  ASSERT_EQ(S_OK, w->GetColorKey(&key));
  EXPECT_EQ(RGB(1, 2, 3), key);
  LONG width = -1, height = -1, ax = -1, ay = -1;
  ASSERT_EQ(S_OK, w->GetNativeVideoSize(&width, &height, &ax, &ay));
  EXPECT_EQ(0, width);  // nothing connected yet
  EXPECT_EQ(0, height);

  // A null source stands for the whole picture (none before a connection).
  EXPECT_EQ(S_OK, w->SetVideoPosition(nullptr, &destination));
  ASSERT_EQ(S_OK, w->GetVideoPosition(&gotSource, &gotDestination));
  EXPECT_TRUE(IsRectEmpty(&gotSource));
  EXPECT_EQ(E_POINTER, w->SetVideoPosition(&source, nullptr));
  EXPECT_EQ(E_POINTER, w->GetVideoPosition(&gotSource, nullptr));
  EXPECT_EQ(E_POINTER, w->GetColorKey(nullptr));
  EXPECT_EQ(E_POINTER, w->GetNativeVideoSize(&width, nullptr, &ax, &ay));

  // A failing Get leaves the caller's value alone.
  ASSERT_TRUE(Journal::Instance().InjectFailure(kObject, "GetColorKey", E_UNEXPECTED, 1));
  key = 77;
  EXPECT_EQ(E_UNEXPECTED, w->GetColorKey(&key));
  EXPECT_EQ(77u, key);

  const auto calls = Journal::Instance().Calls(kObject);
  std::vector<std::string> names;
  for (const auto& c : calls) names.push_back(c.method);
  EXPECT_EQ((std::vector<std::string>{"SetVideoClippingWindow", "SetVideoPosition", "SetAspectRatioMode",
                                      "SetAspectRatioMode", "SetColorKey", "RepaintVideo", "DisplayModeChanged",
                                      "GetVideoPosition", "GetAspectRatioMode", "GetColorKey", "GetNativeVideoSize",
                                      "SetVideoPosition", "GetVideoPosition", "GetColorKey"}),
            names);
  ASSERT_EQ(14u, calls.size());
  EXPECT_EQ(0x10042, calls[0].args[0]);
  EXPECT_EQ((std::vector<std::int64_t>{10, 20, 330, 260}),
            std::vector<std::int64_t>(calls[1].args, calls[1].args + 4));
  EXPECT_EQ(7, calls[3].args[0]);
  EXPECT_EQ(static_cast<std::int64_t>(RGB(1, 2, 3)), calls[4].args[0]);
  EXPECT_EQ(0x10042, calls[5].args[0]);
  EXPECT_EQ(0x20084, calls[5].args[1]);
  EXPECT_EQ(E_UNEXPECTED, calls[13].result);
  w.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(VideoRendererTest, ZoomAndFieldOrderAreKept) {
  ComPtr<IBaseFilter> renderer = Create();
  ASSERT_TRUE(renderer);
  ComPtr<KivraNtscZoom> zoom = Query<KivraNtscZoom>(renderer.Get(), IID_KivraNtscZoom);
  LONG mode = -1;
  ASSERT_EQ(S_OK, zoom->GetZoomMode(&mode));
  EXPECT_EQ(0, mode);
  EXPECT_EQ(S_OK, zoom->SetZoomMode(1));
  ASSERT_TRUE(Journal::Instance().InjectFailure(kObject, "SetZoomMode", E_FAIL, 1));
  EXPECT_EQ(E_FAIL, zoom->SetZoomMode(0));
  ASSERT_EQ(S_OK, zoom->GetZoomMode(&mode));
  EXPECT_EQ(1, mode);

  ComPtr<KivraNtsc2> ntsc2 = Query<KivraNtsc2>(renderer.Get(), IID_KivraNtsc2);
  LONG order = -1;
  ASSERT_EQ(S_OK, ntsc2->GetFieldOrder(&order));
  EXPECT_EQ(0, order);
  EXPECT_EQ(S_OK, ntsc2->SetFieldOrder(2));
  EXPECT_EQ(E_INVALIDARG, ntsc2->SetFieldOrder(3));
  EXPECT_EQ(E_INVALIDARG, ntsc2->SetFieldOrder(-1));
  ASSERT_EQ(S_OK, ntsc2->GetFieldOrder(&order));
  EXPECT_EQ(2, order);  // the refused values left it
  EXPECT_EQ(E_POINTER, ntsc2->GetFieldOrder(nullptr));
  const auto sets = Journal::Instance().Calls(kObject, "SetFieldOrder");
  ASSERT_EQ(3u, sets.size());
  EXPECT_EQ(3, sets[1].args[0]);

  // The older interface is the same object, with nothing implemented.
  ComPtr<KivraNtsc> ntsc = Query<KivraNtsc>(renderer.Get(), IID_KivraNtsc);
  EXPECT_EQ(E_NOTIMPL, ntsc->Unused3());
  EXPECT_EQ(E_NOTIMPL, ntsc->Unused10());
  ComPtr<IUnknown> a, b;
  ASSERT_EQ(S_OK, ntsc->QueryInterface(IID_PPV_ARGS(&a)));
  ASSERT_EQ(S_OK, zoom->QueryInterface(IID_PPV_ARGS(&b)));
  EXPECT_EQ(a.Get(), b.Get());
  a.Reset();
  b.Reset();
  ntsc.Reset();
  ntsc2.Reset();
  zoom.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(VideoRendererTest, AcceptsPositiveHeightVideoOfItsSubtypes) {
  ComPtr<IBaseFilter> renderer = Create();
  ASSERT_TRUE(renderer);
  ComPtr<IPin> input = PinAt(renderer.Get(), PINDIR_INPUT, 0);
  ASSERT_TRUE(input);
  const CMediaType yuy2 = MakeVideoType(720, 480), yuy2Info2 = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2),
                   rgb32 = MakeVideoType(352, 240, MEDIASUBTYPE_RGB32), planar = MakeFieldVideoType(720, 480),
                   topDown = MakeVideoType(720, -480), rgb24 = MakeVideoType(720, 480, MEDIASUBTYPE_RGB24),
                   uyvy = MakeVideoType(720, 480, MEDIASUBTYPE_UYVY);
  EXPECT_EQ(S_OK, input->QueryAccept(&yuy2));
  EXPECT_EQ(S_OK, input->QueryAccept(&yuy2Info2));
  EXPECT_EQ(S_OK, input->QueryAccept(&rgb32));
  EXPECT_EQ(S_OK, input->QueryAccept(&planar));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&topDown));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&rgb24));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&uyvy));
  CMediaType truncated = yuy2;
  truncated.ReallocFormatBuffer(sizeof(VIDEOINFOHEADER) - 8);
  EXPECT_EQ(S_FALSE, input->QueryAccept(&truncated));
  CMediaType audio(&MEDIATYPE_Audio);
  audio.SetSubtype(&MEDIASUBTYPE_PCM);
  EXPECT_EQ(S_FALSE, input->QueryAccept(&audio));
  input.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(VideoRendererTest, CountsFramesBehindAPushSourceInAGraph) {
  ComPtr<IBaseFilter> renderer = CreateWindowless();
  ASSERT_TRUE(renderer);
  ComPtr<IVMRWindowlessControl> w = Query<IVMRWindowlessControl>(renderer.Get(), IID_IVMRWindowlessControl);
  {
    CMediaType wide = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
    auto* info = reinterpret_cast<VIDEOINFOHEADER2*>(wide.Format());
    info->dwPictAspectRatioX = 16;
    info->dwPictAspectRatioY = 9;
    VideoGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(renderer.Get(), wide));
    // Connected: the mode is fixed, and the native size is the connected one.
    ComPtr<IVMRFilterConfig> config = Query<IVMRFilterConfig>(renderer.Get(), IID_IVMRFilterConfig);
    EXPECT_EQ(VFW_E_WRONG_STATE, config->SetRenderingMode(1));
    LONG width = 0, height = 0, ax = 0, ay = 0;
    ASSERT_EQ(S_OK, w->GetNativeVideoSize(&width, &height, &ax, &ay));
    EXPECT_EQ(720, width);
    EXPECT_EQ(480, height);
    EXPECT_EQ(16, ax);  // the picture aspect ratio of the VideoInfo2 format
    EXPECT_EQ(9, ay);
    RECT destination{0, 0, 320, 240}, source{};
    ASSERT_EQ(S_OK, w->SetVideoPosition(nullptr, &destination));
    ASSERT_EQ(S_OK, w->GetVideoPosition(&source, &destination));
    EXPECT_EQ(720, source.right);
    EXPECT_EQ(480, source.bottom);

    constexpr int kCount = 10;
    ASSERT_EQ(S_OK, g.source->StartPushing(Frames(kCount), true));
    ASSERT_EQ(S_OK, g.control->Run());
    long code = 0;
    ASSERT_EQ(S_OK, g.events->WaitForCompletion(5000, &code));
    EXPECT_EQ(EC_COMPLETE, code);
    EXPECT_EQ(kCount, Journal::Instance().Value(doubles::kValueVideoFrames));
    ASSERT_TRUE(g.source->WaitPushed(2000));
    for (HRESULT hr : g.source->PushResults()) EXPECT_EQ(S_OK, hr);
  }
  // Disconnected with the graph: the native size is gone again.
  LONG width = -1, height = -1, ax = -1, ay = -1;
  ASSERT_EQ(S_OK, w->GetNativeVideoSize(&width, &height, &ax, &ay));
  EXPECT_EQ(0, width);
  w.Reset();
  EXPECT_EQ(0u, renderer.Reset());
}

// What the preview bench reads of the renderer: the frames that reached its input, counted
// before it waits for their time, and how far the graph's start time lay ahead of its clock.
TEST_F(VideoRendererTest, CountsArrivalsBeforeTheirTimeAndTheStartLead) {
  constexpr REFERENCE_TIME kClock = 50000000;
  constexpr REFERENCE_TIME kLead = 2000000;
  ComPtr<IBaseFilter> renderer = CreateWindowless();
  ASSERT_TRUE(renderer);
  ComPtr<graph_testkit::ManualClock> clock;
  clock.Attach(graph_testkit::ManualClock::Create(kClock));
  Journal& journal = Journal::Instance();
  {
    VideoGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(renderer.Get(), MakeFieldVideoType(720, 480)));
    ComPtr<IMediaFilter> graph;
    ASSERT_EQ(S_OK, g.graph.As(&graph));
    ASSERT_EQ(S_OK, graph->SetSyncSource(clock.Get()));
    ASSERT_EQ(S_OK, g.source->StartPushing(Frames(2), false));
    ASSERT_TRUE(SUCCEEDED(graph->Run(kClock + kLead)));
    // The first frame is due at the start time, which the held clock never reaches.
    const ULONGLONG end = GetTickCount64() + 5000;
    while (journal.Value(doubles::kValueVideoArrivals) == 0 && GetTickCount64() < end) Sleep(5);
    EXPECT_EQ(1, journal.Value(doubles::kValueVideoArrivals));
    EXPECT_EQ(0, journal.Value(doubles::kValueVideoFrames));
    EXPECT_EQ(kLead, journal.Value(doubles::kValueVideoStartLead));
    ASSERT_EQ(S_OK, g.control->Stop());
  }
  EXPECT_EQ(0u, renderer.Reset());
}

TEST_F(VideoRendererTest, HoldsFramesWhilePausedAndLetsGoOnStop) {
  ComPtr<IBaseFilter> renderer = CreateWindowless();
  ASSERT_TRUE(renderer);
  {
    VideoGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(renderer.Get(), MakeFieldVideoType(720, 480)));
    ASSERT_NO_FATAL_FAILURE(platform_testing::ExpectHeldWhilePausedAndLetGoOnStop(
        g, Frames(3), Frames(1, 1000 * 10000000LL), doubles::kValueVideoFrames));
  }
  EXPECT_EQ(0u, renderer.Reset());
}

}  // namespace

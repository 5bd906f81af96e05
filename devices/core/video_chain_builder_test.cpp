// The video chain builder: its selection rules as tables, and chains built in a graph around the
// simulated card's capture filter against the doubles of the outside filters (the system
// renderer's stand-in counts the frames it gets).
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/testing/child.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/custom_video_chain_builder.h"
#include "devices/core/outside_filters.h"
#include "devices/core/planar_pack_converter.h"
#include "devices/core/video_chain_builder.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles_testing.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;

namespace {

constexpr wchar_t kBoardInfo[] = L"Software\\Zarn Corporation\\TunerBrdInfo";
constexpr wchar_t kTovrel[] = L"Software\\Zarn Corporation\\Tovrel";

HMODULE FilterDoubles() {
  static HMODULE module = LoadLibraryW(testing_support::BinPath(L"filterdoubles.dll").c_str());
  return module;
}

ChainDevice Device(DWORD caps) {
  ChainDevice device;
  device.capabilities = caps;
  device.settings.module = FilterDoubles();
  return device;
}

// The names of the filters from `pin`'s peer downstream, following each filter's first
// connected output.
std::vector<std::wstring> ChainFrom(IPin* pin) {
  std::vector<std::wstring> names;
  ComPtr<IPin> out = pin;
  for (int guard = 0; out && guard < 16; ++guard) {
    ComPtr<IPin> peer;
    if (out->ConnectedTo(&peer) != S_OK) break;
    PIN_INFO info{};
    peer->QueryPinInfo(&info);
    ComPtr<IBaseFilter> filter;
    filter.Attach(info.pFilter);
    FILTER_INFO finfo{};
    filter->QueryFilterInfo(&finfo);
    if (finfo.pGraph) finfo.pGraph->Release();
    names.push_back(finfo.achName);
    out.Reset();
    ComPtr<IEnumPins> pins;
    filter->EnumPins(&pins);
    for (ComPtr<IPin> p; pins->Next(1, &p, nullptr) == S_OK; p.Reset()) {
      PIN_DIRECTION dir;
      ComPtr<IPin> connected;
      if (SUCCEEDED(p->QueryDirection(&dir)) && dir == PINDIR_OUTPUT && p->ConnectedTo(&connected) == S_OK) {
        out = p;
        break;
      }
    }
  }
  return names;
}

}  // namespace

TEST(VideoChainSelection, ProcessingRendererAndCaptionsFollowCapabilitiesModeAndBoardSettings) {
  testing_support::ScratchRegistryKey boardInfo(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", kBoardInfo);
  testing_support::ScratchRegistryKey tovrel(HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", kTovrel);
  struct Case {
    DWORD caps, mode;
    const wchar_t* boardValue;  // set to 1 under TunerBrdInfo, or null
    DWORD tovrelDxva;
    int deinterlacer, processing, renderer;
    DWORD preferences, captions;
  } cases[] = {
      {0x200, 0x0, nullptr, 0, 1, 0, 4, 2, 0},
      {0x0, 0x52000, L"DXVA", 0, 2, 4, 1, 2, 0},
      {0x0, 0x50, nullptr, 1, 2, 2, 2, 2, 0},
      {0x210, 0x50, nullptr, 0, 1, 1, 2, 2, 0},
      {0x0, 0x1001, L"Qfa Tesk", 0, 4, 5, 1, 0, 0},
      {0x0, 0x2002, L"MOR Deinterlace", 0, 3, 3, 1, 1, 0},
      {0x0, 0x22000, nullptr, 0, 1, 1, 1, 2, 0},
      {0x0, 0x32000, nullptr, 0, 1, 2, 1, 2, 0},
      {0x0, 0x42000, nullptr, 0, 1, 3, 1, 2, 0},
      {0x0, 0x12000, nullptr, 0, 1, 0, 1, 2, 0},
      {0x0, 0x62000, nullptr, 0, 1, 1, 1, 2, 0},
      {0x200, 0x40, nullptr, 0, 1, 0, 4, 2, 0},
      {0x0, 0x40, nullptr, 0, 1, 0, 0, 2, 0},
      {0x90, 0x10, nullptr, 0, 1, 1, 3, 2, 0x20001},
      {0x10, 0x30, nullptr, 0, 1, 1, 5, 2, 0},
      {0x280, 0x30, nullptr, 0, 1, 1, 0, 2, 0x10001},
      {0x0, 0x10, nullptr, 0, 1, 1, 0, 2, 0},
      {0x0, 0x20, nullptr, 0, 1, 1, 1, 2, 0},
      {0x200, 0x70, nullptr, 0, 1, 1, 0, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "caps " << c.caps << " mode " << c.mode);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBoardInfo);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTovrel);
    if (c.boardValue) {
      ASSERT_TRUE(boardInfo.SetDword(L"DXVA", 0));
      ASSERT_TRUE(boardInfo.SetDword(c.boardValue, 1));
    }
    if (c.tovrelDxva) {
      ASSERT_TRUE(tovrel.SetDword(L"DXVA", c.tovrelDxva));
    }
    VideoChainBuilder builder(Device(c.caps), false);
    EXPECT_EQ(c.deinterlacer, builder.deinterlacer());
    EXPECT_EQ(c.processing, builder.ProcessingKind(c.mode));
    const RendererChoiceResult renderer = builder.RendererChoice(c.mode);
    EXPECT_EQ(c.renderer, renderer.kind);
    EXPECT_EQ(c.preferences, renderer.preferences);
    EXPECT_EQ(c.captions, builder.ClosedCaptionMode());
  }
}

TEST(VideoChainSelection, ImageSizeIsComputedWhenTheHeaderLeavesItOpen) {
  BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), 33, -10, 1, 24, BI_RGB, 0, 0, 0, 2, 0};
  EXPECT_EQ(sizeof(BITMAPINFOHEADER) + 8 + 100 * 10, VideoChainBuilder::DibSize(header));  // rows of 99 bytes padded to 100
  header.biSizeImage = 1234;
  EXPECT_EQ(sizeof(BITMAPINFOHEADER) + 8 + 1234, VideoChainBuilder::DibSize(header));
}

// A builder of another family's policy: the deinterlacer kinds go after the captions and the
// custom filter.
class LateProcessingBuilder final : public VideoChainBuilder {
 public:
  using VideoChainBuilder::VideoChainBuilder;

 protected:
  bool IsLateKind(int kind) const override { return kind == 1 || kind == 4 || kind == 5; }
};

class VideoChainBuilderTest : public simcard_testing::SimCardGraphTest {
 protected:
  void SetUp() override {
    SimCardGraphTest::SetUp();
    Journal::Instance().Reset();
    ASSERT_TRUE(FilterDoubles());
    ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
    auto reg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(FilterDoubles(), "DllRegisterServer");
    ASSERT_TRUE(reg);
    ASSERT_EQ(S_OK, reg());
    video_ = simcard_testing::PinNamed(capture_.Get(), L"Capture");
    vbi_ = simcard_testing::PinNamed(capture_.Get(), L"VBI");
    ASSERT_TRUE(video_ && vbi_);
  }
  void TearDown() override {
    video_.Reset();
    vbi_.Reset();
    auto unreg = GetProcAs<HRESULT(STDAPICALLTYPE*)()>(FilterDoubles(), "DllUnregisterServer");
    if (unreg) {
      EXPECT_EQ(S_OK, unreg());
    }
    EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
    SimCardGraphTest::TearDown();
  }
  ChainSource Source(bool withVbi) {
    ChainSource source;
    source.video = video_.Get();
    source.extra1 = withVbi ? vbi_.Get() : nullptr;
    return source;
  }
  // Frames the system renderer's stand-in consumed.
  static std::int64_t Frames() { return Journal::Instance().Value(doubles::kValueVideoFrames); }
  bool WaitForFrames(std::int64_t count) {
    for (int i = 0; i < 500; ++i) {
      if (Frames() >= count) return true;
      Sleep(10);
    }
    return false;
  }

  testing_support::ScratchRegistryKey boardInfo_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", kBoardInfo};
  ComPtr<IPin> video_, vbi_;
};

TEST_F(VideoChainBuilderTest, CapturePinReachesTheRendererAndTheChainIsKeptWhileRunning) {
  VideoChainBuilder builder(Device(0x200), false);
  DWORD type = 7, index = 7, low = 7, high = 7;
  EXPECT_EQ(errors::kChainNoRenderer, builder.GetColorKey(&type, &index, &low, &high));
  EXPECT_TRUE(type == 7 && index == 7 && low == 7 && high == 7);
  EXPECT_EQ(errors::kChainNoRenderer, builder.SetVideoClippingWindow(nullptr));

  ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(false), 0));
  EXPECT_EQ(1u, builder.ElementCount());
  EXPECT_EQ(errors::kChainNullPointer, builder.Build(graph_.Get(), Source(false), 0x52010));
  EXPECT_EQ(1u, builder.ElementCount());
  ASSERT_EQ(S_OK, builder.Connect());
  EXPECT_EQ(std::vector<std::wstring>{L"New Quib Video Renderer"}, ChainFrom(video_.Get()));

  ASSERT_EQ(S_OK, Run());
  EXPECT_TRUE(WaitForFrames(3)) << Frames();
  EXPECT_EQ(errors::kGraphNotStopped, builder.ReleaseFilters());
  EXPECT_TRUE(builder.IsBuilt());
  EXPECT_EQ(S_OK, builder.GetColorKey(&type, &index, &low, &high));
  EXPECT_EQ(2u, type);
  EXPECT_EQ(low, high);

  ComPtr<IMediaControl> control;
  ASSERT_EQ(S_OK, graph_.As(&control));
  ASSERT_EQ(S_OK, control->Stop());
  EXPECT_EQ(S_OK, builder.ReleaseFilters());
  EXPECT_FALSE(builder.IsBuilt());
  ComPtr<IPin> peer;
  EXPECT_EQ(VFW_E_NOT_CONNECTED, video_->ConnectedTo(&peer));
  ComPtr<IBaseFilter> renderer;
  EXPECT_EQ(VFW_E_NOT_FOUND, graph_->FindFilterByName(L"New Quib Video Renderer", &renderer));
}

TEST_F(VideoChainBuilderTest, ElementsAreConnectedInTheFamilysOrder) {
  const struct {
    bool late;
    std::vector<std::wstring> order;
  } cases[] = {
      {false, {L"Zarn Live Video Sync Filter", L"Qfa-Tesk", L"Mixer", L"New Quib Video Renderer"}},
      {true, {L"Zarn Live Video Sync Filter", L"Mixer", L"Qfa-Tesk", L"New Quib Video Renderer"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.late ? "late processing" : "first family");
    std::unique_ptr<VideoChainBuilder> builder =
        c.late ? std::make_unique<LateProcessingBuilder>(Device(0x280), true)
               : std::make_unique<VideoChainBuilder>(Device(0x280), true);
    ASSERT_EQ(S_OK, builder->Build(graph_.Get(), Source(true), 0x52010));
    ASSERT_EQ(S_OK, builder->Connect());
    std::vector<std::wstring> order = ChainFrom(video_.Get());
    EXPECT_EQ(c.order, order);
    EXPECT_EQ(S_OK, builder->ReleaseFilters());
  }
}

// An element that is made but refuses every connection.
class RefusingElement final : public FilterWrapper {
 public:
  HRESULT CreateFilter(IFilterGraph*) override { return S_OK; }
  HRESULT RemoveFromGraph() override { return S_OK; }
  HRESULT Connect(IPin*, IPin*, IPin*) override { return VFW_E_NO_ACCEPTABLE_TYPES; }
  HRESULT Disconnect() override { return S_OK; }
  HRESULT GetOutputPin(const wchar_t*, IPin** out) override { return HandOutOutputPin(nullptr, nullptr, out); }
  HRESULT QueryFilterInterface(REFIID, void** out) override {
    if (out) *out = nullptr;
    return E_NOINTERFACE;
  }
};

class RefusingProcessingBuilder final : public VideoChainBuilder {
 public:
  using VideoChainBuilder::VideoChainBuilder;

 protected:
  std::unique_ptr<FilterWrapper> MakeProcessingFilter(int) const override { return std::make_unique<RefusingElement>(); }
};

TEST_F(VideoChainBuilderTest, AFailedConnectLeavesNothingConnected) {
  // The pacer is connected first, then the processing element refuses.
  RefusingProcessingBuilder builder(Device(0x200), true);
  ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(false), 0x52010));
  EXPECT_EQ(3u, builder.ElementCount());
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, builder.Connect());
  EXPECT_FALSE(builder.IsConnected());
  ComPtr<IPin> peer;
  EXPECT_EQ(VFW_E_NOT_CONNECTED, video_->ConnectedTo(&peer));
  EXPECT_EQ(S_OK, builder.ReleaseFilters());
}

TEST_F(VideoChainBuilderTest, CaptionsAreLeftOutWithoutAVbiPin) {
  VideoChainBuilder builder(Device(0x280), false);
  ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(false), 0x12010));
  ASSERT_EQ(S_OK, builder.Connect());
  EXPECT_EQ(std::vector<std::wstring>{L"New Quib Video Renderer"}, ChainFrom(video_.Get()));
  EXPECT_EQ(S_OK, builder.ReleaseFilters());
}

// --- The second and third families' policies ---------------------------------------------------------

namespace {

int PlanarPacks(const VideoChainBuilder& builder) {
  int count = 0;
  for (size_t i = 0; i < builder.ElementCount(); ++i) {
    if (dynamic_cast<rul::PlanarConverterFilter*>(builder.ElementAt(i))) ++count;
  }
  return count;
}

ChainDevice TunerDevice(DWORD caps, DWORD tuner) {
  ChainDevice device = Device(caps);
  device.settings.tunerNumber = tuner;
  return device;
}

}  // namespace

TEST_F(VideoChainBuilderTest, SecondFamilysCustomChainStartsWithPlanarPackWhereNothingElseSetsTheFieldOrder) {
  // PlanarPack is not registered here: it comes from its module file beside the device manager.
  ComPtr<IBaseFilter> registered;
  ASSERT_TRUE(FAILED(CoCreateInstance(outside::kClsidPlanarPack, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&registered))));
  const struct {
    DWORD tuner, mode;
    bool head;
    int planarPacks;
    size_t elements;
  } cases[] = {
      // The pacer comes first unless PlanarPack heads the chain.
      {0, 0x42010, false, 0, 3},  // MOR has no field order, but this is tuner index 0
      {1, 0x52010, false, 0, 3},  // the deinterlacing filter sets it itself
      {1, 0x1010, false, 1, 3},   // the planar converter kind is PlanarPack itself, placed late
      {1, 0x42010, true, 1, 4},   // MOR lacks IPlanarFieldOrder
      {1, 0x12010, true, 1, 3},   // no processing filter at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "tuner " << c.tuner << std::hex << " mode " << c.mode);
    CustomVideoChainBuilder builder(TunerDevice(0x200, c.tuner), true, chain_policies::kFamily2);
    EXPECT_EQ(E_INVALIDARG, builder.Build(nullptr, Source(false), c.mode));
    ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(false), c.mode));
    EXPECT_EQ(E_FAIL, builder.Build(graph_.Get(), Source(false), c.mode));
    EXPECT_EQ(c.elements, builder.ElementCount());
    EXPECT_EQ(c.head, dynamic_cast<rul::PlanarConverterFilter*>(builder.ElementAt(0)) != nullptr);
    EXPECT_EQ(c.planarPacks, PlanarPacks(builder));
    EXPECT_EQ(static_cast<int>(1 + c.elements), graph_testkit::FilterCount(graph_.Get()));  // the trial filter is gone
    EXPECT_EQ(S_OK, builder.ReleaseFilters());
    EXPECT_EQ(1, graph_testkit::FilterCount(graph_.Get()));
  }
}

TEST_F(VideoChainBuilderTest, SecondFamilysCustomChainWithoutPlanarPackFailsEmpty) {
  std::unique_ptr<VideoChainBuilder> none;
  EXPECT_EQ(E_INVALIDARG, CustomVideoChainBuilder::Create(nullptr, ChainSettings{}, chain_policies::kFamily2, false, nullptr));
  EXPECT_EQ(errors::kChainNullPointer, CustomVideoChainBuilder::Create(nullptr, ChainSettings{}, chain_policies::kFamily2, false, &none));

  ChainDevice device = TunerDevice(0x200, 1);
  device.settings.module = GetModuleHandleW(L"kernel32.dll");  // a directory without PlanarPack.ax
  device.settings.creation = chain_policies::kFamily2.creation;
  const HRESULT missing = rul::PlanarConverterFilter(device.settings).CreateFilter(graph_.Get());
  ASSERT_TRUE(FAILED(missing));
  CustomVideoChainBuilder builder(device, false, chain_policies::kFamily2);
  EXPECT_EQ(missing, builder.Build(graph_.Get(), Source(false), 0x42010));
  EXPECT_EQ(0u, builder.ElementCount());
  EXPECT_FALSE(builder.IsBuilt());
  EXPECT_EQ(1, graph_testkit::FilterCount(graph_.Get()));
}

TEST_F(VideoChainBuilderTest, PlanarPackTakesOnlyTheFieldOrderTheRecordingEventChooses) {
  ChainSettings settings = Device(0).settings;
  settings.creation = chain_policies::kFamily2.creation;
  settings.boardType = 5;
  settings.tunerNumber = 1;
  settings.recRunningEvent = testing_support::UniqueName(L"Local\\VornRecRunning_");
  UniqueHandle rec(CreateEventW(nullptr, TRUE, FALSE, settings.recRunningEvent.c_str()));
  ASSERT_TRUE(rec);
  const struct {
    bool recording;
    DWORD rec, norec;  // stored values; 9: none
    LONG order;
  } cases[] = {{false, 9, 9, 1}, {true, 9, 9, 0}, {true, 1, 0, 1}, {false, 1, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rec " << c.recording << " " << c.rec << "/" << c.norec);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBoardInfo);
    if (c.rec != 9) {
      ASSERT_TRUE(boardInfo_.SetDword(L"field order rec", c.rec, L"BoardType5\\Tuner2\\Planer"));
    }
    if (c.norec != 9) {
      ASSERT_TRUE(boardInfo_.SetDword(L"field order norec", c.norec, L"BoardType5\\Tuner2\\Planer"));
    }
    c.recording ? SetEvent(rec.get()) : ResetEvent(rec.get());
    rul::PlanarConverterFilter element(settings);
    ASSERT_EQ(S_OK, element.CreateFilter(graph_.Get()));
    ComPtr<IBaseFilter> named;
    EXPECT_EQ(S_OK, graph_->FindFilterByName(L"ZARN Planer YUY2 Convert Filter", &named));
    // No processing switches: the deinterlacing filter's settings interface is not there.
    ComPtr<ITeskSettings> tesk;
    EXPECT_EQ(E_NOINTERFACE, element.QueryFilterInterface(IID_ITeskSettings, reinterpret_cast<void**>(tesk.GetAddressOf())));
    ASSERT_EQ(S_OK, element.Configure());
    ComPtr<IPlanarFieldOrder> planar;
    ASSERT_EQ(S_OK, element.QueryFilterInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf())));
    LONG order = -1;
    EXPECT_EQ(S_OK, planar->GetFieldOrder(&order));
    EXPECT_EQ(c.order, order);
  }
}

TEST_F(VideoChainBuilderTest, ThirdFamilysWindowOperationsAnswerThroughTheRenderer) {
  VideoChainBuilder builder(Device(0x200), false, chain_policies::kFamily3);
  const auto elapsedMs = [](auto&& call, HRESULT* result) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    *result = call();
    QueryPerformanceCounter(&end);
    return (end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
  };
  HRESULT hr = S_OK;
  EXPECT_LT(elapsedMs([&] { return builder.DisplayModeChanged(); }, &hr), 100.0);
  EXPECT_EQ(errors::kChainNoRenderer, hr);

  ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(false), 0x12010));
  ComPtr<IVMRWindowlessControl> windowless;
  ASSERT_EQ(S_OK, builder.QueryRendererInterface(IID_IVMRWindowlessControl, reinterpret_cast<void**>(windowless.GetAddressOf())));
  ASSERT_EQ(S_OK, windowless->SetColorKey(0x00FF00FF));
  DWORD type = 7, index = 7, low = 7, high = 7;
  EXPECT_EQ(S_OK, builder.GetColorKey(&type, &index, &low, &high));
  EXPECT_EQ((std::vector<DWORD>{2, 0, 0x00FF00FF, 0x00FF00FF}), (std::vector<DWORD>{type, index, low, high}));

  EXPECT_GE(elapsedMs([&] { return builder.DisplayModeChanged(); }, &hr), 99.5);
  EXPECT_EQ(S_OK, hr);
  EXPECT_EQ(1u, Journal::Instance().Calls("SimVideoRenderer", "DisplayModeChanged").size());
  EXPECT_EQ(S_OK, builder.ReleaseFilters());
}

TEST_F(VideoChainBuilderTest, ThirdFamilysFailedStepTearsTheChainDown) {
  VideoChainBuilder builder(Device(0x280), true, chain_policies::kFamily3);
  // Pacer, captions and the (late) deinterlacing filter are made before the renderer refuses.
  ASSERT_TRUE(Journal::Instance().InjectFailure("SimVideoRenderer", "SetRenderingMode", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, builder.Build(graph_.Get(), Source(true), 0x52010));
  EXPECT_EQ(0u, builder.ElementCount());
  EXPECT_FALSE(builder.IsBuilt());
  EXPECT_FALSE(builder.HasRenderer());
  EXPECT_EQ(1, graph_testkit::FilterCount(graph_.Get()));

  // The same builder builds again, in the family's order.
  ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(true), 0x52010));
  ASSERT_EQ(S_OK, builder.Connect());
  EXPECT_EQ((std::vector<std::wstring>{L"Zarn Live Video Sync Filter", L"Mixer", L"Qfa-Tesk", L"New Quib Video Renderer"}),
            ChainFrom(video_.Get()));
  EXPECT_EQ(S_OK, builder.ReleaseFilters());
}

namespace {

// DisplayModeChanged on a thread of its own; `started` is set just before the call.
struct WindowCall {
  VideoChainBuilder* builder;
  UniqueHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HRESULT result = E_PENDING;

  static DWORD WINAPI Run(void* p) {
    auto* call = static_cast<WindowCall*>(p);
    SetEvent(call->started.get());
    call->result = call->builder->DisplayModeChanged();  // holds the chain's lock for 100 ms
    return 0;
  }
};

}  // namespace

TEST_F(VideoChainBuilderTest, WindowCallAndTeardownOnTwoThreadsNeverInterleave) {
  VideoChainBuilder builder(Device(0x200), false, chain_policies::kFamily3);
  ASSERT_EQ(S_OK, builder.Build(graph_.Get(), Source(false), 0x12010));
  WindowCall call{&builder};
  UniqueHandle thread(CreateThread(nullptr, 0, &WindowCall::Run, &call, 0, nullptr));
  ASSERT_TRUE(thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(call.started.get(), 10000));
  EXPECT_EQ(S_OK, builder.ReleaseFilters());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 10000));
  // Either the call ran whole against the renderer before the teardown, or after it found none.
  const size_t forwarded = Journal::Instance().Calls("SimVideoRenderer", "DisplayModeChanged").size();
  EXPECT_TRUE((call.result == S_OK && forwarded == 1) || (call.result == errors::kChainNoRenderer && forwarded == 0))
      << std::hex << call.result << " " << forwarded;
  EXPECT_FALSE(builder.HasRenderer());
  EXPECT_EQ(1, graph_testkit::FilterCount(graph_.Get()));
}

TEST_F(VideoChainBuilderTest, ColourConverterFollowsThePacerWhereTheFamilyHasOneAndTheSourceIsTiled) {
  graph_testkit::TestPushSource* tiled =
      graph_testkit::TestPushSource::Create({graph_testkit::MakeVideoType(720, 480, MEDIASUBTYPE_Tiled420)});
  ComPtr<IBaseFilter> holder(tiled);
  tiled->Release();
  ASSERT_EQ(S_OK, graph_->AddFilter(tiled, L"tiled"));
  const wchar_t* const converter = L"Zarn (Qfa) Color Format Converter";
  const struct {
    const ChainPolicy* policy;
    bool tiledSource;
    bool converted;
  } cases[] = {
      {&chain_policies::kFamily3, true, true},
      {&chain_policies::kFamily2, true, true},
      {&chain_policies::kFamily1, true, false},
      {&chain_policies::kFamily3, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.policy == &chain_policies::kFamily1 ? 1 : c.policy == &chain_policies::kFamily2 ? 2 : 3)
                                    << (c.tiledSource ? " tiled" : " packed"));
    VideoChainBuilder builder(Device(0x200), true, *c.policy);
    ChainSource source = Source(false);
    if (c.tiledSource) source.video = tiled->OutputPin();
    ASSERT_EQ(S_OK, builder.Build(graph_.Get(), source, 0x12010));
    EXPECT_EQ(c.converted ? 3u : 2u, builder.ElementCount());
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(c.converted ? S_OK : VFW_E_NOT_FOUND, graph_->FindFilterByName(converter, &found));
    if (c.converted && c.policy == &chain_policies::kFamily3) {
      ASSERT_EQ(S_OK, builder.Connect());
      EXPECT_EQ((std::vector<std::wstring>{L"Zarn Live Video Sync Filter", converter, L"New Quib Video Renderer"}),
                ChainFrom(tiled->OutputPin()));
    }
    EXPECT_EQ(S_OK, builder.ReleaseFilters());
  }
}

TEST(ChainPolicies, RecRunningCarriesTheTunerNumberWhereTheFamilyNumbersIt) {
  const DeviceIdentity identity(L"\\\\?\\pci#ven_1&dev_2&subsys_3&rev_4#5&6#{65e8773d-8f56-11d0-a3b9-00a0c9223196}");
  const std::wstring numbered = RecRunningEventName(chain_policies::kFamily2, identity, 1);
  const std::wstring plain = RecRunningEventName(chain_policies::kFamily3, identity, 1);
  EXPECT_EQ(0u, plain.rfind(L"Global\\EventName_RecRunning_", 0)) << plain;
  EXPECT_EQ(plain + L"_1", numbered);
  EXPECT_EQ(plain + L"_0", RecRunningEventName(chain_policies::kFamily1, identity, 0));
  EXPECT_EQ(L"", RecRunningEventName(chain_policies::kFamily1, DeviceIdentity(), 0));
}

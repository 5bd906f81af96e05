// The renderer filter in a stub graph: its type rules, the single instance, the schedule shift
// on a test clock, type changes, the allocator's full-size proposal and frame stepping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/errors.h"
#include "common/device/pin_helpers.h"
#include "common/device/testing/mock_filter.h"
#include "common/format.h"
#include "common/registry.h"
#include "common/testing/com_module.h"
#include "common/testing/debug_capture.h"
#include "common/testing/dump_drive.h"
#include "common/testing/paths.h"
#include "common/trace.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/mapper_record.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/renderer/testing/renderer_testing.h"
#include "filters/renderer/video_renderer.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

using namespace graph_testkit;
using namespace vren;

namespace {

constexpr REFERENCE_TIME kSecond = 10000000;

// Removes the schedule values it wrote.
struct OffsetValues {
  OffsetValues(DWORD forwardMs, DWORD delayMs) {
    const RegistryKeyPath key(kRendererSettingsKey);
    key.WriteDword(L"Video Forward", forwardMs);
    key.WriteDword(L"Video Delay", delayMs);
  }
  ~OffsetValues() {
    UniqueRegKey key = RegistryKeyPath(kRendererSettingsKey).Open(KEY_SET_VALUE);
    if (!key) return;
    RegDeleteValueW(key.get(), L"Video Forward");
    RegDeleteValueW(key.get(), L"Video Delay");
  }
};

TEST(VideoRendererTypes, AcceptsYuy2UpTo720x480AtNtscRates) {
  HRESULT hr = S_OK;
  VideoRenderer* renderer = NewRenderer(&hr);
  ASSERT_NE(renderer, nullptr) << std::hex << hr;
  struct Case {
    LONG width, height;
    GUID subtype, format;
    REFERENCE_TIME frameTime;
    HRESULT expected;
  } cases[] = {
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333667, S_OK},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 0, S_OK},
      {640, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 333334, S_OK},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333668, VFW_E_INVALIDMEDIATYPE},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333332, VFW_E_INVALIDMEDIATYPE},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333333, S_OK},
      // A frame per field, as the deinterlacer delivers it: half those times.
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 166833, S_OK},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 166666, S_OK},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 166834, VFW_E_INVALIDMEDIATYPE},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 166665, VFW_E_INVALIDMEDIATYPE},
      {720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 250000, VFW_E_INVALIDMEDIATYPE},
      {721, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333667, VFW_E_INVALIDMEDIATYPE},
      {720, -480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 333667, VFW_E_INVALIDMEDIATYPE},
      {720, 481, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 333667, VFW_E_INVALIDMEDIATYPE},
      {720, 480, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, 333667, VFW_E_TYPE_NOT_ACCEPTED},
  };
  for (const Case& c : cases) {
    const CMediaType type = MakeVideoType(c.width, c.height, c.subtype, c.format, c.frameTime);
    EXPECT_EQ(renderer->CheckMediaType(&type), c.expected) << c.width << "x" << c.height << " " << c.frameTime;
  }
  CMediaType noFormat = MakeVideoType(720, 480);
  noFormat.SetFormatType(&FORMAT_None);
  EXPECT_EQ(renderer->CheckMediaType(&noFormat), VFW_E_INVALIDMEDIATYPE);
  EXPECT_EQ(renderer->CheckMediaType(nullptr), E_POINTER);
  EXPECT_EQ(renderer->NonDelegatingRelease(), 0u);
}

// The module's registration gives the mapper the renderer's record: its name, merit and one
// rendered YUY2 input; unregistration takes it away.
TEST(VideoRendererModule, RegistersTheFiltersRecord) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    testing_support::ComModule module(L"VornVRen.ax");
    ASSERT_TRUE(module.valid());
    ASSERT_EQ(module.Register(), S_OK);
    EXPECT_EQ(graph_testkit::Describe(graph_testkit::ReadMapperRecord(vren::CLSID_VornVideoRenderer)),
              graph_testkit::Describe(L"Zarn Lumacrest2 Renderer", 0x200000,
                                      {{REG_PINFLAG_B_RENDERER, {{MEDIATYPE_Video, MEDIASUBTYPE_YUY2}}}}));
    EXPECT_EQ(module.Unregister(), S_OK);
    EXPECT_FALSE(graph_testkit::ReadMapperRecord(vren::CLSID_VornVideoRenderer).found);
  }
  CoUninitialize();
}

TEST(VideoRendererInstance, OnlyOneRendererExistsAtATime) {
  HRESULT hr = S_OK;
  VideoRenderer* first = NewRenderer(&hr);
  ASSERT_NE(first, nullptr);
  VideoRenderer* second = NewRenderer(&hr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(hr, errors::kRendererSecondInstance);
  EXPECT_EQ(first->NonDelegatingRelease(), 0u);
  VideoRenderer* third = NewRenderer(&hr);
  ASSERT_NE(third, nullptr) << std::hex << hr;
  EXPECT_EQ(third->NonDelegatingRelease(), 0u);
}

TEST_F(RendererGraph, SampleIsDrawnAheadByTheRegistryOffset) {
  struct Case {
    bool write;
    DWORD forwardMs, delayMs;
    REFERENCE_TIME due;
  } cases[] = {{false, 0, 0, 9000000}, {true, 200, 50, 8500000}, {true, 0, 100, 11000000}};
  for (const Case& c : cases) {
    std::unique_ptr<OffsetValues> values(c.write ? new OffsetValues(c.forwardMs, c.delayMs) : nullptr);
    Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2));
    Run();
    SamplePlan plan;
    plan.start = kSecond;
    plan.stop = kSecond + 333667;
    ASSERT_EQ(source_->StartPushing({plan}, false), S_OK);
    ASSERT_TRUE(WaitForAdvise(clock_));
    clock_->SetTime(c.due - 1);
    EXPECT_EQ(Drawn(), 0);
    clock_->SetTime(c.due);
    EXPECT_TRUE(source_->WaitPushed(kWaitMs));
    EXPECT_EQ(Drawn(), 1) << c.due;
    TearDown();
  }
}

TEST_F(RendererGraph, TypeChangeWithANewSizeRaisesVideoSizeChanged) {
  Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  Run();
  // The size changes the frames report (the video window reports its own at the connection).
  const size_t connected = graph_->Events().size();
  const auto sizeChanges = [&] {
    std::vector<LONG_PTR> sizes;
    const auto events = graph_->Events();
    for (size_t i = connected; i < events.size(); ++i) {
      if (events[i].code == EC_VIDEO_SIZE_CHANGED) sizes.push_back(events[i].param1);
    }
    return sizes;
  };
  SamplePlan same;  // no times: drawn at once
  same.attachType = std::make_shared<CMediaType>(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  ASSERT_EQ(source_->Push(same), S_OK);
  EXPECT_TRUE(sizeChanges().empty());
  SamplePlan smaller;
  smaller.attachType = std::make_shared<CMediaType>(MakeVideoType(640, 240, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  ASSERT_EQ(source_->Push(smaller), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return !sizeChanges().empty(); }));
  EXPECT_EQ(sizeChanges(), std::vector<LONG_PTR>{(240 << 16) | 640});
  CMediaType now;
  EXPECT_TRUE(renderer_->Input()->ConnectionType(&now));
  EXPECT_EQ(GetBitmapInfoHeader(&now)->biWidth, 640);
}

TEST_F(RendererGraph, SmallerConnectionGetsBuffersOfTheFullPictureType) {
  Build(MakeVideoType(640, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 0));
  IMemAllocator* allocator = nullptr;
  ASSERT_EQ(static_cast<IMemInputPin*>(renderer_->Input())->GetAllocator(&allocator), S_OK);
  ALLOCATOR_PROPERTIES props{};
  ASSERT_EQ(allocator->GetProperties(&props), S_OK);
  EXPECT_EQ(props.cbBuffer, kBufferBytes);
  EXPECT_GE(props.cBuffers, 2);
  // A smaller request still gets the whole picture; a larger one (rows padded upstream) is granted.
  for (const long asked : {4096L, kBufferBytes + 58416L}) {
    ALLOCATOR_PROPERTIES request{2, asked, 16, 0}, granted{};
    ASSERT_EQ(allocator->SetProperties(&request, &granted), S_OK);
    EXPECT_EQ(granted.cbBuffer, std::max(asked, long{kBufferBytes}));
  }
  // So many full pictures that the pool would pass 2 GB (5.3 GB, 1.3 GB in 32 bits) is refused.
  ALLOCATOR_PROPERTIES huge{0x2000, 0, 16, 0}, granted{};
  EXPECT_EQ(allocator->SetProperties(&huge, &granted), E_OUTOFMEMORY);
  // A foreign allocator is refused.
  HRESULT hr = S_OK;
  auto* foreign = new CMemAllocator(L"foreign", nullptr, &hr);
  foreign->NonDelegatingAddRef();
  EXPECT_EQ(static_cast<IMemInputPin*>(renderer_->Input())->NotifyAllocator(foreign, FALSE), VFW_E_NO_ALLOCATOR);
  foreign->NonDelegatingRelease();
  Run();
  IMediaSample* sample = nullptr;
  ASSERT_EQ(allocator->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
  AM_MEDIA_TYPE* attached = nullptr;
  ASSERT_EQ(sample->GetMediaType(&attached), S_OK);
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(attached);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->biWidth, 720);
  EXPECT_EQ(header->biHeight, 480);
  EXPECT_EQ(header->biSizeImage, static_cast<DWORD>(kBufferBytes));
  DeleteMediaType(attached);
  sample->Release();
  allocator->Release();
}

TEST_F(RendererGraph, FrameStepDropsUntilTheNthFrameThenCompletes) {
  Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  IKsPropertySet* set = nullptr;
  ASSERT_EQ(renderer_->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&set)), S_OK);
  LONG count = 0;
  DWORD returned = 0;
  EXPECT_EQ(set->Get(kFrameStepPropertySet, kStep, nullptr, 0, &count, sizeof(count), &returned),
            HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND));
  EXPECT_EQ(set->Set(kFrameStepPropertySet, kStep, nullptr, 0, &count, 2), E_INVALIDARG);
  EXPECT_EQ(set->Set(kFrameStepPropertySet, kStep, nullptr, 0, &count, sizeof(count)), E_INVALIDARG);
  EXPECT_EQ(set->Set(kFrameStepPropertySet, 9, nullptr, 0, &count, sizeof(count)), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
  EXPECT_EQ(set->Set(GUID_NULL, kStep, nullptr, 0, &count, sizeof(count)), HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND));
  Run();
  auto steps = [&] {
    int n = 0;
    for (const auto& e : graph_->Events()) n += e.code == kStepComplete;
    return n;
  };
  for (LONG step : {1, 3}) {
    count = step;
    ASSERT_EQ(set->Set(kFrameStepPropertySet, kStep, nullptr, 0, &count, sizeof(count)), S_OK);
    const int before = steps();
    for (LONG i = 1; i < step; ++i) ASSERT_EQ(source_->Push(SamplePlan{}), S_OK);
    EXPECT_EQ(steps(), before) << step;
    ASSERT_EQ(source_->Push(SamplePlan{}), S_OK);
    EXPECT_EQ(steps(), before + 1) << step;
  }
  count = 2;
  ASSERT_EQ(set->Set(kFrameStepPropertySet, kStep, nullptr, 0, &count, sizeof(count)), S_OK);
  ASSERT_EQ(set->Set(kFrameStepPropertySet, kCancelStep, nullptr, 0, nullptr, 0), S_OK);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(source_->Push(SamplePlan{}), S_OK);
  EXPECT_EQ(steps(), 2);
  set->Release();
}

}  // namespace

namespace {

TEST(GraphWorkerBuild, MissingSourceModuleFailsAndLeavesNoGraph) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    // The test program's own folder holds no internal source.
    GraphWorker worker(GetModuleHandleW(nullptr), nullptr);
    ASSERT_EQ(worker.Start(), S_OK);
    EXPECT_EQ(worker.Connect(), E_FAIL);
    EXPECT_FALSE(worker.IsConnected());
    EXPECT_EQ(worker.Mixer(), nullptr);
    EXPECT_EQ(worker.Deliver(nullptr), E_POINTER);
    EXPECT_EQ(worker.RunGraph(), E_POINTER);
  }
  CoUninitialize();
}

// The internal graph is the mock graph, which refuses the run after pausing its filters as the
// platform's graph manager does when a filter refuses: the graph reads stopped, the source and
// the mixer stay paused. Nothing of the refused run stays: every filter reads stopped, the
// pins are free, and the next run connects and runs.
TEST(GraphWorkerRun, ARefusedRunLeavesNoFilterPausedAndTheNextRunWorks) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  auto* graph = new device_testing::MockGraph;
  {
    auto* factory = new device_testing::ObjectFactory(static_cast<IGraphBuilder*>(graph));
    device_testing::ClassRegistration registration(CLSID_FilterGraph, factory);
    factory->Release();
    ASSERT_EQ(registration.result(), S_OK);
    GraphWorker worker(SourceModule(), nullptr);
    ASSERT_EQ(worker.Start(), S_OK);
    ASSERT_EQ(worker.Connect(), S_OK);
    const CMediaType type = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0);
    ASSERT_EQ(worker.SetSourceMediaType(&type), S_OK);
    const auto filtersIn = [&](FILTER_STATE wanted) {
      Microsoft::WRL::ComPtr<IEnumFilters> filters;
      EXPECT_EQ(graph->EnumFilters(&filters), S_OK);
      Microsoft::WRL::ComPtr<IBaseFilter> filter;
      int count = 0;
      while (filters && filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        FILTER_STATE state = State_Stopped;
        filter->GetState(0, &state);
        if (state != wanted) return -1;
        ++count;
      }
      return count;
    };

    graph->runResult = E_ACCESSDENIED;
    EXPECT_EQ(worker.RunGraph(), E_ACCESSDENIED);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(filtersIn(State_Stopped), 2);  // the source and the mixer
    graph->runResult = S_OK;
    EXPECT_EQ(worker.RunGraph(), S_OK);
    EXPECT_TRUE(worker.IsRunning());
    EXPECT_EQ(filtersIn(State_Running), 2);
    worker.TearDown();
  }
  EXPECT_EQ(graph->Release(), 0u);
  CoUninitialize();
}

TEST_F(RendererGraph, ConnectionFailsWithoutTheInternalSourceAndLeavesNoGraph) {
  Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  graph_->Disconnect(renderer_->Input());
  graph_->Disconnect(source_->OutputPin());
  renderer_->Release();
  graph_->RemoveFilter(renderer_);
  HRESULT hr = S_OK;
  CUnknown* created = (VideoRenderer::SetSourceFolderModule(GetModuleHandleW(nullptr)),
                       VideoRenderer::CreateInstance(nullptr, &hr));
  renderer_ = static_cast<VideoRenderer*>(created);
  ASSERT_NE(renderer_, nullptr);
  renderer_->NonDelegatingAddRef();
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(graph_->AddFilter(renderer_, L"renderer"), S_OK);
  const CMediaType type = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0);
  EXPECT_EQ(renderer_->Input()->ReceiveConnection(source_->OutputPin(), &type), E_FAIL);
  EXPECT_FALSE(renderer_->Input()->IsConnected());
  EXPECT_FALSE(renderer_->Worker().IsConnected());
  EXPECT_EQ(renderer_->Worker().Mixer(), nullptr);
}

TEST_F(RendererGraph, FramesReachTheInnerMixerAndRebuildShowsTheLastAgain) {
  Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  GraphWorker& worker = renderer_->Worker();
  ASSERT_TRUE(worker.IsConnected());
  EXPECT_EQ(worker.Connect(), S_OK);  // built once
  Run();
  // Each frame went through the internal source into the mixer (a refusal fails the render).
  for (int i = 0; i < 3; ++i) ASSERT_EQ(source_->Push(SamplePlan{}), S_OK);
  EXPECT_EQ(Drawn(), 3);
  IPin* mixerInput = nullptr;
  Microsoft::WRL::ComPtr<IBaseFilter> old = worker.Mixer();
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(PinHelpers::FindPinByIndex(&mixerInput, old.Get(), PINDIR_INPUT, 0), S_OK);
  IPin* peer = nullptr;
  EXPECT_EQ(mixerInput->ConnectedTo(&peer), S_OK);
  if (peer) peer->Release();
  mixerInput->Release();
  ASSERT_EQ(worker.Rebuild(), S_OK);
  EXPECT_NE(worker.Mixer().Get(), old.Get());
  EXPECT_TRUE(worker.IsRunning());
  // A disconnect takes the private graph down; a new connection builds it again.
  ASSERT_EQ(renderer_->Stop(), S_OK);
  ASSERT_EQ(source_->Stop(), S_OK);
  ASSERT_EQ(graph_->Disconnect(renderer_->Input()), S_OK);
  ASSERT_EQ(graph_->Disconnect(source_->OutputPin()), S_OK);
  EXPECT_FALSE(worker.IsConnected());
  EXPECT_EQ(worker.Mixer(), nullptr);
  ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), renderer_->Input(), nullptr), S_OK);
  EXPECT_TRUE(worker.IsRunning());
}

TEST_F(RendererGraph, StopAndDisconnectRacingDeliveryNeitherHangNorCrash) {
  Build(MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0));
  std::vector<SamplePlan> frames(8);
  for (int round = 0; round < 100; ++round) {
    if (!renderer_->Input()->IsConnected()) {
      ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), renderer_->Input(), nullptr), S_OK) << round;
    }
    Run();
    const int drawn = Drawn();
    ASSERT_EQ(source_->StartPushing(frames, false), S_OK);
    // Stop while the frames travel: once the first has arrived.
    ASSERT_TRUE(WaitUntil([&] { return Drawn() > drawn || source_->WaitPushed(0); })) << round;
    renderer_->Stop();
    if (round % 2) graph_->Disconnect(renderer_->Input());
    source_->Stop();
    ASSERT_TRUE(source_->WaitPushed(kWaitMs)) << round;
    if (round % 2) graph_->Disconnect(source_->OutputPin());
  }
}

}  // namespace

namespace {

TEST(RendererFieldOrder, FlagFollowsSettingFormatAndInterlaceFlags) {
  CMediaType info = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 0);
  CMediaType info2 = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0);
  CMediaType info2Field1 = info2;
  reinterpret_cast<VIDEOINFOHEADER2*>(info2Field1.Format())->dwInterlaceFlags =
      AMINTERLACE_IsInterlaced | AMINTERLACE_Field1First;
  struct Case {
    DWORD config;
    const CMediaType* type;
    DWORD sampleFlags;
    bool topFirst;
  } cases[] = {
      {0, &info, 0, true},           {0, &info2, 0, false},
      {0, &info2, AM_VIDEO_FLAG_FIELD1FIRST, true},
      {0, &info2Field1, 0, true},    {0, &info2Field1, AM_VIDEO_FLAG_FIELD1FIRST, false},
      {1, &info2, 0, true},          {2, &info, AM_VIDEO_FLAG_FIELD1FIRST, false},
      {3, &info2, 0, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TopFieldFirst(c.config, *c.type, c.sampleFlags), c.topFirst)
        << c.config << " " << (c.type == &info) << " " << c.sampleFlags;
  }
}

TEST(RendererPulldown, ReportedOnlyWhenRow240RepeatsAndRow241Changes) {
  const RegistryKeyPath key(kRendererSettingsKey);
  ASSERT_EQ(key.WriteDword(L"Output Pulldown", 1), S_OK);
  BitmapDump dump, next;  // next: a renderer made later, which compares with the last frame seen
  UniqueRegKey open = key.Open(KEY_SET_VALUE);
  if (open) RegDeleteValueW(open.get(), L"Output Pulldown");
  FrameBuffer buffers;
  testing_support::DebugOutputCapture capture;
  struct Step {
    BYTE row240, row241;
    LONG length;
    bool reported;
  } steps[] = {
      {1, 2, kBufferBytes, false},  // against the zero reference: row 240 differs
      {1, 2, kBufferBytes, false},  // the same frame again
      {1, 3, kBufferBytes, true},   // row 240 repeats, row 241 changed
      {1, 4, BitmapDump::kPulldownOffset + BitmapDump::kPulldownRowBytes, false},  // rows not all there
      {5, 3, kBufferBytes, false},
      {5, 9, kBufferBytes, true},  // by the next renderer
  };
  int frame = 0;
  for (const Step& s : steps) {
    capture.Clear();
    IMediaSample* sample = buffers.Frame(s.row240, s.row241, s.length);
    (&s == std::end(steps) - 1 ? next : dump).CheckPulldown(sample, ++frame);
    sample->Release();
    const auto reports = capture.Containing(L"[Kelv DVD] Detect 2-3Pulldown");
    EXPECT_EQ(reports.size(), s.reported ? 1u : 0u) << frame;
    if (s.reported && !reports.empty()) {
      EXPECT_EQ(reports[0], FormatW(L"[Kelv DVD] Detect 2-3Pulldown (Frame No: %d)\r\n", frame));
    }
  }
}

TEST(RendererDump, NumberingCarriesOnAcrossRenderersWhileTheMutexIsHeld) {
  ASSERT_FALSE(testing_support::MapDumpDrive().empty());
  const RegistryKeyPath key(kRendererSettingsKey);
  ASSERT_EQ(key.WriteDword(L"Output Bitmap", 1), S_OK);
  BitmapDump first, second;
  UniqueRegKey open = key.Open(KEY_SET_VALUE);
  if (open) RegDeleteValueW(open.get(), L"Output Bitmap");
  const wchar_t* files[] = {L"d:\\VornVRen000.bmp", L"d:\\VornVRen001.bmp"};
  for (const wchar_t* file : files) DeleteFileW(file);
  FrameBuffer buffers;
  const CMediaType type = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 0);
  IMediaSample* sample = buffers.Frame(16, 16);
  first.Dump(sample, type);  // no mutex: nothing written, the numbering starts again
  EXPECT_EQ(GetFileAttributesW(files[0]), INVALID_FILE_ATTRIBUTES);
  {
    NamedMutex dumpSwitch(kDumpMutexName);
    ASSERT_TRUE(dumpSwitch.Create());
    first.Dump(sample, type);
    second.Dump(sample, type);
  }
  sample->Release();
  for (const wchar_t* file : files) {
    EXPECT_EQ(testing_support::ReadFileBytes(file).size(), 54u + 720u * 480u * 3u);
    DeleteFileW(file);
  }
}

}  // namespace

// The module as the renderer uses it: loaded from its file without the registry, its source
// feeding the platform's mixing renderer 9 in windowless mode, and the frame dumps switched on
// by the registry value and the named mutex.
#include <gtest/gtest.h>

#include "common/dshow.h"

#include <d3d9.h>
#include <vmr9.h>

#include <vector>

#include "filters/base/bitmap_dump.h"
#include "common/locks.h"
#include "common/module.h"
#include "common/registry.h"
#include "common/testing/dump_drive.h"
#include "common/testing/paths.h"
#include "common/trace.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/mapper_record.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/source/testing/source_test_support.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

using namespace graph_testkit;
using namespace vsrc;
using namespace vsrc_test;
using testing_support::MapDumpDrive;
using testing_support::ReadFileBytes;

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using PlainEntryFn = HRESULT(WINAPI*)();

class ModuleFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    module_ = LoadLibraryW(testing_support::BinPath(L"VornVSrc.ax").c_str());
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
    CoUninitialize();
  }
  IBaseFilter* CreateFromFile() {
    auto getClassObject = GetProcAs<GetClassObjectFn>(module_, "DllGetClassObject");
    EXPECT_NE(getClassObject, nullptr);
    if (!getClassObject) return nullptr;
    IClassFactory* factory = nullptr;
    EXPECT_EQ(getClassObject(CLSID_VornSourceFilter, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    if (!factory) return nullptr;
    IBaseFilter* filter = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
    return filter;
  }
  HMODULE module_ = nullptr;
};

TEST_F(ModuleFile, LoadsWithoutTheRegistryAndRefusesToRegister) {
  auto registerServer = GetProcAs<PlainEntryFn>(module_, "DllRegisterServer");
  auto unregisterServer = GetProcAs<PlainEntryFn>(module_, "DllUnregisterServer");
  auto canUnload = GetProcAs<PlainEntryFn>(module_, "DllCanUnloadNow");
  ASSERT_TRUE(registerServer && unregisterServer && canUnload);
  EXPECT_EQ(registerServer(), E_FAIL);
  EXPECT_FALSE(graph_testkit::ReadMapperRecord(CLSID_VornSourceFilter).found);  // no mapper record either
  EXPECT_EQ(unregisterServer(), E_FAIL);

  auto getClassObject = GetProcAs<GetClassObjectFn>(module_, "DllGetClassObject");
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(CLSID_NULL, IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);

  IBaseFilter* filter = CreateFromFile();
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(canUnload(), S_FALSE);
  CLSID clsid{};
  EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_VornSourceFilter);
  IPin* pin = FirstPin(filter, PINDIR_OUTPUT);
  ASSERT_NE(pin, nullptr);
  PIN_INFO info{};
  ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
  EXPECT_STREQ(info.achName, L"Video Output");
  info.pFilter->Release();
  IKelvTransmit* transmit = nullptr;
  ASSERT_EQ(pin->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit)), S_OK);
  transmit->Release();
  pin->Release();
  EXPECT_EQ(filter->Release(), 0u);
  EXPECT_EQ(canUnload(), S_OK);
}

TEST_F(ModuleFile, FeedsTheMixingRenderer9InWindowlessMode) {
  HWND window = CreateWindowExW(0, L"STATIC", L"vornvsrc", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 720, 480,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  IGraphBuilder* graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(&graph)), S_OK);
  IBaseFilter* source = CreateFromFile();
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(graph->AddFilter(source, L"source"), S_OK);
  IBaseFilter* vmr = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                             reinterpret_cast<void**>(&vmr)), S_OK);
  ASSERT_EQ(graph->AddFilter(vmr, L"vmr9"), S_OK);
  IVMRFilterConfig9* config = nullptr;
  ASSERT_EQ(vmr->QueryInterface(IID_IVMRFilterConfig9, reinterpret_cast<void**>(&config)), S_OK);
  ASSERT_EQ(config->SetRenderingMode(VMR9Mode_Windowless), S_OK);
  config->Release();
  IVMRWindowlessControl9* windowless = nullptr;
  ASSERT_EQ(vmr->QueryInterface(IID_IVMRWindowlessControl9, reinterpret_cast<void**>(&windowless)), S_OK);
  ASSERT_EQ(windowless->SetVideoClippingWindow(window), S_OK);

  IPin* output = FirstPin(source, PINDIR_OUTPUT);
  IPin* input = FirstPin(vmr, PINDIR_INPUT);
  ASSERT_TRUE(output && input);
  // The source's own offer (YUY2 720x480, positive height) must be one the mixer takes.
  ASSERT_EQ(graph->ConnectDirect(output, input, nullptr), S_OK);
  RECT rect{0, 0, 720, 480};
  windowless->SetVideoPosition(&rect, &rect);
  IKelvTransmit* transmit = nullptr;
  ASSERT_EQ(output->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit)), S_OK);
  CMediaType rendererType = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
  ASSERT_EQ(transmit->SetMediaType(&rendererType), S_OK);

  IMediaControl* control = nullptr;
  ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)), S_OK);
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  OAFilterState state = State_Stopped;
  control->GetState(5000, &state);
  EXPECT_EQ(state, State_Running);

  RendererFrames frames;
  int delivered = 0;
  for (int i = 0; i < 10; ++i) {
    IMediaSample* frame = frames.Make(i % 2 ? AM_VIDEO_FLAG_FIELD1FIRST : 0);
    const HRESULT hr = transmit->Transmit(frame);
    frame->Release();
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    if (hr == S_OK) ++delivered;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(20);
  }
  EXPECT_GT(delivered, 0);
  EXPECT_TRUE(SUCCEEDED(control->Stop()));
  control->Release();
  transmit->Release();
  graph->Disconnect(input);
  graph->Disconnect(output);
  input->Release();
  output->Release();
  windowless->Release();
  graph->RemoveFilter(vmr);
  graph->RemoveFilter(source);
  EXPECT_EQ(vmr->Release(), 0u);
  EXPECT_EQ(source->Release(), 0u);
  EXPECT_EQ(graph->Release(), 0u);
  DestroyWindow(window);
}

TEST(FrameDump, WritesNumberedBitmapsWhileTheMutexExistsAndStartsAgainAfter) {
  if (MapDumpDrive().empty()) GTEST_SKIP() << "no drive d: in this session";
  const RegistryKeyPath settings{WideString(kSourceSettingsKey)};
  // The switch stored as four binary bytes, as some machines have it: its type is not looked at.
  ASSERT_EQ(settings.WriteDword(kOutputBitmapValue, 0), S_OK);  // makes the key
  {
    const UniqueRegKey key = settings.Open(KEY_SET_VALUE);
    const DWORD on = 1;
    ASSERT_EQ(RegSetValueExW(key.get(), kOutputBitmapValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&on),
                             sizeof(on)),
              ERROR_SUCCESS);
  }
  for (const wchar_t* name : {L"d:\\VornVSrc000.bmp", L"d:\\VornVSrc001.bmp", L"d:\\VornVSrc002.bmp"}) {
    DeleteFileW(name);
  }

  StubGraph* graph = StubGraph::Create();
  SourceFilter* filter = NewSourceFilter();  // reads the switch now
  RecordingSink* sink = RecordingSink::Create();
  graph->AddFilter(filter, L"source");
  graph->AddFilter(sink, L"sink");
  VideoOutputPin* pin = static_cast<VideoOutputPin*>(filter->GetPin(0));
  ASSERT_EQ(graph->ConnectDirect(pin, sink->InputPin(), nullptr), S_OK);
  ASSERT_EQ(sink->Pause(), S_OK);
  ASSERT_EQ(filter->Pause(), S_OK);
  IKelvTransmit* transmit = nullptr;
  ASSERT_EQ(pin->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit)), S_OK);
  RendererFrames frames;

  EXPECT_EQ(transmit->Transmit(nullptr), S_OK);  // no mutex: nothing written
  EXPECT_EQ(GetFileAttributesW(L"d:\\VornVSrc000.bmp"), INVALID_FILE_ATTRIBUTES);

  auto dumpSwitch = std::make_unique<NamedMutex>(kDumpMutexName);
  ASSERT_TRUE(dumpSwitch->Create());
  IMediaSample* frame = frames.Make();
  EXPECT_EQ(transmit->Transmit(frame), S_OK);
  EXPECT_EQ(transmit->Transmit(frame), S_OK);
  const std::vector<BYTE> first = ReadFileBytes(L"d:\\VornVSrc000.bmp");
  EXPECT_NE(GetFileAttributesW(L"d:\\VornVSrc001.bmp"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW(L"d:\\VornVSrc002.bmp"), INVALID_FILE_ATTRIBUTES);

  // The picture is the renderer's frame, converted as the dump converts YUY2.
  ASSERT_EQ(first.size(), 54u + 720u * 480u * 3u);
  const auto* info = reinterpret_cast<const BITMAPINFOHEADER*>(first.data() + 14);
  EXPECT_EQ(info->biWidth, 720);
  EXPECT_EQ(info->biHeight, -480);
  EXPECT_EQ(info->biBitCount, 24);
  BYTE* pixels = nullptr;
  frame->GetPointer(&pixels);
  std::vector<BYTE> expected(720u * 480u * 3u);
  BitmapDump::ConvertYuy2ToRgb24(pixels, 720, 480, expected.data(), BitmapDump::RowLength(720));
  EXPECT_EQ(0, memcmp(first.data() + 54, expected.data(), expected.size()));

  dumpSwitch.reset();  // the tool went away: the numbering starts again
  EXPECT_EQ(transmit->Transmit(frame), S_OK);
  DeleteFileW(L"d:\\VornVSrc000.bmp");
  dumpSwitch = std::make_unique<NamedMutex>(kDumpMutexName);
  ASSERT_TRUE(dumpSwitch->Create());
  EXPECT_EQ(transmit->Transmit(frame), S_OK);
  EXPECT_NE(GetFileAttributesW(L"d:\\VornVSrc000.bmp"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW(L"d:\\VornVSrc002.bmp"), INVALID_FILE_ATTRIBUTES);
  frame->Release();

  filter->Stop();
  sink->Stop();
  transmit->Release();
  graph->Disconnect(pin);
  graph->Disconnect(sink->InputPin());
  graph->RemoveFilter(filter);
  graph->RemoveFilter(sink);
  EXPECT_EQ(graph->Release(), 0u);
  EXPECT_EQ(sink->Release(), 0u);
  EXPECT_EQ(filter->Release(), 0u);
  UniqueRegKey key = settings.Open(KEY_SET_VALUE);
  if (key) RegDeleteValueW(key.get(), kOutputBitmapValue);
  for (const wchar_t* name : {L"d:\\VornVSrc000.bmp", L"d:\\VornVSrc001.bmp"}) DeleteFileW(name);
}

}  // namespace

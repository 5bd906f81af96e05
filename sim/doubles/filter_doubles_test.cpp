#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "devices/idl/device_manager.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/outside_interfaces.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;

namespace {

// Creates `clsid` from a module file without registration, as the device manager does.
template <class T>
HRESULT CreateFromFile(const wchar_t* file, REFCLSID clsid, REFIID iid, T** out) {
  HMODULE module = LoadLibraryW(testing_support::BinPath(file).c_str());  // stays loaded
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  auto get = GetProcAs<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(module, "DllGetClassObject");
  if (!get) return E_NOINTERFACE;
  ComPtr<IClassFactory> factory;
  HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(out));
}

class FilterDoublesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    Journal::Instance().Reset();
  }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(FilterDoublesTest, EachClassAnswersOnlyItsOwnControl) {
  const struct {
    const wchar_t* file;
    CLSID clsid;
    IID control;
    int inputs, outputs;
  } classes[] = {
      {DOUBLES_CALLBACK_FILE, doubles::kClsidCallbackFilter, IID_ICallbackFilterControl, 3, 0},
      {DOUBLES_ANALYZER_FILE, doubles::kClsidMpegAnalyzer, IID_IAnalyzerControl, 1, 2},
      {DOUBLES_SELECTOR_FILE, doubles::kClsidSoundSelector, IID_ISelectorFilterControl, 1, 1},
      {DOUBLES_RATEMATCH_FILE, doubles::kClsidRateMatcher, GUID_NULL, 1, 1},
      {DOUBLES_OSD_FILE, doubles::kClsidOsd, GUID_NULL, 1, 1},
      {DOUBLES_DEINTERLACE_FILE, doubles::kClsidDeinterlace, IID_IDeinterlaceModuleControl, 1, 1},
      {DOUBLES_MOR_FILE, doubles::kClsidMorDeinterlace, IID_IMorDeinterlaceControl, 1, 1},
      {DOUBLES_VIDEOINFO_FILE, doubles::kClsidVideoInfo, IID_IVideoInfoControl, 1, 1},
      {DOUBLES_MIXER1_FILE, doubles::kClsidCaptionMixer1, IID_ICaptionMixerControl, 2, 1},
      {DOUBLES_MIXER2_FILE, doubles::kClsidCaptionMixer2, IID_ICaptionMixerControl, 2, 1},
  };
  const IID controls[] = {IID_ICallbackFilterControl, IID_IAnalyzerControl,        IID_ISelectorFilterControl,
                          IID_IDeinterlaceModuleControl, IID_IMorDeinterlaceControl, IID_IVideoInfoControl,
                          IID_ICaptionMixerControl,    IID_IPreviewControl,         IID_IPersistPropertyBag};
  for (const auto& c : classes) {
    SCOPED_TRACE(testing::Message() << std::hex << c.clsid.Data1);
    IBaseFilter* filter = nullptr;
    ASSERT_EQ(S_OK, CreateFromFile(c.file, c.clsid, IID_IBaseFilter, &filter));
    for (const IID& iid : controls) {
      void* p = reinterpret_cast<void*>(1);
      const HRESULT hr = filter->QueryInterface(iid, &p);
      EXPECT_EQ(iid == c.control ? S_OK : E_NOINTERFACE, hr);
      if (SUCCEEDED(hr)) static_cast<IUnknown*>(p)->Release();
    }
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, filter->EnumPins(&pins));
    int ins = 0, outs = 0;
    ComPtr<IPin> pin;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
      PIN_DIRECTION dir{};
      pin->QueryDirection(&dir);
      (dir == PINDIR_INPUT ? ins : outs)++;
      pin.Reset();
    }
    pins.Reset();
    EXPECT_EQ(c.inputs, ins);
    EXPECT_EQ(c.outputs, outs);
    EXPECT_EQ(0u, filter->Release());
  }
}

TEST_F(FilterDoublesTest, CallsAreRecordedAcrossModuleCopiesAndFailOnRequest) {
  ComPtr<ISelectorFilterControl> a, b;
  // Two copies of the module, each with its own globals: one journal.
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_SELECTOR_FILE, doubles::kClsidSoundSelector, IID_ISelectorFilterControl,
                                 a.GetAddressOf()));
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_OSD_FILE, doubles::kClsidSoundSelector, IID_ISelectorFilterControl,
                                 b.GetAddressOf()));
  EXPECT_EQ(S_OK, a->Select(1, 1));
  ASSERT_TRUE(Journal::Instance().InjectFailure("SoundSelector", "Select", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, b->Select(2, 0));
  EXPECT_EQ(S_OK, b->Select(3, 0));
  const auto calls = Journal::Instance().Calls("SoundSelector", "Select");
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ(1, calls[0].args[0]);
  EXPECT_EQ(1, calls[0].args[1]);
  EXPECT_EQ(E_ACCESSDENIED, calls[1].result);
  EXPECT_EQ(3, calls[2].args[0]);

  ComPtr<IDeinterlaceModuleControl> deint;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_DEINTERLACE_FILE, doubles::kClsidDeinterlace,
                                 IID_IDeinterlaceModuleControl, deint.GetAddressOf()));
  EXPECT_EQ(S_OK, deint->SetMode(2));
  ComPtr<IVideoInfoControl> info;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_VIDEOINFO_FILE, doubles::kClsidVideoInfo, IID_IVideoInfoControl,
                                 info.GetAddressOf()));
  EXPECT_EQ(S_OK, info->SetInterlaceFlags(8));
  ASSERT_EQ(1u, Journal::Instance().Calls("Deinterlace", "SetMode").size());
  EXPECT_EQ(8, Journal::Instance().Calls("VideoInfo", "SetInterlaceFlags")[0].args[0]);
}

TEST_F(FilterDoublesTest, CaptionMixerStateFollowsItsControl) {
  ComPtr<ICaptionMixerControl> mixer;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_MIXER1_FILE, doubles::kClsidCaptionMixer1, IID_ICaptionMixerControl,
                                 mixer.GetAddressOf()));
  LONG state = -1;
  ASSERT_EQ(S_OK, mixer->GetState(&state));
  EXPECT_EQ(0, state);
  ASSERT_EQ(S_OK, mixer->Reset());
  ASSERT_EQ(S_OK, mixer->Enable(1));
  ASSERT_EQ(S_OK, mixer->GetState(&state));
  EXPECT_EQ(1, state);
  EXPECT_EQ(E_POINTER, mixer->GetState(nullptr));
  ASSERT_TRUE(Journal::Instance().InjectFailure("CaptionMixer1", "Enable", E_FAIL, 1));
  EXPECT_EQ(E_FAIL, mixer->Enable(0));
  ASSERT_EQ(S_OK, mixer->GetState(&state));
  EXPECT_EQ(1, state);  // the failed call changed nothing
}

TEST_F(FilterDoublesTest, PreviewControlRecordsItsCalls) {
  IPreviewControl* control = nullptr;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_OSD_FILE, doubles::kClsidPreviewControl, IID_IPreviewControl, &control));
  ComPtr<IBaseFilter> notAFilter;
  EXPECT_EQ(E_NOINTERFACE, control->QueryInterface(IID_PPV_ARGS(&notAFilter)));
  ASSERT_TRUE(Journal::Instance().InjectFailure("PreviewControl", "Initialize", 0x8007D001, 1));
  EXPECT_EQ(static_cast<HRESULT>(0x8007D001), control->Initialize(0));
  EXPECT_EQ(S_OK, control->Initialize(0));
  SIZE size{720, 480};
  EXPECT_EQ(S_OK, control->SetVideoSize(&size));
  EXPECT_EQ(S_OK, control->SetZoomMode(1));
  DWORD zoom = 0;
  EXPECT_EQ(S_OK, control->GetZoomMode(&zoom));
  EXPECT_EQ(1u, zoom);
  EXPECT_EQ(E_POINTER, control->GetZoomMode(nullptr));
  EXPECT_EQ(S_OK, control->Uninitialize(0));
  const auto calls = Journal::Instance().Calls("PreviewControl");
  ASSERT_EQ(6u, calls.size());
  EXPECT_STREQ("SetVideoSize", calls[2].method);
  EXPECT_EQ(720, calls[2].args[0]);
  EXPECT_EQ(480, calls[2].args[1]);
  EXPECT_STREQ("Uninitialize", calls[5].method);
  EXPECT_EQ(0u, control->Release());
}

// The host's callback: counts calls and bytes per type, remembers the calling thread.
class CountingCallback final : public IOutputDataCB {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IOutputDataCB) {
      *out = static_cast<IOutputDataCB*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return --refs_; }
  STDMETHODIMP OnData(ULONG type, ULONG subtype, ULONG, ULONG, ULONG size, BYTE*) override {
    if (type == 2) {
      ++calls_;
      bytes_ += size;
      subtype_ = subtype;
      thread_ = GetCurrentThreadId();
    } else {
      ++other_;
    }
    return S_OK;
  }
  std::atomic<ULONG> refs_{1};
  std::atomic<int> calls_{0}, other_{0};
  std::atomic<ULONG> bytes_{0}, subtype_{99};
  std::atomic<DWORD> thread_{0};
};

TEST_F(FilterDoublesTest, CallbackFilterHandsSelectedStreamsToTheHostOnTheStreamingThread) {
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
  ComPtr<IBaseFilter> callbackFilter;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_CALLBACK_FILE, doubles::kClsidCallbackFilter, IID_IBaseFilter,
                                 callbackFilter.GetAddressOf()));
  ComPtr<ICallbackFilterControl> control;
  ASSERT_EQ(S_OK, callbackFilter->QueryInterface(IID_ICallbackFilterControl,
                                                 reinterpret_cast<void**>(control.GetAddressOf())));
  CountingCallback callback;
  ASSERT_EQ(S_OK, control->SetCallback(&callback));
  ASSERT_EQ(S_OK, control->SelectStream(2, 0, 1));
  EXPECT_EQ(E_INVALIDARG, control->SelectStream(4, 0, 1));

  graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create();
  ComPtr<IBaseFilter> sourceRef(source);
  source->Release();
  ASSERT_EQ(S_OK, graph->AddFilter(source, L"source"));
  ASSERT_EQ(S_OK, graph->AddFilter(callbackFilter.Get(), L"Callback Filter"));
  ComPtr<IPin> pcm;
  ASSERT_EQ(S_OK, callbackFilter->FindPin(L"PCM Input", &pcm));
  ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), pcm.Get(), nullptr));

  std::vector<graph_testkit::SamplePlan> samples(5);
  for (auto& s : samples) s.actualLength = 3840;
  ASSERT_EQ(S_OK, source->StartPushing(samples, false));
  ComPtr<IMediaControl> run;
  ASSERT_EQ(S_OK, graph.As(&run));
  ASSERT_TRUE(SUCCEEDED(run->Run()));
  ASSERT_TRUE(source->WaitPushed(5000));
  EXPECT_EQ(5, callback.calls_.load());
  EXPECT_EQ(5u * 3840u, callback.bytes_.load());
  EXPECT_EQ(0u, callback.subtype_.load());
  EXPECT_EQ(source->PushThreadId(), callback.thread_.load());
  EXPECT_EQ(5u, Journal::Instance().Calls("CallbackFilter", "OnData").size());

  // After the end of delivery nothing more reaches the host.
  ASSERT_EQ(S_OK, control->EndDelivery(0));
  ASSERT_EQ(S_OK, source->StartPushing(std::vector<graph_testkit::SamplePlan>(2), false));
  ASSERT_TRUE(source->WaitPushed(5000));
  EXPECT_EQ(5, callback.calls_.load());
  run->Stop();
  ASSERT_EQ(S_OK, control->SetCallback(nullptr));
  EXPECT_EQ(1u, callback.refs_.load());  // the filter let go of the host's callback
}

TEST_F(FilterDoublesTest, AnalyzerPassesPacksThroughAndAddsIndexRecords) {
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
  ComPtr<IBaseFilter> analyzer;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_ANALYZER_FILE, doubles::kClsidMpegAnalyzer, IID_IBaseFilter,
                                 analyzer.GetAddressOf()));
  CMediaType stream(&MEDIATYPE_Stream);
  stream.SetSubtype(&MEDIASUBTYPE_MPEG2_PROGRAM);
  graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create({stream});
  graph_testkit::RecordingSink* packs = graph_testkit::RecordingSink::Create();
  graph_testkit::RecordingSink* index = graph_testkit::RecordingSink::Create();
  ComPtr<IBaseFilter> refs[] = {source, packs, index};
  source->Release();
  packs->Release();
  index->Release();
  source->SetBufferRequest(4, 2048);
  ASSERT_EQ(S_OK, graph->AddFilter(source, L"source"));
  ASSERT_EQ(S_OK, graph->AddFilter(analyzer.Get(), L"ZARN MPEG Analyzer"));
  ASSERT_EQ(S_OK, graph->AddFilter(packs, L"packs"));
  ASSERT_EQ(S_OK, graph->AddFilter(index, L"index"));
  ComPtr<IPin> in, out, info;
  ASSERT_EQ(S_OK, analyzer->FindPin(L"Input", &in));
  ASSERT_EQ(S_OK, analyzer->FindPin(L"Output", &out));
  ASSERT_EQ(S_OK, analyzer->FindPin(L"INDEX_INFO", &info));
  ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), in.Get(), nullptr));
  ASSERT_EQ(S_OK, graph->ConnectDirect(out.Get(), packs->InputPin(), nullptr));
  ASSERT_EQ(S_OK, graph->ConnectDirect(info.Get(), index->InputPin(), nullptr));

  std::vector<graph_testkit::SamplePlan> samples(16);
  for (auto& s : samples) s.actualLength = 2048;
  ASSERT_EQ(S_OK, source->StartPushing(samples, false));
  ComPtr<IMediaControl> run;
  ASSERT_EQ(S_OK, graph.As(&run));
  ASSERT_TRUE(SUCCEEDED(run->Run()));
  ASSERT_TRUE(source->WaitPushed(5000));
  ASSERT_TRUE(packs->WaitForSamples(16, 5000));
  ASSERT_TRUE(index->WaitForSamples(2, 5000));
  EXPECT_EQ(2048, packs->Samples()[0].actualLength);
  EXPECT_EQ(16, index->Samples()[0].actualLength);
  run->Stop();

  ComPtr<IAnalyzerControl> control;
  ASSERT_EQ(S_OK, analyzer->QueryInterface(IID_IAnalyzerControl, reinterpret_cast<void**>(control.GetAddressOf())));
  EXPECT_EQ(S_OK, control->SetParameters(1, 2, 3, 4));
  const auto calls = Journal::Instance().Calls("MpegAnalyzer", "SetParameters");
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(4, calls[0].args[3]);
}

}  // namespace

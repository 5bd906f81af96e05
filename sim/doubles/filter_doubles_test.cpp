#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "common/handles.h"
#include "common/module.h"
#include "common/testing/paths.h"
#include "devices/idl/device_manager.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/include/filter_interfaces.h"
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
      {DOUBLES_TESK_FILE, doubles::kClsidTesk, IID_ITeskControl, 1, 1},
  };
  const IID controls[] = {IID_ICallbackFilterControl, IID_IAnalyzerControl,        IID_ISelectorFilterControl,
                          IID_IDeinterlaceModuleControl, IID_IMorDeinterlaceControl, IID_IVideoInfoControl,
                          IID_ICaptionMixerControl,    IID_IPreviewControl,         IID_IPersistPropertyBag,
                          IID_ITeskControl};
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
    // {5C1A00FF-...}: a major type no filter takes.
    AM_MEDIA_TYPE unknown{};
    unknown.majortype = {0x5c1a00ff, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};
    unknown.subtype = MEDIASUBTYPE_None;
    unknown.formattype = FORMAT_None;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
      PIN_DIRECTION dir{};
      pin->QueryDirection(&dir);
      (dir == PINDIR_INPUT ? ins : outs)++;
      if (dir == PINDIR_INPUT) {
        EXPECT_EQ(S_FALSE, pin->QueryAccept(&unknown)) << "input " << ins;
      }
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

TEST_F(FilterDoublesTest, CallbackFilterHandsEachSelectedStreamToItsOwnCallbackOnTheStreamingThread) {
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
  ComPtr<IBaseFilter> callbackFilter;
  ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_CALLBACK_FILE, doubles::kClsidCallbackFilter, IID_IBaseFilter,
                                 callbackFilter.GetAddressOf()));
  ComPtr<ICallbackFilterControl> control;
  ASSERT_EQ(S_OK, callbackFilter->QueryInterface(IID_ICallbackFilterControl,
                                                 reinterpret_cast<void**>(control.GetAddressOf())));
  CountingCallback callback, mpegCallback;
  ASSERT_EQ(S_OK, control->SelectStream(1, 0, &mpegCallback));
  ASSERT_EQ(S_OK, control->SelectStream(2, 0, &callback));
  EXPECT_EQ(E_INVALIDARG, control->SelectStream(4, 0, &callback));

  CMediaType audio(&MEDIATYPE_Audio);
  audio.SetSubtype(&MEDIASUBTYPE_PCM);
  audio.SetSampleSize(3840);
  graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create({audio});
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
  EXPECT_EQ(0, mpegCallback.calls_.load() + mpegCallback.other_.load());  // PCM reaches only its own

  // After the end of delivery nothing more reaches the host.
  ASSERT_EQ(S_OK, control->EndDelivery(0));
  ASSERT_EQ(S_OK, source->StartPushing(std::vector<graph_testkit::SamplePlan>(2), false));
  ASSERT_TRUE(source->WaitPushed(5000));
  EXPECT_EQ(5, callback.calls_.load());
  run->Stop();
  ASSERT_EQ(S_OK, control->SelectStream(2, 0, nullptr));
  EXPECT_EQ(1u, callback.refs_.load());  // a type switched off lets go of its callback
  EXPECT_EQ(2u, mpegCallback.refs_.load());  // the other type keeps its own
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

// --- The deinterlacing filter's double ------------------------------------------------------------
// A record found as the device manager finds it: by exact name, walking the raw layout.
deinterlace::ParameterRecord* FindRecord(deinterlace::ParameterTableLayout* table, const char* name) {
  for (int i = 0; i < table->count; ++i) {
    char* record = reinterpret_cast<char*>(table->records[i]);
    if (std::strcmp(record + 20, name) == 0) return table->records[i];  // the name is at byte 20
  }
  return nullptr;
}

struct Tesk {
  ComPtr<IBaseFilter> filter;
  ComPtr<ITeskControl> control;
  ComPtr<ITeskSettings> settings;
  ComPtr<IPlanarFieldOrder> planar;
  deinterlace::ParameterTableLayout* table = nullptr;

  void Create() {
    ASSERT_EQ(S_OK, CreateFromFile(DOUBLES_TESK_FILE, doubles::kClsidTesk, IID_IBaseFilter, filter.GetAddressOf()));
    ASSERT_EQ(S_OK, filter->QueryInterface(IID_ITeskControl, reinterpret_cast<void**>(control.GetAddressOf())));
    ASSERT_EQ(S_OK, filter->QueryInterface(IID_ITeskSettings, reinterpret_cast<void**>(settings.GetAddressOf())));
    ASSERT_EQ(S_OK, filter->QueryInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf())));
    ASSERT_EQ(S_OK, settings->GetParameterTable(&table));
    ASSERT_NE(nullptr, table);
  }
  ~Tesk() {
    planar.Reset();
    settings.Reset();
    control.Reset();
    if (filter) {
      EXPECT_EQ(0u, filter.Reset());
    }
  }
};

TEST_F(FilterDoublesTest, TeskTableHasTheFiltersParametersInTheSharedLayout) {
  Tesk tesk;
  ASSERT_NO_FATAL_FAILURE(tesk.Create());
  deinterlace::ParameterTableLayout* again = nullptr;
  ASSERT_EQ(S_OK, tesk.settings->GetParameterTable(&again));
  EXPECT_EQ(tesk.table, again);  // the filter's own memory, not a copy
  EXPECT_EQ(E_POINTER, tesk.settings->GetParameterTable(nullptr));

  EXPECT_EQ(17, tesk.table->count);
  EXPECT_EQ(0, tesk.table->textCount);
  EXPECT_STREQ("Software\\Zarn Corporation\\TunerBrdInfo\\", tesk.table->key);
  const struct {
    const char* name;
    int minimum, maximum, defaultValue, flags;
  } expected[] = {
      {"Qfa Debug Messages", 0, 1, 0, 2},   {"Qfa Frame Drop", 0, 1, 0, 2},
      {"Qfa Frame Drop Time", 1, 40, 20, 2}, {"Qfa run MMX", 0, 1, 0, 2},
      {"Qfa Allow MC Deinterlacing", 0, 1, 0, 2}, {"Qfa Show Motion Vectors", 0, 1, 0, 2},
      {"Qfa Deintermode", 0, 4, 4, 2},       {"Qfa Deinterlace Single Field", 0, 2, 0, 2},
      {"Qfa DVD Bypass", 0, 1, 1, 2},        {"Qfa Contrast", 0, 1, 1, 2},
      {"Qfa Sharpness", 0, 1, 1, 2},         {"Qfa First Field", 0, 1, 1, 2},
      {"Qfa Contrast Factor", 0, 100, 80, 1}, {"LeftRightBorder", 0, 100, 0, 2},
      {"TopBottomBorder", 0, 100, 0, 2},     {"Qfa Sharpness Factor", 0, 100, 25, 1},
      {"Qfa Sharpness Coring", 0, 10, 3, 2},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.name);
    const deinterlace::ParameterRecord* record = FindRecord(tesk.table, e.name);
    ASSERT_NE(nullptr, record);
    const auto* words = reinterpret_cast<const std::int32_t*>(record);  // value, min, max, default, flags
    EXPECT_EQ(e.defaultValue, words[0]);  // nothing in the registry: the default
    EXPECT_EQ(e.minimum, words[1]);
    EXPECT_EQ(e.maximum, words[2]);
    EXPECT_EQ(e.defaultValue, words[3]);
    EXPECT_EQ(e.flags, words[4]);
  }
  EXPECT_EQ(nullptr, FindRecord(tesk.table, "qfa deintermode"));  // names compare exactly
}

TEST_F(FilterDoublesTest, TeskSeesWritesThroughItsTableAndCountsApplies) {
  Tesk tesk;
  ASSERT_NO_FATAL_FAILURE(tesk.Create());
  deinterlace::ParameterRecord* mode = FindRecord(tesk.table, "Qfa Deintermode");
  deinterlace::ParameterRecord* firstField = FindRecord(tesk.table, "Qfa First Field");
  ASSERT_TRUE(mode && firstField);

  // Plain stores into the table, as the device manager makes them, reach the filter's reads.
  mode->value = 2;
  firstField->value = 0;
  LONG value = -1;
  ASSERT_EQ(S_OK, tesk.control->GetDeinterlaceMode(&value));
  EXPECT_EQ(2, value);
  ASSERT_EQ(S_OK, tesk.planar->GetFieldOrder(&value));
  EXPECT_EQ(0, value);
  // And the filter's writes land in the table, clamped.
  EXPECT_EQ(S_OK, tesk.control->SetDeinterlaceMode(7));
  EXPECT_EQ(4, mode->value);
  EXPECT_EQ(S_OK, tesk.control->SetDeinterlaceMode(-3));
  EXPECT_EQ(0, mode->value);
  EXPECT_EQ(S_OK, tesk.planar->SetFieldOrder(5));
  EXPECT_EQ(1, firstField->value);
  EXPECT_EQ(E_POINTER, tesk.control->GetDeinterlaceMode(nullptr));

  EXPECT_EQ(S_OK, tesk.settings->ApplyParameters());
  EXPECT_EQ(S_OK, tesk.settings->ApplyParameters());
  ASSERT_TRUE(Journal::Instance().InjectFailure("Tesk", "ApplyParameters", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, tesk.settings->ApplyParameters());
  const auto applies = Journal::Instance().Calls("Tesk", "ApplyParameters");
  ASSERT_EQ(3u, applies.size());
  EXPECT_EQ(S_OK, applies[1].result);
  EXPECT_EQ(E_ACCESSDENIED, applies[2].result);

  // The rest of ITeskSettings: recorded, minimal.
  CAUUID pages{5, reinterpret_cast<GUID*>(1)};
  ASSERT_EQ(S_OK, tesk.settings->GetPages(&pages));
  EXPECT_EQ(0u, pages.cElems);
  EXPECT_EQ(nullptr, pages.pElems);
  void* processor = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOTIMPL, tesk.settings->GetProcessor(GUID_NULL, &processor));
  EXPECT_EQ(nullptr, processor);
  // Loading again goes back to the defaults of the registry-less machine.
  ASSERT_EQ(S_OK, tesk.settings->LoadParameters());
  EXPECT_EQ(4, mode->value);
  EXPECT_EQ(1u, Journal::Instance().Calls("Tesk", "LoadParameters").size());
}

TEST_F(FilterDoublesTest, TeskFieldOrdersAreTwoSettings) {
  Tesk tesk;
  ASSERT_NO_FATAL_FAILURE(tesk.Create());
  ComPtr<IUnknown> alias, control;
  ASSERT_EQ(S_OK, tesk.filter->QueryInterface(IID_ITeskControlAlias, reinterpret_cast<void**>(alias.GetAddressOf())));
  ASSERT_EQ(S_OK, tesk.control.As(&control));
  EXPECT_EQ(static_cast<void*>(tesk.control.Get()), static_cast<void*>(alias.Get()));
  alias.Reset();
  control.Reset();

  LONG order = -1;
  ASSERT_EQ(S_OK, tesk.control->GetFieldOrder(&order));
  EXPECT_EQ(2, order);  // automatic
  EXPECT_EQ(S_OK, tesk.control->SetFieldOrder(0));
  ASSERT_TRUE(Journal::Instance().InjectFailure("Tesk", "SetFieldOrder", E_FAIL, 1));
  EXPECT_EQ(E_FAIL, tesk.control->SetFieldOrder(1));
  EXPECT_EQ(S_OK, tesk.control->GetFieldOrder(nullptr));
  ASSERT_EQ(S_OK, tesk.control->GetFieldOrder(&order));
  EXPECT_EQ(0, order);  // the failed call changed nothing
  LONG first = -1;
  ASSERT_EQ(S_OK, tesk.planar->GetFieldOrder(&first));
  EXPECT_EQ(1, first);  // "Qfa First Field" is not the forced order
  EXPECT_EQ(E_POINTER, tesk.planar->GetFieldOrder(nullptr));
  EXPECT_EQ(S_OK, tesk.planar->SetFieldOrder(0));

  const auto sets = Journal::Instance().Calls("Tesk", "SetFieldOrder");
  ASSERT_EQ(2u, sets.size());
  EXPECT_EQ(1, sets[1].args[0]);
  EXPECT_EQ(E_FAIL, sets[1].result);
  const auto planar = Journal::Instance().Calls("Tesk", "SetPlanarFieldOrder");
  ASSERT_EQ(1u, planar.size());
  EXPECT_EQ(0, planar[0].args[0]);
}

TEST_F(FilterDoublesTest, TeskPassesFramesThroughAndForgetsItsFieldOrderOnConnection) {
  Tesk tesk;
  ASSERT_NO_FATAL_FAILURE(tesk.Create());
  ComPtr<IGraphBuilder> graph;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
  graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create();
  graph_testkit::RecordingSink* sink = graph_testkit::RecordingSink::Create();
  ComPtr<IBaseFilter> refs[] = {source, sink};
  source->Release();
  sink->Release();
  ASSERT_EQ(S_OK, graph->AddFilter(source, L"source"));
  ASSERT_EQ(S_OK, graph->AddFilter(tesk.filter.Get(), L"Qfa-Tesk"));
  ASSERT_EQ(S_OK, graph->AddFilter(sink, L"sink"));
  ComPtr<IPin> in, out;
  ASSERT_EQ(S_OK, tesk.filter->FindPin(L"Input", &in));
  ASSERT_EQ(S_OK, tesk.filter->FindPin(L"Output", &out));
  ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), in.Get(), nullptr));

  ASSERT_EQ(S_OK, tesk.control->SetFieldOrder(0));
  ASSERT_EQ(S_OK, graph->ConnectDirect(out.Get(), sink->InputPin(), nullptr));
  LONG order = -1;
  ASSERT_EQ(S_OK, tesk.control->GetFieldOrder(&order));
  EXPECT_EQ(2, order);  // set before the output connected: gone
  ASSERT_EQ(S_OK, tesk.control->SetFieldOrder(1));

  std::vector<graph_testkit::SamplePlan> frames(4);
  for (auto& f : frames) f.fill = 0x5A;
  ASSERT_EQ(S_OK, source->StartPushing(frames, false));
  ComPtr<IMediaControl> run;
  ASSERT_EQ(S_OK, graph.As(&run));
  ASSERT_TRUE(SUCCEEDED(run->Run()));
  ASSERT_TRUE(source->WaitPushed(5000));
  ASSERT_TRUE(sink->WaitForSamples(4, 5000));
  EXPECT_EQ(720 * 480 * 2, sink->Samples()[0].actualLength);
  EXPECT_EQ(0x5A, sink->Samples()[3].firstByte);
  run->Stop();
  ASSERT_EQ(S_OK, tesk.control->GetFieldOrder(&order));
  EXPECT_EQ(1, order);  // kept while connected
  run.Reset();
  in.Reset();
  out.Reset();
  EXPECT_EQ(0u, graph.Reset());
}

}  // namespace

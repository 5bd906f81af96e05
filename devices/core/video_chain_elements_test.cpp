// The video chain's optional filters, the deinterlacing filter's configuration and the
// closed-caption chain, in graphs of the platform's filter graph manager around the simulated
// card's capture filter: against the doubles of the outside modules, and against the system's
// own deinterlacing module (bin/deinterlace/QfaTesk.ax), whose settings are read back through
// its control interfaces and parameter table.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/testing/paths.h"
#include "common/testing/registry_fixture.h"
#include "devices/core/closed_caption_chain.h"
#include "devices/core/optional_filter.h"
#include "devices/core/tesk_filter.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/video_types.h"
#include "sim/card/sim_card_fixture.h"
#include "sim/doubles/double_journal.h"
#include "sim/doubles/platform_doubles_testing.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;

namespace {

constexpr wchar_t kBoardInfoSubKey[] = L"Software\\Zarn Corporation\\TunerBrdInfo";

// The directory of the doubles' module copies stands in for the device manager's.
HMODULE DoublesModule() {
  static HMODULE module = LoadLibraryW(testing_support::BinPath(L"filterdoubles.dll").c_str());
  return module;
}

// The system's deinterlacing module: as the chain's module, its directory is where the chain
// finds "QfaTesk.ax".
HMODULE TeskModule() {
  static HMODULE module = LoadLibraryW(testing_support::BinPath(L"deinterlace\\QfaTesk.ax").c_str());
  return module;
}

using graph_testkit::FilterCount;

// The deinterlacing filter's two field orders: ITeskControl's forced order and
// IPlanarFieldOrder's first field; -999 when the filter does not answer.
struct TeskOrders {
  LONG forced;
  LONG firstField;
};

TeskOrders ReadTeskOrders(FilterWrapper& element) {
  TeskOrders orders{-999, -999};
  ComPtr<ITeskControl> control;
  if (SUCCEEDED(element.QueryFilterInterface(IID_ITeskControl, reinterpret_cast<void**>(control.GetAddressOf())))) {
    control->GetFieldOrder(&orders.forced);
  }
  ComPtr<IPlanarFieldOrder> planar;
  if (SUCCEEDED(element.QueryFilterInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf())))) {
    planar->GetFieldOrder(&orders.firstField);
  }
  return orders;
}

void WriteTeskOrders(FilterWrapper& element, TeskOrders orders) {
  ComPtr<ITeskControl> control;
  ASSERT_EQ(S_OK, element.QueryFilterInterface(IID_ITeskControl, reinterpret_cast<void**>(control.GetAddressOf())));
  ASSERT_EQ(S_OK, control->SetFieldOrder(orders.forced));
  ComPtr<IPlanarFieldOrder> planar;
  ASSERT_EQ(S_OK, element.QueryFilterInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(planar.GetAddressOf())));
  ASSERT_EQ(S_OK, planar->SetFieldOrder(orders.firstField));
}

std::vector<std::int64_t> FirstArgs(const char* object, const char* method) {
  std::vector<std::int64_t> args;
  for (const auto& call : Journal::Instance().Calls(object, method)) args.push_back(call.args[0]);
  return args;
}

class ChainElementTest : public simcard_testing::SimCardGraphTest {
 protected:
  void SetUp() override {
    SimCardGraphTest::SetUp();
    Journal::Instance().Reset();
    ASSERT_TRUE(DoublesModule());
    settings_.module = DoublesModule();
    capturePin_ = simcard_testing::PinNamed(capture_.Get(), L"Capture");
    ASSERT_TRUE(capturePin_);
  }
  void TearDown() override {
    capturePin_.Reset();
    SimCardGraphTest::TearDown();
  }
  IFilterGraph* Graph() { return graph_.Get(); }
  // A sink behind the element's output.
  void ConnectSink(FilterWrapper& element) {
    ComPtr<IPin> out;
    ASSERT_EQ(S_OK, element.GetOutputPin(nullptr, &out));
    graph_testkit::RecordingSink* sink = AddSink(L"sink");
    ASSERT_EQ(S_OK, graph_->ConnectDirect(out.Get(), sink->InputPin(), nullptr));
  }

  testing_support::ScratchRegistryKey boardInfo_{HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", kBoardInfoSubKey};
  ChainSettings settings_;
  ComPtr<IPin> capturePin_;
};

// --- Optional filters --------------------------------------------------------------------------------
TEST_F(ChainElementTest, EachKindIsConnectedBetweenTwoPinsAndConfiguredAfterwards) {
  ASSERT_TRUE(boardInfo_.SetDword(L"DeinterMode", 9));
  ChainSettings realTesk = settings_;
  realTesk.module = TeskModule();
  ASSERT_TRUE(realTesk.module);
  // What the element set: the doubles' journal (first arguments of `method`), or for the
  // system's deinterlacing module its forced field order (2 once its output is connected).
  struct Case {
    std::function<std::unique_ptr<OptionalFilter>(const ChainSettings&)> make;
    const wchar_t* graphName;
    const char* object;
    const char* method;
    std::vector<std::int64_t> values;
    const ChainSettings* settings = nullptr;  // settings_ when null
  } cases[] = {
      {[](auto& s) { return std::make_unique<DeinterlaceFilter>(s); }, L"Zarn Deinterlace", "Deinterlace", "SetMode", {2}},
      {[](auto& s) { return std::make_unique<MorDeinterlaceFilter>(s); }, L"MOR-Deinterlace", "MorDeinterlace", "SetMode", {4}},
      {[](auto& s) { return std::make_unique<VideoInfo2Filter>(s); }, L"Video Info Header2 Filter", "VideoInfo",
       "SetInterlaceFlags", {4}},
      {[](auto& s) { return std::make_unique<TeskFilter>(s); }, L"Qfa-Tesk", nullptr, nullptr, {1}, &realTesk},
      // A family that leaves the outside modules' settings alone.
      {[](auto& s) { return std::make_unique<DeinterlaceFilter>(s, false); }, L"Zarn Deinterlace", "Deinterlace", "SetMode", {}},
      {[](auto& s) { return std::make_unique<VideoInfo2Filter>(s, false); }, L"Video Info Header2 Filter", "VideoInfo",
       "SetInterlaceFlags", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.graphName);
    Journal::Instance().Reset();
    std::unique_ptr<OptionalFilter> element = c.make(c.settings ? *c.settings : settings_);
    ASSERT_EQ(S_OK, element->CreateFilter(Graph()));
    ComPtr<IBaseFilter> named;
    EXPECT_EQ(S_OK, graph_->FindFilterByName(c.graphName, &named));
    EXPECT_EQ(errors::kChainFailure, element->CreateFilter(Graph()));
    ASSERT_EQ(S_OK, element->Connect(capturePin_.Get(), nullptr, nullptr));
    EXPECT_EQ(errors::kChainFailure, element->Connect(capturePin_.Get(), nullptr, nullptr));
    ConnectSink(*element);
    EXPECT_EQ(S_OK, element->Configure());
    if (c.object) {
      EXPECT_EQ(c.values, FirstArgs(c.object, c.method));
    } else {
      EXPECT_EQ(c.values, std::vector<std::int64_t>{ReadTeskOrders(*element).forced});
    }
    EXPECT_EQ(S_OK, element->RemoveFromGraph());
    EXPECT_EQ(2, FilterCount(Graph()));  // the capture filter and the sink
    sinks_.clear();
    for (ComPtr<IBaseFilter> sink; graph_->FindFilterByName(L"sink", &sink) == S_OK; sink.Reset()) {
      graph_->RemoveFilter(sink.Get());
    }
  }
}

TEST_F(ChainElementTest, CreationFollowsTheFamilyPolicyAndLeavesTheGraphAsItWasOnFailure) {
  const CLSID unknownClass = {0x5c1a00ff, 0x7e2b, 0x4d3a, {0x9f, 0x10, 0x3b, 0x6c, 0x0d, 0x5e, 0x7a, 0xff}};
  ChainSettings classFirst = settings_;
  classFirst.creation = FilterCreation::ClassFirst;
  ChainSettings moduleFirst = settings_;
  moduleFirst.creation = FilterCreation::ModuleFirst;
  struct Case {
    const ChainSettings* settings;
    CLSID clsid;
    const wchar_t* file;
    HRESULT expected;
  } cases[] = {
      // No module file: by class identifier (the null renderer has no output pin, so it goes again).
      {&settings_, CLSID_NullRenderer, L"", VFW_E_NOT_FOUND},
      // A module file is used exclusively in family 1, whatever the class registration says.
      {&settings_, CLSID_NullRenderer, L"Missing.ax", E_FAIL},
      {&settings_, unknownClass, outside::kDeinterlaceFile, CLASS_E_CLASSNOTAVAILABLE},
      {&settings_, outside::kClsidDeinterlace, outside::kDeinterlaceFile, S_OK},
      // Family 2: the class first, the module file when the class is not registered.
      {&classFirst, outside::kClsidDeinterlace, outside::kDeinterlaceFile, S_OK},
      {&classFirst, CLSID_NullRenderer, L"Missing.ax", VFW_E_NOT_FOUND},
      {&classFirst, unknownClass, outside::kDeinterlaceFile, CLASS_E_CLASSNOTAVAILABLE},  // the file was last
      // Family 3: the module file first, the class when the file cannot make it.
      {&moduleFirst, outside::kClsidDeinterlace, outside::kDeinterlaceFile, S_OK},
      {&moduleFirst, CLSID_NullRenderer, L"Missing.ax", VFW_E_NOT_FOUND},
      {&moduleFirst, unknownClass, outside::kDeinterlaceFile, REGDB_E_CLASSNOTREG},  // the class was last
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.clsid.Data1 << " " << static_cast<int>(c.settings->creation));
    CustomFilter element(*c.settings, c.clsid, c.file, L"CUSTOM FILTER");
    EXPECT_EQ(c.expected, element.CreateFilter(Graph()));
    EXPECT_EQ(SUCCEEDED(c.expected) ? 2 : 1, FilterCount(Graph()));
    ComPtr<IPin> out;
    EXPECT_EQ(SUCCEEDED(c.expected) ? S_OK : errors::kChainNullPointer, element.GetOutputPin(nullptr, &out));
    EXPECT_EQ(errors::kChainNullPointer, element.GetOutputPin(L"x", &out));
    EXPECT_EQ(nullptr, out.Get());
    element.RemoveFromGraph();
    EXPECT_EQ(1, FilterCount(Graph()));
  }
  CustomFilter element(settings_, outside::kClsidDeinterlace, outside::kDeinterlaceFile, L"CUSTOM FILTER");
  EXPECT_EQ(errors::kChainNullPointer, element.CreateFilter(nullptr));
  EXPECT_EQ(errors::kChainNullPointer, element.Connect(capturePin_.Get(), nullptr, nullptr));
}

TEST_F(ChainElementTest, InterlaceRuleFollowsTheUpstreamFormat) {
  EXPECT_TRUE(chain_media::IsInterlaced(nullptr));
  auto vih2 = [](DWORD flags) {
    CMediaType type = graph_testkit::MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
    reinterpret_cast<VIDEOINFOHEADER2*>(type.Format())->dwInterlaceFlags = flags;
    return type;
  };
  const struct {
    CMediaType type;
    bool interlaced;
  } cases[] = {
      {graph_testkit::MakeVideoType(720, 576), true},
      {graph_testkit::MakeVideoType(352, 480), true},
      {graph_testkit::MakeVideoType(352, 240), false},
      {vih2(AMINTERLACE_IsInterlaced), true},
      {vih2(0), false},
  };
  for (const auto& c : cases) {
    graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create({c.type});
    ComPtr<IBaseFilter> holder(source);
    source->Release();
    ASSERT_EQ(S_OK, graph_->AddFilter(source, L"push"));
    graph_testkit::RecordingSink* sink = AddSink(L"sink");
    ASSERT_EQ(S_OK, graph_->ConnectDirect(source->OutputPin(), sink->InputPin(), nullptr));
    EXPECT_EQ(c.interlaced, chain_media::IsInterlaced(source->OutputPin()));
    graph_->RemoveFilter(source);
    graph_->RemoveFilter(sinks_.back().Get());
  }
}

TEST_F(ChainElementTest, MorModeComesFromDeinterModeWithinItsRange) {
  EXPECT_EQ(2, MorDeinterlaceFilter::ReadMode());
  for (const auto& [stored, mode] : std::vector<std::pair<DWORD, LONG>>{{0, 0}, {6, 6}, {7, 4}, {9, 4}}) {
    ASSERT_TRUE(boardInfo_.SetDword(L"DeinterMode", stored));
    EXPECT_EQ(mode, MorDeinterlaceFilter::ReadMode()) << stored;
  }
  // What reaches the module: progressive input keeps mode 2 whatever the registry says.
  const struct {
    LONG height;
    DWORD stored;  // 99: no value
    std::int64_t mode;
  } cases[] = {{480, 4, 4}, {480, 7, 4}, {480, 5, 5}, {480, 99, 2}, {360, 4, 2}, {360, 7, 2}, {576, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.height << " " << c.stored);
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kBoardInfoSubKey, L"DeinterMode");
    if (c.stored != 99) {
      ASSERT_TRUE(boardInfo_.SetDword(L"DeinterMode", c.stored));
    }
    graph_testkit::TestPushSource* source = graph_testkit::TestPushSource::Create({graph_testkit::MakeVideoType(720, c.height)});
    ComPtr<IBaseFilter> holder(source);
    source->Release();
    ASSERT_EQ(S_OK, graph_->AddFilter(source, L"push"));
    Journal::Instance().Reset();
    {
      MorDeinterlaceFilter element(settings_);
      ASSERT_EQ(S_OK, element.CreateFilter(Graph()));
      ASSERT_EQ(S_OK, element.Connect(source->OutputPin(), nullptr, nullptr));
      EXPECT_EQ(S_OK, element.Configure());
    }
    EXPECT_EQ(std::vector<std::int64_t>{c.mode}, FirstArgs("MorDeinterlace", "SetMode"));
    graph_->RemoveFilter(source);
  }
}

TEST_F(ChainElementTest, PacerSettingsFromTheRegistryOrTheDefaultsReachThePacer) {
  settings_.boardType = 7;
  settings_.tunerNumber = 0;
  for (bool fromRegistry : {false, true}) {
    SCOPED_TRACE(fromRegistry);
    if (fromRegistry) {
      ASSERT_TRUE(boardInfo_.SetDword(L"video alloc buffers", 6, L"BoardType7\\Tuner1\\LiveAVSyncParams"));
      ASSERT_TRUE(boardInfo_.SetDword(L"video delay", 120, L"BoardType7\\Tuner1\\LiveAVSyncParams"));
      ASSERT_TRUE(boardInfo_.SetDword(L"use hardware timestamp", 5, L"BoardType7\\Tuner1\\LiveAVSyncParams"));
    }
    VideoSyncFilter pacer(settings_);
    ASSERT_EQ(S_OK, pacer.CreateFilter(Graph()));
    ComPtr<IPacerSettings> values;
    ASSERT_EQ(S_OK, pacer.QueryFilterInterface(IID_IPacerSettings, reinterpret_cast<void**>(values.GetAddressOf())));
    EXPECT_EQ(fromRegistry ? 6 : 15, values->GetAllocatorBuffers());
    EXPECT_EQ(fromRegistry ? 120 : 250, values->GetDelay());
    EXPECT_EQ(1, values->GetHwTimeStamp());
  }
}

// --- Parameter table ---------------------------------------------------------------------------------
struct FakeTable {
  deinterlace::ParameterTableLayout layout{};
  std::vector<std::unique_ptr<deinterlace::ParameterRecord>> records;
  void Add(const char* name, int minimum, int maximum, int value = 0) {
    auto record = std::make_unique<deinterlace::ParameterRecord>();
    *record = {};
    record->value = value;
    record->minimum = minimum;
    record->maximum = maximum;
    std::strncpy(record->name, name, sizeof(record->name) - 1);
    layout.records[layout.count++] = record.get();
    records.push_back(std::move(record));
  }
  int Value(const char* name) const {
    for (const auto& r : records) {
      if (std::strcmp(r->name, name) == 0) return r->value;
    }
    return -999;
  }
};

TEST(ParameterTableTest, SetByNameClampsAndNeverWalksPastTheCapacity) {
  FakeTable table;
  table.Add("Qfa Frame Drop Time", 1, 40, 20);
  table.Add("Qfa Contrast", 0, 1);
  EXPECT_EQ(0, ParameterTable::SetByName(&table.layout, "Qfa Frame Drop Time", 99));
  EXPECT_EQ(40, table.Value("Qfa Frame Drop Time"));
  EXPECT_EQ(0, ParameterTable::SetByName(&table.layout, "Qfa Frame Drop Time", -5));
  EXPECT_EQ(1, table.Value("Qfa Frame Drop Time"));
  EXPECT_EQ(-1, ParameterTable::SetByName(&table.layout, "Qfa contrast", 1));  // case-sensitive
  EXPECT_EQ(-1, ParameterTable::SetByName(&table.layout, "", 1));
  EXPECT_EQ(-1, ParameterTable::SetByName(nullptr, "Qfa Contrast", 1));

  // A corrupt count: the record pointers end at the capacity, and what follows them in the
  // table's memory is never taken for a record.
  FakeTable full;
  for (int i = 0; i < deinterlace::kParameterCapacity; ++i) full.Add("filler", 0, 1);
  deinterlace::ParameterRecord beyond{};
  beyond.maximum = 100;
  std::memcpy(beyond.name, "Beyond", 7);
  full.layout.textRecords[0] = reinterpret_cast<deinterlace::TextParameterRecord*>(&beyond);
  full.layout.count = 100000;
  EXPECT_EQ(-1, ParameterTable::SetByName(&full.layout, "Beyond", 50));
  EXPECT_EQ(0, beyond.value);
}

// ITeskSettings over a table of the test's own.
class FakeTesk final : public ITeskSettings {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_ITeskSettings ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetParameterTable(deinterlace::ParameterTableLayout** out) override {
    *out = &table.layout;
    return S_OK;
  }
  STDMETHODIMP ApplyParameters() override {
    ++applied;
    return S_OK;
  }
  STDMETHODIMP GetProcessor(GUID, void**) override { return E_NOTIMPL; }
  STDMETHODIMP LoadParameters() override { return E_NOTIMPL; }
  STDMETHODIMP GetPages(CAUUID*) override { return E_NOTIMPL; }
  FakeTable table;
  int applied = 0;
};

TEST(TeskSettingsTest, AMissingNameEndsTheSetterWithoutApplying) {
  FakeTesk tesk;
  tesk.table.Add("Qfa Frame Drop", 0, 1);
  tesk.table.Add("Qfa Sharpness", 0, 1);
  tesk.table.Add("Qfa Sharpness Coring", 0, 50);
  EXPECT_EQ(errors::kChainFailure, tesk_settings::SetFrameDrop(&tesk, 1, 40));
  EXPECT_EQ(0, tesk.applied);
  EXPECT_EQ(S_OK, tesk_settings::SetFrameDrop(&tesk, 1, -1));
  EXPECT_EQ(1, tesk.applied);
  EXPECT_EQ(1, tesk.table.Value("Qfa Frame Drop"));
  // Coring is written before the factor that the table lacks.
  EXPECT_EQ(errors::kChainFailure, tesk_settings::SetSharpness(&tesk, 1, 30, 12));
  EXPECT_EQ(12, tesk.table.Value("Qfa Sharpness Coring"));
  EXPECT_EQ(1, tesk.applied);
  EXPECT_EQ(S_OK, tesk_settings::SetSharpness(&tesk, 0, 30, 13));
  EXPECT_EQ(12, tesk.table.Value("Qfa Sharpness Coring"));  // off: only the switch is written
  EXPECT_EQ(0, tesk.table.Value("Qfa Sharpness"));
  EXPECT_EQ(2, tesk.applied);
  EXPECT_EQ(errors::kChainNullPointer, tesk_settings::SetContrast(nullptr, 0, 0));
}

// --- Deinterlacing filter configuration --------------------------------------------------------------
// Against the system's deinterlacing module.
class TeskConfigureTest : public ChainElementTest {
 protected:
  void SetUp() override {
    ChainElementTest::SetUp();
    ASSERT_TRUE(TeskModule());
    settings_.module = TeskModule();
    settings_.recRunningEvent = testing_support::UniqueName(L"Local\\VornRecRunning_");
    rec_.reset(CreateEventW(nullptr, TRUE, FALSE, settings_.recRunningEvent.c_str()));
    ASSERT_TRUE(rec_);
  }
  int TableValue(TeskFilter& element, const char* name) {
    ComPtr<ITeskSettings> tesk;
    EXPECT_EQ(S_OK, element.QueryFilterInterface(IID_ITeskSettings, reinterpret_cast<void**>(tesk.GetAddressOf())));
    deinterlace::ParameterTableLayout* table = nullptr;
    if (!tesk || FAILED(tesk->GetParameterTable(&table))) return -999;
    for (int i = 0; i < table->count && i < deinterlace::kParameterCapacity; ++i) {
      if (std::strcmp(table->records[i]->name, name) == 0) return table->records[i]->value;
    }
    return -999;
  }
  UniqueHandle rec_;
};

TEST_F(TeskConfigureTest, FieldOrdersFollowBoardRecordingAndRegistry) {
  constexpr LONG kLeftAlone = -1;  // the order the filter held before stays
  const struct {
    DWORD board, tuner;
    bool recording;
    const wchar_t* valueName;  // written under both "Qfa Tesk" and "Planer" with `stored`
    DWORD stored;
    LONG filterOrder, planarOrder;
  } cases[] = {
      {18, 1, true, nullptr, 0, 1, 0},
      {18, 1, false, nullptr, 0, 0, 1},
      {5, 0, false, nullptr, 0, 1, kLeftAlone},
      {5, 0, true, nullptr, 0, 1, kLeftAlone},
      {18, 1, true, L"field order rec", 7, 1, 1},
      {18, 1, false, L"field order norec", 0, 0, 0},
      {18, 1, false, L"field order rec", 0, 0, 1},  // the other value does not apply
  };
  // Each case twice, the filter holding either order before: a value that is written shows
  // whatever the filter held, one left alone shows the order it held.
  for (const auto& c : cases) for (const LONG before : {0L, 1L}) {
    SCOPED_TRACE(testing::Message() << c.board << "/" << c.tuner << " rec " << c.recording << " "
                                    << (c.valueName ? c.valueName : L"-") << " held " << before);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBoardInfoSubKey);
    if (c.valueName) {
      const std::wstring key = board_settings::BoardKey(c.board, c.tuner, nullptr).substr(
          std::wstring(board_settings::kBoardInfoKey).size() + 1);
      ASSERT_TRUE(boardInfo_.SetDword(c.valueName, c.stored, key + L"\\Qfa Tesk"));
      ASSERT_TRUE(boardInfo_.SetDword(c.valueName, c.stored, key + L"\\Planer"));
    }
    c.recording ? SetEvent(rec_.get()) : ResetEvent(rec_.get());
    settings_.boardType = c.board;
    settings_.tunerNumber = c.tuner;
    TeskFilter element(settings_);
    ASSERT_EQ(S_OK, element.CreateFilter(Graph()));
    ASSERT_EQ(S_OK, element.Connect(capturePin_.Get(), nullptr, nullptr));
    WriteTeskOrders(element, {before, before});
    EXPECT_EQ(S_OK, element.Configure());
    const TeskOrders after = ReadTeskOrders(element);
    EXPECT_EQ(c.filterOrder == kLeftAlone ? before : c.filterOrder, after.forced);
    EXPECT_EQ(c.planarOrder == kLeftAlone ? before : c.planarOrder, after.firstField);
  }
}

TEST_F(TeskConfigureTest, FrameDropIsOnOnlyForTheValueOneAndTheConverterSwitchesProcessingOff) {
  for (const auto& [stored, on] : std::vector<std::pair<DWORD, int>>{{2, 0}, {1, 1}}) {
    ASSERT_TRUE(boardInfo_.SetDword(L"Qfa Frame Drop2", stored));
    ASSERT_TRUE(boardInfo_.SetDword(L"Qfa Frame Drop2 Time", 30));
    TeskFilter element(settings_);
    ASSERT_EQ(S_OK, element.CreateFilter(Graph()));
    ASSERT_EQ(S_OK, element.Connect(capturePin_.Get(), nullptr, nullptr));
    EXPECT_EQ(S_OK, element.Configure());
    EXPECT_EQ(on, TableValue(element, "Qfa Frame Drop")) << stored;
    if (on) {
      EXPECT_EQ(30, TableValue(element, "Qfa Frame Drop Time"));
    }
    EXPECT_EQ(S_OK, element.SetFrameDrop(1, 1000));  // clamped to the record's maximum
    EXPECT_EQ(40, TableValue(element, "Qfa Frame Drop Time"));
  }

  PlanarConverterFilter converter(settings_);
  ASSERT_EQ(S_OK, converter.CreateFilter(Graph()));
  ASSERT_EQ(S_OK, converter.Connect(capturePin_.Get(), nullptr, nullptr));
  ASSERT_EQ(S_OK, converter.SetContrast(1, 3));
  ASSERT_EQ(S_OK, converter.SetSharpness(1, 3, 3));
  EXPECT_EQ(S_OK, converter.Configure());
  EXPECT_EQ(1, TableValue(converter, "Qfa Deintermode"));
  EXPECT_EQ(0, TableValue(converter, "Qfa Contrast"));
  EXPECT_EQ(0, TableValue(converter, "Qfa Sharpness"));
}

// --- Closed-caption chain ----------------------------------------------------------------------------
class CaptionChainTest : public ChainElementTest {
 protected:
  void SetUp() override {
    ChainElementTest::SetUp();
    ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
    vbiPin_ = simcard_testing::PinNamed(capture_.Get(), L"VBI");
    ASSERT_TRUE(vbiPin_);
  }
  void TearDown() override {
    vbiPin_.Reset();
    EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
    ChainElementTest::TearDown();
  }
  std::unique_ptr<ClosedCaptionChain> Make(DWORD mode = 0x10001) {
    std::unique_ptr<ClosedCaptionChain> chain;
    EXPECT_EQ(S_OK, ClosedCaptionChain::Create(settings_, mode, &chain));
    return chain;
  }
  ComPtr<IPin> vbiPin_;
};

TEST_F(CaptionChainTest, ConnectsFromTheVbiPinAndItsControlsAnswer) {
  std::unique_ptr<ClosedCaptionChain> chain = Make();
  ASSERT_EQ(S_OK, chain->CreateFilter(Graph()));
  EXPECT_EQ(4, FilterCount(Graph()));
  EXPECT_EQ(std::vector<std::int64_t>{0}, FirstArgs("CaptionMixer1", "Enable"));
  EXPECT_EQ(errors::kChainNullPointer, chain->Connect(capturePin_.Get(), nullptr, nullptr));
  ASSERT_EQ(S_OK, chain->Connect(capturePin_.Get(), vbiPin_.Get(), nullptr));
  ConnectSink(*chain);
  ComPtr<IPin> peer;
  EXPECT_EQ(S_OK, vbiPin_->ConnectedTo(&peer));

  LONG enabled = -1;
  EXPECT_EQ(S_OK, chain->GetMixerEnabled(&enabled));
  EXPECT_EQ(0, enabled);
  EXPECT_EQ(S_OK, chain->SetMixerEnabled(1));
  EXPECT_EQ(S_OK, chain->SetMixerEnabled(1));  // already on: no reset
  EXPECT_EQ(1u, Journal::Instance().Calls("CaptionMixer1", "Reset").size());
  EXPECT_EQ(S_OK, chain->GetMixerEnabled(&enabled));
  EXPECT_EQ(1, enabled);
  EXPECT_EQ(errors::kChainNullPointer, chain->GetMixerEnabled(nullptr));

  // The mixer hears of a service change only.
  AM_LINE21_CCSERVICE service = AM_L21_CCSERVICE_None;
  ASSERT_EQ(S_OK, chain->GetCurrentService(&service));
  const AM_LINE21_CCSERVICE other =
      service == AM_L21_CCSERVICE_Caption2 ? AM_L21_CCSERVICE_Caption1 : AM_L21_CCSERVICE_Caption2;
  EXPECT_EQ(S_OK, chain->SetCurrentService(other));
  EXPECT_EQ(S_OK, chain->SetCurrentService(other));
  EXPECT_EQ(2u, Journal::Instance().Calls("CaptionMixer1", "Reset").size());
  BOOL redraw = -1;
  EXPECT_EQ(S_OK, chain->SetRedrawAlways(TRUE));
  EXPECT_EQ(S_OK, chain->GetRedrawAlways(&redraw));
  EXPECT_EQ(TRUE, redraw);

  EXPECT_EQ(S_OK, chain->Disconnect());
  EXPECT_EQ(VFW_E_NOT_CONNECTED, vbiPin_->ConnectedTo(&peer));
  chain.reset();
  EXPECT_EQ(2, FilterCount(Graph()));
}

TEST_F(CaptionChainTest, ModeRegistrationAndHalfwayFailuresLeaveNothingBehind) {
  std::unique_ptr<ClosedCaptionChain> refused;
  EXPECT_EQ(errors::kChainInvalidArg, ClosedCaptionChain::Create(settings_, 0x10003, &refused));
  EXPECT_EQ(nullptr, refused);
  EXPECT_EQ(errors::kChainInvalidArg, Make(0x10000)->CreateFilter(Graph()));

  ASSERT_TRUE(Journal::Instance().InjectFailure("CaptionMixer2", "Enable", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, Make(0x20001)->CreateFilter(Graph()));
  EXPECT_EQ(1, FilterCount(Graph()));

  const std::wstring key = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") +
                           L"{07dad660-22f1-11d1-a9f4-00c04fbbde8f}\\##?#Root#SYSTEM#0000#" +
                           L"{07dad660-22f1-11d1-a9f4-00c04fbbde8f}\\#{562370a8-f8dd-11d2-bc64-00a0c95ec22e}" +
                           L"&GLOBAL\\Device Parameters";
  const std::wstring unknown = L"No Such Codec";
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FriendlyName", REG_SZ, unknown.c_str(),
                                           static_cast<DWORD>((unknown.size() + 1) * sizeof(wchar_t))));
  EXPECT_EQ(errors::kChainNullPointer, Make()->CreateFilter(Graph()));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FriendlyName"));
  EXPECT_EQ(errors::kChainFailure, Make()->CreateFilter(Graph()));
  EXPECT_EQ(1, FilterCount(Graph()));
  const std::wstring codec = DOUBLES_VBI_CODEC_NAME;
  EXPECT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"FriendlyName", REG_SZ, codec.c_str(),
                                           static_cast<DWORD>((codec.size() + 1) * sizeof(wchar_t))));
}

}  // namespace

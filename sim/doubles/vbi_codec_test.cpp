#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "sim/doubles/platform_doubles_testing.h"
#include "sim/doubles/platform_test_filters.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;
using graph_testkit::StubGraph;
using graph_testkit::TestPushSource;
using platform_testing::BindByName;
using platform_testing::DataSink;
using platform_testing::ExpectInterfaces;
using platform_testing::PinAt;
using platform_testing::SampleMaker;

namespace {

CMediaType RawVbi() {
  CMediaType type(&doubles::kMediaTypeVbi);
  type.SetSubtype(&doubles::kSubtypeRaw8);
  type.SetFormatType(&FORMAT_None);
  return type;
}

std::wstring ReadFriendlyName(const wchar_t* key) {
  wchar_t text[128] = {};
  DWORD size = sizeof(text);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"FriendlyName", RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS) {
    return L"";
  }
  return text;
}

class VbiCodecTest : public platform_testing::RegisteredDoublesTest {
 protected:
  ComPtr<IBaseFilter> Bind() {
    auto found = BindByName(doubles::kCategoryVbiCodec, DOUBLES_VBI_CODEC_NAME);
    EXPECT_EQ(1u, found.size());
    return found.empty() ? nullptr : found[0];
  }
};

// Two VBI sources on the codec's inputs (as asked), its output on `downstream` (a sink's pin or
// another filter's input), in a stub graph, paused.
struct CodecGraph {
  StubGraph* graph = StubGraph::Create();
  TestPushSource* source1 = TestPushSource::Create({RawVbi()});
  TestPushSource* source2 = TestPushSource::Create({RawVbi()});
  DataSink* sink = DataSink::Create();
  IBaseFilter* codec = nullptr;
  ComPtr<IMemInputPin> inputs[2];

  void Build(IBaseFilter* filter, bool first, bool second) {
    codec = filter;
    ASSERT_EQ(S_OK, graph->AddFilter(codec, L"VBI Codec"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink, L"sink"));
    TestPushSource* sources[2] = {source1, source2};
    const bool wanted[2] = {first, second};
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(S_OK, graph->AddFilter(sources[i], i ? L"source2" : L"source1"));
      ComPtr<IPin> pin = PinAt(codec, PINDIR_INPUT, i);
      ASSERT_TRUE(pin);
      ASSERT_EQ(S_OK, pin.As(&inputs[i]));
      if (wanted[i]) {
        ASSERT_EQ(S_OK, graph->ConnectDirect(sources[i]->OutputPin(), pin.Get(), nullptr));
      }
    }
    ASSERT_EQ(S_OK, graph->ConnectDirect(PinAt(codec, PINDIR_OUTPUT, 0).Get(), sink->InputPin(), nullptr));
    for (IBaseFilter* f : Filters()) ASSERT_EQ(S_OK, f->Pause());
  }
  std::vector<IBaseFilter*> Filters() {
    return {static_cast<IBaseFilter*>(sink), codec, static_cast<IBaseFilter*>(source1),
            static_cast<IBaseFilter*>(source2)};
  }
  HRESULT Send(SampleMaker& maker, int input, const std::vector<BYTE>& bytes, REFERENCE_TIME start) {
    IMediaSample* sample = maker.Make(bytes, start);
    if (!sample) return E_OUTOFMEMORY;
    const HRESULT hr = inputs[input]->Receive(sample);
    sample->Release();
    return hr;
  }
  ~CodecGraph() {
    for (auto& input : inputs) input.Reset();
    for (IBaseFilter* f : Filters()) {
      if (f) f->Stop();
    }
    if (codec) {
      for (int i = 0; i < 2; ++i) graph->Disconnect(PinAt(codec, PINDIR_INPUT, i).Get());
      graph->Disconnect(PinAt(codec, PINDIR_OUTPUT, 0).Get());
      graph->RemoveFilter(codec);
    }
    graph->Disconnect(sink->InputPin());
    graph->Disconnect(source1->OutputPin());
    graph->Disconnect(source2->OutputPin());
    for (IBaseFilter* f : {static_cast<IBaseFilter*>(sink), static_cast<IBaseFilter*>(source1),
                           static_cast<IBaseFilter*>(source2)}) {
      graph->RemoveFilter(f);
    }
    EXPECT_EQ(0u, graph->Release());
    EXPECT_EQ(0u, source1->Release());
    EXPECT_EQ(0u, source2->Release());
    EXPECT_EQ(0u, sink->Release());
  }
};

TEST_F(VbiCodecTest, IsNamedByItsDeviceParametersAndFoundInItsCategory) {
  EXPECT_EQ(DOUBLES_VBI_CODEC_NAME, ReadFriendlyName(DOUBLES_VBI_PARAMETERS_KEY));
  EXPECT_EQ(DOUBLES_VBI_CODEC_NAME, ReadFriendlyName(DOUBLES_VBI_PARAMETERS_KEY2));
  ComPtr<IBaseFilter> codec = Bind();
  ASSERT_TRUE(codec);
  CLSID clsid{};
  ASSERT_EQ(S_OK, codec->GetClassID(&clsid));
  EXPECT_EQ(doubles::kClsidSimVbiCodec, clsid);
  ExpectInterfaces(codec.Get(), {IID_IBaseFilter, IID_IMediaFilter},
                   {IID_IAMLine21Decoder, IID_IBasicAudio, IID_IAMAudioRendererStats, IID_IPersistPropertyBag,
                    IID_IAMFilterMiscFlags, IID_IPin});
  EXPECT_EQ((std::vector<std::wstring>{L"in:VBI Input 1", L"in:VBI Input 2", L"out:Line21 Output"}),
            platform_testing::PinNames(codec.Get()));
  EXPECT_EQ(0u, codec.Reset());

  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
  EXPECT_EQ(L"", ReadFriendlyName(DOUBLES_VBI_PARAMETERS_KEY));
  EXPECT_EQ(L"", ReadFriendlyName(DOUBLES_VBI_PARAMETERS_KEY2));
  HKEY root = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_LOCAL_MACHINE, DOUBLES_VBI_PARAMETERS_ROOT, 0, KEY_READ, &root));
  if (root) RegCloseKey(root);
  EXPECT_TRUE(BindByName(doubles::kCategoryVbiCodec, DOUBLES_VBI_CODEC_NAME).empty());
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
}

// Unregistering leaves no key of ours, not even an empty one, and a clean state unregisters too.
TEST_F(VbiCodecTest, UnregisteringTheModuleLeavesNoEmptyKey) {
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
  EXPECT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
  const auto expectGoneOrInUse = [](HKEY root, const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return;
    DWORD subkeys = 0, values = 0;
    RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(handle);
    EXPECT_GT(subkeys + values, 0u) << "empty key " << std::string(key.begin(), key.end());
  };
  const auto text = [](REFGUID guid) {
    wchar_t buffer[40] = {};
    StringFromGUID2(guid, buffer, 40);
    return std::wstring(buffer);
  };
  for (const GUID* category : {&CLSID_AudioRendererCategory, &doubles::kCategoryVbiCodec}) {
    expectGoneOrInUse(HKEY_CLASSES_ROOT, L"CLSID\\" + text(*category) + L"\\Instance");
    expectGoneOrInUse(HKEY_CLASSES_ROOT, L"CLSID\\" + text(*category));
  }
  for (const CLSID* clsid : {&doubles::kClsidSimSound, &doubles::kClsidSimVbiCodec, &doubles::kClsidSimVideoRenderer}) {
    HKEY handle = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + text(*clsid)).c_str(), 0, KEY_READ,
                                                  &handle));
    if (handle) RegCloseKey(handle);
  }
  std::wstring parent = DOUBLES_VBI_PARAMETERS_ROOT;
  expectGoneOrInUse(HKEY_LOCAL_MACHINE, parent);
  expectGoneOrInUse(HKEY_LOCAL_MACHINE, parent.substr(0, parent.rfind(L'\\')));
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
}

TEST_F(VbiCodecTest, PassesLineTwentyOneBytesOfEitherInputAsPairs) {
  ComPtr<IBaseFilter> codec = Bind();
  ASSERT_TRUE(codec);
  {
    CodecGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(codec.Get(), true, true));
    EXPECT_EQ(MEDIATYPE_AUXLine21Data, *g.sink->Type().Type());
    EXPECT_EQ(MEDIASUBTYPE_Line21_BytePair, *g.sink->Type().Subtype());
    SampleMaker maker;
    EXPECT_EQ(S_OK, g.Send(maker, 0, {0xC8, 0x49, 0x11, 0x22}, 0));
    EXPECT_EQ(S_OK, g.Send(maker, 1, {0x94, 0x2C}, 10000));
    EXPECT_EQ(S_OK, g.Send(maker, 1, {0x41}, 20000));  // too short: no caption
    const auto samples = g.sink->Samples();
    ASSERT_EQ(2u, samples.size());
    EXPECT_EQ((std::vector<BYTE>{0xC8, 0x49}), samples[0]);
    EXPECT_EQ((std::vector<BYTE>{0x94, 0x2C}), samples[1]);
    EXPECT_EQ(3, Journal::Instance().Value(doubles::kValueVbiSamples));

    // End of stream once both connected inputs have ended.
    ComPtr<IPin> in1 = PinAt(codec.Get(), PINDIR_INPUT, 0), in2 = PinAt(codec.Get(), PINDIR_INPUT, 1);
    EXPECT_EQ(S_OK, in1->EndOfStream());
    EXPECT_EQ(S_OK, in1->EndOfStream());
    EXPECT_EQ(0, g.sink->EndOfStreamCount());
    EXPECT_EQ(S_OK, in2->EndOfStream());
    EXPECT_EQ(1, g.sink->EndOfStreamCount());
  }
  EXPECT_EQ(0u, codec.Reset());
}

TEST_F(VbiCodecTest, WorksWithOneInputAndRefusesOtherStreams) {
  ComPtr<IBaseFilter> codec = Bind();
  ASSERT_TRUE(codec);
  ComPtr<IPin> in2 = PinAt(codec.Get(), PINDIR_INPUT, 1);
  const CMediaType vbi = RawVbi();
  CMediaType pairs(&MEDIATYPE_AUXLine21Data);
  pairs.SetSubtype(&MEDIASUBTYPE_Line21_BytePair);
  CMediaType video(&MEDIATYPE_Video);
  video.SetSubtype(&MEDIASUBTYPE_YUY2);
  EXPECT_EQ(S_OK, in2->QueryAccept(&vbi));
  EXPECT_EQ(S_FALSE, in2->QueryAccept(&pairs));
  EXPECT_EQ(S_FALSE, in2->QueryAccept(&video));
  {
    CodecGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(codec.Get(), false, true));
    SampleMaker maker;
    EXPECT_EQ(S_OK, g.Send(maker, 1, {0x20, 0x20}, 0));
    EXPECT_EQ(1u, g.sink->Samples().size());
    EXPECT_EQ(S_OK, in2->EndOfStream());  // the unconnected input does not hold it back
    EXPECT_EQ(1, g.sink->EndOfStreamCount());
  }
  in2.Reset();
  EXPECT_EQ(0u, codec.Reset());
}

TEST_F(VbiCodecTest, FeedsTheLineTwentyOneDecoder) {
  ComPtr<IBaseFilter> codec = Bind();
  ComPtr<IBaseFilter> decoder;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_Line21Decoder, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&decoder)));
  ASSERT_TRUE(codec);
  ComPtr<IAMLine21Decoder> control;
  ASSERT_EQ(S_OK, decoder->QueryInterface(IID_IAMLine21Decoder, reinterpret_cast<void**>(control.GetAddressOf())));
  ASSERT_EQ(S_OK, control->SetCurrentService(AM_L21_CCSERVICE_Caption1));
  {
    CodecGraph g;
    // codec -> decoder -> sink: the decoder takes the sink's place behind the codec.
    ASSERT_EQ(S_OK, g.graph->AddFilter(codec.Get(), L"VBI Codec"));
    ASSERT_EQ(S_OK, g.graph->AddFilter(decoder.Get(), L"Line21 Decoder"));
    ASSERT_EQ(S_OK, g.graph->AddFilter(g.source1, L"source1"));
    ASSERT_EQ(S_OK, g.graph->AddFilter(g.sink, L"sink"));
    g.codec = codec.Get();
    ASSERT_EQ(S_OK, PinAt(codec.Get(), PINDIR_INPUT, 0).As(&g.inputs[0]));
    ASSERT_EQ(S_OK, g.graph->ConnectDirect(g.source1->OutputPin(), PinAt(codec.Get(), PINDIR_INPUT, 0).Get(), nullptr));
    ASSERT_EQ(S_OK, g.graph->ConnectDirect(PinAt(codec.Get(), PINDIR_OUTPUT, 0).Get(),
                                           PinAt(decoder.Get(), PINDIR_INPUT, 0).Get(), nullptr));
    ASSERT_EQ(S_OK, g.graph->ConnectDirect(PinAt(decoder.Get(), PINDIR_OUTPUT, 0).Get(), g.sink->InputPin(), nullptr));
    for (IBaseFilter* f : {static_cast<IBaseFilter*>(g.sink), decoder.Get(), codec.Get(),
                           static_cast<IBaseFilter*>(g.source1)}) {
      ASSERT_EQ(S_OK, f->Pause());
    }
    SampleMaker maker;
    EXPECT_EQ(S_OK, g.Send(maker, 0, {0xC8, 0x49}, 0));  // "HI" with parity
    const auto frames = g.sink->Samples();
    ASSERT_EQ(1u, frames.size());
    size_t white = 0;
    for (size_t i = 0; i + 3 < frames[0].size(); i += 4) white += frames[0][i] == 0xFF && frames[0][i + 2] == 0xFF;
    EXPECT_EQ(2u * 7 * 10, white);
    decoder->Stop();
    g.graph->Disconnect(PinAt(decoder.Get(), PINDIR_OUTPUT, 0).Get());
    g.graph->Disconnect(PinAt(decoder.Get(), PINDIR_INPUT, 0).Get());
    g.graph->RemoveFilter(decoder.Get());
  }
  control.Reset();
  EXPECT_EQ(0u, decoder.Reset());
  EXPECT_EQ(0u, codec.Reset());
}

}  // namespace

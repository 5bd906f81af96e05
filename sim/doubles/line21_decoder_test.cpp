#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "sim/doubles/platform_doubles_testing.h"
#include "sim/doubles/platform_test_filters.h"

using Microsoft::WRL::ComPtr;
using doubles::Journal;
using graph_testkit::StubGraph;
using graph_testkit::TestPushSource;
using platform_testing::DataSink;
using platform_testing::ExpectInterfaces;
using platform_testing::PinAt;
using platform_testing::SampleMaker;

namespace {

constexpr DWORD kWhite = 0x00FFFFFF;

CMediaType BytePairs() {
  CMediaType type(&MEDIATYPE_AUXLine21Data);
  type.SetSubtype(&MEDIASUBTYPE_Line21_BytePair);
  type.SetFormatType(&FORMAT_None);
  return type;
}

// Characters with odd parity, as they travel on line 21.
BYTE Odd(char c) {
  BYTE b = static_cast<BYTE>(c) & 0x7F;
  int ones = 0;
  for (BYTE v = b; v; v >>= 1) ones += v & 1;
  return ones % 2 ? b : static_cast<BYTE>(b | 0x80);
}

size_t CountPixels(const std::vector<BYTE>& frame, DWORD colour) {
  size_t n = 0;
  for (size_t i = 0; i + 3 < frame.size(); i += 4) {
    DWORD p = frame[i] | frame[i + 1] << 8 | frame[i + 2] << 16;
    if (p == colour) ++n;
  }
  return n;
}

class Line21DecoderTest : public platform_testing::RegisteredDoublesTest {
 protected:
  ComPtr<IBaseFilter> Create() {
    ComPtr<IBaseFilter> filter;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_Line21Decoder, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&filter)));
    return filter;
  }
  static ComPtr<IAMLine21Decoder> Control(IBaseFilter* filter) {
    ComPtr<IAMLine21Decoder> control;
    EXPECT_EQ(S_OK, filter->QueryInterface(IID_IAMLine21Decoder, reinterpret_cast<void**>(control.GetAddressOf())));
    return control;
  }
};

// source -> decoder -> data sink in a stub graph, paused; samples go straight to the decoder.
struct DecoderGraph {
  StubGraph* graph = StubGraph::Create();
  TestPushSource* source = TestPushSource::Create({BytePairs()});
  DataSink* sink = DataSink::Create();
  IBaseFilter* decoder = nullptr;
  ComPtr<IMemInputPin> input;

  void Build(IBaseFilter* filter) {
    decoder = filter;
    ASSERT_EQ(S_OK, graph->AddFilter(source, L"source"));
    ASSERT_EQ(S_OK, graph->AddFilter(decoder, L"Line21 Decoder"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink, L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(source->OutputPin(), PinAt(decoder, PINDIR_INPUT, 0).Get(), nullptr));
    ASSERT_EQ(S_OK, graph->ConnectDirect(PinAt(decoder, PINDIR_OUTPUT, 0).Get(), sink->InputPin(), nullptr));
    ASSERT_EQ(S_OK, PinAt(decoder, PINDIR_INPUT, 0)->QueryInterface(IID_PPV_ARGS(&input)));
    ASSERT_EQ(S_OK, sink->Pause());
    ASSERT_EQ(S_OK, decoder->Pause());
    ASSERT_EQ(S_OK, source->Pause());
  }
  // The picture the decoder makes of these bytes.
  std::vector<BYTE> Decode(SampleMaker& maker, const std::vector<BYTE>& bytes) {
    const size_t before = sink->Samples().size();
    IMediaSample* sample = maker.Make(bytes);
    if (!sample) return {};
    EXPECT_EQ(S_OK, input->Receive(sample));
    sample->Release();
    auto samples = sink->Samples();
    EXPECT_EQ(before + 1, samples.size());
    return samples.empty() ? std::vector<BYTE>{} : samples.back();
  }
  ~DecoderGraph() {
    input.Reset();
    for (IBaseFilter* f : {static_cast<IBaseFilter*>(sink), decoder, static_cast<IBaseFilter*>(source)}) {
      if (f) f->Stop();
    }
    if (decoder) {
      graph->Disconnect(PinAt(decoder, PINDIR_OUTPUT, 0).Get());
      graph->Disconnect(PinAt(decoder, PINDIR_INPUT, 0).Get());
      graph->RemoveFilter(decoder);
    }
    graph->Disconnect(sink->InputPin());
    graph->Disconnect(source->OutputPin());
    graph->RemoveFilter(source);
    graph->RemoveFilter(sink);
    EXPECT_EQ(0u, graph->Release());
    EXPECT_EQ(0u, source->Release());
    EXPECT_EQ(0u, sink->Release());
  }
};

TEST_F(Line21DecoderTest, IsCreatedByThePlatformClassIdentifierWhileRegistered) {
  ComPtr<IBaseFilter> decoder = Create();
  ASSERT_TRUE(decoder);
  CLSID clsid{};
  ASSERT_EQ(S_OK, decoder->GetClassID(&clsid));
  EXPECT_EQ(CLSID_Line21Decoder, clsid);
  ExpectInterfaces(decoder.Get(), {IID_IBaseFilter, IID_IMediaFilter, IID_IAMLine21Decoder},
                   {IID_IBasicAudio, IID_IAMAudioRendererStats, IID_IPersistPropertyBag, IID_IVideoWindow,
                    IID_IAMFilterMiscFlags, IID_IPin});
  const auto pins = platform_testing::PinNames(decoder.Get());
  ASSERT_EQ(2u, pins.size());
  EXPECT_EQ(L"in:", pins[0].substr(0, 3));
  EXPECT_EQ(L"out:", pins[1].substr(0, 4));
  EXPECT_EQ(0u, decoder.Reset());

  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllUnregisterServer"));
  ComPtr<IBaseFilter> gone;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_Line21Decoder, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&gone)));
  ASSERT_EQ(S_OK, platform_testing::CallEntry("DllRegisterServer"));
}

TEST_F(Line21DecoderTest, ServiceAndRedrawStateAreKeptAndRecorded) {
  ComPtr<IBaseFilter> decoder = Create();
  ASSERT_TRUE(decoder);
  ComPtr<IAMLine21Decoder> control = Control(decoder.Get());
  ASSERT_TRUE(control);
  AM_LINE21_CCSERVICE service = AM_L21_CCSERVICE_Invalid;
  ASSERT_EQ(S_OK, control->GetCurrentService(&service));
  EXPECT_EQ(AM_L21_CCSERVICE_None, service);
  BOOL redraw = TRUE;
  ASSERT_EQ(S_OK, control->GetRedrawAlways(&redraw));
  EXPECT_FALSE(redraw);
  AM_LINE21_CCLEVEL level = static_cast<AM_LINE21_CCLEVEL>(7);
  ASSERT_EQ(S_OK, control->GetDecoderLevel(&level));
  EXPECT_EQ(AM_L21_CCLEVEL_TC2, level);

  EXPECT_EQ(S_OK, control->SetCurrentService(AM_L21_CCSERVICE_Caption2));
  EXPECT_EQ(E_INVALIDARG, control->SetCurrentService(static_cast<AM_LINE21_CCSERVICE>(7)));
  ASSERT_TRUE(Journal::Instance().InjectFailure("Line21Decoder", "SetCurrentService", E_ACCESSDENIED, 1));
  EXPECT_EQ(E_ACCESSDENIED, control->SetCurrentService(AM_L21_CCSERVICE_Text1));
  ASSERT_EQ(S_OK, control->GetCurrentService(&service));
  EXPECT_EQ(AM_L21_CCSERVICE_Caption2, service);  // neither the refused nor the failed call changed it
  EXPECT_EQ(S_OK, control->SetCurrentService(AM_L21_CCSERVICE_DefChannel));
  ASSERT_EQ(S_OK, control->GetCurrentService(&service));
  EXPECT_EQ(AM_L21_CCSERVICE_Caption1, service);

  EXPECT_EQ(S_OK, control->SetRedrawAlways(5));
  ASSERT_EQ(S_OK, control->GetRedrawAlways(&redraw));
  EXPECT_EQ(TRUE, redraw);
  ASSERT_TRUE(Journal::Instance().InjectFailure("Line21Decoder", "GetRedrawAlways", E_FAIL, 1));
  EXPECT_EQ(E_FAIL, control->GetRedrawAlways(&redraw));
  EXPECT_EQ(E_POINTER, control->GetCurrentService(nullptr));

  const auto sets = Journal::Instance().Calls("Line21Decoder", "SetCurrentService");
  ASSERT_EQ(4u, sets.size());
  EXPECT_EQ(AM_L21_CCSERVICE_Caption2, sets[0].args[0]);
  EXPECT_EQ(7, sets[1].args[0]);
  EXPECT_EQ(E_ACCESSDENIED, sets[2].result);
  EXPECT_EQ(1u, Journal::Instance().Calls("Line21Decoder", "SetRedrawAlways").size());

  // Another instance starts from the defaults.
  ComPtr<IBaseFilter> other = Create();
  ASSERT_TRUE(other);
  ASSERT_EQ(S_OK, Control(other.Get())->GetCurrentService(&service));
  EXPECT_EQ(AM_L21_CCSERVICE_None, service);
  EXPECT_EQ(0u, other.Reset());
  control.Reset();
  EXPECT_EQ(0u, decoder.Reset());
}

TEST_F(Line21DecoderTest, OutputFormatChoosesThePictureSizeUntilConnected) {
  ComPtr<IBaseFilter> decoder = Create();
  ASSERT_TRUE(decoder);
  ComPtr<IAMLine21Decoder> control = Control(decoder.Get());
  BITMAPINFOHEADER header{};
  ASSERT_EQ(S_OK, control->GetOutputFormat(&header));
  EXPECT_EQ(320, header.biWidth);
  EXPECT_EQ(240, header.biHeight);
  EXPECT_EQ(32, header.biBitCount);
  BITMAPINFO info{};
  info.bmiHeader = header;
  info.bmiHeader.biWidth = 640;
  info.bmiHeader.biHeight = 480;
  ASSERT_EQ(S_OK, control->SetOutputFormat(&info));
  BITMAPINFO bad = info;
  bad.bmiHeader.biBitCount = 24;
  EXPECT_EQ(E_INVALIDARG, control->SetOutputFormat(&bad));
  EXPECT_EQ(E_POINTER, control->SetOutputFormat(nullptr));
  {
    DecoderGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(decoder.Get()));
    const BITMAPINFOHEADER* out = GetBitmapInfoHeader(&g.sink->Type());
    ASSERT_TRUE(out);
    EXPECT_EQ(640, out->biWidth);
    EXPECT_EQ(480, out->biHeight);
    EXPECT_EQ(MEDIASUBTYPE_RGB32, *g.sink->Type().Subtype());
    info.bmiHeader.biWidth = 352;
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, control->SetOutputFormat(&info));
    SampleMaker maker;
    EXPECT_EQ(640u * 480 * 4, g.Decode(maker, {0x80, 0x80}).size());
  }
  control.Reset();
  EXPECT_EQ(0u, decoder.Reset());
}

TEST_F(Line21DecoderTest, DrawsTheCaptionRowOnlyForASelectedService) {
  ComPtr<IBaseFilter> decoder = Create();
  ASSERT_TRUE(decoder);
  ComPtr<IAMLine21Decoder> control = Control(decoder.Get());
  {
    DecoderGraph g;
    ASSERT_NO_FATAL_FAILURE(g.Build(decoder.Get()));
    SampleMaker maker;
    constexpr size_t kCell = 7 * 10;  // white pixels of one character cell
    // No service: the characters are kept but nothing is drawn.
    std::vector<BYTE> frame = g.Decode(maker, {Odd('H'), Odd('I')});
    EXPECT_EQ(320u * 240 * 4, frame.size());
    EXPECT_EQ(0u, CountPixels(frame, kWhite));
    EXPECT_EQ(320u * 240, CountPixels(frame, 0));  // transparent: black

    ASSERT_EQ(S_OK, control->SetCurrentService(AM_L21_CCSERVICE_Caption1));
    frame = g.Decode(maker, {Odd('!'), 0x80});  // padding is no character
    EXPECT_EQ(3 * kCell, CountPixels(frame, kWhite));
    // Cells run from the top left: the first pixel row of the buffer is the bottom one.
    EXPECT_EQ(0xFF, frame[((240 - 1 - 8) * 320 + 0) * 4]);
    EXPECT_EQ(0x00, frame[((240 - 1 - 8) * 320 + 3 * 8) * 4]);

    ASSERT_EQ(S_OK, control->SetServiceState(AM_L21_CCSTATE_Off));
    EXPECT_EQ(0u, CountPixels(g.Decode(maker, {0x80, 0x80}), kWhite));
    ASSERT_EQ(S_OK, control->SetServiceState(AM_L21_CCSTATE_On));

    // Opaque mode shows the background colour around the cells.
    ASSERT_EQ(S_OK, control->SetDrawBackgroundMode(AM_L21_DRAWBGMODE_Opaque));
    ASSERT_EQ(S_OK, control->SetBackgroundColor(0x00102030));
    frame = g.Decode(maker, {0x80, 0x80});
    EXPECT_EQ(3 * kCell, CountPixels(frame, kWhite));
    EXPECT_EQ(320u * 240 - 3 * kCell, CountPixels(frame, 0x00102030));

    // Erase displayed memory (channel 1, with parity: 0x94 0x2C).
    EXPECT_EQ(0u, CountPixels(g.Decode(maker, {0x94, 0x2C}), kWhite));
    EXPECT_EQ(kCell, CountPixels(g.Decode(maker, {Odd('A'), 0x80}), kWhite));
    EXPECT_EQ(6, Journal::Instance().Value(doubles::kValueLine21Frames));
    EXPECT_EQ(6, Journal::Instance().Value(doubles::kValueLine21Pairs));
  }
  control.Reset();
  EXPECT_EQ(0u, decoder.Reset());
}

TEST_F(Line21DecoderTest, RefusesAnythingButLineTwentyOneBytePairs) {
  ComPtr<IBaseFilter> decoder = Create();
  ASSERT_TRUE(decoder);
  ComPtr<IPin> input = PinAt(decoder.Get(), PINDIR_INPUT, 0);
  const CMediaType pairs = BytePairs();
  CMediaType gop = pairs;
  gop.SetSubtype(&MEDIASUBTYPE_Line21_GOPPacket);
  CMediaType video(&MEDIATYPE_Video);
  video.SetSubtype(&MEDIASUBTYPE_RGB32);
  EXPECT_EQ(S_OK, input->QueryAccept(&pairs));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&gop));
  EXPECT_EQ(S_FALSE, input->QueryAccept(&video));
  input.Reset();
  EXPECT_EQ(0u, decoder.Reset());
}

}  // namespace

// The source filter and its transmit against the test kit's recording sink: COM identity, the
// pin's type and buffer rules, the transmit type, and frames through IKelvTransmit.
#include <gtest/gtest.h>

#include "common/trace.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/source/testing/source_test_support.h"

VORN_MODULE_TRACE(kTraceKeyLumacrest2)

using namespace graph_testkit;
using namespace vsrc;
using namespace vsrc_test;

namespace {

const VIDEOINFOHEADER2* Vih2(const CMediaType& type) {
  return reinterpret_cast<const VIDEOINFOHEADER2*>(type.Format());
}

TEST(SourceFilterIdentity, FilterPinAndTransmitExposeExactlyTheirInterfaces) {
  SourceFilter* filter = NewSourceFilter();
  ExpectInterfaces(filter, {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist},
                   {&IID_IKelvTransmit, &IID_IPin, &IID_IMemInputPin, &IID_ISpecifyPropertyPages});
  CBasePin* pin = filter->GetPin(0);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(filter->GetPin(1), nullptr);
  EXPECT_EQ(filter->GetPin(0), pin);  // made once
  EXPECT_EQ(pin->Name(), L"Video Output");
  ExpectInterfaces(static_cast<IPin*>(pin), {&IID_IPin, &IID_IQualityControl, &IID_IKelvTransmit},
                   {&IID_IBaseFilter, &IID_IMemInputPin, &IID_IMediaSample});
  IKelvTransmit* transmit = nullptr;
  ASSERT_EQ(pin->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit)), S_OK);
  ExpectInterfaces(transmit, {&IID_IPin, &IID_IKelvTransmit}, {&IID_IBaseFilter});
  // One identity: the transmit's IUnknown is the pin's.
  IUnknown* a = nullptr;
  IUnknown* b = nullptr;
  transmit->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
  pin->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
  EXPECT_EQ(a, b);
  a->Release();
  b->Release();
  IPin* ipin = nullptr;
  pin->QueryInterface(IID_IPin, reinterpret_cast<void**>(&ipin));
  EXPECT_EQ(ipin->QueryInternalConnections(nullptr, nullptr), E_NOTIMPL);
  ipin->Release();
  transmit->Release();
  EXPECT_EQ(filter->Release(), 0u);
}

TEST(SourceFilterIdentity, AggregatesUnderAnOuterObject) {
  ExpectAggregates(&SourceFilter::CreateInstance);
}

TEST(VideoOutputPin, OffersOnlyTheTransmitTypeAndChecksItsThreeGuids) {
  SourceFilter* filter = NewSourceFilter();
  auto* pin = static_cast<VideoOutputPin*>(filter->GetPin(0));
  CMediaType type;
  EXPECT_EQ(pin->GetMediaType(-1, &type), E_INVALIDARG);
  EXPECT_EQ(pin->GetMediaType(1, &type), VFW_S_NO_MORE_ITEMS);
  ASSERT_EQ(pin->GetMediaType(0, &type), S_OK);
  EXPECT_EQ(Vih2(type)->bmiHeader.biHeight, 480);
  EXPECT_EQ(pin->CheckMediaType(&type), S_OK);
  EXPECT_EQ(pin->CheckMediaType(nullptr), E_POINTER);

  CMediaType vi = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo);
  EXPECT_EQ(pin->CheckMediaType(&vi), VFW_E_NO_ACCEPTABLE_TYPES);
  CMediaType uyvy = MakeVideoType(720, 480, MEDIASUBTYPE_UYVY, FORMAT_VideoInfo2);
  EXPECT_EQ(pin->CheckMediaType(&uyvy), VFW_E_INVALIDSUBTYPE);
  CMediaType audio = type;
  audio.SetType(&MEDIATYPE_Audio);
  EXPECT_EQ(pin->CheckMediaType(&audio), VFW_E_INVALIDMEDIATYPE);
  // The format block is not compared.
  CMediaType other = MakeVideoType(352, 240, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
  EXPECT_EQ(pin->CheckMediaType(&other), S_OK);
  EXPECT_EQ(filter->Release(), 0u);
}

TEST(VideoOutputPin, AsksForAtLeastTwoBuffersOfTheImageSize) {
  SourceFilter* filter = NewSourceFilter();
  auto* pin = static_cast<VideoOutputPin*>(filter->GetPin(0));
  IMemAllocator* allocator = NewAllocator();
  ALLOCATOR_PROPERTIES request{1, 0, 1, 0}, actual{};
  ASSERT_EQ(pin->DecideBufferSize(allocator, &request), S_OK);
  allocator->GetProperties(&actual);
  EXPECT_EQ(actual.cBuffers, 2);
  EXPECT_EQ(actual.cbBuffer, 691200);
  request = ALLOCATOR_PROPERTIES{3, 800000, 16, 0};
  ASSERT_EQ(pin->DecideBufferSize(allocator, &request), S_OK);
  allocator->GetProperties(&actual);
  EXPECT_EQ(actual.cBuffers, 3);
  EXPECT_EQ(actual.cbBuffer, 800000);
  EXPECT_EQ(actual.cbAlign, 16);
  EXPECT_EQ(pin->DecideBufferSize(nullptr, &request), E_POINTER);
  EXPECT_EQ(pin->DecideBufferSize(allocator, nullptr), E_POINTER);
  EXPECT_EQ(allocator->Release(), 0u);
  EXPECT_EQ(filter->Release(), 0u);
}

TEST(KelvTransmitType, SetMediaTypeTakesRatesAndAspectAndFallsBackToTheDefault) {
  SourceFilter* filter = NewSourceFilter();
  auto* pin = static_cast<VideoOutputPin*>(filter->GetPin(0));
  IKelvTransmit* transmit = nullptr;
  ASSERT_EQ(pin->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit)), S_OK);
  EXPECT_EQ(transmit->SetMediaType(nullptr), E_POINTER);

  CMediaType vi2 = MakeVideoType(352, 240, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, 400000);
  reinterpret_cast<VIDEOINFOHEADER2*>(vi2.Format())->dwPictAspectRatioX = 16;
  reinterpret_cast<VIDEOINFOHEADER2*>(vi2.Format())->dwPictAspectRatioY = 9;
  ASSERT_EQ(transmit->SetMediaType(&vi2), S_OK);
  CMediaType offered;
  ASSERT_EQ(pin->GetMediaType(0, &offered), S_OK);
  EXPECT_EQ(Vih2(offered)->AvgTimePerFrame, 400000);
  EXPECT_EQ(Vih2(offered)->dwPictAspectRatioX, 16u);
  EXPECT_EQ(Vih2(offered)->bmiHeader.biWidth, 720);  // geometry stays the default's

  CMediaType vi = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 333667);
  ASSERT_EQ(transmit->SetMediaType(&vi), S_OK);
  ASSERT_EQ(pin->GetMediaType(0, &offered), S_OK);
  EXPECT_EQ(Vih2(offered)->AvgTimePerFrame, 333667);
  EXPECT_EQ(Vih2(offered)->dwPictAspectRatioX, 16u);  // a VIDEOINFOHEADER leaves the aspect

  CMediaType wave(&MEDIATYPE_Audio);
  wave.SetFormatType(&FORMAT_WaveFormatEx);
  EXPECT_EQ(transmit->SetMediaType(&wave), VFW_E_INVALIDMEDIATYPE);
  ASSERT_EQ(pin->GetMediaType(0, &offered), S_OK);
  EXPECT_EQ(Vih2(offered)->AvgTimePerFrame, 330000);
  EXPECT_EQ(Vih2(offered)->dwPictAspectRatioX, 4u);
  transmit->Release();
  EXPECT_EQ(filter->Release(), 0u);
}

// The source connected to a recording sink inside a stub graph.
class TransmitRig : public ::testing::Test {
 protected:
  void Connect(LONG sinkBuffers = 0, std::shared_ptr<CMediaType> attach = nullptr) {
    graph_ = StubGraph::Create();
    filter_ = NewSourceFilter();
    sink_ = RecordingSink::Create();
    if (sinkBuffers > 0) sink_->SetAllocator(sinkBuffers, 0);
    if (attach) sink_->SetAttachType(std::move(attach));
    ASSERT_EQ(graph_->AddFilter(filter_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
    pin_ = static_cast<VideoOutputPin*>(filter_->GetPin(0));
    ASSERT_EQ(pin_->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit_)), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(pin_, sink_->InputPin(), nullptr), S_OK);
  }
  void Start() {
    ASSERT_EQ(sink_->Pause(), S_OK);
    ASSERT_EQ(filter_->Pause(), S_OK);
  }
  void TearDown() override {
    if (filter_) filter_->Stop();
    if (sink_) sink_->Stop();
    if (transmit_) transmit_->Release();
    if (graph_) {
      graph_->Disconnect(pin_);
      graph_->Disconnect(sink_->InputPin());
      graph_->RemoveFilter(filter_);
      graph_->RemoveFilter(sink_);
      EXPECT_EQ(graph_->Release(), 0u);
    }
    if (sink_) {
      EXPECT_EQ(sink_->Release(), 0u);
    }
    if (filter_) {
      EXPECT_EQ(filter_->Release(), 0u);
    }
  }

  StubGraph* graph_ = nullptr;
  SourceFilter* filter_ = nullptr;
  RecordingSink* sink_ = nullptr;
  VideoOutputPin* pin_ = nullptr;
  IKelvTransmit* transmit_ = nullptr;
  RendererFrames frames_;
};

TEST_F(TransmitRig, RefusesWhileUnconnectedOrStopped) {
  graph_ = StubGraph::Create();
  filter_ = NewSourceFilter();
  sink_ = RecordingSink::Create();
  pin_ = static_cast<VideoOutputPin*>(filter_->GetPin(0));
  ASSERT_EQ(pin_->QueryInterface(IID_IKelvTransmit, reinterpret_cast<void**>(&transmit_)), S_OK);
  EXPECT_EQ(transmit_->Transmit(nullptr), VFW_E_NOT_CONNECTED);
  ASSERT_EQ(graph_->AddFilter(filter_, L"source"), S_OK);
  ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
  ASSERT_EQ(graph_->ConnectDirect(pin_, sink_->InputPin(), nullptr), S_OK);
  EXPECT_TRUE(FAILED(transmit_->Transmit(nullptr)));  // allocator not committed
  EXPECT_EQ(sink_->SampleCount(), 0u);
}

TEST_F(TransmitRig, DeliversTheFrameWithItsFieldFlagsAndNoTimes) {
  Connect();
  Start();
  IMediaSample* frame = frames_.Make(AM_VIDEO_FLAG_INTERLEAVED_FRAME | AM_VIDEO_FLAG_WEAVE);
  ASSERT_EQ(transmit_->Transmit(frame), S_OK);
  frame->Release();
  ASSERT_EQ(sink_->SampleCount(), 1u);
  const ReceivedSample got = sink_->Samples()[0];
  EXPECT_EQ(got.actualLength, 691200);
  EXPECT_EQ(got.firstByte, RendererFrames::Byte(0, 0));
  EXPECT_EQ(got.typeSpecificFlags, static_cast<DWORD>(AM_VIDEO_FLAG_WEAVE));
  EXPECT_EQ(got.timeResult, VFW_E_SAMPLE_TIME_NOT_SET);
  EXPECT_FALSE(got.type);
}

TEST_F(TransmitRig, Field1FirstMovesThePictureUpOneRow) {
  Connect();
  Start();
  IMediaSample* frame = frames_.Make(AM_VIDEO_FLAG_FIELD1FIRST);
  ASSERT_EQ(transmit_->Transmit(frame), S_OK);
  frame->Release();
  ASSERT_EQ(sink_->SampleCount(), 1u);
  const ReceivedSample got = sink_->Samples()[0];
  EXPECT_EQ(got.actualLength, 479 * 1440);
  EXPECT_EQ(got.firstByte, RendererFrames::Byte(1, 0));
  EXPECT_EQ(got.typeSpecificFlags, static_cast<DWORD>(AM_VIDEO_FLAG_FIELD1FIRST));
}

TEST_F(TransmitRig, ANullSampleDeliversABlackFrame) {
  Connect();
  Start();
  ASSERT_EQ(transmit_->Transmit(nullptr), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 1u);
  EXPECT_EQ(sink_->Samples()[0].actualLength, 691200);
  EXPECT_EQ(sink_->Samples()[0].firstByte, 0x00);
}

TEST_F(TransmitRig, AShortRendererFrameIsCopiedOnlyAsFarAsItGoes) {
  Connect();
  Start();
  IMediaSample* frame = frames_.Make(0, nullptr, 352 * 240 * 2);
  ASSERT_EQ(transmit_->Transmit(frame), S_OK);
  frame->Release();
  ASSERT_EQ(sink_->SampleCount(), 1u);
  EXPECT_EQ(sink_->Samples()[0].actualLength, (352 * 240 * 2 / 1440) * 1440);
}

TEST_F(TransmitRig, WithEveryBufferHeldTheFrameIsDroppedWithSFalse) {
  Connect(2);
  Start();
  IMemAllocator* allocator = nullptr;
  ASSERT_EQ(sink_->Input()->GetAllocator(&allocator), S_OK);
  IMediaSample* held[2] = {};
  ASSERT_EQ(allocator->GetBuffer(&held[0], nullptr, nullptr, 0), S_OK);
  ASSERT_EQ(allocator->GetBuffer(&held[1], nullptr, nullptr, 0), S_OK);
  IMediaSample* frame = frames_.Make();
  EXPECT_EQ(transmit_->Transmit(frame), S_FALSE);
  EXPECT_EQ(sink_->SampleCount(), 0u);
  held[0]->Release();
  EXPECT_EQ(transmit_->Transmit(frame), S_OK);
  EXPECT_EQ(sink_->SampleCount(), 1u);
  frame->Release();
  held[1]->Release();
  allocator->Release();
}

TEST_F(TransmitRig, ADownstreamFormatChangeSetsThePitchAndTypeChanged) {
  auto narrower = std::make_shared<CMediaType>(MakeVideoType(640, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2));
  Connect(2, narrower);
  Start();
  IMediaSample* frame = frames_.Make();
  ASSERT_EQ(transmit_->Transmit(frame), S_OK);
  frame->Release();
  ASSERT_EQ(sink_->SampleCount(), 1u);
  const ReceivedSample got = sink_->Samples()[0];
  EXPECT_EQ(got.actualLength, 640 * 2 * 480);
  EXPECT_NE(got.sampleFlags & AM_SAMPLE_TYPECHANGED, 0u);
  ASSERT_TRUE(got.type);
  EXPECT_EQ(GetBitmapInfoHeader(got.type.get())->biWidth, 640);
}

TEST_F(TransmitRig, ATypeOnTheRenderersFrameTravelsDownstreamDerived) {
  Connect();
  Start();
  CMediaType renderer = MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 400000);
  IMediaSample* frame = frames_.Make(0, &renderer);
  ASSERT_EQ(transmit_->Transmit(frame), S_OK);
  frame->Release();
  ASSERT_EQ(sink_->SampleCount(), 1u);
  const ReceivedSample got = sink_->Samples()[0];
  EXPECT_NE(got.sampleFlags & AM_SAMPLE_TYPECHANGED, 0u);
  ASSERT_TRUE(got.type);
  EXPECT_EQ(*got.type->FormatType(), FORMAT_VideoInfo2);
  EXPECT_EQ(Vih2(*got.type)->AvgTimePerFrame, 400000);
  EXPECT_EQ(Vih2(*got.type)->bmiHeader.biWidth, 720);
}

}  // namespace

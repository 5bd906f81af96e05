// The planar transform base: what its negotiation tells the processor, the offered output types,
// the buffer size, the refusal of malformed types, the work frames and the row converters.
#include "filters/deinterlace/planar_transform_filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/mediatype.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/include/field_video.h"

namespace deinterlace {
namespace {

using graph_testkit::MakeFieldVideoType;
using graph_testkit::MakeVideoType;

// Records what the base tells the processor; the output size follows the input.
struct ProcessorSpy : FrameProcessor {
  int input[3] = {};
  int output[3] = {};
  int processed = 0;
  HRESULT SetInputFormat(int w, int h, int p) override {
    input[0] = w, input[1] = h, input[2] = p;
    return S_OK;
  }
  HRESULT SetOutputFormat(int w, int h, int p) override {
    output[0] = w, output[1] = h, output[2] = p;
    return S_OK;
  }
  HRESULT UpdateParameters() override { return S_OK; }
  HRESULT Process(int) override {
    ++processed;
    return S_OK;
  }
  HRESULT GetOutputSize(int w, int h, int* ow, int* oh) override {
    *ow = w, *oh = h;
    return S_OK;
  }
  ParameterTable* GetParameterTable() override { return nullptr; }
};

const CLSID kTestClsid = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class PlanarBase : public ::testing::Test {
 protected:
  void SetUp() override {
    HRESULT hr = S_OK;
    filter_ = new PlanarTransformFilter(L"planar base", nullptr, kTestClsid, &spy_, &input_, &output_,
                                        MEDIASUBTYPE_YUY2, &hr);
    ASSERT_EQ(hr, S_OK);
    filter_->NonDelegatingAddRef();
  }
  void TearDown() override {
    if (graph_) {
      graph_->Disconnect(filter_->GetPin(0));
      graph_->Disconnect(source_->OutputPin());
      graph_->RemoveFilter(source_);
      graph_->RemoveFilter(filter_);
      source_->Release();
      graph_->Release();
    }
    EXPECT_EQ(filter_->NonDelegatingRelease(), 0u);
  }
  // Connects the input to a source of `type`; a source connected before leaves first.
  void ConnectInput(const CMediaType& type) {
    if (!graph_) {
      graph_ = graph_testkit::StubGraph::Create();
      ASSERT_EQ(graph_->AddFilter(filter_, L"planar"), S_OK);
    } else {
      graph_->Disconnect(filter_->GetPin(0));
      graph_->Disconnect(source_->OutputPin());
      graph_->RemoveFilter(source_);
      source_->Release();
    }
    source_ = graph_testkit::TestPushSource::Create({type});
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), filter_->GetPin(0), nullptr), S_OK);
  }

  ProcessorSpy spy_;
  FrameDescriptor input_, output_;
  PlanarTransformFilter* filter_ = nullptr;
  graph_testkit::StubGraph* graph_ = nullptr;
  graph_testkit::TestPushSource* source_ = nullptr;
};

TEST_F(PlanarBase, ConstructionShapesTheProcessorAndBlackWorkFrames) {
  EXPECT_EQ(input_.GetWidth() * 10000 + input_.GetHeight(), 7200576);
  EXPECT_EQ(input_.GetPitch(), 720);
  EXPECT_EQ(output_.GetPitch(), 768);
  EXPECT_EQ(spy_.input[2], 720);
  EXPECT_EQ(filter_->OutputWorkFrame().Size(), 2 * 768 * 576);
}

// Planar at the 64-pixel pitch, YUY2 at the kernels' 16-pixel groups (a renderer that takes no
// row wider than the picture connects to it), then YUY2 at the 64-pixel pitch when that differs;
// each describes the whole picture in its rectangles.
TEST_F(PlanarBase, OfferedTypesDescribeThePictureAtEachPitch) {
  struct Offer {
    GUID subtype;
    LONG pitch;
  };
  const GUID aux = MEDIASUBTYPE_AuxVideo, yuy2 = MEDIASUBTYPE_YUY2;
  struct Case {
    CMediaType input;
    LONG width, height;
    std::vector<Offer> offers;
  } cases[] = {
      {MakeFieldVideoType(720, 480), 720, 480, {{aux, 768}, {yuy2, 720}, {yuy2, 768}}},
      {MakeFieldVideoType(352, 480), 352, 480, {{aux, 384}, {yuy2, 352}, {yuy2, 384}}},
      {MakeVideoType(360, 240, yuy2, FORMAT_VideoInfo2), 360, 240, {{aux, 384}, {yuy2, 368}, {yuy2, 384}}},
      {MakeVideoType(768, 576), 768, 576, {{aux, 768}, {yuy2, 768}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    ConnectInput(c.input);
    spy_.output[2] = 0;
    for (size_t position = 0; position < c.offers.size(); ++position) {
      SCOPED_TRACE(position);
      const Offer& offer = c.offers[position];
      CMediaType type;
      ASSERT_EQ(filter_->GetMediaType(static_cast<int>(position), &type), S_OK);
      EXPECT_EQ(*type.Type(), MEDIATYPE_Video);
      EXPECT_EQ(*type.Subtype(), offer.subtype);
      const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&type);
      ASSERT_NE(header, nullptr);
      EXPECT_EQ(header->biWidth, offer.pitch);
      EXPECT_EQ(header->biHeight, c.height);
      EXPECT_EQ(header->biCompression,
                offer.subtype == aux ? MAKEFOURCC('Y', 'V', '1', '6') : MAKEFOURCC('Y', 'U', 'Y', '2'));
      EXPECT_EQ(header->biSizeImage, static_cast<DWORD>(2 * offer.pitch * c.height));
      EXPECT_EQ(type.GetSampleSize(), static_cast<ULONG>(2 * offer.pitch * c.height));
      // Both headers start with rcSource and rcTarget.
      const auto* rects = reinterpret_cast<const RECT*>(type.Format());
      const RECT picture = {0, 0, c.width, c.height};
      EXPECT_TRUE(EqualRect(&rects[0], &picture));
      EXPECT_TRUE(EqualRect(&rects[1], &picture));
      EXPECT_EQ(spy_.output[2], 0) << "an offer is not taken";
    }
    CMediaType none;
    EXPECT_EQ(filter_->GetMediaType(static_cast<int>(c.offers.size()), &none), VFW_S_NO_MORE_ITEMS);
  }
}

TEST_F(PlanarBase, NtscFieldInputGivesAVideoInfo2TypeAtTheNtscRate) {
  ConnectInput(MakeFieldVideoType(720, 480));
  CMediaType type;
  ASSERT_EQ(filter_->GetMediaType(1, &type), S_OK);
  ASSERT_EQ(*type.FormatType(), FORMAT_VideoInfo2);
  ASSERT_EQ(type.FormatLength(), 112u);
  const auto* format = reinterpret_cast<const VIDEOINFOHEADER2*>(type.Format());
  EXPECT_EQ(format->bmiHeader.biBitCount, 16);
  EXPECT_EQ(format->dwPictAspectRatioX, 11520u);
  EXPECT_EQ(format->dwPictAspectRatioY, 7200u);
  EXPECT_EQ(format->AvgTimePerFrame, 333666);
  EXPECT_EQ(input_.GetPitch(), 1024);
}

// The connected output type gives the processor its row pitch and picture width.
TEST_F(PlanarBase, TheConnectedOutputTypeSetsTheProcessorsPitch) {
  struct Case {
    LONG bitmapWidth;
    RECT target;
    int width;
    HRESULT expected;
  } cases[] = {{720, {0, 0, 720, 480}, 720, S_OK},
               {768, {0, 0, 720, 480}, 720, S_OK},
               {720, {0, 0, 0, 0}, 720, S_OK},
               {720, {0, 0, 768, 480}, 0, VFW_E_INVALIDMEDIATYPE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitmapWidth);
    CMediaType out = MakeVideoType(c.bitmapWidth, 480);
    reinterpret_cast<VIDEOINFOHEADER*>(out.Format())->rcTarget = c.target;
    spy_.output[0] = spy_.output[2] = 0;
    EXPECT_EQ(filter_->SetMediaType(PINDIR_OUTPUT, &out), c.expected);
    if (c.expected != S_OK) continue;
    EXPECT_EQ(spy_.output[0], c.width);
    EXPECT_EQ(spy_.output[2], c.bitmapWidth);
    EXPECT_EQ(output_.GetPitch(), c.bitmapWidth);
  }
}

// The types taken shape the processor; checking them first changes nothing.
TEST_F(PlanarBase, PitchesOfFieldAndPackedInput) {
  struct Case {
    CMediaType type;
    LONG width, height;
    int processorPitch;
  };
  Case cases[] = {{MakeFieldVideoType(352, 480), 352, 480, 512},
                  {MakeFieldVideoType(720, 576, true), 720, 576, 1024},
                  {MakeVideoType(720, 480), 720, 480, 720},
                  {MakeVideoType(720, 480, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2), 720, 480, 720},
                  {MakeVideoType(700, 480, MEDIASUBTYPE_IYUV), 700, 480, 704}};
  for (Case& c : cases) {
    SCOPED_TRACE(c.processorPitch);
    CMediaType out = MakeVideoType(RoundUp64(c.width), c.height);
    reinterpret_cast<VIDEOINFOHEADER*>(out.Format())->rcTarget = {0, 0, c.width, c.height};
    const int inputPitch = input_.GetPitch(), outputPitch = output_.GetPitch(), told = spy_.input[2];
    ASSERT_EQ(filter_->CheckInputType(&c.type), S_OK);
    EXPECT_EQ(filter_->CheckTransform(&c.type, &out), S_OK);
    EXPECT_EQ(input_.GetPitch(), inputPitch);
    EXPECT_EQ(output_.GetPitch(), outputPitch);
    EXPECT_EQ(spy_.input[2], told);
    ASSERT_EQ(filter_->SetMediaType(PINDIR_INPUT, &c.type), S_OK);
    ASSERT_EQ(filter_->SetMediaType(PINDIR_OUTPUT, &out), S_OK);
    EXPECT_EQ(input_.GetPitch(), c.processorPitch);
    EXPECT_EQ(spy_.input[2], c.processorPitch);
    EXPECT_EQ(output_.GetPitch(), RoundUp64(c.width));
  }
  EXPECT_EQ(filter_->OwnDescriptor().GetPitch(), 700);
}

TEST_F(PlanarBase, BufferForAPaddedOutput) {
  CMediaType in = MakeVideoType(720, 576);
  CMediaType out = MakeVideoType(768, 576);
  EXPECT_EQ(filter_->CheckTransform(&in, &out), VFW_E_INVALIDMEDIATYPE);  // no target rectangle
  reinterpret_cast<VIDEOINFOHEADER*>(out.Format())->rcTarget = {0, 0, 720, 576};
  ASSERT_EQ(filter_->CheckTransform(&in, &out), S_OK);
  ASSERT_EQ(filter_->SetMediaType(PINDIR_OUTPUT, &out), S_OK);

  HRESULT hr = S_OK;
  CUnknown* object = CMemAllocator::CreateInstance(nullptr, &hr);
  ASSERT_EQ(hr, S_OK);
  object->NonDelegatingAddRef();
  IMemAllocator* allocator = nullptr;
  ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator)), S_OK);
  ALLOCATOR_PROPERTIES request{};
  EXPECT_EQ(filter_->DecideBufferSize(allocator, &request), S_OK);
  EXPECT_EQ(request.cbBuffer, 2 * 768 * 576 + 48);
  EXPECT_EQ(request.cbAlign, 16);
  EXPECT_EQ(filter_->DecideBufferSize(nullptr, &request), E_POINTER);
  allocator->Release();
  object->NonDelegatingRelease();
}

TEST_F(PlanarBase, MalformedTypesAreRefused) {
  std::vector<CMediaType> bad;
  CMediaType noFormat = MakeVideoType(720, 480);
  noFormat.ResetFormatBuffer();
  bad.push_back(noFormat);
  CMediaType shortFormat = MakeVideoType(720, 480);
  shortFormat.ReallocFormatBuffer(60);
  bad.push_back(shortFormat);
  bad.push_back(MakeVideoType(-720, 480));
  bad.push_back(MakeVideoType(720, 0));
  bad.push_back(MakeVideoType(5000, 480));
  CMediaType wideTarget = MakeVideoType(720, 480);
  reinterpret_cast<VIDEOINFOHEADER*>(wideTarget.Format())->rcTarget = {0, 0, 800, 480};
  bad.push_back(wideTarget);
  bad.push_back(MakeFieldVideoType(800, 480));
  CMediaType shortField = MakeFieldVideoType(720, 480);
  shortField.ReallocFormatBuffer(8);
  bad.push_back(shortField);
  CMediaType fieldYuy2 = MakeFieldVideoType(720, 480);
  fieldYuy2.SetSubtype(&MEDIASUBTYPE_YUY2);
  bad.push_back(fieldYuy2);
  CMediaType planarInfo = MakeVideoType(720, 480, MEDIASUBTYPE_FieldPlanar420);
  bad.push_back(planarInfo);
  bad.push_back(MakeVideoType(720, 480, MEDIASUBTYPE_RGB24));
  CMediaType audio = MakeVideoType(720, 480);
  audio.SetType(&MEDIATYPE_Audio);
  bad.push_back(audio);
  for (size_t i = 0; i < bad.size(); ++i) EXPECT_EQ(filter_->CheckInputType(&bad[i]), E_INVALIDARG) << i;
  EXPECT_EQ(filter_->CheckInputType(nullptr), E_POINTER);

  CMediaType in = MakeVideoType(720, 480);
  CMediaType rgb = MakeVideoType(720, 480, MEDIASUBTYPE_RGB24);
  EXPECT_EQ(filter_->CheckTransform(&in, &rgb), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(filter_->CheckTransform(&fieldYuy2, &in), VFW_E_INVALIDMEDIATYPE);
}

TEST(WorkFrame, BlackAndGrowOnly) {
  WorkFrame frame;
  EXPECT_EQ(frame.Size(), -1);
  ASSERT_EQ(frame.Reserve(64, 4), S_OK);
  std::memset(frame.Data(), 0x33, 2 * 64 * 4);
  ASSERT_EQ(frame.Reserve(64, 2), S_OK);  // smaller: kept, contents too
  EXPECT_EQ(frame.Size(), 2 * 64 * 4);
  EXPECT_EQ(frame.Data()[0], 0x33);
  ASSERT_EQ(frame.Reserve(128, 4), S_OK);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(frame.Data()) % 32, 0u);
  for (int i = 0; i < 2 * 128 * 4; ++i) ASSERT_EQ(frame.Data()[i], i < 128 * 4 ? 0 : 128) << i;
}

TEST(PlanarRows, SplitThenJoinIsTheIdentity) {
  std::mt19937 random(5);
  for (int width : {720, 352, 34}) {
    const int rows = 6, pitch = RoundUp64(width);
    std::vector<std::uint8_t> packed(2 * static_cast<size_t>(width) * rows), back(packed.size(), 0);
    for (auto& b : packed) b = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> planar(2 * static_cast<size_t>(pitch) * rows);
    std::uint8_t* y = planar.data();
    std::uint8_t* u = y + pitch * rows;
    std::uint8_t* v = u + pitch * rows / 2;
    SplitPackedToPlanar(packed.data(), y, u, v, width, rows, width, pitch);
    JoinPlanarToPacked(y, u, v, back.data(), width, rows, pitch, width);
    EXPECT_EQ(back, packed) << width;
  }
}

}  // namespace
}  // namespace deinterlace

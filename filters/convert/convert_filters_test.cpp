// The two converter filters: COM identity, the types they take and offer, buffer sizing, frames
// through Transform (flags, weave order, skipped samples, format changes), the planar
// converter's field-order page, and both inside a stub graph between the test kit's source and
// recording sink.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/factory.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/field_frame_builder.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/stub_page_site.h"
#include "filters/base/testkit/video_types.h"
#include "filters/convert/color_convert_filter.h"
#include "filters/convert/planar_pack_filter.h"
#include "filters/convert/tiled_kernels.h"
#include "filters/include/field_video.h"

using namespace convert;
using namespace graph_testkit;

namespace {

// Samples of the test's own allocator.
class SamplePool {
 public:
  SamplePool(LONG bytes, LONG count = 2) : allocator_(NewAllocator(count, bytes)) {}
  ~SamplePool() {
    allocator_->Decommit();
    EXPECT_EQ(allocator_->Release(), 0u);
  }
  SamplePool(const SamplePool&) = delete;
  SamplePool& operator=(const SamplePool&) = delete;

  // A sample holding `bytes` (the rest of the buffer `fill`); the caller releases it.
  IMediaSample* Make(const std::vector<std::uint8_t>& bytes, BYTE fill = 0) {
    IMediaSample* sample = nullptr;
    EXPECT_EQ(allocator_->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    memset(data, fill, static_cast<size_t>(sample->GetSize()));
    memcpy(data, bytes.data(), std::min<size_t>(bytes.size(), static_cast<size_t>(sample->GetSize())));
    sample->SetActualDataLength(static_cast<LONG>(std::min<size_t>(bytes.size(), sample->GetSize())));
    return sample;
  }
  IMediaSample* Blank(BYTE fill) { return Make({}, fill); }

 private:
  IMemAllocator* allocator_ = nullptr;
};

BYTE* Data(IMediaSample* sample) {
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  return data;
}

CMediaType FieldVideoType(LONG width, LONG height, bool pal = false, ULONG blockBytes = 40) {
  CMediaType type(&MEDIATYPE_FieldVideo);
  type.SetSubtype(&MEDIASUBTYPE_FieldPlanar420);
  type.SetFormatType(pal ? &FORMAT_FieldVideoPal : &FORMAT_FieldVideoNtsc);
  auto* block = reinterpret_cast<BITMAPINFOHEADER*>(type.AllocFormatBuffer(blockBytes));
  if (blockBytes >= sizeof(BITMAPINFOHEADER)) {
    block->biSize = 40;
    block->biWidth = width;
    block->biHeight = height;
  }
  type.SetSampleSize(field_video::MakePlaneLayout(width, height).totalBytes);
  return type;
}

// A converter between the test kit's push source (offering `input`) and a recording sink in a
// stub graph; `attach`: a type the sink attaches to its buffers of `sinkBytes` bytes.
template <class Filter>
class ConverterGraph : public ::testing::Test {
 protected:
  void Build(const CMediaType& input, std::shared_ptr<CMediaType> attach = nullptr, LONG sinkBytes = 0) {
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create({input});
    filter_ = NewObject<Filter>();
    sink_ = RecordingSink::Create();
    if (attach) {
      sink_->SetAllocator(1, sinkBytes);
      sink_->SetAttachType(std::move(attach));
    }
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(static_cast<IBaseFilter*>(filter_), L"converter"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), filter_->GetPin(0), nullptr), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(filter_->GetPin(1), sink_->InputPin(), nullptr), S_OK);
  }
  void Start() {
    ASSERT_EQ(sink_->Pause(), S_OK);
    ASSERT_EQ(filter_->Pause(), S_OK);
    ASSERT_EQ(source_->Pause(), S_OK);
  }
  void TearDown() override {
    if (!graph_) return;
    for (IBaseFilter* f : {static_cast<IBaseFilter*>(sink_), static_cast<IBaseFilter*>(filter_),
                           static_cast<IBaseFilter*>(source_)}) {
      f->Stop();
    }
    graph_->Disconnect(filter_->GetPin(1));
    graph_->Disconnect(sink_->InputPin());
    graph_->Disconnect(filter_->GetPin(0));
    graph_->Disconnect(source_->OutputPin());
    for (IBaseFilter* f : {static_cast<IBaseFilter*>(sink_), static_cast<IBaseFilter*>(filter_),
                           static_cast<IBaseFilter*>(source_)}) {
      graph_->RemoveFilter(f);
    }
    EXPECT_EQ(graph_->Release(), 0u);
    EXPECT_EQ(sink_->Release(), 0u);
    EXPECT_EQ(static_cast<IBaseFilter*>(filter_)->Release(), 0u);
    EXPECT_EQ(source_->Release(), 0u);
  }
  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  Filter* filter_ = nullptr;
  RecordingSink* sink_ = nullptr;
};

// ---- Planar converter -------------------------------------------------------------------------

TEST(PlanarPackIdentity, ExposesItsInterfacesAggregatesAndReleasesToZero) {
  auto* filter = NewObject<CPlanerConvertFilter>();
  ExpectInterfaces(static_cast<IBaseFilter*>(filter),
                   {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist, &IID_IPlanarFieldOrder, &IID_ISpecifyPropertyPages},
                   {&IID_IKelvTransmit, &IID_ITeskControl, &IID_IPin, &IID_IMemInputPin});
  CAUUID pages{};
  ASSERT_EQ(filter->GetPages(&pages), S_OK);
  ASSERT_EQ(pages.cElems, 1u);
  EXPECT_EQ(pages.pElems[0], CLSID_PlanarFieldOrderPage);
  CoTaskMemFree(pages.pElems);
  EXPECT_EQ(filter->GetPin(0)->Name(), L"XForm In");
  EXPECT_EQ(filter->GetPin(1)->Name(), L"XForm Out");
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
  ExpectAggregates(&CPlanerConvertFilter::CreateInstance);

  auto* page = NewObject<PlanarFieldOrderPage>();
  ExpectInterfaces(static_cast<IPropertyPage*>(page), {&IID_IPropertyPage}, {&IID_IBaseFilter, &IID_IPlanarFieldOrder});
  EXPECT_EQ(static_cast<IPropertyPage*>(page)->Release(), 0u);
}

TEST(PlanarPackTypes, TakesOnly352Or720FieldVideoWithAFortyByteBlock) {
  auto* filter = NewObject<CPlanerConvertFilter>();
  EXPECT_EQ(filter->FrameWidth(), 352);
  EXPECT_EQ(filter->FrameHeight(), 480);
  EXPECT_EQ(filter->OutputStride(), 352);
  LONG order = 0;
  EXPECT_EQ(filter->GetFieldOrder(&order), S_OK);
  EXPECT_EQ(order, 1);
  EXPECT_EQ(filter->GetFieldOrder(nullptr), E_POINTER);

  CMediaType ntsc = FieldVideoType(720, 480);
  ASSERT_EQ(filter->CheckInputType(&ntsc), S_OK);
  EXPECT_EQ(filter->PalFormat(), 0);
  CMediaType pal352 = FieldVideoType(352, 576, true);
  ASSERT_EQ(filter->CheckInputType(&pal352), S_OK);
  EXPECT_EQ(filter->PalFormat(), 1);
  EXPECT_EQ(filter->FrameWidth(), 384);
  EXPECT_EQ(filter->FrameHeight(), 576);

  for (const CMediaType& bad : {FieldVideoType(640, 480), FieldVideoType(720, 480, false, 44),
                                FieldVideoType(720, -480), MakeVideoType(720, 480)}) {
    EXPECT_EQ(filter->CheckInputType(&bad), E_INVALIDARG);
  }
  EXPECT_EQ(filter->FrameWidth(), 384);  // a refused type changes nothing

  CMediaType out = MakeVideoType(384, -576);
  EXPECT_EQ(filter->CheckTransform(&pal352, &out), S_OK);
  CMediaType narrow = MakeVideoType(352, 576);
  EXPECT_EQ(filter->CheckTransform(&pal352, &narrow), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType shorter = MakeVideoType(384, 480);
  EXPECT_EQ(filter->CheckTransform(&pal352, &shorter), VFW_E_TYPE_NOT_ACCEPTED);
  CMediaType uyvy = MakeVideoType(384, 576, MEDIASUBTYPE_UYVY);
  EXPECT_EQ(filter->CheckTransform(&pal352, &uyvy), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

// A planar converter between a field-video source and a recording sink in a stub graph.
class PlanarGraph : public ConverterGraph<CPlanerConvertFilter> {};

TEST_F(PlanarGraph, A352InputOffers384WideYuy2AndSizesItsBuffers) {
  Build(FieldVideoType(352, 480));
  const CMediaType& out = filter_->GetPin(1)->CurrentMediaType();
  ASSERT_EQ(*out.FormatType(), FORMAT_VideoInfo);
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(out.Format());
  EXPECT_EQ(vih->bmiHeader.biWidth, 384);
  EXPECT_EQ(vih->bmiHeader.biHeight, 480);
  EXPECT_EQ(vih->bmiHeader.biSizeImage, 384u * 2 * 480);
  EXPECT_EQ(vih->AvgTimePerFrame, 333667);
  EXPECT_EQ(vih->dwBitRate, static_cast<DWORD>(MulDiv(384 * 2 * 480, 80000000, 333667)));
  EXPECT_EQ(filter_->OutputStride(), 384);
  ALLOCATOR_PROPERTIES granted{};
  filter_->OutputPin()->Allocator()->GetProperties(&granted);
  EXPECT_EQ(granted.cbBuffer, (480 + 4) * ((384 / 64) + 1) * 64 * 2);
  EXPECT_GE(granted.cBuffers, 1);

  // Disconnecting the input clears the geometry.
  graph_->Disconnect(filter_->GetPin(1));
  graph_->Disconnect(sink_->InputPin());
  graph_->Disconnect(filter_->GetPin(0));
  graph_->Disconnect(source_->OutputPin());
  EXPECT_EQ(filter_->FrameWidth(), 0);
  EXPECT_EQ(filter_->FrameHeight(), 0);
  EXPECT_EQ(filter_->OutputStride(), 0);
}

TEST_F(PlanarGraph, PalFramesGetThePalFrameTimeAndSkippedSamplesAreCountedAndMarked) {
  Build(FieldVideoType(720, 576, true));
  const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(filter_->GetPin(1)->CurrentMediaType().Format());
  EXPECT_EQ(vih->AvgTimePerFrame, 400000);
  ASSERT_EQ(sink_->Pause(), S_OK);
  ASSERT_EQ(filter_->Pause(), S_OK);
  ASSERT_EQ(source_->Pause(), S_OK);
  SamplePlan empty;
  empty.actualLength = 0;
  EXPECT_EQ(source_->Push(empty), S_OK);
  SamplePlan tooShort;
  tooShort.actualLength = 1000;  // header fine, planes missing
  EXPECT_EQ(source_->Push(tooShort), S_OK);
  SamplePlan dropped;
  dropped.fill = 0x10;  // frame flags 0x10101010: dropped
  EXPECT_EQ(source_->Push(dropped), S_OK);
  EXPECT_EQ(sink_->SampleCount(), 0u);
  SamplePlan whole;  // all zero: flags 0, woven
  EXPECT_EQ(source_->Push(whole), S_OK);
  EXPECT_EQ(source_->Push(whole), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 2u);
  EXPECT_EQ(sink_->Samples()[0].actualLength, 720 * 2 * 576);
  EXPECT_TRUE(sink_->Samples()[0].discontinuity) << "the first frame after skipped ones";
  EXPECT_FALSE(sink_->Samples()[1].discontinuity);
  EXPECT_TRUE(graph_->WaitForEvent(EC_QUALITY_CHANGE, 1000));
}

TEST_F(PlanarGraph, ADownstreamFormatChangeSetsTheRowPitchFromThatSampleOn) {
  auto wider = std::make_shared<CMediaType>(MakeVideoType(800, 480));
  Build(FieldVideoType(720, 480), wider, 800 * 2 * 480);
  EXPECT_EQ(filter_->OutputStride(), 720);
  ASSERT_EQ(sink_->Pause(), S_OK);
  ASSERT_EQ(filter_->Pause(), S_OK);
  ASSERT_EQ(source_->Pause(), S_OK);
  SamplePlan whole;
  EXPECT_EQ(source_->Push(whole), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 1u);
  EXPECT_EQ(filter_->OutputStride(), 800);
  EXPECT_EQ(sink_->Samples()[0].actualLength, 800 * 2 * 480);
  EXPECT_EQ(filter_->GetPin(1)->CurrentMediaType(), *wider);
}

// Frames straight into Transform, with the geometry set as a connection would set it.
class PlanarTransform : public ::testing::Test {
 protected:
  void SetUp() override {
    filter_ = NewObject<CPlanerConvertFilter>();
    CMediaType in = FieldVideoType(720, 480);
    ASSERT_EQ(filter_->CheckInputType(&in), S_OK);
    SetStride(720);
  }
  void TearDown() override { EXPECT_EQ(static_cast<IBaseFilter*>(filter_)->Release(), 0u); }
  void SetStride(LONG width) {
    CMediaType out = MakeVideoType(width, 480);
    filter_->SetMediaType(PINDIR_OUTPUT, &out);
  }
  HRESULT Run(field_video::FieldFrameHeader header, IMediaSample** out, LONG inputLength = -1) {
    graph_testkit::FieldPlanarFrameBuilder frame(720, 480, true);
    frame.Fill([](int x, int y) { return static_cast<std::uint8_t>(y + 100 * (x % 2)); },
               [](int, int y) { return static_cast<std::uint8_t>(y + 1); },
               [](int, int y) { return static_cast<std::uint8_t>(y + 2); });
    frame.Header() = header;
    IMediaSample* in = frames_.Make(frame.Bytes());
    if (inputLength >= 0) in->SetActualDataLength(inputLength);
    *out = outputs_.Blank(0xEE);
    const HRESULT hr = filter_->Transform(in, *out);
    in->Release();
    return hr;
  }
  static field_video::FieldFrameHeader Flags(std::uint32_t flags, std::uint32_t pattern = 0) {
    field_video::FieldFrameHeader header{};
    header.FrameFlags = flags;
    header.fillPattern = pattern;
    return header;
  }
  static bool AllBytes(IMediaSample* sample, BYTE value, size_t count) {
    const BYTE* data = Data(sample);
    for (size_t i = 0; i < count; ++i) {
      if (data[i] != value) return false;
    }
    return true;
  }

  CPlanerConvertFilter* filter_ = nullptr;
  SamplePool frames_{static_cast<LONG>(field_video::MakePlaneLayout(720, 480).totalBytes)};
  SamplePool outputs_{722 * 2 * 480 + 64};
};

TEST_F(PlanarTransform, FrameFlagsDropFillOrBlacken) {
  IMediaSample* out = nullptr;
  EXPECT_EQ(Run(Flags(0x10000000), &out), S_FALSE);
  EXPECT_TRUE(AllBytes(out, 0xEE, 1440 * 480)) << "a dropped frame leaves the output untouched";
  out->Release();

  EXPECT_EQ(Run(Flags(0xFFFFFFFF, 0x11223344), &out), S_FALSE);
  EXPECT_TRUE(AllBytes(out, 0x10, 1440 * 480)) << "all flags: pattern, then black, then dropped";
  out->Release();

  EXPECT_EQ(Run(Flags(0x80000000), &out), S_OK);
  EXPECT_TRUE(AllBytes(out, 0x10, 1440 * 480));
  EXPECT_EQ(out->GetActualDataLength(), 720 * 2 * 480);
  out->Release();

  EXPECT_EQ(Run(Flags(1, 0x80108020), &out), S_OK);
  const BYTE* data = Data(out);
  for (size_t i = 0; i < 1440 * 480; i += 4) {
    ASSERT_EQ(data[i], 0x20);
    ASSERT_EQ(data[i + 3], 0x80);
  }
  out->Release();
}

TEST_F(PlanarTransform, FieldOrderChoosesWhichStoredFieldTakesTheEvenRows) {
  IMediaSample* out = nullptr;
  EXPECT_EQ(Run(Flags(0), &out), S_OK);
  EXPECT_EQ(Data(out)[0], 0);         // stored-first field row 0 on output row 0
  EXPECT_EQ(Data(out)[1440], 1);      // stored-second row 0 on output row 1
  EXPECT_EQ(Data(out)[1440 + 1], 2);  // its Cb
  out->Release();

  ASSERT_EQ(filter_->SetFieldOrder(0), S_OK);
  EXPECT_EQ(Run(Flags(0), &out), S_OK);
  EXPECT_EQ(Data(out)[0], 1);  // now the second stored field is on top
  EXPECT_EQ(Data(out)[1440], 0);
  out->Release();

  ASSERT_EQ(filter_->SetFieldOrder(2), S_OK);  // any non-zero value is top first
  EXPECT_EQ(Run(Flags(0), &out), S_OK);
  EXPECT_EQ(Data(out)[0], 0);
  out->Release();
}

TEST_F(PlanarTransform, AnOddOutputStrideStartsEveryRowAtItsExactOffset) {
  SetStride(721);
  IMediaSample* out = nullptr;
  EXPECT_EQ(Run(Flags(0), &out), S_OK);
  for (int row = 0; row < 480; row += 7) {
    ASSERT_EQ(Data(out)[row * 1442], static_cast<BYTE>(row)) << row;
    ASSERT_EQ(Data(out)[row * 1442 + 1440], row == 479 ? 0xEE : 0xEE);
  }
  EXPECT_EQ(out->GetActualDataLength(), 721 * 2 * 480);
  out->Release();
}

TEST_F(PlanarTransform, ShortEmptyOrUnfittingSamplesAreSkipped) {
  IMediaSample* out = nullptr;
  EXPECT_EQ(Run(Flags(0), &out, 0), S_FALSE);
  out->Release();
  EXPECT_EQ(Run(Flags(0), &out, 48 + 1000), S_FALSE);
  EXPECT_TRUE(AllBytes(out, 0xEE, 1440 * 480));
  out->Release();
  EXPECT_EQ(Run(Flags(1, 0x01020304), &out, 48), S_OK) << "a pattern frame needs its header only";
  out->Release();
  SetStride(800);  // the output buffer cannot hold 800-wide rows
  EXPECT_EQ(Run(Flags(0), &out), S_FALSE);
  out->Release();
  SetStride(700);  // rows narrower than the 720 converted pixels
  EXPECT_EQ(Run(Flags(0), &out), S_FALSE);
  out->Release();
}

TEST_F(PlanarTransform, AFieldOrderChangedFromAnotherThreadNeverTearsAFrame) {
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    for (LONG i = 0; !stop; ++i) filter_->SetFieldOrder(i & 1);
  });
  for (int frame = 0; frame < 20; ++frame) {
    IMediaSample* out = nullptr;
    ASSERT_EQ(Run(Flags(0), &out), S_OK);
    const BYTE* data = Data(out);
    // One order per frame: row 0 and row 478 come from the same stored field (luma 0 and 478,
    // or 1 and 479), row 1 from the other.
    EXPECT_NE(data[0], data[1440]);
    EXPECT_EQ(data[478 * 1440], static_cast<BYTE>(data[0] + 478));
    out->Release();
  }
  stop = true;
  flipper.join();
}

TEST(PlanarFieldOrderPage, ShowsAppliesAndReadsTheFieldOrder) {
  auto* filter = NewObject<CPlanerConvertFilter>();
  auto* page = NewObject<PlanarFieldOrderPage>();
  IPropertyPage* ipage = page;
  StubPropertyPageSite* site = StubPropertyPageSite::Create();
  HWND parent = CreateWindowExW(0, L"STATIC", L"page parent", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(parent, nullptr);
  ASSERT_EQ(ipage->SetPageSite(site), S_OK);
  IUnknown* object = static_cast<IBaseFilter*>(filter);
  ASSERT_EQ(ipage->SetObjects(1, &object), S_OK);
  RECT rect{0, 0, 300, 200};
  ASSERT_EQ(ipage->Activate(parent, &rect, FALSE), S_OK);
  EXPECT_EQ(IsDlgButtonChecked(page->Window(), PlanarFieldOrderPage::kTopFirst), BST_CHECKED);
  SendMessageW(page->Window(), WM_COMMAND, MAKEWPARAM(PlanarFieldOrderPage::kBottomFirst, BN_CLICKED), 0);
  EXPECT_EQ(ipage->IsPageDirty(), S_OK);
  LONG order = -1;
  filter->GetFieldOrder(&order);
  EXPECT_EQ(order, 1) << "nothing changes before Apply";
  ASSERT_EQ(ipage->Apply(), S_OK);
  filter->GetFieldOrder(&order);
  EXPECT_EQ(order, 0);
  EXPECT_EQ(ipage->IsPageDirty(), S_FALSE);
  ASSERT_EQ(ipage->Deactivate(), S_OK);
  ASSERT_EQ(ipage->SetObjects(0, nullptr), S_OK);

  // 2 works as top first but shows as "BTM 1st".
  filter->SetFieldOrder(2);
  ASSERT_EQ(ipage->SetObjects(1, &object), S_OK);
  ASSERT_EQ(ipage->Activate(parent, &rect, FALSE), S_OK);
  EXPECT_EQ(IsDlgButtonChecked(page->Window(), PlanarFieldOrderPage::kBottomFirst), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(page->Window(), PlanarFieldOrderPage::kTopFirst), BST_UNCHECKED);
  ASSERT_EQ(ipage->Deactivate(), S_OK);
  ASSERT_EQ(ipage->SetObjects(0, nullptr), S_OK);
  ipage->SetPageSite(nullptr);
  DestroyWindow(parent);
  EXPECT_EQ(ipage->Release(), 0u);
  EXPECT_EQ(site->Release(), 0u);
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

// ---- Tiled colour converter ---------------------------------------------------------------------

CMediaType TiledType(LONG width, LONG height, const GUID& format = FORMAT_VideoInfo) {
  CMediaType type = MakeVideoType(width, height, MEDIASUBTYPE_Tiled420, format);
  type.SetSampleSize(static_cast<ULONG>(TiledFrameBytes(width, height)));
  return type;
}

TEST(ColorConvertIdentity, ExposesItsInterfacesAggregatesAndReleasesToZero) {
  auto* filter = NewObject<CColorConvertFilter>();
  ExpectInterfaces(static_cast<IBaseFilter*>(filter), {&IID_IBaseFilter, &IID_IMediaFilter, &IID_IPersist},
                   {&IID_IPlanarFieldOrder, &IID_ISpecifyPropertyPages, &IID_IPin});
  EXPECT_EQ(filter->WorkBufferBytes(), 207360u);
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
  ExpectAggregates(&CColorConvertFilter::CreateInstance);
}

TEST(ColorConvertTypes, TakesTiledVideoAndGrowsItsWorkBufferWithTheGeometry) {
  auto* filter = NewObject<CColorConvertFilter>();
  CMediaType vi = TiledType(720, 480);
  CMediaType vi2 = TiledType(720, 576, FORMAT_VideoInfo2);
  EXPECT_EQ(filter->CheckInputType(&vi), S_OK);
  EXPECT_EQ(filter->CheckInputType(&vi2), S_OK);
  CMediaType yuy2 = MakeVideoType(720, 480);
  EXPECT_EQ(filter->CheckInputType(&yuy2), E_INVALIDARG);
  CMediaType iyuv = MakeVideoType(720, 480, MEDIASUBTYPE_IYUV);
  EXPECT_EQ(filter->CheckInputType(&iyuv), E_INVALIDARG);

  EXPECT_EQ(filter->CheckTransform(&vi, &iyuv), VFW_E_TYPE_NOT_ACCEPTED);
  EXPECT_EQ(filter->CheckTransform(nullptr, &yuy2), E_POINTER);
  CMediaType big = TiledType(720, 1152);
  ASSERT_EQ(filter->CheckTransform(&big, &yuy2), S_OK);
  EXPECT_EQ(filter->InputHeight(), 1152);
  EXPECT_EQ(filter->OutputWidth(), 720);
  EXPECT_EQ(filter->WorkBufferBytes(), 414720u);
  ASSERT_EQ(filter->CheckTransform(&vi, &yuy2), S_OK);
  EXPECT_EQ(filter->WorkBufferBytes(), 414720u);  // never shrinks
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

// A type's check takes its geometry, but reserves work memory only for a picture the converter
// can convert: a header claiming millions of pixels each way must not reserve (or try to) the
// gigabytes it implies; a frame of such a shape is never converted.
TEST(ColorConvertTypes, AHugeGeometryReservesNoWorkMemory) {
  auto* filter = NewObject<CColorConvertFilter>();
  const std::size_t initial = filter->WorkBufferBytes();
  CMediaType yuy2 = MakeVideoType(720, 480);
  for (const auto& [width, height] : {std::pair{4096L, 65536L}, {721L, 480L}, {720L, 0x7FFFFFFFL}, {2621440L, 47185920L}}) {
    CMediaType huge = TiledType(720, 480);
    GetBitmapInfoHeader(&huge)->biWidth = width;
    GetBitmapInfoHeader(&huge)->biHeight = height;
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(filter->CheckTransform(&huge, &yuy2), S_OK);
    EXPECT_LT(GetTickCount64() - started, 1000u);
    EXPECT_EQ(filter->InputWidth(), width);
    EXPECT_EQ(filter->WorkBufferBytes(), initial) << width << " x " << height;
  }
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

class TiledGraph : public ConverterGraph<CColorConvertFilter> {};

TEST_F(TiledGraph, OffersA720By480FrameForA240LineInputAndConvertsWholeBuffers) {
  Build(TiledType(720, 240));
  const CMediaType& out = filter_->GetPin(1)->CurrentMediaType();
  EXPECT_EQ(*out.FormatType(), FORMAT_VideoInfo);
  EXPECT_EQ(out.FormatLength(), sizeof(VIDEOINFO));
  EXPECT_EQ(out.FormatLength(), 1128u);
  const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&out);
  EXPECT_EQ(header->biWidth, 720);
  EXPECT_EQ(header->biHeight, 480);
  EXPECT_EQ(out.GetSampleSize(), 720u * 480 * 2);
  // The buffer decision takes the output geometry for both sides.
  EXPECT_EQ(filter_->InputHeight(), 480);
  Start();
  SamplePlan frame;  // a 240-line input buffer is too short for 480 lines: skipped
  EXPECT_EQ(source_->Push(frame), S_OK);
  EXPECT_EQ(sink_->SampleCount(), 0u);
}

TEST_F(TiledGraph, OffersA576LineFrameForA288LineInput) {
  Build(TiledType(720, 288));
  EXPECT_EQ(GetBitmapInfoHeader(&filter_->GetPin(1)->CurrentMediaType())->biHeight, 576);
}

TEST_F(TiledGraph, AFormatChangeTheOutputRefusesFailsTheSample) {
  auto rgb = std::make_shared<CMediaType>(MakeVideoType(720, 480, MEDIASUBTYPE_RGB32));
  Build(TiledType(720, 480), rgb);
  Start();
  SamplePlan frame;
  EXPECT_EQ(source_->Push(frame), E_FAIL);
  EXPECT_EQ(sink_->SampleCount(), 0u);
}

TEST_F(TiledGraph, ADownstreamFormatChangeKeepsTheInputGeometryOfTheBufferDecision) {
  // A field-height type whose samples hold whole 480-line frames: the buffer decision reads
  // 480 lines; a wider row pitch from downstream must not bring back the type's 240.
  CMediaType fields = TiledType(720, 240);
  fields.SetSampleSize(static_cast<ULONG>(TiledFrameBytes(720, 480)));
  auto wider = std::make_shared<CMediaType>(MakeVideoType(768, 480));
  Build(fields, wider, 768 * 480 * 2);
  ASSERT_EQ(filter_->InputHeight(), 480);
  Start();
  SamplePlan frame;
  frame.fill = 0x40;
  EXPECT_EQ(source_->Push(frame), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 1u);
  EXPECT_EQ(filter_->OutputWidth(), 768);
  EXPECT_EQ(filter_->InputWidth(), 720);
  EXPECT_EQ(filter_->InputHeight(), 480);
}

TEST_F(TiledGraph, AWholeFrameIsDeliveredInTheWholeBuffer) {
  Build(TiledType(720, 480));
  Start();
  SamplePlan frame;
  frame.fill = 0x40;
  EXPECT_EQ(source_->Push(frame), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 1u);
  EXPECT_EQ(sink_->Samples()[0].actualLength, 720 * 480 * 2);
  EXPECT_EQ(sink_->Samples()[0].firstByte, 0x40);
}

TEST(ColorConvertTransform, Reads576LineChromaAt414720And352AsThreeHundredTwenty) {
  auto* filter = NewObject<CColorConvertFilter>();
  CMediaType yuy2 = MakeVideoType(720, 576);
  CMediaType in576 = TiledType(720, 576);
  ASSERT_EQ(filter->CheckTransform(&in576, &yuy2), S_OK);
  std::vector<std::uint8_t> frame(TiledFrameBytes(720, 576), 0x30);
  std::fill(frame.begin() + 414720, frame.end(), 0x70);  // chroma
  std::fill(frame.begin() + 345600, frame.begin() + 414720, 0x31);  // luma rows 480..575
  SamplePool inputs(static_cast<LONG>(frame.size()), 1);
  SamplePool outputs(720 * 576 * 2, 1);
  IMediaSample* in = inputs.Make(frame);
  IMediaSample* out = outputs.Blank(0xEE);
  ASSERT_EQ(filter->Transform(in, out), S_OK);
  EXPECT_EQ(Data(out)[0], 0x30);
  EXPECT_EQ(Data(out)[1], 0x70);
  EXPECT_EQ(Data(out)[575 * 1440], 0x31);
  EXPECT_EQ(Data(out)[575 * 1440 + 1439], 0x70);
  out->Release();
  in->Release();

  // 352 wide: 320 converted, the rest of each 352-pixel row black.
  CMediaType in352 = TiledType(352, 480);
  CMediaType out352 = MakeVideoType(352, 480);
  ASSERT_EQ(filter->CheckTransform(&in352, &out352), S_OK);
  SamplePool inputs352(static_cast<LONG>(TiledFrameBytes(352, 480)), 1);
  SamplePool outputs352(352 * 480 * 2, 1);
  in = inputs352.Make(std::vector<std::uint8_t>(TiledFrameBytes(352, 480), 0x55));
  out = outputs352.Blank(0xEE);
  ASSERT_EQ(filter->Transform(in, out), S_OK);
  EXPECT_EQ(filter->InputWidth(), 320);
  EXPECT_EQ(Data(out)[2 * 319], 0x55);
  EXPECT_EQ(Data(out)[2 * 320], 0x10);
  EXPECT_EQ(Data(out)[2 * 351 + 1], 0x80);
  EXPECT_EQ(Data(out)[479 * 704 + 703], 0x80);
  out->Release();

  // A sample shorter than the geometry reads is skipped.
  in->SetActualDataLength(100000);
  out = outputs352.Blank(0xEE);
  EXPECT_EQ(filter->Transform(in, out), S_FALSE);
  EXPECT_EQ(Data(out)[0], 0xEE);
  out->Release();
  in->Release();
  EXPECT_EQ(static_cast<IBaseFilter*>(filter)->Release(), 0u);
}

}  // namespace

// The deinterlacing filter in a graph: a source, the filter and a recording sink, with input
// samples of the test's own (contents, times, flags) handed to the filter's input pin. Outputs
// per input and their times, field order, the MMX path, the field-planar header, frame drop
// against a clock, blackout and capture, samples returned on stop and flush, the allocator
// check and the control interfaces.
#include "filters/deinterlace/tesk_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/testkit/com_checks.h"
#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/include/field_video.h"

namespace deinterlace {
namespace {

using namespace graph_testkit;

constexpr LONG kWidth = 720, kHeight = 480;
constexpr REFERENCE_TIME kFrame = 333667;
constexpr int kBuffers = 4;

CMediaType InterlacedType(DWORD flags) {
  CMediaType type = MakeVideoType(kWidth, kHeight, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2);
  reinterpret_cast<VIDEOINFOHEADER2*>(type.Format())->dwInterlaceFlags = flags;
  return type;
}

class TeskGraph : public ::testing::Test {
 protected:
  // `inputBytes`: the size of our input buffers (0: the connected type's samples).
  void Build(const CMediaType& input, std::uint32_t mask = 0, long inputBytes = 0) {
    if (mask) ProcessorMask::SetOverride(mask);
    filter_ = NewObject<TeskFilter>();
    if (mask) ProcessorMask::ClearOverride();
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create({input});
    sink_ = RecordingSink::Create();
    if (sinkSetup_) sinkSetup_(sink_);
    ASSERT_EQ(graph_->AddFilter(source_, L"source"), S_OK);
    ASSERT_EQ(graph_->AddFilter(static_cast<IBaseFilter*>(filter_), L"tesk"), S_OK);
    ASSERT_EQ(graph_->AddFilter(sink_, L"sink"), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(source_->OutputPin(), filter_->GetPin(0), nullptr), S_OK);
    ASSERT_EQ(graph_->ConnectDirect(filter_->GetPin(1), sink_->InputPin(), nullptr), S_OK);
    ASSERT_EQ(filter_->GetPin(0)->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input_)), S_OK);

    HRESULT hr = S_OK;
    allocatorObject_ = CMemAllocator::CreateInstance(nullptr, &hr);
    allocatorObject_->NonDelegatingAddRef();
    ASSERT_EQ(allocatorObject_->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator_)),
              S_OK);
    const long bytes = inputBytes ? inputBytes
                                  : static_cast<long>(*input.Subtype() == MEDIASUBTYPE_FieldPlanar420
                                                          ? field_video::MakePlaneLayout(kWidth, kHeight).totalBytes
                                                          : 2 * kWidth * kHeight);
    ALLOCATOR_PROPERTIES request{kBuffers, bytes, 16, 0}, actual{};
    ASSERT_EQ(allocator_->SetProperties(&request, &actual), S_OK);
    ASSERT_EQ(allocator_->Commit(), S_OK);
  }
  void Pause() {
    ASSERT_EQ(sink_->Pause(), S_OK);
    ASSERT_EQ(static_cast<IBaseFilter*>(filter_)->Pause(), S_OK);
  }
  void TearDown() override {
    if (!graph_) return;
    sink_->Stop();
    static_cast<IBaseFilter*>(filter_)->Stop();
    source_->Stop();
    input_->Release();
    allocator_->Decommit();
    allocator_->Release();
    allocatorObject_->NonDelegatingRelease();
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

  // One input sample: `fill` writes its bytes; times when `start` >= 0; `type` attached.
  HRESULT Push(const std::function<void(BYTE*, long)>& fill, REFERENCE_TIME start = 0, REFERENCE_TIME end = kFrame,
               long length = -1, const CMediaType* type = nullptr) {
    IMediaSample* sample = nullptr;
    HRESULT hr = allocator_->GetBuffer(&sample, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    fill(data, sample->GetSize());
    sample->SetActualDataLength(length >= 0 ? length : sample->GetSize());
    if (start >= 0) sample->SetTime(&start, &end);
    if (type) sample->SetMediaType(const_cast<CMediaType*>(type));
    hr = input_->Receive(sample);
    sample->Release();
    return hr;
  }
  // Every buffer of our allocator is back (no sample held anywhere).
  bool AllReturned() {
    std::vector<IMediaSample*> taken;
    bool all = true;
    for (int i = 0; i < kBuffers; ++i) {
      IMediaSample* s = nullptr;
      if (allocator_->GetBuffer(&s, nullptr, nullptr, AM_GBF_NOWAIT) != S_OK) {
        all = false;
        break;
      }
      taken.push_back(s);
    }
    for (IMediaSample* s : taken) s->Release();
    return all;
  }
  void Set(const char* name, int value) { filter_->Table().SetByName(name, value); }

  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  TeskFilter* filter_ = nullptr;
  RecordingSink* sink_ = nullptr;
  IMemInputPin* input_ = nullptr;
  CUnknown* allocatorObject_ = nullptr;
  IMemAllocator* allocator_ = nullptr;
  std::function<void(RecordingSink*)> sinkSetup_;  // before the sink is connected
};

void ExpectSameIdentity(IUnknown* part, IUnknown* owner) {
  IUnknown* a = nullptr;
  IUnknown* b = nullptr;
  ASSERT_EQ(part->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(owner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b)), S_OK);
  EXPECT_EQ(a, b);
  a->Release();
  b->Release();
}

// Top field rows luma `top`, bottom rows `bottom`, chroma 128.
std::function<void(BYTE*, long)> Fields(BYTE top, BYTE bottom) {
  return [=](BYTE* data, long) {
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        data[2 * (kWidth * y + x)] = y % 2 ? bottom : top;
        data[2 * (kWidth * y + x) + 1] = 128;
      }
    }
  };
}

TEST_F(TeskGraph, OutputsPerInputAndTheirTimes) {
  Build(MakeVideoType(kWidth, kHeight));
  const auto* out = reinterpret_cast<const VIDEOINFOHEADER*>(filter_->GetPin(1)->CurrentMediaType().Format());
  EXPECT_EQ(out->AvgTimePerFrame, kFrame / 2);
  Pause();
  struct Case {
    int singleField, frameDrop;
    std::vector<std::pair<REFERENCE_TIME, REFERENCE_TIME>> times;
  };
  const REFERENCE_TIME mid = kFrame / 2;
  const Case cases[] = {{0, 0, {{0, mid}, {mid, kFrame}}},
                        {1, 0, {{0, kFrame}}},
                        {2, 0, {{mid, kFrame}}},
                        {2, 1, {{mid, kFrame}}},  // single field before the drop test; no clock: in time
                        {0, 1, {{0, mid}, {mid, kFrame}}}};
  for (const Case& c : cases) {
    Set(params::kSingleField, c.singleField);
    Set(params::kFrameDrop, c.frameDrop);
    sink_->ClearRecords();
    ASSERT_EQ(Push(Fields(50, 60)), S_OK);
    const auto samples = sink_->Samples();
    ASSERT_EQ(samples.size(), c.times.size()) << c.singleField << c.frameDrop;
    for (size_t i = 0; i < samples.size(); ++i) {
      EXPECT_EQ(samples[i].start, c.times[i].first);
      EXPECT_EQ(samples[i].stop, c.times[i].second);
      EXPECT_EQ(samples[i].actualLength, 2 * kWidth * kHeight);  // rows of the picture's width
    }
  }
  sink_->ClearRecords();
  ASSERT_EQ(Push(Fields(50, 60), -1), S_OK);  // frame drop on, no times: delivered
  EXPECT_EQ(sink_->SampleCount(), 2u);
}

TEST_F(TeskGraph, FieldOrderFromTheTypeOrForced) {
  // Mode 1 without sharpness: an output keeping the top field starts with its top row, one
  // keeping the bottom field with the average around row 0, the bottom row.
  struct Case {
    DWORD flags;
    LONG forced;
    BYTE first, second;
  };
  const Case cases[] = {{AMINTERLACE_IsInterlaced, 2, 0x40, 0x82},                          // bottom first
                        {AMINTERLACE_IsInterlaced | AMINTERLACE_Field1First, 2, 0x80, 0x42},  // top first
                        {AMINTERLACE_IsInterlaced, 1, 0x80, 0x42},
                        {AMINTERLACE_IsInterlaced | AMINTERLACE_Field1First, 0, 0x40, 0x82}};
  for (const Case& c : cases) {
    Build(InterlacedType(c.flags));
    Set(params::kDeintermode, 1);
    Set(params::kSharpness, 0);
    Set(params::kContrast, 0);
    ITeskControl* control = nullptr;
    ASSERT_EQ(filter_->GetOwner()->QueryInterface(IID_ITeskControl, reinterpret_cast<void**>(&control)), S_OK);
    control->SetFieldOrder(c.forced);
    control->Release();
    Pause();
    ASSERT_EQ(Push(Fields(0x40, 0x80)), S_OK);
    sink_->ClearRecords();
    ASSERT_EQ(Push(Fields(0x42, 0x82), kFrame, 2 * kFrame), S_OK);
    const auto samples = sink_->Samples();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].firstByte, c.first) << c.flags << " forced " << c.forced;
    EXPECT_EQ(samples[1].firstByte, c.second) << c.flags << " forced " << c.forced;
    TearDown();
    graph_ = nullptr;
  }
}

TEST_F(TeskGraph, TheMmxPathGivesOneWholeOutputAndOnePage) {
  Build(MakeVideoType(kWidth, kHeight), kCpuMmx);
  ASSERT_TRUE(filter_->MmxPath());
  const auto* out = reinterpret_cast<const VIDEOINFOHEADER*>(filter_->GetPin(1)->CurrentMediaType().Format());
  EXPECT_EQ(out->AvgTimePerFrame, kFrame);
  EXPECT_EQ(filter_->Table().GetByName(params::kDeintermode), 9);
  CAUUID pages{};
  ASSERT_EQ(filter_->GetPages(&pages), S_OK);
  ASSERT_EQ(pages.cElems, 1u);
  EXPECT_EQ(pages.pElems[0], CLSID_TeskMmxModePage);
  CoTaskMemFree(pages.pElems);
  Pause();
  ASSERT_EQ(Push(Fields(50, 60)), S_OK);
  const auto samples = sink_->Samples();
  ASSERT_EQ(samples.size(), 1u);
  EXPECT_EQ(samples[0].start, 0);
  EXPECT_EQ(samples[0].stop, kFrame);
}

TEST_F(TeskGraph, FieldPlanarHeaderDropsAndFills) {
  Build(MakeFieldVideoType(kWidth, kHeight));
  CAUUID pages{};
  ASSERT_EQ(filter_->GetPages(&pages), S_OK);
  EXPECT_EQ(pages.cElems, filter_->MmxPath() ? 1u : 5u);
  CoTaskMemFree(pages.pElems);
  Pause();
  struct Case {
    DWORD flags;
    size_t outputs;
    BYTE first;
  };
  const Case cases[] = {{0x10000000, 0, 0},      {0x20000000, 0, 0},          {0xFFFFFFFF, 0, 0},
                        {field_video::kFrameFill, 2, 0x5A}, {field_video::kFrameBlack, 2, 0x10},
                        {field_video::kFrameFill | field_video::kFrameBlack, 2, 0x10}};
  for (const Case& c : cases) {
    sink_->ClearRecords();
    ASSERT_EQ(Push([&](BYTE* data, long size) {
                std::memset(data, 0x33, static_cast<size_t>(size));
                auto* header = reinterpret_cast<field_video::FieldFrameHeader*>(data);
                header->FrameFlags = c.flags;
                header->fillPattern = 0x805A805A;
              }),
              S_OK);
    ASSERT_EQ(sink_->SampleCount(), c.outputs) << std::hex << c.flags;
    for (const auto& s : sink_->Samples()) EXPECT_EQ(s.firstByte, c.first) << std::hex << c.flags;
  }
  sink_->ClearRecords();
  ASSERT_EQ(Push([](BYTE* data, long size) { std::memset(data, 0, static_cast<size_t>(size)); }, 0, kFrame, 1000),
            S_OK);  // short: skipped without an error
  EXPECT_EQ(sink_->SampleCount(), 0u);
}

TEST_F(TeskGraph, AnInputTypeThePinRefusesFailsTheTransformAndIsNotTaken) {
  Build(InterlacedType(AMINTERLACE_IsInterlaced));
  IMediaSample* in = nullptr;
  IMediaSample* out = nullptr;
  ASSERT_EQ(allocator_->GetBuffer(&in, nullptr, nullptr, 0), S_OK);
  ASSERT_EQ(allocator_->GetBuffer(&out, nullptr, nullptr, 0), S_OK);
  CMediaType refused = InterlacedType(AMINTERLACE_IsInterlaced);
  refused.SetSubtype(&MEDIASUBTYPE_RGB24);
  ASSERT_EQ(in->SetMediaType(&refused), S_OK);
  EXPECT_EQ(filter_->Transform(in, out), E_FAIL);
  EXPECT_EQ(*filter_->GetPin(0)->CurrentMediaType().Subtype(), MEDIASUBTYPE_YUY2);
  in->Release();
  out->Release();
}

// Every row of a picture alike (bytes by column and frame): each mode gives it back unchanged,
// so a wrong width, pitch or height shows in the output.
BYTE ColumnByte(int byteInRow, int frame) { return static_cast<BYTE>(byteInRow * 7 + frame * 29); }
std::function<void(BYTE*, long)> Columns(LONG width, LONG height, int frame) {
  return [=](BYTE* data, long) {
    for (LONG y = 0; y < height; ++y) {
      for (LONG b = 0; b < 2 * width; ++b) data[2 * width * y + b] = ColumnByte(b, frame);
    }
  };
}

CMediaType SizedType(LONG width, LONG height, const GUID& format, DWORD interlace = 0) {
  CMediaType type = MakeVideoType(width, height, MEDIASUBTYPE_YUY2, format);
  if (format == FORMAT_VideoInfo2) reinterpret_cast<VIDEOINFOHEADER2*>(type.Format())->dwInterlaceFlags = interlace;
  return type;
}

// Frames of the connected size, then a sample carrying a type of another size, then one more
// of that size: the processor works at the new size from that sample on and the new output
// type goes downstream on the first output made from it; or, when the output buffers cannot
// hold the new picture, the sample is refused and the filter keeps the old types. Nothing is
// written past a picture (the sink's buffers start as guard bytes).
TEST_F(TeskGraph, ANewInputSizeOnASampleReshapesTheProcessingOrIsRefused) {
  constexpr BYTE kGuard = 0xE5;
  constexpr DWORD kInterlaced = AMINTERLACE_IsInterlaced;
  struct Case {
    const char* name;
    CMediaType connected, changed;
    LONG sinkBytes;  // 0: the buffers the filter asks for
    HRESULT result;
    LONG pitch, width, height;  // of the output type that follows
  };
  const LONG big = 2 * 768 * 600;
  const Case cases[] = {
      {"taller", SizedType(720, 480, FORMAT_VideoInfo), SizedType(720, 576, FORMAT_VideoInfo), big, S_OK, 720, 720, 576},
      {"narrower", SizedType(720, 480, FORMAT_VideoInfo), SizedType(704, 480, FORMAT_VideoInfo), 0, S_OK, 704, 704, 480},
      {"shorter, VideoInfo2", SizedType(720, 576, FORMAT_VideoInfo2, kInterlaced),
       SizedType(720, 480, FORMAT_VideoInfo2, kInterlaced), 0, S_OK, 720, 720, 480},
      {"wider, VideoInfo2", SizedType(704, 480, FORMAT_VideoInfo2, kInterlaced),
       SizedType(720, 576, FORMAT_VideoInfo2, kInterlaced), big, S_OK, 720, 720, 576},
      {"too large for the buffers", SizedType(720, 480, FORMAT_VideoInfo), SizedType(720, 576, FORMAT_VideoInfo), 0,
       VFW_E_INVALIDMEDIATYPE, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sinkSetup_ = [&](RecordingSink* sink) {
      if (c.sinkBytes) sink->SetAllocator(0, c.sinkBytes);
      sink->SetGuard(kGuard);
    };
    Build(c.connected, 0, 2 * 720 * 576);
    Set(params::kDeintermode, 1);
    Set(params::kSharpness, 0);
    Set(params::kContrast, 0);
    const CMediaType connectedOutput = filter_->GetPin(1)->CurrentMediaType();
    Pause();
    const auto* before = GetBitmapInfoHeader(&c.connected);
    const auto* after = GetBitmapInfoHeader(&c.changed);

    // The outputs of a frame: the picture of `frames[i]` (outputs run one field late: the first
    // output of a frame is made around the previous one of the same type) in rows at the
    // output pitch, guard bytes after it.
    const auto expectOutputs = [&](std::vector<int> frames, LONG pitch, LONG width, LONG height) {
      const auto samples = sink_->Samples();
      if (filter_->MmxPath()) frames.resize(1);
      ASSERT_EQ(samples.size(), frames.size());
      for (size_t k = 0; k < samples.size(); ++k) {
        const ReceivedSample& s = samples[k];
        const int frame = frames[k];
        ASSERT_EQ(s.actualLength, 2 * pitch * height) << frame;
        ASSERT_EQ(s.data.size(), static_cast<size_t>(s.size));
        for (LONG y = 0; y < height; ++y) {
          for (LONG b = 0; b < 2 * width; ++b) {
            ASSERT_EQ(s.data[static_cast<size_t>(2 * pitch * y + b)], ColumnByte(b, frame))
                << "frame " << frame << " row " << y << " byte " << b;
          }
        }
        for (size_t i = static_cast<size_t>(s.actualLength); i < s.data.size(); ++i) {
          ASSERT_EQ(s.data[i], kGuard) << "frame " << frame << " byte " << i;
        }
      }
    };

    ASSERT_EQ(Push(Columns(before->biWidth, before->biHeight, 0)), S_OK);
    expectOutputs({0, 0}, before->biWidth, before->biWidth, before->biHeight);
    sink_->ClearRecords();
    ASSERT_EQ(Push(Columns(after->biWidth, after->biHeight, 1), kFrame, 2 * kFrame, -1, &c.changed), c.result);

    if (c.result != S_OK) {
      EXPECT_EQ(sink_->SampleCount(), 0u);
      const auto events = graph_->Events();
      EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const GraphEvent& e) { return e.code == EC_ERRORABORT; }));
      EXPECT_TRUE(filter_->GetPin(0)->CurrentMediaType() == c.connected);
      EXPECT_TRUE(filter_->GetPin(1)->CurrentMediaType() == connectedOutput);
      EXPECT_EQ(filter_->OwnDescriptor().GetHeight(), before->biHeight);
      TearDown();
      graph_ = nullptr;
      continue;
    }
    expectOutputs({1, 1}, c.pitch, c.width, c.height);  // the history starts afresh
    const auto changed = sink_->Samples();
    ASSERT_TRUE(changed[0].type) << "the new output type travels with the first output";
    for (size_t i = 1; i < changed.size(); ++i) EXPECT_FALSE(changed[i].type) << i;
    const CMediaType& sent = *changed[0].type;
    EXPECT_TRUE(filter_->GetPin(1)->CurrentMediaType() == sent);
    EXPECT_EQ(*sent.Subtype(), MEDIASUBTYPE_YUY2);
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&sent);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->biWidth, c.pitch);
    EXPECT_EQ(std::abs(header->biHeight), c.height);
    const RECT& target = reinterpret_cast<const RECT*>(sent.Format())[1];
    EXPECT_EQ(IsRectEmpty(&target) ? c.pitch : target.right - target.left, c.width);
    if (*c.changed.FormatType() == FORMAT_VideoInfo2) {
      // A copy of the input type, progressive, at twice the frame rate.
      ASSERT_EQ(*sent.FormatType(), FORMAT_VideoInfo2);
      const auto* info = reinterpret_cast<const VIDEOINFOHEADER2*>(sent.Format());
      EXPECT_EQ(info->dwInterlaceFlags, 0u);
      EXPECT_EQ(info->AvgTimePerFrame,
                reinterpret_cast<const VIDEOINFOHEADER2*>(c.changed.Format())->AvgTimePerFrame / 2);
    }
    sink_->ClearRecords();
    ASSERT_EQ(Push(Columns(after->biWidth, after->biHeight, 2), 2 * kFrame, 3 * kFrame), S_OK);
    expectOutputs({1, 2}, c.pitch, c.width, c.height);
    for (const ReceivedSample& s : sink_->Samples()) EXPECT_FALSE(s.type);
    TearDown();
    graph_ = nullptr;
  }
}

// A probe answers only. Each case connects at 720x480, probes one pin (the input with a type of
// another height, the output with the filter's own padded offer, a 2048-pitch type of the same
// picture and an enumeration of the offers), stopped or while streaming, then streams: the
// outputs are those of the same filter never probed, in count, length and bytes.
TEST_F(TeskGraph, AProbeChangesNothingThatIsStreamed) {
  struct Output {
    LONG length;
    std::vector<BYTE> data;
  };
  struct Case {
    bool planar;
    int pin;  // 0 input, 1 output, -1 no probe (the reference)
    bool streaming;
  };
  const auto probe = [&](const Case& c) {
    IPin* pin = filter_->GetPin(c.pin);
    if (c.pin == 0) {
      const CMediaType other = c.planar ? MakeFieldVideoType(kWidth, 576) : MakeVideoType(kWidth, 576);
      pin->QueryAccept(&other);
      return;
    }
    CMediaType padded;
    ASSERT_EQ(filter_->GetMediaType(1, &padded), S_OK);
    ASSERT_EQ(GetBitmapInfoHeader(&padded)->biWidth, 768);
    EXPECT_EQ(pin->QueryAccept(&padded), S_OK);
    CMediaType wide = padded;
    GetBitmapInfoHeader(&wide)->biWidth = 2048;
    pin->QueryAccept(&wide);
    IEnumMediaTypes* types = nullptr;
    ASSERT_EQ(pin->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* type = nullptr;
    while (types->Next(1, &type, nullptr) == S_OK) DeleteMediaType(type);
    types->Release();
  };
  const auto run = [&](const Case& c) {
    std::vector<Output> outputs;
    Build(c.planar ? MakeFieldVideoType(kWidth, kHeight) : MakeVideoType(kWidth, kHeight));
    Set(params::kDeintermode, 1);
    Set(params::kSharpness, 0);
    Set(params::kContrast, 0);
    if (c.pin >= 0 && !c.streaming) probe(c);
    Pause();
    for (int frame = 0; frame < 3; ++frame) {
      if (c.pin >= 0 && c.streaming && frame == 1) probe(c);
      EXPECT_EQ(Push([&](BYTE* data, long size) {
                  for (long i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 7 + frame * 29 + i / 1440);
                  if (c.planar) std::memset(data, 0, sizeof(field_video::FieldFrameHeader));
                },
                     frame * kFrame, (frame + 1) * kFrame),
                S_OK);
    }
    for (const ReceivedSample& s : sink_->Samples()) {
      const size_t used = std::min(static_cast<size_t>(std::max<LONG>(s.actualLength, 0)), s.data.size());
      outputs.push_back({s.actualLength, std::vector<BYTE>(s.data.begin(), s.data.begin() + static_cast<std::ptrdiff_t>(used))});
    }
    TearDown();
    graph_ = nullptr;
    return outputs;
  };
  sinkSetup_ = [](RecordingSink* sink) { sink->SetGuard(0xE5); };
  for (bool planar : {false, true}) {
    const std::vector<Output> reference = run({planar, -1, false});
    ASSERT_FALSE(reference.empty());
    for (int pin : {0, 1}) {
      for (bool streaming : {false, true}) {
        SCOPED_TRACE(::testing::Message() << (planar ? "planar" : "packed") << " pin " << pin
                                          << (streaming ? " streaming" : " stopped"));
        const std::vector<Output> outputs = run({planar, pin, streaming});
        EXPECT_EQ(outputs.size(), reference.size());
        if (outputs.size() != reference.size()) continue;
        for (size_t i = 0; i < outputs.size(); ++i) {
          EXPECT_EQ(outputs[i].length, reference[i].length) << i;
          EXPECT_TRUE(outputs[i].data == reference[i].data) << "output " << i << " differs";
        }
      }
    }
  }
}

// Outputs per input with "Qfa Deinterlace Single Field" 0, 1 and 2 on the path of two outputs
// per input and on the two paths of one (the MMX path, the DVD bypass of progressive input):
// there 2 gives the one output as 1 does, spanning the whole input.
TEST_F(TeskGraph, SingleFieldOnEveryPath) {
  const REFERENCE_TIME mid = kFrame / 2;
  using Times = std::vector<std::pair<REFERENCE_TIME, REFERENCE_TIME>>;
  const Times both = {{0, mid}, {mid, kFrame}}, whole = {{0, kFrame}}, second = {{mid, kFrame}};
  struct Case {
    const char* path;
    CMediaType type;
    std::uint32_t mask;
    Times times[3];  // single field 0, 1, 2
  };
  const Case cases[] = {
      {"two outputs", InterlacedType(AMINTERLACE_IsInterlaced), kCpuMmx | kCpuSseInteger | kCpuSse2,
       {both, whole, second}},
      {"mmx", InterlacedType(AMINTERLACE_IsInterlaced), kCpuMmx, {whole, whole, whole}},
      {"bypass", InterlacedType(0), kCpuMmx | kCpuSseInteger | kCpuSse2, {whole, whole, whole}},
  };
  for (const Case& c : cases) {
    Build(c.type, c.mask);
    Pause();
    for (int single = 0; single < 3; ++single) {
      SCOPED_TRACE(::testing::Message() << c.path << ", single field " << single);
      Set(params::kSingleField, single);
      sink_->ClearRecords();
      ASSERT_EQ(Push(Fields(50, 60)), S_OK);
      const auto samples = sink_->Samples();
      ASSERT_EQ(samples.size(), c.times[single].size());
      for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].start, c.times[single][i].first);
        EXPECT_EQ(samples[i].stop, c.times[single][i].second);
      }
    }
    TearDown();
    graph_ = nullptr;
  }
}

// The field order the filter starts with, from the connected type: the field formats' own
// order, the interlace flags, else the frame time.
TEST_F(TeskGraph, InitialFieldOrderFromTheConnectedType) {
  struct Case {
    CMediaType type;
    bool bottomFirst;
  };
  std::vector<Case> cases = {{MakeFieldVideoType(kWidth, kHeight), true},
                             {MakeFieldVideoType(kWidth, 576, true), false},
                             {InterlacedType(AMINTERLACE_IsInterlaced), true},
                             {InterlacedType(AMINTERLACE_IsInterlaced | AMINTERLACE_Field1First), false}};
  for (REFERENCE_TIME frame : {400000, 200000, 333667, 300000, 166833, 150000, 417083}) {
    const bool bottom = frame != 400000 && frame != 200000 && frame != 417083;
    cases.push_back({MakeVideoType(kWidth, kHeight, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, frame), bottom});
    cases.push_back({MakeVideoType(kWidth, kHeight, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, frame), bottom});
  }
  for (const Case& c : cases) {
    Build(c.type);
    EXPECT_EQ(filter_->BottomFirst(), c.bottomFirst)
        << (*c.type.FormatType() == FORMAT_VideoInfo ? "VideoInfo " : "other ")
        << reinterpret_cast<const VIDEOINFOHEADER*>(c.type.Format())->AvgTimePerFrame;
    TearDown();
    graph_ = nullptr;
  }
}

// Progressive VideoInfo2 input turns the DVD bypass on at the first connection: the output
// type carries the input's frame time, as the one output per input spans it.
TEST_F(TeskGraph, TheBypassOutputTypeHasTheInputsFrameTime) {
  Build(InterlacedType(0), kCpuMmx | kCpuSseInteger | kCpuSse2);
  const auto* out = reinterpret_cast<const VIDEOINFOHEADER2*>(filter_->GetPin(1)->CurrentMediaType().Format());
  EXPECT_EQ(out->AvgTimePerFrame, kFrame);
  Pause();
  for (int frame = 0; frame < 2; ++frame) {
    sink_->ClearRecords();
    ASSERT_EQ(Push(Fields(50, 60), frame * kFrame, (frame + 1) * kFrame), S_OK);
    const auto samples = sink_->Samples();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].start, frame * kFrame);
    EXPECT_EQ(samples[0].stop, (frame + 1) * kFrame);
  }
}

TEST_F(TeskGraph, FrameDropAgainstTheClock) {
  Build(MakeVideoType(kWidth, kHeight));
  ManualClock* clock = ManualClock::Create(0);
  ASSERT_EQ(static_cast<IBaseFilter*>(filter_)->SetSyncSource(clock), S_OK);
  Pause();
  ASSERT_EQ(static_cast<IBaseFilter*>(filter_)->Run(0), S_OK);
  Set(params::kFrameDrop, 1);
  Set(params::kFrameDropTime, 20);
  struct Case {
    REFERENCE_TIME now;
    size_t outputs;
  };
  for (const Case& c : {Case{199000, 2}, Case{200000, 1}, Case{359999, 1}, Case{360000, 0}}) {
    clock->SetTime(c.now);
    sink_->ClearRecords();
    ASSERT_EQ(Push(Fields(50, 60)), S_OK);
    EXPECT_EQ(sink_->SampleCount(), c.outputs) << c.now;
  }
  // With "Single Field" 2 only the second output is made, in time or not for the first.
  Set(params::kSingleField, 2);
  for (const Case& c : {Case{0, 1}, Case{200000, 1}, Case{360000, 0}}) {
    clock->SetTime(c.now);
    sink_->ClearRecords();
    ASSERT_EQ(Push(Fields(50, 60)), S_OK);
    const auto samples = sink_->Samples();
    ASSERT_EQ(samples.size(), c.outputs) << c.now;
    if (!samples.empty()) {
      EXPECT_EQ(std::make_pair(samples[0].start, samples[0].stop), std::make_pair(kFrame / 2, kFrame));
    }
  }
  Set(params::kSingleField, 0);
  static_cast<IBaseFilter*>(filter_)->SetSyncSource(nullptr);
  clock->Release();
}

TEST_F(TeskGraph, BlackoutCaptureAndSamplesReturnedOnFlushAndStop) {
  Build(MakeVideoType(kWidth, kHeight));
  Pause();
  IVideoBlackout* blackout = nullptr;
  IFrameCapture* capture = nullptr;
  ASSERT_EQ(filter_->GetOwner()->QueryInterface(IID_IVideoBlackout, reinterpret_cast<void**>(&blackout)), S_OK);
  ASSERT_EQ(filter_->GetOwner()->QueryInterface(IID_IFrameCapture, reinterpret_cast<void**>(&capture)), S_OK);
  ASSERT_EQ(blackout->SetBlackout(1), S_OK);
  ASSERT_EQ(Push(Fields(200, 200)), S_OK);
  ASSERT_EQ(sink_->SampleCount(), 2u);
  EXPECT_EQ(sink_->Samples()[0].firstByte, 0x00);  // 0x80008000: luma 0
  LONG w = 0, h = 0, size = 0;
  ASSERT_EQ(capture->GetFrameInfo(&w, &h, &size), S_OK);
  EXPECT_EQ(size, 2 * kWidth * kHeight);
  EXPECT_FALSE(AllReturned());

  // A flush and a stop forget every held sample (the next push fills the history afresh).
  ASSERT_EQ(filter_->GetPin(0)->BeginFlush(), S_OK);
  ASSERT_EQ(filter_->GetPin(0)->EndFlush(), S_OK);
  EXPECT_TRUE(AllReturned());
  EXPECT_EQ(capture->GetFrameInfo(&w, &h, &size), E_FAIL);
  ASSERT_EQ(blackout->SetBlackout(0), S_OK);
  ASSERT_EQ(Push(Fields(200, 200)), S_OK);
  EXPECT_FALSE(AllReturned());
  static_cast<IBaseFilter*>(filter_)->Stop();
  EXPECT_TRUE(AllReturned());
  blackout->Release();
  capture->Release();
}

TEST_F(TeskGraph, MenuRectanglesAreDrawnOnlyOffTheMmxPath) {
  for (std::uint32_t mask : {std::uint32_t{kCpuMmx | kCpuSseInteger | kCpuSse2}, std::uint32_t{kCpuMmx}}) {
    Build(MakeVideoType(kWidth, kHeight), mask);
    IMenuBackground* menu = nullptr;
    ASSERT_EQ(filter_->GetOwner()->QueryInterface(IID_IMenuBackground, reinterpret_cast<void**>(&menu)), S_OK);
    ASSERT_EQ(menu->SetCount(1), S_OK);
    ASSERT_EQ(menu->SetRect(0, 0, 0, kWidth, kHeight, 0xFF000000), S_OK);  // weight 1: black
    ASSERT_EQ(menu->Fade(0, 1, 0), S_OK);
    menu->Release();
    Pause();
    ASSERT_EQ(Push(Fields(200, 200)), S_OK);
    ASSERT_FALSE(sink_->Samples().empty());
    EXPECT_EQ(sink_->Samples()[0].firstByte, filter_->MmxPath() ? 200 : 0) << mask;
    TearDown();
    graph_ = nullptr;
  }
}

TEST_F(TeskGraph, TheInputNeedsThreeBuffers) {
  Build(MakeVideoType(kWidth, kHeight));
  HRESULT hr = S_OK;
  CUnknown* object = CMemAllocator::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  IMemAllocator* two = nullptr;
  ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&two)), S_OK);
  ALLOCATOR_PROPERTIES request{2, 1024, 1, 0}, actual{};
  ASSERT_EQ(two->SetProperties(&request, &actual), S_OK);
  ASSERT_EQ(two->Commit(), S_OK);  // committed: it cannot grow
  EXPECT_TRUE(FAILED(input_->NotifyAllocator(two, FALSE)));
  two->Decommit();
  ASSERT_EQ(input_->NotifyAllocator(allocator_, FALSE), S_OK);  // four buffers
  ALLOCATOR_PROPERTIES wanted{};
  ASSERT_EQ(input_->GetAllocatorRequirements(&wanted), S_OK);
  EXPECT_EQ(wanted.cBuffers, 3);
  EXPECT_EQ(wanted.cbAlign, 1);  // the kernels take rows at any address
  two->Release();
  object->NonDelegatingRelease();

  // The output buffers: any alignment, no prefix, one picture with its margins and header.
  object = CMemAllocator::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  IMemAllocator* output = nullptr;
  ASSERT_EQ(object->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&output)), S_OK);
  ALLOCATOR_PROPERTIES asked{};
  ASSERT_EQ(filter_->DecideBufferSize(output, &asked), S_OK);
  EXPECT_EQ(asked.cbAlign, 1);
  EXPECT_EQ(asked.cbPrefix, 0);
  EXPECT_EQ(asked.cbBuffer, ((kWidth / 64) * 64 + 64) * 16 * (kHeight + 8) / 8 + 48);
  output->Release();
  object->NonDelegatingRelease();
}

TEST_F(TeskGraph, ControlInterfaces) {
  ExpectAggregates(&TeskFilter::CreateInstance);
  Build(InterlacedType(0));
  IUnknown* owner = filter_->GetOwner();
  ITeskControl* control = nullptr;
  IPlanarFieldOrder* order = nullptr;
  ITeskSettings* settings = nullptr;
  ASSERT_EQ(owner->QueryInterface(IID_ITeskControl, reinterpret_cast<void**>(&control)), S_OK);
  ASSERT_EQ(owner->QueryInterface(IID_IPlanarFieldOrder, reinterpret_cast<void**>(&order)), S_OK);
  ASSERT_EQ(owner->QueryInterface(IID_ITeskSettings, reinterpret_cast<void**>(&settings)), S_OK);
  ExpectSameIdentity(control, owner);
  ExpectSameIdentity(order, owner);
  EXPECT_EQ(control->GetFieldOrder(nullptr), S_OK);
  EXPECT_EQ(control->GetDeinterlaceMode(nullptr), E_POINTER);
  LONG value = -1;
  // A progressive VideoInfo2 input: the DVD bypass holds mode 0 and will give the mode back.
  ASSERT_EQ(control->GetDeinterlaceMode(&value), S_OK);
  EXPECT_EQ(value, filter_->MmxPath() ? 7 : 0);
  CMediaType interlaced = InterlacedType(AMINTERLACE_IsInterlaced);
  CMediaType out = filter_->GetPin(1)->CurrentMediaType();
  ASSERT_EQ(filter_->CheckTransform(&interlaced, &out), S_OK);
  control->GetDeinterlaceMode(&value);
  EXPECT_EQ(value, filter_->MmxPath() ? 7 : 0);  // a check takes nothing
  Pause();
  ASSERT_EQ(Push(Fields(50, 60), 0, kFrame, -1, &interlaced), S_OK);  // a sample carries it
  control->GetDeinterlaceMode(&value);
  EXPECT_EQ(value, filter_->MmxPath() ? 9 : 4);  // given back
  control->SetDeinterlaceMode(filter_->MmxPath() ? 2 : 7);
  control->GetDeinterlaceMode(&value);
  EXPECT_EQ(value, filter_->MmxPath() ? 7 : 4);
  ASSERT_EQ(order->SetFieldOrder(5), S_OK);
  ASSERT_EQ(order->GetFieldOrder(&value), S_OK);
  EXPECT_EQ(value, 1);
  order->SetFieldOrder(0);
  EXPECT_EQ(filter_->Table().GetByName(params::kFirstField), 0);
  EXPECT_EQ(order->GetFieldOrder(nullptr), E_POINTER);
  ParameterTableLayout* table = nullptr;
  ASSERT_EQ(settings->GetParameterTable(&table), S_OK);
  EXPECT_EQ(table, filter_->Table().Raw());
  const int count = filter_->Table().Count();
  ASSERT_EQ(settings->LoadParameters(), S_OK);  // again: nothing registered twice
  EXPECT_EQ(filter_->Table().Count(), count);
  void* processor = nullptr;
  ASSERT_EQ(settings->GetProcessor(GUID_NULL, &processor), S_OK);
  EXPECT_EQ(static_cast<FrameProcessor*>(processor)->GetParameterTable(), &filter_->Table());
  for (const IID& iid : {IID_IMenuBackground, IID_IMenuBackgroundScaled, IID_IFrameCapture, IID_IVideoBlackout}) {
    IUnknown* part = nullptr;
    ASSERT_EQ(owner->QueryInterface(iid, reinterpret_cast<void**>(&part)), S_OK);
    ExpectSameIdentity(part, owner);
    part->Release();
  }
  control->Release();
  order->Release();
  settings->Release();
}

}  // namespace
}  // namespace deinterlace

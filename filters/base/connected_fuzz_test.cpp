// The connected half of every filter module under the mutation driver. Each filter is loaded
// from its file and connected in a stub graph between the test kit's source and recording sink,
// paused, and then handed what an upstream or downstream peer could send:
//   - types: QueryAccept on its connected input and output pins (so the transform checks run),
//     and types carried on samples (AM_SAMPLE_TYPECHANGED) into Receive, the format block ending
//     at a no-access page, the frame after it of the connected shape;
//   - payloads: samples of the connected type whose bytes (headers, records, frames) are
//     mutated, cut short or grown, and whose actual length may lie about the buffer, the buffer
//     ending at a no-access page.
// Nothing may fault or hang; pins answer S_OK or S_FALSE; a sample delivered downstream keeps its
// actual length within its buffer; every reference taken on a sample is given back once the
// filter stops; and after each input the stream goes on or stops cleanly (a frame of the
// connected type is taken without a fault). Between inputs the filter is stopped and, when a type
// change was taken, connected again as it was, so each input fails alone.
#include <gtest/gtest.h>

#include "common/dshow.h"

#include <mmreg.h>
#include <wrl/client.h>

#include <cctype>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "common/testing/com_module.h"
#include "common/testing/fuzz_driver.h"
#include "filters/base/testkit/field_frame_builder.h"
#include "filters/base/testkit/fuzz_media_type.h"
#include "filters/base/testkit/graph_helpers.h"
#include "filters/base/testkit/guarded_sample.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/convert/tiled_kernels.h"
#include "filters/include/field_video.h"
#include "filters/include/filter_interfaces.h"

using Microsoft::WRL::ComPtr;
using namespace graph_testkit;

namespace {

CMediaType PcmType() {
  CMediaType type(&MEDIATYPE_Audio);
  type.SetSubtype(&MEDIASUBTYPE_PCM);
  type.SetFormatType(&FORMAT_WaveFormatEx);
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  type.SetFormat(reinterpret_cast<BYTE*>(&pcm), sizeof(pcm));
  type.SetSampleSize(4);
  return type;
}

CMediaType SmallFields() { return MakeFieldVideoType(352, 48); }
// The converter reads frames of its output's geometry (720 wide), whatever the input's.
CMediaType Tiled() {
  CMediaType type = MakeVideoType(720, 480, MEDIASUBTYPE_Tiled420);
  type.SetSampleSize(static_cast<ULONG>(convert::TiledFrameBytes(720, 480)));
  return type;
}
CMediaType SmallYuy2() { return MakeVideoType(64, 32); }

// Frames of the connected shape: field-planar with each header flag, or bytes of the type's size.
std::vector<fuzzing::Bytes> FieldFrames() {
  std::vector<fuzzing::Bytes> frames;
  for (std::uint32_t flags : {0u, field_video::kFrameFill, field_video::kFrameBlack, 0x10000000u}) {
    FieldPlanarFrameBuilder frame(352, 48);
    frame.Fill([](int x, int y) { return static_cast<std::uint8_t>(x + y); }, [](int, int) { return 128; },
               [](int x, int) { return static_cast<std::uint8_t>(x); });
    frame.Header().FrameFlags = flags;
    frame.Header().fillPattern = 0x80108010;
    frame.Header().duration = field_video::kFrameTimeNtsc;
    frames.push_back(frame.Bytes());
  }
  return frames;
}
std::vector<fuzzing::Bytes> PlainFrames(std::size_t bytes) {
  fuzzing::Bytes frame(bytes);
  for (std::size_t i = 0; i < bytes; ++i) frame[i] = static_cast<std::uint8_t>(i * 7);
  return {frame};
}
std::vector<fuzzing::Bytes> CaptionRecords() {
  std::vector<fuzzing::Bytes> records;
  for (std::uint32_t channel : {1u, 2u, 3u}) {
    fuzzing::Bytes record(160, 0);
    fuzzing::WriteLe(record.data() + 128, 4, channel);
    record[144] = 0x94;
    record[145] = 0x2C;
    records.push_back(record);
  }
  return records;
}

struct Row {
  const wchar_t* file;
  const wchar_t* name;
  CLSID clsid;
  CMediaType (*connection)();
  std::vector<fuzzing::Bytes> (*frames)();  // null: the filter is asked about types only
  unsigned typeRuns;
  unsigned payloadRuns;
};

const Row kRows[] = {
    {L"deinterlace\\QfaTesk.ax", L"deinterlacer", {0xb03c30d4, 0x2ddb, 0x44ec, {0x92, 0x75, 0xac, 0xd2, 0x80, 0x02, 0x92, 0x52}},
     SmallFields, FieldFrames, 300, 300},
    {L"deinterlace\\QfaTesk.ax", L"deinterlacer rv30", {0xb59a5c61, 0x1218, 0x471e, {0x9f, 0xe1, 0x06, 0xa2, 0xf1, 0xeb, 0x0b, 0x3b}},
     SmallFields, FieldFrames, 200, 200},
    {L"QfaCfc.ax", L"colour converter", {0x733e10d7, 0x459f, 0x44ab, {0x86, 0x12, 0x53, 0x06, 0xf2, 0xbe, 0xb2, 0x6b}},
     Tiled, [] { return PlainFrames(convert::TiledFrameBytes(720, 480)); }, 300, 300},
    {L"PlanarPack.ax", L"planar packer", {0x33b30828, 0x7ad6, 0x4db1, {0xa6, 0x81, 0x02, 0xc2, 0x3c, 0x4e, 0x79, 0x0a}},
     SmallFields, FieldFrames, 300, 300},
    {L"CcRelay.ax", L"caption relay", {0x98e948bb, 0x8f1c, 0x4683, {0x80, 0xff, 0x78, 0xd9, 0x50, 0x48, 0x5e, 0x38}},
     MakeVbiType, CaptionRecords, 300, 300},
    {L"VideoPacer.ax", L"video pacer", {0x2663bfad, 0xb808, 0x441b, {0xa4, 0x66, 0x1b, 0xb4, 0x78, 0x15, 0x49, 0xe4}},
     SmallYuy2, nullptr, 300, 0},
    {L"AudioPacer.ax", L"audio pacer", {0x6d1be6b6, 0xda87, 0x47cb, {0xb5, 0x2c, 0x16, 0xa1, 0x58, 0x44, 0xd4, 0xbb}},
     PcmType, nullptr, 300, 0},
};

void PrintTo(const Row& row, std::ostream* out) {
  for (const wchar_t* c = row.name; *c; ++c) *out << static_cast<char>(*c);
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += std::isalnum(*text) ? static_cast<char>(*text) : '_';
  return out;
}

// What `sink` got that breaks the rules (an actual length outside the buffer), or empty; the
// records are counted into `delivered`.
std::string CheckRecords(const RecordingSink& sink, std::size_t* delivered) {
  const std::vector<ReceivedSample> samples = sink.Samples();
  *delivered += samples.size();
  for (const ReceivedSample& s : samples) {
    if (s.actualLength < 0 || s.actualLength > s.size)
      return "delivered " + std::to_string(s.actualLength) + " bytes in a buffer of " + std::to_string(s.size);
  }
  return {};
}

// The filter of a row between the source and the sink, paused.
class Chain {
 public:
  explicit Chain(const Row& row) : row_(row), connection_(row.connection()) {}
  ~Chain() { TearDown(); }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

  ::testing::AssertionResult Build(const testing_support::ComModule& library) {
    library_ = &library;
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create({connection_});
    sink_ = RecordingSink::Create();
    HRESULT hr = library.Create(row_.clsid, IID_IBaseFilter, reinterpret_cast<void**>(filter_.GetAddressOf()));
    if (hr != S_OK) return ::testing::AssertionFailure() << "create " << std::hex << hr;
    input_.Attach(FirstPin(filter_.Get(), PINDIR_INPUT));
    output_.Attach(FirstPin(filter_.Get(), PINDIR_OUTPUT));
    if (!input_ || !output_) return ::testing::AssertionFailure() << "pins";
    graph_->AddFilter(source_, L"source");
    graph_->AddFilter(filter_.Get(), L"filter");
    graph_->AddFilter(sink_, L"sink");
    hr = Connect();
    if (hr != S_OK) return ::testing::AssertionFailure() << "connect " << std::hex << hr;
    AM_MEDIA_TYPE out{};
    if (output_->ConnectionMediaType(&out) != S_OK) return ::testing::AssertionFailure() << "no output type";
    outputType_ = out;
    FreeMediaType(out);
    if (input_.As(&memInput_) != S_OK) return ::testing::AssertionFailure() << "no IMemInputPin";
    hr = Pause();
    if (hr != S_OK) return ::testing::AssertionFailure() << "pause " << std::hex << hr;
    return ::testing::AssertionSuccess();
  }

  IPin* Input() const { return input_.Get(); }
  IPin* Output() const { return output_.Get(); }
  const CMediaType& Connection() const { return connection_; }
  const CMediaType& OutputType() const { return outputType_; }
  // Samples the sink got in all.
  std::size_t Delivered() const { return delivered_; }

  HRESULT Receive(GuardedSample* sample) { return memInput_->Receive(sample); }

  // What the sink got since the last reset that breaks the rules, or empty.
  std::string CheckDelivered() { return CheckRecords(*sink_, &delivered_); }

  // Stopped, connected as at first, paused again.
  std::string Reset() {
    Stop();
    sink_->ClearRecords();
    if (!Connected(input_.Get(), connection_) || !Connected(output_.Get(), outputType_)) {
      // A type change was taken: a new filter, since a filter may keep what a type set (a
      // bypass, a field order) across connections.
      const CMediaType first = outputType_;
      TearDown();
      const ::testing::AssertionResult built = Build(*library_);
      if (!built) return std::string("building again: ") + built.message();
      if (outputType_ != first) return "connected again with another output type";
      return {};
    }
    const HRESULT hr = Pause();
    return hr == S_OK ? std::string() : "pausing again: " + std::to_string(hr);
  }

  void Stop() {
    sink_->Stop();
    filter_->Stop();
    source_->Stop();
  }

 private:
  HRESULT Connect() {
    HRESULT hr = graph_->ConnectDirect(source_->OutputPin(), input_.Get(), &connection_);
    if (hr == S_OK) hr = graph_->ConnectDirect(output_.Get(), sink_->InputPin(), nullptr);
    return hr;
  }
  HRESULT Pause() {
    HRESULT hr = sink_->Pause();
    if (SUCCEEDED(hr)) hr = filter_->Pause();
    if (SUCCEEDED(hr)) hr = source_->Pause();
    return SUCCEEDED(hr) ? S_OK : hr;
  }
  static bool Connected(IPin* pin, const CMediaType& expected) {
    AM_MEDIA_TYPE type{};
    if (pin->ConnectionMediaType(&type) != S_OK) return false;
    const bool same = CMediaType(type) == expected;
    FreeMediaType(type);
    return same;
  }
  void TearDown() {
    if (!graph_) return;
    if (filter_) {
      Stop();
      graph_->Disconnect(output_.Get());
      graph_->Disconnect(sink_->InputPin());
      graph_->Disconnect(input_.Get());
      graph_->Disconnect(source_->OutputPin());
      graph_->RemoveFilter(filter_.Get());
    }
    graph_->RemoveFilter(source_);
    graph_->RemoveFilter(sink_);
    memInput_.Reset();
    input_.Reset();
    output_.Reset();
    filter_.Reset();
    sink_->Release();
    source_->Release();
    graph_->Release();
    graph_ = nullptr;
  }

  const Row& row_;
  const testing_support::ComModule* library_ = nullptr;
  const CMediaType connection_;
  CMediaType outputType_;
  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  RecordingSink* sink_ = nullptr;
  ComPtr<IBaseFilter> filter_;
  ComPtr<IPin> input_;
  ComPtr<IPin> output_;
  ComPtr<IMemInputPin> memInput_;
  std::size_t delivered_ = 0;
};

// A sample of our own on the heap: a filter may keep it past Receive (until it stops).
struct SampleHolder {
  GuardedSample* sample = new GuardedSample;
  SampleHolder() { sample->AddRef(); }
  ~SampleHolder() {
    if (sample->Release() == 0) delete sample;
    // else: the filter keeps a reference the check has already reported (the sample leaks).
  }
};

bool AcceptableAnswer(HRESULT hr, const AM_MEDIA_TYPE& type) {
  return hr == S_OK || hr == S_FALSE || (hr == E_POINTER && !type.pbFormat) || hr == E_OUTOFMEMORY;
}

// One hostile sample, then a frame of the connected shape straight after it (the stream goes
// on or has stopped cleanly: any answer, no fault), then the chain stopped and reset. The
// failure, or empty.
std::string Deliver(Chain& chain, const std::uint8_t* payload, std::size_t size, LONG actual,
                    const AM_MEDIA_TYPE* carried, const fuzzing::Bytes& next) {
  SampleHolder hostile, following;
  hostile.sample->SetPayload(payload, size, actual);
  hostile.sample->SetCarriedType(carried);
  following.sample->SetPayload(next.data(), next.size(), static_cast<LONG>(next.size()));
  chain.Receive(hostile.sample);  // any answer: a refusal ends the stream, which Reset restarts
  chain.Receive(following.sample);
  std::string failure = chain.CheckDelivered();
  chain.Stop();
  for (const SampleHolder* holder : {&hostile, &following}) {
    if (failure.empty() && holder->sample->References() != 1)
      failure = "the stopped filter holds " + std::to_string(holder->sample->References() - 1) + " references on a sample";
  }
  if (failure.empty()) failure = chain.Reset();
  return failure;
}

class ConnectedFuzz : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    com_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    library_ = std::make_unique<testing_support::ComModule>(GetParam().file);
    ASSERT_TRUE(library_->valid()) << GetLastError();
  }
  void TearDown() override {
    library_.reset();
    if (SUCCEEDED(com_)) CoUninitialize();
  }
  HRESULT com_ = E_FAIL;
  std::unique_ptr<testing_support::ComModule> library_;
};

// Input: the probe (0 input pin's QueryAccept, 1 output pin's, 2 a sample carrying the type),
// then the type.
TEST_P(ConnectedFuzz, TypesOnConnectedPinsAndOnSamples) {
  const Row& row = GetParam();
  Chain chain(row);
  ASSERT_TRUE(chain.Build(*library_));
  const std::vector<fuzzing::Bytes> frames = row.frames ? row.frames() : std::vector<fuzzing::Bytes>{};
  const unsigned probes = row.frames ? 3 : 2;

  fuzzing::Target target;
  const std::string name = "connected_type_" + Narrow(row.name);
  target.name = name.c_str();
  std::vector<fuzzing::Bytes> types = FuzzTypeSeeds();
  types.push_back(EncodeFuzzType(chain.Connection()));
  types.push_back(EncodeFuzzType(chain.OutputType()));
  for (unsigned probe = 0; probe < probes; ++probe) {
    for (const fuzzing::Bytes& type : types) {
      fuzzing::Bytes seed{static_cast<std::uint8_t>(probe)};
      seed.insert(seed.end(), type.begin(), type.end());
      target.seeds.push_back(seed);
    }
  }
  target.sizeFields = [](const fuzzing::Bytes& input) { return FuzzTypeSizeFields(input, 1); };
  target.maxSize = 512;
  target.defaultRuns = row.typeRuns;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    AM_MEDIA_TYPE type{};
    if (size < 1 || !DecodeFuzzType(data + 1, size - 1, &type)) return {};
    const unsigned probe = data[0] % probes;
    if (probe < 2) {
      const HRESULT hr = (probe == 0 ? chain.Input() : chain.Output())->QueryAccept(&type);
      if (!AcceptableAnswer(hr, type)) return (probe == 0 ? "input" : "output") + std::string(" pin answered ") + std::to_string(hr);
      return {};
    }
    const fuzzing::Bytes& frame = frames[data[0] / probes % frames.size()];
    return Deliver(chain, frame.data(), frame.size(), static_cast<LONG>(frame.size()), &type, frames.front());
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  if (row.frames) {
    EXPECT_GT(chain.Delivered(), 0u) << "no frame came through";
  }
}

// Input: a payload (EncodeFuzzPayload: how the actual length is told, a value, the bytes).
// The filters that take samples here (the pacers are asked about types only).
class ConnectedStreamFuzz : public ConnectedFuzz {};

TEST_P(ConnectedStreamFuzz, SamplePayloads) {
  const Row& row = GetParam();
  Chain chain(row);
  ASSERT_TRUE(chain.Build(*library_));
  const std::vector<fuzzing::Bytes> frames = row.frames();

  fuzzing::Target target;
  const std::string name = "connected_payload_" + Narrow(row.name);
  target.name = name.c_str();
  for (const fuzzing::Bytes& frame : frames) target.seeds.push_back(EncodeFuzzPayload(frame));
  target.sizeFields = [](const fuzzing::Bytes&) {
    // The lengths, the header's flags and fill pattern, a caption record's channel.
    constexpr std::size_t at = kFuzzPayloadPrefix;
    return std::vector<fuzzing::SizeField>{{1, 4}, {at, 4}, {at + 4, 4}, {at + 128, 4}};
  };
  target.maxSize = kFuzzPayloadPrefix + frames.front().size() + 4096;
  target.defaultRuns = row.payloadRuns;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    FuzzPayload payload{};
    if (!DecodeFuzzPayload(data, size, &payload)) return {};
    return Deliver(chain, payload.data, payload.size, payload.actual, nullptr, frames.front());
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(chain.Delivered(), 0u) << "no frame came through";
}

// A sample whose actual length claims more than its buffer holds (here one byte claiming a whole
// frame) is refused as it arrives, before a filter reads the length.
TEST_P(ConnectedStreamFuzz, ASampleLongerThanItsBufferIsRefused) {
  const Row& row = GetParam();
  Chain chain(row);
  ASSERT_TRUE(chain.Build(*library_));
  const fuzzing::Bytes frame = row.frames().front();
  for (const LONG actual : {static_cast<LONG>(frame.size()), 0x02007F00L, -1L}) {
    SampleHolder holder;
    holder.sample->SetPayload(frame.data(), 1, actual);
    EXPECT_EQ(chain.Receive(holder.sample), VFW_E_BUFFER_OVERFLOW) << actual;
    EXPECT_EQ(chain.CheckDelivered(), "");
    EXPECT_EQ(chain.Reset(), "");
  }
}

// ---- The renderer's internal source ------------------------------------------------------------
// Its input is the renderer's: a type through IKelvTransmit::SetMediaType and frames through
// Transmit. Downstream may also attach a type of its own to the buffers it hands out.

const CLSID kSourceClsid = {0x3135a373, 0x075a, 0x44a6, {0xb2, 0xef, 0x5b, 0x27, 0x63, 0x17, 0x6e, 0xcd}};

class SourceChain {
 public:
  ::testing::AssertionResult Build(const testing_support::ComModule& library) {
    graph_ = StubGraph::Create();
    sink_ = RecordingSink::Create();
    sink_->SetAllocator(2, 0);
    HRESULT hr = library.Create(kSourceClsid, IID_IBaseFilter, reinterpret_cast<void**>(filter_.GetAddressOf()));
    if (hr != S_OK) return ::testing::AssertionFailure() << "create " << std::hex << hr;
    output_.Attach(FirstPin(filter_.Get(), PINDIR_OUTPUT));
    if (!output_ || output_.As(&transmit_) != S_OK) return ::testing::AssertionFailure() << "no IKelvTransmit";
    graph_->AddFilter(filter_.Get(), L"source");
    graph_->AddFilter(sink_, L"sink");
    hr = graph_->ConnectDirect(output_.Get(), sink_->InputPin(), nullptr);
    if (hr != S_OK) return ::testing::AssertionFailure() << "connect " << std::hex << hr;
    AM_MEDIA_TYPE type{};
    if (output_->ConnectionMediaType(&type) != S_OK) return ::testing::AssertionFailure() << "no type";
    connection_ = type;
    FreeMediaType(type);
    const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&connection_);
    if (!header) return ::testing::AssertionFailure() << "no bitmap header";
    frame_ = PlainFrames(GetBitmapSize(header)).front();
    if (FAILED(sink_->Pause()) || FAILED(filter_->Pause())) return ::testing::AssertionFailure() << "pause";
    return ::testing::AssertionSuccess();
  }
  ~SourceChain() {
    if (!graph_) return;
    filter_->Stop();
    sink_->Stop();
    graph_->Disconnect(output_.Get());
    graph_->Disconnect(sink_->InputPin());
    graph_->RemoveFilter(filter_.Get());
    graph_->RemoveFilter(sink_);
    transmit_.Reset();
    output_.Reset();
    filter_.Reset();
    sink_->Release();
    graph_->Release();
  }

  IPin* Output() const { return output_.Get(); }
  IKelvTransmit* Transmit() const { return transmit_.Get(); }
  RecordingSink* Sink() const { return sink_; }
  const CMediaType& Connection() const { return connection_; }
  const fuzzing::Bytes& Frame() const { return frame_; }
  std::size_t Delivered() const { return delivered_; }

  // One frame through Transmit; then what the sink got that breaks the rules, or empty.
  std::string Send(const std::uint8_t* data, std::size_t size, LONG actual, const AM_MEDIA_TYPE* carried) {
    SampleHolder holder;
    holder.sample->SetPayload(data, size, actual);
    holder.sample->SetCarriedType(carried);
    transmit_->Transmit(holder.sample);
    if (holder.sample->References() != 1) return "Transmit kept a reference on the renderer's sample";
    std::string failure = CheckRecords(*sink_, &delivered_);
    sink_->ClearRecords();
    return failure;
  }

  // Back to the connection's type, no type on downstream's buffers, and a frame of that shape.
  std::string Reset() {
    sink_->SetAttachType(nullptr);
    const HRESULT hr = transmit_->SetMediaType(&connection_);
    if (hr != S_OK) return "the connection's type refused: " + std::to_string(hr);
    return Send(frame_.data(), frame_.size(), static_cast<LONG>(frame_.size()), nullptr);
  }

 private:
  StubGraph* graph_ = nullptr;
  RecordingSink* sink_ = nullptr;
  ComPtr<IBaseFilter> filter_;
  ComPtr<IPin> output_;
  ComPtr<IKelvTransmit> transmit_;
  CMediaType connection_;
  fuzzing::Bytes frame_;
  std::size_t delivered_ = 0;
};

class SourceFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    com_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    library_ = std::make_unique<testing_support::ComModule>(L"VornVSrc.ax");
    ASSERT_TRUE(library_->valid()) << GetLastError();
    ASSERT_TRUE(chain_.Build(*library_));
  }
  void TearDown() override {
    if (SUCCEEDED(com_)) CoUninitialize();
  }
  HRESULT com_ = E_FAIL;
  std::unique_ptr<testing_support::ComModule> library_;
  SourceChain chain_;
};

// Input: the probe (0 SetMediaType then a frame of the connection's size, 1 QueryAccept on the
// output pin, 2 a frame carrying the type, 3 downstream's buffers carrying it), then the type.
TEST_F(SourceFuzz, TransmitTypesAndTypesOnBuffers) {
  fuzzing::Target target;
  target.name = "connected_type_source";
  std::vector<fuzzing::Bytes> types = FuzzTypeSeeds();
  types.push_back(EncodeFuzzType(chain_.Connection()));
  for (std::uint8_t probe = 0; probe < 4; ++probe) {
    for (const fuzzing::Bytes& type : types) {
      fuzzing::Bytes seed{probe};
      seed.insert(seed.end(), type.begin(), type.end());
      target.seeds.push_back(seed);
    }
  }
  target.sizeFields = [](const fuzzing::Bytes& input) { return FuzzTypeSizeFields(input, 1); };
  target.maxSize = 512;
  target.defaultRuns = 400;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    AM_MEDIA_TYPE type{};
    if (size < 1 || !DecodeFuzzType(data + 1, size - 1, &type)) return {};
    const fuzzing::Bytes& frame = chain_.Frame();
    const LONG whole = static_cast<LONG>(frame.size());
    std::string failure;
    switch (data[0] % 4) {
      case 0:
        chain_.Transmit()->SetMediaType(&type);  // any answer: a refused type leaves the default
        failure = chain_.Send(frame.data(), frame.size(), whole, nullptr);
        break;
      case 1: {
        const HRESULT hr = chain_.Output()->QueryAccept(&type);
        if (!AcceptableAnswer(hr, type)) failure = "output pin answered " + std::to_string(hr);
        break;
      }
      case 2:
        failure = chain_.Send(frame.data(), frame.size(), whole, &type);
        break;
      default: {
        HRESULT hr = S_OK;
        auto attached = std::make_shared<CMediaType>(type, &hr);
        if (FAILED(hr)) return {};
        chain_.Sink()->SetAttachType(std::move(attached));
        failure = chain_.Send(frame.data(), frame.size(), whole, nullptr);
        break;
      }
    }
    if (failure.empty()) failure = chain_.Reset();
    return failure;
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(chain_.Delivered(), 0u) << "no frame came through";
}

// Input as for the filters' payloads: how the actual length is told, a value, the frame.
TEST_F(SourceFuzz, FrameCopy) {
  fuzzing::Target target;
  target.name = "connected_payload_source";
  const fuzzing::Bytes seed = EncodeFuzzPayload(chain_.Frame());
  target.seeds = {seed};
  target.sizeFields = [](const fuzzing::Bytes&) { return std::vector<fuzzing::SizeField>{{1, 4}}; };
  target.maxSize = seed.size() + 4096;
  target.defaultRuns = 200;
  target.check = [&](const std::uint8_t* data, std::size_t size) -> std::string {
    FuzzPayload payload{};
    if (!DecodeFuzzPayload(data, size, &payload)) return {};
    std::string failure = chain_.Send(payload.data, payload.size, payload.actual, nullptr);
    if (failure.empty()) failure = chain_.Reset();
    return failure;
  };
  const fuzzing::Result result = fuzzing::Run(target);
  EXPECT_TRUE(result.failure.empty()) << result.failure << "\n" << fuzzing::Hex(result.input);
  EXPECT_GT(chain_.Delivered(), 0u) << "no frame came through";
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) { return Narrow(info.param.name); }

std::vector<Row> StreamRows() {
  std::vector<Row> rows;
  for (const Row& row : kRows) {
    if (row.frames) rows.push_back(row);
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Filters, ConnectedFuzz, ::testing::ValuesIn(kRows), RowName);
INSTANTIATE_TEST_SUITE_P(Filters, ConnectedStreamFuzz, ::testing::ValuesIn(StreamRows()), RowName);

}  // namespace

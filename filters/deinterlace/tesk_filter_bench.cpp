// Benchmark of the deinterlacing filter in a running graph (not a test; not shipped): the
// filter between a source and a counting sink, 720x480 frames handed to its input pin one after
// another. For each mode and layout it prints the processor's own time per output frame, the
// whole filter step (everything from the input pin's Receive to its return) and where the rest
// of the step goes: the output buffer from the allocator, the delivery to the sink and the
// buffer's return, and what is left, the filter's own work around the processor (the input
// pin's checks, history, drawer, times, type checks).
//
// Fairness: the input pictures are written into six input buffers once, before the clock runs,
// so that no upstream copy is counted; the processor alone runs on the same six buffers in the
// same order of history slots, with the filter's output row pitch. Every call is timed on the
// wall clock and a low quantile counts (the machine may be shared).
//
//   tesk_filter_bench [--quick] [--mode N]   (default: every mode 0..9, contrast and sharpness on)
//   tesk_filter_bench --mode N --filter-only INPUTS   (the filter alone, packed: for a profiler)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/filter.h"
#include "filters/base/mediatype.h"
#include "filters/base/pin.h"
#include "filters/base/testkit/field_frame_builder.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "filters/deinterlace/bench_clock.h"
#include "filters/deinterlace/cpu_features.h"
#include "filters/deinterlace/tesk_filter.h"
#include "filters/include/field_video.h"

using namespace deinterlace;
using namespace graph_testkit;

namespace {

constexpr LONG kWidth = 720, kHeight = 480;
constexpr int kInputBuffers = 6;  // two rounds of the three pictures: no buffer is held twice

// Three pictures with moving diagonal edges and noise, packed or field-planar.
std::vector<std::vector<BYTE>> Pictures(bool planar) {
  std::vector<std::vector<BYTE>> pictures;
  unsigned seed = 12345;
  const auto noise = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 16) % 17) - 8;
  };
  for (int i = 0; i < 3; ++i) {
    const auto luma = [&](int x, int y) {
      return static_cast<BYTE>(std::clamp((((x + y + 4 * i) / 24) % 2 ? 200 : 40) + noise(), 0, 255));
    };
    if (planar) {
      FieldPlanarFrameBuilder builder(kWidth, kHeight);
      builder.Fill(luma, [](int x, int) { return static_cast<BYTE>(100 + x % 50); },
                   [](int, int y) { return static_cast<BYTE>(100 + y % 50); });
      pictures.push_back(builder.Bytes());
    } else {
      std::vector<BYTE> picture(2 * kWidth * kHeight);
      for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
          picture[2 * (kWidth * y + x)] = luma(x, y);
          picture[2 * (kWidth * y + x) + 1] = static_cast<BYTE>(100 + x % 50);
        }
      }
      pictures.push_back(picture);
    }
  }
  return pictures;
}

// Wall time spent in the sink's allocator and pin (seconds), and the samples delivered.
struct SinkTimes {
  bool timed = false;  // the clock costs too: off while the step is measured
  double getBuffer = 0;
  double release = 0;
  double deliver = 0;
  long samples = 0;
};

// The sink's allocator: a memory allocator that times its GetBuffer and ReleaseBuffer.
class TimedAllocator final : public CMemAllocator {
 public:
  TimedAllocator(SinkTimes* times, HRESULT* phr) : CMemAllocator(L"Timed allocator", nullptr, phr), times_(times) {}
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* end, DWORD flags) override {
    const double t0 = times_->timed ? Now() : 0;
    const HRESULT hr = CMemAllocator::GetBuffer(sample, start, end, flags);
    if (times_->timed) times_->getBuffer += Now() - t0;
    return hr;
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override {
    const double t0 = times_->timed ? Now() : 0;
    const HRESULT hr = CMemAllocator::ReleaseBuffer(sample);
    if (times_->timed) times_->release += Now() - t0;
    return hr;
  }

 private:
  SinkTimes* const times_;
};

class CountingPin final : public CBaseInputPin {
 public:
  CountingPin(CBaseFilter* filter, CCritSec* lock, SinkTimes* times, HRESULT* phr)
      : CBaseInputPin(L"Counting pin", filter, lock, phr, L"In"), times_(times) {}
  HRESULT CheckMediaType(const CMediaType* type) override { return type ? S_OK : E_POINTER; }
  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override {
    if (!allocator) return E_POINTER;
    if (!m_pAllocator) {
      HRESULT hr = S_OK;
      auto* own = new TimedAllocator(times_, &hr);
      own->NonDelegatingAddRef();
      hr = own->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&m_pAllocator));
      own->NonDelegatingRelease();
      if (FAILED(hr)) return hr;
    }
    return CBaseInputPin::GetAllocator(allocator);
  }
  STDMETHODIMP Receive(IMediaSample* sample) override {
    const double t0 = times_->timed ? Now() : 0;
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr == S_OK) ++times_->samples;
    if (times_->timed) times_->deliver += Now() - t0;
    return hr;
  }

 private:
  SinkTimes* const times_;
};

// A renderer stand-in that only counts what it is given.
class CountingSink final : public CBaseFilter {
 public:
  static CountingSink* Create() {
    HRESULT hr = S_OK;
    auto* sink = new CountingSink(&hr);
    sink->NonDelegatingAddRef();
    return sink;
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? &pin_ : nullptr; }
  IPin* InputPin() { return &pin_; }
  SinkTimes times;

 private:
  explicit CountingSink(HRESULT* phr)
      : CBaseFilter(L"Counting sink", nullptr, &lock_, GUID_NULL, phr), pin_(this, &lock_, &times, phr) {}
  CCritSec lock_;
  CountingPin pin_;
};

double Quantile(std::vector<double> values, double quantile) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(quantile * static_cast<double>(values.size() - 1))];
}

// A quantile of per-call times (seconds) as ms per output frame (two outputs per call).
double PerOutputMs(std::vector<double> values, double quantile) { return 1e3 * Quantile(std::move(values), quantile) / 2; }

// The filter in a paused graph with its input buffers filled once; Push hands it the next
// input and records the call's wall time and the sink's parts of it.
class FilterRig {
 public:
  // `fill`: each input picture is copied into its buffer right before the call (not timed), as
  // an upstream filter would write it.
  FilterRig(bool planar, int mode, bool fill) : fill_(fill) {
    const CMediaType type = planar ? MakeFieldVideoType(kWidth, kHeight) : MakeVideoType(kWidth, kHeight);
    HRESULT hr = S_OK;
    CUnknown* made = TeskFilter::CreateInstance(nullptr, &hr);
    if (!made) return;
    made->NonDelegatingAddRef();
    filter_ = static_cast<TeskFilter*>(made);
    graph_ = StubGraph::Create();
    source_ = TestPushSource::Create({type});
    sink_ = CountingSink::Create();
    graph_->AddFilter(source_, L"source");
    graph_->AddFilter(static_cast<IBaseFilter*>(filter_), L"tesk");
    graph_->AddFilter(sink_, L"sink");
    graph_->ConnectDirect(source_->OutputPin(), filter_->GetPin(0), nullptr);
    graph_->ConnectDirect(filter_->GetPin(1), sink_->InputPin(), nullptr);
    // Without "Qfa Allow MC Deinterlacing" the table stops at mode 4: open the whole range so
    // that the filter runs the mode the processor figure is for.
    filter_->Table().Register(params::kDeintermode, 0, 9, 4, 2);
    filter_->Table().SetByName(params::kDeintermode, mode);
    filter_->Table().SetByName(params::kContrast, 1);
    filter_->Table().SetByName(params::kSharpness, 1);
    mode_ = filter_->Table().GetByName(params::kDeintermode);
    if (const BITMAPINFOHEADER* header = GetBitmapInfoHeader(&filter_->GetPin(1)->CurrentMediaType())) {
      outputPitch_ = header->biWidth;
    }
    sink_->Pause();
    static_cast<IBaseFilter*>(filter_)->Pause();

    filter_->GetPin(0)->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input_));
    object_ = CMemAllocator::CreateInstance(nullptr, &hr);
    object_->NonDelegatingAddRef();
    object_->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator_));
    pictures_ = Pictures(planar);
    const std::vector<std::vector<BYTE>>& pictures = pictures_;
    bytes_ = pictures[0].size();
    ALLOCATOR_PROPERTIES request{kInputBuffers, static_cast<long>(bytes_), 16, 0}, actual{};
    allocator_->SetProperties(&request, &actual);
    allocator_->Commit();
    for (int i = 0; i < kInputBuffers; ++i) {
      allocator_->GetBuffer(&samples_[i], nullptr, nullptr, 0);
      BYTE* data = nullptr;
      samples_[i]->GetPointer(&data);
      std::memcpy(data, pictures[i % 3].data(), bytes_);
      samples_[i]->SetActualDataLength(static_cast<long>(bytes_));
    }
    // The copy the old figure counted: one picture into an input buffer per input.
    BYTE* data = nullptr;
    samples_[0]->GetPointer(&data);
    for (int i = 0; i < 24; ++i) {
      const double w0 = Now();
      std::memcpy(data, pictures[i % 3].data(), bytes_);
      fills.push_back(Now() - w0);
    }
    std::memcpy(data, pictures[0].data(), bytes_);
  }

  ~FilterRig() {
    if (!filter_) return;
    sink_->Stop();
    static_cast<IBaseFilter*>(filter_)->Stop();
    for (IMediaSample* sample : samples_) sample->Release();
    input_->Release();
    allocator_->Decommit();
    allocator_->Release();
    object_->NonDelegatingRelease();
    graph_->Disconnect(filter_->GetPin(1));
    graph_->Disconnect(sink_->InputPin());
    graph_->Disconnect(filter_->GetPin(0));
    graph_->Disconnect(source_->OutputPin());
    graph_->RemoveFilter(sink_);
    graph_->RemoveFilter(static_cast<IBaseFilter*>(filter_));
    graph_->RemoveFilter(source_);
    graph_->Release();
    sink_->Release();
    static_cast<IBaseFilter*>(filter_)->Release();
    source_->Release();
  }

  bool Ready() const { return filter_ != nullptr; }
  int Mode() const { return mode_; }
  int OutputPitch() const { return outputPitch_; }
  long Delivered() const { return sink_->times.samples; }

  // `record`: the step's time; `parts`: the sink's parts instead (their clock readings would
  // lengthen the step).
  void Push(bool record, bool parts = false) {
    IMediaSample* sample = samples_[next_ % kInputBuffers];
    if (fill_) {
      BYTE* data = nullptr;
      sample->GetPointer(&data);
      std::memcpy(data, pictures_[(next_ % kInputBuffers) % 3].data(), bytes_);
    }
    REFERENCE_TIME start = next_ * 333667LL, end = start + 333667;
    ++next_;
    sample->SetTime(&start, &end);
    sink_->times.timed = parts;
    const SinkTimes before = sink_->times;
    const double w0 = Now();
    input_->Receive(sample);
    const double w1 = Now();
    sink_->times.timed = false;
    if (!record) return;
    if (!parts) {
      steps.push_back(w1 - w0);
      return;
    }
    const SinkTimes& after = sink_->times;
    getBuffers.push_back(after.getBuffer - before.getBuffer);
    delivers.push_back(after.deliver - before.deliver);
    releases.push_back(after.release - before.release);
  }

  std::vector<double> steps, getBuffers, delivers, releases, fills;

 private:
  TeskFilter* filter_ = nullptr;
  StubGraph* graph_ = nullptr;
  TestPushSource* source_ = nullptr;
  CountingSink* sink_ = nullptr;
  IMemInputPin* input_ = nullptr;
  CUnknown* object_ = nullptr;
  IMemAllocator* allocator_ = nullptr;
  IMediaSample* samples_[kInputBuffers] = {};
  std::vector<std::vector<BYTE>> pictures_;
  const bool fill_;
  size_t bytes_ = 0;
  int mode_ = -1;
  int outputPitch_ = 0;
  long long next_ = 0;
};

// The processor alone: ProcessField as the filter calls it.
struct Owner : ProcessorOwner {
  ParameterTable* table = nullptr;
  bool planar = false;
  ParameterTable* OwnerParameterTable() override { return table; }
  bool OwnerInputLayout(bool* p) override {
    *p = planar;
    return true;
  }
};

// Memory as a memory allocator lays out its buffers: one block from VirtualAlloc, the buffers
// one after another (the relative placement of input and output rows changes the kernels'
// speed).
class PageBlock {
 public:
  explicit PageBlock(size_t bytes)
      : data_(static_cast<BYTE*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
  ~PageBlock() {
    if (data_) VirtualFree(data_, 0, MEM_RELEASE);
  }
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;
  BYTE* Data() const { return data_; }

 private:
  BYTE* const data_;
};

// `outputPitch` 0: the processor's figure as it always was (three pictures in turn, output
// pitch 768); otherwise the filter's frames: six buffers laid out as the input allocator's,
// each pushed into the history twice (once for each of its outputs, as the filter does), and an
// output buffer of the filter's pitch laid out as the sink allocator's.
class ProcessorRig {
 public:
  // `fill`: the input buffer is written right before its outputs (not timed).
  ProcessorRig(bool planar, int mode, int outputPitch, bool fill = false)
      : parts_(ProcessorMask::Get()),
        asFilter_(outputPitch > 0),
        fill_(fill),
        pictures_(Pictures(planar)),
        inputs_(asFilter_ ? kInputBuffers * pictures_[0].size() : 1),
        output_(asFilter_ ? 2 * static_cast<size_t>(outputPitch) * (kHeight + 8) : 1),
        frame_(asFilter_ ? 0 : 2 * 768 * static_cast<size_t>(kHeight)) {
    parts_.table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
    parts_.table.Register(params::kDeintermode, 0, 9, mode, 2);
    parts_.processor.LoadParameters();
    owner_.table = &parts_.table;
    owner_.planar = planar;
    parts_.processor.Attach(&owner_);
    for (int i = 0; i < kInputBuffers && asFilter_ && inputs_.Data(); ++i) {
      std::memcpy(Buffer(i), pictures_[static_cast<size_t>(i % 3)].data(), pictures_[0].size());
    }
    const int pitch = asFilter_ ? outputPitch : 768;
    parts_.input.SetFormat(kWidth, kHeight, planar ? 1024 : kWidth);
    parts_.output.SetFormat(kWidth, kHeight, pitch);
    parts_.output.SetPlane(1, asFilter_ ? output_.Data() : frame_.data());
  }
  ~ProcessorRig() { parts_.processor.Attach(nullptr); }
  bool Ready() const { return inputs_.Data() && output_.Data(); }

  // The two outputs of one input.
  void Push(bool record) {
    if (fill_) {
      const int slot = static_cast<int>(next_ / 2 % kInputBuffers);
      std::memcpy(Buffer(slot), pictures_[static_cast<size_t>(slot % 3)].data(), pictures_[0].size());
    }
    const double w0 = Now();
    for (int k = 0; k < 2; ++k, ++next_) {
      if (asFilter_) {
        parts_.input.PushFrame(Buffer(static_cast<int>(next_ / 2 % kInputBuffers)));
      } else {
        const int p = next_ / 2 % 3;
        parts_.input.SetPlane(0, pictures_[(p + 2) % 3].data());
        parts_.input.SetPlane(1, pictures_[p].data());
        parts_.input.SetPlane(2, pictures_[(p + 1) % 3].data());
      }
      parts_.processor.ProcessField(next_ % 2 ? 1 : 2);
    }
    if (record) times.push_back(Now() - w0);
  }

  std::vector<double> times;

 private:
  TeskParts parts_;
  Owner owner_;
  BYTE* Buffer(int i) const { return inputs_.Data() + static_cast<size_t>(i) * pictures_[0].size(); }

  bool asFilter_;
  bool fill_;
  std::vector<std::vector<BYTE>> pictures_;
  PageBlock inputs_;
  PageBlock output_;
  std::vector<BYTE> frame_;  // the output as always measured
  long long next_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool quick = false;
  int only = -1;
  int filterOnlyInputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--quick") quick = true;
    if (arg == L"--mode" && i + 1 < argc) only = _wtoi(argv[++i]);
    if (arg == L"--filter-only" && i + 1 < argc) filterOnlyInputs = _wtoi(argv[++i]);
  }
  SetThreadAffinityMask(GetCurrentThread(), 1);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (filterOnlyInputs > 0) {
    // For a profiler: only the filter, packed, in one mode, for that many inputs.
    FilterRig filter(false, std::max(only, 0), false);
    for (int i = 0; i < filterOnlyInputs && filter.Ready(); ++i) filter.Push(false);
    CoUninitialize();
    return 0;
  }
  // The thread clock ticks in 10 ms steps under Wine: every call is timed on the wall clock and
  // a low quantile of the calls counts (a call the machine took the processor from lies above
  // it). The measurements take turns in blocks of calls, so that they share the machine's state.
  const int rounds = quick ? 12 : 40;
  constexpr int kBlock = 8;
  constexpr double kQuantile = 0.25;
  std::printf("deinterlacing filter, 720x480, contrast and sharpness on, processor mask 0x%02X\n",
              static_cast<unsigned>(ProcessorMask::Get()));
  std::printf("ms per output frame, the %.0f%% quantile of %d inputs:\n", 100 * kQuantile, rounds * (kBlock - 1));
  std::printf("  proc    the processor alone, as always measured (three pictures, output pitch 768)\n"
              "  proc@f  the processor alone on frames laid out as the filter's: six input buffers in one\n"
              "          block, each pushed into the history twice, an output buffer of the same pitch\n"
              "  step    the filter's whole step (its input pin's Receive)\n"
              "  ratio   step / proc@f: the median of the ratios of blocks of calls made side by side\n"
              "  get, deliver, release  parts of the step: the output buffer from the sink's allocator,\n"
              "          the sink's Receive, the buffer's return\n"
              "  own     step - proc@f - get - deliver - release: the input pin's checks, history, drawer,\n"
              "          times, type checks\n"
              "  fill    an upstream copy of each input picture (not in the step)\n"
              "  proc/c, step/c  proc@f and step with each input picture copied into its buffer right\n"
              "          before (the copy not counted): what an upstream copy does to the caches\n");
  {
    // What one look-up of a value by name costs (the filter and the processor make several a frame).
    TeskParts parts(ProcessorMask::Get());
    parts.table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
    RegisterFilterParameters(parts.table, false);
    parts.processor.LoadParameters();
    double quickest = 1e9;
    volatile int sink = 0;
    for (int run = 0; run < 20; ++run) {
      const double w0 = Now();
      for (int i = 0; i < 1000; ++i) sink = sink + parts.table.GetByName(params::kSingleField);
      quickest = std::min(quickest, (Now() - w0) / 1000);
    }
    std::printf("a table look-up by name (\"%s\", %d records): %.3f us\n", params::kSingleField, parts.table.Count(),
                1e6 * quickest);
  }
  std::printf("%-4s %-6s %5s %8s %8s %8s %7s %8s %8s %8s %8s %8s %8s %8s\n", "mode", "layout", "pitch", "proc",
              "proc@f", "step", "ratio", "get", "deliver", "release", "own", "fill", "proc/c", "step/c");
  for (int mode = 0; mode <= 9; ++mode) {
    if (only >= 0 && mode != only) continue;
    for (bool planar : {false, true}) {
      FilterRig filter(planar, mode, false);
      FilterRig filled(planar, mode, true);
      if (!filter.Ready()) {
        std::printf("%-4d %-6s the filter could not be made\n", mode, planar ? "planar" : "packed");
        continue;
      }
      ProcessorRig asFilter(planar, mode, filter.OutputPitch());
      ProcessorRig asBefore(planar, mode, 0);
      ProcessorRig asFilled(planar, mode, filter.OutputPitch(), true);
      if (!asFilter.Ready() || !asBefore.Ready() || !asFilled.Ready()) {
        std::printf("%-4d %-6s no memory for the processor's frames\n", mode, planar ? "planar" : "packed");
        continue;
      }
      for (int i = 0; i < 3 * kInputBuffers; ++i) {
        filter.Push(false);
        asFilter.Push(false);
        asBefore.Push(false);
        filled.Push(false);
        asFilled.Push(false);
      }
      const long delivered = filter.Delivered();
      std::vector<double> ratios;  // of each round's step and processor blocks, side by side in time
      for (int round = 0; round < rounds; ++round) {
        // The first call of each block pays for the switch and is not counted.
        for (int i = 0; i < kBlock; ++i) filter.Push(i > 0);
        for (int i = 0; i < kBlock; ++i) asFilter.Push(i > 0);
        const auto lastBlock = [](const std::vector<double>& all) {
          return Quantile(std::vector<double>(all.end() - (kBlock - 1), all.end()), 0.5);
        };
        ratios.push_back(lastBlock(filter.steps) / lastBlock(asFilter.times));
        for (int i = 0; i < kBlock; ++i) filter.Push(i > 0, true);
        for (int i = 0; i < kBlock; ++i) asBefore.Push(i > 0);
        for (int i = 0; i < kBlock; ++i) filled.Push(i > 0);
        for (int i = 0; i < kBlock; ++i) asFilled.Push(i > 0);
      }
      const long outputs = (filter.Delivered() - delivered) / 2;
      const double step = PerOutputMs(filter.steps, kQuantile);
      const double inFilter = PerOutputMs(asFilter.times, kQuantile);
      const double get = PerOutputMs(filter.getBuffers, kQuantile);
      const double deliver = PerOutputMs(filter.delivers, kQuantile);
      const double release = PerOutputMs(filter.releases, kQuantile);
      std::printf("%-4d %-6s %5d %8.4f %8.4f %8.4f %7.3f %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f%s%s\n", mode,
                  planar ? "planar" : "packed", filter.OutputPitch(), PerOutputMs(asBefore.times, kQuantile),
                  inFilter, step, Quantile(ratios, 0.5), get, deliver, release, step - inFilter - get - deliver - release,
                  PerOutputMs(filter.fills, kQuantile), PerOutputMs(asFilled.times, kQuantile),
                  PerOutputMs(filled.steps, kQuantile), filter.Mode() == mode ? "" : "  (the filter ran another mode)",
                  outputs == 2L * rounds * kBlock ? "" : "  (outputs missing)");
    }
  }
  CoUninitialize();
  return 0;
}

// Benchmark of the deinterlacing filter in a running graph (not a test; not shipped): a source,
// the filter and a recording sink; 720x480 frames handed to the filter's input pin one after
// another. Prints the processor time per output frame of the whole filter step (history,
// drawer, output sample, times, processor, delivery) beside the processor's own figure for the
// same mode, for packed and field-planar input.
//
//   tesk_filter_bench [--quick] [--mode N]   (default: mode 6, the heaviest, contrast and sharpness on)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filters/base/allocator.h"
#include "filters/base/testkit/field_frame_builder.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/recording_sink.h"
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

// ms of processor time per output frame of the filter in a paused graph.
double FilterMs(bool planar, int mode, double seconds) {
  const CMediaType type = planar ? MakeFieldVideoType(kWidth, kHeight) : MakeVideoType(kWidth, kHeight);
  HRESULT created = S_OK;
  CUnknown* made = TeskFilter::CreateInstance(nullptr, &created);
  if (!made) return -1;
  made->NonDelegatingAddRef();
  auto* filter = static_cast<TeskFilter*>(made);
  StubGraph* graph = StubGraph::Create();
  TestPushSource* source = TestPushSource::Create({type});
  RecordingSink* sink = RecordingSink::Create();
  graph->AddFilter(source, L"source");
  graph->AddFilter(static_cast<IBaseFilter*>(filter), L"tesk");
  graph->AddFilter(sink, L"sink");
  graph->ConnectDirect(source->OutputPin(), filter->GetPin(0), nullptr);
  graph->ConnectDirect(filter->GetPin(1), sink->InputPin(), nullptr);
  filter->Table().SetByName(params::kDeintermode, mode);
  filter->Table().SetByName(params::kContrast, 1);
  filter->Table().SetByName(params::kSharpness, 1);
  sink->Pause();
  static_cast<IBaseFilter*>(filter)->Pause();

  IMemInputPin* input = nullptr;
  filter->GetPin(0)->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&input));
  HRESULT hr = S_OK;
  CUnknown* object = CMemAllocator::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  IMemAllocator* allocator = nullptr;
  object->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator));
  const std::vector<std::vector<BYTE>> pictures = Pictures(planar);
  ALLOCATOR_PROPERTIES request{4, static_cast<long>(pictures[0].size()), 16, 0}, actual{};
  allocator->SetProperties(&request, &actual);
  allocator->Commit();

  const auto push = [&](int i) {
    IMediaSample* sample = nullptr;
    if (FAILED(allocator->GetBuffer(&sample, nullptr, nullptr, 0))) return;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::memcpy(data, pictures[i % 3].data(), pictures[i % 3].size());
    sample->SetActualDataLength(static_cast<long>(pictures[i % 3].size()));
    REFERENCE_TIME start = i * 333667LL, end = start + 333667;
    sample->SetTime(&start, &end);
    input->Receive(sample);
    sample->Release();
  };
  int inputs = 0;
  const ULONGLONG warmUpEnd = GetTickCount64() + static_cast<ULONGLONG>(seconds * 200);
  while (GetTickCount64() < warmUpEnd || inputs < 3) push(inputs++);
  std::vector<double> ms;
  for (int run = 0; run < 5; ++run) {
    sink->ClearRecords();
    const double c0 = ThreadSeconds();
    for (int i = 0; i < inputs; ++i) push(i);
    const double c1 = ThreadSeconds();
    const size_t outputs = std::max<size_t>(sink->SampleCount(), 1);
    ms.push_back(1e3 * (c1 - c0) / static_cast<double>(outputs));
  }

  sink->Stop();
  static_cast<IBaseFilter*>(filter)->Stop();
  input->Release();
  allocator->Decommit();
  allocator->Release();
  object->NonDelegatingRelease();
  graph->Disconnect(filter->GetPin(1));
  graph->Disconnect(sink->InputPin());
  graph->Disconnect(filter->GetPin(0));
  graph->Disconnect(source->OutputPin());
  graph->RemoveFilter(sink);
  graph->RemoveFilter(static_cast<IBaseFilter*>(filter));
  graph->RemoveFilter(source);
  graph->Release();
  sink->Release();
  static_cast<IBaseFilter*>(filter)->Release();
  source->Release();
  std::sort(ms.begin(), ms.end());
  return ms[2];
}

// The processor alone on the same pictures: ProcessField as the filter calls it.
struct Owner : ProcessorOwner {
  ParameterTable* table = nullptr;
  bool planar = false;
  ParameterTable* OwnerParameterTable() override { return table; }
  bool OwnerInputLayout(bool* p) override {
    *p = planar;
    return true;
  }
};

double ProcessorMs(bool planar, int mode, double seconds) {
  TeskParts parts(ProcessorMask::Get());
  parts.table.SetKey("Software\\Zarn Corporation\\NoSuchDeinterlaceKey\\");
  parts.table.Register(params::kDeintermode, 0, 9, mode, 2);
  parts.processor.LoadParameters();
  Owner owner;
  owner.table = &parts.table;
  owner.planar = planar;
  parts.processor.Attach(&owner);
  std::vector<std::vector<BYTE>> pictures = Pictures(planar);
  std::vector<BYTE> frame(2 * 768 * kHeight);
  parts.input.SetFormat(kWidth, kHeight, planar ? 1024 : kWidth);
  parts.output.SetFormat(kWidth, kHeight, 768);
  parts.output.SetPlane(1, frame.data());
  const auto field = [&](int i) {
    const int p = i / 2 % 3;
    parts.input.SetPlane(0, pictures[(p + 2) % 3].data());
    parts.input.SetPlane(1, pictures[p].data());
    parts.input.SetPlane(2, pictures[(p + 1) % 3].data());
    parts.processor.ProcessField(i % 2 ? 1 : 2);
  };
  int fields = 0;
  const ULONGLONG warmUpEnd = GetTickCount64() + static_cast<ULONGLONG>(seconds * 200);
  while (GetTickCount64() < warmUpEnd || fields < 2) field(fields++);
  std::vector<double> ms;
  for (int run = 0; run < 5; ++run) {
    const double c0 = ThreadSeconds();
    for (int i = 0; i < fields; ++i) field(i);
    ms.push_back(1e3 * (ThreadSeconds() - c0) / fields);
  }
  parts.processor.Attach(nullptr);
  std::sort(ms.begin(), ms.end());
  return ms[2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool quick = false;
  int mode = 6;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--quick") quick = true;
    if (arg == L"--mode" && i + 1 < argc) mode = _wtoi(argv[++i]);
  }
  SetThreadAffinityMask(GetCurrentThread(), 1);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const double seconds = quick ? 0.3 : 1.0;
  std::printf("deinterlacing filter, 720x480, mode %d, contrast and sharpness on, processor mask 0x%02X\n", mode,
              static_cast<unsigned>(ProcessorMask::Get()));
  std::printf("%-7s %16s %16s\n", "layout", "filter ms/frame", "processor ms/frame");
  for (bool planar : {false, true}) {
    const double filterMs = FilterMs(planar, mode, seconds);
    const double processorMs = ProcessorMs(planar, mode, seconds);
    std::printf("%-7s %16.4f %16.4f\n", planar ? "planar" : "packed", filterMs, processorMs);
  }
  CoUninitialize();
  return 0;
}

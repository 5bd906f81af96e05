// Measures what the video pacer adds between a capture pin and a renderer: for each frame, the
// time from the source's Receive call to the frame's arrival in the sink (on the pacer's
// delivery thread), and the spread of those times. Runs once against the test kit's manual
// clock and once against the platform's system clock. Prints the figures; asserts nothing.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "filters/base/testkit/manual_clock.h"
#include "filters/base/testkit/push_source.h"
#include "filters/base/testkit/stub_graph.h"
#include "filters/base/testkit/video_types.h"
#include "common/trace.h"
#include "filters/pacers/video_pacer.h"

VORN_MODULE_TRACE(kTraceKeyTovrel)

using namespace graph_testkit;

namespace {

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

// A sink that notes the counter when each frame arrives (frame index in the first byte).
class TimingSink;
class TimingPin final : public CBaseInputPin {
 public:
  TimingPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr, std::vector<LONGLONG>* arrivals)
      : CBaseInputPin(L"Timing in", filter, lock, phr, L"In"), arrivals_(arrivals) {}
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  STDMETHODIMP Receive(IMediaSample* sample) override {
    const LONGLONG t = Now();
    HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    if (data) (*arrivals_)[data[0]] = t;
    return S_OK;
  }
  STDMETHODIMP BeginFlush() override { return CBaseInputPin::BeginFlush(); }
  STDMETHODIMP EndFlush() override { return CBaseInputPin::EndFlush(); }

 private:
  std::vector<LONGLONG>* arrivals_;
};

class TimingSink final : public CBaseFilter {
 public:
  explicit TimingSink(std::vector<LONGLONG>* arrivals)
      : CBaseFilter(L"Timing sink", nullptr, &lock_, GUID_NULL) {
    HRESULT hr = S_OK;
    pin_ = std::make_unique<TimingPin>(this, &lock_, &hr, arrivals);
    NonDelegatingAddRef();
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin_.get() : nullptr; }

 private:
  CCritSec lock_;
  std::unique_ptr<TimingPin> pin_;
};

void Run(const char* label, IReferenceClock* clock, ManualClock* manual) {
  constexpr int kFrames = 200;
  constexpr DWORD kCadenceMs = 33;
  std::vector<LONGLONG> pushed(256, 0), arrived(256, 0);

  StubGraph* graph = StubGraph::Create();
  TestPushSource* source = TestPushSource::Create({MakeVideoType(720, 480)});
  source->SetBufferRequest(8, 0);
  HRESULT hr = S_OK;
  CUnknown* object = VideoPacer::CreateInstance(nullptr, &hr);
  object->NonDelegatingAddRef();
  IBaseFilter* pacer = nullptr;
  object->NonDelegatingQueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&pacer));
  object->NonDelegatingRelease();
  auto* sink = new TimingSink(&arrived);
  graph->AddFilter(source, L"source");
  graph->AddFilter(pacer, L"pacer");
  graph->AddFilter(sink, L"sink");
  auto* vp = static_cast<VideoPacer*>(pacer);
  graph->ConnectDirect(source->OutputPin(), vp->GetPin(0), nullptr);
  graph->ConnectDirect(vp->GetPin(1), sink->GetPin(0), nullptr);
  pacer->SetSyncSource(clock);
  REFERENCE_TIME start = 0;
  clock->GetTime(&start);
  sink->Run(start);
  pacer->Run(start);
  source->Run(start);

  std::vector<double> latencyUs;
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  for (int i = 0; i < kFrames; ++i) {
    const BYTE index = static_cast<BYTE>(i % 256);
    SamplePlan plan;
    plan.fill = index;
    plan.actualLength = 16;
    if (manual) manual->Advance(333667);
    pushed[index] = Now();
    source->Push(plan);
    Sleep(kCadenceMs);
  }
  Sleep(500);  // the last deliveries
  // The first frame pays for the process's first trace record and the thread's warm-up.
  const double firstUs = arrived[0] ? static_cast<double>(arrived[0] - pushed[0]) * 1e6 / freq.QuadPart : -1;
  for (int i = 1; i < kFrames; ++i) {
    if (arrived[i]) latencyUs.push_back(static_cast<double>(arrived[i] - pushed[i]) * 1e6 / freq.QuadPart);
  }
  source->Stop();
  sink->Stop();
  pacer->Stop();
  source->OutputPin()->Disconnect();
  vp->GetPin(0)->Disconnect();
  vp->GetPin(1)->Disconnect();
  sink->GetPin(0)->Disconnect();
  pacer->SetSyncSource(nullptr);
  source->Release();
  pacer->Release();
  sink->Release();
  graph->Release();

  if (latencyUs.empty()) {
    std::printf("%-13s no frame delivered\n", label);
    return;
  }
  double sum = 0;
  for (double v : latencyUs) sum += v;
  const double mean = sum / latencyUs.size();
  double var = 0;
  for (double v : latencyUs) var += (v - mean) * (v - mean);
  const double jitter = std::sqrt(var / latencyUs.size());
  std::sort(latencyUs.begin(), latencyUs.end());
  std::printf("%-13s first frame %.1f us; frames 2..%d delivered %zu: added latency us: mean %.1f  median %.1f  "
              "min %.1f  max %.1f  jitter (stddev) %.1f\n",
              label, firstUs, kFrames, latencyUs.size(), mean, latencyUs[latencyUs.size() / 2], latencyUs.front(),
              latencyUs.back(), jitter);
}

}  // namespace

int wmain() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ManualClock* manual = ManualClock::Create(0);
  Run("manual clock", manual, manual);
  manual->Release();
  IReferenceClock* system = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                 reinterpret_cast<void**>(&system)))) {
    Run("system clock", system, nullptr);
    system->Release();
  }
  CoUninitialize();
  return 0;
}

// The live pin's pump on a small filter of the base library: a host that tears the graph down
// from the streaming thread makes the filter's last release on the pump itself.
#include "sim/card/live_pin.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/handles.h"
#include "common/testing/freed_memory_guard.h"
#include "common/testing/time_scale.h"
#include "filters/base/filter.h"
#include "filters/base/testkit/recording_sink.h"
#include "filters/base/testkit/video_types.h"

namespace {

class TickPin final : public simcard::LivePin {
 public:
  TickPin(CBaseFilter* filter, CCritSec* lock, HRESULT* phr)
      : LivePin(L"Tick", filter, lock, phr, L"Out", 10 * 10000) {}
  HRESULT CheckMediaType(const CMediaType*) override { return S_OK; }
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES*) override {
    ALLOCATOR_PROPERTIES want{2, 64, 1, 0}, got{};
    return allocator->SetProperties(&want, &got);
  }

 protected:
  HRESULT FillSample(IMediaSample* sample, LONGLONG) override { return sample->SetActualDataLength(64); }
};

// A filter with one live pin that signals its destruction.
class TickFilter final : public CBaseFilter {
 public:
  static TickFilter* Create(HANDLE destroyed) {
    HRESULT hr = S_OK;
    auto* f = new TickFilter(&hr, destroyed);
    f->NonDelegatingAddRef();
    EXPECT_EQ(hr, S_OK);
    return f;
  }
  ~TickFilter() override {
    pin_.reset();
    SetEvent(destroyed_);
  }
  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? pin_.get() : nullptr; }

 private:
  TickFilter(HRESULT* phr, HANDLE destroyed)
      : CBaseFilter(L"Tick", nullptr, &lock_, GUID_NULL, phr), destroyed_(destroyed) {
    pin_ = std::make_unique<TickPin>(this, &lock_, phr);
  }
  CCritSec lock_;
  std::unique_ptr<TickPin> pin_;
  const HANDLE destroyed_;
};

}  // namespace

// The filter's last release comes on its own pump, inside a delivery: the pump must not go on
// running on the freed pin (every block of the scene is guarded after its free).
TEST(LivePinLifetime, ALastReleaseOnThePumpLeavesThePumpNothingFreedToRunOn) {
  using testing_support::ScaledBound;
  testing_support::FreedMemoryGuard guard;
  ASSERT_TRUE(guard.Armed());
  UniqueHandle destroyed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  TickFilter* filter = TickFilter::Create(destroyed.get());
  graph_testkit::RecordingSink* sink = graph_testkit::RecordingSink::Create();
  const CMediaType type = graph_testkit::MakeVideoType(16, 16);
  ASSERT_EQ(filter->GetPin(0)->Connect(sink->InputPin(), &type), S_OK);
  UniqueHandle pump;
  DWORD pumpId = 0;
  sink->SetOnReceive([&] {
    pumpId = GetCurrentThreadId();
    pump.reset(OpenThread(SYNCHRONIZE, FALSE, pumpId));
    filter->Stop();
    sink->Stop();
    filter->GetPin(0)->Disconnect();
    sink->InputPin()->Disconnect();
    filter->Release();  // the last reference
  });
  ASSERT_EQ(sink->Run(0), S_OK);
  ASSERT_EQ(filter->Run(0), S_OK);

  ASSERT_EQ(WaitForSingleObject(destroyed.get(), ScaledBound(10000)), WAIT_OBJECT_0);
  ASSERT_TRUE(pump);
  ASSERT_EQ(WaitForSingleObject(pump.get(), ScaledBound(10000)), WAIT_OBJECT_0);
  EXPECT_EQ(guard.Touches(), 0) << "thread " << guard.FirstThread() << " touched freed memory at "
                                << guard.FirstAddress() << " (the pump is " << pumpId << ")";
  EXPECT_EQ(sink->SampleCount(), 1u);
  EXPECT_EQ(sink->Release(), 0u);
}

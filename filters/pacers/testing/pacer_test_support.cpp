#include "filters/pacers/testing/pacer_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/trace.h"

VORN_MODULE_TRACE(kTraceKeyTovrel)

namespace pacer_testing {

BufferPool::BufferPool(LONG count, LONG size) {
  HRESULT hr = S_OK;
  pool_ = static_cast<CMemAllocator*>(CMemAllocator::CreateInstance(nullptr, &hr));
  pool_->NonDelegatingQueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&allocator_));
  ALLOCATOR_PROPERTIES want{count, size, 1, 0};
  ALLOCATOR_PROPERTIES got{};
  allocator_->SetProperties(&want, &got);
  allocator_->Commit();
}

BufferPool::~BufferPool() {
  allocator_->Decommit();
  allocator_->Release();
}

IMediaSample* BufferPool::Get(BYTE fill, const REFERENCE_TIME* start, const REFERENCE_TIME* stop) {
  IMediaSample* sample = nullptr;
  if (FAILED(allocator_->GetBuffer(&sample, nullptr, nullptr, AM_GBF_NOWAIT)) || !sample) return nullptr;
  BYTE* data = nullptr;
  sample->GetPointer(&data);
  std::memset(data, fill, static_cast<size_t>(sample->GetSize()));
  REFERENCE_TIME a = start ? *start : 0;
  REFERENCE_TIME b = stop ? *stop : a;
  if (start) sample->SetTime(&a, stop ? &b : nullptr);
  return sample;
}

MachineValue::MachineValue(const wchar_t* subKey, const wchar_t* name, DWORD value)
    : subKey_(subKey), name_(name) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, subKey, name, REG_DWORD, &value, sizeof(value));
}

MachineValue::MachineValue(const wchar_t* subKey, const wchar_t* name, DWORD type, const void* data, DWORD size)
    : subKey_(subKey), name_(name) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, subKey, name, type, data, size);
}

MachineValue::~MachineValue() {
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, subKey_.c_str(), name_.c_str());
}

namespace {

constexpr wchar_t kTraceSubKey[] = L"SOFTWARE\\Zarn Corporation\\Tovrel\\RELTrace";

// The trace reads its switch once, on the first record: on before any test, off after all.
class TraceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const DWORD on = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTraceSubKey, L"trace", REG_DWORD, &on, sizeof(on));
  }
  void TearDown() override { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kTraceSubKey, L"trace"); }
};

}  // namespace

::testing::Environment* const g_traceEnvironment =
    ::testing::AddGlobalTestEnvironment(new TraceEnvironment);

}  // namespace pacer_testing

namespace pacer_testing {

STDMETHODIMP Outer::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IPersist) {
    *out = static_cast<IPersist*>(this);
    AddRef();
    return S_OK;
  }
  if (!inner) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  return inner->NonDelegatingQueryInterface(iid, out);
}

// --- OrderSink ---------------------------------------------------------------------------------

class OrderSinkPin final : public CBaseInputPin {
 public:
  OrderSinkPin(OrderSink* sink, HRESULT* phr)
      : CBaseInputPin(L"Order sink pin", sink, &sink->lock_, phr, L"In"), sink_(sink) {}

  HRESULT CheckMediaType(const CMediaType* type) override { return type ? S_OK : E_POINTER; }

  STDMETHODIMP Receive(IMediaSample* sample) override {
    const HRESULT hr = CBaseInputPin::Receive(sample);
    if (hr != S_OK) return hr;
    OrderSink::Event event;
    BYTE* data = nullptr;
    if (SUCCEEDED(sample->GetPointer(&data)) && data) event.firstByte = data[0];
    bool hold = false;
    {
      CAutoLock lock(&sink_->recordLock_);
      sink_->events_.push_back(event);
      hold = sink_->holdNext_;
      sink_->holdNext_ = false;
    }
    if (hold) WaitForSingleObject(sink_->release_.get(), 10000);
    return S_OK;
  }

  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override {
    OrderSink::Event event;
    event.segment = true;
    event.start = start;
    event.stop = stop;
    event.rate = rate;
    sink_->Record(event);
    return CBaseInputPin::NewSegment(start, stop, rate);
  }

  STDMETHODIMP BeginFlush() override {
    SetEvent(sink_->release_.get());
    return CBaseInputPin::BeginFlush();
  }

 private:
  OrderSink* const sink_;
};

OrderSink::OrderSink(HRESULT* phr)
    : CBaseFilter(L"Order sink", nullptr, &lock_, GUID_NULL, phr),
      release_(CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
  pin_ = std::make_unique<OrderSinkPin>(this, phr);
}

OrderSink::~OrderSink() = default;

OrderSink* OrderSink::Create() {
  HRESULT hr = S_OK;
  auto* sink = new OrderSink(&hr);
  sink->NonDelegatingAddRef();
  EXPECT_EQ(hr, S_OK);
  return sink;
}

CBasePin* OrderSink::GetPin(int n) { return n == 0 ? pin_.get() : nullptr; }
IPin* OrderSink::InputPin() { return pin_.get(); }

STDMETHODIMP OrderSink::Stop() {
  SetEvent(release_.get());  // a held sample must not hold up the stop
  return CBaseFilter::Stop();
}

void OrderSink::HoldFirst() {
  CAutoLock lock(&recordLock_);
  ResetEvent(release_.get());
  holdNext_ = true;
}

void OrderSink::ReleaseHeld() { SetEvent(release_.get()); }

void OrderSink::Record(const Event& event) {
  CAutoLock lock(&recordLock_);
  events_.push_back(event);
}

std::vector<OrderSink::Event> OrderSink::Events() const {
  CAutoLock lock(&recordLock_);
  return events_;
}

bool OrderSink::WaitForEvents(size_t count, DWORD timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    {
      CAutoLock lock(&recordLock_);
      if (events_.size() >= count) return true;
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(1);
  }
}

}  // namespace pacer_testing
